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

#include <span>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using qrl::Ref;

#define SIGN_NAMES(X)                                                                                             \
    X(pathlib, "pathlib") X(json, "json") X(time, "time") X(logging, "logging") X(getLogger, "getLogger")          \
    X(file, "__file__") X(Path, "Path") X(loads, "loads") X(JSONDecodeError, "JSONDecodeError")                   \
    X(exists, "exists") X(read_text, "read_text") X(write_text, "write_text") X(payload, "payload")                \
    X(expires, "expires") X(private_, "private") X(jwt, "jwt") X(iat, "iat") X(nbf, "nbf") X(exp, "exp")         \
    X(sign, "sign") X(pem_private_key_to_jwk, "pem_private_key_to_jwk")                                          \
    X(sign_es256_jwt_with_jwk, "sign_es256_jwt_with_jwk") X(add_note, "add_note") X(errno_, "errno")

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

// ---------------------------------------------------------------------------
// Notes

// Adds a note (PEP 678) to the exception being raised, which stays raised;
// the command line shows it after the message. The note is made by
// `make_note` while no exception is set; if making or adding it fails, the
// original exception is raised alone.
template <typename MakeNote>
void add_note(MakeNote make_note) {
    Ref error = qrl::fetch_exception();
    Ref note = make_note();
    if (!note || !qrl::call_method(error.get(), names.add_note, note.get())) PyErr_Clear();
    qrl::restore_exception(std::move(error));
}

// A note naming `file` in its `role` ("the payload file claims.json"), unless
// the exception is an OSError, whose message names the file already.
void note_file(const char* role, PyObject* file) {
    if (PyErr_ExceptionMatches(PyExc_OSError)) return;
    add_note([&] { return qrl::steal(PyUnicode_FromFormat("%s %S", role, file)); });
}

// ---------------------------------------------------------------------------
// The payload

// json.loads(text), with json looked up as a global.
Ref json_loads(qrl::Call& call, PyObject* text) {
    return qrl::call_global_attr(call.globals(), names.json, names.loads, text);
}

// payloadPath.exists(), where a name too long for the file system names no
// file: a long payload with a JSON mistake is such a name, and the error of
// the decoder is what the user needs to see, not the payload echoed back.
int names_a_file(PyObject* payload_path) {
    const int exists = qrl::truth(qrl::call_method(payload_path, names.exists));
    if (exists >= 0 || !PyErr_ExceptionMatches(PyExc_OSError)) return exists;
#ifdef ENAMETOOLONG
    Ref error = qrl::fetch_exception();
    Ref number = qrl::getattr(error.get(), names.errno_);
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
    if (!matches) {  // not a syntax error (too deep a nesting ...): not a file name either
        qrl::restore_exception(std::move(decode_error));
        add_note([] { return qrl::steal(PyUnicode_FromString("in PAYLOAD, read as JSON text")); });
        return {};
    }
    qrl::HandlingScope handling(decode_error.get());

    const bool empty = PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) == 0;
    Ref pathlib = qrl::global(call.globals(), names.pathlib);
    Ref path_class = pathlib ? qrl::getattr(pathlib.get(), names.Path) : Ref();
    Ref payload_path = path_class ? qrl::call(path_class.get(), text.get()) : Ref();
    if (!payload_path) return {};
    const int exists = empty ? 0 : names_a_file(payload_path.get());
    if (exists < 0) return {};
    if (!exists) {
        value_error("payload must be a JSON object string or a path to a JSON file");
        add_note([&] {
            return qrl::steal(empty ? PyUnicode_FromString("PAYLOAD is empty")
                                    : PyUnicode_FromFormat("PAYLOAD names no file and is not JSON: %S", decode_error.get()));
        });
        return {};
    }
    Ref read_text = qrl::getattr(payload_path.get(), names.read_text);
    Ref file_text = read_text ? qrl::call_kw(read_text.get(), {utf_8_sig}, kw_encoding) : Ref();
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

#ifndef _WIN32
// Raises the OSError of errno for the file, as open() would; returns false.
bool token_file_error(PyObject* name, int fd) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    return false;
}

// Opens an existing name for writing as it is. O_CREAT only for a symbolic
// link whose target does not exist yet: with it, a kernel that protects
// files in sticky directories (fs.protected_regular) would refuse another
// user's file before it could be examined.
int open_existing(const char* name, int mode) {
    const int fd = ::open(name, O_WRONLY | O_CLOEXEC);
    return fd >= 0 || errno != ENOENT ? fd : ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, mode);
}

// Opens the token file for writing without truncating it: created owner-only,
// or an existing one as it is (a symbolic link is followed, creating its
// target). Returns the descriptor, or -1 with errno set.
int open_token_file(const char* name, bool& created) {
    int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = open_existing(name, 0600);
    return fd;
}

// Writes all of `data` to `fd`; false with errno set.
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The token into the file `name` (the path `path` as the OS sees it): a
// regular file of another user is refused before anything is written; a
// file created here is owner-only and removed again if the write fails.
bool write_token_file(PyObject* path, const char* name, std::string_view token) {
    bool created = false;
    const int fd = open_token_file(name, created);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) return token_file_error(path, fd);
    const bool regular = S_ISREG(info.st_mode);
    if (regular && info.st_uid != ::geteuid()) {
        ::close(fd);
        PyErr_Format(PyExc_ValueError,
                     "the token file %R belongs to another user; refusing to write the token into it", path);
        return false;
    }
    // fchmod too: a strict umask must not take the owner's read permission.
    const bool written = (!created || ::fchmod(fd, 0600) == 0) && (!regular || ::ftruncate(fd, 0) == 0) &&
                         write_all(fd, token);
    if (written && ::close(fd) == 0) return true;
    token_file_error(path, written ? -1 : fd);
    if (created) ::unlink(name);
    return false;
}
#endif

// args.jwt receives the token: through a descriptor when it is a file system
// path, else through its own write_text.
bool write_token(PyObject* output, PyObject* token) {
#ifndef _WIN32
    Ref path = qrl::steal(PyOS_FSPath(output));
    if (path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path.get(), &encoded)) return false;
        Ref name = qrl::steal(encoded);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(token, &size);
        if (!text) return false;
        return write_token_file(path.get(), PyBytes_AS_STRING(name.get()),
                                std::string_view(text, static_cast<std::size_t>(size)));
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
#endif
    return static_cast<bool>(qrl::call_method(output, names.write_text, token));
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
    if (!write_token(output.get(), token.get())) return nullptr;
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
    if (!jwk) {
        note_file("the private key file", call[1]);
        return nullptr;
    }
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
