// The four base64 functions the modules call, as their own global `base64`
// would call them. Each is a thin Python wrapper around binascii; while the
// module a caller's global names, the function and everything it relies on
// (its helpers, translation tables, binascii and its function) are the
// objects seen at import, the call goes straight to binascii with the same
// arguments the wrapper would pass, so the result and every error are the
// same. Anything else calls the global's function through Python.
#include "qrl.h"
#include "runtime.h"

namespace qrl {

namespace {

struct Base64Originals {
    PyObject* base64;      // the module
    PyObject* binascii;    // its `binascii`
    PyObject* functions[4];  // b64encode, b64decode, urlsafe_b64encode, urlsafe_b64decode
    PyObject* bytes_from_decode_data;
    PyObject* urlsafe_decode_translation;
    PyObject* urlsafe_encode_translation;
    PyObject* a2b_base64;
    PyObject* b2a_base64;
    // Interned names.
    PyObject* names[4];
    PyObject* name_binascii;
    PyObject* name_bytes_from_decode_data;
    PyObject* name_urlsafe_decode_translation;
    PyObject* name_urlsafe_encode_translation;
    PyObject* name_a2b_base64;
    PyObject* name_b2a_base64;
    PyObject* kw_strict_mode;  // ("strict_mode",)
    PyObject* kw_newline;      // ("newline",)
};
Base64Originals originals;

const char* const kFunctionNames[4] = {"b64encode", "b64decode", "urlsafe_b64encode", "urlsafe_b64decode"};

// Attribute `name` of a module, kept for the life of the process; null if absent.
PyObject* keep(PyObject* module, PyObject* name) {
    PyObject* value = module ? PyObject_GetAttr(module, name) : nullptr;
    if (!value) PyErr_Clear();
    return value;
}

// True when attribute `name` of `module` is exactly `original` (non-null).
bool attribute_is(PyObject* module, PyObject* name, PyObject* original) {
    if (!original) return false;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value == original;
}

bool chain_unchanged(Base64Fn fn) {
    const Base64Originals& o = originals;
    const int index = static_cast<int>(fn);
    if (!attribute_is(o.base64, o.names[index], o.functions[index]) ||
        !attribute_is(o.base64, o.name_binascii, o.binascii))
        return false;
    switch (fn) {
    case Base64Fn::b64encode:
        return attribute_is(o.binascii, o.name_b2a_base64, o.b2a_base64);
    case Base64Fn::urlsafe_b64encode:
        return attribute_is(o.base64, o.names[0], o.functions[0]) &&
               attribute_is(o.base64, o.name_urlsafe_encode_translation, o.urlsafe_encode_translation) &&
               attribute_is(o.binascii, o.name_b2a_base64, o.b2a_base64);
    case Base64Fn::b64decode:
        return attribute_is(o.base64, o.name_bytes_from_decode_data, o.bytes_from_decode_data) &&
               attribute_is(o.binascii, o.name_a2b_base64, o.a2b_base64);
    case Base64Fn::urlsafe_b64decode:
        return attribute_is(o.base64, o.names[1], o.functions[1]) &&
               attribute_is(o.base64, o.name_bytes_from_decode_data, o.bytes_from_decode_data) &&
               attribute_is(o.base64, o.name_urlsafe_decode_translation, o.urlsafe_decode_translation) &&
               attribute_is(o.binascii, o.name_a2b_base64, o.a2b_base64);
    }
    return false;
}

// A copy of `data` with the bytes `from[i]` replaced by `to[i]`, as
// bytes.translate with a table that maps only those two does.
Ref translated(std::span<const std::uint8_t> data, const char from[2], const char to[2]) {
    Ref out = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size())));
    if (!out) return {};
    char* target = PyBytes_AS_STRING(out.get());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = static_cast<char>(data[i]);
        target[i] = c == from[0] ? to[0] : c == from[1] ? to[1] : c;
    }
    return out;
}

// binascii.a2b_base64(data, strict_mode=False), as b64decode calls it.
Ref a2b(PyObject* data) { return call_kw(originals.a2b_base64, {data, Py_False}, originals.kw_strict_mode); }

// binascii.b2a_base64(data, newline=False), as b64encode calls it.
Ref b2a(PyObject* data) { return call_kw(originals.b2a_base64, {data, Py_False}, originals.kw_newline); }

// What _bytes_from_decode_data gives for an exact str of ASCII characters
// or exact bytes; null without an error for anything else (those go
// through Python, which raises the wrapper's own errors).
Ref ascii_bytes(PyObject* arg) {
    if (PyBytes_CheckExact(arg)) return borrow(arg);
    if (PyUnicode_CheckExact(arg) && PyUnicode_IS_ASCII(arg)) {
        return steal(PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(arg)),
                                               PyUnicode_GET_LENGTH(arg)));
    }
    return {};
}

// The direct call; `handled` false when the argument is not one it takes.
Ref direct(Base64Fn fn, PyObject* arg, bool& handled) {
    handled = true;
    switch (fn) {
    case Base64Fn::b64encode:
        if (PyBytes_CheckExact(arg)) return b2a(arg);
        break;
    case Base64Fn::urlsafe_b64encode:
        if (PyBytes_CheckExact(arg)) {
            Ref encoded = b2a(arg);
            return encoded && PyBytes_CheckExact(encoded.get()) ? translated(bytes_view(encoded.get()), "+/", "-_")
                                                                : encoded;
        }
        break;
    case Base64Fn::b64decode:
    case Base64Fn::urlsafe_b64decode: {
        Ref data = ascii_bytes(arg);
        if (!data) {
            if (PyErr_Occurred()) return {};
            break;
        }
        if (fn == Base64Fn::urlsafe_b64decode) data = translated(bytes_view(data.get()), "-_", "+/");
        return data ? a2b(data.get()) : Ref();
    }
    }
    handled = false;
    return {};
}

}  // namespace

bool init_base64_originals() {
    Base64Originals& o = originals;
    o.base64 = PyImport_ImportModule("base64");
    if (!o.base64) return false;
    for (int i = 0; i < 4; ++i) {
        o.names[i] = intern(kFunctionNames[i]).release();
        o.functions[i] = keep(o.base64, o.names[i]);
    }
    o.name_binascii = intern("binascii").release();
    o.name_bytes_from_decode_data = intern("_bytes_from_decode_data").release();
    o.name_urlsafe_decode_translation = intern("_urlsafe_decode_translation").release();
    o.name_urlsafe_encode_translation = intern("_urlsafe_encode_translation").release();
    o.name_a2b_base64 = intern("a2b_base64").release();
    o.name_b2a_base64 = intern("b2a_base64").release();
    o.kw_strict_mode = Py_BuildValue("(s)", "strict_mode");
    o.kw_newline = Py_BuildValue("(s)", "newline");
    if (PyErr_Occurred()) return false;
    o.binascii = keep(o.base64, o.name_binascii);
    o.bytes_from_decode_data = keep(o.base64, o.name_bytes_from_decode_data);
    o.urlsafe_decode_translation = keep(o.base64, o.name_urlsafe_decode_translation);
    o.urlsafe_encode_translation = keep(o.base64, o.name_urlsafe_encode_translation);
    o.a2b_base64 = keep(o.binascii, o.name_a2b_base64);
    o.b2a_base64 = keep(o.binascii, o.name_b2a_base64);
    // Only the tables the wrappers use today are understood here.
    const bool tables_known =
        o.urlsafe_decode_translation && o.urlsafe_encode_translation &&
        PyBytes_CheckExact(o.urlsafe_decode_translation) && PyBytes_CheckExact(o.urlsafe_encode_translation);
    if (!tables_known || !o.binascii || !PyModule_Check(o.binascii)) {
        for (PyObject*& fn : o.functions) fn = nullptr;  // never take the direct call
    }
    return true;
}

Ref base64_call(PyObject* globals, PyObject* module_name, Base64Fn fn, PyObject* arg) {
    Ref module = global(globals, module_name);
    if (!module) return {};
    if (module.get() == originals.base64 && chain_unchanged(fn)) {
        bool handled;
        Ref result = direct(fn, arg, handled);
        if (handled) return result;
    }
    Ref function = getattr(module.get(), originals.names[static_cast<int>(fn)]);
    return function ? call(function.get(), arg) : Ref();
}

}  // namespace qrl
