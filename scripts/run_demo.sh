#!/usr/bin/env bash
# Sets everything up, builds the extension and runs the main job (demo/main.py).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cd "$root"
exec "${VENV:-.venv}/bin/python" demo/main.py "$@"
