"""What a key file holds, in words, for error messages.

The plug-in reads EC keys on P-256 only. When a command fails on a key file
of another kind, the library's message says what it could not parse
("Invalid EC private key version"); this module says what the file is
instead ("an RSA private key"), from its PEM label and, for PKCS#8 and
SubjectPublicKeyInfo blocks, the algorithm named inside. It only reads;
anything it does not recognise gets no description.
"""

from __future__ import annotations

import base64
import binascii
import re
from pathlib import Path

NEEDED = "quarlo needs an EC key on P-256"
# More than any key file; a larger file is described by its first part.
READ_LIMIT = 1 << 20

_BLOCK = re.compile(r"-----BEGIN ([A-Z0-9 ]+)-----\r?\n(.*?)-----END \1-----", re.DOTALL)

# Labels whose blocks are never an EC key quarlo can read.
_OTHER_LABELS = {
    "RSA PRIVATE KEY": "an RSA private key",
    "RSA PUBLIC KEY": "an RSA public key",
    "DSA PRIVATE KEY": "a DSA private key",
    "OPENSSH PRIVATE KEY": "an OpenSSH private key; quarlo needs an EC key on P-256 in PEM form",
    "ENCRYPTED PRIVATE KEY": "an encrypted private key; quarlo needs it unencrypted, as `openssl pkey` writes it",
    "CERTIFICATE": "a certificate, not a key",
    "CERTIFICATE REQUEST": "a certificate request, not a key",
    "NEW CERTIFICATE REQUEST": "a certificate request, not a key",
    "EC PARAMETERS": "EC parameters, not a key",
    "DSA PARAMETERS": "DSA parameters, not a key",
}

# Algorithm identifiers of PKCS#8 and SubjectPublicKeyInfo, as dotted OIDs.
_ALGORITHMS = {
    "1.2.840.113549.1.1.1": "RSA",
    "1.2.840.113549.1.1.10": "RSA-PSS",
    "1.2.840.10040.4.1": "DSA",
    "1.2.840.113549.1.3.1": "Diffie-Hellman",
    "1.2.840.10046.2.1": "Diffie-Hellman",
    "1.3.101.110": "X25519",
    "1.3.101.111": "X448",
    "1.3.101.112": "Ed25519",
    "1.3.101.113": "Ed448",
}
_EC_ALGORITHMS = {"1.2.840.10045.2.1", "1.3.132.1.12"}  # id-ecPublicKey, id-ecDH
_P256 = "1.2.840.10045.3.1.7"
_CURVES = {
    "1.3.132.0.34": "P-384",
    "1.3.132.0.35": "P-521",
    "1.2.840.10045.3.1.1": "P-192",
    "1.3.132.0.33": "P-224",
    "1.3.132.0.10": "secp256k1",
    "1.3.36.3.3.2.8.1.1.7": "brainpoolP256r1",
    "1.2.156.10197.1.301": "SM2",
}

_OID, _SEQUENCE, _NULL, _CONTEXT_0 = 0x06, 0x30, 0x05, 0xA0


def describe(path: Path) -> str | None:
    """"an RSA private key; quarlo needs an EC key on P-256" for a PEM file
    that quarlo cannot use, or None: for an EC key on P-256 (whatever else is
    wrong with it), a file that cannot be read, or one that holds no PEM."""
    try:
        if not Path(path).is_file():  # a FIFO could keep the error waiting for a writer
            return None
        with open(path, "rb") as file:
            text = file.read(READ_LIMIT).decode("ascii", "replace")
    except (OSError, ValueError):
        return None
    blocks = _BLOCK.findall(text)
    keys = [(label, body) for label, body in blocks if not label.endswith(" PARAMETERS")] or blocks
    if not keys:
        return None
    label, body = keys[0]
    kind = _OTHER_LABELS.get(label)
    if kind is None and "Proc-Type: 4,ENCRYPTED" in body:
        kind = "an encrypted private key; quarlo needs it unencrypted, as `openssl ec` writes it"
    if kind is None:
        try:
            kind = _describe_der(label, base64.b64decode(_armour_body(body)))
        except (ValueError, IndexError, binascii.Error):
            return None
    if not kind:
        return None
    return kind if "; quarlo needs" in kind else f"{kind}; {NEEDED}"


def _armour_body(body: str) -> str:
    """The Base64 text of a PEM block, without its headers ("Key: value")."""
    return "".join(line.strip() for line in body.splitlines() if ":" not in line)


def _describe_der(label: str, der: bytes) -> str | None:
    tag, outer, _ = _read(der, 0)
    if tag != _SEQUENCE:
        return None
    items = list(_items(outer))
    if label == "PRIVATE KEY":  # PKCS#8: version, algorithm, key
        return _describe_algorithm(items[1], "private key")
    if label == "PUBLIC KEY":  # SubjectPublicKeyInfo: algorithm, key
        return _describe_algorithm(items[0], "public key")
    if label == "EC PRIVATE KEY":  # SEC1: version, key, [0] parameters, [1] public key
        parameters = [value for tag, value in items if tag == _CONTEXT_0]
        return _describe_curve(_read(parameters[0], 0)[:2], "EC private key") if parameters else None
    return None


def _describe_algorithm(item: tuple[int, bytes], what: str) -> str | None:
    tag, value = item
    if tag != _SEQUENCE:
        return None
    parts = list(_items(value))
    if parts[0][0] != _OID:
        return None
    algorithm = _dotted(parts[0][1])
    if algorithm in _EC_ALGORITHMS:
        return _describe_curve(parts[1] if len(parts) > 1 else (_NULL, b""), f"EC {what}")
    name = _ALGORITHMS.get(algorithm)
    if name is None:
        return f"a {what} of the algorithm {algorithm}"
    return f"{'an' if name[0] in 'AEIRX' else 'a'} {name} {what}"


def _describe_curve(parameters: tuple[int, bytes], what: str) -> str | None:
    tag, value = parameters
    if tag == _SEQUENCE:
        return (f"an {what} with explicit curve parameters; quarlo needs an EC key on P-256 that names "
                "its curve, as `openssl ec -param_enc named_curve` writes it")
    if tag != _OID:
        return f"an {what} without a named curve"
    curve = _dotted(value)
    return None if curve == _P256 else f"an {what} on {_CURVES.get(curve, 'the curve ' + curve)}"


def _read(data: bytes, i: int) -> tuple[int, bytes, int]:
    """(tag, value, next index) of the DER element at i."""
    tag, length = data[i], data[i + 1]
    i += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[i:i + count], "big")
        i += count
    value = data[i:i + length]
    if len(value) != length:
        raise ValueError("truncated DER")
    return tag, value, i + length


def _items(data: bytes):
    i = 0
    while i < len(data):
        tag, value, i = _read(data, i)
        yield tag, value


def _dotted(oid: bytes) -> str:
    numbers, value = [], 0
    for byte in oid:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    first = min(numbers[0] // 40, 2)
    return ".".join(map(str, [first, numbers[0] - 40 * first, *numbers[1:]]))
