"""The base64 calls of jwt_es256 and decodekey go straight to binascii only
while the standard module and everything its functions rely on are as they
were at import; results and errors are those of the module's functions."""

import base64
import binascii

import pytest

from quarlopro import decodekey, jwt_es256
from reference import outcome

PEM = decodekey.jwk_public_key_to_pem(jwt_es256.generate_es256_keypair_jwk()[1])

# (call, what the plain standard library gives for the same input)
CALLS = {
    "_b64url_decode": (lambda t: jwt_es256._b64url_decode(t),
                       lambda t: base64.urlsafe_b64decode(t + "=" * (-len(t) % 4))),
    "_b64u_decode": (lambda t: decodekey._b64u_decode(t),
                     lambda t: base64.urlsafe_b64decode(t + "=" * (-len(t) % 4))),
}
DECODE_INPUTS = ["", "YQ", "YQ==", "-_8", "+/8", "a", "YQ=x", "Y Q\n", "é", "YQ\x00", "A" * 4001, "=="]


@pytest.mark.parametrize("name", sorted(CALLS))
@pytest.mark.parametrize("text", DECODE_INPUTS)
def test_decoding_gives_what_the_standard_functions_give(name, text):
    ours, plain = CALLS[name]
    assert outcome(ours, text) == outcome(plain, text)


@pytest.mark.parametrize("data", [b"", b"\xfb\xff", bytes(range(256)), b"x" * 1000])
def test_encoding_gives_what_the_standard_functions_give(data):
    expected = base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
    assert jwt_es256._b64url_encode(data) == expected == decodekey._b64u(data)


# Each piece the base64 functions rely on, replaced by a counting wrapper:
# the replacement must be called and the results stay the same.
PIECES = [
    (base64, "urlsafe_b64decode"), (base64, "urlsafe_b64encode"), (base64, "b64decode"), (base64, "b64encode"),
    (base64, "_bytes_from_decode_data"), (binascii, "a2b_base64"), (binascii, "b2a_base64"),
]


def run_everything():
    return (jwt_es256._b64url_decode("-_8"), jwt_es256._b64url_encode(b"\xfb\xff"), decodekey._b64u_decode("_w"),
            decodekey._b64u(b"\xff"), decodekey.pem_public_key_to_der(PEM), decodekey._pem_armor("X", b"\x00" * 50))


@pytest.mark.parametrize("module, attribute", PIECES, ids=lambda p: getattr(p, "__name__", p))
def test_a_replaced_piece_is_called(monkeypatch, module, attribute):
    expected = run_everything()
    calls = []
    original = getattr(module, attribute)

    def counting(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(module, attribute, counting)
    assert run_everything() == expected
    assert calls, f"{module.__name__}.{attribute} was bypassed"


def test_a_replaced_translation_table_is_used(monkeypatch):
    # A table that leaves '-' alone makes "-_8" decode differently, through the wrapper.
    table = bytes.maketrans(b"_", b"/")
    monkeypatch.setattr(base64, "_urlsafe_decode_translation", table)
    for text in ("-_8", "-_8A", "A-_8"):
        ours = outcome(jwt_es256._b64url_decode, text)
        assert ours == outcome(base64.urlsafe_b64decode, text + "=" * (-len(text) % 4))
        assert ours != outcome(lambda t: base64.b64decode(t.translate({45: 43, 95: 47}) + "=" * (-len(t) % 4)), text)


def test_a_replaced_base64_global_is_called(monkeypatch):
    fake = type("FakeBase64", (), {"urlsafe_b64decode": staticmethod(lambda s: b"fake:" + s.encode())})
    monkeypatch.setattr(jwt_es256, "base64", fake)
    assert jwt_es256._b64url_decode("YQ") == b"fake:YQ=="
