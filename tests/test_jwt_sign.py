"""Deterministic ECDSA signing (RFC 6979, low-s), key pairs and JWKs of
quarlopro.jwt_es256: published vectors, interop with the `cryptography`
package, every message, the error paths that only replaced helpers reach,
and differential tests against reference/jwt_model.py."""

import base64
import hashlib
import hmac
import random
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference import jwt_model as ref
from reference import outcome
import quarlopro.jwt_es256 as jwt_es256

P, N = ref._P256_P, ref._P256_N
G = (ref._P256_GX, ref._P256_GY)
sign = jwt_es256._sign_ecdsa_p256_sha256
rfc6979_k = jwt_es256._rfc6979_k_p256_sha256

# RFC 6979, appendix A.2.5: ECDSA, 256 bits (prime field), SHA-256.
RFC_D = 0xC9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721
RFC_UX = 0x60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6
RFC_UY = 0x7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299
RFC_VECTORS = {
    b"sample": (0xA6E3C57DD01ABE90086538398355DD4C3B17AA873382B0F24D6129493D8AAD60,
                0xEFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716,
                0xF7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8),
    b"test": (0xD16B6AE827F17175E040871A1C7EC3500192C4C92677336EC2537ACAEE0008E0,
              0xF1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367,
              0x019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083),
}


def split(signature):
    return int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big")


def crypto_verifies(d, message, signature):
    exceptions = pytest.importorskip("cryptography.exceptions")
    hashes = pytest.importorskip("cryptography.hazmat.primitives.hashes")
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    utils = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.utils")
    r, s = split(signature)
    public = ec.derive_private_key(d, ec.SECP256R1()).public_key()
    try:
        public.verify(utils.encode_dss_signature(r, s), message, ec.ECDSA(hashes.SHA256()))
        return True
    except exceptions.InvalidSignature:
        return False


@pytest.fixture(params=["as loaded", "exact path"])
def path(request, monkeypatch):
    """The module as loaded, and with the exact path forced by an equal but
    distinct _INF."""
    if request.param == "exact path":
        monkeypatch.setattr(jwt_es256, "_INF", (None, None))
    return request.param


# ---------------------------------------------------------------------------
# RFC 6979 vectors


def test_rfc6979_published_values_are_consistent():
    # Guards the typed-in values: the key pair, and each (k, r, s) satisfy
    # the ECDSA equations with independent arithmetic.
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    numbers = ec.derive_private_key(RFC_D, ec.SECP256R1()).public_key().public_numbers()
    assert (numbers.x, numbers.y) == (RFC_UX, RFC_UY)
    for message, (k, r, s) in RFC_VECTORS.items():
        e = int.from_bytes(hashlib.sha256(message).digest(), "big")
        assert ref.point_mul(k)[0] % N == r
        assert s == pow(k, -1, N) * (e + r * RFC_D) % N


@pytest.mark.parametrize("message", sorted(RFC_VECTORS))
def test_rfc6979_vectors(path, message):
    k, r, s = RFC_VECTORS[message]
    assert jwt_es256._scalar_mult(RFC_D, G) == (RFC_UX, RFC_UY)
    assert rfc6979_k(RFC_D, hashlib.sha256(message).digest()) == k
    signature = sign(message, RFC_D)
    assert type(signature) is bytes and len(signature) == 64
    assert split(signature) == (r, s if s <= N // 2 else N - s)


def test_rfc6979_vectors_cover_both_s_forms():
    assert RFC_VECTORS[b"sample"][2] > N // 2 >= RFC_VECTORS[b"test"][2]


# ---------------------------------------------------------------------------
# Properties of every signature

RNG = random.Random(6979)
KEYS = [1, 2, N - 1, N // 2, RFC_D] + [RNG.randrange(1, N) for _ in range(5)]
MESSAGES = [b"", b"a", b"sample", bytes(range(256)), b"x" * 10000]


@pytest.mark.parametrize("d", KEYS, ids=[f"d{i}" for i in range(len(KEYS))])
def test_signatures_are_deterministic_low_s_and_verify(path, d):
    q = ref.point_mul(d)
    for message in (MESSAGES if path == "as loaded" else MESSAGES[1:3]):
        signature = sign(message, d)
        assert sign(message, d) == signature
        assert sign(message, d, True) == signature
        r, s = split(signature)
        assert 1 <= r < N and 1 <= s <= N // 2
        assert jwt_es256._verify_ecdsa_p256_sha256(message, signature, q) is True
        assert crypto_verifies(d, message, signature)


def _cryptography_deterministic(d, message):
    exceptions = pytest.importorskip("cryptography.exceptions")
    hashes = pytest.importorskip("cryptography.hazmat.primitives.hashes")
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    utils = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.utils")
    try:
        algorithm = ec.ECDSA(hashes.SHA256(), deterministic_signing=True)
        der = ec.derive_private_key(d, ec.SECP256R1()).sign(message, algorithm)
    except (TypeError, exceptions.UnsupportedAlgorithm):
        return None
    return utils.decode_dss_signature(der)


@pytest.fixture(scope="module")
def deterministic_peer():
    if _cryptography_deterministic(1, b"") is None:
        pytest.skip("this cryptography/OpenSSL build has no deterministic ECDSA")


@settings(max_examples=40, deadline=None)
@given(st.integers(1, N - 1), st.binary(max_size=64))
def test_same_nonce_as_cryptographys_rfc6979_signer(deterministic_peer, d, message):
    r, s = _cryptography_deterministic(d, message)
    assert split(sign(message, d)) == (r, min(s, N - s))


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(1, N - 1), st.binary(max_size=40))
def test_signing_matches_the_model(d, message):
    assert sign(message, d) == ref._sign_ecdsa_p256_sha256(message, d)


@settings(max_examples=200, deadline=None)
@given(st.one_of(st.integers(0, 2 ** 256 - 1), st.integers(-(2 ** 300), 2 ** 300)),
       st.one_of(st.binary(min_size=32, max_size=32), st.binary(max_size=100)))
def test_nonce_matches_the_model(d, message_hash):
    assert outcome(rfc6979_k, d, message_hash) == outcome(ref._rfc6979_k_p256_sha256, d, message_hash)


@pytest.mark.parametrize("d, error", [(-1, OverflowError), (2 ** 256, OverflowError)])
def test_nonce_generator_checks_no_range_itself(d, error):
    with pytest.raises(error):
        rfc6979_k(d, bytes(32))
    # 0 and n are not keys, but the generator still answers
    assert 1 <= rfc6979_k(0, bytes(32)) < N
    assert rfc6979_k(N, bytes(32)) == ref._rfc6979_k_p256_sha256(N, bytes(32))


@pytest.mark.parametrize("bad_call", [5, 8], ids=["candidate n-or-more", "two retries"])
def test_nonce_retry_loop(monkeypatch, bad_call):
    # The 5th HMAC is the first candidate. A fake hmac makes it >= n (and,
    # in the second case, the next candidate 0 too): the generator must
    # step k and v and draw again, exactly as the model does.
    def fake_hmac_module(out):
        count = {"n": 0}

        def new(key, message, digestmod):
            count["n"] += 1
            real = hmac.new(key, message, digestmod)
            if count["n"] == 5:
                return types.SimpleNamespace(digest=lambda: b"\xff" * 32)
            if bad_call == 8 and count["n"] == 8:
                return types.SimpleNamespace(digest=lambda: b"\x00" * 32)
            return real

        out.append(count)
        return types.SimpleNamespace(new=new)

    counts = []
    monkeypatch.setattr(jwt_es256, "hmac", fake_hmac_module(counts))
    monkeypatch.setattr(ref, "hmac", fake_hmac_module(counts))
    digest = hashlib.sha256(b"m").digest()
    got = rfc6979_k(RFC_D, digest)
    assert got == ref._rfc6979_k_p256_sha256(RFC_D, digest)
    assert counts[0]["n"] == counts[1]["n"] == (8 if bad_call == 5 else 11)
    monkeypatch.undo()
    assert got != rfc6979_k(RFC_D, digest)


# ---------------------------------------------------------------------------
# Messages


@pytest.mark.parametrize("d", [0, N, N + 1, -1, 2 ** 256 - 1, 2 ** 256, -(2 ** 300), float(2 ** 256), 0.5])
def test_invalid_private_key(path, d):
    with pytest.raises(ValueError, match=r"^Invalid private key$"):
        sign(b"m", d)
    # the key is checked before the nonce question
    with pytest.raises(ValueError, match=r"^Invalid private key$"):
        sign(b"m", d, deterministic=False)
    # a token's signer checks it after the claims are encoded
    with pytest.raises(ValueError, match=r"^Invalid private key$"):
        jwt_es256.sign_es256_jwt({"a": 1}, d, {"kid": "k"} if path == "exact path" else None)
    with pytest.raises(TypeError, match="not JSON serializable"):
        jwt_es256.sign_es256_jwt({"a": object()}, d)


def hashlib_spy(calls):
    def sha256(data=None):
        calls.append(data)
        return hashlib.sha256() if data is None else hashlib.sha256(data)

    return types.SimpleNamespace(sha256=sha256)


def test_non_deterministic_signing_hashes_first_then_refuses(monkeypatch):
    calls = []

    monkeypatch.setattr(jwt_es256, "hashlib", hashlib_spy(calls))
    with pytest.raises(ValueError, match=r"^Non-deterministic signing is not supported$"):
        sign(b"m", 5, deterministic=False)
    assert calls == [b"m"]


@pytest.mark.parametrize("exact", [False, True], ids=["as loaded", "exact path"])
def test_signer_hashes_twice_through_the_modules_hashlib(monkeypatch, exact):
    calls = []

    if exact:
        monkeypatch.setattr(jwt_es256, "_INF", (None, None))
    monkeypatch.setattr(jwt_es256, "hashlib", hashlib_spy(calls))
    signature = sign(b"hello", RFC_D)
    # Two hashes of the message; HMAC-SHA-256 gets hashlib.sha256 as its
    # digest constructor and calls it without data (those are not counted).
    assert [data for data in calls if data is not None] == [b"hello", b"hello"]
    assert None in calls  # the HMACs went through the module's hashlib too
    monkeypatch.undo()
    assert signature == sign(b"hello", RFC_D)


def test_signer_uses_the_modules_helpers(path, monkeypatch):
    seen = {"mult": [], "inv": [], "nonce": []}
    original_mult, original_inv, original_nonce = jwt_es256._scalar_mult, jwt_es256._mod_inv, rfc6979_k

    def mult(k, point):
        seen["mult"].append((k, point))
        return original_mult(k, point)

    def inv(value, modulus):
        seen["inv"].append((value, modulus))
        return original_inv(value, modulus)

    def nonce(d, message_hash):
        seen["nonce"].append((d, message_hash))
        return original_nonce(d, message_hash)

    monkeypatch.setattr(jwt_es256, "_scalar_mult", mult)
    monkeypatch.setattr(jwt_es256, "_mod_inv", inv)
    monkeypatch.setattr(jwt_es256, "_rfc6979_k_p256_sha256", nonce)
    k = RFC_VECTORS[b"sample"][0]
    signature = sign(b"sample", RFC_D)
    assert seen["nonce"] == [(RFC_D, hashlib.sha256(b"sample").digest())]
    assert seen["mult"] == [(k, G)]
    assert (k, N) in seen["inv"]
    assert split(signature)[0] == RFC_VECTORS[b"sample"][1]


@pytest.mark.parametrize("k", [1, 2, 7, N - 1, N + 1, 2 ** 256 - 1, 2 ** 300, N // 2])
def test_replaced_nonce_is_used(path, monkeypatch, k):
    for module in (jwt_es256, ref):
        monkeypatch.setattr(module, "_rfc6979_k_p256_sha256", lambda d, h, k=k: k)
    got = outcome(sign, b"m", RFC_D)
    assert got == outcome(ref._sign_ecdsa_p256_sha256, b"m", RFC_D)
    assert got[0] == "ok" and split(got[1])[0] == ref.point_mul(k)[0] % N


@pytest.mark.parametrize("k", [0, N, 2 * N])
def test_nonce_at_infinity_fails(path, monkeypatch, k):
    monkeypatch.setattr(jwt_es256, "_rfc6979_k_p256_sha256", lambda d, h: k)
    with pytest.raises(ValueError, match=r"^Failed to generate signature point$"):
        sign(b"m", RFC_D)


@pytest.mark.parametrize("point", [(None, None), (None, 5), [None, 1]], ids=repr)
def test_signature_point_at_infinity_fails(monkeypatch, point):
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: point)
    with pytest.raises(ValueError, match=r"^Failed to generate signature point$"):
        sign(b"m", RFC_D)


@pytest.mark.parametrize("x", [N, 0, 2 * N])
def test_r_zero_fails(monkeypatch, x):
    # No honest nonce gives x = 0 (mod n); a replaced multiplication does.
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: (x, 1))
    with pytest.raises(ValueError, match=r"^Invalid signature nonce \(r == 0\)$"):
        sign(b"m", RFC_D)


def test_s_zero_fails(monkeypatch):
    # s = k^-1 (e + r d) is 0 when r = -e / d (mod n).
    e = int.from_bytes(hashlib.sha256(b"m").digest(), "big")
    r = (-e * pow(RFC_D, -1, N)) % N
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: (r, 1))
    with pytest.raises(ValueError, match=r"^Invalid signature nonce \(s == 0\)$"):
        sign(b"m", RFC_D)
    # the same with r given as an unreduced x
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: (r + N, 1))
    with pytest.raises(ValueError, match=r"^Invalid signature nonce \(s == 0\)$"):
        sign(b"m", RFC_D)


def test_replaced_signature_point_gives_the_models_signature(monkeypatch):
    for module in (jwt_es256, ref):
        monkeypatch.setattr(module, "_scalar_mult", lambda k, pt: (12345, 678))
    assert sign(b"m", RFC_D) == ref._sign_ecdsa_p256_sha256(b"m", RFC_D)
    assert split(sign(b"m", RFC_D))[0] == 12345


# ---------------------------------------------------------------------------
# Key pairs


class SeededSecrets:
    """Stands in for the secrets module: randbelow from a seeded generator,
    with a log of its calls."""

    def __init__(self, seed, first=()):
        self.random = random.Random(seed)
        self.first = list(first)
        self.calls = []

    def randbelow(self, bound):
        self.calls.append(bound)
        if self.first:
            return self.first.pop(0)
        return self.random.randrange(bound)


def test_generated_keypair(path):
    d, (qx, qy) = jwt_es256.generate_es256_keypair()
    assert type(d) is int and 1 <= d < N
    assert (qx, qy) == ref.point_mul(d)
    assert jwt_es256.generate_es256_keypair()[0] != d


@pytest.mark.parametrize("first", [[0], [0, 0, 0]], ids=["one zero", "three zeros"])
def test_keygen_redraws_zero(path, monkeypatch, first):
    fake = SeededSecrets(1, first=first + [5])
    monkeypatch.setattr(jwt_es256, "secrets", fake)
    assert jwt_es256.generate_es256_keypair() == (5, ref.point_mul(5))
    assert fake.calls == [N] * (len(first) + 1)


def test_keygen_takes_the_bound_from_the_module(monkeypatch):
    fake = SeededSecrets(1, first=[3])
    monkeypatch.setattr(jwt_es256, "secrets", fake)
    monkeypatch.setattr(jwt_es256, "_P256_N", 1000)
    assert jwt_es256.generate_es256_keypair()[0] == 3
    assert fake.calls == [1000]


@pytest.mark.parametrize("result", [(None, None), (5, None), (None, 5)], ids=repr)
def test_keygen_failure(monkeypatch, result):
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: result)
    with pytest.raises(ValueError, match=r"^Failed to generate keypair$"):
        jwt_es256.generate_es256_keypair()


def test_keygen_uses_the_modules_scalar_mult(monkeypatch):
    seen = []
    original = jwt_es256._scalar_mult
    monkeypatch.setattr(jwt_es256, "secrets", SeededSecrets(7))
    monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, pt: seen.append((k, pt)) or original(k, pt))
    d, q = jwt_es256.generate_es256_keypair()
    assert seen == [(d, G)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_keygen_matches_the_model_with_the_same_random_source(path, monkeypatch, seed):
    monkeypatch.setattr(jwt_es256, "secrets", SeededSecrets(seed, first=[0]))
    monkeypatch.setattr(ref, "secrets", SeededSecrets(seed, first=[0]))
    assert jwt_es256.generate_es256_keypair_jwk("kid-%d" % seed) == ref.generate_es256_keypair_jwk("kid-%d" % seed)


# ---------------------------------------------------------------------------
# JWKs


def test_jwk_members_and_order():
    private, public = jwt_es256.generate_es256_keypair_jwk("k1")
    assert list(private) == ["kty", "crv", "x", "y", "d", "kid"]
    assert list(public) == ["kty", "crv", "x", "y", "kid"]
    assert private["kid"] == public["kid"] == "k1"
    assert private["kty"] == "EC" and private["crv"] == "P-256"
    assert {k: v for k, v in private.items() if k != "d"} == public
    for member in ("x", "y", "d"):
        assert type(private[member]) is str and len(private[member]) == 43
    d = jwt_es256.private_key_d_from_jwk(private)
    assert jwt_es256.public_key_xy_from_jwk(public) == ref.point_mul(d)
    assert jwt_es256.public_key_xy_from_jwk(private) == jwt_es256.public_key_xy_from_jwk(public)


@pytest.mark.parametrize("kid, present", [(None, False), ("", True), ("k" * 1000, True), ("ключ", True)])
def test_jwk_kid_rules(kid, present):
    private, public = (jwt_es256.generate_es256_keypair_jwk(kid) if kid is not None
                       else jwt_es256.generate_es256_keypair_jwk())
    assert ("kid" in private, "kid" in public) == (present, present)
    if present:
        assert private["kid"] is kid and public["kid"] is kid
        assert list(private)[-1] == list(public)[-1] == "kid"


def b64(value):
    return base64.urlsafe_b64encode(value.to_bytes(32, "big")).decode().rstrip("=")


def test_jwk_of_known_small_key(monkeypatch):
    monkeypatch.setattr(jwt_es256, "generate_es256_keypair", lambda: (1, G))
    private, public = jwt_es256.generate_es256_keypair_jwk()
    assert private == {"kty": "EC", "crv": "P-256", "x": b64(G[0]), "y": b64(G[1]), "d": "A" * 42 + "E"}
    assert public == {"kty": "EC", "crv": "P-256", "x": b64(G[0]), "y": b64(G[1])}


def test_jwk_uses_the_modules_int_to_b64url_32(monkeypatch):
    monkeypatch.setattr(jwt_es256, "generate_es256_keypair", lambda: (3, (1, 2)))
    monkeypatch.setattr(jwt_es256, "_int_to_b64url_32", lambda value: "v%d" % value)
    assert jwt_es256.generate_es256_keypair_jwk("k") == (
        {"kty": "EC", "crv": "P-256", "x": "v1", "y": "v2", "d": "v3", "kid": "k"},
        {"kty": "EC", "crv": "P-256", "x": "v1", "y": "v2", "kid": "k"})


@pytest.mark.parametrize("value, text", [
    (0, "A" * 43), (1, "A" * 42 + "E"), (2 ** 256 - 1, "_" * 42 + "8"), (RFC_UX, b64(RFC_UX)), (P, b64(P)),
])
def test_int_to_b64url_32(value, text):
    assert jwt_es256._int_to_b64url_32(value) == text
    assert ref._b64url_decode(text) == value.to_bytes(32, "big")


@pytest.mark.parametrize("value", [2 ** 256, -1, -(2 ** 300)])
def test_int_to_b64url_32_out_of_range(value):
    got = outcome(jwt_es256._int_to_b64url_32, value)
    assert got[:2] == ("raise", OverflowError)
    assert got == outcome(ref._int_to_b64url_32, value)


def jwk(**members):
    return {"kty": "EC", "crv": "P-256", **members}


class NeRaises:
    def __ne__(self, other):
        raise ArithmeticError("kty compared first")

    __eq__ = __ne__
    __hash__ = object.__hash__


@pytest.mark.parametrize("reader", ["public_key_xy_from_jwk", "private_key_d_from_jwk"])
@pytest.mark.parametrize("key, expected", [
    ({"kty": "RSA", "crv": "P-256", "x": "AQ", "y": "AQ", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({"kty": "EC", "crv": "P-384", "x": "AQ", "y": "AQ", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({"crv": "P-256", "x": "AQ", "y": "AQ", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({"kty": "EC", "x": "AQ", "y": "AQ", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({"kty": "ec", "crv": "p-256", "x": "AQ", "y": "AQ", "d": "AQ"}, "Unsupported JWK key type or curve"),
    ({}, "Unsupported JWK key type or curve"),
    ({"kty": NeRaises(), "crv": "P-384"}, ArithmeticError),
    ({"kty": "EC", "crv": "P-256", "x": 5, "y": "AQ", "d": 5}, TypeError),
    ({"kty": "EC", "crv": "P-256", "x": "A", "y": "AQ", "d": "A"}, ValueError),  # base64 error
], ids=lambda v: repr(v)[:40])
def test_jwk_reader_errors(reader, key, expected):
    got = outcome(getattr(jwt_es256, reader), key)
    assert got == outcome(getattr(ref, reader), key)
    if isinstance(expected, str):
        assert got == ("raise", ValueError, expected)
    else:
        assert got[0] == "raise" and issubclass(got[1], expected)


@pytest.mark.parametrize("key, message", [
    (jwk(x="AQ"), "JWK must contain x and y"),
    (jwk(y="AQ"), "JWK must contain x and y"),
    (jwk(d="AQ"), "JWK must contain x and y"),
])
def test_public_jwk_needs_x_and_y(key, message):
    with pytest.raises(ValueError) as info:
        jwt_es256.public_key_xy_from_jwk(key)
    assert str(info.value) == message


@pytest.mark.parametrize("key, result", [
    (jwk(x="AQ", y="Ag"), (1, 2)),
    (jwk(x="", y="AAAAAQ"), (0, 1)),  # any length, big-endian
    (jwk(x="AQ", y="AQ", kid="k", use="sig", d=5), (1, 1)),  # other members ignored
    (jwk(x=ref._int_to_b64url_32(P + 5), y="AQ"), (P + 5, 1)),  # no curve check here
    (jwk(x="_" * 60, y="AQ"), (2 ** 360 - 1, 1)),
])
def test_public_jwk_reading(key, result):
    assert jwt_es256.public_key_xy_from_jwk(key) == result
    assert type(jwt_es256.public_key_xy_from_jwk(key)) is tuple


@pytest.mark.parametrize("key, expected", [
    (jwk(d="AA"), "Invalid private key"),  # d = 0
    (jwk(d=""), "Invalid private key"),
    (jwk(d=ref._int_to_b64url_32(N)), "Invalid private key"),
    (jwk(d="AQ" + "A" * 44), "Invalid private key"),  # too long: >= n
    (jwk(x="AQ"), "JWK must contain private key parameter d"),
    (jwk(d="AQ"), 1),
    (jwk(d="AAAAAAAB"), 1),  # leading zero bytes
    (jwk(d=ref._int_to_b64url_32(N - 1), x="wrong", y=5), N - 1),  # x and y are not looked at
])
def test_private_jwk_reading(key, expected):
    got = outcome(jwt_es256.private_key_d_from_jwk, key)
    assert got == outcome(ref.private_key_d_from_jwk, key)
    assert got == (("raise", ValueError, expected) if isinstance(expected, str) else ("ok", expected))


def test_jwk_readers_use_the_modules_b64url_decode(monkeypatch):
    monkeypatch.setattr(jwt_es256, "_b64url_decode", lambda text: {"one": b"\x01", "two": b"\x02"}[text])
    assert jwt_es256.public_key_xy_from_jwk(jwk(x="one", y="two")) == (1, 2)
    assert jwt_es256.private_key_d_from_jwk(jwk(d="two")) == 2


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(st.sampled_from(["kty", "crv", "x", "y", "d", "kid"]),
                       st.one_of(st.sampled_from(["EC", "P-256", "AQ", "", "A", "__8", "é"]), st.integers(0, 3)),
                       max_size=6))
def test_jwk_readers_match_the_model(key):
    for name in ("public_key_xy_from_jwk", "private_key_d_from_jwk"):
        assert outcome(getattr(jwt_es256, name), key) == outcome(getattr(ref, name), key)
