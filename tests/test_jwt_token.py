"""Compact ES256 tokens of quarlopro.jwt_es256: the exact JSON form, header
merging, the order of the verification steps, time claims under a replaced
clock, issuer and audience, malformed and enormous input, and interop with
PyJWT in both directions."""

import base64
import json
import random
import time
import types

import jwt as pyjwt
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference import jwt_model as ref
from reference import outcome
import quarlopro.jwt_es256 as jwt_es256

N = ref._P256_N
D = 0x3E1F0A5D7C9B2468ACE13579BDF02468ACE13579BDF02468ACE13579BDF0246
Q = ref.point_mul(D)
JWK = {"kty": "EC", "crv": "P-256", "x": ref._int_to_b64url_32(Q[0]), "y": ref._int_to_b64url_32(Q[1]),
       "d": ref._int_to_b64url_32(D)}
PUBLIC_JWK = {k: v for k, v in JWK.items() if k != "d"}
NOW = 1_700_000_000
DEFAULT_HEADER = "eyJhbGciOiJFUzI1NiIsInR5cCI6IkpXVCJ9"

sign = jwt_es256.sign_es256_jwt
verify = jwt_es256.verify_es256_jwt


def unb64(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def segments(token):
    return token.split(".")


def token_with(header, payload, d=D):
    """A token for any JSON header and payload values (objects or not),
    encoded as the signer encodes, signed by the model."""
    return ref.sign_segments(ref.segment(header), ref.segment(payload), d)


@pytest.fixture
def clock(monkeypatch):
    """Replaces the clock of the module (and of the model) with a settable
    one; counts its reads."""
    state = types.SimpleNamespace(now=NOW + 0.25, reads=0)

    def read():
        state.reads += 1
        return state.now

    fake = types.SimpleNamespace(time=read)
    monkeypatch.setattr(jwt_es256, "time", fake)
    monkeypatch.setattr(ref, "time", fake)
    return state


def both(token, *args, **kwargs):
    """The module's and the model's outcome for one verification."""
    got = outcome(verify, token, *args, **kwargs)
    want = outcome(ref.verify_es256_jwt, token, *args, **kwargs)
    return got, want


# ---------------------------------------------------------------------------
# Signing: the exact form


def test_default_header_and_segments():
    token = sign({"sub": "a"}, D)
    header, payload, signature = segments(token)
    assert header == DEFAULT_HEADER
    assert unb64(header) == b'{"alg":"ES256","typ":"JWT"}'
    assert unb64(payload) == b'{"sub":"a"}'
    assert len(unb64(signature)) == 64 and len(signature) == 86 and "=" not in token
    r, s = int.from_bytes(unb64(signature)[:32], "big"), int.from_bytes(unb64(signature)[32:], "big")
    assert 1 <= r < N and 1 <= s <= N // 2
    assert sign({"sub": "a"}, D) == token
    assert token == ref.sign_es256_jwt({"sub": "a"}, D)


@pytest.mark.parametrize("payload, text", [
    ({"b": 1, "a": "é"}, b'{"a":"\\u00e9","b":1}'),
    ({"z": {"y": 1, "x": [3, {"b": 2, "a": 1}]}, "a": None, "f": 1.5, "t": True, "e": "\U0001F600\n"},
     b'{"a":null,"e":"\\ud83d\\ude00\\n","f":1.5,"t":true,"z":{"x":[3,{"a":1,"b":2}],"y":1}}'),
    ({2: "a", 10: "b"}, b'{"2":"a","10":"b"}'),  # sorted as ints, written as text
    ({}, b"{}"),
    ({"k": (1, 2)}, b'{"k":[1,2]}'),
])
def test_payload_json_form(payload, text):
    token = sign(payload, D)
    assert unb64(segments(token)[1]) == text
    assert verify(token, Q, leeway_seconds=0) == json.loads(text)


@pytest.mark.parametrize("header, text", [
    ({"kid": "k1"}, b'{"alg":"ES256","kid":"k1","typ":"JWT"}'),
    ({"typ": "at+jwt"}, b'{"alg":"ES256","typ":"at+jwt"}'),
    ({"typ": None, "cty": "x"}, b'{"alg":"ES256","cty":"x","typ":null}'),
    ({"alg": "ES256", "zz": [1, {"b": 1, "a": 2}]}, b'{"alg":"ES256","typ":"JWT","zz":[1,{"a":2,"b":1}]}'),
])
def test_header_merging(header, text):
    token = sign({"a": 1}, D, header)
    assert unb64(segments(token)[0]) == text
    assert token == ref.sign_es256_jwt({"a": 1}, D, header)


def test_empty_header_is_no_header():
    assert sign({"a": 1}, D, {}) == sign({"a": 1}, D, None) == sign({"a": 1}, D)


@pytest.mark.parametrize("header", [{"alg": "HS256"}, {"alg": None}, {"alg": "es256"}, {"alg": "none", "typ": "JWT"}])
def test_header_alg_must_be_es256(header):
    with pytest.raises(ValueError, match=r"^Header alg must be ES256$"):
        sign({"a": 1}, D, header)
    # checked before the payload is serialised or the key examined
    with pytest.raises(ValueError, match=r"^Header alg must be ES256$"):
        sign({"a": object()}, 0, header)


@pytest.mark.parametrize("payload, header, d", [
    ({"a": object()}, None, D),
    ({"a": object()}, None, 0),  # serialising comes before the key check
    ({1: "a", "b": 2}, None, D),  # keys that cannot be sorted
    ({"a": 1}, {"kid": {1, 2}}, D),
    ({"a": 1}, None, 0),
    ({"a": 1}, None, N),
    ({"a": float("nan")}, None, D),  # json writes NaN; the token still signs
], ids=["object", "object-bad-key", "mixed-keys", "set-header", "d0", "dn", "nan"])
def test_signing_errors_match_the_model(payload, header, d):
    got = outcome(sign, payload, d, header)
    assert got == outcome(ref.sign_es256_jwt, payload, d, header)


def test_signing_goes_through_the_modules_json_and_signer(monkeypatch):
    dumps_calls, sign_calls = [], []

    def dumps(value, **kwargs):
        dumps_calls.append((value, kwargs))
        return json.dumps(value, **kwargs)

    original = jwt_es256._sign_ecdsa_p256_sha256

    def signer(*args, **kwargs):
        sign_calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(jwt_es256, "json", types.SimpleNamespace(dumps=dumps, loads=json.loads))
    monkeypatch.setattr(jwt_es256, "_sign_ecdsa_p256_sha256", signer)
    token = sign({"a": 1}, D, {"kid": "k"})
    assert dumps_calls == [({"alg": "ES256", "typ": "JWT", "kid": "k"}, {"separators": (",", ":"), "sort_keys": True}),
                           ({"a": 1}, {"separators": (",", ":"), "sort_keys": True})]
    header_b64, payload_b64, _ = segments(token)
    assert sign_calls == [(((header_b64 + "." + payload_b64).encode("ascii"), D), {"deterministic": True})]


class Number(int):
    def __repr__(self):
        return "number"


class Text(str):
    def __str__(self):
        return "text"


def nested(depth, leaf, container=list):
    for _ in range(depth):
        leaf = container([leaf]) if container is not dict else {"k": leaf}
    return leaf


def circular():
    loop = [1]
    loop.append(loop)
    return loop


# The payload's JSON is written natively for plain data and by json itself
# for anything else; both must give json.dumps' bytes and json's errors.
@pytest.mark.parametrize("value", [
    1.5, -0.0, 1e300, 5e-324, 0.1 + 0.2, 1e16, -(2 ** 63), 2 ** 64, 10 ** 4000,
    float("inf"), float("-inf"),
    (1, (2, "x"), []), {}, [], (), [{}], {"": {"": []}},
    "", "\x00\x1f\x7f\x80 \"\\/", "\b\f\n\r\t", "\u2028é\uffff", "😀\U0010ffff", "\ud800\udfff",
    {"é": 1, "z": 2, "😀": 3, "Z": 4, "": 5, "\uffff": 6, "a\x00": 7, "a": 8},
    {chr(0xFF - i % 20) * (1 + i % 3) + "\x7f" * (i % 2): i for i in range(40)},
    nested(46, "leaf"), nested(47, 1.25), nested(48, "x"), nested(60, [], tuple), nested(40, None, dict),
    nested(200, 1), nested(2000, 1),
    Number(5), Text("t"), {"k": Text("t")}, [True, Number(1)], {Text("b"): 1, "a": 2},
    types.MappingProxyType({"a": 1}), {"a": {1, 2}}, {"a": b"x"}, {2: "int key"}, {None: 1, True: 2},
    circular(), {"a": 10 ** 5000},
], ids=lambda value: type(value).__name__)
def test_payload_json_is_jsons(value):
    payload = {"v": value}
    got = outcome(sign, payload, D)
    assert got == outcome(ref.sign_es256_jwt, payload, D)
    if got[0] == "ok":
        expected = json.dumps(payload, separators=(",", ":"), sort_keys=True).encode()
        assert unb64(segments(sign(payload, D))[1]) == expected


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.dictionaries(st.text(alphabet="abcdz", max_size=5), st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=3), children, max_size=3),
    max_leaves=6), max_size=5),
    st.one_of(st.none(), st.dictionaries(st.sampled_from(["kid", "x5t", "cty"]), st.text(max_size=4), max_size=2)))
def test_tokens_match_the_model(payload, header):
    token = sign(payload, D, header)
    assert token == ref.sign_es256_jwt(payload, D, header)
    assert verify(token, Q) == json.loads(json.dumps(payload))


# ---------------------------------------------------------------------------
# Signing with a JWK


def test_sign_with_jwk_equals_sign_with_d():
    with_kid = dict(JWK, kid="not copied")
    token = jwt_es256.sign_es256_jwt_with_jwk({"a": 1}, with_kid)
    assert token == sign({"a": 1}, D)
    assert unb64(segments(token)[0]) == b'{"alg":"ES256","typ":"JWT"}'
    assert jwt_es256.sign_es256_jwt_with_jwk({"a": 1}, JWK, {"kid": "k"}) == sign({"a": 1}, D, {"kid": "k"})


def test_sign_with_jwk_calls_the_modules_functions(monkeypatch):
    calls = []
    monkeypatch.setattr(jwt_es256, "private_key_d_from_jwk", lambda jwk: calls.append(("d", jwk)) or 7)
    monkeypatch.setattr(jwt_es256, "sign_es256_jwt",
                        lambda *args, **kwargs: calls.append(("sign", args, kwargs)) or "token")
    assert jwt_es256.sign_es256_jwt_with_jwk({"a": 1}, {"j": 1}, {"h": 1}) == "token"
    assert calls == [("d", {"j": 1}), ("sign", ({"a": 1}, 7), {"header": {"h": 1}})]
    calls.clear()
    jwt_es256.sign_es256_jwt_with_jwk({"a": 1}, {"j": 1})
    assert calls[1] == ("sign", ({"a": 1}, 7), {"header": None})


@pytest.mark.parametrize("jwk, message", [
    ({"kty": "EC", "crv": "P-256", "x": "AQ", "y": "AQ"}, "JWK must contain private key parameter d"),
    ({"kty": "RSA", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({"kty": "EC", "crv": "P-256", "d": "AA"}, "Invalid private key"),
])
def test_sign_with_jwk_errors(jwk, message):
    with pytest.raises(ValueError) as info:
        jwt_es256.sign_es256_jwt_with_jwk({"a": 1}, jwk)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Verification: headers, signatures, and the order of the checks


def test_verify_returns_the_decoded_payload_object(monkeypatch):
    loaded = []

    def loads(data):
        value = json.loads(data)
        loaded.append(value)
        return value

    token = sign({"sub": "a", "n": [1, 2]}, D)
    monkeypatch.setattr(jwt_es256, "json", types.SimpleNamespace(loads=loads, dumps=json.dumps))
    result = verify(token, Q)
    assert result == {"sub": "a", "n": [1, 2]}
    assert result is loaded[1]  # header first, then payload


@pytest.mark.parametrize("header, outcome", [
    ({"alg": "ES256"}, None),
    ({"alg": "ES256", "typ": None}, None),
    ({"alg": "ES256", "typ": "JWT", "kid": "x"}, None),
    ({"alg": "ES256", "typ": "jwt"}, "Unexpected typ"),
    ({"alg": "ES256", "typ": "JWT "}, "Unexpected typ"),
    ({"alg": "ES256", "typ": "at+jwt"}, "Unexpected typ"),
    ({"alg": "ES256", "typ": 0}, "Unexpected typ"),
    ({"alg": "none"}, "Unexpected alg"),
    ({"typ": "JWT"}, "Unexpected alg"),
    ({"alg": "es256"}, "Unexpected alg"),
    ({"alg": ["ES256"]}, "Unexpected alg"),
    ({"alg": "none", "typ": "jwt"}, "Unexpected alg"),  # alg before typ
])
def test_header_checks(header, outcome):
    token = token_with(header, {"a": 1})
    if outcome is None:
        assert verify(token, Q) == {"a": 1}
    else:
        with pytest.raises(ValueError) as info:
            verify(token, Q)
        assert str(info.value) == outcome


def test_header_checks_come_after_decoding_and_before_the_signature():
    bad_header = ref.segment({"alg": "none"})
    payload = ref.segment({"a": 1})
    short = ref._b64url_encode(b"\x01" * 10)
    with pytest.raises(ValueError, match=r"^Not a DER ECDSA signature$"):
        verify(f"{bad_header}.{payload}.{short}", Q)
    with pytest.raises(ValueError, match=r"^Unexpected alg$"):
        verify(f"{bad_header}.{payload}.{ref._b64url_encode(bytes(64))}", Q)
    wrong_typ = ref.segment({"alg": "ES256", "typ": "x"})
    with pytest.raises(ValueError, match=r"^Unexpected typ$"):
        verify(f"{wrong_typ}.{payload}.{ref._b64url_encode(bytes(64))}", Q)
    # a header that is not an object fails at its first .get, also after the
    # signature segment was decoded
    list_header = ref.segment(["alg"])
    with pytest.raises(ValueError, match=r"^Not a DER ECDSA signature$"):
        verify(f"{list_header}.{payload}.{short}", Q)
    got, want = both(f"{list_header}.{payload}.{ref._b64url_encode(bytes(64))}", Q)
    assert got == want and got[:2] == ("raise", AttributeError)


def test_der_signature_tokens():
    utils = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.utils")
    token = sign({"a": 1}, D)
    header_b64, payload_b64, signature_b64 = segments(token)
    raw = unb64(signature_b64)
    r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
    der = utils.encode_dss_signature(r, s)
    assert verify(f"{header_b64}.{payload_b64}.{ref._b64url_encode(der)}", Q) == {"a": 1}
    long_form = b"\x30\x81" + der[1:]
    assert verify(f"{header_b64}.{payload_b64}.{ref._b64url_encode(long_form)}", Q) == {"a": 1}
    high_s = utils.encode_dss_signature(r, N - s)
    assert verify(f"{header_b64}.{payload_b64}.{ref._b64url_encode(high_s)}", Q) == {"a": 1}
    trailing = ref._b64url_encode(der + b"\0")
    with pytest.raises(ValueError, match=r"^Invalid DER sequence length$"):
        verify(f"{header_b64}.{payload_b64}.{trailing}", Q)
    other = utils.encode_dss_signature(r, s ^ 1)
    with pytest.raises(ValueError, match=r"^Invalid signature$"):
        verify(f"{header_b64}.{payload_b64}.{ref._b64url_encode(other)}", Q)


def test_verification_goes_through_the_modules_helpers(monkeypatch):
    utils = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.utils")
    seen = []
    original_verify, original_der = jwt_es256._verify_ecdsa_p256_sha256, jwt_es256._der_ecdsa_signature_to_raw64
    monkeypatch.setattr(jwt_es256, "_verify_ecdsa_p256_sha256",
                        lambda m, s, q: seen.append(("verify", m, s, q)) or original_verify(m, s, q))
    monkeypatch.setattr(jwt_es256, "_der_ecdsa_signature_to_raw64",
                        lambda s: seen.append(("der", s)) or original_der(s))
    token = sign({"a": 1}, D)
    header_b64, payload_b64, signature_b64 = segments(token)
    raw = unb64(signature_b64)
    key = [Q[0], Q[1]]
    verify(token, key)
    assert seen == [("verify", f"{header_b64}.{payload_b64}".encode("ascii"), raw, key)]
    seen.clear()
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    verify(f"{header_b64}.{payload_b64}.{ref._b64url_encode(der)}", Q)
    assert seen == [("der", der), ("verify", f"{header_b64}.{payload_b64}".encode("ascii"), raw, Q)]


@pytest.mark.parametrize("key", [(Q[0], Q[1] + 1), ref.point_mul(D + 1), (None, None)], ids=["off", "other", "inf"])
def test_wrong_key_is_invalid_signature(key):
    with pytest.raises(ValueError, match=r"^Invalid signature$"):
        verify(sign({"a": 1}, D), key)


def test_malformed_key_raises_from_the_verifier():
    with pytest.raises(ValueError):
        verify(sign({"a": 1}, D), (1, 2, 3))


def one_char_tampers(token, index):
    """Tokens with one character of segment `index` changed whose segment
    still decodes to a JSON object."""
    parts = segments(token)
    text = parts[index]
    for position in range(len(text) - 1):  # the last character may carry unused bits
        for replacement in "AQgwBCDE":
            if replacement == text[position]:
                continue
            changed = text[:position] + replacement + text[position + 1:]
            try:
                value = json.loads(unb64(changed))
            except ValueError:
                continue
            if isinstance(value, dict):
                yield ".".join(parts[:index] + [changed] + parts[index + 1:])


@pytest.mark.parametrize("index", [0, 1, 2], ids=["header", "payload", "signature"])
def test_one_character_tamper_is_an_invalid_signature_even_when_expired(clock, index):
    token = sign({"sub": "abcdef", "exp": NOW - 10_000, "aud": "x"}, D, {"kid": "kid-1"})
    if index == 2:
        sig = segments(token)[2]
        tampered = [".".join(segments(token)[:2] + [sig[:40] + ("A" if sig[40] != "A" else "B") + sig[41:]])]
    else:
        tampered = [t for t in one_char_tampers(token, index)
                    if json.loads(unb64(segments(t)[0])).get("alg") == "ES256"
                    and json.loads(unb64(segments(t)[0])).get("typ") in (None, "JWT")][:3]
    assert tampered
    for bad in tampered:
        with pytest.raises(ValueError, match=r"^Invalid signature$"):
            verify(bad, Q, expected_aud="y")
    with pytest.raises(ValueError, match=r"^Token expired$"):
        verify(token, Q)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_random_one_character_changes_match_the_model(data):
    token = sign({"sub": "abc", "n": 5}, D)
    position = data.draw(st.integers(0, len(token) - 1))
    replacement = data.draw(st.sampled_from("AEQgw_-.=é!"))
    changed = token[:position] + replacement + token[position + 1:]
    got, want = both(changed, Q)
    assert got == want


# ---------------------------------------------------------------------------
# Segments, Base64 and JSON


@pytest.mark.parametrize("token, message", [
    ("", "need more than 1 value to unpack"),
    ("abc", "need more than 1 value to unpack"),
    ("a.b", "need more than 2 values to unpack"),
    ("!!!.???", "need more than 2 values to unpack"),  # counted before anything is decoded
    ("a.b.c.d", "too many values to unpack (expected 3)"),
    ("....", "too many values to unpack (expected 3)"),
    ("." * 100000, "too many values to unpack (expected 3)"),
])
def test_segment_count(token, message):
    with pytest.raises(ValueError) as info:
        verify(token, Q)
    assert str(info.value) == message
    assert type(info.value) is ValueError


GOOD_HEADER, GOOD_PAYLOAD, GOOD_SIGNATURE = segments(sign({"a": 1}, D))


@pytest.mark.parametrize("token, error", [
    ("..", ValueError),  # empty header: not JSON
    (f"a.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", ValueError),  # 4m+1 characters
    (f"é.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", ValueError),  # not ASCII
    (f"eyJ.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", json.JSONDecodeError),
    (f"_w.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", UnicodeDecodeError),  # 0xff is not UTF-8
    (f"{GOOD_HEADER}.!.{GOOD_SIGNATURE}", ValueError),
    (f"{GOOD_HEADER}.{GOOD_PAYLOAD}.a", ValueError),
    (f"{GOOD_HEADER}.{GOOD_PAYLOAD}.", ValueError),  # empty signature: not DER
    (f"{GOOD_HEADER}.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}é", ValueError),
    (f"{ref.segment({'alg': 'none'})}.e30.a", ValueError),  # the Base64 error comes before the header check
    (f"bnVsbA.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", AttributeError),  # header "null"
    (f"{GOOD_HEADER}.{GOOD_PAYLOAD}.{GOOD_SIGNATURE}", None),
], ids=range(12))
def test_malformed_tokens_match_the_model(token, error):
    got, want = both(token, Q)
    assert got == want
    if error is None:
        assert got[0] == "ok"
    else:
        assert got[0] == "raise" and issubclass(got[1], error)


@pytest.mark.parametrize("payload, expected_iss, expected_aud", [
    ([], None, None),  # not an object, but nothing asks more of it
    ([], "me", None),  # .get at the issuer check
    (["exp"], None, None),
    (5, None, None),  # "in" on an int
    (None, None, None),
    ("xexpx", None, None),  # "exp" in a string is a substring test, then str indexing
    ("abc", None, "x"),
    ({"exp": [1]}, None, None),
], ids=repr)
def test_payloads_that_are_not_objects(clock, payload, expected_iss, expected_aud):
    got, want = both(token_with({"alg": "ES256"}, payload), Q, expected_iss, expected_aud)
    assert got == want


# ---------------------------------------------------------------------------
# Time claims


@pytest.mark.parametrize("claims, leeway, outcome", [
    ({}, 30, None),
    ({"exp": NOW - 30}, 30, None),
    ({"exp": NOW - 31}, 30, "Token expired"),
    ({"nbf": NOW + 30}, 30, None),
    ({"nbf": NOW + 31}, 30, "Token not yet valid"),
    ({"iat": NOW + 30}, 30, None),
    ({"iat": NOW + 31}, 30, "Invalid iat"),
    ({"iat": NOW - 10 ** 9}, 30, None),
    ({"exp": NOW}, 0, None),
    ({"exp": NOW - 1}, 0, "Token expired"),
    ({"nbf": NOW}, 0, None),
    ({"nbf": NOW + 1}, 0, "Token not yet valid"),
    ({"iat": NOW}, 0, None),
    ({"iat": NOW + 1}, 0, "Invalid iat"),
    ({"exp": NOW - 10}, 10.9, None),  # leeway converted with int()
    ({"exp": NOW - 11}, 10.9, "Token expired"),
    ({"exp": NOW + 5}, -5, None),
    ({"exp": NOW + 4}, -5, "Token expired"),
    ({"exp": str(NOW - 30)}, 30, None),  # integral strings
    ({"exp": " %d " % (NOW - 31)}, 30, "Token expired"),
    ({"exp": NOW - 30.1}, 30, "Token expired"),  # floats are truncated, not rounded
    ({"nbf": NOW + 30.9}, 30, None),
    ({"exp": True}, 30, "Token expired"),
    ({"exp": 10 ** 4000}, 30, None),
    ({"exp": NOW - 100, "nbf": NOW + 100}, 30, "Token expired"),  # exp before nbf
    ({"nbf": NOW + 100, "iat": NOW + 100}, 30, "Token not yet valid"),  # nbf before iat
    ({"exp": NOW - 100, "iss": "other"}, 30, "Token expired"),  # times before issuer
])
def test_time_claims(clock, claims, leeway, outcome):
    token = sign(dict(claims, iss=claims.get("iss", "me")), D)
    clock.now = NOW + 0.999  # whole seconds, truncated
    got, want = both(token, Q, "me", None, leeway)
    assert got == want
    if outcome is None:
        assert got[0] == "ok"
    else:
        assert got == ("raise", ValueError, outcome)
    assert clock.reads == 2  # once per verification (module, model)


@pytest.mark.parametrize("value", ["abc", "1.5", "", [1], None, {}, float("nan"), float("inf"), "١٢"], ids=repr)
@pytest.mark.parametrize("claim", ["exp", "nbf", "iat"])
def test_claims_are_converted_with_int(clock, claim, value):
    token = token_with({"alg": "ES256"}, {claim: value})
    try:
        int(value)
    except Exception as exc:  # noqa: BLE001
        expected = ("raise", type(exc), str(exc))
    else:
        expected = None
    got, want = both(token, Q)
    assert got == want
    if expected is not None:
        assert got == expected


def test_time_is_read_through_the_modules_time(monkeypatch):
    token = sign({"exp": NOW}, D)
    monkeypatch.setattr(jwt_es256, "time", types.SimpleNamespace(time=lambda: NOW + 31))
    with pytest.raises(ValueError, match=r"^Token expired$"):
        verify(token, Q)
    monkeypatch.setattr(jwt_es256, "time", types.SimpleNamespace(time=lambda: NOW + 30))
    assert verify(token, Q) == {"exp": NOW}


def test_time_claims_come_after_the_signature(clock):
    token = sign({"exp": NOW - 1000, "nbf": NOW + 1000}, D)
    h, p, s = segments(token)
    wrong = ref._sign_ecdsa_p256_sha256(b"other", D)
    with pytest.raises(ValueError, match=r"^Invalid signature$"):
        verify(f"{h}.{p}.{ref._b64url_encode(wrong)}", Q)


# ---------------------------------------------------------------------------
# Issuer and audience


@pytest.mark.parametrize("claims, expected_iss, expected_aud, outcome", [
    ({"iss": "me"}, "me", None, None),
    ({"iss": "you"}, "me", None, "Invalid issuer"),
    ({}, "me", None, "Invalid issuer"),
    ({"iss": None}, "me", None, "Invalid issuer"),
    ({"iss": 5}, 5, None, None),
    ({"iss": "anything", "aud": 5}, None, None, None),  # no expectations, no checks
    ({"aud": "x"}, None, "x", None),
    ({"aud": ["y", "x"]}, None, "x", None),
    ({"aud": ["x"]}, None, "x", None),
    ({"aud": "y"}, None, "x", "Invalid audience"),
    ({"aud": "xy"}, None, "x", "Invalid audience"),  # equality, not a substring
    ({"aud": ["xy"]}, None, "x", "Invalid audience"),
    ({"aud": []}, None, "x", "Invalid audience"),
    ({}, None, "x", "Invalid audience"),
    ({"aud": 5}, None, "x", "Invalid audience"),
    ({"aud": None}, None, "x", "Invalid audience"),
    ({"aud": {"x": 1}}, None, "x", "Invalid audience"),  # an object is neither a string nor a list
    ({"aud": [["x"]]}, None, ["x"], None),
    ({"iss": "you", "aud": "y"}, "me", "x", "Invalid issuer"),  # issuer first
    ({"iss": "me", "aud": "y"}, "me", "x", "Invalid audience"),
])
def test_issuer_and_audience(claims, expected_iss, expected_aud, outcome):
    token = sign(claims, D)
    got, want = both(token, Q, expected_iss, expected_aud)
    assert got == want
    assert got == (("ok", claims) if outcome is None else ("raise", ValueError, outcome))


def test_audience_by_keyword():
    token = sign({"aud": ["a", "b"], "iss": "i"}, D)
    assert verify(token=token, public_key_xy=Q, expected_aud="b", expected_iss="i", leeway_seconds=0)["iss"] == "i"


# ---------------------------------------------------------------------------
# Large input


def test_one_megabyte_payload_in_bounded_time():
    payload = {"blob": "x" * 1_000_000, "list": list(range(20000))}
    started = time.perf_counter()
    token = sign(payload, D)
    assert verify(token, Q) == payload
    assert time.perf_counter() - started < 10


def test_large_garbage_fails_cleanly_and_fast():
    started = time.perf_counter()
    with pytest.raises(ValueError):
        verify("A" * 3_000_001 + ".e30.AAAA", Q)
    with pytest.raises(ValueError):
        verify(f"{GOOD_HEADER}.{GOOD_PAYLOAD}." + "A" * 3_000_000, Q)  # 2.25 MB signature: not DER
    huge_claim = ref._b64url_encode(b'{"exp": ' + b"9" * 5000 + b"}")
    got, want = both(f"{GOOD_HEADER}.{huge_claim}.{GOOD_SIGNATURE}", Q)
    assert got == want and got[:2] == ("raise", ValueError)  # the integer-length limit of int()
    assert time.perf_counter() - started < 10


# ---------------------------------------------------------------------------
# PyJWT interop


@pytest.fixture(scope="module")
def keypair():
    private, public = jwt_es256.generate_es256_keypair_jwk("interop")
    return private, public


def test_our_tokens_verify_with_pyjwt(keypair):
    pytest.importorskip("cryptography")  # PyJWT signs and verifies ES256 with it
    private, public = keypair
    claims = {"sub": "user", "iss": "me", "aud": ["x", "y"], "exp": int(time.time()) + 600,
              "nbf": int(time.time()) - 5, "iat": int(time.time()), "name": "Zoë"}
    for header in (None, {"kid": "interop"}):
        token = jwt_es256.sign_es256_jwt_with_jwk(claims, private, header)
        key = pyjwt.PyJWK(public).key
        decoded = pyjwt.decode(token, key, algorithms=["ES256"], audience="x", issuer="me")
        assert decoded == claims
        assert pyjwt.get_unverified_header(token) == dict({"alg": "ES256", "typ": "JWT"}, **(header or {}))
    tampered = token[:-10] + ("A" if token[-10] != "A" else "B") + token[-9:]
    with pytest.raises(pyjwt.InvalidSignatureError):
        pyjwt.decode(tampered, pyjwt.PyJWK(public).key, algorithms=["ES256"], audience="x", issuer="me")


def test_pyjwt_tokens_verify_here(keypair):
    pytest.importorskip("cryptography")  # PyJWT signs and verifies ES256 with it
    private, public = keypair
    signing_key = pyjwt.PyJWK(private).key
    now = int(time.time())
    rng = random.Random(7)
    for i in range(8):
        claims = {"sub": "u%d" % i, "iss": "me", "aud": "x", "exp": now + 600, "iat": now, "r": rng.random()}
        token = pyjwt.encode(claims, signing_key, algorithm="ES256", headers={"kid": "interop"} if i % 2 else None)
        assert verify(token, jwt_es256.public_key_xy_from_jwk(public), "me", "x") == claims
    expired = pyjwt.encode({"exp": now - 100}, signing_key, algorithm="ES256")
    with pytest.raises(ValueError, match=r"^Token expired$"):
        verify(expired, jwt_es256.public_key_xy_from_jwk(public))
    other_private, other_public = jwt_es256.generate_es256_keypair_jwk()
    foreign = pyjwt.encode({"a": 1}, pyjwt.PyJWK(other_private).key, algorithm="ES256")
    with pytest.raises(ValueError, match=r"^Invalid signature$"):
        verify(foreign, jwt_es256.public_key_xy_from_jwk(public))
