// hashlib, hmac and json through the module's globals.
#include "stdlib.h"

#include "json_text.h"
#include "p256/p256.h"

namespace jwt {

void sha256_native(std::span<const std::uint8_t> data, std::uint8_t digest[32]) {
    if (data.size() < static_cast<std::size_t>(kHashWithoutGil)) {
        p256::sha256(data.data(), data.size(), digest);
        return;
    }
    qrl::WithoutGil unlocked;  // the bytes object is immutable and held by the caller
    p256::sha256(data.data(), data.size(), digest);
}

Ref sha256_digest(qrl::Call& call, PyObject* data) {
    if (PyBytes_CheckExact(data) && unchanged(call, kSha256Route)) {
        std::uint8_t digest[32];
        sha256_native(qrl::bytes_view(data), digest);
        return qrl::bytes_from(digest);
    }
    const Names& n = state(call).names;
    Ref hasher = qrl::call_global_attr(call.globals(), n.hashlib, n.sha256, data);
    return hasher ? qrl::call_method(hasher.get(), n.digest) : Ref();
}

Ref hmac_sha256(qrl::Call& call, PyObject* key, PyObject* message) {
    if (!key || !message) return {};
    const State& s = state(call);
    const Names& n = s.names;
    if (PyBytes_CheckExact(key) && PyBytes_CheckExact(message) && unchanged(call, kHmacRoute)) {
        const auto k = qrl::bytes_view(key), m = qrl::bytes_view(message);
        std::uint8_t mac[32];
        p256::hmac_sha256(k.data(), k.size(), m.data(), m.size(), mac);
        return qrl::bytes_from(mac);
    }
    Ref hmac = global(call, n.hmac);
    Ref new_fn = hmac ? qrl::getattr(hmac.get(), n.new_) : Ref();
    Ref hashlib = new_fn ? global(call, n.hashlib) : Ref();
    Ref sha256 = hashlib ? qrl::getattr(hashlib.get(), n.sha256) : Ref();
    Ref mac = sha256 ? qrl::call(new_fn.get(), key, message, sha256.get()) : Ref();
    return mac ? qrl::call_method(mac.get(), n.digest) : Ref();
}

namespace {

// "".join(c_make_encoder({}, *args)(value, 0)), as the encoder's encode()
// does for a dict.
Ref c_encoded(const State& s, PyObject* value) {
    PyObject* make = s.originals.object(kCanonicalJsonRoute, 6);
    Ref markers = qrl::steal(PyDict_New());
    const Py_ssize_t rest = PyTuple_GET_SIZE(s.c_encoder_args.get());
    Ref args = markers ? qrl::steal(PyTuple_New(1 + rest)) : Ref();
    if (!args) return {};
    PyTuple_SET_ITEM(args.get(), 0, markers.release());
    for (Py_ssize_t i = 0; i < rest; ++i)
        PyTuple_SET_ITEM(args.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(s.c_encoder_args.get(), i)));
    Ref encoder = qrl::steal(PyObject_Call(make, args.get(), nullptr));
    Ref chunks = encoder ? qrl::call(encoder.get(), value, s.constants.zero.get()) : Ref();
    if (chunks && !PyTuple_Check(chunks.get()) && !PyList_Check(chunks.get()))
        chunks = qrl::steal(PySequence_List(chunks.get()));
    return chunks ? qrl::steal(PyUnicode_Join(s.constants.empty_text, chunks.get())) : Ref();
}

}  // namespace

Ref canonical_json_of_originals(const State& s, PyObject* value) {
    // json's C encoder writes plain data without calling back into Python:
    // the same text is written here.
    if (s.c_encoder_args) {
        if (Ref written = canonical_json_of_plain_data(value)) return written;
    }
    return canonical_json_by_encoder(s, value);
}

Ref canonical_json_by_encoder(const State& s, PyObject* value) {
    Ref text = s.c_encoder_args && PyDict_Check(value) ? c_encoded(s, value)
                                                       : qrl::call_method(s.canonical_encoder, s.names.encode, value);
    return text ? qrl::call_method(text.get(), s.names.encode, s.names.utf_8) : Ref();
}

Ref canonical_json(qrl::Call& call, PyObject* value) {
    const State& s = state(call);
    const Names& n = s.names;
    if (s.canonical_encoder && unchanged(call, kCanonicalJsonRoute)) return canonical_json_of_originals(s, value);
    Ref json = global(call, n.json);
    Ref dumps = json ? qrl::getattr(json.get(), n.dumps) : Ref();
    Ref text = dumps ? qrl::call_kw(dumps.get(), {value, s.constants.separators, Py_True},
                                    s.constants.kw_separators_sort_keys)
                     : Ref();
    return text ? qrl::call_method(text.get(), n.encode, n.utf_8) : Ref();
}

namespace {

// The keyword arguments json.dumps(v, separators=(",", ":"), sort_keys=True)
// passes to JSONEncoder: its own keyword defaults for everything else. Null
// when dumps is not the function expected (a `cls` default, say).
Ref canonical_encoder_arguments(const State& s, PyObject* dumps) {
    PyObject* defaults = PyFunction_Check(dumps) ? PyFunction_GET_KW_DEFAULTS(dumps) : nullptr;
    if (!defaults) return {};
    Ref cls = qrl::dict_get(defaults, qrl::name("cls"));
    Ref kwargs = cls && cls.get() == Py_None ? qrl::steal(PyDict_New()) : Ref();
    if (!kwargs) return {};
    for (const char* key : {"skipkeys", "ensure_ascii", "check_circular", "allow_nan", "indent", "default"}) {
        Ref value;
        if (qrl::dict_lookup(defaults, qrl::name(key), value) <= 0 ||
            PyDict_SetItemString(kwargs.get(), key, value.get()) < 0)
            return {};
    }
    if (PyDict_SetItemString(kwargs.get(), "separators", s.constants.separators) < 0 ||
        PyDict_SetItemString(kwargs.get(), "sort_keys", Py_True) < 0)
        return {};
    return kwargs;
}

// The arguments of c_make_encoder after the markers, as iterencode passes
// them for `encoder`; null when json has no C encoder.
Ref c_encoder_arguments(const State& s, PyObject* encoder) {
    PyObject* make = s.originals.object(kCanonicalJsonRoute, 6);
    PyObject* ascii = s.originals.object(kCanonicalJsonRoute, 7);
    if (!make || !PyCallable_Check(make) || !ascii) return {};
    Ref defaults = qrl::getattr(encoder, qrl::name("default"));
    Ref key_separator = defaults ? qrl::getattr(encoder, qrl::name("key_separator")) : Ref();
    Ref item_separator = key_separator ? qrl::getattr(encoder, qrl::name("item_separator")) : Ref();
    Ref sort_keys = item_separator ? qrl::getattr(encoder, qrl::name("sort_keys")) : Ref();
    Ref skipkeys = sort_keys ? qrl::getattr(encoder, qrl::name("skipkeys")) : Ref();
    Ref allow_nan = skipkeys ? qrl::getattr(encoder, qrl::name("allow_nan")) : Ref();
    Ref indent = allow_nan ? qrl::getattr(encoder, qrl::name("indent")) : Ref();
    // The markers dict ({}) and encode_basestring_ascii are what iterencode
    // takes for check_circular and ensure_ascii true.
    Ref check_circular = indent ? qrl::getattr(encoder, qrl::name("check_circular")) : Ref();
    Ref ensure_ascii = check_circular ? qrl::getattr(encoder, qrl::name("ensure_ascii")) : Ref();
    if (!ensure_ascii || indent.get() != Py_None || check_circular.get() != Py_True || ensure_ascii.get() != Py_True)
        return {};
    return qrl::steal(PyTuple_Pack(8, defaults.get(), ascii, Py_None, key_separator.get(), item_separator.get(),
                                   sort_keys.get(), skipkeys.get(), allow_nan.get()));
}

}  // namespace

CanonicalJson make_canonical_json(const State& s) {
    CanonicalJson made;
    PyObject* dumps = s.originals.object(kCanonicalJsonRoute, 0);
    PyObject* encoder_class = s.originals.object(kCanonicalJsonRoute, 1);
    Ref kwargs = dumps && encoder_class ? canonical_encoder_arguments(s, dumps) : Ref();
    Ref no_args = kwargs ? qrl::steal(PyTuple_New(0)) : Ref();
    Ref encoder = no_args ? qrl::steal(PyObject_Call(encoder_class, no_args.get(), kwargs.get())) : Ref();
    Ref c_args = encoder ? c_encoder_arguments(s, encoder.get()) : Ref();
    if (PyErr_Occurred()) PyErr_Clear();  // then the shortcuts are not taken
    made.encoder = encoder;
    made.c_encoder_args = c_args;
    return made;
}

}  // namespace jwt
