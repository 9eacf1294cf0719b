"""A typed program that uses the quarlopro API the way the reference shows.

tests/test_typing.py checks it with `mypy --strict` against the package's
type stubs and also runs it, so every line here is also known to work.
"""

from __future__ import annotations

import argparse
import logging
import pathlib
import tempfile
from typing import Any

import _qrl_shared
from quarlopro import decodekey, jwt_es256, keygen, license, main, protemplate, sign


def tokens() -> str:
    private_jwk, public_jwk = jwt_es256.generate_es256_keypair_jwk(kid="k1")
    token: str = jwt_es256.sign_es256_jwt_with_jwk({"sub": "alice", "aud": "api"}, private_jwk, header={"kid": "k1"})
    xy: tuple[int, int] = jwt_es256.public_key_xy_from_jwk(public_jwk)
    claims: dict[str, Any] = jwt_es256.verify_es256_jwt(token, xy, expected_aud="api", leeway_seconds=0)
    assert claims["sub"] == "alice"

    d, (qx, qy) = jwt_es256.generate_es256_keypair()
    again = jwt_es256.sign_es256_jwt({"n": 1}, d)
    assert jwt_es256.verify_es256_jwt(again, (qx, qy)) == {"n": 1}
    assert jwt_es256.private_key_d_from_jwk(private_jwk) > 0

    signature: bytes = jwt_es256._sign_ecdsa_p256_sha256(b"message", d)
    valid: bool = jwt_es256._verify_ecdsa_p256_sha256(b"message", signature, (qx, qy))
    assert valid
    point = jwt_es256._scalar_mult(d, (jwt_es256._P256_GX, jwt_es256._P256_GY))
    assert point == (qx, qy) and jwt_es256._is_on_curve(point)
    assert jwt_es256._point_add(point, jwt_es256._INF) == point
    return token


def keys() -> None:
    private_jwk, public_jwk = jwt_es256.generate_es256_keypair_jwk()
    public_pem: str = decodekey.jwk_public_key_to_pem(public_jwk)
    der: bytes = decodekey.pem_public_key_to_der(public_pem)
    assert decodekey.der_spki_ec_to_jwk(der) == public_jwk
    private_pem = decodekey.jwk_to_pem(private_jwk)
    assert decodekey.pem_private_key_to_jwk(private_pem, kid=None)["d"] == private_jwk["d"]
    name, size = decodekey.CURVES[decodekey.CURVES_BY_NAME["P-384"][0]]
    assert (name, size) == ("P-384", 48)
    tag, value, end = decodekey._read_tlv(der, 0)
    arcs: list[int] = decodekey._parse_oid(decodekey.OID_EC_PUBLIC_KEY)
    assert (tag, end, arcs) == (0x30, len(der), [1, 2, 840, 10045, 2, 1]) and isinstance(value, bytes)


def commands(directory: pathlib.Path) -> None:
    keygen.createKeypair(directory / "private.pem", directory / "public.pem")
    token = sign.sign({"sub": "bob"}, directory / "private.pem")
    (directory / "token.jwt").write_text(token)
    license.showJwt(argparse.Namespace(jwt=directory / "token.jwt", public=directory / "public.pem"))
    written: str = sign.signJwt(argparse.Namespace(payload='{"a": 1}', expires=60, private=directory / "private.pem",
                                                   jwt=directory / "t2.jwt"))
    assert written == (directory / "t2.jwt").read_text()
    logger: logging.Logger = sign.logger
    assert logger is not None


def plugin(directory: pathlib.Path) -> None:
    host = argparse.ArgumentParser(prog="host")
    plugin = main.Plugin(None)
    plugin.extendSubParsers(host.add_subparsers(dest="command"))
    build = argparse.ArgumentParser(prog="host build")
    plugin.extendBuildParser(build)
    plugin.extendBuild(build.parse_args(["--public", str(directory / "public.pem")]))
    block: bytes | None = plugin.runtimeJwtPublic
    assert block is not None and len(block) == 64 and plugin.withRuntimeJwt and plugin.withStringCompression
    rendered = plugin.extendTemplate()
    assert rendered["pxd"]["pro"] == protemplate.proBootstrapPxdTemplate
    assert plugin.getCompileArgs() == [] and plugin.getLinkerArgs("prog", "dist") == {}
    assert isinstance(jwt_es256.verify_es256_jwt, _qrl_shared.function)
    assert jwt_es256.verify_es256_jwt.__annotations__["token"] == "str"


if __name__ == "__main__":
    tokens()
    keys()
    with tempfile.TemporaryDirectory() as scratch:
        commands(pathlib.Path(scratch))
        plugin(pathlib.Path(scratch))
    print("ok")
