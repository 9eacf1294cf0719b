"""A walkthrough of quarlo with the quarlopro plug-in, in a scratch directory:

1. keygen: a new P-256 key pair (the private key file is owner-only);
2. sign: a token valid for one hour (its file owner-only, like the key);
3. show: its claims, decoded without a check and then verified;
4. build: the example program with the public key compiled in;
5. the built program accepts the token ...
6. ... and refuses a tampered copy, as does `show --public`.

Run it with the interpreter quarlo is installed in (``make demo`` does:
``.venv/bin/python tools/demo.py``). Each command is printed before it runs.
"""

from __future__ import annotations

import base64
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "verify_token.py"


def quarlo_command() -> list[str]:
    """The installed console script beside this interpreter, else `python -m quarlo`."""
    script = pathlib.Path(sys.executable).with_name("quarlo")
    return [str(script)] if script.is_file() else [sys.executable, "-m", "quarlo"]


def step(title: str) -> None:
    print(f"\n== {title}", flush=True)


def run(*command: str, expect_failure: bool = False) -> None:
    print("$ " + shlex.join(command), flush=True)
    status = subprocess.run(command).returncode
    if expect_failure:
        if status == 0:
            sys.exit("demo: the command was expected to refuse, but it succeeded")
        print(f"(refused, exit status {status})", flush=True)
    elif status != 0:
        sys.exit(f"demo: the command failed with exit status {status}")


def tamper(token_file: pathlib.Path, forged_file: pathlib.Path) -> dict:
    """Changes one claim of the token and keeps its signature."""
    header, payload, signature = token_file.read_text().split(".")
    claims = json.loads(base64.urlsafe_b64decode(payload + "==="))
    claims["role"] = "owner"
    forged = base64.urlsafe_b64encode(json.dumps(claims, separators=(",", ":")).encode()).rstrip(b"=").decode()
    forged_file.write_text(".".join([header, forged, signature]))
    return claims


def main() -> None:
    quarlo = quarlo_command()
    with tempfile.TemporaryDirectory(prefix="quarlo-demo-") as scratch:
        os.chdir(scratch)
        print(f"Working in {scratch} (removed at the end)")

        step("1. Create a P-256 key pair")
        run(*quarlo, "keygen", "--private", "private.pem", "--public", "public.pem")
        for name in ("private.pem", "public.pem"):
            print(f"   {name}: mode {pathlib.Path(name).stat().st_mode & 0o777:o}")

        step("2. Sign a token that expires in one hour")
        run(*quarlo, "sign", "--expires", "3600", "--private", "private.pem",
            '{"sub": "alice", "role": "admin"}', "token.jwt")
        token_file = pathlib.Path("token.jwt")
        print(f"   token.jwt (mode {token_file.stat().st_mode & 0o777:o}, a bearer credential): {token_file.read_text()}")

        step("3. Show its claims: decoded without a check, then verified with the public key")
        run(*quarlo, "show", "token.jwt")
        run(*quarlo, "show", "--public", "public.pem", "token.jwt")

        step("4. Build the example program with the public key compiled in")
        shutil.copy(EXAMPLE, "verify_token.py")
        run(*quarlo, "build", "--public", "public.pem", "--executable", "verify_token.py")

        step("5. The built program accepts the token")
        run("dist/verify_token/verify_token", "token.jwt")

        step("6. A tampered copy: one claim changed, the signature kept")
        print(f"   tampered.jwt claims: {tamper(pathlib.Path('token.jwt'), pathlib.Path('tampered.jwt'))}")
        run("dist/verify_token/verify_token", "tampered.jwt", expect_failure=True)
        run(*quarlo, "show", "--public", "public.pem", "tampered.jwt", expect_failure=True)
        os.chdir(ROOT)

    print("\nDone.")


if __name__ == "__main__":
    main()
