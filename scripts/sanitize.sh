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
  # libstdc++ is preloaded too: otherwise ASan's __cxa_throw interceptor finds no real
  # __cxa_throw (python itself does not link libstdc++) and the first C++ throw aborts.
  asan) san=address,undefined
        lib="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
        export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  tsan) san=thread; lib=$(g++ -print-file-name=libtsan.so)
        export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" ;;
  *) echo "usage: $0 [asan|tsan] [pytest args]" >&2; exit 2 ;;
esac
export VENV=.venv-$kind
TARNWICK_SANITIZE=$san "$root/scripts/setup.sh"
# Hypothesis runs many examples; keep them few under the slow instrumented build.
export TARNWICK_SANITIZER_RUN=1
LD_PRELOAD="$lib" PYTHONMALLOC=malloc "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
