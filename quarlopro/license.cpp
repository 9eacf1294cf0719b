// quarlopro.license: the handler of the `show` subcommand.
//
// showJwt prints the claims of a compact ES256 token read from a file. With
// a PEM public key it verifies the token first and prints the verified
// claims; without one it decodes the payload segment with no check at all.
#include "common/public_key.h"
#include "qrl.h"

namespace {

using qrl::Held;
using qrl::name;
using qrl::Ref;

struct State {
    Held json = name("json"), base64 = name("base64"), loads = name("loads"),
         urlsafe_b64decode = name("urlsafe_b64decode"), read_text = name("read_text"), split = name("split"),
         jwt = name("jwt"), public_ = name("public"), dot = name("."), pad = name("==="), print = name("print");
    Held verify_es256_jwt = name("verify_es256_jwt"), public_key_xy_from_jwk = name("public_key_xy_from_jwk"),
         pem_public_key_to_der = name("pem_public_key_to_der"), der_spki_ec_to_jwk = name("der_spki_ec_to_jwk");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

// verify_es256_jwt(token, public_key_xy_from_jwk(der_spki_ec_to_jwk(pem_public_key_to_der(pem))))
Ref verified_claims(qrl::Call& call, PyObject* token, PyObject* public_path) {
    const State& s = state(call);
    Ref jwt_es256[2];  // verify_es256_jwt, public_key_xy_from_jwk
    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    if (!qrl::import_names(call.globals(), "jwt_es256", {s.verify_es256_jwt, s.public_key_xy_from_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {s.pem_public_key_to_der, s.der_spki_ec_to_jwk}, decodekey))
        return {};
    Ref xy = common::public_point_of_pem_file(public_path, decodekey[0].get(), decodekey[1].get(), jwt_es256[1].get());
    return xy ? qrl::call(jwt_es256[0].get(), token, xy.get()) : Ref();
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

PyObject* show_jwt(qrl::Call& call, PyObject* args) {
    const State& s = state(call);
    Ref token_path = qrl::getattr(args, s.jwt);
    Ref token = token_path ? qrl::call_method(token_path.get(), s.read_text) : Ref();
    Ref public_path = token ? qrl::getattr(args, s.public_) : Ref();
    const int verify = qrl::truth(public_path);
    if (verify < 0) return nullptr;
    Ref payload = verify ? verified_claims(call, token.get(), public_path.get()) : unverified_claims(call, token.get());
    if (!payload || !qrl::call_global(call.globals(), s.print, payload.get())) return nullptr;
    Py_RETURN_NONE;
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
