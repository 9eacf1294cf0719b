// ECDSA over P-256: verification (public data) and signing (constant time).
#include "ecdsa.h"

#include "ecmult.h"
#include "ecmult_gen.h"
#include "wipe.h"

namespace p256::P256_VARIANT {

bool verify_signature(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy) {
    // Out-of-range values never verify; the caller normally rules them out.
    if (u256_is_zero(r) || u256_is_zero(s) || u256_cmp(r, params::n) >= 0 ||
        u256_cmp(s, params::n) >= 0 || !point_on_curve(qx, qy)) {
        return false;
    }
    Sc es, rs, ss, w, u1, u2;
    sc_from_u256(es, e);
    sc_from_u256(rs, r);
    sc_from_u256(ss, s);
    sc_inv_var(w, ss);
    sc_mul(u1, es, w);
    sc_mul(u2, rs, w);

    Ge q;
    fe_from_u256(q.x, qx);
    fe_from_u256(q.y, qy);
    q.infinity = false;
    Gej sum;
    ecmult(sum, u1, q, u2);
    if (sum.infinity) return false;

    // x(sum) = X / Z^2 lies in [0, p) and p < 2n, so x mod n == r exactly
    // when X == r Z^2 or, if r + n < p, X == (r + n) Z^2. No inversion.
    Fe zz, rf, t;
    fe_sqr(zz, sum.z);
    fe_from_u256(rf, r);
    fe_mul(t, rf, zz);
    if (fe_equal_var(t, sum.x)) return true;
    U256 rn;
    if (u256_add(r, params::n, rn) == 0 && u256_cmp(rn, params::p) < 0) {
        fe_from_u256(rf, rn);
        fe_mul(t, rf, zz);
        if (fe_equal_var(t, sum.x)) return true;
    }
    return false;
}

namespace {

// s = n - s when s > n // 2, by mask: (r, s) and (r, n - s) both verify,
// and only the smaller s is accepted where signatures must be unique.
void low_s(Sc& s) {
    std::uint64_t borrow = 0;
    for (int i = 0; i < 4; ++i) subb(params::half_n.limb[i], s.v[i], borrow);  // n // 2 < s
    Sc neg;
    sc_neg(neg, s);
    select4(s.v, neg.v, s.v, mask_bit(borrow));
}

}  // namespace

SignStatus sign_with_nonce_ct(const U256& k, const U256& d, const U256& e, U256& r, U256& s) {
    Sc ks, ds, es, rs, ss, kinv, t;
    sc_from_u256(ks, k);
    sc_from_u256(ds, d);
    sc_from_u256(es, e);

    Gej p;
    ecmult_gen(p, ks);
    Fe zi, x;
    fe_inv(zi, p.z);
    fe_sqr(zi, zi);
    fe_mul(x, p.x, zi);
    sc_from_u256(rs, fe_to_u256(x));  // x < p < 2n: one masked subtraction

    sc_inv(kinv, ks);
    sc_mul(t, rs, ds);
    sc_add(t, t, es);
    sc_mul(ss, kinv, t);
    low_s(ss);
    r = sc_to_u256(rs);
    s = sc_to_u256(ss);
    wipe(&ks, sizeof ks);
    wipe(&kinv, sizeof kinv);
    wipe(&ds, sizeof ds);
    wipe(&t, sizeof t);
    wipe(&p, sizeof p);
    wipe(&zi, sizeof zi);

    // The status is computed without branching on r or s; the caller
    // branches on it, as it would on the published signature.
    static_assert(static_cast<int>(SignStatus::ok) == 0 &&
                  static_cast<int>(SignStatus::r_zero) == 1 &&
                  static_cast<int>(SignStatus::s_zero) == 2);
    const std::uint64_t rz = sc_is_zero_mask(rs) & 1;
    const std::uint64_t sz = sc_is_zero_mask(ss) & 1;
    return static_cast<SignStatus>(rz | ((sz & (rz ^ 1)) << 1));
}

}  // namespace p256::P256_VARIANT
