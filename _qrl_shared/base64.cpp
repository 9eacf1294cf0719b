// Base64 through a module's global `base64`, directly while it is untouched.
#include "base64.h"

#include "calls.h"
#include "numbers.h"
#include "runtime.h"

#include <string_view>

namespace qrl {

namespace {

// What each function relies on, besides itself (base64.py of 3.11 to 3.13).
constexpr Route kB64encode{"base64.b64encode", "base64.binascii.b2a_base64"};
constexpr Route kUrlsafeB64encode{"base64.urlsafe_b64encode", "base64.b64encode", "base64._urlsafe_encode_translation",
                                  "base64.binascii.b2a_base64"};
constexpr Route kB64decode{"base64.b64decode", "base64._bytes_from_decode_data", "base64.bytes_types",
                           "base64.binascii.a2b_base64"};
constexpr Route kUrlsafeB64decode{"base64.urlsafe_b64decode", "base64._bytes_from_decode_data", "base64.bytes_types",
                                  "base64._urlsafe_decode_translation", "base64.b64decode",
                                  "base64.binascii.a2b_base64"};
constexpr const Route* kRoutes[] = {&kB64encode, &kB64decode, &kUrlsafeB64encode, &kUrlsafeB64decode};
constexpr int kA2bIndex = 3;  // binascii.a2b_base64 in kB64decode

constexpr const char* kFunctionNames[] = {"b64encode", "b64decode", "urlsafe_b64encode", "urlsafe_b64decode"};

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of `data` into `out` (4 * ceil(n / 3) characters with padding, or
// without it when `pad` is false); `urlsafe` uses "-" and "_" for "+" and "/".
template <typename Char>
std::size_t encode_into(std::span<const std::uint8_t> data, bool urlsafe, bool pad, Char* out) {
    const char plus = urlsafe ? '-' : '+', slash = urlsafe ? '_' : '/';
    auto symbol = [&](unsigned index) -> Char {
        const char c = kAlphabet[index & 63];
        return static_cast<Char>(c == '+' ? plus : c == '/' ? slash : c);
    };
    std::size_t n = 0, i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = static_cast<unsigned>(data[i]) << 16 | static_cast<unsigned>(data[i + 1]) << 8 | data[i + 2];
        out[n++] = symbol(v >> 18);
        out[n++] = symbol(v >> 12);
        out[n++] = symbol(v >> 6);
        out[n++] = symbol(v);
    }
    const std::size_t rest = data.size() - i;
    if (rest) {
        const unsigned v = static_cast<unsigned>(data[i]) << 16 | (rest == 2 ? static_cast<unsigned>(data[i + 1]) << 8 : 0);
        out[n++] = symbol(v >> 18);
        out[n++] = symbol(v >> 12);
        if (rest == 2) out[n++] = symbol(v >> 6);
        if (pad) {
            if (rest == 1) out[n++] = '=';
            out[n++] = '=';
        }
    }
    return n;
}

std::size_t encoded_size(std::size_t size, bool pad) { return pad ? (size + 2) / 3 * 4 : (size * 4 + 2) / 3; }

Ref encode_bytes(std::span<const std::uint8_t> data, bool urlsafe) {
    Ref out = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(encoded_size(data.size(), true))));
    if (out) encode_into(data, urlsafe, true, PyBytes_AS_STRING(out.get()));
    return out;
}

Ref encode_text_unpadded(std::span<const std::uint8_t> data) {
    Ref out = steal(PyUnicode_New(static_cast<Py_ssize_t>(encoded_size(data.size(), false)), 127));
    if (out) encode_into(data, true, false, static_cast<Py_UCS1*>(PyUnicode_DATA(out.get())));
    return out;
}

// The ASCII bytes of an exact str (with `padding` "=" added) or of exact
// bytes, "-" and "_" turned into "+" and "/" for the URL-safe alphabet: what
// the wrappers hand to binascii. Null without an error for anything else
// (such arguments go through Python, which raises the wrapper's own errors).
Ref decoder_input(PyObject* arg, bool urlsafe, Py_ssize_t padding) {
    std::string_view text;
    if (PyBytes_CheckExact(arg)) {
        text = {PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg))};
    } else if (PyUnicode_CheckExact(arg) && PyUnicode_IS_ASCII(arg)) {
        text = {static_cast<const char*>(PyUnicode_DATA(arg)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(arg))};
    } else {
        return {};
    }
    Ref out = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text.size()) + padding));
    if (!out) return {};
    char* target = PyBytes_AS_STRING(out.get());
    for (char c : text) *target++ = urlsafe && c == '-' ? '+' : urlsafe && c == '_' ? '/' : c;
    for (Py_ssize_t k = 0; k < padding; ++k) *target++ = '=';
    return out;
}

bool is_table(PyObject* table, const char* from, const char* to) {
    if (!table || !PyBytes_CheckExact(table) || PyBytes_GET_SIZE(table) != 256) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(table));
    for (int c = 0; c < 256; ++c) {
        const unsigned char expected = c == from[0] ? to[0] : c == from[1] ? to[1] : static_cast<unsigned char>(c);
        if (bytes[c] != expected) return false;
    }
    return true;
}

}  // namespace

bool Base64Calls::record(Originals& originals, PyObject* module) {
    name_base64_ = intern("base64");
    for (int i = 0; i < 4; ++i) names_[i] = intern(kFunctionNames[i]);
    name_rstrip_ = intern("rstrip");
    name_decode_ = intern("decode");
    ascii_ = intern("ascii");
    equals_ = intern("=");
    equals_byte_ = bytes_from(std::string_view("="));
    if (PyErr_Occurred() || !originals.record(module, {kRoutes[0], kRoutes[1], kRoutes[2], kRoutes[3]})) return false;
    PyObject* b2a = originals.object(kB64encode, 1);
    PyObject* a2b = originals.object(kB64decode, kA2bIndex);
    standard_ = is_table(originals.object(kUrlsafeB64encode, 2), "+/", "-_") &&
                is_table(originals.object(kUrlsafeB64decode, 3), "-_", "+/") && b2a && PyCFunction_Check(b2a) && a2b &&
                PyCFunction_Check(a2b);
    return true;
}

bool Base64Calls::standard(const Originals& originals, PyObject* globals, Base64Fn fn) const {
    return standard_ && originals.unchanged(globals, route(fn));
}

const Route& Base64Calls::route(Base64Fn fn) { return *kRoutes[static_cast<int>(fn)]; }

Ref Base64Calls::call(const Originals& originals, PyObject* globals, Base64Fn fn, PyObject* arg) const {
    if (standard(originals, globals, fn)) {
        const bool urlsafe = fn == Base64Fn::urlsafe_b64encode || fn == Base64Fn::urlsafe_b64decode;
        if (fn == Base64Fn::b64encode || fn == Base64Fn::urlsafe_b64encode) {
            if (PyBytes_CheckExact(arg)) return encode_bytes(bytes_view(arg), urlsafe);
        } else if (Ref data = decoder_input(arg, urlsafe, 0)) {
            return call_kw(originals.object(kB64decode, kA2bIndex), {data.get(), Py_False},
                           runtime().names.kw_strict_mode.get());
        } else if (PyErr_Occurred()) {
            return {};
        }
    }
    Ref module = global(globals, name_base64_.get());
    Ref function = module ? getattr(module.get(), names_[static_cast<int>(fn)].get()) : Ref();
    return function ? qrl::call(function.get(), arg) : Ref();
}

std::size_t base64url_size(std::size_t size) { return encoded_size(size, false); }

void base64url_encode_into(std::span<const std::uint8_t> data, std::uint8_t* out) {
    encode_into(data, true, false, out);
}

Ref Base64Calls::urlsafe_encode_unpadded(const Originals& originals, PyObject* globals, PyObject* data) const {
    if (PyBytes_CheckExact(data) && standard(originals, globals, Base64Fn::urlsafe_b64encode))
        return encode_text_unpadded(bytes_view(data));
    Ref encoded = call(originals, globals, Base64Fn::urlsafe_b64encode, data);
    Ref stripped = encoded ? call_method(encoded.get(), name_rstrip_.get(), equals_byte_.get()) : Ref();
    return stripped ? call_method(stripped.get(), name_decode_.get(), ascii_.get()) : Ref();
}

Ref Base64Calls::urlsafe_decode_unpadded(const Originals& originals, PyObject* globals, PyObject* text) const {
    const Py_ssize_t padding = (4 - PyUnicode_GET_LENGTH(text) % 4) % 4;
    if (standard(originals, globals, Base64Fn::urlsafe_b64decode)) {
        if (Ref data = decoder_input(text, true, padding))
            return call_kw(originals.object(kB64decode, kA2bIndex), {data.get(), Py_False},
                           runtime().names.kw_strict_mode.get());
        if (PyErr_Occurred()) return {};
    }
    Ref pad = steal(PySequence_Repeat(equals_.get(), padding));
    Ref padded = add(text, pad);
    return padded ? call(originals, globals, Base64Fn::urlsafe_b64decode, padded.get()) : Ref();
}

}  // namespace qrl
