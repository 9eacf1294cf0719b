"""A plain-Python model of the ES256 token core, written from its documented
algorithms, for differential tests against ``quarlopro.jwt_es256``.

Every function reads the constants, its sibling helpers and the standard
modules through this module's globals at call time, exactly like the native
module, so a test can replace the same attribute on both and compare.
Argument checks on entry follow the package's conventions (exact ``bytes`` /
``str`` / ``dict``, ``X | None``, ``int`` converted with ``int()``, ``bool``
by truth value) with the same ``TypeError`` wording as the native runtime.

It also holds the test-side helpers shared by several test files: a strict
DER classifier used to explain the lenient reader's disagreements with
Wycheproof, and a token builder that signs arbitrary header and payload
segments.
"""

import base64
import hashlib
import hmac
import json
import secrets
import time

_P256_P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
_P256_A = _P256_P - 3
_P256_B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
_P256_N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
_P256_GX = 0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296
_P256_GY = 0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5
_INF = (None, None)


# ---------------------------------------------------------------------------
# Argument checks and unpacking, worded as the native runtime words them


def _type_name(value):
    return "None" if value is None else type(value).__name__


def _exact(func, name, value, kind, or_none=False):
    if type(value) is kind or (or_none and value is None):
        return value
    expected = kind.__name__ + (" or None" if or_none else "")
    raise TypeError(f"{func}() argument '{name}' must be {expected}, not {_type_name(value)}")


def _number(func, name, value):
    if type(value) is int:
        return value
    # "any number": what int() takes through the number protocol; text and
    # byte strings are not numbers.
    if not (hasattr(type(value), "__int__") or hasattr(type(value), "__index__")
            or hasattr(type(value), "__float__") or isinstance(value, complex)):
        raise TypeError(f"{func}() argument '{name}' must be int, not {_type_name(value)}")
    return int(value)


def _unpack(value, count):
    """Unpacking with the messages of compiled code."""
    items = []
    iterator = iter(value)
    for index in range(count):
        try:
            items.append(next(iterator))
        except StopIteration:
            raise ValueError(f"need more than {index} value{'' if index == 1 else 's'} to unpack") from None
    for _ in iterator:
        raise ValueError(f"too many values to unpack (expected {count})")
    return items


# ---------------------------------------------------------------------------
# Base64url and P-256 arithmetic


def _b64url_decode(text):
    _exact("_b64url_decode", "text", text, str)
    return base64.urlsafe_b64decode(text + "=" * ((-len(text)) % 4))


def _b64url_encode(data):
    _exact("_b64url_encode", "data", data, bytes)
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _mod_inv(value, modulus):
    value = _number("_mod_inv", "value", value)
    modulus = _number("_mod_inv", "modulus", modulus)
    return pow(value, -1, modulus)


def _is_on_curve(point):
    if point == _INF:
        return True
    x, y = _unpack(point, 2)
    if not (0 <= x < _P256_P):
        return False
    if not (0 <= y < _P256_P):
        return False
    return (y * y - (x * x * x + _P256_A * x + _P256_B)) % _P256_P == 0


def _point_add(p1, p2):
    if p1 == _INF:
        return p2
    if p2 == _INF:
        return p1
    x1, y1 = _unpack(p1, 2)
    x2, y2 = _unpack(p2, 2)
    if x1 == x2 and (y1 + y2) % _P256_P == 0:
        return _INF
    if p1 == p2:
        slope = ((3 * x1 * x1 + _P256_A) * _mod_inv(2 * y1 % _P256_P, _P256_P)) % _P256_P
    else:
        slope = ((y2 - y1) * _mod_inv((x2 - x1) % _P256_P, _P256_P)) % _P256_P
    x3 = (slope * slope - x1 - x2) % _P256_P
    y3 = (slope * (x1 - x3) - y1) % _P256_P
    return (x3, y3)


def _scalar_mult(k, point):
    k = _number("_scalar_mult", "k", k)
    if k < 0:
        # The package's choice for the case the algorithm leaves open (it
        # would never end).
        raise ValueError("Scalar must not be negative")
    result = _INF
    addend = point
    while k:
        if k & 1:
            result = _point_add(result, addend)
        addend = _point_add(addend, addend)
        k >>= 1
    return result


# ---------------------------------------------------------------------------
# ECDSA verification and DER signatures


def _verify_ecdsa_p256_sha256(message, signature, public_key_xy):
    _exact("_verify_ecdsa_p256_sha256", "message", message, bytes)
    _exact("_verify_ecdsa_p256_sha256", "signature", signature, bytes)
    if len(signature) != 64:
        return False
    r = int.from_bytes(signature[:32], "big")
    s = int.from_bytes(signature[32:], "big")
    if not (1 <= r < _P256_N):
        return False
    if not (1 <= s < _P256_N):
        return False
    qx, qy = _unpack(public_key_xy, 2)
    q = (qx, qy)
    if not _is_on_curve(q) or q == _INF:
        return False
    if _scalar_mult(_P256_N, q) != _INF:
        return False
    e = int.from_bytes(hashlib.sha256(message).digest(), "big")
    w = _mod_inv(s, _P256_N)
    u1 = (e * w) % _P256_N
    u2 = (r * w) % _P256_N
    x, _ = _unpack(_point_add(_scalar_mult(u1, (_P256_GX, _P256_GY)), _scalar_mult(u2, q)), 2)
    if x is None:
        return False
    return (x % _P256_N) == r


def _der_ecdsa_signature_to_raw64(signature):
    _exact("_der_ecdsa_signature_to_raw64", "signature", signature, bytes)
    length = len(signature)
    if length < 8 or signature[0] != 0x30:
        raise ValueError("Not a DER ECDSA signature")
    i = 1
    seq_len = signature[i]
    i += 1
    if seq_len & 0x80:
        n = seq_len & 0x7F
        if n == 0 or n > 2:
            raise ValueError("Invalid DER length")
        if i + n > length:
            raise ValueError("Invalid DER length")
        seq_len = int.from_bytes(signature[i:i + n], "big")
        i += n
    if i + seq_len != length:
        raise ValueError("Invalid DER sequence length")
    if i >= length or signature[i] != 0x02:
        raise ValueError("Invalid DER INTEGER r")
    i += 1
    if i >= length:
        raise ValueError("Invalid DER INTEGER r length")
    r_len = signature[i]
    i += 1
    if r_len == 0 or i + r_len > length:
        raise ValueError("Invalid DER INTEGER r")
    r_bytes = signature[i:i + r_len]
    i += r_len
    if i >= length or signature[i] != 0x02:
        raise ValueError("Invalid DER INTEGER s")
    i += 1
    if i >= length:
        raise ValueError("Invalid DER INTEGER s length")
    s_len = signature[i]
    i += 1
    if s_len == 0 or i + s_len != length:
        raise ValueError("Invalid DER INTEGER s")
    s_bytes = signature[i:i + s_len]
    while len(r_bytes) > 1 and r_bytes[0] == 0x00:
        r_bytes = r_bytes[1:]
    while len(s_bytes) > 1 and s_bytes[0] == 0x00:
        s_bytes = s_bytes[1:]
    if len(r_bytes) > 32 or len(s_bytes) > 32:
        raise ValueError("ECDSA integer too large for P-256")
    return r_bytes.rjust(32, b"\x00") + s_bytes.rjust(32, b"\x00")


# ---------------------------------------------------------------------------
# Deterministic signing, key pairs and JWKs


def _hmac(key, message):
    return hmac.new(key, message, hashlib.sha256).digest()


def _rfc6979_k_p256_sha256(private_key_d, message_hash):
    private_key_d = _number("_rfc6979_k_p256_sha256", "private_key_d", private_key_d)
    _exact("_rfc6979_k_p256_sha256", "message_hash", message_hash, bytes)
    qlen, holen = 256, 32
    rolen = (qlen + 7) // 8
    x = private_key_d.to_bytes(rolen, "big")
    h1 = int.from_bytes(message_hash, "big") % _P256_N
    h1_bytes = h1.to_bytes(rolen, "big")
    v = b"\x01" * holen
    k = b"\x00" * holen
    k = _hmac(k, v + b"\x00" + x + h1_bytes)
    v = _hmac(k, v)
    k = _hmac(k, v + b"\x01" + x + h1_bytes)
    v = _hmac(k, v)
    while True:
        t = b""
        while len(t) < rolen:
            v = _hmac(k, v)
            t += v
        candidate = int.from_bytes(t[:rolen], "big")
        if 1 <= candidate < _P256_N:
            return candidate
        k = _hmac(k, v + b"\x00")
        v = _hmac(k, v)


def _sign_ecdsa_p256_sha256(message, private_key_d, deterministic=True):
    _exact("_sign_ecdsa_p256_sha256", "message", message, bytes)
    private_key_d = _number("_sign_ecdsa_p256_sha256", "private_key_d", private_key_d)
    deterministic = bool(deterministic)
    if not (1 <= private_key_d < _P256_N):
        raise ValueError("Invalid private key")
    e = int.from_bytes(hashlib.sha256(message).digest(), "big")
    if not deterministic:
        raise ValueError("Non-deterministic signing is not supported")
    k = _rfc6979_k_p256_sha256(private_key_d, hashlib.sha256(message).digest())
    x1, _ = _unpack(_scalar_mult(k, (_P256_GX, _P256_GY)), 2)
    if x1 is None:
        raise ValueError("Failed to generate signature point")
    r = x1 % _P256_N
    if r == 0:
        raise ValueError("Invalid signature nonce (r == 0)")
    s = (_mod_inv(k, _P256_N) * (e + r * private_key_d)) % _P256_N
    if s == 0:
        raise ValueError("Invalid signature nonce (s == 0)")
    if s > _P256_N // 2:
        s = _P256_N - s
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def _int_to_b64url_32(value):
    value = _number("_int_to_b64url_32", "value", value)
    return _b64url_encode(value.to_bytes(32, "big"))


def public_key_xy_from_jwk(jwk):
    _exact("public_key_xy_from_jwk", "jwk", jwk, dict)
    if jwk.get("kty") != "EC" or jwk.get("crv") != "P-256":
        raise ValueError("Unsupported JWK key type or curve")
    if "x" not in jwk or "y" not in jwk:
        raise ValueError("JWK must contain x and y")
    x = int.from_bytes(_b64url_decode(jwk["x"]), "big")
    y = int.from_bytes(_b64url_decode(jwk["y"]), "big")
    return (x, y)


def private_key_d_from_jwk(jwk):
    _exact("private_key_d_from_jwk", "jwk", jwk, dict)
    if jwk.get("kty") != "EC" or jwk.get("crv") != "P-256":
        raise ValueError("Unsupported JWK key type or curve")
    if "d" not in jwk:
        raise ValueError("JWK must contain private key parameter d")
    d = int.from_bytes(_b64url_decode(jwk["d"]), "big")
    if not (1 <= d < _P256_N):
        raise ValueError("Invalid private key")
    return d


def generate_es256_keypair():
    while True:
        d = secrets.randbelow(_P256_N)
        if 1 <= d < _P256_N:
            break
    qx, qy = _unpack(_scalar_mult(d, (_P256_GX, _P256_GY)), 2)
    if qx is None or qy is None:
        raise ValueError("Failed to generate keypair")
    return (d, (qx, qy))


def generate_es256_keypair_jwk(kid=None):
    _exact("generate_es256_keypair_jwk", "kid", kid, str, or_none=True)
    d, q = _unpack(generate_es256_keypair(), 2)
    qx, qy = _unpack(q, 2)
    public_jwk = {"kty": "EC", "crv": "P-256", "x": _int_to_b64url_32(qx), "y": _int_to_b64url_32(qy)}
    private_jwk = dict(public_jwk)
    private_jwk["d"] = _int_to_b64url_32(d)
    if kid is not None:
        public_jwk["kid"] = kid
        private_jwk["kid"] = kid
    return (private_jwk, public_jwk)


# ---------------------------------------------------------------------------
# Compact tokens


def _json_bytes(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True).encode("utf-8")


def sign_es256_jwt(payload, private_key_d, header=None):
    _exact("sign_es256_jwt", "payload", payload, dict)
    private_key_d = _number("sign_es256_jwt", "private_key_d", private_key_d)
    _exact("sign_es256_jwt", "header", header, dict, or_none=True)
    jwt_header = {"alg": "ES256", "typ": "JWT"}
    if header:
        jwt_header.update(header)
    if jwt_header.get("alg") != "ES256":
        raise ValueError("Header alg must be ES256")
    header_json = _json_bytes(jwt_header)
    payload_json = _json_bytes(payload)
    header_b64 = _b64url_encode(header_json)
    payload_b64 = _b64url_encode(payload_json)
    signing_input = (header_b64 + "." + payload_b64).encode("ascii")
    signature = _sign_ecdsa_p256_sha256(signing_input, private_key_d, deterministic=True)
    return header_b64 + "." + payload_b64 + "." + _b64url_encode(signature)


def sign_es256_jwt_with_jwk(payload, jwk, header=None):
    _exact("sign_es256_jwt_with_jwk", "payload", payload, dict)
    _exact("sign_es256_jwt_with_jwk", "jwk", jwk, dict)
    _exact("sign_es256_jwt_with_jwk", "header", header, dict, or_none=True)
    private_key_d = private_key_d_from_jwk(jwk)
    return sign_es256_jwt(payload, private_key_d, header=header)


def verify_es256_jwt(token, public_key_xy, expected_iss=None, expected_aud=None, leeway_seconds=30):
    _exact("verify_es256_jwt", "token", token, str)
    leeway_seconds = _number("verify_es256_jwt", "leeway_seconds", leeway_seconds)
    header_b64, payload_b64, signature_b64 = _unpack(token.split("."), 3)
    header = json.loads(_b64url_decode(header_b64))
    payload = json.loads(_b64url_decode(payload_b64))
    signature = _b64url_decode(signature_b64)
    if len(signature) != 64:
        signature = _der_ecdsa_signature_to_raw64(signature)
    if header.get("alg") != "ES256":
        raise ValueError("Unexpected alg")
    typ = header.get("typ")
    if typ is not None and typ != "JWT":
        raise ValueError("Unexpected typ")
    signing_input = (header_b64 + "." + payload_b64).encode("ascii")
    if not _verify_ecdsa_p256_sha256(signing_input, signature, public_key_xy):
        raise ValueError("Invalid signature")
    now = int(time.time())
    if "exp" in payload and now > int(payload["exp"]) + leeway_seconds:
        raise ValueError("Token expired")
    if "nbf" in payload and now + leeway_seconds < int(payload["nbf"]):
        raise ValueError("Token not yet valid")
    if "iat" in payload and int(payload["iat"]) > now + leeway_seconds:
        raise ValueError("Invalid iat")
    if expected_iss is not None and payload.get("iss") != expected_iss:
        raise ValueError("Invalid issuer")
    if expected_aud is not None:
        aud = payload.get("aud")
        if isinstance(aud, str):
            if aud != expected_aud:
                raise ValueError("Invalid audience")
        elif isinstance(aud, list):
            if expected_aud not in aud:
                raise ValueError("Invalid audience")
        else:
            raise ValueError("Invalid audience")
    return payload


# ---------------------------------------------------------------------------
# Test-side helpers


def point_mul(k, point=(_P256_GX, _P256_GY)):
    """k·P for a point on the curve, k reduced modulo n first (group law)."""
    return _scalar_mult(k % _P256_N, point)


def raw_signature(r, s):
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def der_integer(value_bytes):
    return b"\x02" + bytes([len(value_bytes)]) + value_bytes


def der_signature(r, s):
    """Strict DER of (r, s) for 0 <= r, s < 2^256."""
    def minimal(v):
        body = v.to_bytes(max(1, (v.bit_length() + 7) // 8), "big")
        return b"\x00" + body if body[0] & 0x80 else body
    content = der_integer(minimal(r)) + der_integer(minimal(s))
    return b"\x30" + bytes([len(content)]) + content


def strict_der_violation(signature):
    """The first rule of strict DER (X.690) that a two-INTEGER SEQUENCE
    breaks, as a short name, or None when the encoding is strict DER. Only
    meaningful for inputs that the lenient reader accepts."""
    if signature[1] & 0x80:
        return "long-form SEQUENCE length"
    i = 2
    for _ in range(2):
        length = signature[i + 1]
        if length & 0x80:
            return "INTEGER length byte read as a count"
        body = signature[i + 2:i + 2 + length]
        if body[0] & 0x80:
            return "negative INTEGER read as unsigned"
        if len(body) > 1 and body[0] == 0 and not body[1] & 0x80:
            return "leading zero in INTEGER"
        i += 2 + length
    return None


def sign_segments(header_b64, payload_b64, private_key_d):
    """A token from given header and payload segments, signed with the
    reference signer (for tokens whose header or payload we could not
    produce through sign_es256_jwt)."""
    signing_input = (header_b64 + "." + payload_b64).encode("ascii")
    signature = _sign_ecdsa_p256_sha256(signing_input, private_key_d)
    return header_b64 + "." + payload_b64 + "." + _b64url_encode(signature)


def segment(value):
    """The token segment of a JSON value, encoded as the signer encodes it."""
    return _b64url_encode(_json_bytes(value))
