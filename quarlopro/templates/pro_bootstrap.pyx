

import base64
import hashlib

cdef _P256_P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
cdef _P256_A = _P256_P - 3
cdef _P256_B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
cdef _P256_N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
cdef _P256_GX = 0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296
cdef _P256_GY = 0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5
cdef _INF = (None, None)


cdef _rt_b64url_decode(text):
    padded_text = text + "=" * ((-len(text)) % 4)
    return base64.urlsafe_b64decode(padded_text)


cdef _rt_mod_inv(value, modulus):
    return pow(value, -1, modulus)


cdef _rt_point_add(p1, p2):
    if p1 == _INF:
        return p2
    if p2 == _INF:
        return p1
    x1, y1 = p1
    x2, y2 = p2
    if x1 == x2 and (y1 + y2) % _P256_P == 0:
        return _INF
    if p1 == p2:
        slope = ((3 * x1 * x1 + _P256_A) * _rt_mod_inv(2 * y1 % _P256_P, _P256_P)) % _P256_P
    else:
        slope = ((y2 - y1) * _rt_mod_inv((x2 - x1) % _P256_P, _P256_P)) % _P256_P
    x3 = (slope * slope - x1 - x2) % _P256_P
    y3 = (slope * (x1 - x3) - y1) % _P256_P
    return (x3, y3)


cdef _rt_scalar_mult(k, point):
    result = _INF
    addend = point
    while k:
        if k & 1:
            result = _rt_point_add(result, addend)
        addend = _rt_point_add(addend, addend)
        k >>= 1
    return result


cdef _rt_is_on_curve(point):
    if point == _INF:
        return True
    x, y = point
    if not (0 <= x < _P256_P and 0 <= y < _P256_P):
        return False
    return (y * y - (x * x * x + _P256_A * x + _P256_B)) % _P256_P == 0


cdef _rt_verify_ecdsa_p256_sha256(message, signature):
    if len(signature) != 64:
        return False
    r = int.from_bytes(signature[:32], "big")
    s = int.from_bytes(signature[32:], "big")
    if not (1 <= r < _P256_N and 1 <= s < _P256_N):
        return False
    {{if runtimeJwtPublic}}
    blockXy = {{runtimeJwtPublic}}
    x = int.from_bytes(blockXy[:32], byteorder='big')
    y = int.from_bytes(blockXy[32:64], byteorder='big')
    q = (x, y)
    {{else}}
    return False
    {{endif}}
    if not _rt_is_on_curve(q) or q == _INF:
        return False
    if _rt_scalar_mult(_P256_N, q) != _INF:
        return False
    e = int.from_bytes(hashlib.sha256(message).digest(), "big")
    w = _rt_mod_inv(s, _P256_N)
    u1 = (e * w) % _P256_N
    u2 = (r * w) % _P256_N
    x, _ = _rt_point_add(_rt_scalar_mult(u1, (_P256_GX, _P256_GY)), _rt_scalar_mult(u2, q))
    if x is None:
        return False
    return (x % _P256_N) == r


cdef _rt_der_ecdsa_signature_to_raw64(signature):
    if len(signature) < 8 or signature[0] != 0x30:
        raise ValueError("Not a DER ECDSA signature")
    i = 1
    seq_len = signature[i]
    i += 1
    if seq_len & 0x80:
        n = seq_len & 0x7F
        if n == 0 or n > 2:
            raise ValueError("Invalid DER length")
        if i + n > len(signature):
            raise ValueError("Invalid DER length")
        seq_len = int.from_bytes(signature[i:i + n], "big")
        i += n
    if i + seq_len != len(signature):
        raise ValueError("Invalid DER sequence length")
    if i >= len(signature) or signature[i] != 0x02:
        raise ValueError("Invalid DER INTEGER r")
    i += 1
    if i >= len(signature):
        raise ValueError("Invalid DER INTEGER r length")
    r_len = signature[i]
    i += 1
    if r_len == 0 or i + r_len > len(signature):
        raise ValueError("Invalid DER INTEGER r")
    r_bytes = signature[i:i + r_len]
    i += r_len
    if i >= len(signature) or signature[i] != 0x02:
        raise ValueError("Invalid DER INTEGER s")
    i += 1
    if i >= len(signature):
        raise ValueError("Invalid DER INTEGER s length")
    s_len = signature[i]
    i += 1
    if s_len == 0 or i + s_len != len(signature):
        raise ValueError("Invalid DER INTEGER s")
    s_bytes = signature[i:i + s_len]
    while len(r_bytes) > 1 and r_bytes[0] == 0x00:
        r_bytes = r_bytes[1:]
    while len(s_bytes) > 1 and s_bytes[0] == 0x00:
        s_bytes = s_bytes[1:]
    if len(r_bytes) > 32 or len(s_bytes) > 32:
        raise ValueError("ECDSA integer too large for P-256")
    return r_bytes.rjust(32, b"\x00") + s_bytes.rjust(32, b"\x00")


cdef _runtime_verify_es256_jwt(token, expected_iss=None, expected_aud=None):
    header_b64, payload_b64, signature_b64 = token.split(".")
    header = json.loads(_rt_b64url_decode(header_b64))
    payload = json.loads(_rt_b64url_decode(payload_b64))
    signature = _rt_b64url_decode(signature_b64)
    if len(signature) != 64:
        signature = _rt_der_ecdsa_signature_to_raw64(signature)
    if header.get("alg") != "ES256":
        raise ValueError("Unexpected alg")
    if header.get("typ") not in (None, "JWT"):
        raise ValueError("Unexpected typ")
    signing_input = (header_b64 + "." + payload_b64).encode("ascii")
    if not _rt_verify_ecdsa_p256_sha256(signing_input, signature):
        raise ValueError("Invalid signature")
    now = int(time.time())
    if "exp" in payload and now > int(payload["exp"]):
        raise ValueError("Token expired")
    if "nbf" in payload and now < int(payload["nbf"]):
        raise ValueError("Token not yet valid")
    if "iat" in payload and int(payload["iat"]) > now:
        raise ValueError("Invalid iat")
    if expected_iss is not None and payload.get("iss") != expected_iss:
        raise ValueError("Invalid issuer")
    if expected_aud is not None:
        aud = payload.get("aud")
        if isinstance(aud, str):
            if aud != expected_aud:
                raise ValueError("Invalid audience")
        elif isinstance(aud, list):
            if expected_aud not in aud:
                raise ValueError("Invalid audience")
        else:
            raise ValueError("Invalid audience")
    return payload
