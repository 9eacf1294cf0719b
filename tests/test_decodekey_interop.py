"""decodekey with real peers: keys of the cryptography package and of the
openssl command, and the Wycheproof public keys."""

import base64
import re
import shutil
import subprocess

import pytest

from quarlopro import decodekey as dk

# The curve's class in cryptography, its name in openssl, its size in bytes
CURVES = {"P-256": ("SECP256R1", "prime256v1", 32), "P-384": ("SECP384R1", "secp384r1", 48),
          "P-521": ("SECP521R1", "secp521r1", 66)}


def b64u(value, size):
    return base64.urlsafe_b64encode(value.to_bytes(size, "big")).rstrip(b"=").decode()


def jwk_of(crv, d=None, point=None):
    """The JWK of a key given as its scalar and/or uncompressed point."""
    size = CURVES[crv][2]
    jwk = {"kty": "EC", "crv": crv}
    if d is not None:
        jwk["d"] = b64u(d, size)
    if point is not None:
        jwk.update(x=b64u(int.from_bytes(point[1:1 + size], "big"), size), y=b64u(int.from_bytes(point[1 + size:], "big"), size))
    return jwk


def point_of(public_key):
    ser = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    return public_key.public_bytes(ser.Encoding.X962, ser.PublicFormat.UncompressedPoint)

# ---------------------------------------------------------------------------
# cryptography


def cryptography_keys(crv):
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    curve = getattr(ec, CURVES[crv][0])()
    return [ec.derive_private_key(d, curve) for d in (1, 2**64 + 7)] + [ec.generate_private_key(curve) for _ in range(3)]


@pytest.mark.parametrize("crv", CURVES)
def test_keys_of_cryptography_are_read(crv):
    ser = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    for key in cryptography_keys(crv):
        d, point = key.private_numbers().private_value, point_of(key.public_key())
        public = key.public_key()
        for encoding, read in ((ser.Encoding.PEM, lambda t: dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(t.decode()))),
                               (ser.Encoding.DER, dk.der_spki_ec_to_jwk)):
            assert read(public.public_bytes(encoding, ser.PublicFormat.SubjectPublicKeyInfo)) == jwk_of(crv, point=point)
        for form in (ser.PrivateFormat.PKCS8, ser.PrivateFormat.TraditionalOpenSSL):
            pem = key.private_bytes(ser.Encoding.PEM, form, ser.NoEncryption()).decode()
            der = key.private_bytes(ser.Encoding.DER, form, ser.NoEncryption())
            assert dk.pem_private_key_to_jwk(pem) == dk.der_ec_private_key_to_jwk(der) == jwk_of(crv, d, point)


@pytest.mark.parametrize("crv", CURVES)
def test_pem_written_here_is_what_cryptography_writes(crv):
    ser = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    for key in cryptography_keys(crv):
        d, point = key.private_numbers().private_value, point_of(key.public_key())
        private_pem = dk.jwk_to_pem(jwk_of(crv, d, point))
        assert private_pem.encode() == key.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8, ser.NoEncryption())
        public_pem = dk.jwk_to_pem(jwk_of(crv, point=point))
        assert public_pem.encode() == key.public_key().public_bytes(ser.Encoding.PEM,
                                                                    ser.PublicFormat.SubjectPublicKeyInfo)
        # Without the public point the key still loads, and the peer derives the same point.
        loaded = ser.load_pem_private_key(dk.jwk_private_key_to_pem(jwk_of(crv, d)).encode(), None)
        assert loaded.private_numbers().private_value == d and point_of(loaded.public_key()) == point

# ---------------------------------------------------------------------------
# openssl

openssl_available = pytest.mark.skipif(shutil.which("openssl") is None, reason="no openssl command")


def openssl(*args, text=""):
    return subprocess.run(["openssl", *args], input=text, capture_output=True, text=True, check=True).stdout


def openssl_numbers(key_text, *args):
    """(d or None, uncompressed point) as `openssl pkey -text` prints them."""
    fields = dict(re.findall(r"^(priv|pub):\n((?:[ ]+[0-9a-f:]+\n)+)", openssl("pkey", *args, "-text", "-noout",
                                                                                text=key_text), re.M))
    octets = {name: bytes.fromhex(re.sub(r"[\s:]", "", value)) for name, value in fields.items()}
    return (int.from_bytes(octets["priv"], "big") if "priv" in octets else None), octets["pub"]


@openssl_available
@pytest.mark.parametrize("crv", CURVES)
def test_keys_of_openssl_are_read(crv):
    sec1 = openssl("ecparam", "-name", CURVES[crv][1], "-genkey", "-noout")
    d, point = openssl_numbers(sec1)
    full, bare = jwk_of(crv, d, point), jwk_of(crv, d)
    no_public = openssl("ec", "-no_public", text=sec1)
    compressed = openssl("ec", "-conv_form", "compressed", text=sec1)
    for text, expected in [(sec1, full), (openssl("pkey", text=sec1), full), (no_public, bare),
                           (openssl("pkey", text=no_public), bare), (compressed, bare)]:
        assert dk.pem_private_key_to_jwk(text) == expected
    public = openssl("pkey", "-pubout", text=sec1)
    assert dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(public)) == jwk_of(crv, point=point)


@openssl_available
@pytest.mark.parametrize("crv", CURVES)
def test_pem_written_here_loads_in_openssl(crv):
    d, point = openssl_numbers(openssl("ecparam", "-name", CURVES[crv][1], "-genkey", "-noout"))
    for jwk in (jwk_of(crv, d, point), jwk_of(crv, d)):
        written = dk.jwk_to_pem(jwk)
        assert openssl_numbers(written) == (d, point)
        assert "valid" in openssl("pkey", "-check", "-noout", text=written).lower()
    assert openssl_numbers(dk.jwk_to_pem(jwk_of(crv, point=point)), "-pubin") == (None, point)


@openssl_available
@pytest.mark.parametrize("args, read, message", [
    (("ec", "-param_enc", "explicit"), dk.pem_private_key_to_jwk, "Invalid EC private key curve params"),
    (("ec", "-pubout", "-param_enc", "explicit"), lambda t: dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(t)),
     "Invalid algorithm OIDs"),
    (("ec", "-pubout", "-conv_form", "compressed"), lambda t: dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(t)),
     "Only uncompressed EC points are supported"),
])
def test_openssl_forms_outside_the_supported_ones(args, read, message):
    text = openssl(*args, text=openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout"))
    with pytest.raises(ValueError, match=f"^{message}$"):
        read(text)

# ---------------------------------------------------------------------------
# Wycheproof


@pytest.mark.parametrize("name, crv", [("ecdsa_secp256r1_sha256_p1363_test.json", "P-256"),
                                       ("ecdsa_secp384r1_sha384_test.json", "P-384"),
                                       ("ecdsa_secp521r1_sha512_test.json", "P-521")])
def test_wycheproof_public_keys(wycheproof, name, crv):
    groups = wycheproof(name)["testGroups"]
    with_jwk = [group for group in groups if "publicKeyJwk" in group]
    for group in groups:
        der, point = bytes.fromhex(group["publicKeyDer"]), bytes.fromhex(group["publicKey"]["uncompressed"])
        assert dk.der_spki_ec_to_jwk(der) == jwk_of(crv, point=point)
        assert dk.pem_public_key_to_der(group["publicKeyPem"]) == der
        assert dk.jwk_public_key_to_pem(jwk_of(crv, point=point)) == group["publicKeyPem"]
    for group in with_jwk:
        jwk = group["publicKeyJwk"]
        assert list(dk.der_spki_ec_to_jwk(bytes.fromhex(group["publicKeyDer"]), kid=jwk["kid"]).items()) == list(
            jwk.items())
    assert len(groups) > 50 and (crv != "P-256" or len(with_jwk) > 50)
