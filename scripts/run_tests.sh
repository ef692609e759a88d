#!/usr/bin/env bash
# Sets everything up, builds the extension and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cd "$root"
exec "${VENV:-.venv}/bin/python" -m pytest -q "$@"
