// Object identifiers and the curve tables.
#pragma once

#include "state.h"

namespace decodekey {

// _parse_oid: content octets to arcs. Every subidentifier must be complete.
Ref parse_oid(std::span<const std::uint8_t> data);

// CURVES[oid_der][0], after refusing OIDs outside the table.
Ref curve_name_from_oid_native(qrl::Call& call, PyObject* oid_der);
Ref curve_name_from_oid(qrl::Call& call, PyObject* oid_der);
// CURVES_BY_NAME[curve_name][1]: a KeyError names an unknown curve.
Ref curve_size_from_name_native(qrl::Call& call, PyObject* curve_name);
Ref curve_size_from_name(qrl::Call& call, PyObject* curve_name);
// `a, b = table[key]` for a curve table held in a module global.
bool curve_entry(qrl::Call& call, PyObject* table_name, PyObject* key, Ref& first, Ref& second);

// OID_EC_PUBLIC_KEY, CURVES, and CURVES_BY_NAME derived from CURVES in one
// pass over its items, bound in the module.
bool bind_curve_tables(PyObject* module);

}  // namespace decodekey
