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

namespace {

using qrl::Held;
using qrl::name;
using qrl::Ref;
using qrl::value_error;

struct State {
    Held createKeypair = name("createKeypair"), private_ = name("private"), public_ = name("public"),
         write_bytes = name("write_bytes"), encode = name("encode"), ascii = name("ascii");
    Held generate_es256_keypair_jwk = name("generate_es256_keypair_jwk"),
         jwk_private_key_to_pem = name("jwk_private_key_to_pem"), jwk_public_key_to_pem = name("jwk_public_key_to_pem");
};

const State& state(qrl::Call& call) { return call.state<State>(); }

// The private key file, made owner-only before any key byte is written when
// it is a regular file (created here, or an existing one of this user as
// open() made sure). Other files (devices) keep their mode.
bool open_private_file(PyObject* target, qrl::FileForWriting& file) {
    return file.open(target, 0600, "private key", "key") &&
           (!file.has_descriptor() || !file.regular() || file.restrict_to_owner());
}

// Writes `pem` into the key file: through its descriptor, or through the
// object's own write_bytes.
bool write_key_file(const State& s, PyObject* target, qrl::FileForWriting& file, PyObject* pem) {
    if (!file.has_descriptor()) return static_cast<bool>(qrl::call_method(target, s.write_bytes, pem));
    if (!PyBytes_Check(pem)) {
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", Py_TYPE(pem)->tp_name);
        return false;
    }
    return file.write_and_close(qrl::bytes_view(pem));
}

// pem.encode("ascii") of jwk_to_pem(jwk)
Ref pem_bytes(const State& s, PyObject* jwk_to_pem, PyObject* jwk) {
    Ref pem = qrl::call(jwk_to_pem, jwk);
    return pem ? qrl::call_method(pem.get(), s.encode, s.ascii.get()) : Ref();
}

PyObject* create_keypair(qrl::Call& call, PyObject* privateKeyPath, PyObject* publicKeyPath) {
    const State& s = state(call);
    if (privateKeyPath == Py_None) return value_error("createKeypair needs the private key file");
    if (publicKeyPath == Py_None) return value_error("createKeypair needs the public key file");
    const int same = qrl::same_file(privateKeyPath, publicKeyPath);
    if (same < 0) return nullptr;
    if (same) return value_error("the private and public key files must be two different files");

    Ref jwt_es256[1];  // generate_es256_keypair_jwk
    Ref decodekey[2];  // jwk_private_key_to_pem, jwk_public_key_to_pem
    if (!qrl::import_names(call.globals(), "jwt_es256", {s.generate_es256_keypair_jwk}, jwt_es256) ||
        !qrl::import_names(call.globals(), "decodekey", {s.jwk_private_key_to_pem, s.jwk_public_key_to_pem}, decodekey))
        return nullptr;

    Ref pair = qrl::call(jwt_es256[0].get());
    Ref jwks[2];  // private, public
    if (!pair || !qrl::unpack(pair.get(), jwks)) return nullptr;
    Ref private_pem = pem_bytes(s, decodekey[0].get(), jwks[0].get());
    Ref public_pem = private_pem ? pem_bytes(s, decodekey[1].get(), jwks[1].get()) : Ref();
    if (!public_pem) return nullptr;

    // Both files are opened before either is written: a bad name for the
    // public one cannot cost an existing private key.
    qrl::FileForWriting public_file, private_file;
    const bool written = public_file.open(publicKeyPath, 0666, "public key", "key") &&
                         open_private_file(privateKeyPath, private_file) &&
                         write_key_file(s, privateKeyPath, private_file, private_pem.get());
    if (!written) private_file.discard_if_created();
    if (!written || !write_key_file(s, publicKeyPath, public_file, public_pem.get())) {
        public_file.discard_if_created();
        return nullptr;
    }
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
