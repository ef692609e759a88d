#!/usr/bin/env bash
# Sets everything up on a fresh machine: Debian packages the build needs, a virtual
# environment on CPython 3.12 and the extension built into it.
#   VENV               where the environment lives (default: .venv)
#   TARNWICK_SANITIZE  sanitizers to build with (address,undefined or thread)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=${VENV:-.venv}
sanitize=${TARNWICK_SANITIZE:-}

need=()
for pkg in g++ robin-map-dev libreaderwriterqueue-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing Debian packages: ${need[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

py=""
for cand in "${PYTHON312:-}" "$HOME/.pyenv/versions/3.12.1/bin/python3.12" "$(command -v python3.12 || true)"; do
  if [ -n "$cand" ] && [ -x "$cand" ]; then py=$cand; break; fi
done
if [ -z "$py" ]; then
  echo "setup: CPython 3.12 not found (set PYTHON312 to its path)" >&2
  exit 1
fi
"$py" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' || {
  echo "setup: $py is not CPython 3.12" >&2; exit 1; }

if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
fi
stamp="$venv/.deps-installed"
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi

build_name=release
[ -n "$sanitize" ] && build_name="san-${sanitize//,/-}"
TARNWICK_SANITIZE="$sanitize" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -Cbuild-dir="build/$build_name" -Ccmake.build-type="$([ -n "$sanitize" ] && echo RelWithDebInfo || echo Release)" .
