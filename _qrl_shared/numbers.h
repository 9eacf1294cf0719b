// Python arithmetic on objects as the operators do it, and conversions
// between ints and bytes.
//
// A null operand (an error already raised) gives null without calling
// anything, so a sequence of steps can check once at the end of a line; each
// line still runs in order.
#pragma once

#include "calls.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace qrl {

inline PyObject* ptr(PyObject* obj) noexcept { return obj; }
inline PyObject* ptr(const Ref& obj) noexcept { return obj.get(); }

template <typename A, typename B>
Ref binary(binaryfunc fn, const A& a, const B& b) {
    PyObject* x = ptr(a);
    PyObject* y = ptr(b);
    return (x && y) ? steal(fn(x, y)) : Ref();
}
template <typename A, typename B> Ref add(const A& a, const B& b) { return binary(PyNumber_Add, a, b); }
template <typename A, typename B> Ref sub(const A& a, const B& b) { return binary(PyNumber_Subtract, a, b); }
template <typename A, typename B> Ref mul(const A& a, const B& b) { return binary(PyNumber_Multiply, a, b); }
template <typename A, typename B> Ref mod(const A& a, const B& b) { return binary(PyNumber_Remainder, a, b); }
template <typename A, typename B> Ref floordiv(const A& a, const B& b) { return binary(PyNumber_FloorDivide, a, b); }

// Rich comparison as a C truth value (1, 0, or -1 on error); null operands give -1.
template <typename A, typename B>
int cmp(const A& a, const B& b, int op) {
    PyObject* x = ptr(a);
    PyObject* y = ptr(b);
    return (x && y) ? compare(x, y, op) : -1;
}

// `low <= value < high` as Python evaluates the chain; -1 on error.
int in_range(PyObject* low, PyObject* value, PyObject* high);

Ref int_from(long value);

// View of the contents of an exact bytes object (immutable, so the view stays
// valid while the object is held).
inline std::span<const std::uint8_t> bytes_view(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}
Ref bytes_from(std::span<const std::uint8_t> data);
Ref bytes_from(std::string_view text);

// For an exact int with 0 <= value < 2^256: stores it as 32 big-endian bytes
// and returns true. Returns false (no error set) for anything else.
bool int_to_be32(PyObject* value, std::uint8_t out[32]);
// int.from_bytes(data, "big") for unsigned big-endian data.
Ref int_from_be(std::span<const std::uint8_t> data);
// int.from_bytes(data, "big"): native for exact bytes, else through int.
Ref int_from_bytes_big(PyObject* data);
// value.to_bytes(length, "big") through the int method (its errors as is).
Ref int_to_bytes_big(PyObject* value, Py_ssize_t length);

}  // namespace qrl
