// quarlopro.keygen: the handler of the `keygen` subcommand.
//
// createKeypair makes a fresh P-256 key pair and writes it as two PEM files:
// the private key as PKCS#8 ("PRIVATE KEY"), the public key as
// SubjectPublicKeyInfo ("PUBLIC KEY"). Both texts are complete before the
// first file is touched. Before anything is written it refuses a missing
// path and two paths that name the same file (the public key would replace
// the private one). The private key file is owner-only (0600) from the
// moment it exists, whatever the umask; it is then written through the
// given object's write_bytes, like the public one.
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

using qrl::Held;
using qrl::name;

struct State {
    Held createKeypair = name("createKeypair"), private_ = name("private"), public_ = name("public"),
         write_bytes = name("write_bytes"), encode = name("encode"), ascii = name("ascii");
    Held generate_es256_keypair_jwk = name("generate_es256_keypair_jwk"),
         jwk_private_key_to_pem = name("jwk_private_key_to_pem"), jwk_public_key_to_pem = name("jwk_public_key_to_pem");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

// ---------------------------------------------------------------------------
// Files

// A key file named by a file system path, and whether it was created here,
// so that a failed write can remove it again. Objects that are not paths are
// left to their own write_bytes.
struct KeyFile {
    Ref path;             // file system path (str or bytes), or null
    bool created = false;
    bool existed = false;  // the name was there already (a file, a link)
};

// The file system path of `target` encoded for the OS into `encoded`; false
// with no error set for objects that are not paths.
bool os_path(PyObject* target, KeyFile& file, Ref& encoded) {
    file.path = qrl::steal(PyOS_FSPath(target));
    if (!file.path) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();
        return false;
    }
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(file.path.get(), &bytes)) return false;
    encoded = qrl::steal(bytes);
    return true;
}

// Raises the OSError of errno for the file, as open() would; returns false.
bool file_error(const KeyFile& file, int fd) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.path.get());
    return false;
}

#ifndef _WIN32
// Opens the file `name` for writing without truncating it: a new file is
// created with `mode`, a name that exists already is opened again with
// `existing_flags` added. Returns the descriptor, or -1 with errno set.
int open_key_file(const char* name, mode_t mode, int existing_flags, KeyFile& file) {
    int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    file.created = fd >= 0;
    file.existed = fd < 0 && errno == EEXIST;
    if (file.existed) fd = ::open(name, O_WRONLY | O_CLOEXEC | existing_flags, mode);
    return fd;
}
#endif

// The private key file, made owner-only before any key byte is written:
// created with mode 0600, or, when it is an existing regular file of this
// user, set to 0600. Other existing files (someone else's, devices) keep
// their mode, as write_bytes would leave it. A symbolic link is followed,
// creating its target if need be, as write_bytes does.
bool prepare_private_file(PyObject* target, KeyFile& file) {
#ifndef _WIN32
    Ref bytes;
    if (!os_path(target, file, bytes)) return !PyErr_Occurred();
    // O_CREAT again for a link whose target does not exist yet.
    const int fd = open_key_file(PyBytes_AS_STRING(bytes.get()), 0600, O_CREAT, file);
    struct stat info;
    // A file created here is set too: a strict umask must not leave it
    // without write permission for the write that follows.
    const bool tighten = fd >= 0 && (file.created || (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                                                      info.st_uid == ::geteuid()));
    if (fd < 0 || (tighten && ::fchmod(fd, 0600) != 0)) return file_error(file, fd);
    ::close(fd);
#else
    (void)target;
    (void)file;
#endif
    return true;
}

// The public key file is written after the private one. So that a mistake in
// its name (a missing directory, a directory) cannot cost an existing private
// key, it is opened for writing first, without truncating it: the error is
// the one writing it would raise. A file created here stays empty until the
// public key is written. FIFOs and dangling links are left to write_bytes.
bool check_public_file(PyObject* target, KeyFile& file) {
#ifndef _WIN32
    Ref bytes;
    if (!os_path(target, file, bytes)) return !PyErr_Occurred();
    const int fd = open_key_file(PyBytes_AS_STRING(bytes.get()), 0666, O_NONBLOCK, file);
    // A FIFO without a reader, or a link to nothing yet: left to write_bytes.
    if (fd < 0 && file.existed && (errno == ENXIO || errno == ENOENT)) return true;
    if (fd < 0) return file_error(file, fd);
    ::close(fd);
#else
    (void)target;
    (void)file;
#endif
    return true;
}

// Removes a key file created here after a write failed, keeping the write's
// exception.
void discard_created_file(const KeyFile& file) {
    if (!file.created) return;
    Ref error = qrl::fetch_exception();
#ifndef _WIN32
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(file.path.get(), &encoded)) {
        ::unlink(PyBytes_AS_STRING(encoded));
        Py_DECREF(encoded);
    } else {
        PyErr_Clear();
    }
#endif
    qrl::restore_exception(std::move(error));
}

// ---------------------------------------------------------------------------
// Handlers

using qrl::value_error;

// pem.encode("ascii") of jwk_to_pem(jwk)
Ref pem_bytes(const State& s, PyObject* jwk_to_pem, PyObject* jwk) {
    Ref pem = qrl::call(jwk_to_pem, jwk);
    return pem ? qrl::call_method(pem.get(), s.encode, s.ascii.get()) : Ref();
}

PyObject* create_keypair(qrl::Call& call, PyObject* private_path, PyObject* public_path) {
    const State& s = state(call);
    if (private_path == Py_None) return value_error("createKeypair needs the private key file");
    if (public_path == Py_None) return value_error("createKeypair needs the public key file");
    const int same = qrl::same_file(private_path, public_path);
    if (same < 0) return nullptr;
    if (same) return value_error("the private and public key files must be two different files");

    Ref jwt_es256[1];  // generate_es256_keypair_jwk
    Ref decodekey[2];  // jwk_private_key_to_pem, jwk_public_key_to_pem
    if (!qrl::import_names(call.globals(), "jwt_es256", {s.generate_es256_keypair_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {s.jwk_private_key_to_pem, s.jwk_public_key_to_pem}, decodekey))
        return nullptr;

    Ref pair = qrl::call(jwt_es256[0].get());
    if (!pair) return nullptr;
    Ref jwks[2];  // private, public
    if (!qrl::unpack(pair.get(), jwks)) return nullptr;
    Ref private_pem = pem_bytes(s, decodekey[0].get(), jwks[0].get());
    Ref public_pem = private_pem ? pem_bytes(s, decodekey[1].get(), jwks[1].get()) : Ref();
    if (!public_pem) return nullptr;

    KeyFile public_file, private_file;
    if (!check_public_file(public_path, public_file)) return nullptr;
    if (!prepare_private_file(private_path, private_file)) {
        discard_created_file(public_file);
        return nullptr;
    }
    if (!qrl::call_method(private_path, s.write_bytes, private_pem.get())) {
        discard_created_file(private_file);
        discard_created_file(public_file);
        return nullptr;
    }
    if (!qrl::call_method(public_path, s.write_bytes, public_pem.get())) return nullptr;
    Py_RETURN_NONE;
}

// createKeypair(args.private, args.public), naming a missing option.
PyObject* keygen(qrl::Call& call, PyObject* args) {
    const State& s = state(call);
    Ref private_path = qrl::getattr(args, s.private_);
    Ref public_path = private_path ? qrl::getattr(args, s.public_) : Ref();
    if (!public_path) return nullptr;
    if (private_path.get() == Py_None) return value_error("keygen needs --private: the file for the private key");
    if (public_path.get() == Py_None) return value_error("keygen needs --public: the file for the public key");
    Ref result = qrl::call_global(call.globals(), s.createKeypair, private_path.get(), public_path.get());
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

const qrl::FunctionSpec kKeygen{
    .name = "keygen",
    .doc = "Handle `keygen`: write a new P-256 key pair to args.private and args.public.",
    .params = {{.name = "args"}},
    .impl = qrl::impl<keygen>,
};
const qrl::FunctionSpec kCreateKeypair{
    .name = "createKeypair",
    .doc = "Generate a P-256 key pair; write the PKCS#8 private and SPKI public PEM files.",
    .params = {{.name = "privateKeyPath"}, {.name = "publicKeyPath"}},
    .impl = qrl::impl<create_keypair>,
};

bool exec_keygen(PyObject* module, State& s) {
    return !PyErr_Occurred() && qrl::require_runtime() && qrl::add_functions(module, {&kKeygen, &kCreateKeypair}, &s);
}

qrl::Module<State> definition("quarlopro.keygen", "keygen", "The keygen command: a new ES256 key pair as PEM files.",
                                 exec_keygen);

}  // namespace

PyMODINIT_FUNC PyInit_keygen(void) { return qrl::module_init<definition>(); }
