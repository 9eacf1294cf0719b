// quarlopro.decodekey: EC keys on P-256, P-384 and P-521 between PEM, DER and
// JSON Web Key form, with no cryptographic library.
//
// The module behaves as its Python source would. Every function resolves the
// constants (OID_EC_PUBLIC_KEY, CURVES, CURVES_BY_NAME), its sibling helpers
// and the standard modules (base64, re) through the module's globals when it
// runs. A sibling that is still the function bound at import, given arguments
// of its declared types, runs natively without a Python call; anything else
// is called as the Python object the global now holds. The DER reader and
// writer work natively over the bytes; Base64 and the removal of whitespace
// go through the module's `base64` and `re`. PEM blocks are found natively
// while `re` is the module bound at import (the pattern's answer in linear
// time), and with `re.search` otherwise.
#include "qrl.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using qrl::Arg;
using qrl::Default;
using qrl::Ref;
using Bytes = std::span<const std::uint8_t>;

// ---------------------------------------------------------------------------
// Names, texts and originals, fixed at import

// The module's functions, in the order the module defines them (and the order
// of kSpecs below).
enum Fn : int {
    kB64u,
    kB64uDecode,
    kReadTlv,
    kDerSpkiEcToJwk,
    kPemPublicKeyToDer,
    kPemPrivateKeyToDer,
    kParseOid,
    kCurveNameFromOid,
    kCurveSizeFromName,
    kSec1ToJwk,
    kDerEcPrivateKeyToJwk,
    kPemPrivateKeyToJwk,
    kDerLen,
    kDerTlv,
    kPemArmor,
    kJwkPublicKeyToPem,
    kJwkPrivateKeyToPem,
    kJwkToPem,
    kFunctionCount
};

#define DK_NAMES(X)                                                                                               \
    X(base64, "base64") X(re, "re") X(OID_EC_PUBLIC_KEY, "OID_EC_PUBLIC_KEY") X(CURVES, "CURVES")               \
    X(CURVES_BY_NAME, "CURVES_BY_NAME") X(urlsafe_b64encode, "urlsafe_b64encode")                                \
    X(urlsafe_b64decode, "urlsafe_b64decode") X(b64encode, "b64encode") X(b64decode, "b64decode")                \
    X(search, "search") X(sub, "sub") X(S, "S") X(group, "group") X(rstrip, "rstrip") X(decode, "decode")       \
    X(rjust, "rjust") X(kty, "kty") X(crv, "crv") X(x, "x") X(y, "y") X(d, "d") X(kid, "kid") X(EC, "EC")

struct Names {
    PyObject* fn[kFunctionCount];  // the functions' names
#define DECLARE(id, text) PyObject* id;
    DK_NAMES(DECLARE)
#undef DECLARE
};
Names names;

// The function objects bound at import. Held as strong references so that an
// address can never be reused by a replacement and pass the identity check.
PyObject* originals[kFunctionCount];

// Immutable objects made once.
struct Texts {
    PyObject* zero;              // 0
    PyObject* one;               // 1
    PyObject* two;               // 2
    PyObject* byte_00;           // b"\x00"
    PyObject* byte_01;           // b"\x01"
    PyObject* byte_04;           // b"\x04"
    PyObject* equals_byte;       // b"="
    PyObject* equals;            // "="
    PyObject* empty;             // ""
    PyObject* newline;           // "\n"
    PyObject* ascii;             // "ascii"
    PyObject* whitespace;        // the pattern \s+
    PyObject* public_block;      // the PUBLIC KEY block pattern
    PyObject* private_block;     // the PRIVATE KEY / EC PRIVATE KEY block pattern
    PyObject* markers[3][2];     // BEGIN and END lines: PUBLIC KEY, PRIVATE KEY, EC PRIVATE KEY
    PyObject* public_label;      // "PUBLIC KEY"
    PyObject* private_label;     // "PRIVATE KEY"
    PyObject* begin;             // "-----BEGIN "
    PyObject* dashes_newline;    // "-----\n"
    PyObject* end;               // "\n-----END "
    PyObject* kw_flags;          // ("flags",)
    PyObject* kw_kid;            // ("kid",)
    PyObject* kw_curve_name_kid; // ("curve_name", "kid")
};
Texts texts;

// The standard objects the PEM block search uses, as bound at import.
struct ReOriginals {
    PyObject* re;      // the module
    PyObject* search;  // re.search
    PyObject* S;       // re.S
};
ReOriginals re_originals;

using qrl::value_error;

// The outcome of a check as a C truth value: raises ValueError(message) when
// the check failed (1) and keeps the error raised while checking (-1).
Ref reject(int failed, const char* message) { return failed > 0 ? value_error(message) : Ref(); }

// `not truth` for a C truth value, keeping -1 for an error.
int negate(int truth) { return truth < 0 ? -1 : !truth; }

// ---------------------------------------------------------------------------
// Globals and siblings

// True while the module global of `fn` still is the function bound at import.
bool untouched(PyObject* g, Fn fn) { return qrl::global_is(g, names.fn[fn], originals[fn]); }

// Calls whatever the module global of `fn` now holds.
template <typename... Args>
Ref call_global_fn(PyObject* g, Fn fn, Args... args) {
    return qrl::call_global(g, names.fn[fn], args...);
}

// `module.attribute` for a standard module bound as a module global.
Ref std_attr(PyObject* g, PyObject* module, PyObject* attribute) {
    Ref mod = qrl::global(g, module);
    return mod ? qrl::getattr(mod.get(), attribute) : Ref();
}


bool is_str_or_none(PyObject* obj) { return obj == Py_None || PyUnicode_CheckExact(obj); }

// ---------------------------------------------------------------------------
// Python operations on objects

// `obj OP value` for an int constant (EQ or NE), as Python compares; -1 on error.
int compare_int(PyObject* obj, long value, int op) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long own = PyLong_AsLongAndOverflow(obj, &overflow);
        if (own == -1 && PyErr_Occurred()) return -1;
        const bool equal = !overflow && own == value;
        return op == Py_EQ ? equal : !equal;
    }
    Ref other = qrl::small_int(value);
    return other ? qrl::compare(obj, other.get(), op) : -1;
}

// `obj OP len(sized)`; -1 on error.
int compare_with_len(PyObject* obj, int op, PyObject* sized) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) return -1;
    Ref other = qrl::steal(PyLong_FromSsize_t(length));
    return other ? qrl::compare(obj, other.get(), op) : -1;
}

// `len(sized) OP other`; -1 on error.
int len_compare(PyObject* sized, int op, PyObject* other) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) return -1;
    Ref own = qrl::steal(PyLong_FromSsize_t(length));
    return own ? qrl::compare(own.get(), other, op) : -1;
}

// `obj[0] OP value` (EQ or NE); -1 on error.
int compare_first_item(PyObject* obj, int op, long value) {
    if (PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) > 0) {
        const bool equal = static_cast<unsigned char>(PyBytes_AS_STRING(obj)[0]) == value;
        return op == Py_EQ ? equal : !equal;
    }
    Ref first = qrl::steal(PyObject_GetItem(obj, texts.zero));
    return first ? compare_int(first.get(), value, op) : -1;
}

// `obj[start:stop]`; a null stop leaves the slice open.
Ref slice(PyObject* obj, PyObject* start, PyObject* stop) {
    Ref range = qrl::steal(PySlice_New(start, stop, nullptr));
    return range ? qrl::steal(PyObject_GetItem(obj, range.get())) : Ref();
}

// `table[key]`
Ref item(PyObject* table, PyObject* key) { return qrl::steal(PyObject_GetItem(table, key)); }

// `key in <module global>`; -1 on error.
int global_contains(PyObject* g, PyObject* table_name, PyObject* key) {
    Ref table = qrl::global(g, table_name);
    return table ? PySequence_Contains(table.get(), key) : -1;
}

// `<module global>[key]`
Ref global_item(PyObject* g, PyObject* table_name, PyObject* key) {
    Ref table = qrl::global(g, table_name);
    return table ? item(table.get(), key) : Ref();
}

// dict.get(key) on an exact dict: a new reference, None when missing.
Ref dict_get(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &value);
    if (found < 0) return {};
    return found ? qrl::steal(value) : qrl::borrow(Py_None);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) return {};
    return qrl::borrow(value ? value : Py_None);
#endif
}

// Stores `value` under `key` in a fresh dict; false on error.
bool put(PyObject* dict, PyObject* key, const Ref& value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// ---------------------------------------------------------------------------
// Native DER reading over bytes

// data[index], wrapping negative indices as Python does.
bool byte_at(Bytes data, Py_ssize_t index, unsigned& out) {
    const auto size = static_cast<Py_ssize_t>(data.size());
    const Py_ssize_t at = index < 0 ? index + size : index;
    if (at < 0 || at >= size) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return false;
    }
    out = data[static_cast<std::size_t>(at)];
    return true;
}

// data[start:stop] with Python's clamping of slice bounds.
Bytes python_slice(Bytes data, Py_ssize_t start, Py_ssize_t stop) {
    const auto size = static_cast<Py_ssize_t>(data.size());
    auto clamp = [size](Py_ssize_t bound) -> Py_ssize_t {
        if (bound < 0) return bound + size < 0 ? 0 : bound + size;
        return bound > size ? size : bound;
    };
    start = clamp(start);
    stop = clamp(stop);
    if (stop < start) stop = start;
    return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start));
}

// Big-endian unsigned value of `octets`; false when it needs more than 64 bits.
bool big_endian_u64(Bytes octets, std::uint64_t& value) {
    std::size_t first = 0;
    while (first < octets.size() && octets[first] == 0) ++first;
    if (octets.size() - first > sizeof value) return false;
    value = 0;
    for (std::size_t k = first; k < octets.size(); ++k) value = value << 8 | octets[k];
    return true;
}

// Whether `position + length` stays within Py_ssize_t (the index of a slice).
bool end_fits(Py_ssize_t position, std::uint64_t length) {
    constexpr auto max = static_cast<std::uint64_t>(PY_SSIZE_T_MAX);
    if (position >= 0) return length <= max - static_cast<std::uint64_t>(position);
    return length <= max + static_cast<std::uint64_t>(-(position + 1)) + 1;
}

struct Tlv {
    Ref tag;
    Ref value;
    Ref next;
};

// One element at `index` (an exact int): the single identifier octet, a short
// or long-form length, and the content cut short at the end of the data. The
// declared end is returned even past the data; nothing is bounds-checked
// beyond what indexing and slicing do.
bool read_tlv_native(Bytes data, PyObject* index, Tlv& out) {
    Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    unsigned tag = 0;
    unsigned length_octet = 0;
    if (!byte_at(data, i, tag)) return false;
    ++i;
    if (!byte_at(data, i, length_octet)) return false;
    ++i;
    std::uint64_t length = length_octet;
    bool representable = true;
    if (length_octet & 0x80) {
        const Py_ssize_t count = length_octet & 0x7F;
        representable = big_endian_u64(python_slice(data, i, i + count), length);
        i += count;
    }
    if (!representable || !end_fits(i, length)) {
        // The end index of the value slice does not fit an index-sized integer.
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        return false;
    }
    // In range by end_fits; unsigned arithmetic keeps the sum defined.
    const auto end = static_cast<Py_ssize_t>(static_cast<std::uint64_t>(i) + length);
    out.tag = qrl::steal(PyLong_FromLong(static_cast<long>(tag)));
    out.value = qrl::bytes_from(python_slice(data, i, end));
    out.next = qrl::steal(PyLong_FromSsize_t(end));
    return out.tag && out.value && out.next;
}

// _read_tlv(data, index) through the module global.
bool read_tlv(PyObject* g, PyObject* data, PyObject* index, Tlv& out) {
    if (untouched(g, kReadTlv) && PyBytes_CheckExact(data) && PyLong_CheckExact(index)) {
        return read_tlv_native(qrl::bytes_view(data), index, out);
    }
    Ref result = call_global_fn(g, kReadTlv, data, index);
    Ref parts[3];
    if (!result || !qrl::unpack(result.get(), parts)) return false;
    out = {std::move(parts[0]), std::move(parts[1]), std::move(parts[2])};
    return true;
}

// ---------------------------------------------------------------------------
// Native DER writing

// DER has room for at most 126 length octets (the count 127 is reserved).
constexpr std::size_t kMaxLengthOctets = 126;

// The length octets of a length that fits 64 bits: the short form below 0x80,
// else 0x80 | n and the n minimal big-endian octets. Returns their count.
std::size_t der_len_octets(std::uint64_t length, std::uint8_t out[9]) {
    if (length < 0x80) {
        out[0] = static_cast<std::uint8_t>(length);
        return 1;
    }
    std::size_t count = 0;
    for (std::uint64_t rest = length; rest; rest >>= 8) ++count;
    out[0] = static_cast<std::uint8_t>(0x80 | count);
    for (std::size_t k = 0; k < count; ++k) out[count - k] = static_cast<std::uint8_t>(length >> (8 * k));
    return count + 1;
}

// The error of bytes([value]) for a value outside 0-255.
Ref byte_out_of_range() { return value_error("bytes must be in range(0, 256)"); }

// _der_len for an exact int of any size.
Ref der_len_native(PyObject* length) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(length, &overflow);
    if (small == -1 && PyErr_Occurred()) return {};
    if (overflow < 0 || (!overflow && small < 0)) return byte_out_of_range();
    if (!overflow) {
        std::uint8_t octets[9];
        const std::size_t count = der_len_octets(static_cast<std::uint64_t>(small), octets);
        return qrl::bytes_from(Bytes(octets, count));
    }
    const std::size_t count = (_PyLong_NumBits(length) + 7) / 8;
    if (count > kMaxLengthOctets) return value_error("Length too large for DER");
    const std::uint8_t head = static_cast<std::uint8_t>(0x80 | count);
    Ref head_bytes = qrl::bytes_from(Bytes(&head, 1));
    Ref body = qrl::int_to_bytes_big(length, static_cast<Py_ssize_t>(count));
    return qrl::add(head_bytes, body);
}

// _der_len(len(value)) through the module global.
Ref der_len(PyObject* g, Py_ssize_t length) {
    if (untouched(g, kDerLen)) {
        std::uint8_t octets[9];
        const std::size_t count = der_len_octets(static_cast<std::uint64_t>(length), octets);
        return qrl::bytes_from(Bytes(octets, count));
    }
    Ref length_obj = qrl::steal(PyLong_FromSsize_t(length));
    return length_obj ? call_global_fn(g, kDerLen, length_obj.get()) : Ref();
}

// The identifier octet, `_der_len(len(value))` and the value, in one piece.
Ref der_tlv_native(PyObject* g, std::uint8_t tag, PyObject* value) {
    const Bytes content = qrl::bytes_view(value);
    if (untouched(g, kDerLen)) {
        std::uint8_t octets[9];
        const std::size_t count = der_len_octets(content.size(), octets);
        Ref out = qrl::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(1 + count + content.size())));
        if (!out) return {};
        auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        dst[0] = tag;
        std::copy(octets, octets + count, dst + 1);
        std::copy(content.begin(), content.end(), dst + 1 + count);
        return out;
    }
    Ref identifier = qrl::bytes_from(Bytes(&tag, 1));
    Ref length = identifier ? der_len(g, static_cast<Py_ssize_t>(content.size())) : Ref();
    return qrl::add(qrl::add(identifier, length), value);
}

// _der_tlv(tag, value) through the module global; a null value (an error
// already raised) gives null without calling anything.
Ref der_tlv(PyObject* g, std::uint8_t tag, PyObject* value) {
    if (!value) return {};
    if (untouched(g, kDerTlv) && PyBytes_CheckExact(value)) return der_tlv_native(g, tag, value);
    Ref tag_obj = qrl::small_int(tag);
    return tag_obj ? call_global_fn(g, kDerTlv, tag_obj.get(), value) : Ref();
}
Ref der_tlv(PyObject* g, std::uint8_t tag, const Ref& value) { return der_tlv(g, tag, value.get()); }

// ---------------------------------------------------------------------------
// OIDs

// One subidentifier: the 7-bit groups of `octets`, most significant first.
Ref subidentifier(Bytes octets) {
    if (octets.size() <= 9) {
        std::uint64_t value = 0;
        for (std::uint8_t octet : octets) value = value << 7 | (octet & 0x7F);
        return qrl::steal(PyLong_FromUnsignedLongLong(value));
    }
    // Pack the groups into big-endian octets, least significant group first.
    std::vector<std::uint8_t> packed((octets.size() * 7 + 7) / 8);
    std::size_t out = packed.size();
    unsigned accumulator = 0;
    int bits = 0;
    for (auto it = octets.rbegin(); it != octets.rend(); ++it) {
        accumulator |= static_cast<unsigned>(*it & 0x7F) << bits;
        bits += 7;
        while (bits >= 8) {
            packed[--out] = static_cast<std::uint8_t>(accumulator);
            accumulator >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) packed[--out] = static_cast<std::uint8_t>(accumulator);
    return qrl::int_from_be(packed);
}

// Appends the two arcs held by the first subidentifier, which X.690 encodes
// as 40 * first + second with a first arc of 0, 1 or 2.
bool append_first_arcs(PyObject* arcs, PyObject* value) {
    long first = 0;
    for (long bound : {40L, 80L}) {
        Ref limit = qrl::small_int(bound);
        const int reached = limit ? PyObject_RichCompareBool(value, limit.get(), Py_GE) : -1;
        if (reached < 0) return false;
        first += reached;
    }
    Ref first_arc = qrl::small_int(first);
    Ref offset = qrl::small_int(40 * first);
    Ref second_arc = qrl::sub(value, offset);
    return first_arc && second_arc && PyList_Append(arcs, first_arc.get()) == 0 &&
           PyList_Append(arcs, second_arc.get()) == 0;
}

// _parse_oid: content octets to arcs. Every subidentifier must be complete.
Ref parse_oid(Bytes data) {
    if (data.empty()) return value_error("Invalid OID");
    Ref arcs = qrl::steal(PyList_New(0));
    if (!arcs) return {};
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] & 0x80) continue;
        Ref value = subidentifier(data.subspan(start, i + 1 - start));
        if (!value) return {};
        const bool ok = start == 0 ? append_first_arcs(arcs.get(), value.get())
                                   : PyList_Append(arcs.get(), value.get()) == 0;
        if (!ok) return {};
        start = i + 1;
    }
    if (start != data.size()) return value_error("Invalid OID encoding");
    return arcs;
}

// ---------------------------------------------------------------------------
// Curve lookups

// CURVES[oid_der][0], after refusing OIDs outside the table.
Ref curve_name_from_oid_native(PyObject* g, PyObject* oid_der) {
    const int known = global_contains(g, names.CURVES, oid_der);
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    Ref entry = global_item(g, names.CURVES, oid_der);
    return entry ? item(entry.get(), texts.zero) : Ref();
}

Ref curve_name_from_oid(PyObject* g, PyObject* oid_der) {
    if (untouched(g, kCurveNameFromOid) && PyBytes_CheckExact(oid_der)) return curve_name_from_oid_native(g, oid_der);
    return call_global_fn(g, kCurveNameFromOid, oid_der);
}

// CURVES_BY_NAME[curve_name][1]: a KeyError names an unknown curve.
Ref curve_size_from_name_native(PyObject* g, PyObject* curve_name) {
    Ref entry = global_item(g, names.CURVES_BY_NAME, curve_name);
    return entry ? item(entry.get(), texts.one) : Ref();
}

Ref curve_size_from_name(PyObject* g, PyObject* curve_name) {
    if (untouched(g, kCurveSizeFromName) && PyUnicode_CheckExact(curve_name)) {
        return curve_size_from_name_native(g, curve_name);
    }
    return call_global_fn(g, kCurveSizeFromName, curve_name);
}

// `a, b = table[key]` for a curve table held in a module global.
bool curve_entry(PyObject* g, PyObject* table_name, PyObject* key, Ref& first, Ref& second) {
    Ref entry = global_item(g, table_name, key);
    Ref parts[2];
    if (!entry || !qrl::unpack(entry.get(), parts)) return false;
    first = std::move(parts[0]);
    second = std::move(parts[1]);
    return true;
}

// ---------------------------------------------------------------------------
// Base64url and PEM

// base64.urlsafe_b64encode(b).rstrip(b"=").decode("ascii")
Ref b64u_native(PyObject* g, PyObject* data) {
    Ref encoded = qrl::base64_call(g, names.base64, qrl::Base64Fn::urlsafe_b64encode, data);
    Ref stripped = encoded ? qrl::call_method(encoded.get(), names.rstrip, texts.equals_byte) : Ref();
    return stripped ? qrl::call_method(stripped.get(), names.decode, texts.ascii) : Ref();
}

Ref b64u(PyObject* g, PyObject* data) {
    if (!data) return {};
    if (untouched(g, kB64u) && PyBytes_CheckExact(data)) return b64u_native(g, data);
    return call_global_fn(g, kB64u, data);
}

// base64.urlsafe_b64decode(s + "=" * ((-len(s)) % 4))
Ref b64u_decode_native(PyObject* g, PyObject* text) {
    const Py_ssize_t missing = (4 - PyUnicode_GET_LENGTH(text) % 4) % 4;
    Ref padding = qrl::steal(PySequence_Repeat(texts.equals, missing));
    Ref padded = qrl::add(text, padding);
    return padded ? qrl::base64_call(g, names.base64, qrl::Base64Fn::urlsafe_b64decode, padded.get()) : Ref();
}

Ref b64u_decode(PyObject* g, PyObject* text) {
    if (!text) return {};
    if (untouched(g, kB64uDecode) && PyUnicode_CheckExact(text)) return b64u_decode_native(g, text);
    return call_global_fn(g, kB64uDecode, text);
}

// Standard Base64 of `der`, cut into lines of 64 characters between the
// BEGIN and END lines of `label`; every line ends with LF.
Ref pem_armor_native(PyObject* g, PyObject* label, PyObject* der) {
    Ref encoded = qrl::base64_call(g, names.base64, qrl::Base64Fn::b64encode, der);
    Ref text = encoded ? qrl::call_method(encoded.get(), names.decode, texts.ascii) : Ref();
    if (!text) return {};
    const Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0) return {};
    Ref lines = qrl::steal(PyList_New(0));
    if (!lines) return {};
    for (Py_ssize_t start = 0, stop = 0; start < length; start = stop) {
        stop = start > PY_SSIZE_T_MAX - 64 ? PY_SSIZE_T_MAX : start + 64;
        Ref line = qrl::steal(PySequence_GetSlice(text.get(), start, stop));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return {};
    }
    Ref body = qrl::steal(PyUnicode_Join(texts.newline, lines.get()));
    if (!body) return {};
    PyObject* parts[] = {texts.begin, label, texts.dashes_newline, body.get(), texts.end, label, texts.dashes_newline};
    Ref joined = qrl::steal(PyTuple_New(std::size(parts)));
    if (!joined) return {};
    for (std::size_t k = 0; k < std::size(parts); ++k) PyTuple_SET_ITEM(joined.get(), k, Py_NewRef(parts[k]));
    return qrl::steal(PyUnicode_Join(texts.empty, joined.get()));
}

Ref pem_armor(PyObject* g, PyObject* label, PyObject* der) {
    if (!der) return {};
    if (untouched(g, kPemArmor) && PyBytes_CheckExact(der)) return pem_armor_native(g, label, der);
    return call_global_fn(g, kPemArmor, label, der);
}

// True while the module's `re`, and its `search` and `S`, are the objects
// bound at import.
bool re_untouched(PyObject* g) {
    if (!qrl::global_is(g, names.re, re_originals.re)) return false;
    Ref search = qrl::getattr(re_originals.re, names.search);
    Ref flag = search ? qrl::getattr(re_originals.re, names.S) : Ref();
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    return search.get() == re_originals.search && flag.get() == re_originals.S;
}

// The body of the block that re.search finds with a block pattern
// "-----BEGIN (A|B)-----(.*?)-----END \1-----" and re.S, for the BEGIN and
// END lines of its labels: the match starts at the leftmost BEGIN line of a
// label that an END line of the same label follows (if the first BEGIN line
// of a label has none after it, no later one has), and the body runs to the
// first such END line. Null, with no error, when there is no block. The
// expression reaches the same answer by scanning the rest of the text from
// every BEGIN line that no END line follows: quadratic time in the length of
// a text made of such lines.
Ref find_block(PyObject* text, std::span<PyObject* const[2]> markers) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = -1, body_start = 0, body_end = 0;
    for (PyObject* const* marker : markers) {
        const Py_ssize_t begin = PyUnicode_Find(text, marker[0], 0, length, 1);
        if (begin == -2) return {};
        if (begin < 0 || (start >= 0 && begin > start)) continue;
        const Py_ssize_t after = begin + PyUnicode_GET_LENGTH(marker[0]);
        const Py_ssize_t end = PyUnicode_Find(text, marker[1], after, length, 1);
        if (end == -2) return {};
        if (end < 0) continue;
        start = begin;
        body_start = after;
        body_end = end;
    }
    if (start < 0) return {};
    return qrl::steal(PyUnicode_Substring(text, body_start, body_end));
}

// The first block that `pattern` finds (re.search with flags=re.S), its body
// (group `body_group`) stripped of whitespace by re.sub and decoded by
// base64.b64decode. While `re` is the module bound at import, the block is
// found by find_block, with the same result in linear time.
Ref pem_block_der(PyObject* g, PyObject* text, PyObject* pattern, long body_group,
                  std::span<PyObject* const[2]> markers, const char* missing) {
    Ref body;
    if (PyUnicode_CheckExact(text) && re_untouched(g)) {
        body = find_block(text, markers);
        if (!body) return PyErr_Occurred() ? Ref() : value_error(missing);
    } else {
        Ref search = std_attr(g, names.re, names.search);
        Ref flags = search ? std_attr(g, names.re, names.S) : Ref();
        Ref match = flags ? qrl::call_kw(search.get(), {pattern, text, flags.get()}, texts.kw_flags) : Ref();
        const int found = qrl::truth(match);
        if (found <= 0) return reject(negate(found), missing);
        Ref group = qrl::small_int(body_group);
        body = group ? qrl::call_method(match.get(), names.group, group.get()) : Ref();
        if (!body) return {};
    }
    Ref sub = std_attr(g, names.re, names.sub);
    Ref compact = sub ? qrl::call(sub.get(), texts.whitespace, texts.empty, body.get()) : Ref();
    return compact ? qrl::base64_call(g, names.base64, qrl::Base64Fn::b64decode, compact.get()) : Ref();
}

Ref pem_public_key_to_der_native(PyObject* g, PyObject* text) {
    return pem_block_der(g, text, texts.public_block, 1, std::span(texts.markers).first(1),
                         "PEM does not contain a BEGIN/END PUBLIC KEY block");
}

Ref pem_private_key_to_der_native(PyObject* g, PyObject* text) {
    return pem_block_der(g, text, texts.private_block, 2, std::span(texts.markers).subspan(1),
                         "PEM does not contain a supported private key block");
}

Ref pem_private_key_to_der(PyObject* g, PyObject* text) {
    if (untouched(g, kPemPrivateKeyToDer)) return pem_private_key_to_der_native(g, text);
    return call_global_fn(g, kPemPrivateKeyToDer, text);
}

// ---------------------------------------------------------------------------
// Public keys

// A new JWK {"kty": "EC", "crv": crv}.
Ref new_jwk(PyObject* crv) {
    Ref jwk = qrl::steal(PyDict_New());
    if (!jwk || !put(jwk.get(), names.kty, qrl::borrow(names.EC)) || !put(jwk.get(), names.crv, qrl::borrow(crv))) {
        return {};
    }
    return jwk;
}

// Adds "kid" last when `kid` is true (a non-empty text).
Ref with_kid(Ref jwk, PyObject* kid) {
    const int wanted = PyObject_IsTrue(kid);
    if (wanted < 0) return {};
    if (wanted && !put(jwk.get(), names.kid, qrl::borrow(kid))) return {};
    return jwk;
}

// x and y of an uncompressed point b"\x04" + x + y whose coordinates are
// `size` octets: point[1:1 + size] and point[1 + size:].
bool split_point(PyObject* point, PyObject* size, Ref& x, Ref& y) {
    Ref middle = qrl::add(texts.one, size);
    x = middle ? slice(point, texts.one, middle.get()) : Ref();
    y = x ? slice(point, middle.get(), nullptr) : Ref();
    return static_cast<bool>(y);
}

// `len(point) OP 1 + 2 * size`; -1 on error.
int compare_point_length(PyObject* point, int op, PyObject* size) {
    const Py_ssize_t length = PyObject_Size(point);
    if (length < 0) return -1;
    Ref own = qrl::steal(PyLong_FromSsize_t(length));
    Ref expected = own ? qrl::add(texts.one, qrl::mul(texts.two, size)) : Ref();
    return expected ? qrl::compare(own.get(), expected.get(), op) : -1;
}

Ref der_spki_ec_to_jwk_native(PyObject* g, PyObject* der, PyObject* kid) {
    Tlv outer;
    if (!read_tlv(g, der, texts.zero, outer)) return {};
    int bad = compare_int(outer.tag.get(), 0x30, Py_NE);
    if (bad == 0) bad = compare_with_len(outer.next.get(), Py_NE, der);
    if (bad) return reject(bad, "Invalid DER SPKI");
    PyObject* spki = outer.value.get();

    Tlv algorithm;
    if (!read_tlv(g, spki, texts.zero, algorithm)) return {};
    bad = compare_int(algorithm.tag.get(), 0x30, Py_NE);
    if (bad) return reject(bad, "Invalid algorithm identifier");

    Tlv bits;
    if (!read_tlv(g, spki, algorithm.next.get(), bits)) return {};
    bad = compare_int(bits.tag.get(), 0x03, Py_NE);
    if (bad == 0) bad = compare_with_len(bits.next.get(), Py_NE, spki);
    if (bad) return reject(bad, "Invalid subjectPublicKey BIT STRING");

    PyObject* alg_seq = algorithm.value.get();
    Tlv oid_alg, oid_curve;
    if (!read_tlv(g, alg_seq, texts.zero, oid_alg) || !read_tlv(g, alg_seq, oid_alg.next.get(), oid_curve)) return {};
    bad = compare_int(oid_alg.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_int(oid_curve.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_with_len(oid_curve.next.get(), Py_NE, alg_seq);
    if (bad) return reject(bad, "Invalid algorithm OIDs");

    Ref ec_oid = qrl::global(g, names.OID_EC_PUBLIC_KEY);
    bad = ec_oid ? qrl::compare(oid_alg.value.get(), ec_oid.get(), Py_NE) : -1;
    if (bad) return reject(bad, "Not an EC public key");

    const int known = global_contains(g, names.CURVES, oid_curve.value.get());
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    Ref crv, size;
    if (!curve_entry(g, names.CURVES, oid_curve.value.get(), crv, size)) return {};

    PyObject* bitstr = bits.value.get();
    bad = PyObject_Not(bitstr);
    if (bad == 0) bad = compare_first_item(bitstr, Py_NE, 0);
    if (bad) return reject(bad, "Invalid BIT STRING");

    Ref point = slice(bitstr, texts.one, nullptr);
    if (!point) return {};
    bad = compare_point_length(point.get(), Py_NE, size.get());
    if (bad == 0) bad = compare_first_item(point.get(), Py_NE, 0x04);
    if (bad) return reject(bad, "Only uncompressed EC points are supported");

    Ref x, y;
    if (!split_point(point.get(), size.get(), x, y)) return {};
    Ref jwk = new_jwk(crv.get());
    if (!jwk || !put(jwk.get(), names.x, b64u(g, x.get())) || !put(jwk.get(), names.y, b64u(g, y.get()))) return {};
    return with_kid(std::move(jwk), kid);
}

Ref jwk_public_key_to_pem(PyObject* g, PyObject* jwk);
Ref jwk_private_key_to_pem(PyObject* g, PyObject* jwk);

// `jwk.get("kty") != "EC"` and `jwk.get("crv") not in CURVES_BY_NAME`, with
// their messages. Returns crv, or null with the error raised.
Ref check_kty_and_crv(PyObject* g, PyObject* jwk) {
    Ref kty = dict_get(jwk, names.kty);
    const int not_ec = kty ? qrl::compare(kty.get(), names.EC, Py_NE) : -1;
    if (not_ec) return reject(not_ec, "Only EC JWK is supported");
    Ref crv = dict_get(jwk, names.crv);
    const int known = crv ? global_contains(g, names.CURVES_BY_NAME, crv.get()) : -1;
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    return crv;
}

// `"a" in jwk and "b" in jwk`; -1 on error.
int has_members(PyObject* jwk, PyObject* a, PyObject* b) {
    const int first = PyDict_Contains(jwk, a);
    return first > 0 ? PyDict_Contains(jwk, b) : first;
}

// _b64u_decode(jwk[member])
Ref decode_member(PyObject* g, PyObject* jwk, PyObject* member) {
    Ref text = item(jwk, member);
    return text ? b64u_decode(g, text.get()) : Ref();
}

// x and y decoded from the JWK, each checked to be `size` octets.
bool decode_coordinates(PyObject* g, PyObject* jwk, PyObject* size, Ref& x, Ref& y) {
    x = decode_member(g, jwk, names.x);
    y = x ? decode_member(g, jwk, names.y) : Ref();
    if (!y) return false;
    int bad = len_compare(x.get(), Py_NE, size);
    if (bad == 0) bad = len_compare(y.get(), Py_NE, size);
    if (bad) reject(bad, "Invalid EC coordinate size for curve");
    return bad == 0;
}

// _der_tlv(0x30, _der_tlv(0x06, OID_EC_PUBLIC_KEY) + _der_tlv(0x06, curve_oid))
Ref algorithm_identifier(PyObject* g, PyObject* curve_oid) {
    Ref ec_oid = qrl::global(g, names.OID_EC_PUBLIC_KEY);
    Ref first = der_tlv(g, 0x06, ec_oid);
    Ref second = first ? der_tlv(g, 0x06, curve_oid) : Ref();
    return der_tlv(g, 0x30, second ? qrl::add(first, second) : Ref());
}

// b"\x04" + x + y: an uncompressed point.
Ref uncompressed_point(const Ref& x, const Ref& y) { return qrl::add(qrl::add(texts.byte_04, x), y); }

// _der_tlv(0x03, b"\x00" + point): the point with no unused bits.
Ref point_bit_string(PyObject* g, const Ref& point) { return der_tlv(g, 0x03, qrl::add(texts.byte_00, point)); }

Ref jwk_public_key_to_pem_native(PyObject* g, PyObject* jwk) {
    Ref crv = check_kty_and_crv(g, jwk);
    if (!crv) return {};
    const int complete = has_members(jwk, names.x, names.y);
    if (complete <= 0) return reject(negate(complete), "JWK must contain x and y");
    Ref curve_oid, size;
    if (!curve_entry(g, names.CURVES_BY_NAME, crv.get(), curve_oid, size)) return {};
    Ref x, y;
    if (!decode_coordinates(g, jwk, size.get(), x, y)) return {};

    Ref alg_id = algorithm_identifier(g, curve_oid.get());
    Ref point = alg_id ? uncompressed_point(x, y) : Ref();
    Ref key = point_bit_string(g, point);
    Ref spki = der_tlv(g, 0x30, key ? qrl::add(alg_id, key) : Ref());
    return pem_armor(g, texts.public_label, spki.get());
}

Ref jwk_public_key_to_pem(PyObject* g, PyObject* jwk) {
    if (untouched(g, kJwkPublicKeyToPem)) return jwk_public_key_to_pem_native(g, jwk);
    return call_global_fn(g, kJwkPublicKeyToPem, jwk);
}

// ---------------------------------------------------------------------------
// Private keys: reading

// The [1] field of a SEC1 key: sets x and y when it holds exactly a BIT STRING
// with no unused bits and an uncompressed point of the known curve's size.
// Anything else is skipped; false only for a raised error.
bool read_public_point(PyObject* g, PyObject* field, PyObject* curve_name, Ref& x, Ref& y) {
    Tlv bits;
    if (!read_tlv(g, field, texts.zero, bits)) return false;
    PyObject* bit_val = bits.value.get();
    int usable = compare_int(bits.tag.get(), 0x03, Py_EQ);
    if (usable > 0) usable = compare_with_len(bits.next.get(), Py_EQ, field);
    if (usable > 0) usable = PyObject_IsTrue(bit_val);
    if (usable > 0) usable = compare_first_item(bit_val, Py_EQ, 0);
    if (usable <= 0) return usable == 0;

    Ref point = slice(bit_val, texts.one, nullptr);
    if (!point) return false;
    usable = PyObject_IsTrue(point.get());
    if (usable > 0) usable = compare_first_item(point.get(), Py_EQ, 0x04);
    if (usable > 0) usable = curve_name != Py_None;
    if (usable <= 0) return usable == 0;

    Ref size = curve_size_from_name(g, curve_name);
    if (!size) return false;
    usable = compare_point_length(point.get(), Py_EQ, size.get());
    if (usable <= 0) return usable == 0;
    return split_point(point.get(), size.get(), x, y);
}

// The [0] field of a SEC1 key: exactly one OBJECT IDENTIFIER naming the curve.
Ref read_curve_params(PyObject* g, PyObject* field) {
    Tlv oid;
    if (!read_tlv(g, field, texts.zero, oid)) return {};
    int bad = compare_int(oid.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_with_len(oid.next.get(), Py_NE, field);
    if (bad) return reject(bad, "Invalid EC private key curve params");
    return curve_name_from_oid(g, oid.value.get());
}

// `int.from_bytes(value, "big") != 1`; -1 on error.
int version_is_not_one(PyObject* value) {
    Ref version = qrl::int_from_bytes_big(value);
    return version ? compare_int(version.get(), 1, Py_NE) : -1;
}

Ref sec1_to_jwk_native(PyObject* g, PyObject* ec_der, PyObject* curve_name_arg, PyObject* kid) {
    Ref curve_name = qrl::borrow(curve_name_arg);
    Tlv outer;
    if (!read_tlv(g, ec_der, texts.zero, outer)) return {};
    int bad = compare_int(outer.tag.get(), 0x30, Py_NE);
    if (bad == 0) bad = compare_with_len(outer.next.get(), Py_NE, ec_der);
    if (bad) return reject(bad, "Invalid EC private key DER");
    PyObject* seq = outer.value.get();

    Tlv version;
    if (!read_tlv(g, seq, texts.zero, version)) return {};
    bad = compare_int(version.tag.get(), 0x02, Py_NE);
    if (bad == 0) bad = version_is_not_one(version.value.get());
    if (bad) return reject(bad, "Invalid EC private key version");

    // A scalar whose declared length runs past the sequence is truncated:
    // refused rather than zero-filled into a different key.
    Tlv scalar;
    if (!read_tlv(g, seq, version.next.get(), scalar)) return {};
    bad = compare_int(scalar.tag.get(), 0x04, Py_NE);
    if (bad == 0) bad = compare_with_len(scalar.next.get(), Py_GT, seq);
    if (bad) return reject(bad, "Invalid EC private key scalar");

    Ref x, y;
    Ref offset = scalar.next;
    for (;;) {
        const int more = compare_with_len(offset.get(), Py_LT, seq);
        if (more < 0) return {};
        if (!more) break;
        Tlv field;
        if (!read_tlv(g, seq, offset.get(), field)) return {};
        offset = field.next;
        const int params = compare_int(field.tag.get(), 0xA0, Py_EQ);
        if (params < 0) return {};
        if (params && curve_name.get() == Py_None) {
            // The first source of the curve wins; later [0] fields are skipped.
            curve_name = read_curve_params(g, field.value.get());
            if (!curve_name) return {};
            continue;
        }
        const int public_point = compare_int(field.tag.get(), 0xA1, Py_EQ);
        if (public_point < 0) return {};
        if (public_point && !read_public_point(g, field.value.get(), curve_name.get(), x, y)) return {};
    }
    if (curve_name.get() == Py_None) return value_error("Curve information missing from EC private key");

    Ref size = curve_size_from_name(g, curve_name.get());
    bad = size ? len_compare(scalar.value.get(), Py_GT, size.get()) : -1;
    if (bad) return reject(bad, "Invalid private key size");
    Ref d = qrl::call_method(scalar.value.get(), names.rjust, size.get(), texts.byte_00);
    if (!d) return {};

    Ref jwk = new_jwk(curve_name.get());
    if (!jwk || !put(jwk.get(), names.d, b64u(g, d.get()))) return {};
    if (x && y && (!put(jwk.get(), names.x, b64u(g, x.get())) || !put(jwk.get(), names.y, b64u(g, y.get())))) {
        return {};
    }
    return with_kid(std::move(jwk), kid);
}

// _der_ec_private_key_to_jwk_sec1(ec_der, curve_name=..., kid=kid)
Ref sec1_to_jwk(PyObject* g, PyObject* ec_der, PyObject* curve_name, PyObject* kid) {
    if (untouched(g, kSec1ToJwk) && PyBytes_CheckExact(ec_der) && is_str_or_none(curve_name) && is_str_or_none(kid)) {
        return sec1_to_jwk_native(g, ec_der, curve_name, kid);
    }
    Ref fn = qrl::global(g, names.fn[kSec1ToJwk]);
    return fn ? qrl::call_kw(fn.get(), {ec_der, curve_name, kid}, texts.kw_curve_name_kid) : Ref();
}

// The PKCS#8 reading of `der`: the JWK of the SEC1 key it wraps. Null with no
// error raised when `der` is not a PKCS#8 EC key; null with the error raised
// when a step raised.
Ref read_pkcs8(PyObject* g, PyObject* der, PyObject* kid) {
    Tlv outer;
    if (!read_tlv(g, der, texts.zero, outer)) return {};
    int ok = compare_int(outer.tag.get(), 0x30, Py_EQ);
    if (ok > 0) ok = compare_with_len(outer.next.get(), Py_EQ, der);
    if (ok <= 0) return {};
    PyObject* seq = outer.value.get();

    Tlv version;
    if (!read_tlv(g, seq, texts.zero, version)) return {};
    if (compare_int(version.tag.get(), 0x02, Py_EQ) <= 0) return {};

    Tlv algorithm;
    if (!read_tlv(g, seq, version.next.get(), algorithm)) return {};
    if (compare_int(algorithm.tag.get(), 0x30, Py_EQ) <= 0) return {};

    PyObject* alg_val = algorithm.value.get();
    Tlv oid_alg, oid_curve;
    if (!read_tlv(g, alg_val, texts.zero, oid_alg) || !read_tlv(g, alg_val, oid_alg.next.get(), oid_curve)) return {};
    ok = compare_int(oid_alg.tag.get(), 0x06, Py_EQ);
    if (ok > 0) ok = compare_int(oid_curve.tag.get(), 0x06, Py_EQ);
    if (ok > 0) ok = compare_with_len(oid_curve.next.get(), Py_EQ, alg_val);
    if (ok > 0) {
        Ref ec_oid = qrl::global(g, names.OID_EC_PUBLIC_KEY);
        ok = ec_oid ? qrl::compare(oid_alg.value.get(), ec_oid.get(), Py_EQ) : -1;
    }
    if (ok <= 0) return {};

    Ref curve_name = curve_name_from_oid(g, oid_curve.value.get());
    if (!curve_name) return {};
    Tlv key;
    if (!read_tlv(g, seq, algorithm.next.get(), key)) return {};
    if (compare_int(key.tag.get(), 0x04, Py_EQ) <= 0) return {};
    return sec1_to_jwk(g, key.value.get(), curve_name.get(), kid);
}

// PKCS#8 first; when that attempt fails in any way short of an exception
// outside `Exception`, the whole input is read as SEC1.
Ref der_ec_private_key_to_jwk_native(PyObject* g, PyObject* der, PyObject* kid) {
    Ref jwk = read_pkcs8(g, der, kid);
    if (jwk) return jwk;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    return sec1_to_jwk(g, der, Py_None, kid);
}

// der_ec_private_key_to_jwk(der, kid=kid)
Ref der_ec_private_key_to_jwk(PyObject* g, PyObject* der, PyObject* kid) {
    if (untouched(g, kDerEcPrivateKeyToJwk) && PyBytes_CheckExact(der) && is_str_or_none(kid)) {
        return der_ec_private_key_to_jwk_native(g, der, kid);
    }
    Ref fn = qrl::global(g, names.fn[kDerEcPrivateKeyToJwk]);
    return fn ? qrl::call_kw(fn.get(), {der, kid}, texts.kw_kid) : Ref();
}

// ---------------------------------------------------------------------------
// Private keys: writing

// SEC1 ECPrivateKey: version 1, the scalar and, when given, the public point
// in [1]; never the [0] parameters.
Ref sec1_key(PyObject* g, const Ref& d, const Ref& point) {
    Ref version = der_tlv(g, 0x02, texts.byte_01);
    Ref scalar = version ? der_tlv(g, 0x04, d) : Ref();
    Ref body = scalar ? qrl::add(version, scalar) : Ref();
    if (body && point) {
        Ref tagged = der_tlv(g, 0xA1, point_bit_string(g, point));
        body = tagged ? qrl::add(body, tagged) : Ref();
    }
    return der_tlv(g, 0x30, body);
}

Ref jwk_private_key_to_pem_native(PyObject* g, PyObject* jwk) {
    Ref crv = check_kty_and_crv(g, jwk);
    if (!crv) return {};
    const int has_d = PyDict_Contains(jwk, names.d);
    if (has_d <= 0) return reject(negate(has_d), "JWK must contain d");
    Ref curve_oid, size;
    if (!curve_entry(g, names.CURVES_BY_NAME, crv.get(), curve_oid, size)) return {};
    Ref d = decode_member(g, jwk, names.d);
    const int bad = d ? len_compare(d.get(), Py_NE, size.get()) : -1;
    if (bad) return reject(bad, "Invalid private key size for curve");

    // The key is built without the point first, and again with it when both
    // coordinates are members.
    Ref sec1 = sec1_key(g, d, Ref());
    if (!sec1) return {};
    const int with_point = has_members(jwk, names.x, names.y);
    if (with_point < 0) return {};
    if (with_point) {
        Ref x, y;
        if (!decode_coordinates(g, jwk, size.get(), x, y)) return {};
        Ref point = uncompressed_point(x, y);
        sec1 = point ? sec1_key(g, d, point) : Ref();
        if (!sec1) return {};
    }

    Ref alg_id = algorithm_identifier(g, curve_oid.get());
    Ref version = alg_id ? der_tlv(g, 0x02, texts.byte_00) : Ref();
    Ref wrapped = version ? der_tlv(g, 0x04, sec1) : Ref();
    Ref pkcs8 = der_tlv(g, 0x30, wrapped ? qrl::add(qrl::add(version, alg_id), wrapped) : Ref());
    return pem_armor(g, texts.private_label, pkcs8.get());
}

Ref jwk_private_key_to_pem(PyObject* g, PyObject* jwk) {
    if (untouched(g, kJwkPrivateKeyToPem)) return jwk_private_key_to_pem_native(g, jwk);
    return call_global_fn(g, kJwkPrivateKeyToPem, jwk);
}

// ---------------------------------------------------------------------------
// Entries: the checked arguments of a call handed to the algorithms

PyObject* b64u_entry(qrl::Call& call) { return b64u_native(call.globals(), call[0]).release(); }

PyObject* b64u_decode_entry(qrl::Call& call) { return b64u_decode_native(call.globals(), call[0]).release(); }

PyObject* read_tlv_entry(qrl::Call& call) {
    Tlv tlv;
    if (!read_tlv_native(qrl::bytes_view(call[0]), call[1], tlv)) return nullptr;
    return PyTuple_Pack(3, tlv.tag.get(), tlv.value.get(), tlv.next.get());
}

PyObject* der_spki_ec_to_jwk_entry(qrl::Call& call) {
    return der_spki_ec_to_jwk_native(call.globals(), call[0], call[1]).release();
}

PyObject* pem_public_key_to_der_entry(qrl::Call& call) {
    return pem_public_key_to_der_native(call.globals(), call[0]).release();
}

PyObject* pem_private_key_to_der_entry(qrl::Call& call) {
    return pem_private_key_to_der_native(call.globals(), call[0]).release();
}

PyObject* curve_name_from_oid_entry(qrl::Call& call) {
    return curve_name_from_oid_native(call.globals(), call[0]).release();
}

PyObject* curve_size_from_name_entry(qrl::Call& call) {
    return curve_size_from_name_native(call.globals(), call[0]).release();
}

PyObject* sec1_to_jwk_entry(qrl::Call& call) {
    return sec1_to_jwk_native(call.globals(), call[0], call[1], call[2]).release();
}

PyObject* der_ec_private_key_to_jwk_entry(qrl::Call& call) {
    return der_ec_private_key_to_jwk_native(call.globals(), call[0], call[1]).release();
}

PyObject* pem_private_key_to_jwk_entry(qrl::Call& call) {
    PyObject* g = call.globals();
    Ref der = pem_private_key_to_der(g, call[0]);
    return der ? der_ec_private_key_to_jwk(g, der.get(), call[1]).release() : nullptr;
}

PyObject* parse_oid_entry(qrl::Call& call) { return parse_oid(qrl::bytes_view(call[0])).release(); }

PyObject* der_len_entry(qrl::Call& call) { return der_len_native(call[0]).release(); }

PyObject* der_tlv_entry(qrl::Call& call) {
    int overflow = 0;
    const long tag = PyLong_AsLongAndOverflow(call[0], &overflow);
    if (tag == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || tag < 0 || tag > 0xFF) return byte_out_of_range().release();
    return der_tlv_native(call.globals(), static_cast<std::uint8_t>(tag), call[1]).release();
}

PyObject* pem_armor_entry(qrl::Call& call) { return pem_armor_native(call.globals(), call[0], call[1]).release(); }

PyObject* jwk_public_key_to_pem_entry(qrl::Call& call) {
    return jwk_public_key_to_pem_native(call.globals(), call[0]).release();
}

PyObject* jwk_private_key_to_pem_entry(qrl::Call& call) {
    return jwk_private_key_to_pem_native(call.globals(), call[0]).release();
}

// A JWK with a "d" member (whatever its value) is a private key.
PyObject* jwk_to_pem_entry(qrl::Call& call) {
    PyObject* g = call.globals();
    PyObject* jwk = call[0];
    const int has_d = PyDict_Contains(jwk, names.d);
    if (has_d < 0) return nullptr;
    return (has_d ? jwk_private_key_to_pem(g, jwk) : jwk_public_key_to_pem(g, jwk)).release();
}

// ---------------------------------------------------------------------------
// The module

constexpr qrl::Param kKidParam{.name = "kid", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None};

const qrl::FunctionSpec kSpecs[kFunctionCount] = {
    {
        .name = "_b64u",
        .doc = "Encode bytes as Base64url text without padding.",
        .params = {{.name = "b", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = b64u_entry,
    },
    {
        .name = "_b64u_decode",
        .doc = "Decode Base64url text, padded or not, to bytes.",
        .params = {{.name = "s", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = b64u_decode_entry,
    },
    {
        .name = "_read_tlv",
        .doc = "Read one DER element at index i: (tag, value, next index).",
        .params = {{.name = "data", .kind = Arg::Bytes, .annotation = "bytes"},
                   {.name = "i", .kind = Arg::Int, .annotation = "int"}},
        .return_annotation = "tuple",
        .impl = read_tlv_entry,
    },
    {
        .name = "der_spki_ec_to_jwk",
        .doc = "Convert a DER SubjectPublicKeyInfo of an EC key to a public JWK.",
        .params = {{.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}, kKidParam},
        .return_annotation = "dict",
        .impl = der_spki_ec_to_jwk_entry,
    },
    {
        .name = "pem_public_key_to_der",
        .doc = "Return the DER inside the first PUBLIC KEY block of PEM text.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = pem_public_key_to_der_entry,
    },
    {
        .name = "pem_private_key_to_der",
        .doc = "Return the DER inside the first PRIVATE KEY or EC PRIVATE KEY block of PEM text.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = pem_private_key_to_der_entry,
    },
    {
        .name = "_parse_oid",
        .doc = "Decode OBJECT IDENTIFIER content octets into a list of arcs.",
        .params = {{.name = "der_oid", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "list[int]",
        .impl = parse_oid_entry,
    },
    {
        .name = "_curve_name_from_oid",
        .doc = "Return the curve name of a curve OID in CURVES.",
        .params = {{.name = "oid_der", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = curve_name_from_oid_entry,
    },
    {
        .name = "_curve_size_from_name",
        .doc = "Return the field element size in bytes of a named curve.",
        .params = {{.name = "curve_name", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "int",
        .impl = curve_size_from_name_entry,
    },
    {
        .name = "_der_ec_private_key_to_jwk_sec1",
        .doc = "Convert a DER SEC1 ECPrivateKey to a private JWK.",
        .params = {{.name = "ec_der", .kind = Arg::Bytes, .annotation = "bytes"},
                   {.name = "curve_name", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None},
                   kKidParam},
        .return_annotation = "dict",
        .impl = sec1_to_jwk_entry,
    },
    {
        .name = "der_ec_private_key_to_jwk",
        .doc = "Convert a DER EC private key, PKCS#8 or SEC1, to a private JWK.",
        .params = {{.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}, kKidParam},
        .return_annotation = "dict",
        .impl = der_ec_private_key_to_jwk_entry,
    },
    {
        .name = "pem_private_key_to_jwk",
        .doc = "Convert a PEM EC private key, PKCS#8 or SEC1, to a private JWK.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}, kKidParam},
        .return_annotation = "dict",
        .impl = pem_private_key_to_jwk_entry,
    },
    {
        .name = "_der_len",
        .doc = "Encode a DER length in its minimal definite form.",
        .params = {{.name = "length", .kind = Arg::Int, .annotation = "int"}},
        .return_annotation = "bytes",
        .impl = der_len_entry,
    },
    {
        .name = "_der_tlv",
        .doc = "Encode one DER element: tag octet, length and value.",
        .params = {{.name = "tag", .kind = Arg::Int, .annotation = "int"},
                   {.name = "value", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "bytes",
        .impl = der_tlv_entry,
    },
    {
        .name = "_pem_armor",
        .doc = "Wrap DER in PEM armour with the given label.",
        .params = {{.name = "label", .kind = Arg::Str, .annotation = "str"},
                   {.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = pem_armor_entry,
    },
    {
        .name = "jwk_public_key_to_pem",
        .doc = "Convert an EC JWK to PEM SubjectPublicKeyInfo text.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = jwk_public_key_to_pem_entry,
    },
    {
        .name = "jwk_private_key_to_pem",
        .doc = "Convert a private EC JWK to PEM PKCS#8 text.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = jwk_private_key_to_pem_entry,
    },
    {
        .name = "jwk_to_pem",
        .doc = "Convert an EC JWK to PEM: PKCS#8 when it has d, else SubjectPublicKeyInfo.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = jwk_to_pem_entry,
    },
};

Ref text(const char* value) { return qrl::steal(PyUnicode_FromString(value)); }
Ref byte(std::uint8_t value) { return qrl::bytes_from(Bytes(&value, 1)); }

bool init_names() {
    for (int k = 0; k < kFunctionCount; ++k) names.fn[k] = qrl::intern(kSpecs[k].name).release();
#define INTERN(id, value) names.id = qrl::intern(value).release();
    DK_NAMES(INTERN)
#undef INTERN
    return !PyErr_Occurred();
}

bool init_texts() {
    texts.zero = qrl::small_int(0).release();
    texts.one = qrl::small_int(1).release();
    texts.two = qrl::small_int(2).release();
    texts.byte_00 = byte(0x00).release();
    texts.byte_01 = byte(0x01).release();
    texts.byte_04 = byte(0x04).release();
    texts.equals_byte = byte('=').release();
    texts.equals = text("=").release();
    texts.empty = text("").release();
    texts.newline = text("\n").release();
    texts.ascii = qrl::intern("ascii").release();
    texts.whitespace = text("\\s+").release();
    texts.public_block = text("-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----").release();
    texts.private_block = text("-----BEGIN (PRIVATE KEY|EC PRIVATE KEY)-----(.*?)-----END \\1-----").release();
    const char* const labels[] = {"PUBLIC KEY", "PRIVATE KEY", "EC PRIVATE KEY"};
    for (std::size_t k = 0; k < std::size(labels); ++k) {
        texts.markers[k][0] = PyUnicode_FromFormat("-----BEGIN %s-----", labels[k]);
        texts.markers[k][1] = PyUnicode_FromFormat("-----END %s-----", labels[k]);
    }
    texts.public_label = text("PUBLIC KEY").release();
    texts.private_label = text("PRIVATE KEY").release();
    texts.begin = text("-----BEGIN ").release();
    texts.dashes_newline = text("-----\n").release();
    texts.end = text("\n-----END ").release();
    texts.kw_flags = Py_BuildValue("(s)", "flags");
    texts.kw_kid = Py_BuildValue("(s)", "kid");
    texts.kw_curve_name_kid = Py_BuildValue("(ss)", "curve_name", "kid");
    return !PyErr_Occurred();
}

// bytes.fromhex(hex)
Ref from_hex(const char* hex) {
    return qrl::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex", "s", hex));
}

// OID_EC_PUBLIC_KEY, CURVES, and CURVES_BY_NAME derived from CURVES in one
// pass over its items.
bool bind_curve_tables(PyObject* module) {
    if (!qrl::bind(module, "OID_EC_PUBLIC_KEY", from_hex("2A8648CE3D0201"))) return false;
    struct Curve {
        const char* oid_hex;
        const char* name;
        long size;
    };
    const Curve table[] = {{"2A8648CE3D030107", "P-256", 32}, {"2B81040022", "P-384", 48}, {"2B81040023", "P-521", 66}};
    Ref curves = qrl::steal(PyDict_New());
    if (!curves) return false;
    for (const Curve& curve : table) {
        Ref oid = from_hex(curve.oid_hex);
        Ref entry = qrl::steal(Py_BuildValue("(sl)", curve.name, curve.size));
        if (!oid || !entry || PyDict_SetItem(curves.get(), oid.get(), entry.get()) < 0) return false;
    }
    Ref by_name = qrl::steal(PyDict_New());
    if (!by_name) return false;
    Py_ssize_t position = 0;
    PyObject *oid, *entry;
    while (PyDict_Next(curves.get(), &position, &oid, &entry)) {
        Ref reversed = qrl::steal(PyTuple_Pack(2, oid, PyTuple_GET_ITEM(entry, 1)));
        if (!reversed || PyDict_SetItem(by_name.get(), PyTuple_GET_ITEM(entry, 0), reversed.get()) < 0) return false;
    }
    return qrl::bind(module, "CURVES", std::move(curves)) && qrl::bind(module, "CURVES_BY_NAME", std::move(by_name));
}

bool remember_originals(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    for (int k = 0; k < kFunctionCount; ++k) {
        PyObject* fn = PyDict_GetItemWithError(dict, names.fn[k]);
        if (!fn) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "decodekey: %s was not bound", kSpecs[k].name);
            return false;
        }
        originals[k] = Py_NewRef(fn);
    }
    return true;
}

int exec_decodekey(PyObject* module) {
    if (!qrl::require_runtime() || !init_names() || !init_texts()) return -1;
    if (!qrl::import_into(module, "base64")) return -1;
    Ref re = qrl::import_into(module, "re");
    if (!re) return -1;
    // Kept for the life of the process, so that a replacement can never
    // reuse an address and pass for the original.
    re_originals.re = Ref(re).release();
    re_originals.search = qrl::getattr(re.get(), names.search).release();
    re_originals.S = qrl::getattr(re.get(), names.S).release();
    if (!re_originals.search || !re_originals.S) return -1;
    if (!bind_curve_tables(module)) return -1;
    for (const qrl::FunctionSpec& spec : kSpecs) {
        if (!qrl::add_function(module, spec)) return -1;
    }
    return remember_originals(module) ? 0 : -1;
}

qrl::ModuleDefinition definition("quarlopro.decodekey", "decodekey",
                                 "EC keys (P-256, P-384, P-521) between PEM, DER and JSON Web Key form.",
                                 exec_decodekey);

}  // namespace

PyMODINIT_FUNC PyInit_decodekey(void) { return qrl::module_init<definition>(); }
