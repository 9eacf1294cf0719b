#!/bin/sh
# Builds the library with only decodekey under AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan-decodekey and runs the decodekey
# tests against it. Extra arguments go to pytest.
#   tests/run_sanitized.sh            (PYTHON=python3.13 tests/run_sanitized.sh)
set -eu
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
BUILD=build/asan-decodekey

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRL_MODULES=decodekey -DQRL_SANITIZE=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD"

# The interpreter is not built with ASan, so the runtime must be loaded first.
# PYTHONMALLOC=malloc puts every Python object (the bytes being parsed among
# them) in malloc'ed blocks with ASan red zones instead of pymalloc's arenas.
# Leak detection is off: the interpreter keeps objects alive until exit.
# Capturing at the sys level leaves a sanitizer report on the real stderr.
LD_PRELOAD="$(gcc -print-file-name=libasan.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$BUILD:." \
    "$PYTHON" -m pytest tests/test_decodekey*.py -q -p no:cacheprovider --capture=sys "$@"
