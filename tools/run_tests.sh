#!/usr/bin/env bash
# Installs the package with its test dependencies into a fresh virtual
# environment per interpreter given, and runs the test suite there; then the
# native engine's own tests (with the constant-time check under valgrind).
# The first interpreter also runs the key decoder's tests against a build with
# AddressSanitizer and UBSan (make test-asan runs the whole suite that way).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -gt 0 ] || set -- python3
for python in "$@"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=".venv-test-$version"
  echo "== Python $version ($python): installing into $venv"
  start=$SECONDS
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q ".[test]"
  echo "== Python $version: installed in $((SECONDS - start)) s; running the tests"
  "$venv/bin/pytest" -q -p no:cacheprovider ${PYTEST_ARGS:-}
  if [ -z "${sanitized_done:-}" ]; then
    echo "== Python $version: the key decoder's tests under AddressSanitizer and UBSan"
    PYTHON="$PWD/$venv/bin/python" tests/run_sanitized.sh
    sanitized_done=1
  fi
done

echo "== native engine tests"
make -C p256 test PYTHON="$PWD/$venv/bin/python"
