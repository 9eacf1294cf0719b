// Canonical JSON written natively: what json's C encoder writes with
// ensure_ascii, sort_keys and the compact separators, for the types whose
// encoding runs no Python code. Every other case is left to json.
#include "json_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace jwt {

namespace {

// Deeper data (and a container that holds itself) is left to json, which
// knows its recursion limit and reports circular references.
constexpr int kMaxDepth = 48;

constexpr char kHexDigits[] = "0123456789abcdef";

// The characters encode_basestring_ascii writes as they are: printable
// ASCII but the quote and the backslash.
constexpr auto kWrittenAsIs = [] {
    std::array<bool, 256> as_is{};
    for (int c = ' '; c <= '~'; ++c) as_is[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return as_is;
}();

// A dict's members, sorted by key, without a heap allocation for the few
// members claims usually have.
constexpr std::size_t kInlineMembers = 16;

// The order of sort_keys for two exact str: by code point, a prefix first.
bool code_point_less(PyObject* a, PyObject* b) {
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        // One byte per code point: the byte order is the code point order.
        const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a), length_b = PyUnicode_GET_LENGTH(b);
        const int order = std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                                      static_cast<std::size_t>(std::min(length_a, length_b)));
        return order < 0 || (order == 0 && length_a < length_b);
    }
    return PyUnicode_Compare(a, b) < 0;
}

class Writer {
public:
    bool value(PyObject* v, int depth);
    std::string text;

private:
    bool string(PyObject* s);
    bool repr(PyObject* v, reprfunc repr_of);
    bool dict(PyObject* d, int depth);
    bool items(PyObject* const* begin, Py_ssize_t count, int depth);
    void escaped(Py_UCS4 c);
    void u_escape(Py_UCS4 unit);
};

bool Writer::value(PyObject* v, int depth) {
    if (v == Py_None) {
        text += "null";
    } else if (v == Py_True) {
        text += "true";
    } else if (v == Py_False) {
        text += "false";
    } else if (PyUnicode_CheckExact(v)) {
        return string(v);
    } else if (PyLong_CheckExact(v)) {
        return repr(v, PyLong_Type.tp_repr);
    } else if (PyFloat_CheckExact(v)) {
        // json writes Infinity and NaN its own way; leave them to it.
        return std::isfinite(PyFloat_AS_DOUBLE(v)) && repr(v, PyFloat_Type.tp_repr);
    } else if (depth >= kMaxDepth) {
        return false;
    } else if (PyDict_CheckExact(v)) {
        return dict(v, depth + 1);
    } else if (PyTuple_CheckExact(v)) {
        return items(PySequence_Fast_ITEMS(v), PyTuple_GET_SIZE(v), depth + 1);
    } else if (PyList_CheckExact(v)) {
        // A copy, so that another thread changing the list cannot pull an
        // item away while it is written.
        Ref copy = qrl::steal(PyList_AsTuple(v));
        if (!copy) {
            PyErr_Clear();
            return false;
        }
        return items(PySequence_Fast_ITEMS(copy.get()), PyTuple_GET_SIZE(copy.get()), depth + 1);
    } else {
        return false;
    }
    return true;
}

// json's encode_basestring_ascii: printable ASCII as it is, the rest escaped.
bool Writer::string(PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    text += '"';
    if (kind == PyUnicode_1BYTE_KIND) {
        // Runs of characters written as they are, copied whole.
        const auto* chars = static_cast<const char*>(data);
        Py_ssize_t run = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            const auto c = static_cast<unsigned char>(chars[i]);
            if (kWrittenAsIs[c]) continue;
            text.append(chars + run, static_cast<std::size_t>(i - run));
            escaped(c);
            run = i + 1;
        }
        text.append(chars + run, static_cast<std::size_t>(length - run));
        text += '"';
        return true;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < kWrittenAsIs.size() && kWrittenAsIs[c])
            text += static_cast<char>(c);
        else
            escaped(c);
    }
    text += '"';
    return true;
}

void Writer::escaped(Py_UCS4 c) {
    switch (c) {
    case '\\': text += "\\\\"; return;
    case '"': text += "\\\""; return;
    case '\b': text += "\\b"; return;
    case '\f': text += "\\f"; return;
    case '\n': text += "\\n"; return;
    case '\r': text += "\\r"; return;
    case '\t': text += "\\t"; return;
    default: break;
    }
    if (c >= 0x10000) {
        // A UTF-16 surrogate pair.
        u_escape(0xD800 | ((c - 0x10000) >> 10));
        u_escape(0xDC00 | ((c - 0x10000) & 0x3FF));
    } else {
        u_escape(c);
    }
}

void Writer::u_escape(Py_UCS4 unit) {
    const char escape[] = {'\\', 'u', kHexDigits[(unit >> 12) & 0xF], kHexDigits[(unit >> 8) & 0xF],
                           kHexDigits[(unit >> 4) & 0xF], kHexDigits[unit & 0xF]};
    text.append(escape, sizeof escape);
}

// The text the C encoder takes for ints and floats: the type's own repr,
// which runs no Python code for the exact types.
bool Writer::repr(PyObject* v, reprfunc repr_of) {
    Ref written = qrl::steal(repr_of(v));
    if (!written) {
        PyErr_Clear();  // json raises it again, in its own words
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(written.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    text.append(utf8, static_cast<std::size_t>(size));
    return true;
}

// Members sorted by key (code point order, as sort_keys does for str keys).
bool Writer::dict(PyObject* d, int depth) {
    using Member = std::pair<Ref, Ref>;
    std::array<Member, kInlineMembers> inline_members;
    std::vector<Member> many_members;
    std::span<Member> members;
    {
        // Strong references taken under the dict's lock: another thread may
        // change it while the members are written.
        qrl::CriticalSection section(d);
        const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(d));
        if (size > kInlineMembers) many_members.resize(size);
        members = size > kInlineMembers ? std::span<Member>(many_members) : std::span(inline_members).first(size);
        Py_ssize_t position = 0;
        PyObject *key, *item;
        for (Member& member : members) {
            PyDict_Next(d, &position, &key, &item);
            member = {qrl::borrow(key), qrl::borrow(item)};
        }
    }
    for (const auto& member : members) {
        if (!PyUnicode_CheckExact(member.first.get())) return false;
    }
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return code_point_less(a.first.get(), b.first.get()); });
    text += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) text += ',';
        string(members[i].first.get());
        text += ':';
        if (!value(members[i].second.get(), depth)) return false;
    }
    text += '}';
    return true;
}

bool Writer::items(PyObject* const* begin, Py_ssize_t count, int depth) {
    text += '[';
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) text += ',';
        if (!value(begin[i], depth)) return false;
    }
    text += ']';
    return true;
}

}  // namespace

Ref canonical_json_of_plain_data(PyObject* value) {
    Writer writer;
    try {
        writer.text.reserve(256);
        if (!writer.value(value, 0)) return {};
    } catch (const std::exception&) {
        return {};  // json's route reports the shortage
    }
    Ref bytes = qrl::steal(PyBytes_FromStringAndSize(writer.text.data(), static_cast<Py_ssize_t>(writer.text.size())));
    if (!bytes) PyErr_Clear();
    return bytes;
}

}  // namespace jwt
