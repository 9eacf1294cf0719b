// quarlopro.license: the handler of the `show` subcommand.
//
// showJwt prints the claims of a compact ES256 token read from a file. With
// a PEM public key it verifies the token first and prints the verified
// claims; without one it decodes the payload segment with no check at all.
#include "qrl.h"

#include <span>

namespace {

using qrl::Ref;

#define LICENSE_NAMES(X)                                                                                          \
    X(json, "json") X(base64, "base64") X(loads, "loads") X(urlsafe_b64decode, "urlsafe_b64decode")              \
    X(read_text, "read_text") X(split, "split") X(jwt, "jwt") X(public_, "public") X(dot, ".") X(pad, "===")      \
    X(print, "print") X(verify_es256_jwt, "verify_es256_jwt") X(public_key_xy_from_jwk, "public_key_xy_from_jwk") \
    X(pem_public_key_to_der, "pem_public_key_to_der") X(der_spki_ec_to_jwk, "der_spki_ec_to_jwk")

struct Names {
#define DECLARE(id, text) PyObject* id;
    LICENSE_NAMES(DECLARE)
#undef DECLARE
};
Names names;

bool init_names() {
#define INTERN(id, text) names.id = qrl::intern(text).release();
    LICENSE_NAMES(INTERN)
#undef INTERN
    return !PyErr_Occurred();
}

// verify_es256_jwt(token, public_key_xy_from_jwk(der_spki_ec_to_jwk(pem_public_key_to_der(pem))))
Ref verified_claims(qrl::Call& call, PyObject* token, PyObject* public_path) {
    Ref jwt_es256[2];  // verify_es256_jwt, public_key_xy_from_jwk
    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    if (!qrl::import_names(call.globals(), "jwt_es256", {names.verify_es256_jwt, names.public_key_xy_from_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {names.pem_public_key_to_der, names.der_spki_ec_to_jwk}, decodekey))
        return {};
    Ref pem = qrl::call_method(public_path, names.read_text);
    Ref der = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    Ref jwk = der ? qrl::call(decodekey[1].get(), der.get()) : Ref();
    Ref xy = jwk ? qrl::call(jwt_es256[1].get(), jwk.get()) : Ref();
    if (!xy) return {};
    return qrl::call(jwt_es256[0].get(), token, xy.get());
}

// json.loads(base64.urlsafe_b64decode(token.split(".")[1] + "===")): the
// payload segment, unchecked; surplus padding is ignored by the decoder.
Ref unverified_claims(qrl::Call& call, PyObject* token) {
    Ref segments = qrl::call_method(token, names.split, names.dot);
    Ref payload_segment = segments ? qrl::steal(PySequence_GetItem(segments.get(), 1)) : Ref();
    Ref padded = qrl::add(payload_segment, names.pad);
    Ref decoded = padded ? qrl::call_global_attr(call.globals(), names.base64, names.urlsafe_b64decode, padded.get())
                         : Ref();
    if (!decoded) return {};
    return qrl::call_global_attr(call.globals(), names.json, names.loads, decoded.get());
}

PyObject* show_jwt(qrl::Call& call) {
    PyObject* args = call[0];
    Ref token_path = qrl::getattr(args, names.jwt);
    Ref token = token_path ? qrl::call_method(token_path.get(), names.read_text) : Ref();
    Ref public_path = token ? qrl::getattr(args, names.public_) : Ref();
    const int verify = qrl::truth(public_path);
    if (verify < 0) return nullptr;
    Ref payload = verify ? verified_claims(call, token.get(), public_path.get()) : unverified_claims(call, token.get());
    if (!payload) return nullptr;
    if (!qrl::call_global(call.globals(), names.print, payload.get())) return nullptr;
    Py_RETURN_NONE;
}

const qrl::FunctionSpec kShowJwt{
    .name = "showJwt",
    .doc = "Handle `show`: print the claims of the token in args.jwt, verified with args.public if given.",
    .params = {{.name = "args"}},
    .impl = show_jwt,
};

int exec_license(PyObject* module) {
    if (!qrl::require_runtime() || !init_names()) return -1;
    if (!qrl::import_into(module, "json") || !qrl::import_into(module, "base64")) return -1;
    return qrl::add_function(module, kShowJwt) ? 0 : -1;
}

qrl::ModuleDefinition definition("quarlopro.license", "license", "The show command: the claims of an ES256 token.",
                                 exec_license);

}  // namespace

PyMODINIT_FUNC PyInit_license(void) { return qrl::module_init<definition>(); }
