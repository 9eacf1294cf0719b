// Conversions between Python ints and engine limbs, and the arithmetic
// entries of the module.
#include "bridge.h"

#include "exact.h"

#include <cstring>

namespace jwt {

bool load_u256(PyObject* value, p256::U256& out) {
    std::uint8_t be[32];
    if (!qrl::int_to_be32(value, be)) return false;
    out = p256::load_be(be);
    return true;
}

bool load_secret_u256(PyObject* value, p256::U256& out) {
    std::uint8_t be[32];
    const bool loaded = qrl::int_to_be32(value, be);
    if (loaded) out = p256::load_be(be);
    explicit_bzero(be, sizeof be);
    return loaded;
}

void forget(p256::U256& secret) { explicit_bzero(&secret, sizeof secret); }

bool load_private_key(PyObject* d, p256::U256& key) {
    if (load_secret_u256(d, key) && p256::key_in_range_ct(key)) return true;
    forget(key);
    qrl::value_error("Invalid private key");
    return false;
}

Ref int_from_u256(const p256::U256& value) {
    std::uint8_t be[32];
    p256::store_be(value, be);
    return qrl::int_from_be(be);
}

Ref point_from_u256(const p256::U256& x, const p256::U256& y) {
    Ref px = int_from_u256(x);
    Ref py = px ? int_from_u256(y) : Ref();
    return py ? qrl::steal(PyTuple_Pack(2, px.get(), py.get())) : Ref();
}

bool load_curve_point(PyObject* point, p256::U256& x, p256::U256& y) {
    return PyTuple_CheckExact(point) && PyTuple_GET_SIZE(point) == 2 && load_u256(PyTuple_GET_ITEM(point, 0), x) &&
           load_u256(PyTuple_GET_ITEM(point, 1), y) && p256::on_curve(x, y);
}

bool scalar_in_range(const p256::U256& v) { return !p256::is_zero(v) && p256::compare(v, p256::kN) < 0; }

namespace {

bool is_base_point(const p256::U256& x, const p256::U256& y) {
    return p256::compare(x, p256::kGx) == 0 && p256::compare(y, p256::kGy) == 0;
}

// k*P for a point on the curve, natively. The result equals the exact
// double-and-add: the module's _INF for a multiple of n, the point itself
// for k == 1 (the loop returns its input then), else a new tuple.
PyObject* scalar_mult_on_curve(const State& s, PyObject* k, PyObject* point, const p256::U256& x,
                               const p256::U256& y) {
    if (_PyLong_Sign(k) == 0) return Py_NewRef(s.inf);
    if (_PyLong_NumBits(k) == 1) return Py_NewRef(point);
    Ref reduced = qrl::borrow(k);
    if (_PyLong_NumBits(k) > 256) {
        reduced = qrl::mod(k, s.n);  // k*P = (k mod n)*P: prime order, cofactor 1
        if (!reduced) return nullptr;
    }
    p256::U256 scalar;
    if (!load_u256(reduced.get(), scalar)) return qrl::raise(PyExc_SystemError, "scalar out of range");
    p256::U256 rx, ry;
    bool finite;
    if (is_base_point(x, y)) {
        // The signer's and the key generator's secrets come this way.
        qrl::WithoutGil unlocked;
        finite = p256::mul_base_ct(scalar, rx, ry);
    } else {
        qrl::WithoutGil unlocked;
        finite = p256::mul_vartime(scalar, x, y, rx, ry);
    }
    if (!finite) return Py_NewRef(s.inf);
    return point_from_u256(rx, ry).release();
}

}  // namespace

PyObject* is_on_curve(qrl::Call& call, PyObject* point) {
    if (PyTuple_CheckExact(point) && PyTuple_GET_SIZE(point) == 2 && unchanged(call, kCurveCheckRoute)) {
        PyObject* px = PyTuple_GET_ITEM(point, 0);
        PyObject* py = PyTuple_GET_ITEM(point, 1);
        if (PyLong_CheckExact(px) && PyLong_CheckExact(py)) {
            // An exact int outside 0 .. 2^256-1 fails the range test, as below p does.
            p256::U256 x, y;
            return PyBool_FromLong(load_u256(px, x) && load_u256(py, y) && p256::on_curve(x, y));
        }
    }
    return is_on_curve_exact(call, point);
}

PyObject* point_add(qrl::Call& call, PyObject* p1, PyObject* p2) { return point_add_exact(call, p1, p2); }

PyObject* scalar_mult(qrl::Call& call, PyObject* k, PyObject* point) {
    if (_PyLong_Sign(k) < 0) return qrl::value_error("Scalar must not be negative");
    p256::U256 x, y;
    if (load_curve_point(point, x, y) && unchanged(call, kScalarMultRoute))
        return scalar_mult_on_curve(state(call), k, point, x, y);
    return scalar_mult_exact(call, k, point);
}

}  // namespace jwt
