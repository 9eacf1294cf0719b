// P-256 arithmetic on Python ints.
#include "exact.h"

#include <vector>

namespace jwt {

using qrl::Ref;

PyObject* mod_inv(qrl::Call& call, PyObject* value, PyObject* modulus) {
    return PyNumber_Power(value, state(call).constants.minus_one, modulus);
}

int in_range_of_global(qrl::Call& call, PyObject* low, PyObject* value, PyObject* bound) {
    const int lower = qrl::cmp(low, value, Py_LE);
    if (lower <= 0) return lower;
    return qrl::cmp(value, global(call, bound), Py_LT);
}

int outside_scalar_range(qrl::Call& call, PyObject* value) {
    const State& s = state(call);
    const int inside = in_range_of_global(call, s.constants.one, value, s.names._P256_N);
    return inside < 0 ? -1 : !inside;
}

Ref base_point(qrl::Call& call) {
    const Names& n = state(call).names;
    Ref gx = global(call, n._P256_GX);
    Ref gy = gx ? global(call, n._P256_GY) : Ref();
    return gy ? qrl::steal(PyTuple_Pack(2, gx.get(), gy.get())) : Ref();
}

PyObject* is_on_curve_exact(qrl::Call& call, PyObject* point) {
    const State& s = state(call);
    const Names& n = s.names;
    const int at_infinity = qrl::cmp(point, global(call, n._INF), Py_EQ);
    if (at_infinity < 0) return nullptr;
    if (at_infinity) Py_RETURN_TRUE;

    Ref xy[2];
    if (!qrl::unpack(point, xy)) return nullptr;
    // 0 <= x < _P256_P and 0 <= y < _P256_P: the bound is read only once
    // the lower test has passed, as the chained comparison does.
    for (const Ref& coordinate : xy) {
        const int ok = in_range_of_global(call, s.constants.zero, coordinate.get(), n._P256_P);
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_FALSE;
    }
    const Ref& x = xy[0];
    const Ref& y = xy[1];
    // (y*y - (x*x*x + _P256_A*x + _P256_B)) % _P256_P == 0
    Ref yy = qrl::mul(y, y);
    Ref xxx = qrl::mul(qrl::mul(x, x), x);
    Ref a = xxx ? global(call, n._P256_A) : Ref();
    Ref sum = qrl::add(xxx, qrl::mul(a, x));
    Ref b = sum ? global(call, n._P256_B) : Ref();
    Ref diff = qrl::sub(yy, qrl::add(sum, b));
    Ref p = diff ? global(call, n._P256_P) : Ref();
    Ref rem = qrl::mod(diff, p);
    return rem ? PyObject_RichCompare(rem.get(), s.constants.zero, Py_EQ) : nullptr;
}

namespace {

// (numerator * _mod_inv(denominator() % _P256_P, _P256_P)) % _P256_P, each
// global read when the expression reads it: _mod_inv before the argument.
template <typename Denominator>
Ref slope_from(qrl::Call& call, const Ref& numerator, Denominator denominator) {
    const Names& n = state(call).names;
    Ref inverse_fn = numerator ? global(call, n._mod_inv) : Ref();
    Ref value = inverse_fn ? denominator() : Ref();
    Ref p = value ? global(call, n._P256_P) : Ref();
    Ref reduced = qrl::mod(value, p);
    Ref p_arg = reduced ? global(call, n._P256_P) : Ref();
    Ref inverse = p_arg ? qrl::call(inverse_fn.get(), reduced.get(), p_arg.get()) : Ref();
    Ref product = qrl::mul(numerator, inverse);
    Ref p_mod = product ? global(call, n._P256_P) : Ref();
    return qrl::mod(product, p_mod);
}

}  // namespace

PyObject* point_add_exact(qrl::Call& call, PyObject* p1, PyObject* p2) {
    const State& s = state(call);
    const Names& n = s.names;
    int eq = qrl::cmp(p1, global(call, n._INF), Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return Py_NewRef(p2);
    eq = qrl::cmp(p2, global(call, n._INF), Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return Py_NewRef(p1);

    Ref a[2], b[2];
    if (!qrl::unpack(p1, a) || !qrl::unpack(p2, b)) return nullptr;
    const Ref &x1 = a[0], &y1 = a[1], &x2 = b[0], &y2 = b[1];

    // x1 == x2 and (y1 + y2) % _P256_P == 0
    int opposite = qrl::cmp(x1, x2, Py_EQ);
    if (opposite < 0) return nullptr;
    if (opposite) {
        Ref sum = qrl::add(y1, y2);
        Ref p = sum ? global(call, n._P256_P) : Ref();
        opposite = qrl::cmp(qrl::mod(sum, p), s.constants.zero, Py_EQ);
        if (opposite < 0) return nullptr;
        if (opposite) return global(call, n._INF).release();
    }

    const int doubling = qrl::cmp(p1, p2, Py_EQ);
    if (doubling < 0) return nullptr;
    Ref slope;
    if (doubling) {
        // ((3*x1*x1 + _P256_A) * _mod_inv(2*y1 % _P256_P, _P256_P)) % _P256_P
        Ref numerator = qrl::mul(qrl::mul(s.constants.three, x1), x1);
        Ref a_coef = numerator ? global(call, n._P256_A) : Ref();
        numerator = qrl::add(numerator, a_coef);
        slope = slope_from(call, numerator, [&] { return qrl::mul(s.constants.two, y1); });
    } else {
        // ((y2 - y1) * _mod_inv((x2 - x1) % _P256_P, _P256_P)) % _P256_P
        Ref numerator = qrl::sub(y2, y1);
        slope = slope_from(call, numerator, [&] { return qrl::sub(x2, x1); });
    }
    if (!slope) return nullptr;
    // x3 = (slope*slope - x1 - x2) % _P256_P; y3 = (slope*(x1 - x3) - y1) % _P256_P
    Ref x3 = qrl::sub(qrl::sub(qrl::mul(slope, slope), x1), x2);
    Ref p = x3 ? global(call, n._P256_P) : Ref();
    x3 = qrl::mod(x3, p);
    Ref y3 = qrl::sub(qrl::mul(slope, qrl::sub(x1, x3)), y1);
    p = y3 ? global(call, n._P256_P) : Ref();
    y3 = qrl::mod(y3, p);
    return y3 ? PyTuple_Pack(2, x3.get(), y3.get()) : nullptr;
}

PyObject* scalar_mult_exact(qrl::Call& call, PyObject* k, PyObject* point) {
    const Names& n = state(call).names;
    Ref result = global(call, n._INF);
    if (!result) return nullptr;
    Ref addend = qrl::borrow(point);
    const size_t bits = _PyLong_NumBits(k);
    if (bits == static_cast<size_t>(-1)) return nullptr;
    // A vector too large for memory raises MemoryError at the call boundary.
    std::vector<unsigned char> little((bits + 7) / 8 + 1);
#if PY_VERSION_HEX >= 0x030D0000
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(k), little.data(), little.size(), 1, 0, 1) < 0)
        return nullptr;
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(k), little.data(), little.size(), 1, 0) < 0)
        return nullptr;
#endif
    for (size_t bit = 0; bit < bits; ++bit) {
        if (little[bit / 8] >> (bit % 8) & 1) {
            result = call_global(call, n._point_add, result.get(), addend.get());
            if (!result) return nullptr;
        }
        addend = call_global(call, n._point_add, addend.get(), addend.get());
        if (!addend) return nullptr;
    }
    return result.release();
}

}  // namespace jwt
