// quarlopro.sign: the handler of the `sign` subcommand.
//
// signJwt turns a JSON object, given as JSON text or as the name of a JSON
// file, into a compact ES256 token signed with a PEM private key, optionally
// stamped with iat, nbf and exp, and writes the token (alone, no line break)
// to the output file. It refuses to write the token over the private key
// file, which would destroy the key.
#include "qrl.h"

#include <span>

namespace {

using qrl::Ref;

#define SIGN_NAMES(X)                                                                                             \
    X(pathlib, "pathlib") X(json, "json") X(time, "time") X(logging, "logging") X(getLogger, "getLogger")          \
    X(file, "__file__") X(Path, "Path") X(loads, "loads") X(JSONDecodeError, "JSONDecodeError")                   \
    X(exists, "exists") X(read_text, "read_text") X(write_text, "write_text") X(payload, "payload")                \
    X(expires, "expires") X(private_, "private") X(jwt, "jwt") X(iat, "iat") X(nbf, "nbf") X(exp, "exp")         \
    X(sign, "sign") X(pem_private_key_to_jwk, "pem_private_key_to_jwk")                                          \
    X(sign_es256_jwt_with_jwk, "sign_es256_jwt_with_jwk")

struct Names {
#define DECLARE(id, text) PyObject* id;
    SIGN_NAMES(DECLARE)
#undef DECLARE
};
Names names;

PyObject* kw_encoding;  // ("encoding",)
PyObject* utf_8_sig;    // "utf-8-sig"

bool init_names() {
#define INTERN(id, text) names.id = qrl::intern(text).release();
    SIGN_NAMES(INTERN)
#undef INTERN
    if (PyErr_Occurred()) return false;
    kw_encoding = Py_BuildValue("(s)", "encoding");
    utf_8_sig = qrl::intern("utf-8-sig").release();
    return !PyErr_Occurred();
}

using qrl::value_error;

// json.loads(text), with json looked up as a global.
Ref json_loads(qrl::Call& call, PyObject* text) {
    return qrl::call_global_attr(call.globals(), names.json, names.loads, text);
}

// The payload: args.payload as JSON text; if that is not JSON, the JSON file
// it names, whose Path goes to `source`. The errors of the second attempt
// carry the decoding error of the first as their context.
Ref load_payload(qrl::Call& call, PyObject* args, Ref& source) {
    Ref text = qrl::getattr(args, names.payload);
    if (!text) return {};
    Ref payload = json_loads(call, text.get());
    if (payload) return payload;

    Ref decode_error = qrl::fetch_exception();
    Ref json = qrl::global(call.globals(), names.json);
    Ref decode_error_type = json ? qrl::getattr(json.get(), names.JSONDecodeError) : Ref();
    if (!decode_error_type) return {};
    const int matches = PyObject_IsInstance(decode_error.get(), decode_error_type.get());
    if (matches < 0) return {};
    if (!matches) {
        qrl::restore_exception(std::move(decode_error));
        return {};
    }
    qrl::HandlingScope handling(decode_error.get());

    Ref pathlib = qrl::global(call.globals(), names.pathlib);
    Ref path_class = pathlib ? qrl::getattr(pathlib.get(), names.Path) : Ref();
    Ref payload_path = path_class ? qrl::call(path_class.get(), text.get()) : Ref();
    const int exists = qrl::truth(payload_path ? qrl::call_method(payload_path.get(), names.exists) : Ref());
    if (exists < 0) return {};
    if (!exists) {
        value_error("payload must be a JSON object string or a path to a JSON file");
        return {};
    }
    Ref read_text = qrl::getattr(payload_path.get(), names.read_text);
    Ref file_text = read_text ? qrl::call_kw(read_text.get(), {utf_8_sig}, kw_encoding) : Ref();
    if (!file_text) return {};
    source = payload_path;
    return json_loads(call, file_text.get());
}

// payload["iat"] = payload["nbf"] = now; payload["exp"] = now + int(expires)
bool stamp_times(qrl::Call& call, PyObject* payload, PyObject* expires) {
    Ref seconds = qrl::call_global_attr(call.globals(), names.time, names.time);
    Ref now = seconds ? qrl::steal(PyNumber_Long(seconds.get())) : Ref();
    if (!now || PyObject_SetItem(payload, names.iat, now.get()) < 0 ||
        PyObject_SetItem(payload, names.nbf, now.get()) < 0)
        return false;
    Ref lifetime = qrl::steal(PyNumber_Long(expires));
    Ref exp = qrl::add(now, lifetime);
    return exp && PyObject_SetItem(payload, names.exp, exp.get()) == 0;
}

PyObject* sign_jwt(qrl::Call& call) {
    PyObject* args = call[0];
    Ref payload_file;
    Ref payload = load_payload(call, args, payload_file);
    if (!payload) return nullptr;
    if (!PyDict_Check(payload.get())) return value_error("JWT payload must be a JSON object");

    Ref expires = qrl::getattr(args, names.expires);
    if (!expires) return nullptr;
    if (expires.get() != Py_None && !stamp_times(call, payload.get(), expires.get())) return nullptr;

    Ref private_path = qrl::getattr(args, names.private_);
    Ref token = private_path ? qrl::call_global(call.globals(), names.sign, payload.get(), private_path.get()) : Ref();
    Ref output = token ? qrl::getattr(args, names.jwt) : Ref();
    if (!output) return nullptr;
    const int same = qrl::same_file(output.get(), private_path.get());
    if (same < 0) return nullptr;
    if (same) return value_error("the token file is the private key file; refusing to overwrite the key");
    const int same_payload = payload_file ? qrl::same_file(output.get(), payload_file.get()) : 0;
    if (same_payload < 0) return nullptr;
    if (same_payload)
        return value_error("the token file is the payload file; refusing to overwrite the payload");
    if (!qrl::call_method(output.get(), names.write_text, token.get())) return nullptr;
    return token.release();
}

// sign_es256_jwt_with_jwk(payload, pem_private_key_to_jwk(privateKeyPath.read_text()))
PyObject* sign(qrl::Call& call) {
    Ref decodekey[1];  // pem_private_key_to_jwk
    Ref jwt_es256[1];  // sign_es256_jwt_with_jwk
    if (!qrl::import_names(call.globals(), "decodekey", {names.pem_private_key_to_jwk}, decodekey) ||
        !qrl::import_names(call.globals(), "jwt_es256", {names.sign_es256_jwt_with_jwk}, jwt_es256))
        return nullptr;
    Ref pem = qrl::call_method(call[1], names.read_text);
    Ref jwk = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    if (!jwk) return nullptr;
    return qrl::call(jwt_es256[0].get(), call[0], jwk.get()).release();
}

const qrl::FunctionSpec kSignJwt{
    .name = "signJwt",
    .doc = "Handle `sign`: sign args.payload with args.private, write the token to args.jwt, return it.",
    .params = {{.name = "args"}},
    .return_annotation = "str",
    .impl = sign_jwt,
};
const qrl::FunctionSpec kSign{
    .name = "sign",
    .doc = "Sign a claims mapping with the PEM private key read from privateKeyPath; return the token.",
    .params = {{.name = "payload"}, {.name = "privateKeyPath"}},
    .return_annotation = "str",
    .impl = sign,
};

int exec_sign(PyObject* module) {
    if (!qrl::require_runtime() || !init_names()) return -1;
    for (const char* std_module : {"pathlib", "json", "time", "logging"}) {
        if (!qrl::import_into(module, std_module)) return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    Ref file = qrl::global(globals, names.file);
    Ref logger = file ? qrl::call_global_attr(globals, names.logging, names.getLogger, file.get()) : Ref();
    if (!qrl::bind(module, "logger", logger)) return -1;
    for (const qrl::FunctionSpec* spec : {&kSignJwt, &kSign}) {
        if (!qrl::add_function(module, *spec)) return -1;
    }
    return 0;
}

qrl::ModuleDefinition definition("quarlopro.sign", "sign", "The sign command: a JSON payload as a signed ES256 token.",
                                 exec_sign);

}  // namespace

PyMODINIT_FUNC PyInit_sign(void) { return qrl::module_init<definition>(); }
