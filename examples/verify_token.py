"""verify_token: checks an ES256 token against the public key that quarlo
compiled into it, and prints the token's claims.

Build it with the key whose private half signs your tokens:

    quarlo build --public public.pem --executable examples/verify_token.py

then run the executable, or import the module from dist/verify_token/:

    dist/verify_token/verify_token TOKEN_FILE [--iss ISSUER] [--aud AUDIENCE]

Exit status 0 with the claims as JSON on standard output; 1 with the reason
on standard error when the token is refused.
"""

import argparse
import json
import sys

# The runtime verifier of the build, reached through the declaration file
# (quarlo_pro.pxd) that quarlo generates next to the module.
from cython.cimports.quarlo_pro import _runtime_verify_es256_jwt


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="verify_token", description="Verify an ES256 token against the built-in public key."
    )
    parser.add_argument("token_file", help="file holding the compact token")
    parser.add_argument("--iss", help="required issuer (iss claim)")
    parser.add_argument("--aud", help="required audience (aud claim)")
    args = parser.parse_args(argv)

    with open(args.token_file, encoding="ascii") as token_file:
        token = token_file.read().strip()
    try:
        claims = _runtime_verify_es256_jwt(token, args.iss, args.aud)
    except ValueError as error:
        print(f"verify_token: token refused: {error}", file=sys.stderr)
        return 1
    print(json.dumps(claims, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
