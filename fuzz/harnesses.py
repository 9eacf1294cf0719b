"""Fuzz targets for every function of the package that reads outside input.

Each target takes the fuzzer's bytes, turns them into arguments, calls the
native function and the plain-Python model of the same algorithm (the models
that the tests use: ``tests/reference/jwt_model.py`` and
``tests/reference/key_model.py``), and asserts:

* the native outcome equals the model's: the same result, or the same
  exception type and message (a differential check, which finds wrong
  answers as well as crashes);
* an exception is one that the function is documented to raise: a
  ``ValueError`` with one of its fixed messages, or an error of the standard
  library or of indexing that the algorithm lets through.

A failed assertion is a finding: atheris reports it with the input that
caused it. The targets are plain functions of ``bytes`` and are also called
directly by the tests.
"""

import base64
import binascii
import json
import types

from quarlopro import decodekey as dk
from quarlopro import jwt_es256 as jwt
from reference import jwt_model as ref
from reference import key_model as dkmodel
from reference import outcome

# ---------------------------------------------------------------------------
# A fixed key and clock, so that every input replays the same way

SIGNING_KEY = 0x3E1F0A5D7C9B2468ACE13579BDF02468ACE13579BDF02468ACE13579BDF0246
PUBLIC_KEY = jwt._scalar_mult(SIGNING_KEY, (ref._P256_GX, ref._P256_GY))
NOW = 1_700_000_000


def prepare(replace=setattr) -> None:
    """Gives the verifier and its model one fixed clock, and the model the
    native ECDSA check (both read these through their globals). The native
    check is compared with the model's in the tests (Wycheproof, both
    paths); here the token logic around it runs at full speed. `replace` is
    setattr, or a test's monkeypatch.setattr."""
    clock = types.SimpleNamespace(time=lambda: NOW + 0.5)
    replace(jwt, "time", clock)
    replace(ref, "time", clock)
    replace(ref, "_verify_ecdsa_p256_sha256", jwt._verify_ecdsa_p256_sha256)


def text_of(data: bytes) -> str:
    """Any bytes as text: UTF-8 where it decodes, lone surrogates elsewhere."""
    return data.decode("utf-8", "surrogateescape")


# ---------------------------------------------------------------------------
# What each function may raise

DER_SIGNATURE_MESSAGES = {
    "Not a DER ECDSA signature", "Invalid DER length", "Invalid DER sequence length", "Invalid DER INTEGER r",
    "Invalid DER INTEGER r length", "Invalid DER INTEGER s", "Invalid DER INTEGER s length",
    "ECDSA integer too large for P-256",
}
OID_MESSAGES = {"Invalid OID", "Invalid OID encoding"}
SPKI_MESSAGES = {
    "Invalid DER SPKI", "Invalid algorithm identifier", "Invalid subjectPublicKey BIT STRING", "Invalid algorithm OIDs",
    "Not an EC public key", "Unsupported EC curve", "Invalid BIT STRING", "Only uncompressed EC points are supported",
}
PRIVATE_READ_MESSAGES = {
    "Invalid EC private key DER", "Invalid EC private key version", "Invalid EC private key scalar",
    "Invalid EC private key curve params", "Unsupported EC curve", "Curve information missing from EC private key",
    "Invalid private key size",
}
PUBLIC_PEM_MESSAGE = "PEM does not contain a BEGIN/END PUBLIC KEY block"
PRIVATE_PEM_MESSAGE = "PEM does not contain a supported private key block"
PUBLIC_WRITE_MESSAGES = {"Only EC JWK is supported", "Unsupported EC curve", "JWK must contain x and y",
                         "Invalid EC coordinate size for curve"}
PRIVATE_WRITE_MESSAGES = {"Only EC JWK is supported", "Unsupported EC curve", "JWK must contain d",
                          "Invalid private key size for curve", "Invalid EC coordinate size for curve"}
TOKEN_MESSAGES = {"Unexpected alg", "Unexpected typ", "Invalid signature", "Token expired", "Token not yet valid",
                  "Invalid iat", "Invalid issuer", "Invalid audience"} | DER_SIGNATURE_MESSAGES
# The plain ValueError of the standard Base64 decoders for non-ASCII text.
BASE64_ASCII = "string argument should contain only ASCII characters"


def _unpack_message(message: str) -> bool:
    return message.startswith(("need more than ", "too many values to unpack"))


def _int_message(message: str) -> bool:
    # int() of a claim: text that is not an integer, an integer text over
    # the digit limit, a NaN.
    return message.startswith(("invalid literal for int()", "Exceeds the limit", "cannot convert float NaN"))


def check_allowed(result, *, messages=frozenset(), others=(), value_error_ok=None):
    """Asserts that an outcome is a result or an allowed exception.

    messages: the fixed texts of a plain ValueError; value_error_ok: a
    predicate for further plain ValueError texts of the standard library;
    others: the other exception types (subclasses of ValueError among them)
    that may propagate."""
    if result[0] == "ok":
        return
    _, kind, message = result
    if kind is ValueError:
        assert message in messages or (value_error_ok is not None and value_error_ok(message)), result
    else:
        assert issubclass(kind, others), result


def same(native, model):
    assert native == model, (native, model)
    return native


# ---------------------------------------------------------------------------
# jwt_es256


def der_signature(data: bytes) -> None:
    result = same(outcome(jwt._der_ecdsa_signature_to_raw64, data), outcome(ref._der_ecdsa_signature_to_raw64, data))
    check_allowed(result, messages=DER_SIGNATURE_MESSAGES)
    if result[0] == "ok":
        raw = result[1]
        assert type(raw) is bytes and len(raw) == 64
        # The integers read are the ones a strict encoding of them carries.
        r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
        assert jwt._der_ecdsa_signature_to_raw64(ref.der_signature(r, s)) == raw


def b64url_decode(data: bytes) -> None:
    text = text_of(data)
    result = same(outcome(jwt._b64url_decode, text), outcome(ref._b64url_decode, text))
    # decodekey's helper is the same algorithm.
    same(outcome(dk._b64u_decode, text), result)
    check_allowed(result, others=(binascii.Error,), value_error_ok=lambda m: m == BASE64_ASCII)
    if result[0] == "ok":
        assert jwt._b64url_decode(jwt._b64url_encode(result[1])) == result[1]


def _token_parts(data: bytes):
    """A token and the verifier's options from the fuzzer's bytes.

    The first byte chooses: bits 0-1 how the token is made (0: the bytes as
    text; 1: header and payload JSON texts, separated by a newline, encoded
    and signed with the fixed key; 2: the same with a DER signature; 3:
    header and payload segments taken as they are, signed), bit 2 an expected
    issuer, bit 3 an expected audience, bit 4 a leeway of 0 instead of 30."""
    if not data:
        return "", None, None, 30
    mode, body = data[0], data[1:]
    expected_iss = "issuer" if mode & 4 else None
    expected_aud = "audience" if mode & 8 else None
    leeway = 0 if mode & 16 else 30
    if mode & 3 == 0:
        return text_of(body), expected_iss, expected_aud, leeway
    header, _, payload = body.partition(b"\n")
    if mode & 3 == 3:
        header_b64, payload_b64 = text_of(header), text_of(payload)
    else:
        header_b64, payload_b64 = jwt._b64url_encode(header), jwt._b64url_encode(payload)
    signing_input = (header_b64 + "." + payload_b64).encode("utf-8", "surrogateescape")
    signature = jwt._sign_ecdsa_p256_sha256(signing_input, SIGNING_KEY)
    if mode & 3 == 2:
        signature = ref.der_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    return header_b64 + "." + payload_b64 + "." + jwt._b64url_encode(signature), expected_iss, expected_aud, leeway


def verify_token(data: bytes) -> None:
    token, expected_iss, expected_aud, leeway = _token_parts(data)
    args = (token, PUBLIC_KEY, expected_iss, expected_aud, leeway)
    result = same(outcome(jwt.verify_es256_jwt, *args), outcome(ref.verify_es256_jwt, *args))
    # Errors of decoding (Base64, JSON, the text of JSON bytes), of unpacking,
    # of int() on a claim, of a header or payload that is not an object, and
    # of the standard library's nesting limit.
    check_allowed(result, messages=TOKEN_MESSAGES,
                  others=(binascii.Error, json.JSONDecodeError, UnicodeError, TypeError, AttributeError,
                          OverflowError, RecursionError),
                  value_error_ok=lambda m: m == BASE64_ASCII or _unpack_message(m) or _int_message(m))
    if result[0] == "ok":
        # Accepted only with a valid signature by the fixed key and an object header.
        header_b64, payload_b64, _ = token.split(".")
        assert json.loads(jwt._b64url_decode(payload_b64)) == result[1]
        assert isinstance(json.loads(jwt._b64url_decode(header_b64)), dict)


# ---------------------------------------------------------------------------
# decodekey: DER

READ_ERRORS = (IndexError, OverflowError)


def read_tlv(data: bytes) -> None:
    """First byte: 0-127 a small index (-4 .. 123) into the rest; 128-255 a
    9-byte signed index taken from the rest."""
    if not data:
        index, buffer = 0, b""
    elif data[0] < 128:
        index, buffer = data[0] - 4, data[1:]
    else:
        index, buffer = int.from_bytes(data[1:10], "big", signed=True), data[10:]
    result = same(outcome(dk._read_tlv, buffer, index), outcome(dkmodel._read_tlv, buffer, index))
    check_allowed(result, others=READ_ERRORS)
    if result[0] == "ok":
        tag, value, following = result[1]
        assert 0 <= tag <= 255 and type(value) is bytes
        if index >= 0:  # the value lies between the length octets and the declared end
            assert following >= index + 2 + len(value)


def parse_oid(data: bytes) -> None:
    result = same(outcome(dk._parse_oid, data), outcome(dkmodel._parse_oid, data))
    check_allowed(result, messages=OID_MESSAGES)
    if result[0] == "ok":
        assert len(result[1]) >= 2 and all(type(arc) is int and arc >= 0 for arc in result[1])


def _kid(data: bytes):
    # The last byte picks no kid, an empty one or a text one.
    return (None, "", "key-1")[data[-1] % 3] if data else None


def spki_to_jwk(data: bytes) -> None:
    kid = _kid(data)
    result = same(outcome(dk.der_spki_ec_to_jwk, data, kid), outcome(dkmodel.der_spki_ec_to_jwk, data, kid))
    check_allowed(result, messages=SPKI_MESSAGES, others=READ_ERRORS)
    if result[0] == "ok":
        jwk = result[1]
        assert list(jwk) == ["kty", "crv", "x", "y"] + (["kid"] if kid else [])
        # What was read writes and reads back to the same key (the writer's
        # DER may be shorter: the reader also takes non-minimal lengths).
        written = dk.pem_public_key_to_der(dk.jwk_public_key_to_pem(jwk))
        assert dk.der_spki_ec_to_jwk(written, kid) == jwk
        assert len(written) <= len(data)


def ec_private_key_to_jwk(data: bytes) -> None:
    kid = _kid(data)
    result = same(outcome(dk.der_ec_private_key_to_jwk, data, kid),
                  outcome(dkmodel.der_ec_private_key_to_jwk, data, kid))
    check_allowed(result, messages=PRIVATE_READ_MESSAGES, others=READ_ERRORS)
    if result[0] == "ok":
        jwk = result[1]
        size = dk.CURVES_BY_NAME[jwk["crv"]][1]
        assert len(dk._b64u_decode(jwk["d"])) == size
        assert ("x" in jwk) == ("y" in jwk)
        # What was read writes and reads back to the same key.
        again = dk.pem_private_key_to_jwk(dk.jwk_private_key_to_pem(jwk), kid)
        assert again == jwk


# ---------------------------------------------------------------------------
# decodekey: PEM

PEM_DECODE_ERRORS = (binascii.Error,)


def pem_public_key(data: bytes) -> None:
    text = text_of(data)
    result = same(outcome(dk.pem_public_key_to_der, text), outcome(dkmodel.pem_public_key_to_der, text))
    check_allowed(result, messages={PUBLIC_PEM_MESSAGE}, others=PEM_DECODE_ERRORS,
                  value_error_ok=lambda m: m == BASE64_ASCII)
    if result[0] == "ok":
        der = result[1]
        chained = same(outcome(dk.der_spki_ec_to_jwk, der), outcome(dkmodel.der_spki_ec_to_jwk, der))
        check_allowed(chained, messages=SPKI_MESSAGES, others=READ_ERRORS)


def pem_private_key(data: bytes) -> None:
    text = text_of(data)
    result = same(outcome(dk.pem_private_key_to_jwk, text), outcome(dkmodel.pem_private_key_to_jwk, text))
    check_allowed(result, messages={PRIVATE_PEM_MESSAGE} | PRIVATE_READ_MESSAGES,
                  others=PEM_DECODE_ERRORS + READ_ERRORS, value_error_ok=lambda m: m == BASE64_ASCII)


# ---------------------------------------------------------------------------
# decodekey: JWK writers

# Values a member may take besides text made from the fuzzer's bytes.
MEMBER_POOL = [None, "EC", "ec", "RSA", "P-256", "P-384", "P-521", "P-257", "", 0, 1.5, ["P-256"], {"a": 1}, b"EC",
               "A" * 43, "A" * 64, "A" * 88, "AA" * 22, "=", "é", "\udc80"]
MEMBERS = ["kty", "crv", "x", "y", "d", "kid"]


def _jwk_from(data: bytes) -> dict:
    """A JWK from the fuzzer's bytes: JSON text of an object is taken as it
    is; anything else is read as a member-by-member description (per member
    one byte: absent, a value of the pool, Base64url of the next n bytes, or
    the next n bytes as text)."""
    try:
        value = json.loads(data)
    except (ValueError, RecursionError):
        value = None
    if isinstance(value, dict):
        return value
    jwk, i = {}, 0
    for member in MEMBERS:
        if i >= len(data):
            break
        choice, i = data[i], i + 1
        kind, count = choice & 3, choice >> 2
        if kind == 0:
            continue
        if kind == 1:
            jwk[member] = MEMBER_POOL[count % len(MEMBER_POOL)]
            continue
        chunk, i = data[i:i + count * 2], i + count * 2
        jwk[member] = jwt._b64url_encode(chunk) if kind == 2 else text_of(chunk)
    return jwk


JWK_ERRORS = (binascii.Error, TypeError)


def jwk_public_to_pem(data: bytes) -> None:
    jwk = _jwk_from(data)
    result = same(outcome(dk.jwk_public_key_to_pem, jwk), outcome(dkmodel.jwk_public_key_to_pem, jwk))
    check_allowed(result, messages=PUBLIC_WRITE_MESSAGES, others=JWK_ERRORS, value_error_ok=lambda m: m == BASE64_ASCII)
    if result[0] == "ok":
        back = dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(result[1]))
        assert back["crv"] == jwk["crv"]
        for member in ("x", "y"):
            assert dk._b64u_decode(back[member]) == dk._b64u_decode(jwk[member])


def jwk_private_to_pem(data: bytes) -> None:
    jwk = _jwk_from(data)
    result = same(outcome(dk.jwk_private_key_to_pem, jwk), outcome(dkmodel.jwk_private_key_to_pem, jwk))
    check_allowed(result, messages=PRIVATE_WRITE_MESSAGES, others=JWK_ERRORS,
                  value_error_ok=lambda m: m == BASE64_ASCII)
    if result[0] == "ok":
        back = dk.pem_private_key_to_jwk(result[1])
        assert back["crv"] == jwk["crv"]
        assert dk._b64u_decode(back["d"]) == dk._b64u_decode(jwk["d"])
        with_point = "x" in jwk and "y" in jwk
        assert ("x" in back) == with_point
        if with_point:
            assert dk._b64u_decode(back["x"]) == dk._b64u_decode(jwk["x"])


# ---------------------------------------------------------------------------

HARNESSES = {
    "der_signature": der_signature,
    "read_tlv": read_tlv,
    "parse_oid": parse_oid,
    "spki_to_jwk": spki_to_jwk,
    "ec_private_key_to_jwk": ec_private_key_to_jwk,
    "pem_public_key": pem_public_key,
    "pem_private_key": pem_private_key,
    "jwk_public_to_pem": jwk_public_to_pem,
    "jwk_private_to_pem": jwk_private_to_pem,
    "verify_token": verify_token,
    "b64url_decode": b64url_decode,
}
# The function each target is about (the names of the package's API).
TARGETS = {
    "der_signature": "jwt_es256._der_ecdsa_signature_to_raw64",
    "read_tlv": "decodekey._read_tlv",
    "parse_oid": "decodekey._parse_oid",
    "spki_to_jwk": "decodekey.der_spki_ec_to_jwk",
    "ec_private_key_to_jwk": "decodekey.der_ec_private_key_to_jwk",
    "pem_public_key": "decodekey.pem_public_key_to_der",
    "pem_private_key": "decodekey.pem_private_key_to_jwk",
    "jwk_public_to_pem": "decodekey.jwk_public_key_to_pem",
    "jwk_private_to_pem": "decodekey.jwk_private_key_to_pem",
    "verify_token": "jwt_es256.verify_es256_jwt",
    "b64url_decode": "jwt_es256._b64url_decode",
}
