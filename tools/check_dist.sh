#!/usr/bin/env bash
# Checks the distributions: builds an sdist and, from it, a wheel with
# `python -m build`; checks what the wheel holds and declares; then installs
# each (the wheel, and the sdist built anew by pip) into a fresh virtual
# environment with the test extra and runs the test suite of the unpacked
# sdist there, away from the source tree.
#
#   tools/check_dist.sh [--wheel-only] [PYTHON]
#
# --wheel-only skips the second install (from the sdist), which compiles the
# library once more. The distributions are left in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

both=1
if [ "${1:-}" = "--wheel-only" ]; then both=0; shift; fi
python=${1:-python3}

work=$(mktemp -d "${TMPDIR:-/tmp}/quarlopro-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$SECONDS

echo "== building the sdist and, from it, the wheel"
"$python" -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip build
rm -rf dist
"$work/build-env/bin/python" -m build --outdir dist . >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
sdist=$(ls "$root"/dist/quarlopro-*.tar.gz)
wheel=$(ls "$root"/dist/quarlopro-*.whl)
echo "   $(basename "$sdist")"
echo "   $(basename "$wheel")"

echo "== checking the wheel's files and metadata"
"$python" - "$wheel" <<'EOF'
import email.parser
import re
import sys
import zipfile

wheel = zipfile.ZipFile(sys.argv[1])
names = set(wheel.namelist())
problems = []
expected = ["quarlopro/py.typed", "_qrl_shared.pyi", "_qrl_shared-stubs/__init__.pyi", "quarlo/cli.py"]
expected += [f"quarlopro/{m}.pyi" for m in ("main", "keygen", "sign", "license", "jwt_es256", "decodekey", "protemplate")]
problems += [f"missing {name}" for name in expected if name not in names]
if not any(re.fullmatch(r"_qrl_shared\.[^/]+\.(so|pyd)", name) for name in names):
    problems.append("missing the library _qrl_shared")
problems += [f"source file shipped: {name}" for name in names if name.endswith((".cpp", ".h", ".pyx", ".pxd"))]
meta_name = next(name for name in names if name.endswith(".dist-info/METADATA"))
meta = email.parser.Parser().parsestr(wheel.read(meta_name).decode())
version = re.search(r'^__version__ = "(.+)"', wheel.read("quarlo/__init__.py").decode(), re.M).group(1)
if meta["Version"] != version:
    problems.append(f"metadata version {meta['Version']} differs from quarlo.__version__ {version}")
runtime = sorted(r.split(";")[0].strip() for r in meta.get_all("Requires-Dist") or [] if "extra ==" not in r)
if runtime != ["Cython>=3.0", "setuptools>=61"]:
    problems.append(f"unexpected runtime requirements: {runtime}")
extras = sorted(meta.get_all("Provides-Extra") or [])
if extras != ["bench", "test"]:
    problems.append(f"unexpected extras: {extras}")
for problem in problems:
    print("   " + problem)
if problems:
    sys.exit(1)
print(f"   {len(names)} files; version {version}; requires {', '.join(runtime)}; extras {', '.join(extras)}")
EOF

# The tests and their data come from the unpacked sdist, so nothing of the
# source tree is importable while they run.
mkdir "$work/src"
tar -xzf "$sdist" -C "$work/src" --strip-components=1

run_suite() {  # run_suite NAME REQUIREMENT
  local venv="$work/venv-$1"
  echo "== $1: installing into a fresh virtual environment"
  local t=$SECONDS
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$2"
  echo "   installed in $((SECONDS - t)) s"
  local version
  version=$(cd "$work" && "$venv/bin/quarlo" --version)
  echo "   quarlo --version: $version"
  echo "== $1: running the tests"
  (cd "$work/src" && "$venv/bin/pytest" -q -p no:cacheprovider ${PYTEST_ARGS:-})
}

run_suite wheel "$wheel[test]"
if [ "$both" = 1 ]; then
  run_suite sdist "$sdist[test]"
fi
echo "== distributions checked in $((SECONDS - start)) s"
