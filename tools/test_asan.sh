#!/bin/sh
# Builds the library with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs tests against it: the whole suite by default, or the pytest arguments
# given. The interpreter itself is not sanitized; it loads the ASan runtime
# first and allocates every object with malloc, so that the library's reads
# and writes of Python objects are checked too.
#
#   tools/test_asan.sh                       all modules, the whole suite
#   QRL_MODULES=decodekey tools/test_asan.sh tests/test_decodekey*.py
#   PYTHON=.venv-asan/bin/python tools/test_asan.sh -x
#
# PYTHON: the interpreter (with the test dependencies); QRL_MODULES: the
# modules built into the library (default: all); BUILD: the build directory
# (default build/asan, or build/asan-<modules> for a selection).
set -eu
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
MODULES=${QRL_MODULES:-}
if [ -n "$MODULES" ]; then
    BUILD=${BUILD:-build/asan-$(echo "$MODULES" | tr ' ;' '--')}
    MODULE_OPTION="-DQRL_MODULES=$(echo "$MODULES" | tr ' ' ';')"
else
    BUILD=${BUILD:-build/asan}
    MODULE_OPTION="-UQRL_MODULES"
fi

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRL_SANITIZE=ON "$MODULE_OPTION" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD" --parallel

[ $# -gt 0 ] || set -- tests

# The runtime must be loaded before the interpreter starts. PYTHONMALLOC=malloc
# puts every Python object (the bytes being parsed among them) in malloc'ed
# blocks with red zones instead of pymalloc's arenas. Leak detection is off:
# the interpreter keeps objects alive until exit by design; tests/test_leaks.py
# watches for leaks instead. UBSan stops at the first report. Capturing at
# the sys level leaves a sanitizer report on the real stderr.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$BUILD:."

# Refuse to run against any other build of the library.
"$PYTHON" -c 'import sys, _qrl_shared; sys.exit(not _qrl_shared.__file__.startswith(sys.argv[1]))' "$(pwd)/$BUILD/"

start=$(date +%s)
status=0
"$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys "$@" || status=$?
echo "== sanitized run ($BUILD): exit status $status after $(( $(date +%s) - start )) s"
exit $status
