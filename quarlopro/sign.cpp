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

using qrl::Held;
using qrl::name;

struct State {
    Held pathlib = name("pathlib"), json = name("json"), time = name("time"), Path = name("Path"),
         loads = name("loads"), JSONDecodeError = name("JSONDecodeError"), exists = name("exists"),
         read_text = name("read_text"), write_text = name("write_text");
    Held payload = name("payload"), expires = name("expires"), private_ = name("private"), jwt = name("jwt"),
         iat = name("iat"), nbf = name("nbf"), exp = name("exp"), sign = name("sign");
    Held pem_private_key_to_jwk = name("pem_private_key_to_jwk"), sign_es256_jwt_with_jwk = name("sign_es256_jwt_with_jwk");
    Held kw_encoding = qrl::steal(Py_BuildValue("(s)", "encoding"));
    Held utf_8_sig = name("utf-8-sig");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

using qrl::value_error;

// json.loads(text), with json looked up as a global.
Ref json_loads(qrl::Call& call, PyObject* text) {
    return qrl::call_global_attr(call.globals(), state(call).json, state(call).loads, text);
}

// The payload: args.payload as JSON text; if that is not JSON, the JSON file
// it names, whose Path goes to `source`. The errors of the second attempt
// carry the decoding error of the first as their context.
Ref load_payload(qrl::Call& call, PyObject* args, Ref& source) {
    Ref text = qrl::getattr(args, state(call).payload);
    if (!text) return {};
    Ref payload = json_loads(call, text.get());
    if (payload) return payload;

    Ref decode_error = qrl::fetch_exception();
    Ref json = qrl::global(call.globals(), state(call).json);
    Ref decode_error_type = json ? qrl::getattr(json.get(), state(call).JSONDecodeError) : Ref();
    if (!decode_error_type) return {};
    const int matches = PyObject_IsInstance(decode_error.get(), decode_error_type.get());
    if (matches < 0) return {};
    if (!matches) {
        qrl::restore_exception(std::move(decode_error));
        return {};
    }
    qrl::HandlingScope handling(decode_error.get());

    Ref pathlib = qrl::global(call.globals(), state(call).pathlib);
    Ref path_class = pathlib ? qrl::getattr(pathlib.get(), state(call).Path) : Ref();
    Ref payload_path = path_class ? qrl::call(path_class.get(), text.get()) : Ref();
    const int exists = qrl::truth(payload_path ? qrl::call_method(payload_path.get(), state(call).exists) : Ref());
    if (exists < 0) return {};
    if (!exists) {
        value_error("payload must be a JSON object string or a path to a JSON file");
        return {};
    }
    Ref read_text = qrl::getattr(payload_path.get(), state(call).read_text);
    Ref file_text = read_text ? qrl::call_kw(read_text.get(), {state(call).utf_8_sig.get()}, state(call).kw_encoding) : Ref();
    if (!file_text) return {};
    source = payload_path;
    return json_loads(call, file_text.get());
}

// payload["iat"] = payload["nbf"] = now; payload["exp"] = now + int(expires)
bool stamp_times(qrl::Call& call, PyObject* payload, PyObject* expires) {
    Ref seconds = qrl::call_global_attr(call.globals(), state(call).time, state(call).time);
    Ref now = seconds ? qrl::steal(PyNumber_Long(seconds.get())) : Ref();
    if (!now || PyObject_SetItem(payload, state(call).iat, now.get()) < 0 ||
        PyObject_SetItem(payload, state(call).nbf, now.get()) < 0)
        return false;
    Ref lifetime = qrl::steal(PyNumber_Long(expires));
    Ref exp = qrl::add(now, lifetime);
    return exp && PyObject_SetItem(payload, state(call).exp, exp.get()) == 0;
}

PyObject* sign_jwt(qrl::Call& call, PyObject* args) {
    Ref payload_file;
    Ref payload = load_payload(call, args, payload_file);
    if (!payload) return nullptr;
    if (!PyDict_Check(payload.get())) return value_error("JWT payload must be a JSON object");

    Ref expires = qrl::getattr(args, state(call).expires);
    if (!expires) return nullptr;
    if (expires.get() != Py_None && !stamp_times(call, payload.get(), expires.get())) return nullptr;

    Ref private_path = qrl::getattr(args, state(call).private_);
    Ref token = private_path ? qrl::call_global(call.globals(), state(call).sign, payload.get(), private_path.get()) : Ref();
    Ref output = token ? qrl::getattr(args, state(call).jwt) : Ref();
    if (!output) return nullptr;
    const int same = qrl::same_file(output.get(), private_path.get());
    if (same < 0) return nullptr;
    if (same) return value_error("the token file is the private key file; refusing to overwrite the key");
    const int same_payload = payload_file ? qrl::same_file(output.get(), payload_file.get()) : 0;
    if (same_payload < 0) return nullptr;
    if (same_payload)
        return value_error("the token file is the payload file; refusing to overwrite the payload");
    if (!qrl::call_method(output.get(), state(call).write_text, token.get())) return nullptr;
    return token.release();
}

// sign_es256_jwt_with_jwk(payload, pem_private_key_to_jwk(privateKeyPath.read_text()))
PyObject* sign(qrl::Call& call, PyObject* payload, PyObject* privateKeyPath) {
    Ref decodekey[1];  // pem_private_key_to_jwk
    Ref jwt_es256[1];  // sign_es256_jwt_with_jwk
    if (!qrl::import_names(call.globals(), "decodekey", {state(call).pem_private_key_to_jwk}, decodekey) ||
        !qrl::import_names(call.globals(), "jwt_es256", {state(call).sign_es256_jwt_with_jwk}, jwt_es256))
        return nullptr;
    Ref pem = qrl::call_method(privateKeyPath, state(call).read_text);
    Ref jwk = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    if (!jwk) return nullptr;
    return qrl::call(jwt_es256[0].get(), payload, jwk.get()).release();
}

const qrl::FunctionSpec kSignJwt{
    .name = "signJwt",
    .doc = "Handle `sign`: sign args.payload with args.private, write the token to args.jwt, return it.",
    .params = {{.name = "args"}},
    .return_annotation = "str",
    .impl = qrl::impl<sign_jwt>,
};
const qrl::FunctionSpec kSign{
    .name = "sign",
    .doc = "Sign a claims mapping with the PEM private key read from privateKeyPath; return the token.",
    .params = {{.name = "payload"}, {.name = "privateKeyPath"}},
    .return_annotation = "str",
    .impl = qrl::impl<sign>,
};

bool exec_sign(PyObject* module, State& s) {
    if (PyErr_Occurred() || !qrl::require_runtime()) return false;
    for (const char* std_module : {"pathlib", "json", "time", "logging"}) {
        if (!qrl::import_into(module, std_module)) return false;
    }
    return qrl::bind_file_logger(module) && qrl::add_functions(module, {&kSignJwt, &kSign}, &s);
}

qrl::Module<State> definition("quarlopro.sign", "sign", "The sign command: a JSON payload as a signed ES256 token.",
                                 exec_sign);

}  // namespace

PyMODINIT_FUNC PyInit_sign(void) { return qrl::module_init<definition>(); }
