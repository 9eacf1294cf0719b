"""verify_token: checks an ES256 token against the public key that quarlo
compiled into it, and prints the token's claims.

Build it with the key whose private half signs your tokens:

    quarlo build --public public.pem --executable examples/verify_token.py

then run the executable, or import the module from dist/verify_token/:

    dist/verify_token/verify_token TOKEN_FILE [--iss ISSUER] [--aud AUDIENCE]

Exit status 0 with the claims as JSON on standard output; 1 with the reason
on standard error when the token file cannot be read or the token is
refused; 2 for a usage error.
"""

import argparse
import json
import os
import sys

# The runtime verifier of the build, reached through the declaration file
# (quarlo_pro.pxd) that quarlo generates next to the module.
from cython.cimports.quarlo_pro import _runtime_verify_es256_jwt


def fail(reason):
    print(f"verify_token: {reason}", file=sys.stderr)
    return 1


def read_token(path):
    """The token in the file, without the white space around it; raises
    ValueError with the reason when there is none to read."""
    try:
        with open(path, "rb") as token_file:
            data = token_file.read()
    except OSError as error:
        raise ValueError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        return data.decode("ascii").strip()
    except UnicodeDecodeError as error:
        raise ValueError(f"{path} holds no token: byte {error.start} is not ASCII") from None


def print_claims(claims):
    """The claims as JSON on standard output. A reader that has gone away (a
    closed pipe) ends the output quietly, as for other commands."""
    try:
        print(json.dumps(claims, sort_keys=True))
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141  # 128 + SIGPIPE
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="verify_token", description="Verify an ES256 token against the built-in public key."
    )
    parser.add_argument("token_file", metavar="TOKEN_FILE", help="file holding the compact token")
    parser.add_argument("--iss", help="required issuer (iss claim)")
    parser.add_argument("--aud", help="required audience (aud claim)")
    args = parser.parse_args(argv)

    try:
        token = read_token(args.token_file)
    except ValueError as error:
        return fail(error)
    try:
        # A C function: its arguments go by position, or by keyword, but an
        # optional one can be left out only from the end. For the audience
        # alone: _runtime_verify_es256_jwt(token, None, aud), or with
        # expected_iss=None, expected_aud=aud.
        claims = _runtime_verify_es256_jwt(token, args.iss, args.aud)
    except Exception as error:  # any token: ValueError mostly, but also e.g. a header that is no JSON object
        reason = str(error) if isinstance(error, ValueError) else f"{type(error).__name__}: {error}"
        return fail(f"token refused: {reason}")
    return print_claims(claims)


if __name__ == "__main__":
    sys.exit(main())
