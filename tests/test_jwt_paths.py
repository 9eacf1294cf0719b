"""The native fast path gives exactly what the exact path gives.

The exact path is forced by replacing a module global with an equal but
distinct object (or a plain wrapper around the original helper): results
must not change, only the way they are computed. Replaced globals that do
change behaviour must be honoured, as the model shows."""

import builtins
import hashlib
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
EXAMPLES = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FEW = settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def distinct_int(value):
    copy = int(str(value))
    assert copy == value and copy is not value
    return copy


def wrapper(fn):
    def plain(*args, **kwargs):
        plain.calls += 1
        return fn(*args, **kwargs)

    plain.calls = 0
    return plain


# name -> how to force the exact path; each replacement is equal in
# behaviour to the original.
FORCERS = {
    "_INF": lambda: (None, None),
    "_point_add": lambda: wrapper(jwt_es256._point_add),
    "_mod_inv": lambda: wrapper(jwt_es256._mod_inv),
    "_scalar_mult": lambda: wrapper(jwt_es256._scalar_mult),
    "_is_on_curve": lambda: wrapper(jwt_es256._is_on_curve),
    "_P256_P": lambda: distinct_int(P),
    "_P256_A": lambda: distinct_int(ref._P256_A),
    "_P256_B": lambda: distinct_int(ref._P256_B),
    "_P256_N": lambda: distinct_int(N),
    "_P256_GX": lambda: distinct_int(G[0]),
}

# The globals each computation reads, directly or through the helpers it calls.
CLOSURES = {
    "_is_on_curve": ["_INF", "_P256_P", "_P256_A", "_P256_B"],
    "_scalar_mult": ["_INF", "_point_add", "_mod_inv", "_P256_P", "_P256_A"],
    "_sign_ecdsa_p256_sha256": ["_INF", "_scalar_mult", "_point_add", "_mod_inv", "_P256_N", "_P256_GX", "_P256_P"],
    "_verify_ecdsa_p256_sha256": ["_INF", "_scalar_mult", "_point_add", "_is_on_curve", "_mod_inv", "_P256_N",
                                  "_P256_B", "_P256_GX"],
    "generate_es256_keypair": ["_INF", "_scalar_mult", "_point_add", "_P256_GX"],
}


class Exact:
    """Runs calls with one global replaced by its equal stand-in."""

    def __init__(self, name):
        self.name = name

    def __call__(self, fn_name, *args):
        original = getattr(jwt_es256, self.name)
        stand_in = FORCERS[self.name]()
        setattr(jwt_es256, self.name, stand_in)
        try:
            result = outcome(getattr(jwt_es256, fn_name), *args)
        finally:
            setattr(jwt_es256, self.name, original)
        return result


def as_loaded(fn_name, *args):
    return outcome(getattr(jwt_es256, fn_name), *args)


def same_everywhere(fn_name, *args):
    expected = as_loaded(fn_name, *args)
    for name in CLOSURES[fn_name]:
        assert Exact(name)(fn_name, *args) == expected, name
    return expected


class IntSub(int):
    pass


# ---------------------------------------------------------------------------
# Inputs

RNG = random.Random(256)
ON_CURVE = [G, (G[0], P - G[1])] + [ref.point_mul(RNG.randrange(1, N)) for _ in range(6)]
EDGE_SCALARS = [0, 1, 2, 3, N - 1, N, N + 1, 2 * N, 2 * N + 1, 2 ** 256 - 1, 2 ** 256, 2 ** 300, N * 2 ** 50 + 1]

scalars = st.one_of(
    st.sampled_from(EDGE_SCALARS),
    st.integers(0, N - 1),
    st.integers(0, 2 ** 320),
    st.sampled_from([True, False, IntSub(5), IntSub(N + 2)]),
)


def variants(point):
    x, y = point
    return st.sampled_from([
        (x, y), [x, y], (x + P, y), (x, y + P), (x - P, y), (x, y - P), (x, y + 1), (IntSub(x), IntSub(y)),
        (x, y, 0), (x,), (x + 2 ** 300, y), (float(x), y),
    ])


points = st.one_of(
    st.sampled_from(ON_CURVE),
    st.sampled_from(ON_CURVE).flatmap(variants),
    st.tuples(st.integers(0, P - 1), st.integers(0, P - 1)),
    st.tuples(st.integers(-(2 ** 260), 2 ** 260), st.integers(-(2 ** 260), 2 ** 260)),
    st.sampled_from([(None, None), (0, 0), (P - 1, P - 1), (True, True), (None, 1), "xy"]),
)


# ---------------------------------------------------------------------------
# Arithmetic


@settings(max_examples=300, deadline=None)
@given(points)
def test_is_on_curve_same_on_both_paths(point):
    assert same_everywhere("_is_on_curve", point) == outcome(ref._is_on_curve, point)


@EXAMPLES
@given(scalars, points)
def test_scalar_mult_same_on_both_paths(k, point):
    expected = as_loaded("_scalar_mult", k, point)
    for name in ("_INF", "_point_add"):
        assert Exact(name)("_scalar_mult", k, point) == expected
    if expected[0] == "ok" and point in ON_CURVE:
        assert expected[1] == ref.point_mul(int(k), point)


@pytest.mark.parametrize("k", EDGE_SCALARS)
@pytest.mark.parametrize("point", ON_CURVE[:3], ids=["G", "-G", "Q"])
def test_scalar_mult_edge_scalars_same_on_both_paths(k, point):
    expected = same_everywhere("_scalar_mult", k, point)
    assert expected == ("ok", ref.point_mul(k, point))


@pytest.mark.parametrize("forcer", [None, "_INF", "_point_add", "_mod_inv"])
@pytest.mark.parametrize("point", [ON_CURVE[0], ON_CURVE[3], (5, 7)], ids=["G", "Q", "off curve"])
def test_scalar_mult_identities(monkeypatch, forcer, point):
    point = (point[0], point[1])  # a fresh tuple object
    if forcer is not None:
        monkeypatch.setattr(jwt_es256, forcer, FORCERS[forcer]())
    inf = jwt_es256._INF
    assert jwt_es256._scalar_mult(1, point) is point
    assert jwt_es256._scalar_mult(True, point) is point
    assert jwt_es256._scalar_mult(0, point) is inf
    if point != (5, 7):
        for k in (N, 2 * N, N * 2 ** 70):
            assert jwt_es256._scalar_mult(k, point) is inf
        for k in (N + 1, 2 * N + 1, N * 2 ** 50 + 1):
            result = jwt_es256._scalar_mult(k, point)
            assert result == point and result is not point and type(result) is tuple


def test_scalar_mult_of_zero_returns_the_current_infinity(monkeypatch):
    marker = ("inf", "inf")  # not even equal to the original
    monkeypatch.setattr(jwt_es256, "_INF", marker)
    assert jwt_es256._scalar_mult(0, G) is marker
    assert jwt_es256._scalar_mult(0, ON_CURVE[4]) is marker


def test_replaced_point_add_is_always_called(monkeypatch):
    spy = wrapper(jwt_es256._point_add)
    monkeypatch.setattr(jwt_es256, "_point_add", spy)
    for point in ON_CURVE[:3]:
        for k in (2, N - 1, 2 ** 300):
            before = spy.calls
            assert jwt_es256._scalar_mult(k, point) == ref.point_mul(k, point)
            assert spy.calls - before == bin(k).count("1") + k.bit_length()


@pytest.mark.parametrize("k", [N - 1, 2 ** 300, 12345], ids=["n-1", "2^300", "12345"])
def test_replaced_mod_inv_is_always_called(monkeypatch, k):
    spy, model_spy = wrapper(jwt_es256._mod_inv), wrapper(ref._mod_inv)
    monkeypatch.setattr(jwt_es256, "_mod_inv", spy)
    monkeypatch.setattr(ref, "_mod_inv", model_spy)
    assert jwt_es256._scalar_mult(k, ON_CURVE[5]) == ref._scalar_mult(k, ON_CURVE[5])
    assert spy.calls == model_spy.calls >= k.bit_length()


def test_replaced_constants_are_honoured_like_the_model(monkeypatch):
    # G replaced by 2G: every computation that reads the generator changes.
    g2 = ref.point_mul(2)
    for module in (jwt_es256, ref):
        monkeypatch.setattr(module, "_P256_GX", g2[0])
        monkeypatch.setattr(module, "_P256_GY", g2[1])
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"m", 12345)
    assert signature == ref._sign_ecdsa_p256_sha256(b"m", 12345)
    q = ref.point_mul(2 * 12345)  # d * (2G)
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is True
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, ref.point_mul(12345)) is False
    monkeypatch.setattr(jwt_es256, "secrets", types.SimpleNamespace(randbelow=lambda n: 7))
    assert jwt_es256.generate_es256_keypair() == (7, ref.point_mul(14))


def test_replaced_curve_coefficient_is_honoured(monkeypatch):
    # With b changed, G is off "the curve": the verifier must say False even
    # for a valid signature, as the exact algorithm does.
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"m", 99)
    q = ref.point_mul(99)
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is True
    monkeypatch.setattr(jwt_es256, "_P256_B", ref._P256_B + 1)
    assert jwt_es256._is_on_curve(q) is False
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is False


def test_replaced_order_is_honoured(monkeypatch):
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"m", 99)
    q = ref.point_mul(99)
    for module in (jwt_es256, ref):
        monkeypatch.setattr(module, "_P256_N", N + 2)
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is False  # n*Q is no longer infinity
    assert outcome(jwt_es256._sign_ecdsa_p256_sha256, b"m", 99) == outcome(ref._sign_ecdsa_p256_sha256, b"m", 99)


# ---------------------------------------------------------------------------
# Verification and signing

KEYS = [RNG.randrange(1, N) for _ in range(4)] + [1, N - 1]
MESSAGES = [b"", b"m", b"a longer message" * 10]


def signature_variants(d, message):
    raw = jwt_es256._sign_ecdsa_p256_sha256(message, d)
    r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
    flipped = bytearray(raw)
    flipped[5] ^= 0x10
    return [raw, ref.raw_signature(r, N - s), bytes(flipped), ref.raw_signature(0, s), ref.raw_signature(r, N),
            ref.raw_signature(N - 1, s), raw[:63], raw + b"\0"]


def key_variants(d):
    q = ref.point_mul(d)
    return [q, [q[0], q[1]], (IntSub(q[0]), IntSub(q[1])), (q[0], q[1] + 1), (q[0] + P, q[1]), (q[0] - P, q[1]),
            ref.point_mul(d + 1), (None, None), (q[0], q[1], 1), (q[0] + 2 ** 300, q[1])]


@FEW
@given(st.sampled_from(KEYS), st.sampled_from(MESSAGES), st.integers(0, 7), st.integers(0, 9))
def test_verify_same_on_both_paths(d, message, sig_index, key_index):
    signature = signature_variants(d, message)[sig_index]
    key = key_variants(d)[key_index]
    expected = same_everywhere("_verify_ecdsa_p256_sha256", message, signature, key)
    assert expected == outcome(ref._verify_ecdsa_p256_sha256, message, signature, key)


@pytest.mark.parametrize("d", KEYS[:1])
def test_verify_all_variants_on_the_exact_path(d):
    for signature in signature_variants(d, b"m"):
        for key in key_variants(d):
            expected = as_loaded("_verify_ecdsa_p256_sha256", b"m", signature, key)
            assert Exact("_INF")("_verify_ecdsa_p256_sha256", b"m", signature, key) == expected


@FEW
@given(st.integers(1, N - 1), st.binary(max_size=50))
def test_sign_same_on_both_paths(d, message):
    expected = same_everywhere("_sign_ecdsa_p256_sha256", message, d)
    assert expected == ("ok", ref._sign_ecdsa_p256_sha256(message, d))


@pytest.mark.parametrize("d", [1, 2, N - 1, N // 2, IntSub(77), 3.0, True])
def test_sign_edge_keys_same_on_both_paths(d):
    for message in MESSAGES:
        same_everywhere("_sign_ecdsa_p256_sha256", message, d)


@pytest.mark.parametrize("k", [1, 2, N - 1, N + 1, 2 ** 256 - 1, 2 ** 300, IntSub(5), 0, N])
def test_sign_with_replaced_nonce_same_on_both_paths(monkeypatch, k):
    monkeypatch.setattr(jwt_es256, "_rfc6979_k_p256_sha256", lambda d, h: k)
    monkeypatch.setattr(ref, "_rfc6979_k_p256_sha256", lambda d, h: k)
    expected = same_everywhere("_sign_ecdsa_p256_sha256", b"m", 12345)
    assert expected == outcome(ref._sign_ecdsa_p256_sha256, b"m", 12345)


def test_sign_with_replaced_hash_same_on_both_paths(monkeypatch):
    # a digest longer than 256 bits makes e exceed n
    fake = types.SimpleNamespace(sha256=lambda data=b"": hashlib.sha512(data))
    monkeypatch.setattr(jwt_es256, "hashlib", fake)
    monkeypatch.setattr(ref, "hashlib", fake)
    expected = same_everywhere("_sign_ecdsa_p256_sha256", b"m", 12345)
    assert expected == outcome(ref._sign_ecdsa_p256_sha256, b"m", 12345)
    signature = expected[1]
    q = ref.point_mul(12345)
    assert same_everywhere("_verify_ecdsa_p256_sha256", b"m", signature, q) == ("ok", True)


def test_replaced_helpers_are_called_by_sign_verify_and_keygen(monkeypatch):
    mult = wrapper(jwt_es256._scalar_mult)
    on_curve = wrapper(jwt_es256._is_on_curve)
    monkeypatch.setattr(jwt_es256, "_scalar_mult", mult)
    monkeypatch.setattr(jwt_es256, "_is_on_curve", on_curve)
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"m", 5)
    assert mult.calls == 1
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, ref.point_mul(5)) is True
    assert (mult.calls, on_curve.calls) == (4, 1)
    jwt_es256.generate_es256_keypair()
    assert mult.calls == 5


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_keygen_same_on_both_paths(monkeypatch, seed):
    results = []
    for forcer in [None] + CLOSURES["generate_es256_keypair"]:
        monkeypatch.setattr(jwt_es256, "secrets", types.SimpleNamespace(randbelow=random.Random(seed).randrange))
        if forcer is not None:
            monkeypatch.setattr(jwt_es256, forcer, FORCERS[forcer]())
        results.append(jwt_es256.generate_es256_keypair())
        monkeypatch.undo()
    assert all(result == results[0] for result in results)
    d, q = results[0]
    assert q == ref.point_mul(d)


def test_concurrent_calls_give_the_single_thread_results():
    # Native work runs without the GIL; threads must not disturb each other.
    import threading

    cases = [(d, b"msg-%d" % i) for i, d in enumerate(KEYS * 3)]
    expected = [(jwt_es256._sign_ecdsa_p256_sha256(m, d), ref.point_mul(d)) for d, m in cases]
    errors, barrier = [], threading.Barrier(4)

    def work(offset):
        barrier.wait()
        for _ in range(3):
            for index in range(offset, len(cases), 2):
                d, message = cases[index]
                signature, q = expected[index]
                if jwt_es256._sign_ecdsa_p256_sha256(message, d) != signature:
                    errors.append(("sign", index))
                if jwt_es256._verify_ecdsa_p256_sha256(message, signature, q) is not True:
                    errors.append(("verify", index))
                if jwt_es256._scalar_mult(d, G) != q:
                    errors.append(("mult", index))

    threads = [threading.Thread(target=work, args=(i % 2,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


# ---------------------------------------------------------------------------
# Standard-library shortcuts: hmac.new and json.dumps go straight to what they
# do internally only while nothing on the way has been replaced.

def _spy(target, counter):
    def spy(*args, **kwargs):
        counter.append(args)
        return target(*args, **kwargs)
    return spy


# The nonce on its own, the whole signature (hash, nonce, signing), and a
# token around one.
HMAC_USERS = {
    "nonce": lambda: jwt_es256._rfc6979_k_p256_sha256(7, hashlib.sha256(b"sample").digest()),
    "signature": lambda: jwt_es256._sign_ecdsa_p256_sha256(b"sample", 7),
    "token": lambda: jwt_es256.sign_es256_jwt({"sub": "sample"}, 7),
}


@pytest.mark.parametrize("entry", sorted(HMAC_USERS))
@pytest.mark.parametrize("module_name, attribute", [
    ("hmac", "new"), ("hmac", "HMAC"), ("hashlib", "sha256"), ("_hashlib", "hmac_new"),
    ("hmac.HMAC", "__init__"), ("hmac.HMAC", "_init_hmac"), ("hmac.HMAC", "digest"), ("hmac.HMAC", "_current"),
])
def test_a_replaced_hmac_piece_is_called_and_the_result_is_unchanged(monkeypatch, module_name, attribute, entry):
    import hmac
    import importlib
    module = hmac.HMAC if module_name == "hmac.HMAC" else importlib.import_module(module_name)
    compute = HMAC_USERS[entry]
    expected = compute()
    calls = []
    original = getattr(module, attribute)
    if isinstance(original, type):
        monkeypatch.setattr(module, attribute, type(original.__name__, (original,), {
            "__init__": lambda self, *a, **k: (calls.append(a), original.__init__(self, *a, **k))[1]}))
    else:
        monkeypatch.setattr(module, attribute, _spy(original, calls))
    assert compute() == expected
    assert calls, f"{module_name}.{attribute} was bypassed"


def _counting_code(function, calls, monkeypatch):
    """A code object for `function` that records each call and then runs the
    function as it was: changing `__code__` in place, not the binding."""
    original = types.FunctionType(function.__code__, function.__globals__, function.__name__, function.__defaults__,
                                  function.__closure__)
    original.__kwdefaults__ = function.__kwdefaults__
    monkeypatch.setitem(builtins.__dict__, "_qrl_in_place", (original, calls))

    def stand_in(*args, **kwargs):
        import builtins
        original, calls = builtins._qrl_in_place
        calls.append(args)
        return original(*args, **kwargs)

    return stand_in.__code__


def _owner(path):
    import importlib
    module_name, _, rest = path.partition(".")
    obj = importlib.import_module(module_name)
    for part in rest.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("path, run", [
    ("hmac.new", "signature"), ("hmac.HMAC.__init__", "signature"), ("hmac.HMAC._init_hmac", "nonce"),
    ("hmac.HMAC.digest", "nonce"), ("hmac.HMAC._current", "signature"), ("json.dumps", "token"),
    ("json.JSONEncoder.__init__", "token"), ("json.JSONEncoder.encode", "token"), ("base64.b64encode", "token"),
    ("base64.urlsafe_b64encode", "token"), ("base64.urlsafe_b64decode", "verify"), ("base64.b64decode", "verify"),
    ("base64._bytes_from_decode_data", "verify"),
])
def test_a_standard_function_changed_in_place_is_run(monkeypatch, path, run):
    d = 77
    token = jwt_es256.sign_es256_jwt({"a": "é"}, d)
    runs = {**HMAC_USERS, "token": lambda: jwt_es256.sign_es256_jwt({"a": "é"}, d),
            "verify": lambda: jwt_es256.verify_es256_jwt(token, jwt_es256._scalar_mult(d, G))}
    expected = runs[run]()
    calls = []
    monkeypatch.setattr(_owner(path), "__code__", _counting_code(_owner(path), calls, monkeypatch))
    assert runs[run]() == expected
    assert calls, f"{path} changed in place was bypassed"


@pytest.mark.parametrize("change", ["a keyword default rebound", "keyword defaults replaced", "defaults replaced"])
def test_changed_defaults_of_a_standard_function_take_effect(monkeypatch, change):
    import base64
    import json
    text = "YQ==\n"  # a line break: dropped by the lenient decoder, refused by the strict one
    before = (jwt_es256.sign_es256_jwt({"b": "é", "a": 1}, 77), outcome(jwt_es256._b64url_decode, text))
    if change == "a keyword default rebound":
        monkeypatch.setitem(json.dumps.__kwdefaults__, "ensure_ascii", False)
    elif change == "keyword defaults replaced":
        monkeypatch.setattr(json.dumps, "__kwdefaults__", dict(json.dumps.__kwdefaults__, indent=1))
    else:
        monkeypatch.setattr(base64.b64decode, "__defaults__", (None, True))  # validate=True
    after = (jwt_es256.sign_es256_jwt({"b": "é", "a": 1}, 77), outcome(jwt_es256._b64url_decode, text))
    assert after == (ref.sign_es256_jwt({"b": "é", "a": 1}, 77), outcome(ref._b64url_decode, text))
    assert after[change == "defaults replaced"] != before[change == "defaults replaced"]


# In one process the tests above mostly run after earlier ones changed and
# restored the same modules. Until anything changes, the module knows its
# routes unchanged without looking them up; so each kind of change is also
# made first thing after import, in a fresh interpreter.
@pytest.mark.parametrize("test", [
    "test_jwt_paths.py::test_a_replaced_hmac_piece_is_called_and_the_result_is_unchanged[hmac-new-token]",
    "test_jwt_paths.py::test_a_replaced_hmac_piece_is_called_and_the_result_is_unchanged[hmac.HMAC-digest-signature]",
    "test_jwt_paths.py::test_a_replaced_hmac_piece_is_called_and_the_result_is_unchanged[_hashlib-hmac_new-nonce]",
    "test_jwt_paths.py::test_a_standard_function_changed_in_place_is_run[json.JSONEncoder.encode-token]",
    "test_jwt_paths.py::test_a_standard_function_changed_in_place_is_run[base64.urlsafe_b64encode-token]",
    "test_jwt_paths.py::test_changed_defaults_of_a_standard_function_take_effect[a keyword default rebound]",
    "test_jwt_paths.py::test_changed_defaults_of_a_standard_function_take_effect[defaults replaced]",
    "test_jwt_token.py::test_signing_goes_through_the_modules_json_and_signer",
    "test_decodekey.py::test_read_tlv_is_looked_up_at_call_time",
], ids=lambda test: test.split("::")[1])
def test_a_change_right_after_import_is_seen(test):
    import os
    import pathlib
    import re
    import subprocess
    import sys
    here = pathlib.Path(__file__).parent
    env = dict(os.environ)  # the library this process runs, wherever the child starts
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(here / test)],
                          capture_output=True, text=True, cwd=here, env=env, timeout=300)
    assert done.returncode == 0 and re.search(r"^1 passed\b", done.stdout, re.M), done.stdout + done.stderr


# Message lengths around the SHA-256 block boundaries, and long ones.
HASH_LENGTHS = [*range(0, 301), 1000, 4095, 4096, 16383, 16384, 65537, 2 ** 20, 2 ** 20 + 55]


def test_the_engine_hashes_every_length_as_hashlib_and_hmac_do(monkeypatch):
    # The same signatures with hashing and the nonce's HMACs by the engine and
    # by hashlib and hmac through Python (a distinct hashlib namespace sends
    # both there); each message's digest enters the nonce's HMAC input.
    messages = [bytes((i * 7 + n) % 256 for i in range(n)) for n in HASH_LENGTHS]
    native = [jwt_es256._sign_ecdsa_p256_sha256(m, 12345) for m in messages]
    monkeypatch.setattr(jwt_es256, "hashlib", types.SimpleNamespace(sha256=hashlib.sha256))
    assert [jwt_es256._sign_ecdsa_p256_sha256(m, 12345) for m in messages] == native


def test_a_100_mib_message_signs_and_verifies_as_the_model_does():
    message = bytes(100 * 2 ** 20) + b"\x01"
    signature = jwt_es256._sign_ecdsa_p256_sha256(message, 12345)
    assert signature == ref._sign_ecdsa_p256_sha256(message, 12345)
    assert jwt_es256._verify_ecdsa_p256_sha256(message, signature, ref.point_mul(12345)) is True


def test_a_replaced_hmac_functype_is_honoured(monkeypatch):
    # A _functype that hashlib.sha256 is not an instance of sends hmac.new to
    # its pure-Python HMAC: the same nonce, by way of HMAC._init_old.
    import hmac
    digest = hashlib.sha256(b"sample").digest()
    expected = jwt_es256._rfc6979_k_p256_sha256(7, digest)
    calls = []
    monkeypatch.setattr(hmac.HMAC, "_init_old", _spy(hmac.HMAC._init_old, calls))
    monkeypatch.setattr(hmac, "_functype", type(None))
    assert jwt_es256._rfc6979_k_p256_sha256(7, digest) == expected
    assert calls


def test_hmac_replaced_while_the_nonce_is_computed_is_called(monkeypatch):
    # An _P256_N whose first comparison rejects the candidate and swaps
    # hmac.new: the three HMACs that follow go through the replacement.
    import hmac
    calls = []
    spy = _spy(hmac.new, calls)

    class SwappingN(int):
        swapped = False

        def __gt__(self, other):
            if not SwappingN.swapped:
                SwappingN.swapped = True
                monkeypatch.setattr(hmac, "new", spy)
                return False
            return int(self) > other

    digest = hashlib.sha256(b"sample").digest()
    monkeypatch.setattr(jwt_es256, "_P256_N", SwappingN(jwt_es256._P256_N))
    jwt_es256._rfc6979_k_p256_sha256(7, digest)
    assert len(calls) == 3


def test_globals_replaced_while_verifying_are_used(monkeypatch):
    # Python code run by the verifier itself (a replaced hash, an iterable
    # key) replaces helpers and constants; the later steps must use them.
    d = 777
    q = jwt_es256._scalar_mult(d, (jwt_es256._P256_GX, jwt_es256._P256_GY))
    signature = jwt_es256._sign_ecdsa_p256_sha256(b"m", d)
    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is True

    def sha256(data=b""):
        monkeypatch.setattr(jwt_es256, "_scalar_mult", lambda k, p: jwt_es256._INF)
        return hashlib.sha256(data)

    with monkeypatch.context() as patch:
        patch.setattr(jwt_es256, "hashlib", types.SimpleNamespace(sha256=sha256))
        assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, q) is False
    monkeypatch.undo()

    def key():
        monkeypatch.setattr(jwt_es256, "_P256_N", 7)
        yield from q

    assert jwt_es256._verify_ecdsa_p256_sha256(b"m", signature, key()) is False


def test_hmac_without_openssl_takes_the_python_hmac(monkeypatch):
    import hmac
    digest = hashlib.sha256(b"x").digest()
    expected = jwt_es256._rfc6979_k_p256_sha256(12345, digest)
    monkeypatch.setattr(hmac, "_hashopenssl", None)
    assert jwt_es256._rfc6979_k_p256_sha256(12345, digest) == expected


@pytest.mark.parametrize("attribute", ["dumps", "JSONEncoder"])
def test_a_replaced_json_piece_is_called_and_the_token_is_unchanged(monkeypatch, attribute):
    import json
    expected = jwt_es256.sign_es256_jwt({"b": 1, "a": "é"}, 99)
    calls = []
    original = getattr(json, attribute)
    if attribute == "JSONEncoder":
        class Counting(original):
            def encode(self, o):
                calls.append(o)
                return super().encode(o)
        monkeypatch.setattr(json, attribute, Counting)
    else:
        monkeypatch.setattr(json, attribute, _spy(original, calls))
    assert jwt_es256.sign_es256_jwt({"b": 1, "a": "é"}, 99) == expected
    assert len(calls) == 2  # header and payload


@pytest.mark.parametrize("replace", ["c_make_encoder counted", "c_make_encoder None", "encode_basestring_ascii counted",
                                     "default for sets", "_b64url_encode counted", "urlsafe_b64encode marked"])
def test_the_json_and_base64_pieces_of_a_token_are_honoured(monkeypatch, replace):
    import json.encoder
    payload = {"b": [1, 2.5, None, True], "a": "é\u2603", "c": {"z": 1, "y": "\n"}}
    expected = jwt_es256.sign_es256_jwt(payload, 99)
    calls = []
    if replace == "c_make_encoder counted":
        monkeypatch.setattr(json.encoder, "c_make_encoder", _spy(json.encoder.c_make_encoder, calls))
    elif replace == "c_make_encoder None":
        monkeypatch.setattr(json.encoder, "c_make_encoder", None)
        calls.append("the Python encoder")
    elif replace == "encode_basestring_ascii counted":
        monkeypatch.setattr(json.encoder, "encode_basestring_ascii",
                            _spy(json.encoder.encode_basestring_ascii, calls))
    elif replace == "default for sets":
        monkeypatch.setattr(json.JSONEncoder, "default", lambda self, o: (calls.append(o), sorted(o))[1])
        payload, expected = dict(payload, s={3, 1}), None
    elif replace == "urlsafe_b64encode marked":
        import base64
        standard = base64.urlsafe_b64encode
        monkeypatch.setattr(base64, "urlsafe_b64encode", lambda data: calls.append(data) or b"x" + standard(data))
        expected = None
    else:
        monkeypatch.setattr(jwt_es256, "_b64url_encode", _spy(jwt_es256._b64url_encode, calls))
        monkeypatch.setattr(ref, "_b64url_encode", ref._b64url_encode)
    token = jwt_es256.sign_es256_jwt(payload, 99)
    assert replace != "_b64url_encode counted" or len(calls) == 3  # header, payload, signature
    assert token == ref.sign_es256_jwt(payload, 99)
    assert expected is None or token == expected
    assert calls
    # The default header given as {} is the default header.
    assert jwt_es256.sign_es256_jwt(payload, 99, {}) == token


def test_a_replaced_json_encoder_init_shapes_the_token(monkeypatch):
    import json
    original = json.JSONEncoder.__init__

    def spaced(self, *args, **kwargs):
        kwargs["separators"] = (", ", ": ")
        original(self, *args, **kwargs)

    monkeypatch.setattr(json.JSONEncoder, "__init__", spaced)
    header = jwt_es256.sign_es256_jwt({"b": 1}, 99).split(".")[0]
    assert jwt_es256._b64url_decode(header) == b'{"alg": "ES256", "typ": "JWT"}'
