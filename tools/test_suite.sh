#!/usr/bin/env bash
# Installs the package with its test dependencies into a fresh virtual
# environment of the interpreter given (.venv-test-<version>) and runs the
# test suite there. Extra arguments go to pytest.
#
#   tools/test_suite.sh python3
#   tools/test_suite.sh "$(tools/free_threaded_python.sh | tail -n 1)" -x
#   tools/test_suite.sh --venv-of python3     prints the environment's directory
#
# On a free-threaded interpreter the peers without a wheel for its ABI
# (cryptography, atheris) are left out; the tests that need them skip, each
# with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || { echo "usage: tools/test_suite.sh [--venv-of] PYTHON [PYTEST-ARGS...]" >&2; exit 2; }
venv_only=0
if [ "$1" = --venv-of ]; then venv_only=1; shift; fi
python=$1
shift

read -r version free_threaded < <("$python" -c '
import sys, sysconfig
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
debug = "-dbg" if hasattr(sys, "gettotalrefcount") else ""
print("%d.%d%s%s" % (sys.version_info[:2] + ("t" if ft else "", debug)), int(ft))')
venv=".venv-test-$version"
if [ $venv_only = 1 ]; then echo "$venv"; exit 0; fi
echo "== Python $version ($python): installing into $venv"
start=$SECONDS
rm -rf "$venv"
"$python" -m venv "$venv"
# pip leaves files open, which a debug interpreter reports on every index page
export PYTHONWARNINGS=ignore::ResourceWarning
"$venv/bin/python" -m pip install -q --upgrade pip
if [ "$free_threaded" = 1 ]; then
  # Wheels only: hypothesis and mypy have older pure-Python wheels for this
  # ABI, while their newest releases need Rust builds.
  "$venv/bin/python" -m pip install -q --only-binary=:all: pytest hypothesis PyJWT mypy Cython setuptools
  "$venv/bin/python" -m pip install -q .
else
  "$venv/bin/python" -m pip install -q ".[test]"
fi
unset PYTHONWARNINGS
echo "== Python $version: installed in $((SECONDS - start)) s; running the tests"
start=$SECONDS
status=0
"$venv/bin/pytest" -q -p no:cacheprovider "$@" || status=$?
echo "== Python $version: tests finished with status $status in $((SECONDS - start)) s"
exit $status
