"""The key encoding module written as Python source: the behaviour that
quarlopro.decodekey must match, function by function, with the same results
and the same exceptions and messages. Differential tests and the fuzz
harnesses compare the native module with it."""

from __future__ import annotations

import base64
import functools
import inspect
import re
import sys

OID_EC_PUBLIC_KEY = bytes.fromhex("2A8648CE3D0201")
CURVES = {
    bytes.fromhex("2A8648CE3D030107"): ("P-256", 32),
    bytes.fromhex("2B81040022"): ("P-384", 48),
    bytes.fromhex("2B81040023"): ("P-521", 66),
}
CURVES_BY_NAME = {name: (oid, size) for oid, (name, size) in CURVES.items()}


def checked(fn):
    """Checks and converts arguments by their annotations, as the module's functions do."""
    signature = inspect.signature(fn)

    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        for name, value in bound.arguments.items():
            declared, _, or_none = fn.__annotations__[name].partition(" | ")
            if declared == "int":
                if type(value) is not int:
                    if not any(hasattr(type(value), m) for m in ("__index__", "__int__", "__float__")):
                        raise TypeError(f"{fn.__name__}() argument '{name}' must be int, not {type(value).__name__}")
                    bound.arguments[name] = int(value)
            elif type(value).__name__ != declared and not (or_none and value is None):
                given = "None" if value is None else type(value).__name__
                expected = declared + (" or None" if or_none else "")
                raise TypeError(f"{fn.__name__}() argument '{name}' must be {expected}, not {given}")
        return fn(*bound.args, **bound.kwargs)
    return wrapper


@checked
def _b64u(b: bytes) -> str:
    return base64.urlsafe_b64encode(b).rstrip(b"=").decode("ascii")


@checked
def _b64u_decode(s: str) -> bytes:
    s += "=" * ((-len(s)) % 4)
    return base64.urlsafe_b64decode(s)


@checked
def _read_tlv(data: bytes, i: int) -> tuple:
    tag = data[i]
    i += 1
    length = data[i]
    i += 1
    if length & 0x80:
        n = length & 0x7F
        length = int.from_bytes(data[i:i + n], "big")
        i += n
    if i + length > sys.maxsize:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return tag, data[i:i + length], i + length


@checked
def der_spki_ec_to_jwk(der: bytes, kid: str | None = None) -> dict:
    tag, spki, i = _read_tlv(der, 0)
    if tag != 0x30 or i != len(der):
        raise ValueError("Invalid DER SPKI")
    tag, alg_seq, j = _read_tlv(spki, 0)
    if tag != 0x30:
        raise ValueError("Invalid algorithm identifier")
    tag, bitstr, j = _read_tlv(spki, j)
    if tag != 0x03 or j != len(spki):
        raise ValueError("Invalid subjectPublicKey BIT STRING")
    tag1, oid_alg, k = _read_tlv(alg_seq, 0)
    tag2, oid_curve, k = _read_tlv(alg_seq, k)
    if tag1 != 0x06 or tag2 != 0x06 or k != len(alg_seq):
        raise ValueError("Invalid algorithm OIDs")
    if oid_alg != OID_EC_PUBLIC_KEY:
        raise ValueError("Not an EC public key")
    if oid_curve not in CURVES:
        raise ValueError("Unsupported EC curve")
    crv, size = CURVES[oid_curve]
    if not bitstr or bitstr[0] != 0:
        raise ValueError("Invalid BIT STRING")
    point = bitstr[1:]
    if len(point) != 1 + 2 * size or point[0] != 0x04:
        raise ValueError("Only uncompressed EC points are supported")
    jwk = {"kty": "EC", "crv": crv, "x": _b64u(point[1:1 + size]), "y": _b64u(point[1 + size:])}
    if kid:
        jwk["kid"] = kid
    return jwk


@checked
def pem_public_key_to_der(pem_text: str) -> bytes:
    m = re.search("-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", pem_text, flags=re.S)
    if not m:
        raise ValueError("PEM does not contain a BEGIN/END PUBLIC KEY block")
    return base64.b64decode(re.sub(r"\s+", "", m.group(1)))


@checked
def pem_private_key_to_der(pem_text: str) -> bytes:
    m = re.search(r"-----BEGIN (PRIVATE KEY|EC PRIVATE KEY)-----(.*?)-----END \1-----", pem_text, flags=re.S)
    if not m:
        raise ValueError("PEM does not contain a supported private key block")
    return base64.b64decode(re.sub(r"\s+", "", m.group(2)))


@checked
def _parse_oid(der_oid: bytes) -> list[int]:
    if not der_oid:
        raise ValueError("Invalid OID")
    arcs, value = [], 0
    for b in der_oid:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            if arcs:
                arcs.append(value)
            else:
                first = min(value // 40, 2)
                arcs += [first, value - 40 * first]
            value = 0
    if der_oid[-1] & 0x80:
        raise ValueError("Invalid OID encoding")
    return arcs


@checked
def _curve_name_from_oid(oid_der: bytes) -> str:
    if oid_der not in CURVES:
        raise ValueError("Unsupported EC curve")
    return CURVES[oid_der][0]


@checked
def _curve_size_from_name(curve_name: str) -> int:
    return CURVES_BY_NAME[curve_name][1]


@checked
def _der_ec_private_key_to_jwk_sec1(ec_der: bytes, curve_name: str | None = None, kid: str | None = None) -> dict:
    tag, seq, end = _read_tlv(ec_der, 0)
    if tag != 0x30 or end != len(ec_der):
        raise ValueError("Invalid EC private key DER")
    tag, ver, i = _read_tlv(seq, 0)
    if tag != 0x02 or int.from_bytes(ver, "big") != 1:
        raise ValueError("Invalid EC private key version")
    tag, priv, i = _read_tlv(seq, i)
    if tag != 0x04 or i > len(seq):
        raise ValueError("Invalid EC private key scalar")
    x = y = None
    while i < len(seq):
        t_tag, t_val, i = _read_tlv(seq, i)
        if t_tag == 0xA0 and curve_name is None:
            oid_tag, oid_val, k = _read_tlv(t_val, 0)
            if oid_tag != 0x06 or k != len(t_val):
                raise ValueError("Invalid EC private key curve params")
            curve_name = _curve_name_from_oid(oid_val)
        elif t_tag == 0xA1:
            bit_tag, bit_val, k = _read_tlv(t_val, 0)
            if bit_tag == 0x03 and k == len(t_val) and bit_val and bit_val[0] == 0:
                point = bit_val[1:]
                if point and point[0] == 0x04 and curve_name is not None:
                    size = _curve_size_from_name(curve_name)
                    if len(point) == 1 + 2 * size:
                        x, y = point[1:1 + size], point[1 + size:]
    if curve_name is None:
        raise ValueError("Curve information missing from EC private key")
    size = _curve_size_from_name(curve_name)
    if len(priv) > size:
        raise ValueError("Invalid private key size")
    jwk = {"kty": "EC", "crv": curve_name, "d": _b64u(priv.rjust(size, b"\x00"))}
    if x is not None and y is not None:
        jwk["x"] = _b64u(x)
        jwk["y"] = _b64u(y)
    if kid:
        jwk["kid"] = kid
    return jwk


@checked
def der_ec_private_key_to_jwk(der: bytes, kid: str | None = None) -> dict:
    try:
        tag, seq, end = _read_tlv(der, 0)
        if tag == 0x30 and end == len(der):
            tag, _, i = _read_tlv(seq, 0)
            if tag == 0x02:
                alg_tag, alg_val, i = _read_tlv(seq, i)
                if alg_tag == 0x30:
                    oid_tag, oid_alg, j = _read_tlv(alg_val, 0)
                    oid2_tag, oid_curve, j = _read_tlv(alg_val, j)
                    if oid_tag == 0x06 and oid2_tag == 0x06 and j == len(alg_val) and oid_alg == OID_EC_PUBLIC_KEY:
                        curve_name = _curve_name_from_oid(oid_curve)
                        pk_tag, pk_val, _ = _read_tlv(seq, i)
                        if pk_tag == 0x04:
                            return _der_ec_private_key_to_jwk_sec1(pk_val, curve_name=curve_name, kid=kid)
    except Exception:
        pass
    return _der_ec_private_key_to_jwk_sec1(der, curve_name=None, kid=kid)


@checked
def pem_private_key_to_jwk(pem_text: str, kid: str | None = None) -> dict:
    return der_ec_private_key_to_jwk(pem_private_key_to_der(pem_text), kid=kid)


@checked
def _der_len(length: int) -> bytes:
    if length < 0x80:
        return bytes([length])
    n = (length.bit_length() + 7) // 8
    if n > 126:
        raise ValueError("Length too large for DER")
    return bytes([0x80 | n]) + length.to_bytes(n, "big")


@checked
def _der_tlv(tag: int, value: bytes) -> bytes:
    return bytes([tag]) + _der_len(len(value)) + value


@checked
def _pem_armor(label: str, der: bytes) -> str:
    b64 = base64.b64encode(der).decode("ascii")
    lines = [b64[i:i + 64] for i in range(0, len(b64), 64)]
    return "-----BEGIN " + label + "-----\n" + "\n".join(lines) + "\n-----END " + label + "-----\n"


@checked
def jwk_public_key_to_pem(jwk: dict) -> str:
    if jwk.get("kty") != "EC":
        raise ValueError("Only EC JWK is supported")
    crv = jwk.get("crv")
    if crv not in CURVES_BY_NAME:
        raise ValueError("Unsupported EC curve")
    if "x" not in jwk or "y" not in jwk:
        raise ValueError("JWK must contain x and y")
    curve_oid, size = CURVES_BY_NAME[crv]
    x = _b64u_decode(jwk["x"])
    y = _b64u_decode(jwk["y"])
    if len(x) != size or len(y) != size:
        raise ValueError("Invalid EC coordinate size for curve")
    alg_id = _der_tlv(0x30, _der_tlv(0x06, OID_EC_PUBLIC_KEY) + _der_tlv(0x06, curve_oid))
    spki = _der_tlv(0x30, alg_id + _der_tlv(0x03, b"\x00" + b"\x04" + x + y))
    return _pem_armor("PUBLIC KEY", spki)


@checked
def jwk_private_key_to_pem(jwk: dict) -> str:
    if jwk.get("kty") != "EC":
        raise ValueError("Only EC JWK is supported")
    crv = jwk.get("crv")
    if crv not in CURVES_BY_NAME:
        raise ValueError("Unsupported EC curve")
    if "d" not in jwk:
        raise ValueError("JWK must contain d")
    curve_oid, size = CURVES_BY_NAME[crv]
    d = _b64u_decode(jwk["d"])
    if len(d) != size:
        raise ValueError("Invalid private key size for curve")
    ec_key = _der_tlv(0x30, _der_tlv(0x02, b"\x01") + _der_tlv(0x04, d))
    if "x" in jwk and "y" in jwk:
        x = _b64u_decode(jwk["x"])
        y = _b64u_decode(jwk["y"])
        if len(x) != size or len(y) != size:
            raise ValueError("Invalid EC coordinate size for curve")
        point = b"\x04" + x + y
        ec_key = _der_tlv(0x30, _der_tlv(0x02, b"\x01") + _der_tlv(0x04, d)
                          + _der_tlv(0xA1, _der_tlv(0x03, b"\x00" + point)))
    alg_id = _der_tlv(0x30, _der_tlv(0x06, OID_EC_PUBLIC_KEY) + _der_tlv(0x06, curve_oid))
    pkcs8 = _der_tlv(0x30, _der_tlv(0x02, b"\x00") + alg_id + _der_tlv(0x04, ec_key))
    return _pem_armor("PRIVATE KEY", pkcs8)


@checked
def jwk_to_pem(jwk: dict) -> str:
    return jwk_private_key_to_pem(jwk) if "d" in jwk else jwk_public_key_to_pem(jwk)


MODEL = sys.modules[__name__]
FUNCTIONS = [name for name, value in vars(MODEL).items() if getattr(value, "__wrapped__", None)]
HELPERS = ["_b64u", "_b64u_decode", "_read_tlv", "_curve_name_from_oid", "_curve_size_from_name",
           "_der_ec_private_key_to_jwk_sec1", "der_ec_private_key_to_jwk", "pem_private_key_to_der",
           "_der_len", "_der_tlv", "_pem_armor", "jwk_public_key_to_pem", "jwk_private_key_to_pem"]
