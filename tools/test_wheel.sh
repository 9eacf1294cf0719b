#!/usr/bin/env bash
# The library as users get it: a wheel built here is a manylinux wheel
# (auditwheel finds no shared library outside the allowed set), and once
# installed it signs and verifies on an emulated Nehalem (no BMI2, ADX or
# SHA extensions) exactly as on this machine. A library forced to the
# assembly (QRL_ENGINE_ADX=ON) refuses the import there with its message.
# Needs qemu-x86_64 (Debian's qemu-user); says so and fails without it.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
command -v qemu-x86_64 >/dev/null || { echo "test_wheel.sh: error: needs qemu-x86_64 (Debian's qemu-user)" >&2; exit 1; }
work=build/wheel
rm -rf "$work"
mkdir -p "$work"

echo "== building the wheel"
"$PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip auditwheel
"$work/venv/bin/python" -m pip wheel -q --no-deps -w "$work/dist" .
wheel=$(ls "$work"/dist/quarlopro-*.whl)
echo "== auditwheel show $(basename "$wheel")"
"$work/venv/bin/auditwheel" show "$wheel" | tee "$work/auditwheel.txt"
tr -s ' \n' '  ' <"$work/auditwheel.txt" | grep -q 'is consistent with the following platform tag: "manylinux' ||
  { echo "test_wheel.sh: error: the wheel is not a manylinux wheel" >&2; exit 1; }
# The package's sources stay out: the wheel holds the library, the loader and the stubs.
sources=$("$work/venv/bin/python" -c 'import sys, zipfile
print(" ".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith((".cpp", ".h", ".pyx", ".pxd"))))' "$wheel")
[ -z "$sources" ] || { echo "test_wheel.sh: error: the wheel carries sources: $sources" >&2; exit 1; }
"$work/venv/bin/python" -m pip install -q "$wheel"

script='
from quarlopro import jwt_es256 as j
g = (j._P256_GX, j._P256_GY)
q = j._scalar_mult(0xC0FFEE, g)
signature = j._sign_ecdsa_p256_sha256(b"message" * 1000, 0xC0FFEE)
print(q, j._scalar_mult(2**255 - 19, q), signature.hex(), j._verify_ecdsa_p256_sha256(b"message" * 1000, signature, q))
'
interpreter=$("$work/venv/bin/python" -c 'import sys; print(sys.executable)')
here=$("$interpreter" -c "$script")
nehalem=$(qemu-x86_64 -cpu Nehalem "$interpreter" -c "$script
import sys; print(j.__engine__, file=sys.stderr)" 2>"$work/engine.txt")
[ "$here" = "$nehalem" ] || { echo "test_wheel.sh: error: the installed wheel computes differently on Nehalem" >&2; exit 1; }
echo "== the installed wheel on an emulated Nehalem: same results ($(tail -n 1 "$work/engine.txt"))"

echo "== a library forced to the BMI2/ADX assembly on an emulated Nehalem"
cmake -S . -B "$work/adx-on" -DQRL_ENGINE_ADX=ON -DQRL_MODULES="jwt_es256" \
    -DPython_EXECUTABLE="$interpreter" >/dev/null
cmake --build "$work/adx-on" --parallel >/dev/null
refusal=$(PYTHONPATH="$work/adx-on:." qemu-x86_64 -cpu Nehalem "$interpreter" -c 'import quarlopro.jwt_es256' 2>&1 | tail -n 1 || true)
case $refusal in
  "ImportError: quarlopro was built for CPUs with the BMI2 and ADX instructions only"*) echo "== refused: $refusal" ;;
  *) echo "test_wheel.sh: error: expected the import to be refused, got: $refusal" >&2; exit 1 ;;
esac
