// Integer and bytes conversions.
#include "numbers.h"

#include "runtime.h"

namespace qrl {

int in_range(PyObject* low, PyObject* value, PyObject* high) {
    const int lower = cmp(low, value, Py_LE);
    if (lower <= 0) return lower;
    return cmp(value, high, Py_LT);
}

Ref int_from(long value) { return steal(PyLong_FromLong(value)); }

Ref bytes_from(std::span<const std::uint8_t> data) {
    return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

Ref bytes_from(std::string_view text) {
    return steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool int_to_be32(PyObject* value, std::uint8_t out[32]) {
    if (!PyLong_CheckExact(value) || _PyLong_Sign(value) < 0) return false;
    const size_t bits = _PyLong_NumBits(value);
    if (bits == static_cast<size_t>(-1)) {
        PyErr_Clear();
        return false;
    }
    if (bits > 256) return false;
#if PY_VERSION_HEX >= 0x030D0000
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, 32, 0, 0, 1);
#else
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, 32, 0, 0);
#endif
    if (rc < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref int_from_be(std::span<const std::uint8_t> data) {
    return steal(_PyLong_FromByteArray(data.data(), data.size(), 0, 0));
}

Ref int_from_bytes_big(PyObject* data) {
    if (!data) return {};
    if (PyBytes_CheckExact(data)) return int_from_be(bytes_view(data));
    const RuntimeNames& names = runtime().names;
    return call_method(reinterpret_cast<PyObject*>(&PyLong_Type), names.from_bytes.get(), data, names.big.get());
}

Ref int_to_bytes_big(PyObject* value, Py_ssize_t length) {
    if (!value) return {};
    Ref size = steal(PyLong_FromSsize_t(length));
    const RuntimeNames& names = runtime().names;
    return size ? call_method(value, names.to_bytes.get(), size.get(), names.big.get()) : Ref();
}

}  // namespace qrl
