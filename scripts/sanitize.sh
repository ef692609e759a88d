#!/usr/bin/env bash
# Builds the extension with sanitizers into its own environment and runs the tests
# against it.  Usage: scripts/sanitize.sh [asan|tsan] [pytest arguments...]
#   asan: AddressSanitizer + UndefinedBehaviorSanitizer (default)
#   tsan: ThreadSanitizer
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
kind=${1:-asan}; shift || true
case "$kind" in
  asan) san=address,undefined; lib=$(g++ -print-file-name=libasan.so)
        export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  tsan) san=thread; lib=$(g++ -print-file-name=libtsan.so)
        export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" ;;
  *) echo "usage: $0 [asan|tsan] [pytest args]" >&2; exit 2 ;;
esac
# The interpreter does not link the C++ runtime: preload it too, so that the
# sanitizer's interceptors find the real __cxa_throw when the extension throws.
lib="$lib $(g++ -print-file-name=libstdc++.so)"
export VENV=.venv-$kind
TARNWICK_SANITIZE=$san "$root/scripts/setup.sh"
# Hypothesis runs many examples; keep them few under the slow instrumented build.
export TARNWICK_SANITIZER_RUN=1
LD_PRELOAD="$lib" PYTHONMALLOC=malloc "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
