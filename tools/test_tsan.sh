#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer: a free-threaded CPython 3.13 built
# with --with-thread-sanitizer (tools/free_threaded_python.sh --tsan, cached
# outside the clone), the library built with -fsanitize=thread into
# build/tsan, and the tests that run the library from several threads at once.
# Any report fails the run. The suppressions are CPython's own file for its
# free-threaded build and tools/tsan-suppressions.txt, which names one more
# place inside the interpreter; nothing of ours is suppressed. A deliberate
# race (tools/tsan_canary.py) must be reported first, so that a run that
# could not see races does not pass.
#
#   tools/test_tsan.sh                 the threaded tests
#   tools/test_tsan.sh tests/test_x.py other pytest arguments instead
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(tools/free_threaded_python.sh --tsan | tail -n 1)
prefix=$(dirname "$(dirname "$python")")
[ -f "$prefix/tsan-suppressions.txt" ] || { echo "test_tsan.sh: error: no $prefix/tsan-suppressions.txt" >&2; exit 1; }
mkdir -p build/tsan
suppressions=$PWD/build/tsan/suppressions.txt
cat "$prefix/tsan-suppressions.txt" tools/tsan-suppressions.txt >"$suppressions"
# halt_on_error=0 reports every race of a run; exitcode makes any report fail it.
export TSAN_OPTIONS="suppressions=$suppressions halt_on_error=0 exitcode=66 second_deadlock_stack=1"

venv=.venv-tsan
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import pytest, hypothesis, jwt, Cython' 2>/dev/null; then
  echo "== installing the test tools into $venv (ThreadSanitizer interpreter; pip is slow under it)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --only-binary=:all: pytest hypothesis PyJWT Cython setuptools
fi

echo "== building the library with ThreadSanitizer into build/tsan"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRL_TSAN=ON \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build build/tsan --parallel

[ $# -gt 0 ] || set -- tests/test_threads.py tests/test_stress.py "tests/test_jwt_paths.py::test_concurrent_calls_give_the_single_thread_results"
export PYTHONPATH="$PWD/build/tsan:."
"$venv/bin/python" -c 'import sys, _qrl_shared; sys.exit(not _qrl_shared.__file__.startswith(sys.argv[1]))' "$PWD/build/tsan/"

canary_status=0
canary=$("$venv/bin/python" tools/tsan_canary.py 2>&1) || canary_status=$?
if [ "$canary_status" != 66 ] || ! grep -q "WARNING: ThreadSanitizer: data race" <<<"$canary"; then
  echo "test_tsan.sh: error: a deliberate data race was not reported (exit status $canary_status), so this run could not fail on one" >&2
  tail -n 5 <<<"$canary" >&2
  exit 1
fi
echo "== a deliberate data race is reported and fails its run"

start=$SECONDS
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "== ThreadSanitizer run: exit status $status after $((SECONDS - start)) s"
exit $status
