// Object identifiers and the curve tables.
#include "curves.h"

#include "der/der.h"
#include "elements.h"

namespace decodekey {

namespace {

// One subidentifier: the 7-bit groups of `octets`, most significant first.
Ref subidentifier(std::span<const std::uint8_t> octets) {
    if (octets.size() <= 9) {
        std::uint64_t value = 0;
        for (std::uint8_t octet : octets) value = value << 7 | (octet & 0x7F);
        return qrl::steal(PyLong_FromUnsignedLongLong(value));
    }
    return qrl::int_from_be(der::subidentifier_bytes(octets));
}

// Appends the two arcs held by the first subidentifier, split as value // 40
// and value % 40 with a first arc of 0, 1 or 2 where X.690 has one.
bool append_first_arcs(PyObject* arcs, PyObject* value) {
    long first = 0;
    for (long bound : {40L, 80L}) {
        Ref limit = qrl::int_from(bound);
        const int reached = limit ? PyObject_RichCompareBool(value, limit.get(), Py_GE) : -1;
        if (reached < 0) return false;
        first += reached;
    }
    Ref first_arc = qrl::int_from(first);
    Ref second_arc = qrl::sub(value, qrl::int_from(40 * first));
    return first_arc && second_arc && PyList_Append(arcs, first_arc.get()) == 0 &&
           PyList_Append(arcs, second_arc.get()) == 0;
}

// bytes.fromhex(hex)
Ref from_hex(const char* hex) {
    return qrl::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex", "s", hex));
}

}  // namespace

Ref parse_oid(std::span<const std::uint8_t> data) {
    if (data.empty()) return qrl::value_error("Invalid OID");
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
    if (start != data.size()) return qrl::value_error("Invalid OID encoding");
    return arcs;
}

Ref curve_name_from_oid_native(qrl::Call& call, PyObject* oid_der) {
    const State& s = state(call);
    const int known = global_contains(call, s.names.CURVES, oid_der);
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    Ref entry = global_item(call, s.names.CURVES, oid_der);
    return entry ? item(entry.get(), s.constants.zero) : Ref();
}

Ref curve_name_from_oid(qrl::Call& call, PyObject* oid_der) {
    if (PyBytes_CheckExact(oid_der) && untouched(call, kCurveNameFromOid))
        return curve_name_from_oid_native(call, oid_der);
    return call_sibling(call, kCurveNameFromOid, oid_der);
}

Ref curve_size_from_name_native(qrl::Call& call, PyObject* curve_name) {
    const State& s = state(call);
    Ref entry = global_item(call, s.names.CURVES_BY_NAME, curve_name);
    return entry ? item(entry.get(), s.constants.one) : Ref();
}

Ref curve_size_from_name(qrl::Call& call, PyObject* curve_name) {
    if (PyUnicode_CheckExact(curve_name) && untouched(call, kCurveSizeFromName))
        return curve_size_from_name_native(call, curve_name);
    return call_sibling(call, kCurveSizeFromName, curve_name);
}

bool curve_entry(qrl::Call& call, PyObject* table_name, PyObject* key, Ref& first, Ref& second) {
    Ref entry = global_item(call, table_name, key);
    Ref parts[2];
    if (!entry || !qrl::unpack(entry.get(), parts)) return false;
    first = std::move(parts[0]);
    second = std::move(parts[1]);
    return true;
}

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

}  // namespace decodekey
