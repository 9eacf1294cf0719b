"""The texts of quarlopro.protemplate: the declaration line, the layout of the
code template, its constants and its Tempita markers. (Their behaviour once
compiled is tested end to end in test_build.py.)"""

import re

import pytest
from Cython.Tempita import Template

import quarlopro.protemplate as protemplate

TEMPLATE = protemplate.proBootstrapTemplate
FUNCTIONS = ["_rt_b64url_decode(text)", "_rt_mod_inv(value, modulus)", "_rt_point_add(p1, p2)",
             "_rt_scalar_mult(k, point)", "_rt_is_on_curve(point)", "_rt_verify_ecdsa_p256_sha256(message, signature)",
             "_rt_der_ecdsa_signature_to_raw64(signature)",
             "_runtime_verify_es256_jwt(token, expected_iss=None, expected_aud=None)"]


def function_body(name: str) -> str:
    return TEMPLATE.split(f"cdef {name}(")[1].split("\ncdef ")[0]


def test_declaration_text():
    assert protemplate.proBootstrapPxdTemplate == (
        "\ncdef _runtime_verify_es256_jwt(token, expected_iss=*, expected_aud=*)\n")
    assert len(protemplate.proBootstrapPxdTemplate) == 71


def test_layout():
    assert TEMPLATE.startswith("\n\nimport base64\nimport hashlib\n")
    assert re.findall(r"^(?:import|from) .*$", TEMPLATE, re.MULTILINE) == ["import base64", "import hashlib"]
    assert re.findall(r"^cdef (\w+) = ", TEMPLATE, re.MULTILINE) == [
        "_P256_P", "_P256_A", "_P256_B", "_P256_N", "_P256_GX", "_P256_GY", "_INF"]
    assert "cdef _P256_A = _P256_P - 3\n" in TEMPLATE and "cdef _INF = (None, None)\n" in TEMPLATE
    assert re.findall(r"^cdef (\w+\(.*\)):$", TEMPLATE, re.MULTILINE) == FUNCTIONS
    assert "\t" not in TEMPLATE
    assert all((len(line) - len(line.lstrip(" "))) % 4 == 0 for line in TEMPLATE.splitlines())


def test_constants_are_the_p256_parameters():
    values = {name: int(value, 16) for name, value in
              re.findall(r"^cdef (_P256_\w+) = 0x([0-9A-F]+)$", TEMPLATE, re.MULTILINE)}
    assert set(values) == {"_P256_P", "_P256_B", "_P256_N", "_P256_GX", "_P256_GY"}
    # The base point, as an independent library computes it (1·G).
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    g = ec.derive_private_key(1, ec.SECP256R1()).public_key().public_numbers()
    assert (values["_P256_GX"], values["_P256_GY"]) == (g.x, g.y)
    p, b = values["_P256_P"], values["_P256_B"]
    assert p == 2**256 - 2**224 + 2**192 + 2**96 - 1
    assert (g.y * g.y - (g.x**3 + (p - 3) * g.x + b)) % p == 0
    # n is the group order: multiplying a key by n - 1 gives its negative.
    assert ec.derive_private_key(values["_P256_N"] - 1, ec.SECP256R1()).public_key().public_numbers().y == p - g.y


def test_markers_sit_in_the_signature_check():
    markers = re.findall(r"^( *)(\{\{.*?\}\})", TEMPLATE, re.MULTILINE)
    assert [m[1] for m in markers] == ["{{if runtimeJwtPublic}}", "{{else}}", "{{endif}}"]
    assert all(indent == "    " for indent, _ in markers)
    assert TEMPLATE.count("{{") == 4 and "    blockXy = {{runtimeJwtPublic}}\n" in TEMPLATE
    assert function_body("_rt_verify_ecdsa_p256_sha256").count("{{") == 4


def test_messages():
    der = function_body("_rt_der_ecdsa_signature_to_raw64")
    assert re.findall(r'raise ValueError\("([^"]+)"\)', der) == [
        "Not a DER ECDSA signature", "Invalid DER length", "Invalid DER length", "Invalid DER sequence length",
        "Invalid DER INTEGER r", "Invalid DER INTEGER r length", "Invalid DER INTEGER r", "Invalid DER INTEGER s",
        "Invalid DER INTEGER s length", "Invalid DER INTEGER s", "ECDSA integer too large for P-256"]
    verify = function_body("_runtime_verify_es256_jwt")
    assert re.findall(r'raise ValueError\("([^"]+)"\)', verify) == [
        "Unexpected alg", "Unexpected typ", "Invalid signature", "Token expired", "Token not yet valid",
        "Invalid iat", "Invalid issuer", "Invalid audience", "Invalid audience", "Invalid audience"]


@pytest.mark.parametrize("block", [None, bytes(range(64)), b"'\"\\\n" * 16])
def test_rendering_embeds_the_block_as_a_literal(block):
    rendered = Template(TEMPLATE).substitute(runtimeJwtPublic=block)
    assert "{{" not in rendered
    body = rendered.split("cdef _rt_verify_ecdsa_p256_sha256(")[1].split("\ncdef ")[0]
    if block is None:
        assert "blockXy" not in body
    else:
        line = next(line for line in body.splitlines() if "blockXy = " in line)
        assert line == f"    blockXy = {block!r}"
        assert "    return False\n    if not _rt_is_on_curve(q)" not in body
