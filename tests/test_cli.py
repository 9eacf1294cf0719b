"""The quarlo command line: the plug-in's subcommands and their registration,
one-line errors and exit codes, and interoperation of the keys and tokens
with real peers (cryptography, PyJWT, the openssl command)."""

import argparse
import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import jwt as pyjwt
import pytest

import quarlopro.keygen
import quarlopro.license
import quarlopro.main as main
import quarlopro.sign


def python_env() -> dict:
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    return env


def quarlo(cwd, *args, check_status=None):
    """Runs `python -m quarlo ARGS` in `cwd`; returns (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "quarlo", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=python_env(), timeout=120)
    if check_status is not None:
        assert done.returncode == check_status, done.stderr
    return done.returncode, done.stdout, done.stderr


def one_error_line(stderr: str) -> str:
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quarlo: error: "), stderr
    return lines[0][len("quarlo: error: "):]


# ---------------------------------------------------------------------------
# Registration


@pytest.fixture
def parser():
    parser = argparse.ArgumentParser(prog="host")
    main.Plugin(None).extendSubParsers(parser.add_subparsers(dest="command"))
    return parser


def test_subcommands_parse_and_bind_their_handlers(parser):
    keygen = parser.parse_args(["keygen"])
    assert (keygen.private, keygen.public, keygen.func) == (None, None, quarlopro.keygen.keygen)
    sign = parser.parse_args(["sign", "--expires", "60", "--private", "k.pem", '{"a": 1}', "out.jwt"])
    assert vars(sign) == {"command": "sign", "expires": 60, "private": pathlib.Path("k.pem"), "payload": '{"a": 1}',
                          "jwt": pathlib.Path("out.jwt"), "func": quarlopro.sign.signJwt}
    show = parser.parse_args(["show", "--public", "p.pem", "t.jwt"])
    assert (show.public, show.jwt, show.func) == (pathlib.Path("p.pem"), pathlib.Path("t.jwt"),
                                                  quarlopro.license.showJwt)
    with pytest.raises(SystemExit):
        parser.parse_args(["sign", "{}", "out.jwt"])  # --private is required


def test_registration_calls(parser):
    class Recorder:
        def __init__(self, log, name=None):
            self.log, self.name = log, name

        def add_parser(self, *args, **kwargs):
            self.log.append(("add_parser", args, kwargs))
            return Recorder(self.log, args[0])

        def add_argument(self, *args, **kwargs):
            self.log.append((self.name, args, kwargs))

        def set_defaults(self, **kwargs):
            self.log.append((self.name, "set_defaults", tuple(kwargs.items())))

    log = []
    assert main.Plugin(None).extendSubParsers(Recorder(log)) is None
    path = pathlib.Path
    assert log == [
        ("add_parser", ("keygen",), {"help": "Generate a new keypair (Pro)"}),
        ("keygen", ("--private",), {"type": path, "help": "Private key file"}),
        ("keygen", ("--public",), {"type": path, "help": "Public key file"}),
        ("keygen", "set_defaults", (("func", quarlopro.keygen.keygen),)),
        ("add_parser", ("sign",), {"help": "Sign a JWT (Pro)"}),
        ("sign", ("--expires",), {"type": int, "help": "Token expiration time in seconds"}),
        ("sign", ("--private",), {"type": path, "required": True, "help": "Private key file"}),
        ("sign", ("payload",), {"type": str, "help": "JWT payload"}),
        ("sign", ("jwt",), {"type": path, "help": "JWT file"}),
        ("sign", "set_defaults", (("func", quarlopro.sign.signJwt),)),
        ("add_parser", ("show",), {"help": "Show information about a JWT (Pro)"}),
        ("show", ("--public",), {"type": path, "help": "Public Key file"}),
        ("show", ("jwt",), {"type": path, "help": "JWT token"}),
        ("show", "set_defaults", (("func", quarlopro.license.showJwt),)),
    ]


@pytest.mark.parametrize("command, texts", [
    ([], ["Generate a new keypair (Pro)", "Sign a JWT (Pro)", "Show information about a JWT (Pro)", "build"]),
    (["keygen"], ["Private key file", "Public key file"]),
    (["sign"], ["Token expiration time in seconds", "Private key file", "JWT payload", "JWT file"]),
    (["show"], ["Public Key file", "JWT token"]),
    (["build"], ["PEM public key for runtime JWT verification API (Pro)", "--executable", "--output"]),
])
def test_help(tmp_path, command, texts):
    _, out, _ = quarlo(tmp_path, *command, "--help", check_status=0)
    flat = " ".join(out.split())
    assert all(text in flat for text in texts)


# ---------------------------------------------------------------------------
# The commands end to end, with real peers


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    directory = tmp_path_factory.mktemp("keys")
    quarlo(directory, "keygen", "--private", "k.pem", "--public", "p.pem", check_status=0)
    return directory


def test_keys_load_in_cryptography_and_openssl(keys):
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    private = serialization.load_pem_private_key((keys / "k.pem").read_bytes(), None)
    public = serialization.load_pem_public_key((keys / "p.pem").read_bytes())
    assert private.public_key().public_numbers() == public.public_numbers()
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    from_private = subprocess.run(["openssl", "pkey", "-in", "k.pem", "-pubout"], cwd=keys, capture_output=True,
                                  check=True).stdout
    from_public = subprocess.run(["openssl", "pkey", "-pubin", "-in", "p.pem"], cwd=keys, capture_output=True,
                                 check=True).stdout
    assert from_private == from_public == (keys / "p.pem").read_bytes()
    text = subprocess.run(["openssl", "pkey", "-in", "k.pem", "-noout", "-text"], cwd=keys, capture_output=True,
                          text=True, check=True).stdout
    assert "prime256v1" in text


def test_signed_tokens_verify_with_pyjwt_and_show(keys, tmp_path):
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    quarlo(keys, "sign", "--expires", "600", "--private", "k.pem", '{"sub": "alice"}', tmp_path / "t.jwt",
           check_status=0)
    token = (tmp_path / "t.jwt").read_text()
    public = serialization.load_pem_public_key((keys / "p.pem").read_bytes())
    claims = pyjwt.decode(token, public, algorithms=["ES256"])
    assert claims["sub"] == "alice" and claims["exp"] - claims["iat"] == 600
    for args in ([], ["--public", keys / "p.pem"]):
        _, out, err = quarlo(tmp_path, "show", *args, "t.jwt", check_status=0)
        assert out == f"{dict(sorted(claims.items()))}\n" and err == ""


def test_show_verifies_pyjwt_tokens_and_refuses_bad_ones(keys, tmp_path):
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    private = serialization.load_pem_private_key((keys / "k.pem").read_bytes(), None)
    other = ec.generate_private_key(ec.SECP256R1())
    good = pyjwt.encode({"sub": "a", "exp": int(time.time()) + 60}, private, algorithm="ES256")
    header, _, signature = good.split(".")
    cases = {
        "good": (good, None),
        "other key": (pyjwt.encode({"sub": "a"}, other, algorithm="ES256"), "Invalid signature"),
        "expired": (pyjwt.encode({"sub": "a", "exp": int(time.time()) - 3600}, private, algorithm="ES256"),
                    "Token expired"),
        "tampered": (".".join([header, base64.urlsafe_b64encode(b'{"sub":"b"}').rstrip(b"=").decode(), signature]),
                     "Invalid signature"),
    }
    for name, (token, message) in cases.items():
        (tmp_path / "t.jwt").write_text(token)
        status, out, err = quarlo(tmp_path, "show", "--public", keys / "p.pem", "t.jwt")
        if message is None:
            assert (status, err) == (0, "") and "'sub': 'a'" in out, name
        else:
            assert (status, out, one_error_line(err)) == (1, "", message), name
            assert quarlo(tmp_path, "show", "t.jwt", check_status=0)[1].startswith("{"), name


@pytest.mark.parametrize("args, message", [
    (["sign", "--private", "k.pem", "[1, 2]", "t.jwt"], "JWT payload must be a JSON object"),
    (["sign", "--private", "k.pem", "nothing.json", "t.jwt"],
     "payload must be a JSON object string or a path to a JSON file"),
    (["sign", "--private", "missing.pem", "{}", "t.jwt"], "No such file or directory: 'missing.pem'"),
    (["sign", "--private", "p.pem", "{}", "t.jwt"], ""),
    (["sign", "--private", "k.pem", "{}", "k.pem"], "refusing to overwrite the key"),
    (["sign", "--private", "k.pem", "{}", "."], "Is a directory"),
    (["show", "t.jwt"], "No such file or directory: 't.jwt'"),
    (["show", "k.pem"], "list index out of range"),
    (["keygen", "--private", "new.pem"], "--public"),
    (["keygen", "--private", "new.pem", "--public", "new.pem"], "two different files"),
    (["build", "--public", "k.pem", "prog.py"], "PUBLIC KEY"),
    # Errors the library lets through for malformed input: one line, type first.
    (["show", "--public", "p.pem", "list_header.jwt"], "AttributeError: 'list' object has no attribute 'get'"),
    (["sign", "--private", "k.pem", "deep.json", "t.jwt"], "RecursionError: maximum recursion depth exceeded"),
], ids=lambda value: value if isinstance(value, str) else " ".join(value))
def test_expected_failures_are_one_line(keys, tmp_path, args, message):
    for name in ("k.pem", "p.pem"):
        shutil.copy(keys / name, tmp_path / name)
    (tmp_path / "prog.py").write_text("print(1)\n")
    (tmp_path / "list_header.jwt").write_text("W10.e30." + "A" * 86)
    (tmp_path / "deep.json").write_text("[" * 100000 + "]" * 100000)
    before = sorted(p.name for p in tmp_path.iterdir())
    status, out, err = quarlo(tmp_path, *args)
    assert status == 1
    assert out == "" or (args[0] == "build" and "built in" not in out)  # build shows its progress
    assert message in one_error_line(err)
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "k.pem").read_bytes() == (keys / "k.pem").read_bytes()


@pytest.mark.parametrize("args", [[], ["sign", "{}", "t.jwt"], ["show"], ["keygen", "--bogus"], ["nope"]])
def test_usage_errors_exit_2(tmp_path, args):
    status, _, err = quarlo(tmp_path, *args)
    assert status == 2 and "usage: quarlo" in err


def test_console_script(tmp_path):
    # Installed next to the interpreter (a venv's bin/), or on PATH.
    beside = pathlib.Path(sys.executable).with_name("quarlo")
    script = str(beside) if beside.is_file() else shutil.which("quarlo")
    if script is None:
        pytest.skip("the quarlo console script is not installed (dev tree)")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, cwd=tmp_path, env=python_env())
    assert done.returncode == 0 and "keygen" in done.stdout


def test_payload_file_with_bom_and_unicode(keys, tmp_path):
    (tmp_path / "claims.json").write_bytes(b'\xef\xbb\xbf' + json.dumps({"name": "Zoë"}).encode())
    quarlo(tmp_path, "sign", "--private", keys / "k.pem", "claims.json", "t.jwt", check_status=0)
    _, out, _ = quarlo(tmp_path, "show", "--public", keys / "p.pem", "t.jwt", check_status=0)
    assert out == "{'name': 'Zoë'}\n"
