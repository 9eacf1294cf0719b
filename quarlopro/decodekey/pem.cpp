// Base64url members of JWKs, PEM armour, and finding PEM blocks.
#include "pem.h"

namespace decodekey {

Ref b64u_native(qrl::Call& call, PyObject* data) {
    const State& s = state(call);
    return s.base64.urlsafe_encode_unpadded(s.originals, call.globals(), data);
}

Ref b64u(qrl::Call& call, PyObject* data) {
    if (!data) return {};
    if (PyBytes_CheckExact(data) && untouched(call, kB64u)) return b64u_native(call, data);
    return call_sibling(call, kB64u, data);
}

Ref b64u_decode_native(qrl::Call& call, PyObject* text) {
    const State& s = state(call);
    return s.base64.urlsafe_decode_unpadded(s.originals, call.globals(), text);
}

Ref b64u_decode(qrl::Call& call, PyObject* text) {
    if (!text) return {};
    if (PyUnicode_CheckExact(text) && untouched(call, kB64uDecode)) return b64u_decode_native(call, text);
    return call_sibling(call, kB64uDecode, text);
}

// Standard Base64 of `der`, cut into lines of 64 characters between the
// BEGIN and END lines of `label`; every line ends with LF.
Ref pem_armor_native(qrl::Call& call, PyObject* label, PyObject* der) {
    const State& s = state(call);
    const Constants& t = s.constants;
    Ref encoded = s.base64.call(s.originals, call.globals(), qrl::Base64Fn::b64encode, der);
    Ref text = encoded ? qrl::call_method(encoded.get(), s.names.decode, t.ascii.get()) : Ref();
    const Py_ssize_t length = text ? PyObject_Size(text.get()) : -1;
    if (length < 0) return {};
    Ref lines = qrl::steal(PyList_New(0));
    if (!lines) return {};
    for (Py_ssize_t start = 0, stop = 0; start < length; start = stop) {
        stop = start > PY_SSIZE_T_MAX - 64 ? PY_SSIZE_T_MAX : start + 64;
        Ref line = qrl::steal(PySequence_GetSlice(text.get(), start, stop));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return {};
    }
    Ref body = qrl::steal(PyUnicode_Join(t.newline, lines.get()));
    if (!body) return {};
    PyObject* parts[] = {t.begin, label, t.dashes_newline, body.get(), t.end, label, t.dashes_newline};
    Ref joined = qrl::steal(PyTuple_New(std::size(parts)));
    if (!joined) return {};
    for (std::size_t k = 0; k < std::size(parts); ++k) PyTuple_SET_ITEM(joined.get(), k, Py_NewRef(parts[k]));
    return qrl::steal(PyUnicode_Join(t.empty, joined.get()));
}

Ref pem_armor(qrl::Call& call, PyObject* label, PyObject* der) {
    if (!der) return {};
    if (PyBytes_CheckExact(der) && untouched(call, kPemArmor)) return pem_armor_native(call, label, der);
    return call_sibling(call, kPemArmor, label, der);
}

namespace {

// The body of the block that re.search finds with a block pattern
// "-----BEGIN (A|B)-----(.*?)-----END \1-----" and re.S, for the BEGIN and
// END lines of its labels: the match starts at the leftmost BEGIN line of a
// label that an END line of the same label follows (if the first BEGIN line
// of a label has none after it, no later one has), and the body runs to the
// first such END line. Null, with no error, when there is no block. The
// expression reaches the same answer by scanning the rest of the text from
// every BEGIN line that no END line follows: quadratic time in the length of
// a text made of such lines.
Ref find_block(PyObject* text, std::span<const Held[2]> markers) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = -1, body_start = 0, body_end = 0;
    for (const Held* marker : markers) {
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

// The body of the first block `pattern` finds with re.search(pattern, text,
// flags=re.S), group `body_group`; while `re` is untouched, by find_block.
Ref block_body(qrl::Call& call, PyObject* text, PyObject* pattern, long body_group, std::span<const Held[2]> markers,
               const char* missing) {
    const State& s = state(call);
    if (PyUnicode_CheckExact(text) && s.originals.unchanged(call.globals(), kPemSearchRoute)) {
        Ref body = find_block(text, markers);
        return body || PyErr_Occurred() ? body : qrl::value_error(missing);
    }
    Ref re = global(call, s.names.re);
    Ref search = re ? qrl::getattr(re.get(), s.names.search) : Ref();
    re = search ? global(call, s.names.re) : Ref();
    Ref flags = re ? qrl::getattr(re.get(), s.names.S) : Ref();
    Ref match = flags ? qrl::call_kw(search.get(), {pattern, text, flags.get()}, s.constants.kw_flags) : Ref();
    const int found = qrl::truth(match);
    if (found <= 0) return reject(negate(found), missing);
    Ref group = qrl::int_from(body_group);
    return group ? qrl::call_method(match.get(), s.names.group, group.get()) : Ref();
}

// The block's body stripped of whitespace by re.sub and decoded by
// base64.b64decode.
Ref pem_block_der(qrl::Call& call, PyObject* text, PyObject* pattern, long body_group, std::span<const Held[2]> markers,
                  const char* missing) {
    const State& s = state(call);
    Ref body = block_body(call, text, pattern, body_group, markers, missing);
    Ref re = body ? global(call, s.names.re) : Ref();
    Ref sub = re ? qrl::getattr(re.get(), s.names.sub) : Ref();
    Ref compact = sub ? qrl::call(sub.get(), s.constants.whitespace.get(), s.constants.empty.get(), body.get()) : Ref();
    return compact ? s.base64.call(s.originals, call.globals(), qrl::Base64Fn::b64decode, compact.get()) : Ref();
}

}  // namespace

Ref pem_public_key_to_der_native(qrl::Call& call, PyObject* text) {
    const Constants& t = state(call).constants;
    return pem_block_der(call, text, t.public_block, 1, std::span(t.markers).first(1),
                         "PEM does not contain a BEGIN/END PUBLIC KEY block");
}

Ref pem_private_key_to_der_native(qrl::Call& call, PyObject* text) {
    const Constants& t = state(call).constants;
    return pem_block_der(call, text, t.private_block, 2, std::span(t.markers).subspan(1),
                         "PEM does not contain a supported private key block");
}

Ref pem_private_key_to_der(qrl::Call& call, PyObject* text) {
    if (untouched(call, kPemPrivateKeyToDer)) return pem_private_key_to_der_native(call, text);
    return call_sibling(call, kPemPrivateKeyToDer, text);
}

}  // namespace decodekey
