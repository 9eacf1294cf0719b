// quarlopro.license: the handler of the `show` subcommand.
//
// showJwt prints the claims of a compact ES256 token read from a file. With
// a PEM public key it verifies the token first and prints the verified
// claims; without one it decodes the payload segment with no check at all.
//
// Failures keep their exceptions and messages; a note (PEP 678) names the
// file they are about, and says why a token file that ends in a line break
// fails verification (the token is used as read).
#include "qrl.h"

#include <span>

namespace {

using qrl::Ref;

#define LICENSE_NAMES(X)                                                                                          \
    X(json, "json") X(base64, "base64") X(loads, "loads") X(urlsafe_b64decode, "urlsafe_b64decode")              \
    X(read_text, "read_text") X(split, "split") X(jwt, "jwt") X(public_, "public") X(dot, ".") X(pad, "===")      \
    X(print, "print") X(verify_es256_jwt, "verify_es256_jwt") X(public_key_xy_from_jwk, "public_key_xy_from_jwk") \
    X(pem_public_key_to_der, "pem_public_key_to_der") X(der_spki_ec_to_jwk, "der_spki_ec_to_jwk")           \
    X(add_note, "add_note") X(rstrip, "rstrip")

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

// Adds a note (PEP 678) to the exception being raised, which stays raised;
// the command line shows it after the message. The note is made by
// `make_note` while no exception is set; if making or adding it fails, the
// original exception is raised alone. OSErrors name their file already and
// get none.
template <typename MakeNote>
void add_note(MakeNote make_note) {
    if (PyErr_ExceptionMatches(PyExc_OSError)) return;
    Ref error = qrl::fetch_exception();
    Ref note = make_note();
    if (!note || !qrl::call_method(error.get(), names.add_note, note.get())) PyErr_Clear();
    qrl::restore_exception(std::move(error));
}

Ref format(const char* format, PyObject* a, PyObject* b = nullptr) {
    return qrl::steal(PyUnicode_FromFormat(format, a, b));
}

// Whether `text` has the shape of a compact token: three segments joined by
// "." and no white space; -1 on error.
int token_shaped(PyObject* text) {
    if (!PyUnicode_Check(text)) return 0;
    const Py_ssize_t dots = PyUnicode_Count(text, names.dot, 0, PY_SSIZE_T_MAX);
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
Ref token_note(PyObject* token, PyObject* token_path, PyObject* public_path) {
    const int shaped = token_shaped(token);
    if (shaped < 0) return {};
    if (!shaped) {
        Ref stripped = PyUnicode_Check(token) ? qrl::call_method(token, names.rstrip) : Ref();
        const int stripped_shaped = stripped ? token_shaped(stripped.get()) : 0;
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
    Ref jwt_es256[2];  // verify_es256_jwt, public_key_xy_from_jwk
    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    if (!qrl::import_names(call.globals(), "jwt_es256", {names.verify_es256_jwt, names.public_key_xy_from_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {names.pem_public_key_to_der, names.der_spki_ec_to_jwk}, decodekey))
        return {};
    Ref pem = qrl::call_method(public_path, names.read_text);
    Ref der = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    Ref jwk = der ? qrl::call(decodekey[1].get(), der.get()) : Ref();
    Ref xy = jwk ? qrl::call(jwt_es256[1].get(), jwk.get()) : Ref();
    if (!xy) {
        add_note([&] { return format("the public key file %S", public_path); });
        return {};
    }
    Ref claims = qrl::call(jwt_es256[0].get(), token, xy.get());
    if (!claims) add_note([&] { return token_note(token, token_path, public_path); });
    return claims;
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

// print(claims); returns None.
PyObject* print_claims(qrl::Call& call, PyObject* claims) {
    if (!qrl::call_global(call.globals(), names.print, claims)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* show_jwt(qrl::Call& call) {
    PyObject* args = call[0];
    Ref token_path = qrl::getattr(args, names.jwt);
    if (!token_path) return nullptr;
    Ref token = qrl::call_method(token_path.get(), names.read_text);
    if (!token) {
        add_note([&] { return format("the token file %S", token_path.get()); });
        return nullptr;
    }
    Ref public_path = qrl::getattr(args, names.public_);
    const int verify = qrl::truth(public_path);
    if (verify < 0) return nullptr;
    if (verify) {
        Ref claims = verified_claims(call, token.get(), token_path.get(), public_path.get());
        return claims ? print_claims(call, claims.get()) : nullptr;
    }
    Ref claims = unverified_claims(call, token.get());
    if (!claims) {
        add_note([&] { return token_note(token.get(), token_path.get(), nullptr); });
        return nullptr;
    }
    return print_claims(call, claims.get());
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
