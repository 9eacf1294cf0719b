// quarlopro.keygen: the handler of the `keygen` subcommand.
//
// createKeypair makes a fresh P-256 key pair and writes it as two PEM files:
// the private key as PKCS#8 ("PRIVATE KEY"), the public key as
// SubjectPublicKeyInfo ("PUBLIC KEY"). Both texts are complete before the
// first file is touched. Before anything is written it refuses a missing
// path and two paths that name the same file (the public key would replace
// the private one).
//
// A key file named by a path is opened once, checked and written through
// that descriptor, so that it cannot be swapped for another file in between.
// A regular file that belongs to another user is refused, since its owner
// could read the private key, or replace the public key that builds then
// trust. The private key file is owner-only (0600) from the moment it
// exists, whatever the umask. Objects that are not paths are written
// through their own write_bytes.
#include "qrl.h"

#include <span>
#include <string_view>
#include <utility>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using qrl::Ref;

#define KEYGEN_NAMES(X)                                                                                        \
    X(createKeypair, "createKeypair") X(private_, "private") X(public_, "public") X(write_bytes, "write_bytes") \
    X(encode, "encode") X(ascii, "ascii") X(generate_es256_keypair_jwk, "generate_es256_keypair_jwk")          \
    X(jwk_private_key_to_pem, "jwk_private_key_to_pem") X(jwk_public_key_to_pem, "jwk_public_key_to_pem")

struct Names {
#define DECLARE(id, text) PyObject* id;
    KEYGEN_NAMES(DECLARE)
#undef DECLARE
};
Names names;

bool init_names() {
#define INTERN(id, text) names.id = qrl::intern(text).release();
    KEYGEN_NAMES(INTERN)
#undef INTERN
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// Files

// A key file opened for writing: the path as given and as the OS sees it,
// its descriptor (closed when done), whether it is a regular file, and
// whether it was created here, so that a failed write can remove it again.
// Objects that are not paths get no descriptor.
struct KeyFile {
    Ref path;     // file system path (str or bytes), or null
    Ref encoded;  // the path encoded for the OS (bytes), or null
    int fd = -1;
    bool created = false;
    bool regular = false;

    KeyFile() = default;
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;
#ifndef _WIN32
    ~KeyFile() {
        if (fd >= 0) ::close(fd);
    }
#endif
};

// The file system path of `target` into `file`; false with no error set for
// objects that are not paths.
bool os_path(PyObject* target, KeyFile& file) {
    file.path = qrl::steal(PyOS_FSPath(target));
    if (!file.path) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();
        return false;
    }
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(file.path.get(), &bytes)) return false;
    file.encoded = qrl::steal(bytes);
    return true;
}

#ifndef _WIN32
// Raises the OSError of errno for the file, as open() would; returns false.
bool file_error(const KeyFile& file) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.path.get());
    return false;
}

// Writes all of `data` to `fd`; false with errno set.
bool write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        data = data.subspan(static_cast<std::size_t>(written));
    }
    return true;
}
#endif

#ifndef _WIN32
// Opens an existing name for writing as it is. O_CREAT only for a symbolic
// link whose target does not exist yet: with it, a kernel that protects
// files in sticky directories (fs.protected_regular) would refuse another
// user's file before it could be examined.
int open_existing(const char* name, int mode) {
    const int fd = ::open(name, O_WRONLY | O_CLOEXEC);
    return fd >= 0 || errno != ENOENT ? fd : ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, mode);
}
#endif

// Opens the key file `target` for writing without truncating it, so that a
// mistake found here (a missing directory, a directory, a file of another
// user) costs no existing key: a new file is created with `mode`, an
// existing name is opened as it is (a symbolic link is followed, its target
// created if need be; a FIFO waits for its reader). `what` names the file in
// the refusal ("private key").
bool open_key_file(PyObject* target, const char* what, int mode, KeyFile& file) {
#ifndef _WIN32
    if (!os_path(target, file)) return !PyErr_Occurred();
    const char* name = PyBytes_AS_STRING(file.encoded.get());
    file.fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    file.created = file.fd >= 0;
    if (file.fd < 0 && errno == EEXIST) file.fd = open_existing(name, mode);
    struct stat info;
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) return file_error(file);
    file.regular = S_ISREG(info.st_mode);
    if (file.regular && info.st_uid != ::geteuid()) {
        PyErr_Format(PyExc_ValueError, "the %s file %R belongs to another user; refusing to write the key into it",
                     what, file.path.get());
        return false;
    }
#else
    (void)target;
    (void)what;
    (void)mode;
    (void)file;
#endif
    return true;
}

// The private key file, made owner-only before any key byte is written:
// created with mode 0600, or set to 0600 when it is an existing regular file
// (of this user, as open_key_file made sure). Other files (devices) keep
// their mode.
bool open_private_file(PyObject* target, KeyFile& file) {
    if (!open_key_file(target, "private key", 0600, file)) return false;
#ifndef _WIN32
    // A file created here is set too: a strict umask must not leave it
    // without the owner's read permission.
    if (file.regular && ::fchmod(file.fd, 0600) != 0) return file_error(file);
#endif
    return true;
}

// Writes `pem` into the key file: through its descriptor, replacing what a
// regular file held, or through the object's own write_bytes.
bool write_key_file(PyObject* target, KeyFile& file, PyObject* pem) {
#ifndef _WIN32
    if (file.fd >= 0) {
        if (!PyBytes_Check(pem)) {
            PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", Py_TYPE(pem)->tp_name);
            return false;
        }
        if ((file.regular && ::ftruncate(file.fd, 0) != 0) || !write_all(file.fd, qrl::bytes_view(pem)))
            return file_error(file);
        if (::close(std::exchange(file.fd, -1)) != 0) return file_error(file);
        return true;
    }
#endif
    return static_cast<bool>(qrl::call_method(target, names.write_bytes, pem));
}

// Removes a key file created here after a write failed, keeping the write's
// exception.
void discard_created_file(KeyFile& file) {
    if (!file.created) return;
    Ref error = qrl::fetch_exception();
#ifndef _WIN32
    if (file.fd >= 0) ::close(std::exchange(file.fd, -1));
    ::unlink(PyBytes_AS_STRING(file.encoded.get()));
#endif
    qrl::restore_exception(std::move(error));
}

// ---------------------------------------------------------------------------
// Handlers

using qrl::value_error;

// pem.encode("ascii") of jwk_to_pem(jwk)
Ref pem_bytes(PyObject* jwk_to_pem, PyObject* jwk) {
    Ref pem = qrl::call(jwk_to_pem, jwk);
    if (!pem) return {};
    return qrl::call_method(pem.get(), names.encode, names.ascii);
}

PyObject* create_keypair(qrl::Call& call) {
    PyObject* private_path = call[0];
    PyObject* public_path = call[1];
    if (private_path == Py_None) return value_error("createKeypair needs the private key file");
    if (public_path == Py_None) return value_error("createKeypair needs the public key file");
    const int same = qrl::same_file(private_path, public_path);
    if (same < 0) return nullptr;
    if (same) return value_error("the private and public key files must be two different files");

    Ref jwt_es256[1];  // generate_es256_keypair_jwk
    Ref decodekey[2];  // jwk_private_key_to_pem, jwk_public_key_to_pem
    if (!qrl::import_names(call.globals(), "jwt_es256", {names.generate_es256_keypair_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {names.jwk_private_key_to_pem, names.jwk_public_key_to_pem}, decodekey))
        return nullptr;

    Ref pair = qrl::call(jwt_es256[0].get());
    if (!pair) return nullptr;
    Ref jwks[2];  // private, public
    if (!qrl::unpack(pair.get(), jwks)) return nullptr;
    Ref private_pem = pem_bytes(decodekey[0].get(), jwks[0].get());
    Ref public_pem = private_pem ? pem_bytes(decodekey[1].get(), jwks[1].get()) : Ref();
    if (!public_pem) return nullptr;

    // Both files are opened before either is written: a bad name for the
    // public one cannot cost an existing private key.
    KeyFile public_file, private_file;
    const bool written = open_key_file(public_path, "public key", 0666, public_file) &&
                         open_private_file(private_path, private_file) &&
                         write_key_file(private_path, private_file, private_pem.get());
    if (!written) discard_created_file(private_file);
    if (!written || !write_key_file(public_path, public_file, public_pem.get())) {
        discard_created_file(public_file);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// createKeypair(args.private, args.public), naming a missing option.
PyObject* keygen(qrl::Call& call) {
    Ref private_path = qrl::getattr(call[0], names.private_);
    Ref public_path = private_path ? qrl::getattr(call[0], names.public_) : Ref();
    if (!public_path) return nullptr;
    if (private_path.get() == Py_None) return value_error("keygen needs --private: the file for the private key");
    if (public_path.get() == Py_None) return value_error("keygen needs --public: the file for the public key");
    Ref result = qrl::call_global(call.globals(), names.createKeypair, private_path.get(), public_path.get());
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

const qrl::FunctionSpec kKeygen{
    .name = "keygen",
    .doc = "Handle `keygen`: write a new P-256 key pair to args.private and args.public.",
    .params = {{.name = "args"}},
    .impl = keygen,
};
const qrl::FunctionSpec kCreateKeypair{
    .name = "createKeypair",
    .doc = "Generate a P-256 key pair; write the PKCS#8 private and SPKI public PEM files.",
    .params = {{.name = "privateKeyPath"}, {.name = "publicKeyPath"}},
    .impl = create_keypair,
};

int exec_keygen(PyObject* module) {
    if (!qrl::require_runtime() || !init_names()) return -1;
    for (const qrl::FunctionSpec* spec : {&kKeygen, &kCreateKeypair}) {
        if (!qrl::add_function(module, *spec)) return -1;
    }
    return 0;
}

qrl::ModuleDefinition definition("quarlopro.keygen", "keygen", "The keygen command: a new ES256 key pair as PEM files.",
                                 exec_keygen);

}  // namespace

PyMODINIT_FUNC PyInit_keygen(void) { return qrl::module_init<definition>(); }
