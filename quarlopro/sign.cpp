// quarlopro.sign: the handler of the `sign` subcommand.
//
// signJwt turns a JSON object, given as JSON text or as the name of a JSON
// file, into a compact ES256 token signed with a PEM private key, optionally
// stamped with iat, nbf and exp, and writes the token (alone, no line break)
// to the output file. It refuses to write the token over the private key
// file, which would destroy the key.
//
// A token is a bearer credential: a new token file is owner-only (0600), an
// existing one keeps its mode, and a regular file that belongs to another
// user is refused, since its owner could read every token written into it.
// The file is checked and written through one descriptor, so it cannot be
// swapped in between.
//
// Failures keep their exceptions and messages; a note (PEP 678) adds what the
// message alone does not say: which argument or file it is about, and why.
#include "qrl.h"

#include <cerrno>

namespace {

using qrl::Ref;

using qrl::Held;
using qrl::name;

struct State {
    Held pathlib = name("pathlib"), json = name("json"), time = name("time"), Path = name("Path"),
         loads = name("loads"), JSONDecodeError = name("JSONDecodeError"), exists = name("exists"),
         read_text = name("read_text"), write_text = name("write_text"), errno_ = name("errno");
    Held payload = name("payload"), expires = name("expires"), private_ = name("private"), jwt = name("jwt"),
         iat = name("iat"), nbf = name("nbf"), exp = name("exp"), sign = name("sign");
    Held pem_private_key_to_jwk = name("pem_private_key_to_jwk"),
         sign_es256_jwt_with_jwk = name("sign_es256_jwt_with_jwk");
    Held kw_encoding = qrl::steal(Py_BuildValue("(s)", "encoding"));
    Held utf_8_sig = name("utf-8-sig");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

using qrl::value_error;

// ---------------------------------------------------------------------------
// Notes

// A note naming `file` in its `role` ("the payload file claims.json"), unless
// the exception is an OSError, whose message names the file already.
void note_file(const char* role, PyObject* file) {
    if (PyErr_ExceptionMatches(PyExc_OSError)) return;
    qrl::add_note([&] { return qrl::steal(PyUnicode_FromFormat("%s %S", role, file)); });
}

// ---------------------------------------------------------------------------
// The payload

// json.loads(text), with json looked up as a global.
Ref json_loads(qrl::Call& call, PyObject* text) {
    const State& s = state(call);
    return qrl::call_global_attr(call.globals(), s.json, s.loads, text);
}

// payloadPath.exists(), where a name too long for the file system names no
// file: a long payload with a JSON mistake is such a name, and the error of
// the decoder is what the user needs to see, not the payload echoed back.
int names_a_file(const State& s, PyObject* payload_path) {
    const int exists = qrl::truth(qrl::call_method(payload_path, s.exists));
    if (exists >= 0 || !PyErr_ExceptionMatches(PyExc_OSError)) return exists;
#ifdef ENAMETOOLONG
    Ref error = qrl::fetch_exception();
    Ref number = qrl::getattr(error.get(), s.errno_);
    if (number && PyLong_Check(number.get()) && PyLong_AsLong(number.get()) == ENAMETOOLONG) return 0;
    PyErr_Clear();
    qrl::restore_exception(std::move(error));
#endif
    return -1;
}

// The payload: args.payload as JSON text; if that is not JSON, the JSON file
// it names, whose Path goes to `source`. The errors of the second attempt
// carry the decoding error of the first as their context. An empty text
// names no file (as a Path it would be the current directory).
Ref load_payload(qrl::Call& call, PyObject* args, Ref& source) {
    const State& s = state(call);
    Ref text = qrl::getattr(args, s.payload);
    if (!text) return {};
    Ref payload = json_loads(call, text.get());
    if (payload) return payload;

    Ref decode_error = qrl::fetch_exception();
    Ref json = qrl::global(call.globals(), s.json);
    Ref decode_error_type = json ? qrl::getattr(json.get(), s.JSONDecodeError) : Ref();
    if (!decode_error_type) return {};
    const int matches = PyObject_IsInstance(decode_error.get(), decode_error_type.get());
    if (matches < 0) return {};
    if (!matches) {  // not a syntax error (too deep a nesting ...): not a file name either
        qrl::restore_exception(std::move(decode_error));
        qrl::add_note([] { return qrl::steal(PyUnicode_FromString("in PAYLOAD, read as JSON text")); });
        return {};
    }
    qrl::HandlingScope handling(decode_error.get());

    const bool empty = PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) == 0;
    Ref pathlib = qrl::global(call.globals(), s.pathlib);
    Ref path_class = pathlib ? qrl::getattr(pathlib.get(), s.Path) : Ref();
    Ref payload_path = path_class ? qrl::call(path_class.get(), text.get()) : Ref();
    if (!payload_path) return {};
    const int exists = empty ? 0 : names_a_file(s, payload_path.get());
    if (exists < 0) return {};
    if (!exists) {
        value_error("payload must be a JSON object string or a path to a JSON file");
        qrl::add_note([&] {
            return qrl::steal(empty ? PyUnicode_FromString("PAYLOAD is empty")
                                    : PyUnicode_FromFormat("PAYLOAD names no file and is not JSON: %S", decode_error.get()));
        });
        return {};
    }
    Ref read_text = qrl::getattr(payload_path.get(), s.read_text);
    Ref file_text = read_text ? qrl::call_kw(read_text.get(), {s.utf_8_sig.get()}, s.kw_encoding) : Ref();
    payload = file_text ? json_loads(call, file_text.get()) : Ref();
    if (!payload) {
        note_file("in the payload file", payload_path.get());
        return {};
    }
    source = payload_path;
    return payload;
}

// ---------------------------------------------------------------------------
// The token file

// args.jwt receives the token: through a checked descriptor when it is a
// file system path (a new file owner-only, an existing one of this user as
// it is, another user's refused), else through its own write_text.
bool write_token(const State& s, PyObject* output, PyObject* token) {
    qrl::FileForWriting file;
    if (!file.open(output, 0600, "token", "token")) return false;
    if (!file.has_descriptor()) return static_cast<bool>(qrl::call_method(output, s.write_text, token));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(token, &size);
    const bool written = text && (!file.created() || file.restrict_to_owner()) &&
                         file.write_and_close({reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(size)});
    if (!written) file.discard_if_created();
    return written;
}

// payload["iat"] = payload["nbf"] = now; payload["exp"] = now + int(expires)
bool stamp_times(qrl::Call& call, PyObject* payload, PyObject* expires) {
    const State& s = state(call);
    Ref seconds = qrl::call_global_attr(call.globals(), s.time, s.time);
    Ref now = seconds ? qrl::steal(PyNumber_Long(seconds.get())) : Ref();
    if (!now || PyObject_SetItem(payload, s.iat, now.get()) < 0 ||
        PyObject_SetItem(payload, s.nbf, now.get()) < 0)
        return false;
    Ref lifetime = qrl::steal(PyNumber_Long(expires));
    Ref exp = qrl::add(now, lifetime);
    return exp && PyObject_SetItem(payload, s.exp, exp.get()) == 0;
}

PyObject* sign_jwt(qrl::Call& call, PyObject* args) {
    const State& s = state(call);
    Ref payload_file;
    Ref payload = load_payload(call, args, payload_file);
    if (!payload) return nullptr;
    if (!PyDict_Check(payload.get())) return value_error("JWT payload must be a JSON object");

    Ref expires = qrl::getattr(args, s.expires);
    if (!expires) return nullptr;
    if (expires.get() != Py_None && !stamp_times(call, payload.get(), expires.get())) return nullptr;

    Ref private_path = qrl::getattr(args, s.private_);
    Ref token = private_path ? qrl::call_global(call.globals(), s.sign, payload.get(), private_path.get()) : Ref();
    Ref output = token ? qrl::getattr(args, s.jwt) : Ref();
    if (!output) return nullptr;
    const int same = qrl::same_file(output.get(), private_path.get());
    if (same < 0) return nullptr;
    if (same) return value_error("the token file is the private key file; refusing to overwrite the key");
    const int same_payload = payload_file ? qrl::same_file(output.get(), payload_file.get()) : 0;
    if (same_payload < 0) return nullptr;
    if (same_payload)
        return value_error("the token file is the payload file; refusing to overwrite the payload");
    if (!write_token(s, output.get(), token.get())) return nullptr;
    return token.release();
}

// sign_es256_jwt_with_jwk(payload, pem_private_key_to_jwk(privateKeyPath.read_text()))
PyObject* sign(qrl::Call& call, PyObject* payload, PyObject* privateKeyPath) {
    const State& s = state(call);
    Ref decodekey[1];  // pem_private_key_to_jwk
    Ref jwt_es256[1];  // sign_es256_jwt_with_jwk
    if (!qrl::import_names(call.globals(), "decodekey", {s.pem_private_key_to_jwk}, decodekey) ||
        !qrl::import_names(call.globals(), "jwt_es256", {s.sign_es256_jwt_with_jwk}, jwt_es256))
        return nullptr;
    Ref pem = qrl::call_method(privateKeyPath, s.read_text);
    Ref jwk = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    if (!jwk) {
        note_file("the private key file", privateKeyPath);
        return nullptr;
    }
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
