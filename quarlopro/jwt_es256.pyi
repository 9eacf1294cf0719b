# Type stubs of quarlopro.jwt_es256: ES256 signatures and compact JSON Web
# Tokens on P-256.
#
# Where a function declares types (its __annotations__), the stub repeats
# them word for word. Parameters without declared types are typed here as
# the functions use them; those are not checked on entry.
import base64 as base64
import hashlib as hashlib
import hmac as hmac
import json as json
import secrets as secrets
import time as time
from typing import TypeAlias

# `dict` is the declared word with type arguments (see _qrl_shared.pyi).
from _qrl_shared import _JsonObject as dict

# An affine point (x, y) of P-256, or the point at infinity (None, None).
_Point: TypeAlias = tuple[int, int] | tuple[None, None]

_P256_P: int
_P256_A: int
_P256_B: int
_P256_N: int
_P256_GX: int
_P256_GY: int
_INF: tuple[None, None]

# The engine variants this process runs, e.g. "bmi2-adx+sha-ni".
__engine__: str

# Base64url and P-256 arithmetic
def _b64url_decode(text: str) -> bytes: ...
def _b64url_encode(data: bytes) -> str: ...
def _mod_inv(value: int, modulus: int) -> int: ...
def _is_on_curve(point: _Point) -> bool: ...
def _point_add(p1: _Point, p2: _Point) -> _Point: ...
def _scalar_mult(k: int, point: _Point) -> _Point: ...

# ECDSA verification and DER signatures
def _verify_ecdsa_p256_sha256(message: bytes, signature: bytes, public_key_xy: tuple[int, int]) -> bool: ...
def _der_ecdsa_signature_to_raw64(signature: bytes) -> bytes: ...

# Deterministic signing and key pairs
def _rfc6979_k_p256_sha256(private_key_d: int, message_hash: bytes) -> int: ...
def _sign_ecdsa_p256_sha256(message: bytes, private_key_d: int, deterministic: bool = True) -> bytes: ...
def public_key_xy_from_jwk(jwk: dict) -> tuple[int, int]: ...
def private_key_d_from_jwk(jwk: dict) -> int: ...
def _int_to_b64url_32(value: int) -> str: ...
def generate_es256_keypair() -> tuple[int, tuple[int, int]]: ...
def generate_es256_keypair_jwk(kid: str | None = None) -> tuple[dict, dict]: ...

# Compact tokens
def sign_es256_jwt(payload: dict, private_key_d: int, header: dict | None = None) -> str: ...
def sign_es256_jwt_with_jwk(payload: dict, jwk: dict, header: dict | None = None) -> str: ...
def verify_es256_jwt(
    token: str,
    public_key_xy: tuple[int, int],
    expected_iss: str | None = None,
    expected_aud: str | None = None,
    leeway_seconds: int = 30,
) -> dict: ...
