"""Base64url helpers, the curve constants and affine P-256 arithmetic of
quarlopro.jwt_es256, against the published curve values and the plain-Python
model in reference/jwt_model.py."""

import base64
import binascii

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference import jwt_model as ref
from reference import outcome
import quarlopro.jwt_es256 as jwt_es256

# NIST P-256 (secp256r1) domain parameters as published (FIPS 186-4 D.1.2.3).
P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
GX = 0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296
GY = 0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5
G = (GX, GY)
# 2G, as published in many test-vector sets for P-256 (k = 2).
G2 = (0x7CF27B188D034F7E8A52380304B51AC3C08969E277F21B35A60B48FC47669978,
      0x07775510DB8ED040293D9AC69F7430DBBA7DADE63CE982299E04B79D227873D1)

FAST = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
SLOW = settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def same_outcome(fn_name, *args):
    got = outcome(getattr(jwt_es256, fn_name), *args)
    want = outcome(getattr(ref, fn_name), *args)
    assert got == want
    return got


class IntSub(int):
    pass


# ---------------------------------------------------------------------------
# Constants


def test_curve_constants():
    assert (jwt_es256._P256_P, jwt_es256._P256_B, jwt_es256._P256_N, jwt_es256._P256_GX, jwt_es256._P256_GY) == (
        P, B, N, GX, GY)
    assert jwt_es256._P256_A == P - 3
    for name in ("_P256_P", "_P256_A", "_P256_B", "_P256_N", "_P256_GX", "_P256_GY"):
        assert type(getattr(jwt_es256, name)) is int
    assert type(jwt_es256._INF) is tuple and jwt_es256._INF == (None, None)
    # the base point satisfies the curve equation with these values
    assert (GY * GY - (GX ** 3 + (P - 3) * GX + B)) % P == 0


# ---------------------------------------------------------------------------
# Base64url


@pytest.mark.parametrize("text, data", [
    ("", b""), ("YQ", b"a"), ("YQ==", b"a"), ("YQ=", b"a"), ("YWI", b"ab"), ("YWJj", b"abc"),
    ("-_8", b"\xfb\xff"), ("+/8", b"\xfb\xff"),  # the non-validating decoder also takes the standard alphabet
    ("AAAA", b"\0\0\0"),
])
def test_b64url_decode(text, data):
    assert jwt_es256._b64url_decode(text) == data


@pytest.mark.parametrize("text, error", [
    ("a", binascii.Error), ("abcde", binascii.Error), ("Y Q", binascii.Error), ("é", ValueError),
    ("YQ\u00a0", ValueError),
])
def test_b64url_decode_errors_are_the_standard_librarys(text, error):
    kind, exc_type, message = same_outcome("_b64url_decode", text)
    assert kind == "raise" and issubclass(exc_type, error)
    with pytest.raises(error) as expected:
        base64.urlsafe_b64decode(text + "=" * ((-len(text)) % 4))
    assert message == str(expected.value)


def test_b64url_decode_pads_and_calls_the_modules_base64(monkeypatch):
    seen = []

    class Spy:
        @staticmethod
        def urlsafe_b64decode(text):
            seen.append(text)
            return b"spy"

    monkeypatch.setattr(jwt_es256, "base64", Spy)
    for text in ("", "Y", "YQ", "YWI", "YWJj", "YQ=", "YQ=="):
        assert jwt_es256._b64url_decode(text) == b"spy"
    assert seen == ["", "Y===", "YQ==", "YWI=", "YWJj", "YQ==", "YQ=="]


def test_b64url_encode_calls_the_modules_base64_and_strips_all_padding(monkeypatch):
    class Spy:
        @staticmethod
        def urlsafe_b64encode(data):
            return b"QUJD==" + data + b"==="

    monkeypatch.setattr(jwt_es256, "base64", Spy)
    assert jwt_es256._b64url_encode(b"x") == "QUJD==x"


@pytest.mark.parametrize("data, text", [(b"", ""), (b"a", "YQ"), (b"ab", "YWI"), (b"abc", "YWJj"),
                                        (b"\xfb\xff", "-_8"), (b"\xff\xfe\xfd", "__79")])
def test_b64url_encode(data, text):
    assert jwt_es256._b64url_encode(data) == text
    assert type(jwt_es256._b64url_encode(data)) is str


@FAST
@given(st.binary(max_size=100))
def test_b64url_round_trip(data):
    text = jwt_es256._b64url_encode(data)
    assert "=" not in text and "+" not in text and "/" not in text
    assert text == ref._b64url_encode(data)
    assert jwt_es256._b64url_decode(text) == data


@FAST
@given(st.text(alphabet="AQYWJjzZ09-_+/= .!\u00e9\n", max_size=12))
def test_b64url_decode_matches_the_model(text):
    same_outcome("_b64url_decode", text)


# ---------------------------------------------------------------------------
# Modular inverse: pow(value, -1, modulus), its errors unchanged


@pytest.mark.parametrize("value, modulus", [
    (3, 7), (GY, P), (N - 1, N), (-3, N), (5, 1), (0, N), (N, N), (2, 4), (3, 0), (3, -7), (2 ** 300 + 1, N),
])
def test_mod_inv_is_pow(value, modulus):
    got = outcome(jwt_es256._mod_inv, value, modulus)
    want = outcome(pow, value, -1, modulus)
    assert got == want
    if value == 0:
        assert got[:2] == ("raise", ValueError)


# ---------------------------------------------------------------------------
# Points on the curve

ON_CURVE_CASES = [
    (jwt_es256._INF, True),
    (G, True),
    ([GX, GY], True),  # any two-item iterable is unpacked
    ((GX, P - GY), True),  # -G
    (G2, True),
    ((IntSub(GX), IntSub(GY)), True),
    ((GX, GY + 1), False),
    ((GX + P, GY), False),  # satisfies the equation modulo p, but unreduced
    ((GX, GY + P), False),
    ((GX - P, GY), False),  # negative x
    ((GX, GY - P), False),  # negative y
    ((GX + 2 ** 256, GY), False),
    ((0, 0), False),
    ((True, False), False),
    ((-1, None), False),  # the y test never runs when x fails
    ((P, "y"), False),
]


@pytest.mark.parametrize("point, expected", ON_CURVE_CASES, ids=repr)
def test_is_on_curve(point, expected):
    assert jwt_es256._is_on_curve(point) is expected
    assert ref._is_on_curve(point) is expected


def test_unreduced_point_satisfies_the_equation_modulo_p():
    x, y = GX + P, GY
    assert (y * y - (x ** 3 + (P - 3) * x + B)) % P == 0
    assert jwt_es256._is_on_curve((x, y)) is False


@pytest.mark.parametrize("point, error", [
    ((GX, None), TypeError), ((None, GY), TypeError), ([None, None], TypeError),  # a list is not _INF
    ((GX,), ValueError), ((1, 2, 3), ValueError), ((), ValueError), (5, TypeError), (None, TypeError),
    (("a", "b"), TypeError),
], ids=repr)
def test_is_on_curve_errors(point, error):
    kind, exc_type, _ = same_outcome("_is_on_curve", point)
    assert kind == "raise" and exc_type is error


def test_is_on_curve_reads_the_constants_at_call_time(monkeypatch):
    monkeypatch.setattr(jwt_es256, "_P256_B", B + 1)
    assert jwt_es256._is_on_curve(G) is False
    monkeypatch.setattr(jwt_es256, "_P256_B", B)
    monkeypatch.setattr(jwt_es256, "_P256_P", GX)  # x is no longer below p
    assert jwt_es256._is_on_curve(G) is False
    monkeypatch.setattr(jwt_es256, "_P256_P", P)
    monkeypatch.setattr(jwt_es256, "_INF", G)  # "infinity" is now G itself
    assert jwt_es256._is_on_curve(G) is True
    assert outcome(jwt_es256._is_on_curve, (None, None))[:2] == ("raise", TypeError)


# ---------------------------------------------------------------------------
# Point addition


def test_point_add_with_infinity_returns_the_other_operand_itself():
    junk = object()  # never examined
    assert jwt_es256._point_add(jwt_es256._INF, junk) is junk
    assert jwt_es256._point_add(G, jwt_es256._INF) is G
    inf_list = [None, None]
    assert jwt_es256._point_add((None, None), inf_list) is inf_list


@pytest.mark.parametrize("q", [G, G2, (GX, GY - P), (5, 0), (GX + P, GY)], ids=repr)
def test_point_plus_its_negative_is_the_modules_infinity(q, monkeypatch):
    assert jwt_es256._point_add(q, (q[0], P - q[1])) is jwt_es256._INF
    assert jwt_es256._point_add(q, (q[0], -q[1])) is jwt_es256._INF
    marker = (None, None)
    monkeypatch.setattr(jwt_es256, "_INF", marker)
    assert jwt_es256._point_add(q, (q[0], P - q[1])) is marker


def test_point_add_values():
    assert jwt_es256._point_add(G, G) == G2
    assert jwt_es256._point_add(G, G2) == ref._point_add(G, G2)
    assert jwt_es256._point_add(G2, G) == jwt_es256._point_add(G, G2)
    three = jwt_es256._point_add(G, G2)
    assert type(three) is tuple and all(type(c) is int for c in three)
    assert jwt_es256._is_on_curve(three)


@pytest.mark.parametrize("p1, p2, error", [
    ([GX, GY], (GX, GY), ValueError),  # equal points of different sequence types: adding branch, x2 - x1 = 0
    ((GX + P, GY), G, ValueError),  # unreduced: x1 != x2 but x1 = x2 (mod p)
    ([None, None], G, TypeError),
    (G, (None, 5), TypeError),
    ((1, 2, 3), G, ValueError),
    (G, (1,), ValueError),
    (G, 7, TypeError),
], ids=repr)
def test_point_add_errors(p1, p2, error):
    kind, exc_type, message = same_outcome("_point_add", p1, p2)
    assert kind == "raise" and exc_type is error
    if p1 == [GX, GY]:
        assert message == outcome(pow, 0, -1, P)[2]


def test_point_add_calls_the_modules_mod_inv(monkeypatch):
    calls = []
    original = jwt_es256._mod_inv

    def spy(value, modulus):
        calls.append((value, modulus))
        return original(value, modulus)

    monkeypatch.setattr(jwt_es256, "_mod_inv", spy)
    assert jwt_es256._point_add(G, G2) == ref._point_add(G, G2)
    assert jwt_es256._point_add(G, G) == G2
    assert calls == [((G2[0] - GX) % P, P), (2 * GY % P, P)]


# ---------------------------------------------------------------------------
# Scalar multiplication


def test_scalar_mult_edge_scalars():
    g = tuple(G)
    assert jwt_es256._scalar_mult(0, g) is jwt_es256._INF
    assert jwt_es256._scalar_mult(0, "never looked at") is jwt_es256._INF
    assert jwt_es256._scalar_mult(1, g) is g
    assert jwt_es256._scalar_mult(2, G) == G2
    assert jwt_es256._scalar_mult(N, G) is jwt_es256._INF
    assert jwt_es256._scalar_mult(N - 1, G) == (GX, P - GY)
    assert jwt_es256._scalar_mult(N + 1, G) == G
    assert jwt_es256._scalar_mult(2 * N, G) is jwt_es256._INF
    assert jwt_es256._scalar_mult(3, jwt_es256._INF) == (None, None)


@pytest.mark.parametrize("k", [-1, -2, -(2 ** 300), -N])
def test_scalar_mult_refuses_negative_scalars(k):
    with pytest.raises(ValueError, match=r"^Scalar must not be negative$"):
        jwt_es256._scalar_mult(k, G)


@pytest.mark.parametrize("k", [2 ** 256 - 1, 2 ** 256, 2 ** 300, 3 * N + 5, 12345678901234567890])
def test_scalar_mult_large_scalars_follow_the_group_law(k):
    expected = ref.point_mul(k)
    assert jwt_es256._scalar_mult(k, G) == expected
    assert jwt_es256._scalar_mult(k, G2) == ref.point_mul(2 * k)


def test_scalar_mult_of_a_malformed_point():
    # k = 1 still doubles once after its only bit, which unpacks the point
    assert outcome(jwt_es256._scalar_mult, 1, (1, 2, 3)) == outcome(ref._scalar_mult, 1, (1, 2, 3))
    assert outcome(jwt_es256._scalar_mult, 1, (1, 2, 3))[:2] == ("raise", ValueError)


@pytest.mark.parametrize("k", [1, 2, 5, 6, 2 ** 10, 0b1011011])
def test_scalar_mult_is_right_to_left_double_and_add_through_point_add(k, monkeypatch):
    calls, model_calls = [], []

    def spy_for(fn, record):
        def spy(p1, p2):
            record.append((p1, p2))
            return fn(p1, p2)
        return spy

    monkeypatch.setattr(jwt_es256, "_point_add", spy_for(jwt_es256._point_add, calls))
    monkeypatch.setattr(ref, "_point_add", spy_for(ref._point_add, model_calls))
    assert jwt_es256._scalar_mult(k, G) == ref._scalar_mult(k, G)
    assert calls == model_calls
    # one addition per set bit and one doubling per bit, including the last
    assert len(calls) == bin(k).count("1") + k.bit_length()
    if k & 1:
        assert calls[0] == ((None, None), G)
    else:
        assert calls[0] == (G, G)


def test_arithmetic_reads_the_constants_at_call_time(monkeypatch):
    # A toy curve y^2 = x^3 + 2x + 3 over F_97 in place of P-256: the
    # native module and the model must agree step by step.
    for module in (jwt_es256, ref):
        monkeypatch.setattr(module, "_P256_P", 97)
        monkeypatch.setattr(module, "_P256_A", 2)
        monkeypatch.setattr(module, "_P256_B", 3)
    point = (3, 6)
    assert jwt_es256._is_on_curve(point) is True
    for k in range(0, 12):
        assert outcome(jwt_es256._scalar_mult, k, point) == outcome(ref._scalar_mult, k, point)
    assert jwt_es256._scalar_mult(2, point) == (80, 10)


# ---------------------------------------------------------------------------
# Differential tests on random and mutated points

ints = st.one_of(
    st.sampled_from([0, 1, 2, 3, P - 1, P, P + 1, N, -1, -P, 2 ** 256]),
    st.integers(min_value=0, max_value=P - 1),
    st.integers(min_value=-(2 ** 300), max_value=2 ** 300),
)
points = st.one_of(
    st.sampled_from([G, G2, (GX, P - GY), jwt_es256._INF, [GX, GY], (GX + P, GY), (GX, GY - P)]),
    st.tuples(ints, ints),
    st.lists(ints, min_size=1, max_size=3).map(tuple),
)


@FAST
@given(points)
def test_is_on_curve_matches_the_model(point):
    same_outcome("_is_on_curve", point)


@FAST
@given(points, points)
def test_point_add_matches_the_model(p1, p2):
    same_outcome("_point_add", p1, p2)


@SLOW
@given(st.one_of(st.integers(min_value=0, max_value=2 ** 64), st.integers(min_value=0, max_value=N + 5)), points)
def test_scalar_mult_matches_the_model(k, point):
    same_outcome("_scalar_mult", k, point)
