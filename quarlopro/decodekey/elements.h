// DER elements and the Python operations the readers compare them with.
#pragma once

#include "state.h"

namespace decodekey {

// A TLV as _read_tlv returns it: (tag, value, next index).
struct Tlv {
    Ref tag;
    Ref value;
    Ref next;
};

// _read_tlv(data, index) natively over exact bytes, for an exact int index.
bool read_tlv_native(std::span<const std::uint8_t> data, PyObject* index, Tlv& out);
// _read_tlv(data, index) through the module global.
bool read_tlv(qrl::Call& call, PyObject* data, PyObject* index, Tlv& out);

// _der_len for an exact int of any size.
Ref der_len_native(PyObject* length);
// The identifier octet, `_der_len(len(value))` and the value, in one piece.
Ref der_tlv_native(qrl::Call& call, std::uint8_t tag, PyObject* value);
// _der_tlv(tag, value) through the module global; a null value (an error
// already raised) gives null without calling anything.
Ref der_tlv(qrl::Call& call, std::uint8_t tag, PyObject* value);
inline Ref der_tlv(qrl::Call& call, std::uint8_t tag, const Ref& value) { return der_tlv(call, tag, value.get()); }
// The error of bytes([value]) for a value outside 0-255.
Ref byte_out_of_range();

// `obj OP value` for an int constant (EQ or NE), as Python compares; -1 on error.
int compare_int(PyObject* obj, long value, int op);
// `obj OP len(sized)`; -1 on error.
int compare_with_len(PyObject* obj, int op, PyObject* sized);
// `len(sized) OP other`; -1 on error.
int len_compare(PyObject* sized, int op, PyObject* other);
// `obj[0] OP value` (EQ or NE); -1 on error.
int compare_first_item(qrl::Call& call, PyObject* obj, int op, long value);
// `obj[start:stop]`; a null stop leaves the slice open.
Ref slice(PyObject* obj, PyObject* start, PyObject* stop);
// `table[key]`
inline Ref item(PyObject* table, PyObject* key) { return qrl::steal(PyObject_GetItem(table, key)); }
// `key in <module global>`; -1 on error.
int global_contains(qrl::Call& call, PyObject* table_name, PyObject* key);
// `<module global>[key]`
Ref global_item(qrl::Call& call, PyObject* table_name, PyObject* key);

}  // namespace decodekey
