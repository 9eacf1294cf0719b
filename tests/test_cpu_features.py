"""The library on CPUs other than the one it was built on, emulated by qemu's
user mode: it either computes the same results or refuses to import with an
ImportError that says why. It never stops on an illegal instruction."""

import os
import platform
import shutil
import subprocess
import sys

import pytest

from quarlopro import jwt_es256

QEMU = shutil.which("qemu-x86_64")
pytestmark = [
    pytest.mark.skipif(QEMU is None or platform.machine() != "x86_64",
                       reason="needs qemu-x86_64 (Debian's qemu-user) on an x86-64 machine"),
    # The AddressSanitizer runtime cannot map its shadow memory under the
    # emulator.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitized library does not run under qemu's emulation"),
]

REFUSAL = "quarlopro was built for CPUs with the BMI2 and ADX instructions, which this CPU lacks"

# Multiplications of the base point and of another point, and a signature
# verified, so that every engine routine that multiplies field elements runs.
SCRIPT = """
from quarlopro import jwt_es256 as j
g = (j._P256_GX, j._P256_GY)
q = j._scalar_mult(0xC0FFEE, g)
print(q)
print(j._scalar_mult(2**255 - 19, q))
signature = j._sign_ecdsa_p256_sha256(b"message", 0xC0FFEE)
print(signature.hex(), j._verify_ecdsa_p256_sha256(b"message", signature, q))
"""


def expected_output() -> str:
    g = (jwt_es256._P256_GX, jwt_es256._P256_GY)
    q = jwt_es256._scalar_mult(0xC0FFEE, g)
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"message", 0xC0FFEE)
    lines = [str(q), str(jwt_es256._scalar_mult(2**255 - 19, q)),
             f"{signature.hex()} {jwt_es256._verify_ecdsa_p256_sha256(b'message', signature, q)}"]
    return "\n".join(lines) + "\n"


def run_on(cpu: str) -> subprocess.CompletedProcess:
    return subprocess.run([QEMU, "-cpu", cpu, sys.executable, "-c", SCRIPT],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("cpu", ["Skylake-Client", "EPYC"])
def test_cpus_with_bmi2_and_adx_compute_the_same_results(cpu):
    result = run_on(cpu)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_output()


@pytest.mark.parametrize("cpu", ["Nehalem", "Haswell"])  # no BMI2 and ADX; BMI2 only
def test_older_cpus_compute_the_same_results_or_refuse_the_import(cpu):
    result = run_on(cpu)
    if result.returncode == 0:  # a library built for any x86-64 CPU
        assert result.stdout == expected_output()
    else:
        assert result.returncode == 1, (result.returncode, result.stderr)
        assert f"ImportError: {REFUSAL}" in result.stderr
