
cdef _runtime_verify_es256_jwt(token, expected_iss=*, expected_aud=*)
