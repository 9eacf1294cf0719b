"""The quarlo command line: the plug-in's subcommands and their registration,
one-line errors and exit codes, and interoperation of the keys and tokens
with real peers (cryptography, PyJWT, the openssl command)."""

import argparse
import base64
import json
import os
import pathlib
import shutil
import stat
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


@pytest.fixture(scope="module")
def other_keys():
    """Key files of kinds quarlo cannot use (tests/vectors/keys)."""
    return pathlib.Path(__file__).resolve().parent / "vectors" / "keys"


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
            assert (status, out) == (1, ""), name
            assert one_error_line(err) == f"{message} (verifying the token in t.jwt with the public key in {keys}/p.pem)"
            assert quarlo(tmp_path, "show", "t.jwt", check_status=0)[1].startswith("{"), name


LONG_BAD_JSON = "{" + '"a": 1, ' * 700  # longer than a file name may be
NEEDED = "quarlo needs an EC key on P-256"


@pytest.mark.parametrize("args, message", [
    (["sign", "--private", "k.pem", "[1, 2]", "t.jwt"], "JWT payload must be a JSON object"),
    # An empty shell variable is no file name (as a Path it is the current directory).
    (["sign", "--private", "k.pem", "", "t.jwt"],
     "payload must be a JSON object string or a path to a JSON file (PAYLOAD is empty)"),
    # The decoder says what is wrong with the JSON, for any length of text.
    (["sign", "--private", "k.pem", "{'sub': 'alice'}", "t.jwt"], "(PAYLOAD names no file and is not JSON: "
     "Expecting property name enclosed in double quotes: line 1 column 2 (char 1))"),
    (["sign", "--private", "k.pem", LONG_BAD_JSON, "t.jwt"], "is not JSON: Expecting property name enclosed in "
     "double quotes: line 1 column 5602 (char 5601))"),
    (["sign", "--private", "k.pem", "bad.json", "t.jwt"], "Expecting value: line 1 column 1 (char 0) "
     "(in the payload file bad.json)"),
    # Keys of another kind: the library's message, then what the file is.
    (["sign", "--private", "rsa.pem", "{}", "t.jwt"], f"(the private key file rsa.pem: an RSA private key; {NEEDED})"),
    (["sign", "--private", "ed.pem", "{}", "t.jwt"], f"(the private key file ed.pem: an Ed25519 private key; {NEEDED})"),
    (["sign", "--private", "explicit.pem", "{}", "t.jwt"],
     "(the private key file explicit.pem: an EC private key with explicit curve parameters; "),
    (["sign", "--private", "p.pem", "{}", "t.jwt"], "PEM does not contain a supported private key block "
     "(the private key file p.pem)"),
    (["show", "--public", "edpub.pem", "good.jwt"], f"(the public key file edpub.pem: an Ed25519 public key; {NEEDED})"),
    (["show", "--public", "p384pub.pem", "good.jwt"], "Unsupported JWK key type or curve (the public key file "
     f"p384pub.pem: an EC public key on P-384; {NEEDED})"),
    (["build", "--public", "edpub.pem", "prog.py"], f"(the build option --public edpub.pem: an Ed25519 public key; {NEEDED})"),
    # A token file with a line break is used as read; the line says why it fails.
    (["show", "--public", "p.pem", "newline.jwt"], "Incorrect padding (the token in newline.jwt ends with a line "
     "break, which is read as part of its signature"),
    (["show", "--public", "p.pem", "k.pem"], "(the token file k.pem holds no token of the form header.payload.signature)"),
    # Optional arguments of the C-level verifier can be left out only from the end.
    (["build", "audience_only.py"], "C function call is missing argument 'expected_iss' (a C function's optional "
     "arguments can be left out only from the end: pass expected_iss too, e.g. expected_iss=None)"),
    (["sign", "--private", "k.pem", "nothing.json", "t.jwt"],
     "payload must be a JSON object string or a path to a JSON file"),
    (["sign", "--private", "missing.pem", "{}", "t.jwt"], "No such file or directory: 'missing.pem'"),
    (["sign", "--private", "p.pem", "{}", "t.jwt"], ""),
    (["sign", "--private", "k.pem", "{}", "k.pem"], "refusing to overwrite the key"),
    (["sign", "--private", "k.pem", "{}", "."], "Is a directory"),
    (["show", "t.jwt"], "No such file or directory: 't.jwt'"),
    (["show", "k.pem"], "list index out of range (the token file k.pem holds no token"),
    (["keygen", "--private", "new.pem"], "--public"),
    (["keygen", "--private", "new.pem", "--public", "new.pem"], "two different files"),
    (["build", "--public", "k.pem", "prog.py"], "PUBLIC KEY block (the build option --public k.pem)"),
    # Errors the library lets through for malformed input: one line, type first.
    (["show", "--public", "p.pem", "list_header.jwt"], "AttributeError: 'list' object has no attribute 'get'"),
    (["sign", "--private", "k.pem", "deep.json", "t.jwt"], "RecursionError: maximum recursion depth exceeded"),
], ids=lambda value: value[:40] if isinstance(value, str) else " ".join(value)[:60])
def test_expected_failures_are_one_line(keys, other_keys, tmp_path, args, message):
    for source in [keys / "k.pem", keys / "p.pem", *other_keys.iterdir()]:
        shutil.copy(source, tmp_path / source.name)
    (tmp_path / "prog.py").write_text("print(1)\n")
    (tmp_path / "audience_only.py").write_text("from cython.cimports.quarlo_pro import _runtime_verify_es256_jwt\n\n"
                                         "def check(token):\n    return _runtime_verify_es256_jwt(token, expected_aud='a')\n")
    (tmp_path / "list_header.jwt").write_text("W10.e30." + "A" * 86)
    (tmp_path / "deep.json").write_text("[" * 100000 + "]" * 100000)
    (tmp_path / "bad.json").write_text("")
    quarlo(tmp_path, "sign", "--private", "k.pem", "{}", "good.jwt", check_status=0)
    (tmp_path / "newline.jwt").write_text((tmp_path / "good.jwt").read_text() + "\n")
    before = sorted(p.name for p in tmp_path.iterdir())
    status, out, err = quarlo(tmp_path, *args)
    assert status == 1
    assert out == "" or (args[0] == "build" and "built in" not in out)  # build shows its progress
    line = one_error_line(err)
    assert message in line and len(line) < 300  # nothing echoed at length
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "k.pem").read_bytes() == (keys / "k.pem").read_bytes()


@pytest.mark.parametrize("args, text", [
    ([], "usage: quarlo [-h]"),
    (["sign", "{}", "t.jwt"], "usage: quarlo sign"),
    (["sign", "--private", "k.pem"], "quarlo sign: error: the following arguments are required: PAYLOAD, JWT"),
    (["show"], "quarlo show: error: the following arguments are required: JWT"),
    (["keygen", "--bogus"], "usage: quarlo"),
    (["nope"], "usage: quarlo"),
    (["-q", "show", "-v", "t.jwt"], "usage: quarlo show [-h]"),  # the usage of the command given
])
def test_usage_errors_exit_2(tmp_path, args, text):
    status, _, err = quarlo(tmp_path, *args)
    assert status == 2 and text in err


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


# ---------------------------------------------------------------------------
# Files and output that other users or programs share


def closed_pipe_run(cwd, *args):
    """Runs quarlo with standard output into a pipe whose reader is gone."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run([sys.executable, "-m", "quarlo", *map(str, args)], stdout=write_end,
                              stderr=subprocess.PIPE, text=True, cwd=cwd, env=python_env(), timeout=120)
    finally:
        os.close(write_end)
    return done.returncode, done.stderr


@pytest.mark.parametrize("args, status", [
    (["show", "t.jwt"], 141),
    (["show", "--public", "p.pem", "t.jwt"], 141),
    (["build", "prog.py"], 141),  # stops at its first line of progress
    (["sign", "--help"], 0),
    (["--version"], 0),
])
def test_a_closed_pipe_ends_output_quietly(keys, tmp_path, args, status):
    for name in ("k.pem", "p.pem"):
        shutil.copy(keys / name, tmp_path / name)
    (tmp_path / "prog.py").write_text("print(1)\n")
    quarlo(tmp_path, "sign", "--private", "k.pem", '{"sub": "a"}', "t.jwt", check_status=0)
    assert closed_pipe_run(tmp_path, *args) == (status, "")


def test_show_prints_any_text_of_the_claims(tmp_path):
    (tmp_path / "t.jwt").write_text("e30." + base64.urlsafe_b64encode(b'"\\udc80 \xc3\xa9"').rstrip(b"=").decode() + ".x")
    assert quarlo(tmp_path, "show", "t.jwt", check_status=0)[1] == "\\udc80 \xe9\n"


@pytest.mark.parametrize("existing_mode, mode", [(None, 0o600), (0o644, 0o644)])
def test_token_files_are_owner_only_when_new(keys, tmp_path, existing_mode, mode):
    token = tmp_path / "t.jwt"
    if existing_mode is not None:
        token.write_text("old")
        token.chmod(existing_mode)
    quarlo(tmp_path, "sign", "--private", keys / "k.pem", "{}", "t.jwt", check_status=0)
    assert stat.S_IMODE(token.stat().st_mode) == mode and token.read_text().count(".") == 2


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to hand a file to another user")
@pytest.mark.parametrize("args, theirs, what", [
    (["keygen", "--private", "shared/k.pem", "--public", "mine.pem"], "k.pem", "private key"),
    (["keygen", "--private", "mine.pem", "--public", "shared/k.pem"], "k.pem", "public key"),
    (["sign", "--private", "key.pem", "{}", "shared/t.jwt"], "t.jwt", "token"),
])
def test_files_of_another_user_are_refused(keys, tmp_path, args, theirs, what):
    # Someone else's file, writable by all, in a sticky shared directory like /tmp.
    shared = tmp_path / "shared"
    shared.mkdir(mode=0o1777)
    shared.chmod(0o1777)
    shutil.copy(keys / "k.pem", tmp_path / "key.pem")
    (shared / theirs).write_text("theirs\n")
    os.chown(shared / theirs, 65534, 65534)
    (shared / theirs).chmod(0o666)
    status, out, err = quarlo(tmp_path, *args)
    assert (status, out) == (1, "")
    assert one_error_line(err) == (f"the {what} file 'shared/{theirs}' belongs to another user; "
                                   f"refusing to write the {what.split()[-1]} into it")
    info = (shared / theirs).stat()
    assert ((shared / theirs).read_text(), info.st_uid, stat.S_IMODE(info.st_mode)) == ("theirs\n", 65534, 0o666)
    assert not (tmp_path / "mine.pem").exists()
