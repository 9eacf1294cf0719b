#!/usr/bin/env bash
# Installs the package with its test dependencies into a fresh virtual
# environment per interpreter given, and runs the test suite there; then the
# native engine's own tests (with the constant-time check under valgrind).
# The first interpreter also runs the key decoder's tests against a build with
# AddressSanitizer and UBSan (make test-asan runs the whole suite that way).
set -euo pipefail
cd "$(dirname "$0")/.."

# A debug build of CPython (Py_DEBUG), where present, runs the suite once
# more: it counts every reference (sys.gettotalrefcount, which the leak tests
# compare) and checks the C API's assertions on the library's calls.
debug_python=""
for candidate in python3-dbg python3.13-dbg python3.12-dbg python3.11-dbg; do
  if command -v "$candidate" >/dev/null 2>&1 &&
     "$candidate" -c 'import sys; sys.exit(not (sys.version_info >= (3, 11) and hasattr(sys, "gettotalrefcount")))' 2>/dev/null; then
    debug_python=$candidate
    break
  fi
done

[ $# -gt 0 ] || set -- python3
[ -z "$debug_python" ] || set -- "$@" "$debug_python"
[ -n "$debug_python" ] || echo "== no debug build of CPython here (python3-dbg): the total reference count checks are skipped"
for python in "$@"; do
  version=$("$python" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + ("-dbg" if hasattr(sys, "gettotalrefcount") else "",)))')
  venv=".venv-test-$version"
  echo "== Python $version ($python): installing into $venv"
  start=$SECONDS
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # pip leaves files open, which a debug interpreter reports on every index page
  PYTHONWARNINGS=ignore::ResourceWarning "$venv/bin/python" -m pip install -q --upgrade pip
  PYTHONWARNINGS=ignore::ResourceWarning "$venv/bin/python" -m pip install -q ".[test]"
  echo "== Python $version: installed in $((SECONDS - start)) s; running the tests"
  "$venv/bin/pytest" -q -p no:cacheprovider ${PYTEST_ARGS:-}
  if [ -z "${first_venv:-}" ]; then
    first_venv=$venv
    echo "== Python $version: the key decoder's tests under AddressSanitizer and UBSan"
    PYTHON="$PWD/$venv/bin/python" tools/test_asan_decodekey.sh
  fi
done

echo "== native engine tests"
make -C p256 test PYTHON="$PWD/$first_venv/bin/python"
