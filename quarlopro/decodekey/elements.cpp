// DER elements through the module's globals, natively while the helpers are
// the module's own.
#include "elements.h"

#include "der/der.h"

namespace decodekey {

using Bytes = std::span<const std::uint8_t>;

bool read_tlv_native(Bytes data, PyObject* index, Tlv& out) {
    const Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    der::Tlv tlv;
    switch (der::read_tlv(data, i, tlv)) {
    case der::TlvError::none:
        break;
    case der::TlvError::index_out_of_range:
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return false;
    case der::TlvError::too_large:
        // The end index of the value slice does not fit an index-sized integer.
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        return false;
    }
    out.tag = qrl::int_from(tlv.tag);
    out.value = qrl::bytes_from(tlv.value);
    out.next = qrl::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(tlv.next)));
    return out.tag && out.value && out.next;
}

bool read_tlv(qrl::Call& call, PyObject* data, PyObject* index, Tlv& out) {
    if (PyBytes_CheckExact(data) && PyLong_CheckExact(index) && untouched(call, kReadTlv))
        return read_tlv_native(qrl::bytes_view(data), index, out);
    Ref result = call_sibling(call, kReadTlv, data, index);
    Ref parts[3];
    if (!result || !qrl::unpack(result.get(), parts)) return false;
    out = {std::move(parts[0]), std::move(parts[1]), std::move(parts[2])};
    return true;
}

Ref byte_out_of_range() { return qrl::value_error("bytes must be in range(0, 256)"); }

// DER has room for at most 126 length octets (the count 127 is reserved).
constexpr std::size_t kMaxLengthOctets = 126;

Ref der_len_native(PyObject* length) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(length, &overflow);
    if (small == -1 && PyErr_Occurred()) return {};
    if (overflow < 0 || (!overflow && small < 0)) return byte_out_of_range();
    if (!overflow) {
        std::uint8_t octets[9];
        return qrl::bytes_from(Bytes(octets, der::length_octets(static_cast<std::uint64_t>(small), octets)));
    }
    const std::size_t count = (_PyLong_NumBits(length) + 7) / 8;
    if (count > kMaxLengthOctets) return qrl::value_error("Length too large for DER");
    const std::uint8_t head = static_cast<std::uint8_t>(0x80 | count);
    return qrl::add(qrl::bytes_from(Bytes(&head, 1)), qrl::int_to_bytes_big(length, static_cast<Py_ssize_t>(count)));
}

namespace {

// _der_len(len(value)) through the module global.
Ref der_len(qrl::Call& call, std::size_t length) {
    if (untouched(call, kDerLen)) {
        std::uint8_t octets[9];
        return qrl::bytes_from(Bytes(octets, der::length_octets(length, octets)));
    }
    Ref length_obj = qrl::steal(PyLong_FromSize_t(length));
    return length_obj ? call_sibling(call, kDerLen, length_obj.get()) : Ref();
}

}  // namespace

Ref der_tlv_native(qrl::Call& call, std::uint8_t tag, PyObject* value) {
    const Bytes content = qrl::bytes_view(value);
    if (untouched(call, kDerLen)) {
        std::uint8_t octets[9];
        const std::size_t count = der::length_octets(content.size(), octets);
        Ref out = qrl::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(1 + count + content.size())));
        if (!out) return {};
        auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        dst[0] = tag;
        std::copy(octets, octets + count, dst + 1);
        std::copy(content.begin(), content.end(), dst + 1 + count);
        return out;
    }
    Ref identifier = qrl::bytes_from(Bytes(&tag, 1));
    Ref length = identifier ? der_len(call, content.size()) : Ref();
    return qrl::add(qrl::add(identifier, length), value);
}

Ref der_tlv(qrl::Call& call, std::uint8_t tag, PyObject* value) {
    if (!value) return {};
    if (PyBytes_CheckExact(value) && untouched(call, kDerTlv)) return der_tlv_native(call, tag, value);
    Ref tag_obj = qrl::int_from(tag);
    return tag_obj ? call_sibling(call, kDerTlv, tag_obj.get(), value) : Ref();
}

int compare_int(PyObject* obj, long value, int op) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long own = PyLong_AsLongAndOverflow(obj, &overflow);
        if (own == -1 && PyErr_Occurred()) return -1;
        const bool equal = !overflow && own == value;
        return op == Py_EQ ? equal : !equal;
    }
    Ref other = qrl::int_from(value);
    return other ? qrl::compare(obj, other.get(), op) : -1;
}

int compare_with_len(PyObject* obj, int op, PyObject* sized) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) return -1;
    Ref other = qrl::steal(PyLong_FromSsize_t(length));
    return other ? qrl::compare(obj, other.get(), op) : -1;
}

int len_compare(PyObject* sized, int op, PyObject* other) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) return -1;
    Ref own = qrl::steal(PyLong_FromSsize_t(length));
    return own ? qrl::compare(own.get(), other, op) : -1;
}

int compare_first_item(qrl::Call& call, PyObject* obj, int op, long value) {
    if (PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) > 0) {
        const bool equal = static_cast<unsigned char>(PyBytes_AS_STRING(obj)[0]) == value;
        return op == Py_EQ ? equal : !equal;
    }
    Ref first = item(obj, state(call).constants.zero);
    return first ? compare_int(first.get(), value, op) : -1;
}

Ref slice(PyObject* obj, PyObject* start, PyObject* stop) {
    Ref range = qrl::steal(PySlice_New(start, stop, nullptr));
    return range ? item(obj, range.get()) : Ref();
}

int global_contains(qrl::Call& call, PyObject* table_name, PyObject* key) {
    Ref table = global(call, table_name);
    return table ? PySequence_Contains(table.get(), key) : -1;
}

Ref global_item(qrl::Call& call, PyObject* table_name, PyObject* key) {
    Ref table = global(call, table_name);
    return table ? item(table.get(), key) : Ref();
}

}  // namespace decodekey
