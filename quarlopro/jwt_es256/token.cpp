// Compact tokens: header and payload as canonical JSON in Base64url, the
// ES256 signature, and the checks of verification in their order.
#include "token.h"

#include "bridge.h"
#include "exact.h"
#include "json_text.h"
#include "sign.h"
#include "stdlib.h"

#include <cstring>

namespace jwt {

namespace {

// (a + "." + b)
Ref join_dot(const State& s, PyObject* a, PyObject* b) { return qrl::add(qrl::add(a, s.names.dot), b); }

// {"alg": "ES256", "typ": "JWT"} updated with the caller's header.
Ref token_header(const State& s, PyObject* header) {
    const Names& n = s.names;
    Ref jwt_header = qrl::steal(PyDict_New());
    if (!jwt_header || PyDict_SetItem(jwt_header.get(), n.alg, n.ES256) < 0 ||
        PyDict_SetItem(jwt_header.get(), n.typ, n.JWT) < 0)
        return {};
    const int has_header = PyObject_IsTrue(header);
    if (has_header < 0 || (has_header && PyDict_Update(jwt_header.get(), header) < 0)) return {};
    const int wrong_alg = qrl::cmp(qrl::dict_get(jwt_header.get(), n.alg), n.ES256, Py_NE);
    if (wrong_alg < 0) return {};
    if (wrong_alg) return qrl::value_error("Header alg must be ES256");
    return jwt_header;
}

// The header segment when `header` adds nothing to the default header and
// what encodes it (kCanonicalJsonRoute among it) is as at import; null
// otherwise.
Ref default_header_if_unchanged(qrl::Call& call, PyObject* header) {
    const State& s = state(call);
    if (!s.default_header_b64 || (header != Py_None && PyDict_GET_SIZE(header) != 0) ||
        !unchanged(call, {&kCanonicalJsonRoute, &kB64urlEncodeRoute}) ||
        !s.base64.standard(s.originals, call.globals(), qrl::Base64Fn::urlsafe_b64encode))
        return {};
    return qrl::borrow(s.default_header_b64);
}

// Whether a token with `header` is, all of it, what the engine computes from
// the claims' JSON written natively (canonical_json_of_plain_data): the
// default header, and json, base64, the module's encoder and signer and all
// the signer relies on as at import. The native writer runs no Python code,
// so nothing can change between this check and the signature.
bool whole_token_natively(qrl::Call& call, PyObject* header) {
    const State& s = state(call);
    if (!s.default_header_b64 || !s.c_encoder_args || (header != Py_None && PyDict_GET_SIZE(header) != 0) ||
        !s.base64.tables_standard())
        return false;
    const qrl::Route* routes[] = {&kCanonicalJsonRoute, &kB64urlEncodeRoute, &kOwnSignerRoute,
                                  &qrl::Base64Calls::route(qrl::Base64Fn::urlsafe_b64encode)};
    return s.originals.unchanged(call.globals(), routes) && signs_natively(call);
}

// Whether the rest of a token, from the payload's Base64url to the
// signature's, is what the module's own encoder and signer compute with the
// standard base64 and hashing: then it is made in the engine.
bool token_tail_natively(qrl::Call& call, PyObject* header_b64, PyObject* payload_json) {
    const State& s = state(call);
    return PyUnicode_CheckExact(header_b64) && PyUnicode_IS_ASCII(header_b64) && PyBytes_CheckExact(payload_json) &&
           unchanged(call, {&kB64urlEncodeRoute, &kOwnSignerRoute}) &&
           signs_natively(call) && s.base64.standard(s.originals, call.globals(), qrl::Base64Fn::urlsafe_b64encode);
}

// header_b64 + "." + _b64url_encode(payload_json) + "." + the signature's
// Base64url, with the module's own steps (token_tail_natively): the token is
// allocated first and filled without the GIL, payload, signing and all.
// Both callers have found the signer's routes as at import, _P256_N among
// them, so the key's range test is made on its limbs.
PyObject* token_natively(PyObject* header_b64, PyObject* payload_json, PyObject* private_key_d) {
    const auto payload = qrl::bytes_view(payload_json);
    const auto header_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(header_b64));
    const std::size_t signed_size = header_size + 1 + qrl::base64url_size(payload.size());
    constexpr std::size_t kSignatureSize = 86;  // 64 bytes in unpadded Base64url
    p256::U256 key;
    if (!load_private_key(private_key_d, key)) return nullptr;
    Ref token = qrl::steal(PyUnicode_New(static_cast<Py_ssize_t>(signed_size + 1 + kSignatureSize), 127));
    if (!token) {
        forget(key);
        return nullptr;
    }
    auto* text = static_cast<std::uint8_t*>(PyUnicode_DATA(token.get()));
    std::memcpy(text, PyUnicode_DATA(header_b64), header_size);
    text[header_size] = '.';
    text[signed_size] = '.';
    p256::SignStatus status;
    {
        // The payload bytes are immutable and held here; nobody else has the token yet.
        qrl::WithoutGil unlocked;
        qrl::base64url_encode_into(payload, text + header_size + 1);
        p256::U256 r, s;
        status = p256::ecdsa_sign_message_ct(text, signed_size, key, r, s);
        std::uint8_t signature[64];
        p256::store_be(r, signature);
        p256::store_be(s, signature + 32);
        qrl::base64url_encode_into(signature, text + signed_size + 1);
    }
    forget(key);
    return sign_status_ok(status) ? token.release() : nullptr;
}

// json.loads(_b64url_decode(segment))
Ref decode_json_segment(qrl::Call& call, PyObject* segment) {
    const Names& n = state(call).names;
    Ref json = global(call, n.json);
    Ref loads = json ? qrl::getattr(json.get(), n.loads) : Ref();
    Ref raw = loads ? call_global(call, n._b64url_decode, segment) : Ref();
    return raw ? qrl::call(loads.get(), raw.get()) : Ref();
}

// int(payload[name]) for a claim known to be present.
Ref claim_int(PyObject* payload, PyObject* name) {
    Ref value = qrl::steal(PyObject_GetItem(payload, name));
    return value ? qrl::steal(PyNumber_Long(value.get())) : Ref();
}

// 1 when `name in payload`, 0 when not, -1 on error.
int has_claim(PyObject* payload, PyObject* name) { return PySequence_Contains(payload, name); }

// The time claims, each widened by the leeway; false on error (raised).
bool check_time_claims(qrl::Call& call, PyObject* payload, PyObject* leeway) {
    const Names& n = state(call).names;
    Ref time_module = global(call, n.time);
    Ref now = time_module ? qrl::call_method(time_module.get(), n.time) : Ref();
    now = now ? qrl::steal(PyNumber_Long(now.get())) : Ref();
    if (!now) return false;

    int present = has_claim(payload, n.exp);
    if (present > 0) {
        const int expired = qrl::cmp(now, qrl::add(claim_int(payload, n.exp), leeway), Py_GT);
        if (expired > 0) qrl::value_error("Token expired");
        if (expired) return false;
    }
    if (present >= 0) present = has_claim(payload, n.nbf);
    if (present > 0) {
        Ref latest = qrl::add(now, leeway);
        const int early = latest ? qrl::cmp(latest, claim_int(payload, n.nbf), Py_LT) : -1;
        if (early > 0) qrl::value_error("Token not yet valid");
        if (early) return false;
    }
    if (present >= 0) present = has_claim(payload, n.iat);
    if (present > 0) {
        Ref issued = claim_int(payload, n.iat);
        const int future = issued ? qrl::cmp(issued, qrl::add(now, leeway), Py_GT) : -1;
        if (future > 0) qrl::value_error("Invalid iat");
        if (future) return false;
    }
    return present >= 0;
}

// Issuer and audience; false on error (raised).
bool check_audience_claims(const State& s, PyObject* payload, PyObject* expected_iss, PyObject* expected_aud) {
    const Names& n = s.names;
    if (expected_iss != Py_None) {
        Ref iss = qrl::call_method(payload, n.get, n.iss);
        const int differs = iss ? qrl::cmp(iss, expected_iss, Py_NE) : -1;
        if (differs > 0) qrl::value_error("Invalid issuer");
        if (differs) return false;
    }
    if (expected_aud == Py_None) return true;
    Ref aud = qrl::call_method(payload, n.get, n.aud);
    if (!aud) return false;
    int accepted = 0;
    if (PyUnicode_Check(aud.get())) {
        const int differs = qrl::cmp(aud, expected_aud, Py_NE);
        accepted = differs < 0 ? -1 : !differs;
    } else if (PyList_Check(aud.get())) {
        accepted = PySequence_Contains(aud.get(), expected_aud);
    }
    if (accepted == 0) qrl::value_error("Invalid audience");
    return accepted > 0;
}

}  // namespace

PyObject* sign_jwt(qrl::Call& call, PyObject* payload, PyObject* private_key_d, PyObject* header) {
    const State& s = state(call);
    const Names& n = s.names;
    const bool whole_token = whole_token_natively(call, header);
    if (whole_token) {
        if (Ref payload_json = canonical_json_of_plain_data(payload))
            return token_natively(s.default_header_b64, payload_json.get(), private_key_d);
    }
    Ref header_b64 = default_header_if_unchanged(call, header);
    Ref payload_json;
    if (header_b64) {
        // The JSON route was checked just now; claims the writer declined go to json.
        payload_json = whole_token ? canonical_json_by_encoder(s, payload) : canonical_json_of_originals(s, payload);
    } else {
        Ref jwt_header = token_header(s, header);
        Ref header_json = jwt_header ? canonical_json(call, jwt_header.get()) : Ref();
        payload_json = header_json ? canonical_json(call, payload) : Ref();
        header_b64 = payload_json ? call_global(call, n._b64url_encode, header_json.get()) : Ref();
    }
    if (!header_b64 || !payload_json) return nullptr;
    if (token_tail_natively(call, header_b64.get(), payload_json.get()))
        return token_natively(header_b64.get(), payload_json.get(), private_key_d);
    Ref payload_b64 = call_global(call, n._b64url_encode, payload_json.get());
    Ref joined = payload_b64 ? join_dot(s, header_b64.get(), payload_b64.get()) : Ref();
    Ref signing_input = joined ? qrl::call_method(joined.get(), n.encode, n.ascii) : Ref();
    Ref sign_fn = signing_input ? global(call, n._sign_ecdsa_p256_sha256) : Ref();
    Ref signature = sign_fn ? qrl::call_kw(sign_fn.get(), {signing_input.get(), private_key_d, Py_True},
                                           s.constants.kw_deterministic)
                            : Ref();
    Ref signature_b64 = signature ? call_global(call, n._b64url_encode, signature.get()) : Ref();
    return signature_b64 ? join_dot(s, joined.get(), signature_b64.get()).release() : nullptr;
}

Ref default_header_segment(const State& s, PyObject* module) {
    Ref header = token_header(s, Py_None);
    Ref text = header && s.canonical_encoder ? qrl::call_method(s.canonical_encoder, s.names.encode, header.get()) : Ref();
    Ref json = text ? qrl::call_method(text.get(), s.names.encode, s.names.utf_8.get()) : Ref();
    Ref segment = json ? s.base64.urlsafe_encode_unpadded(s.originals, PyModule_GetDict(module), json.get()) : Ref();
    if (!segment) PyErr_Clear();  // then the header is encoded on every call
    return segment;
}

PyObject* sign_jwt_with_jwk(qrl::Call& call, PyObject* payload, PyObject* jwk, PyObject* header) {
    const State& s = state(call);
    Ref d = call_global(call, s.names.private_key_d_from_jwk, jwk);
    Ref sign_fn = d ? global(call, s.names.sign_es256_jwt) : Ref();
    return sign_fn ? qrl::call_kw(sign_fn.get(), {payload, d.get(), header}, s.constants.kw_header).release()
                   : nullptr;
}

PyObject* verify_jwt(qrl::Call& call, PyObject* token, PyObject* public_key_xy, PyObject* expected_iss,
                     PyObject* expected_aud, PyObject* leeway_seconds) {
    const State& s = state(call);
    const Names& n = s.names;
    Ref parts = qrl::steal(PyUnicode_Split(token, n.dot, -1));
    Ref segments[3];
    if (!parts || !qrl::unpack(parts.get(), segments)) return nullptr;
    const Ref &header_b64 = segments[0], &payload_b64 = segments[1], &signature_b64 = segments[2];

    Ref header = decode_json_segment(call, header_b64.get());
    Ref payload = header ? decode_json_segment(call, payload_b64.get()) : Ref();
    Ref signature = payload ? call_global(call, n._b64url_decode, signature_b64.get()) : Ref();
    const Py_ssize_t signature_len = signature ? PyObject_Length(signature.get()) : -1;
    if (signature_len < 0) return nullptr;
    if (signature_len != 64) {
        signature = call_global(call, n._der_ecdsa_signature_to_raw64, signature.get());
        if (!signature) return nullptr;
    }

    const int wrong_alg = qrl::cmp(qrl::call_method(header.get(), n.get, n.alg), n.ES256, Py_NE);
    if (wrong_alg > 0) return qrl::value_error("Unexpected alg");
    if (wrong_alg) return nullptr;
    Ref typ = qrl::call_method(header.get(), n.get, n.typ);
    const int allowed = typ ? PySequence_Contains(s.constants.typ_allowed, typ.get()) : -1;
    if (allowed == 0) return qrl::value_error("Unexpected typ");
    if (allowed < 0) return nullptr;

    Ref joined = join_dot(s, header_b64.get(), payload_b64.get());
    Ref signing_input = joined ? qrl::call_method(joined.get(), n.encode, n.ascii) : Ref();
    Ref valid = signing_input ? call_global(call, n._verify_ecdsa_p256_sha256, signing_input.get(), signature.get(),
                                            public_key_xy)
                              : Ref();
    const int ok = qrl::truth(valid);
    if (ok == 0) return qrl::value_error("Invalid signature");
    if (ok < 0) return nullptr;

    if (!check_time_claims(call, payload.get(), leeway_seconds) ||
        !check_audience_claims(s, payload.get(), expected_iss, expected_aud))
        return nullptr;
    return payload.release();
}

}  // namespace jwt
