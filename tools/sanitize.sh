#!/usr/bin/env bash
# Runs the whole test suite against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any report fails the run (-fno-sanitize-recover, halt_on_error).
# Needs `make build` first (for the venv and build tools). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/sanitized
bash tools/build_variant.sh "$out" -DTOVALIB_SANITIZE=ON >/dev/null
# The interpreter is not instrumented, so the sanitizer runtimes must be loaded before it starts.
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# Leak detection is off: CPython keeps much of its memory until exit, by design.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
module=$(LD_PRELOAD="$runtimes" PYTHONPATH="$PWD/$out" .venv/bin/python -c 'import tovalib; print(tovalib.__file__)')
case "$module" in
  "$PWD/$out"/*) ;;
  *) echo "sanitize: expected the sanitized module, got $module" >&2; exit 1 ;;
esac
LD_PRELOAD="$runtimes" PYTHONPATH="$PWD/$out" .venv/bin/python -m pytest -p no:cacheprovider "$@"
