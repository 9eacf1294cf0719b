"""`quarlo build` end to end: programs built with and without a runtime key
verify real tokens; the build's failures are one-line errors that leave no
output behind. Each build runs once per module (they take seconds)."""

import argparse
import base64
import io
import json
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

from quarlo import build as quarlo_build
from quarlo import cli
from quarlo.plugins import PluginManager

N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
NOW = 1_700_000_000

# The program under test: verifies each case read from stdin (a JSON list)
# and prints one result per case. "now" fixes the verifier's clock by
# replacing the `time` global of the generated module.
PROGRAM = textwrap.dedent('''
    import json
    import sys

    from cython.cimports.quarlo_pro import _runtime_verify_es256_jwt
    import quarlo_pro


    class FixedClock:
        def __init__(self, now):
            self.now = now

        def time(self):
            return self.now


    def main():
        real_time = quarlo_pro.time
        results = []
        for case in json.load(sys.stdin):
            quarlo_pro.time = FixedClock(case["now"]) if "now" in case else real_time
            try:
                if case.get("by_keyword"):
                    claims = _runtime_verify_es256_jwt(case["token"], expected_iss=case.get("iss"),
                                                       expected_aud=case.get("aud"))
                elif "iss" in case or "aud" in case:
                    claims = _runtime_verify_es256_jwt(case["token"], case.get("iss"), case.get("aud"))
                else:
                    claims = _runtime_verify_es256_jwt(case["token"])
                results.append(["ok", claims])
            except ValueError as error:
                results.append([type(error).__name__, str(error)])
        print(json.dumps(results))
        print(sorted(name for name in vars(quarlo_pro) if not name.startswith("__")), file=sys.stderr)


    if __name__ == "__main__":
        main()
''')


# ---------------------------------------------------------------------------
# Tokens


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def compact(value) -> str:
    return b64(json.dumps(value, separators=(",", ":"), sort_keys=True).encode())


def der_sequence(r: bytes, s: bytes, seq_len: bytes | None = None, trailer: bytes = b"") -> bytes:
    body = b"\x02" + bytes([len(r)]) + r + b"\x02" + bytes([len(s)]) + s
    return b"\x30" + (seq_len if seq_len is not None else bytes([len(body)])) + body + trailer


def make_token(key, claims, header=None, form="raw", high_s=False) -> str:
    """A compact ES256 token signed by `key`; `form` is "raw" or "der"."""
    hashes = pytest.importorskip("cryptography.hazmat.primitives.hashes")
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    utils = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.utils")
    signing_input = compact(header or {"alg": "ES256", "typ": "JWT"}) + "." + compact(claims)
    r, s = utils.decode_dss_signature(key.sign(signing_input.encode(), ec.ECDSA(hashes.SHA256())))
    if high_s == (s <= N // 2):
        s = N - s
    signature = (r.to_bytes(32, "big") + s.to_bytes(32, "big") if form == "raw"
                 else utils.encode_dss_signature(r, s))
    return signing_input + "." + b64(signature)


def with_signature(token: str, signature: bytes) -> str:
    return token.rsplit(".", 1)[0] + "." + b64(signature)


def tampered(token: str) -> str:
    """The token with its claims changed and its signature kept."""
    header, payload, signature = token.split(".")
    claims = json.loads(base64.urlsafe_b64decode(payload + "=="))
    claims["sub"] = claims.get("sub", "") + "x"
    return ".".join([header, compact(claims), signature])


def pem(public_key) -> bytes:
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    return public_key.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


def off_curve_pem(public_key) -> bytes:
    """The SubjectPublicKeyInfo of `public_key` with y + 1: not a P-256 point."""
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    der = public_key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    y = (int.from_bytes(der[-32:], "big") + 1) % 2**256
    body = base64.encodebytes(der[:-32] + y.to_bytes(32, "big")).decode()
    return f"-----BEGIN PUBLIC KEY-----\n{body}-----END PUBLIC KEY-----\n".encode()


# ---------------------------------------------------------------------------
# Builds and runs


class ExtraArgs(PluginManager):
    """The real plug-ins plus extra compile and linker arguments."""

    def getCompileArgs(self):
        return super().getCompileArgs() + ["-DQUARLO_TEST_EXTRA=1"]

    def getLinkerArgs(self, exeName, libraryPath):
        return super().getLinkerArgs(exeName, libraryPath) + [{"extra_postargs": ["-Wl,-O1"]}]


@pytest.fixture(scope="module")
def key():
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    return ec.generate_private_key(ec.SECP256R1())


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("build")
    (directory / "verifier.py").write_text(PROGRAM)
    return directory


def cli_build(workdir: pathlib.Path, name: str, *options: str) -> pathlib.Path:
    output = workdir / name
    assert cli.main(["build", *options, "-o", str(output), str(workdir / "verifier.py")]) == 0
    return output


@pytest.fixture(scope="module")
def keyed(workdir, key):
    (workdir / "public.pem").write_bytes(pem(key.public_key()))
    return cli_build(workdir, "keyed", "--public", str(workdir / "public.pem"), "--executable")


@pytest.fixture(scope="module")
def keyless(workdir):
    """A keyless build, made through the build driver with a verbose log."""
    log = io.StringIO()
    args = argparse.Namespace(program=workdir / "verifier.py", output=workdir / "keyless", executable=False,
                              verbose=True, public=None)
    quarlo_build.build(args, ExtraArgs().load(), quarlo_build.Reporter(log, verbose=True))
    return workdir / "keyless", log.getvalue()


def run_cases(output: pathlib.Path, cases: list, executable: bool = False) -> list:
    command = [str(output / "verifier")] if executable else [sys.executable, "-c", "import verifier; verifier.main()"]
    env = {**os.environ, "PYTHONPATH": str(output)}
    done = subprocess.run(command, input=json.dumps(cases), capture_output=True, text=True, cwd=output, env=env,
                          check=True, timeout=120)
    assert done.stderr.strip() == "['base64', 'hashlib', 'json', 'time']"  # no Python-level functions
    return [tuple(result) for result in json.loads(done.stdout)]


# ---------------------------------------------------------------------------
# A program built with a key


def test_keyed_build_products(keyed):
    suffix = quarlo_build.EXT_SUFFIX
    assert sorted(p.name for p in keyed.iterdir()) == sorted(["verifier", f"verifier{suffix}",
                                                               f"quarlo_pro{suffix}"])


@pytest.mark.parametrize("executable", [False, True], ids=["module", "executable"])
def test_keyed_program_verifies(keyed, key, executable):
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    other = ec.generate_private_key(ec.SECP256R1())
    claims = {"sub": "alice", "n": [1, 2]}
    good = make_token(key, claims)
    header_only_alg = make_token(key, claims, header={"alg": "ES256"})
    cases = [
        ({"token": good}, ("ok", claims)),
        ({"token": tampered(good)}, ("ValueError", "Invalid signature")),
        ({"token": make_token(other, claims)}, ("ValueError", "Invalid signature")),
        ({"token": make_token(key, claims, form="der")}, ("ok", claims)),
        ({"token": make_token(key, claims, high_s=True)}, ("ok", claims)),
        ({"token": header_only_alg}, ("ok", claims)),
        ({"token": make_token(key, claims, header={"alg": "ES256", "typ": "jwt"})}, ("ValueError", "Unexpected typ")),
        ({"token": make_token(key, claims, header={"alg": "none"})}, ("ValueError", "Unexpected alg")),
        ({"token": "%%%.%%%"}, ("ValueError", "need more than 2 values to unpack")),
        ({"token": "a.b.c.d"}, ("ValueError", "too many values to unpack (expected 3)")),
        ({"token": with_signature(good, bytes(10))}, ("ValueError", "Not a DER ECDSA signature")),
        ({"token": with_signature(good, der_sequence(b"\x01" * 33, b"\x01"))},
         ("ValueError", "ECDSA integer too large for P-256")),
    ]
    results = run_cases(keyed, [case for case, _ in cases], executable)
    assert results == [expected for _, expected in cases]


@pytest.mark.parametrize("claims, clock, expected", [
    ({"exp": NOW}, NOW, "ok"),
    ({"exp": NOW - 1}, NOW, "Token expired"),
    ({"nbf": NOW}, NOW, "ok"),
    ({"nbf": NOW + 1}, NOW, "Token not yet valid"),
    ({"iat": NOW}, NOW, "ok"),
    ({"iat": NOW + 1}, NOW, "Invalid iat"),
    ({"exp": "1700000000"}, NOW, "ok"),
    ({"exp": int(time.time()) + 600}, None, "ok"),
    ({"exp": int(time.time()) - 5}, None, "Token expired"),
], ids=lambda value: repr(value))
def test_time_claims_have_no_leeway(keyed, key, claims, clock, expected):
    case = {"token": make_token(key, claims)}
    if clock is not None:
        case["now"] = clock
    [result] = run_cases(keyed, [case])
    assert result == (("ok", claims) if expected == "ok" else ("ValueError", expected))


@pytest.mark.parametrize("claims, iss, aud, expected", [
    ({"aud": "x"}, None, "x", "ok"),
    ({"aud": ["y", "x"]}, None, "x", "ok"),
    ({"aud": "y"}, None, "x", "Invalid audience"),
    ({"aud": []}, None, "x", "Invalid audience"),
    ({}, None, "x", "Invalid audience"),
    ({"aud": 5}, None, "x", "Invalid audience"),
    ({"aud": 5}, None, None, "ok"),
    ({"iss": "me", "aud": "x"}, "me", "x", "ok"),
    ({"iss": "you"}, "me", None, "Invalid issuer"),
    ({}, "me", None, "Invalid issuer"),
], ids=lambda value: repr(value))
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keywords"])
def test_issuer_and_audience(keyed, key, claims, iss, aud, expected, by_keyword):
    [result] = run_cases(keyed, [{"token": make_token(key, claims), "iss": iss, "aud": aud, "by_keyword": by_keyword}])
    assert result == (("ok", claims) if expected == "ok" else ("ValueError", expected))


def signature_variants(key, token):
    """Signature segments around the edges of both signature forms."""
    r, s = (int.from_bytes(raw, "big") for raw in (lambda sig: (sig[:32], sig[32:]))(
        base64.urlsafe_b64decode(token.rsplit(".", 1)[1] + "==")))
    rb, sb = r.to_bytes(32, "big"), s.to_bytes(32, "big")
    raw = lambda a, b: a.to_bytes(32, "big") + b.to_bytes(32, "big")
    rng = random.Random(7)
    yield from [raw(0, s), raw(r, 0), raw(N, s), raw(r, N), raw(N - 1, s), raw(r, N - s), rb + sb[:-1] + b"\0"]
    yield from [bytes(63), bytes(65), b"", b"\x30", rng.randbytes(70)]
    yield from [der_sequence(rb, sb), der_sequence(b"\0\0" + rb, sb), der_sequence(rb, b"\0" + sb),
                der_sequence(rb, sb, seq_len=b"\x81\x44"), der_sequence(rb, sb, seq_len=b"\x82\x00\x44"),
                der_sequence(rb, sb, seq_len=b"\x83\x00\x00\x44"), der_sequence(rb, sb, seq_len=b"\x80"),
                der_sequence(rb, sb, trailer=b"\0"), der_sequence(b"", sb), der_sequence(rb, b""),
                der_sequence(b"\x01", b"\x02"), der_sequence(b"\x80" + rb, sb), der_sequence(rb, b"\x01" * 33)]
    yield from [b"\x30\x06\x02\x01\x01\x02\x01", b"\x30\x06\x02\x03\x01\x02\x03\x02", b"\x30\x06\x03\x01\x01\x02\x01\x02",
                b"\x30\x06\x02\x01\x01\x03\x01\x02", b"\x30\x05\x02\x04\x01\x02\x01\x02"]


def test_same_answers_as_the_library_verifier(keyed, key):
    """The generated verifier and jwt_es256.verify_es256_jwt (with no leeway)
    accept and refuse the same tokens with the same messages."""
    import quarlopro.jwt_es256 as jwt_es256

    numbers = key.public_key().public_numbers()
    base = make_token(key, {"sub": "a"})
    tokens = [with_signature(base, sig) for sig in signature_variants(key, base)]
    tokens += [base, tampered(base), "a.b", "e30.e30.", "e30.W10." + base.rsplit(".", 1)[1],
               make_token(key, ["not", "an", "object"]), base.replace(".", ".!", 1),
               make_token(key, {"sub": "a"}, header={"alg": "ES256", "typ": None})]
    expected = []
    for token in tokens:
        try:
            expected.append(("ok", jwt_es256.verify_es256_jwt(token, (numbers.x, numbers.y), leeway_seconds=0)))
        except ValueError as error:
            expected.append((type(error).__name__, str(error)))
    assert run_cases(keyed, [{"token": token} for token in tokens]) == expected


# ---------------------------------------------------------------------------
# Keyless and off-curve builds


def test_keyless_build_refuses_every_signature(keyless, key):
    output, _ = keyless
    good = make_token(key, {"sub": "a"})
    cases = [good, make_token(key, {}, form="der"), make_token(key, {}, header={"alg": "HS256"}),
             make_token(key, {}, header={"alg": "ES256", "typ": "at+jwt"}), "a.b"]
    assert run_cases(output, [{"token": token} for token in cases]) == [
        ("ValueError", "Invalid signature"), ("ValueError", "Invalid signature"), ("ValueError", "Unexpected alg"),
        ("ValueError", "Unexpected typ"), ("ValueError", "need more than 2 values to unpack")]


def test_build_passes_macro_and_plugin_arguments_to_the_compiler(keyless):
    _, log = keyless
    compiles = [line for line in log.splitlines() if line.strip().startswith("$ ") and " -c " in line]
    links = [line for line in log.splitlines() if line.strip().startswith("$ ") and " -shared " in line]
    assert len(compiles) == 2 and len(links) == 2
    assert all("-DCYTHON_COMPRESS_STRINGS=90" in line and "-DQUARLO_TEST_EXTRA=1" in line for line in compiles)
    assert all("-Wl,-O1" in line for line in links)
    assert "macro CYTHON_COMPRESS_STRINGS=90" in log


def test_off_curve_key_builds_and_refuses_every_token(workdir, key):
    (workdir / "off.pem").write_bytes(off_curve_pem(key.public_key()))
    output = cli_build(workdir, "offcurve", "--public", str(workdir / "off.pem"))
    assert run_cases(output, [{"token": make_token(key, {"sub": "a"})}]) == [("ValueError", "Invalid signature")]


# ---------------------------------------------------------------------------
# Failures


@pytest.fixture
def failing_build(workdir, capsys, monkeypatch):
    """Runs `quarlo build` expecting a failure; returns its stderr lines."""

    def run(program: str, *options: str, output="out") -> list[str]:
        monkeypatch.chdir(workdir)
        status = cli.main(["build", *options, "-o", output, program])
        captured = capsys.readouterr()
        assert status == 1
        return captured.err.splitlines()

    return run


@pytest.mark.parametrize("setup, options, program, message", [
    (None, ["--public", "missing.pem"], "verifier.py", "quarlo: error: [Errno 2] No such file or directory: 'missing.pem'"),
    ("notpem", ["--public", "notpem.pem"], "verifier.py", "PUBLIC KEY"),
    ("p384", ["--public", "p384.pem"], "verifier.py", "quarlo: error: Unsupported JWK key type or curve"),
    (None, [], "absent.py", "quarlo: error: program not found: absent.py"),
    ("badname", [], "bad-name.py", "must be a Python identifier"),
    ("syntax", [], "broken.py", "quarlo: error: Cython cannot compile broken.py: "),
    ("undeclared", [], "undeclared.py", "quarlo: error: Cython cannot compile undeclared.py: "),
    # The C compiler's error names the generated file, not the gone build directory.
    ("c-error", [], "cfail.pyx", " failed: cfail.c:"),
], ids=["missing-key", "not-pem", "p384-key", "no-program", "bad-name", "syntax-error", "bad-cimport", "c-error"])
def test_build_failures_are_one_line_and_leave_no_output(failing_build, workdir, setup, options, program, message):
    files = {
        "notpem": ("notpem.pem", "not a key\n"),
        "badname": ("bad-name.py", "print(1)\n"),
        "syntax": ("broken.py", "def main(:\n    pass\n"),
        "undeclared": ("undeclared.py", "from cython.cimports.quarlo_pro import no_such_function\n"),
        "c-error": ("cfail.pyx", 'cdef extern from "quarlo_no_such_header.h":\n    int f()\nprint(f())\n'),
    }
    if setup == "p384":  # the only case that needs cryptography
        ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
        files["p384"] = ("p384.pem", pem(ec.generate_private_key(ec.SECP384R1()).public_key()).decode())
    if setup:
        (workdir / files[setup][0]).write_text(files[setup][1])
    lines = failing_build(program, *options)
    errors = [line for line in lines if line.startswith("quarlo: error:")]
    assert len(errors) == 1 and message in errors[0]
    assert lines[-1] == errors[0]
    assert not (workdir / "out").exists()


def test_missing_compiler_keeps_the_previous_build(failing_build, workdir, monkeypatch, keyless):
    output, _ = keyless
    before = {p.name: p.stat().st_mtime_ns for p in output.iterdir()}
    monkeypatch.setenv("CC", str(workdir / "no-such-cc"))
    [line] = [line for line in failing_build("verifier.py", output=str(output)) if "error" in line]
    assert line.startswith("quarlo: error: C compiler not found: ")
    assert {p.name: p.stat().st_mtime_ns for p in output.iterdir()} == before


def test_usage_error_exits_2(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["build"])
    assert exit_info.value.code == 2
    assert "the following arguments are required: PROGRAM" in capsys.readouterr().err


def test_install_failing_midway_keeps_the_previous_build(tmp_path, monkeypatch):
    # A copy that fails (a full disk) on the second product: the output
    # directory keeps every previous file and no staged leftovers.
    products, output = tmp_path / "products", tmp_path / "out"
    products.mkdir()
    output.mkdir()
    for name in ("prog.so", "quarlo_pro.so", "prog"):
        (products / name).write_text(f"new {name}")
        (output / name).write_text(f"old {name}")
    real_copy = quarlo_build.shutil.copy2
    copies = []

    def copy_then_fail(source, target):
        copies.append(source)
        if len(copies) == 2:
            raise OSError(28, "No space left on device")
        return real_copy(source, target)

    monkeypatch.setattr(quarlo_build.shutil, "copy2", copy_then_fail)
    # Named as the file it was to become, not as its staged copy.
    with pytest.raises(quarlo_build.BuildError, match=f"^cannot write {output / 'prog.so'}: No space left on device$"):
        quarlo_build._install(products, output)
    assert {p.name: p.read_text() for p in output.iterdir()} == {name: f"old {name}" for name in
                                                                  ("prog.so", "quarlo_pro.so", "prog")}
    monkeypatch.setattr(quarlo_build.shutil, "copy2", real_copy)
    assert sorted(p.name for p in quarlo_build._install(products, output)) == ["prog", "prog.so", "quarlo_pro.so"]
    assert {p.name: p.read_text() for p in output.iterdir()} == {name: f"new {name}" for name in
                                                                  ("prog.so", "quarlo_pro.so", "prog")}


def test_a_full_temporary_directory_is_named_as_such(failing_build, workdir, monkeypatch):
    def full(unit, directory):
        raise OSError(28, "No space left on device", str(directory / f"{unit.module}.pyx"))

    monkeypatch.setattr(quarlo_build, "write_unit", full)
    [line] = [line for line in failing_build("verifier.py") if line.startswith("quarlo: error:")]
    assert line == f"quarlo: error: cannot write the build's intermediate files in {tempfile.gettempdir()}: " \
                   "No space left on device"


# ---------------------------------------------------------------------------
# The example program


@pytest.fixture(scope="module")
def example(workdir, key):
    (workdir / "public.pem").write_bytes(pem(key.public_key()))
    program = pathlib.Path(__file__).resolve().parent.parent / "examples" / "verify_token.py"
    assert cli.main(["-q", "build", "--public", str(workdir / "public.pem"), "--executable", "-o",
                     str(workdir / "example"), str(program)]) == 0
    return workdir / "example" / "verify_token"


@pytest.mark.parametrize("content, args, status, output", [
    ("good", [], 0, '{"aud": "api", "sub": "alice"}'),
    ("good\n", ["--aud", "api"], 0, '{"aud": "api", "sub": "alice"}'),
    ("good", ["--iss", "me"], 1, "verify_token: token refused: Invalid issuer"),
    ("tampered", [], 1, "verify_token: token refused: Invalid signature"),
    (None, [], 1, "verify_token: cannot read {file}: No such file or directory"),
    ("directory", [], 1, "verify_token: cannot read {file}: Is a directory"),
    (b"caf\xc3\xa9", [], 1, "verify_token: {file} holds no token: byte 3 is not ASCII"),
    ("W10.e30." + "A" * 86, [], 1, "verify_token: token refused: AttributeError: 'list' object has no attribute 'get'"),
], ids=["good", "line-break", "issuer", "tampered", "missing", "directory", "non-ascii", "list-header"])
def test_example_program_answers_in_one_line(example, key, tmp_path, content, args, status, output):
    good = make_token(key, {"sub": "alice", "aud": "api"})
    file = tmp_path / "t.jwt"
    if content == "directory":
        file.mkdir()
    elif content is not None:
        data = {"good": good, "good\n": good + "\n", "tampered": tampered(good)}.get(content, content)
        file.write_bytes(data if isinstance(data, bytes) else data.encode())
    done = subprocess.run([str(example), str(file), *args], capture_output=True, text=True, timeout=60)
    assert (done.returncode, (done.stdout + done.stderr).rstrip("\n")) == (status, output.replace("{file}", str(file)))


def test_example_program_stops_quietly_at_a_closed_pipe(example, key, tmp_path):
    (tmp_path / "t.jwt").write_text(make_token(key, {"sub": "alice"}))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run([str(example), str(tmp_path / "t.jwt")], stdout=write_end, stderr=subprocess.PIPE,
                              text=True, timeout=60)
    finally:
        os.close(write_end)
    assert (done.returncode, done.stderr) == (141, "")
