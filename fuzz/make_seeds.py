"""Writes the seed inputs of the fuzz targets into fuzz/seeds/<target>/.

The seeds are committed; run this again only to change them. Keys come from
the `cryptography` package with fixed private values, tokens from the fixed
key of harnesses.py, so the output is the same on every run.

    PYTHONPATH=build/<dir>:.:tests python fuzz/make_seeds.py
"""

import hashlib
import json
import pathlib
import shutil

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

import harnesses

HERE = pathlib.Path(__file__).resolve().parent

jwt, ref = harnesses.jwt, harnesses.ref
CURVES = {"P-256": ec.SECP256R1(), "P-384": ec.SECP384R1(), "P-521": ec.SECP521R1()}
PEM, DER = serialization.Encoding.PEM, serialization.Encoding.DER
SEC1, PKCS8 = serialization.PrivateFormat.TraditionalOpenSSL, serialization.PrivateFormat.PKCS8
SPKI = serialization.PublicFormat.SubjectPublicKeyInfo
NONE = serialization.NoEncryption()


def keys():
    for index, (name, curve) in enumerate(CURVES.items()):
        yield name, ec.derive_private_key(0x1234567 + 1000 * index, curve)


def b64u(data: bytes) -> str:
    return jwt._b64url_encode(data)


def jwk_of(name, key, private=True):
    numbers = key.private_numbers()
    size = harnesses.dk.CURVES_BY_NAME[name][1]
    jwk = {"kty": "EC", "crv": name, "x": b64u(numbers.public_numbers.x.to_bytes(size, "big")),
           "y": b64u(numbers.public_numbers.y.to_bytes(size, "big"))}
    if private:
        jwk["d"] = b64u(numbers.private_value.to_bytes(size, "big"))
    return jwk


def token_seed(mode: int, header, payload) -> bytes:
    text = lambda value: value if isinstance(value, bytes) else json.dumps(value, separators=(",", ":")).encode()
    return bytes([mode]) + text(header) + b"\n" + text(payload)


def seeds() -> dict:
    out = {name: [] for name in harnesses.HARNESSES}
    for name, key in keys():
        spki = key.public_key().public_bytes(DER, SPKI)
        sec1 = key.private_bytes(DER, SEC1, NONE)
        pkcs8 = key.private_bytes(DER, PKCS8, NONE)
        out["spki_to_jwk"].append(spki)
        out["ec_private_key_to_jwk"] += [sec1, pkcs8]
        out["read_tlv"] += [bytes([4]) + spki, bytes([6]) + sec1, bytes([0x80]) + bytes(8) + b"\x02" + pkcs8]
        out["parse_oid"].append(harnesses.dk.CURVES_BY_NAME[name][0])
        out["pem_public_key"].append(key.public_key().public_bytes(PEM, SPKI))
        out["pem_private_key"] += [key.private_bytes(PEM, SEC1, NONE), key.private_bytes(PEM, PKCS8, NONE)]
        out["jwk_public_to_pem"].append(json.dumps(jwk_of(name, key, private=False)).encode())
        out["jwk_private_to_pem"].append(json.dumps(jwk_of(name, key)).encode())
    # Text variants: CRLF line ends, text around the block, a body on one line.
    pem = out["pem_public_key"][0].decode()
    out["pem_public_key"] += [pem.replace("\n", "\r\n").encode(), b"prefix\n" + pem.encode() + b"trailer\n",
                              "".join(pem.split("\n")[1:-2]).join(["-----BEGIN PUBLIC KEY-----",
                                                                   "-----END PUBLIC KEY-----"]).encode()]
    # Member-by-member JWK descriptions (see harnesses._jwk_from).
    out["jwk_public_to_pem"].append(bytes([1 | 1 << 2, 1 | 4 << 2, 2 | 16 << 2]) + bytes(32) + bytes([2 | 16 << 2])
                                    + bytes(range(32)))
    out["jwk_private_to_pem"].append(bytes([1 | 1 << 2, 1 | 4 << 2, 0, 0, 2 | 16 << 2]) + bytes(range(1, 33)))
    out["parse_oid"] += [harnesses.dk.OID_EC_PUBLIC_KEY, bytes.fromhex("8837"), bytes.fromhex("2A80"),
                         bytes.fromhex("2A86")]

    # DER signatures: strict, lenient forms the reader accepts, broken ones.
    r, s = 0x1234 << 200, (1 << 255) + 77
    out["der_signature"] += [ref.der_signature(r, s), ref.der_signature(1, 2), bytes.fromhex("3006020101020102"),
                             bytes.fromhex("308106020101020102"), bytes.fromhex("30820006020101020102"),
                             bytes.fromhex("3008020300000502010700")]
    wycheproof = json.loads((harnesses.ROOT / "tests/vectors/wycheproof/ecdsa_secp256r1_sha256_test.json").read_text())
    cases = [case for group in wycheproof["testGroups"] for case in group["tests"]]
    out["der_signature"] += [bytes.fromhex(case["sig"]) for case in cases[::40]]

    # Tokens: header and payload JSON signed with the fixed key (modes 1-3),
    # and a whole token as text (mode 0).
    now = harnesses.NOW
    header = {"alg": "ES256", "typ": "JWT"}
    claims = {"sub": "a", "iat": now, "nbf": now, "exp": now + 60, "iss": "issuer", "aud": ["x", "audience"]}
    out["verify_token"] += [
        token_seed(1, header, claims), token_seed(2, header, claims), token_seed(1 | 4 | 8, header, claims),
        token_seed(1 | 16, header, {"exp": now - 10, "nbf": str(now), "iat": now + 0.5}),
        token_seed(1 | 8, {"alg": "ES256"}, {"aud": "audience"}), token_seed(1, {"alg": "none"}, {}),
        token_seed(1, header, [1, 2]), token_seed(1, header, b'{"exp": 1e400}'), token_seed(1, [], {}),
        bytes([3]) + b"eyJhbGciOiJFUzI1NiJ9\ne30",
    ]
    token = jwt.sign_es256_jwt(claims, harnesses.SIGNING_KEY)
    out["verify_token"] += [b"\x00" + token.encode(), b"\x00" + token.rsplit(".", 1)[0].encode()]
    out["b64url_decode"] += [b"", b"YQ", b"YQ==", b"-_8", token.split(".")[0].encode(), b"A", b"\xc3\xa9"]
    return out


def main() -> None:
    root = HERE / "seeds"
    shutil.rmtree(root, ignore_errors=True)
    for name, inputs in seeds().items():
        directory = root / name
        directory.mkdir(parents=True)
        for data in inputs:
            (directory / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)
        print(f"{name}: {len(inputs)} seeds")


if __name__ == "__main__":
    main()
