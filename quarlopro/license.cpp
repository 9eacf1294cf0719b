// quarlopro.license: the handler of the `show` subcommand.
//
// showJwt prints the claims of a compact ES256 token read from a file. With
// a PEM public key it verifies the token first and prints the verified
// claims; without one it decodes the payload segment with no check at all.
//
// Failures keep their exceptions and messages; a note (PEP 678) names the
// file they are about, and says why a token file that ends in a line break
// fails verification (the token is used as read).
#include "common/public_key.h"
#include "qrl.h"

namespace {

using qrl::Held;
using qrl::name;
using qrl::Ref;

struct State {
    Held json = name("json"), base64 = name("base64"), loads = name("loads"),
         urlsafe_b64decode = name("urlsafe_b64decode"), read_text = name("read_text"), split = name("split"),
         jwt = name("jwt"), public_ = name("public"), dot = name("."), pad = name("==="), print = name("print"),
         rstrip = name("rstrip");
    Held verify_es256_jwt = name("verify_es256_jwt"), public_key_xy_from_jwk = name("public_key_xy_from_jwk"),
         pem_public_key_to_der = name("pem_public_key_to_der"), der_spki_ec_to_jwk = name("der_spki_ec_to_jwk");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

// A note on the exception being raised (qrl::add_note), except on an
// OSError, whose message names its file already.
template <typename MakeNote>
void add_note(MakeNote make_note) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) qrl::add_note(make_note);
}

Ref format(const char* format, PyObject* a, PyObject* b = nullptr) {
    return qrl::steal(PyUnicode_FromFormat(format, a, b));
}

// Whether `text` has the shape of a compact token: three segments joined by
// "." and no white space; -1 on error.
int token_shaped(const State& s, PyObject* text) {
    if (!PyUnicode_Check(text)) return 0;
    const Py_ssize_t dots = PyUnicode_Count(text, s.dot, 0, PY_SSIZE_T_MAX);
    if (dots < 0) return -1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return 0;
    }
    return dots == 2;
}

// The note for a token that could not be read or verified: the file holds
// no token, or a token followed by a line break (which the token is read
// with, so that it becomes part of the signature segment), or a token that
// fails a check of `public_path`'s key.
Ref token_note(const State& s, PyObject* token, PyObject* token_path, PyObject* public_path) {
    const int shaped = token_shaped(s, token);
    if (shaped < 0) return {};
    if (!shaped) {
        Ref stripped = PyUnicode_Check(token) ? qrl::call_method(token, s.rstrip) : Ref();
        const int stripped_shaped = stripped ? token_shaped(s, stripped.get()) : 0;
        if (stripped_shaped < 0) return {};
        if (stripped_shaped && public_path)
            return format("the token in %S ends with a line break, which is read as part of its signature; "
                          "write the file without one, as quarlo sign does", token_path);
        if (!stripped_shaped) return format("the token file %S holds no token of the form header.payload.signature",
                                            token_path);
    }
    if (!public_path) return format("the token file %S", token_path);
    return format("verifying the token in %S with the public key in %S", token_path, public_path);
}

// verify_es256_jwt(token, public_key_xy_from_jwk(der_spki_ec_to_jwk(pem_public_key_to_der(pem))))
Ref verified_claims(qrl::Call& call, PyObject* token, PyObject* token_path, PyObject* public_path) {
    const State& s = state(call);
    Ref jwt_es256[2];  // verify_es256_jwt, public_key_xy_from_jwk
    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    if (!qrl::import_names(call.globals(), "jwt_es256", {s.verify_es256_jwt, s.public_key_xy_from_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {s.pem_public_key_to_der, s.der_spki_ec_to_jwk}, decodekey))
        return {};
    Ref xy = common::public_point_of_pem_file(public_path, decodekey[0].get(), decodekey[1].get(), jwt_es256[1].get());
    if (!xy) {
        add_note([&] { return format("the public key file %S", public_path); });
        return {};
    }
    Ref claims = qrl::call(jwt_es256[0].get(), token, xy.get());
    if (!claims) add_note([&] { return token_note(s, token, token_path, public_path); });
    return claims;
}

// json.loads(base64.urlsafe_b64decode(token.split(".")[1] + "===")): the
// payload segment, unchecked; surplus padding is ignored by the decoder.
Ref unverified_claims(qrl::Call& call, PyObject* token) {
    const State& s = state(call);
    Ref segments = qrl::call_method(token, s.split, s.dot.get());
    Ref payload_segment = segments ? qrl::steal(PySequence_GetItem(segments.get(), 1)) : Ref();
    Ref padded = qrl::add(payload_segment, s.pad);
    Ref decoded = padded ? qrl::call_global_attr(call.globals(), s.base64, s.urlsafe_b64decode, padded.get()) : Ref();
    return decoded ? qrl::call_global_attr(call.globals(), s.json, s.loads, decoded.get()) : Ref();
}

// print(claims); returns None.
PyObject* print_claims(qrl::Call& call, PyObject* claims) {
    if (!qrl::call_global(call.globals(), state(call).print, claims)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* show_jwt(qrl::Call& call, PyObject* args) {
    const State& s = state(call);
    Ref token_path = qrl::getattr(args, s.jwt);
    if (!token_path) return nullptr;
    Ref token = qrl::call_method(token_path.get(), s.read_text);
    if (!token) {
        add_note([&] { return format("the token file %S", token_path.get()); });
        return nullptr;
    }
    Ref public_path = qrl::getattr(args, s.public_);
    const int verify = qrl::truth(public_path);
    if (verify < 0) return nullptr;
    if (verify) {
        Ref claims = verified_claims(call, token.get(), token_path.get(), public_path.get());
        return claims ? print_claims(call, claims.get()) : nullptr;
    }
    Ref claims = unverified_claims(call, token.get());
    if (!claims) {
        add_note([&] { return token_note(s, token.get(), token_path.get(), nullptr); });
        return nullptr;
    }
    return print_claims(call, claims.get());
}

const qrl::FunctionSpec kShowJwt{
    .name = "showJwt",
    .doc = "Handle `show`: print the claims of the token in args.jwt, verified with args.public if given.",
    .params = {{.name = "args"}},
    .impl = qrl::impl<show_jwt>,
};

bool exec_license(PyObject* module, State& s) {
    return !PyErr_Occurred() && qrl::require_runtime() && qrl::import_into(module, "json") &&
           qrl::import_into(module, "base64") && qrl::add_function(module, kShowJwt, &s);
}

qrl::Module<State> definition("quarlopro.license", "license", "The show command: the claims of an ES256 token.",
                              exec_license);

}  // namespace

PyMODINIT_FUNC PyInit_license(void) { return qrl::module_init<definition>(); }
