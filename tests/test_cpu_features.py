"""The library on CPUs other than the one it was built on, emulated by qemu's
user mode: one build runs on every x86-64 CPU, takes the engine's assembly
where the CPU has BMI2 and ADX and the generic code elsewhere, and computes
the same results everywhere. It never stops on an illegal instruction."""

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

# Multiplications of the base point and of another point, and a signature
# verified, so that every engine routine that multiplies field elements runs.
SCRIPT = """
from quarlopro import jwt_es256 as j
import sys
print(j.__engine__, file=sys.stderr)
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


# The arithmetic the engine chooses on each CPU (qemu's emulation offers no
# SHA extensions, so hashing is generic there; the host runs them).
CPUS = {"Nehalem": "generic", "Haswell": "generic", "Broadwell": "bmi2-adx", "Skylake-Client": "bmi2-adx",
        "EPYC": "bmi2-adx"}


@pytest.mark.parametrize("cpu", sorted(CPUS))
def test_every_cpu_computes_the_same_results_with_its_own_arithmetic(cpu):
    result = run_on(cpu)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_output()
    assert result.stderr.splitlines()[-1].split("+")[0] == CPUS[cpu]
