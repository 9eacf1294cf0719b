"""The shared extension runtime as seen through quarlopro.jwt_es256: argument
binding and its TypeError messages, the argument kinds, the introspection
attributes of the library's functions, method binding, and the module
guard (once per process, one interpreter), the GIL declaration and the
package loader."""

import collections
import ctypes
import decimal
import fractions
import importlib
import inspect
import os
import subprocess
import sys
import sysconfig
import textwrap
import types

import pytest

import _qrl_shared
import quarlopro
import quarlopro.jwt_es256 as jwt_es256

G = (jwt_es256._P256_GX, jwt_es256._P256_GY)
EMPTY = inspect.Parameter.empty
REQUIRED = object()

# name -> ([(parameter, default or REQUIRED, annotation or None)], return annotation or None)
# Return annotations are listed where they are part of the documented
# interface; untyped parameters carry no annotation.
FUNCTIONS = {
    "_b64url_decode": ([("text", REQUIRED, "str")], None),
    "_b64url_encode": ([("data", REQUIRED, "bytes")], None),
    "_mod_inv": ([("value", REQUIRED, "int"), ("modulus", REQUIRED, "int")], None),
    "_is_on_curve": ([("point", REQUIRED, None)], None),
    "_point_add": ([("p1", REQUIRED, None), ("p2", REQUIRED, None)], None),
    "_scalar_mult": ([("k", REQUIRED, "int"), ("point", REQUIRED, None)], None),
    "_verify_ecdsa_p256_sha256": (
        [("message", REQUIRED, "bytes"), ("signature", REQUIRED, "bytes"), ("public_key_xy", REQUIRED, None)], None),
    "_der_ecdsa_signature_to_raw64": ([("signature", REQUIRED, "bytes")], None),
    "_rfc6979_k_p256_sha256": ([("private_key_d", REQUIRED, "int"), ("message_hash", REQUIRED, "bytes")], None),
    "_sign_ecdsa_p256_sha256": (
        [("message", REQUIRED, "bytes"), ("private_key_d", REQUIRED, "int"), ("deterministic", True, "bool")], None),
    "public_key_xy_from_jwk": ([("jwk", REQUIRED, "dict")], None),
    "private_key_d_from_jwk": ([("jwk", REQUIRED, "dict")], None),
    "_int_to_b64url_32": ([("value", REQUIRED, "int")], None),
    "generate_es256_keypair": ([], "tuple[int, tuple[int, int]]"),
    "generate_es256_keypair_jwk": ([("kid", None, "str | None")], "tuple[dict, dict]"),
    "sign_es256_jwt": (
        [("payload", REQUIRED, "dict"), ("private_key_d", REQUIRED, "int"), ("header", None, "dict | None")], "str"),
    "sign_es256_jwt_with_jwk": (
        [("payload", REQUIRED, "dict"), ("jwk", REQUIRED, "dict"), ("header", None, "dict | None")], "str"),
    "verify_es256_jwt": (
        [("token", REQUIRED, "str"), ("public_key_xy", REQUIRED, None), ("expected_iss", None, None),
         ("expected_aud", None, None), ("leeway_seconds", 30, "int")], None),
}


# The functions themselves, kept apart from the module attributes that the
# tests replace.
FN = {name: getattr(jwt_es256, name) for name in FUNCTIONS}


def python_twin(name):
    """A Python function with the same parameters, defaults and qualname."""
    params, _ = FUNCTIONS[name]
    text = ", ".join(p if d is REQUIRED else f"{p}={d!r}" for p, d, _ in params)
    namespace = {}
    exec(f"def {name}({text}):\n    return None", namespace)
    return namespace[name]


def type_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


class Tripwire:
    """Stands in for a module global; any use of it fails the test."""

    def __init__(self, name):
        self._name = name

    def _fail(self, *args, **kwargs):
        raise AssertionError(f"the body ran before the argument checks (used {self._name})")

    __getattr__ = __call__ = __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __index__ = __int__ = _fail
    __hash__ = object.__hash__


@pytest.fixture
def tripwired(monkeypatch):
    """Every global the function bodies read, replaced by a tripwire."""
    for name in ("base64", "hmac", "hashlib", "json", "secrets", "time", "_P256_P", "_P256_N", "_INF",
                 "_b64url_decode", "_b64url_encode", "_mod_inv", "_is_on_curve", "_point_add", "_scalar_mult",
                 "_verify_ecdsa_p256_sha256", "_der_ecdsa_signature_to_raw64", "_rfc6979_k_p256_sha256",
                 "_sign_ecdsa_p256_sha256", "private_key_d_from_jwk", "_int_to_b64url_32",
                 "generate_es256_keypair", "sign_es256_jwt"):
        monkeypatch.setattr(jwt_es256, name, Tripwire(name))


# ---------------------------------------------------------------------------
# Argument binding

BINDING_CASES = [
    # missing positional arguments: one, two, three names
    ("_b64url_decode", (), {}, "_b64url_decode() missing 1 required positional argument: 'text'"),
    ("_mod_inv", (), {}, "_mod_inv() missing 2 required positional arguments: 'value' and 'modulus'"),
    ("_verify_ecdsa_p256_sha256", (), {},
     "_verify_ecdsa_p256_sha256() missing 3 required positional arguments: 'message', 'signature', and "
     "'public_key_xy'"),
    ("_verify_ecdsa_p256_sha256", (b"m",), {"public_key_xy": G},
     "_verify_ecdsa_p256_sha256() missing 1 required positional argument: 'signature'"),
    ("verify_es256_jwt", (), {"leeway_seconds": 1},
     "verify_es256_jwt() missing 2 required positional arguments: 'token' and 'public_key_xy'"),
    # a missing argument is reported before any type check
    ("_mod_inv", ("not a number",), {}, "_mod_inv() missing 1 required positional argument: 'modulus'"),
    # too many positional arguments, with and without defaults
    ("_b64url_decode", ("a", "b"), {}, "_b64url_decode() takes 1 positional argument but 2 were given"),
    ("_mod_inv", (1, 2, 3), {}, "_mod_inv() takes 2 positional arguments but 3 were given"),
    ("generate_es256_keypair", (1,), {}, "generate_es256_keypair() takes 0 positional arguments but 1 was given"),
    ("generate_es256_keypair_jwk", ("a", "b"), {},
     "generate_es256_keypair_jwk() takes from 0 to 1 positional arguments but 2 were given"),
    ("_sign_ecdsa_p256_sha256", (b"m", 1, True, 4), {},
     "_sign_ecdsa_p256_sha256() takes from 2 to 3 positional arguments but 4 were given"),
    ("verify_es256_jwt", ("t", G, None, None, 30, 6), {},
     "verify_es256_jwt() takes from 2 to 5 positional arguments but 6 were given"),
    # unexpected and duplicated keywords
    ("_b64url_decode", (), {"zzz": "a"}, "_b64url_decode() got an unexpected keyword argument 'zzz'"),
    ("generate_es256_keypair", (), {"kid": "a"}, "generate_es256_keypair() got an unexpected keyword argument 'kid'"),
    ("_b64url_decode", ("a",), {"text": "b"}, "_b64url_decode() got multiple values for argument 'text'"),
    ("verify_es256_jwt", ("t", G, None), {"expected_iss": "x"},
     "verify_es256_jwt() got multiple values for argument 'expected_iss'"),
    # keywords are examined before the positional count, as the interpreter does
    ("_b64url_decode", ("a", "b"), {"zzz": 1}, "_b64url_decode() got an unexpected keyword argument 'zzz'"),
    ("_b64url_decode", ("a", "b"), {"text": "c"}, "_b64url_decode() got multiple values for argument 'text'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_errors_are_worded_like_python_functions(name, args, kwargs, message):
    got = type_error(FN[name], *args, **kwargs)
    assert got == message
    # ... and exactly as this interpreter words them for a Python function
    assert got == type_error(python_twin(name), *args, **kwargs)


@pytest.mark.parametrize("name, kwargs", [
    ("_b64url_decode", {"txt": "a"}),
    ("verify_es256_jwt", {"token": "t", "public_key_xy": G, "leeway_second": 1}),
    ("generate_es256_keypair_jwk", {"kd": "a"}),
])
def test_a_near_miss_keyword_is_worded_like_python_functions(name, kwargs):
    # From 3.13 on the interpreter adds "Did you mean ...?" for a keyword close
    # to a parameter name; before, the plain message.
    got = type_error(FN[name], **kwargs)
    assert got == type_error(python_twin(name), **kwargs)
    assert "unexpected keyword argument" in got


def test_binding_messages_use_the_qualname(monkeypatch):
    fn = jwt_es256._mod_inv
    monkeypatch.setattr(fn, "__qualname__", "Keys.inverse")
    assert type_error(fn) == "Keys.inverse() missing 2 required positional arguments: 'value' and 'modulus'"
    assert type_error(fn, 1, 2, 3) == "Keys.inverse() takes 2 positional arguments but 3 were given"
    assert type_error(fn, "x", 3) == "Keys.inverse() argument 'value' must be int, not str"


@pytest.mark.parametrize("name", sorted(n for n in FUNCTIONS if FUNCTIONS[n][0] and not n.startswith("generate")))
def test_keywords_bind_like_positionals(name):
    # Every parameter can be given by keyword under its documented name;
    # a call with all of them by keyword fails or succeeds exactly like the
    # positional call (compared by outcome).
    samples = {
        "text": "YWJj", "data": b"abc", "value": 3, "modulus": 7, "point": G, "p1": G, "p2": G, "k": 2,
        "message": b"m", "signature": bytes(64), "public_key_xy": G, "private_key_d": 5,
        "message_hash": bytes(32), "deterministic": True, "jwk": {"kty": "EC", "crv": "P-256", "d": "BQ"},
        "kid": "k", "payload": {"a": 1}, "header": {"kid": "k"}, "token": "a.b.c", "expected_iss": None,
        "expected_aud": None, "leeway_seconds": 3,
    }
    params, _ = FUNCTIONS[name]
    fn = FN[name]
    args = [samples[p] for p, _, _ in params]
    kwargs = {p: samples[p] for p, _, _ in params}

    def run(*a, **k):
        try:
            return ("ok", fn(*a, **k))
        except Exception as exc:  # noqa: BLE001
            return ("raise", type(exc), str(exc))

    assert run(*args) == run(**kwargs)
    assert run(*args[:1], **dict(list(kwargs.items())[1:])) == run(*args)


# ---------------------------------------------------------------------------
# Argument kinds

GOOD_ARGS = {
    "_b64url_decode": {"text": "YQ"},
    "_b64url_encode": {"data": b"a"},
    "_der_ecdsa_signature_to_raw64": {"signature": bytes(8)},
    "_verify_ecdsa_p256_sha256": {"message": b"m", "signature": bytes(64), "public_key_xy": G},
    "_rfc6979_k_p256_sha256": {"private_key_d": 1, "message_hash": bytes(32)},
    "_sign_ecdsa_p256_sha256": {"message": b"m", "private_key_d": 1},
    "public_key_xy_from_jwk": {"jwk": {}},
    "private_key_d_from_jwk": {"jwk": {}},
    "sign_es256_jwt": {"payload": {}, "private_key_d": 1},
    "sign_es256_jwt_with_jwk": {"payload": {}, "jwk": {}},
    "verify_es256_jwt": {"token": "a.b.c", "public_key_xy": G},
    "generate_es256_keypair_jwk": {},
    "_mod_inv": {"value": 3, "modulus": 7},
    "_scalar_mult": {"k": 1, "point": G},
    "_int_to_b64url_32": {"value": 1},
}

EXACT_PARAMS = [
    ("_b64url_decode", "text", "str"),
    ("_b64url_encode", "data", "bytes"),
    ("_der_ecdsa_signature_to_raw64", "signature", "bytes"),
    ("_verify_ecdsa_p256_sha256", "message", "bytes"),
    ("_verify_ecdsa_p256_sha256", "signature", "bytes"),
    ("_rfc6979_k_p256_sha256", "message_hash", "bytes"),
    ("_sign_ecdsa_p256_sha256", "message", "bytes"),
    ("public_key_xy_from_jwk", "jwk", "dict"),
    ("private_key_d_from_jwk", "jwk", "dict"),
    ("sign_es256_jwt", "payload", "dict"),
    ("sign_es256_jwt_with_jwk", "payload", "dict"),
    ("sign_es256_jwt_with_jwk", "jwk", "dict"),
    ("verify_es256_jwt", "token", "str"),
]
OPTIONAL_PARAMS = [
    ("generate_es256_keypair_jwk", "kid", "str"),
    ("sign_es256_jwt", "header", "dict"),
    ("sign_es256_jwt_with_jwk", "header", "dict"),
]


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


WRONG_VALUES = {
    "str": [StrSub("YQ"), b"YQ", bytearray(b"YQ"), None, 5],
    "bytes": [BytesSub(b"a"), bytearray(b"a"), memoryview(b"a"), "a", None],
    "dict": [collections.OrderedDict(), collections.defaultdict(int), [], None, "{}"],
}


@pytest.mark.parametrize("name, param, kind", EXACT_PARAMS + OPTIONAL_PARAMS)
def test_exact_types_refuse_subclasses_and_lookalikes(tripwired, name, param, kind):
    fn = FN[name]
    optional = (name, param, kind) in OPTIONAL_PARAMS
    expected = kind + (" or None" if optional else "")
    for value in WRONG_VALUES[kind]:
        if value is None and optional:
            continue
        kwargs = dict(GOOD_ARGS[name], **{param: value})
        name_of = "None" if value is None else type(value).__name__
        assert type_error(fn, **kwargs) == f"{name}() argument '{param}' must be {expected}, not {name_of}"


@pytest.mark.parametrize("name, param, kind", OPTIONAL_PARAMS)
def test_optional_parameters_accept_none(name, param, kind):
    fn = FN[name]
    if name == "generate_es256_keypair_jwk":
        private, public = fn(None)
        assert "kid" not in private and "kid" not in public
    else:
        jwk = {"kty": "EC", "crv": "P-256", "d": "BQ"}
        args = ({"a": 1}, 5) if name == "sign_es256_jwt" else ({"a": 1}, jwk)
        assert fn(*args, **{param: None}) == fn(*args)


def test_parameters_are_checked_in_declaration_order(tripwired):
    sign = FN["sign_es256_jwt"]
    assert type_error(sign, [], "x", 5) == (
        "sign_es256_jwt() argument 'payload' must be dict, not list")
    assert type_error(sign, {}, "x", 5) == (
        "sign_es256_jwt() argument 'private_key_d' must be int, not str")
    assert type_error(sign, {}, 1, 5) == (
        "sign_es256_jwt() argument 'header' must be dict or None, not int")


INT_PARAMS = [
    ("_mod_inv", "value"), ("_mod_inv", "modulus"), ("_scalar_mult", "k"),
    ("_rfc6979_k_p256_sha256", "private_key_d"), ("_sign_ecdsa_p256_sha256", "private_key_d"),
    ("_int_to_b64url_32", "value"), ("sign_es256_jwt", "private_key_d"), ("verify_es256_jwt", "leeway_seconds"),
]


@pytest.mark.parametrize("name, param", INT_PARAMS)
@pytest.mark.parametrize("value", ["1", b"1", bytearray(b"1"), None, [1], object()], ids=repr)
def test_int_parameters_refuse_non_numbers(tripwired, name, param, value):
    kwargs = dict(GOOD_ARGS[name], **{param: value})
    name_of = "None" if value is None else type(value).__name__
    assert type_error(FN[name], **kwargs) == f"{name}() argument '{param}' must be int, not {name_of}"


class IntWithOwnInt(int):
    def __int__(self):
        return 7


class IndexOnly:
    def __index__(self):
        return 6


@pytest.mark.parametrize("value", [
    5.9, -0.5, True, False, fractions.Fraction(11, 2), decimal.Decimal("5.7"), IntWithOwnInt(3), IndexOnly(),
    2 ** 255 + 0.0,
], ids=repr)
def test_int_parameters_convert_any_number_with_int(value):
    assert int(value) != value or type(value) is not int  # a conversion really happens
    assert jwt_es256._int_to_b64url_32(value) == jwt_es256._int_to_b64url_32(int(value))
    assert jwt_es256._scalar_mult(value, G) == jwt_es256._scalar_mult(int(value), G)


@pytest.mark.parametrize("name, param", INT_PARAMS)
def test_int_parameters_pass_the_converted_value_on(name, param):
    samples = {
        "_mod_inv": {"value": 3, "modulus": 7}, "_scalar_mult": {"k": 5, "point": G},
        "_rfc6979_k_p256_sha256": {"private_key_d": 5, "message_hash": bytes(32)},
        "_sign_ecdsa_p256_sha256": {"message": b"m", "private_key_d": 5}, "_int_to_b64url_32": {"value": 5},
        "sign_es256_jwt": {"payload": {"a": 1}, "private_key_d": 5},
        "verify_es256_jwt": {"token": FN["sign_es256_jwt"]({"exp": 10}, 5), "public_key_xy": FN["_scalar_mult"](5, G),
                             "leeway_seconds": 5},
    }

    def run(**kwargs):
        try:
            return ("ok", FN[name](**kwargs))
        except Exception as exc:  # noqa: BLE001
            return ("raise", type(exc), str(exc))

    kwargs = samples[name]
    whole = kwargs[param]
    if name == "verify_es256_jwt":
        whole = 2 ** 31  # a leeway that makes the expired token pass
        kwargs = dict(kwargs, leeway_seconds=whole)
    assert run(**dict(kwargs, **{param: whole + 0.75})) == run(**kwargs)
    assert run(**dict(kwargs, **{param: fractions.Fraction(4 * whole + 3, 4)})) == run(**kwargs)


def test_int_parameters_convert_both_arguments():
    assert jwt_es256._mod_inv(3.9, 7.9) == 5
    assert jwt_es256._mod_inv(fractions.Fraction(7, 2), decimal.Decimal("11.5")) == pow(3, -1, 11)
    assert type(jwt_es256._mod_inv(True, 5.0)) is int


@pytest.mark.parametrize("value", [float("nan"), float("inf"), complex(1, 0), decimal.Decimal("NaN")], ids=repr)
def test_int_parameters_pass_on_what_int_raises(tripwired, value):
    with pytest.raises(Exception) as expected:
        int(value)
    with pytest.raises(type(expected.value)) as got:
        FN['_int_to_b64url_32'](value)
    assert str(got.value) == str(expected.value)


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


class EmptySized:
    def __len__(self):
        return 0


@pytest.mark.parametrize("value", [False, 0, 0.0, "", [], None, Truth(False), EmptySized()], ids=repr)
def test_bool_parameter_false_values(value):
    with pytest.raises(ValueError, match=r"^Non-deterministic signing is not supported$"):
        jwt_es256._sign_ecdsa_p256_sha256(b"m", 5, value)


@pytest.mark.parametrize("value", [True, 1, "no", [0], object(), Truth(True), 0.1], ids=repr)
def test_bool_parameter_true_values(value):
    assert jwt_es256._sign_ecdsa_p256_sha256(b"m", 5, value) == jwt_es256._sign_ecdsa_p256_sha256(b"m", 5)


def test_bool_parameter_error_of_bool_propagates_before_the_body():
    # The key is invalid too, but the truth value is taken on entry.
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        jwt_es256._sign_ecdsa_p256_sha256(b"m", 0, BoolRaises())
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        jwt_es256._sign_ecdsa_p256_sha256(b"m", 0, deterministic=BoolRaises())


# ---------------------------------------------------------------------------
# Introspection


def test_module_holds_the_documented_functions():
    for name in FUNCTIONS:
        fn = FN[name]
        assert type(fn) is _qrl_shared.function
        assert callable(fn)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_names_module_and_doc(name):
    fn = FN[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "quarlopro.jwt_es256"
    assert isinstance(fn.__doc__, str) and fn.__doc__.strip()
    assert "\n" not in fn.__doc__.strip()
    assert name in repr(fn)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_annotations_and_signature(name):
    params, ret = FUNCTIONS[name]
    fn = FN[name]
    annotations = fn.__annotations__
    assert isinstance(annotations, dict)
    for param, _, annotation in params:
        if annotation is not None:
            assert annotations[param] == annotation
    if ret is not None:
        assert annotations["return"] == ret

    sig = inspect.signature(fn)
    assert list(sig.parameters) == [p for p, _, _ in params]
    for param, default, annotation in params:
        p = sig.parameters[param]
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if default is REQUIRED:
            assert p.default is EMPTY
        else:
            assert p.default == default and type(p.default) is type(default)
        if annotation is not None:
            assert p.annotation == annotation
    if ret is not None:
        assert sig.return_annotation == ret
    # the signature binds like the function does
    with pytest.raises(TypeError):
        sig.bind(*range(len(params) + 1))


def test_defaults_tuple():
    assert jwt_es256.verify_es256_jwt.__defaults__ == (None, None, 30)
    assert jwt_es256._sign_ecdsa_p256_sha256.__defaults__ == (True,)
    assert jwt_es256.generate_es256_keypair_jwk.__defaults__ == (None,)
    assert jwt_es256._scalar_mult.__defaults__ is None


def test_documented_annotations_verbatim():
    assert jwt_es256.generate_es256_keypair_jwk.__annotations__ == {'kid': 'str | None', 'return': 'tuple[dict, dict]'}
    assert str(inspect.signature(jwt_es256.generate_es256_keypair_jwk)) == (
        "(kid: 'str | None' = None) -> 'tuple[dict, dict]'")
    assert str(inspect.signature(jwt_es256.verify_es256_jwt)).startswith(
        "(token: 'str', public_key_xy, expected_iss=None, expected_aud=None, leeway_seconds: 'int' = 30)")


# ---------------------------------------------------------------------------
# Method binding


class Point(tuple):
    on_curve = jwt_es256._is_on_curve
    plus = jwt_es256._point_add


class Blob(bytes):
    encode64 = jwt_es256._b64url_encode


def test_functions_bind_as_methods():
    assert Point.on_curve is jwt_es256._is_on_curve
    g = Point(G)
    bound = g.on_curve
    assert isinstance(bound, types.MethodType) and bound.__self__ is g and bound.__func__ is jwt_es256._is_on_curve
    assert g.on_curve() is True
    assert Point((G[0], G[1] + 1)).on_curve() is False
    assert g.plus(jwt_es256._INF) is g
    assert str(inspect.signature(g.plus)) == "(p2)"
    # the instance arrives as the first argument, and is checked as one
    assert type_error(Blob(b"x").encode64) == "_b64url_encode() argument 'data' must be bytes, not Blob"


# ---------------------------------------------------------------------------
# Module order of names (imports, then constants, then functions)


def test_module_binds_imports_then_constants_then_functions():
    import base64, hashlib, hmac, json, secrets, time  # noqa: E401
    for mod in (base64, hmac, hashlib, json, secrets, time):
        assert getattr(jwt_es256, mod.__name__) is mod
    order = list(vars(jwt_es256))
    imports = ["base64", "hmac", "hashlib", "json", "secrets", "time"]
    constants = ["_P256_P", "_P256_A", "_P256_B", "_P256_N", "_P256_GX", "_P256_GY", "_INF"]
    positions = [order.index(n) for n in imports + constants]
    assert positions == sorted(positions)
    assert max(positions) < min(order.index(n) for n in FUNCTIONS)


# ---------------------------------------------------------------------------
# The module guard


def test_reimport_after_removal_gives_the_same_module():
    original = sys.modules.pop("quarlopro.jwt_es256")
    try:
        again = importlib.import_module("quarlopro.jwt_es256")
        assert again is original
        assert again._scalar_mult is original._scalar_mult
        assert quarlopro.jwt_es256 is original
    finally:
        sys.modules["quarlopro.jwt_es256"] = original
        quarlopro.jwt_es256 = original


def test_module_created_again_by_the_import_system_is_the_same_module():
    found = importlib.util.find_spec("quarlopro.jwt_es256")
    assert importlib.util.module_from_spec(found) is jwt_es256


def test_reload_is_harmless():
    scalar_mult = jwt_es256._scalar_mult
    assert importlib.reload(jwt_es256) is jwt_es256
    assert jwt_es256._scalar_mult is scalar_mult
    assert jwt_es256._scalar_mult(2, G) == jwt_es256._point_add(G, G)
    assert importlib.reload(_qrl_shared) is _qrl_shared


def _module_def(init_name):
    init = getattr(ctypes.PyDLL(_qrl_shared.__file__), init_name)
    init.restype = ctypes.c_void_p
    return init()


def _exec_def(module, definition):
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    return exec_def(module, definition)


def _attach_definition(module, definition):
    """Makes a module object carry the definition, as the import system
    does for the module objects it creates from one (md_def follows md_dict
    in the module object)."""
    offset = types.ModuleType.__dictoffset__ + ctypes.sizeof(ctypes.c_void_p)
    ctypes.c_void_p.from_address(id(module) + offset).value = definition


@pytest.mark.parametrize("init_name, short", [("PyInit_jwt_es256", "jwt_es256"), ("PyInit__qrl_shared", "_qrl_shared")])
@pytest.mark.parametrize("attach", [False, True], ids=["plain module object", "module object with the definition"])
def test_initialising_another_module_object_is_refused(init_name, short, attach):
    definition = _module_def(init_name)
    fresh = types.ModuleType("quarlopro.jwt_es256" if short == "jwt_es256" else short)
    if attach:
        _attach_definition(fresh, definition)
    with pytest.raises(RuntimeError) as info:
        _exec_def(fresh, definition)
    assert str(info.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."
    assert "_scalar_mult" not in vars(fresh)
    # the real module is untouched and still works
    assert jwt_es256._scalar_mult(1, G) == G


def test_exec_slot_on_the_module_itself_is_a_no_op():
    assert _exec_def(jwt_es256, _module_def("PyInit_jwt_es256")) == 0
    assert jwt_es256._scalar_mult(1, G) == G


SUBINTERPRETER_SCRIPT = r"""
import sys
sys.path[:0] = {path!r}
import quarlopro.jwt_es256
code = '''
import sys
sys.path[:0] = {path!r}
results = []
for what in ("_qrl_shared", "quarlopro.jwt_es256"):
    try:
        if what == "_qrl_shared":
            import _qrl_shared
        else:
            import importlib.machinery, importlib.util
            loader = importlib.machinery.ExtensionFileLoader(what, {library!r})
            found = importlib.util.spec_from_file_location(what, {library!r}, loader=loader)
            importlib.util.module_from_spec(found)
        results.append(what + " imported")
    except BaseException as exc:
        results.append(what + " " + type(exc).__name__ + ": " + str(exc))
with open({out!r}, "w") as f:
    f.write("\\n".join(results))
'''
if sys.version_info >= (3, 13):
    import _interpreters
    interp = _interpreters.create("legacy")
    _interpreters.exec(interp, code)
    _interpreters.destroy(interp)
elif sys.version_info >= (3, 12):
    import _xxsubinterpreters
    interp = _xxsubinterpreters.create(isolated=False)
    _xxsubinterpreters.run_string(interp, code)
    _xxsubinterpreters.destroy(interp)
else:
    import _testcapi
    _testcapi.run_in_subinterp(code)
# the main interpreter's modules still work afterwards
print(quarlopro.jwt_es256._b64url_encode(b"ok"))
"""


def _subinterpreter_api():
    if sys.version_info >= (3, 13):
        name = "_interpreters"
    elif sys.version_info >= (3, 12):
        name = "_xxsubinterpreters"
    else:
        name = "_testcapi"
    try:
        importlib.import_module(name)
    except ImportError:
        return None
    return name


@pytest.mark.skipif(_subinterpreter_api() is None,
                    reason="this interpreter offers no way to create a legacy subinterpreter from Python")
def test_second_interpreter_is_refused(tmp_path):
    # In a child process: a failure inside a subinterpreter must not take
    # the test run down with it.
    out = tmp_path / "result.txt"
    path = [os.path.dirname(_qrl_shared.__file__), os.path.dirname(os.path.dirname(quarlopro.__file__))]
    script = SUBINTERPRETER_SCRIPT.format(path=path, library=_qrl_shared.__file__, out=str(out))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "b2s"
    message = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert out.read_text().splitlines() == ["_qrl_shared " + message, "quarlopro.jwt_es256 " + message]


# ---------------------------------------------------------------------------
# The GIL declaration

Py_mod_gil = 4
Py_MOD_GIL_NOT_USED = 1


def _slots(init_name):
    """The (slot, value) pairs of a module definition, read from the
    PyModuleDef the init function returns."""
    head = object.__basicsize__  # PyObject_HEAD of this build
    base = head + 3 * ctypes.sizeof(ctypes.c_void_p)  # m_init, m_index, m_copy
    definition = _module_def(init_name)
    name = ctypes.c_char_p.from_address(definition + base).value
    slots_ptr = ctypes.c_void_p.from_address(definition + base + 4 * ctypes.sizeof(ctypes.c_void_p)).value
    pairs = []
    while True:
        slot = ctypes.c_int.from_address(slots_ptr).value
        value = ctypes.c_void_p.from_address(slots_ptr + ctypes.sizeof(ctypes.c_void_p)).value
        if slot == 0:
            return name, pairs
        pairs.append((slot, value))
        slots_ptr += 2 * ctypes.sizeof(ctypes.c_void_p)


@pytest.mark.parametrize("init_name, module_name", [("PyInit_jwt_es256", b"quarlopro.jwt_es256"),
                                                    ("PyInit__qrl_shared", b"_qrl_shared")])
def test_modules_declare_they_do_not_need_the_gil(init_name, module_name):
    name, slots = _slots(init_name)
    assert name == module_name  # the layout was read correctly
    if sys.version_info >= (3, 13):
        assert (Py_mod_gil, Py_MOD_GIL_NOT_USED) in slots
    else:
        # Interpreters before 3.13 do not know the slot (and would refuse it).
        assert Py_mod_gil not in [s for s, _ in slots]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_gil_stays_disabled_after_import():
    code = textwrap.dedent(f"""
        import sys, warnings
        sys.path[:0] = {[os.path.dirname(_qrl_shared.__file__), os.path.dirname(os.path.dirname(quarlopro.__file__))]!r}
        warnings.simplefilter("error")
        import quarlopro.jwt_es256
        print(sys._is_gil_enabled())
    """)
    done = subprocess.run([sys.executable, "-X", "gil=0", "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"


# ---------------------------------------------------------------------------
# The package loader

SEVEN = ["main", "keygen", "sign", "license", "jwt_es256", "decodekey", "protemplate"]


def _finder():
    finders = [f for f in sys.meta_path if getattr(f, "__qualname__", None) == "_LibraryFinder"]
    assert len(finders) == 1
    return finders[0]


@pytest.mark.parametrize("name", SEVEN)
def test_loader_maps_the_seven_modules_to_the_library(name):
    found = _finder().find_spec("quarlopro." + name)
    assert found is not None and found.name == "quarlopro." + name
    assert found.origin == _qrl_shared.__file__
    assert isinstance(found.loader, importlib.machinery.ExtensionFileLoader)


@pytest.mark.parametrize("fullname", [
    "quarlopro.nonexistent", "quarlopro.Main", "quarlopro.jwt_es256x", "quarlopro.jwt_es256.sub", "jwt_es256",
    "main", "other.main", "quarlopro", "quarlopro._qrl_shared", "quarlopro.", "xquarlopro.main",
])
def test_loader_answers_nothing_else(fullname):
    assert _finder().find_spec(fullname) is None


def test_import_of_an_unknown_submodule_fails():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("quarlopro.nonexistent")


def test_package_reimport_keeps_one_finder():
    importlib.reload(quarlopro)
    _finder()
    assert importlib.import_module("quarlopro.jwt_es256") is jwt_es256

