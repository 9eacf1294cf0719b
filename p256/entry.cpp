// This variant's bodies of the public entry points that do curve
// arithmetic, and its table for the dispatcher.
#include "ecdsa.h"
#include "ecmult.h"
#include "ecmult_gen.h"
#include "variant.h"
#include "wipe.h"

namespace p256::P256_VARIANT {

bool point_on_curve(const U256& x, const U256& y) {
    if (u256_cmp(x, params::p) >= 0 || u256_cmp(y, params::p) >= 0) return false;
    Ge a;
    fe_from_u256(a.x, x);
    fe_from_u256(a.y, y);
    a.infinity = false;
    return ge_on_curve_var(a);
}

namespace {

bool multiply_vartime(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry) {
    Sc ks;
    sc_from_u256(ks, k);
    if (sc_is_zero_var(ks)) return false;
    Ge a;
    fe_from_u256(a.x, x);
    fe_from_u256(a.y, y);
    a.infinity = false;
    Gej r;
    ecmult_point(r, a, ks);
    if (r.infinity) return false;
    Ge out;
    ge_set_gej_var(out, r);
    rx = fe_to_u256(out.x);
    ry = fe_to_u256(out.y);
    return true;
}

bool multiply_base_ct(const U256& k, U256& rx, U256& ry) {
    Sc ks;
    sc_from_u256(ks, k);
    // For k = 0 (mod n) the fixed-base loop leaves Z = 0, whose inverse is
    // 0, so the affine coordinates come out zero without a branch.
    const std::uint64_t finite = ~sc_is_zero_mask(ks) & 1;
    Gej p;
    ecmult_gen(p, ks);
    Fe zi, zi2, t;
    fe_inv(zi, p.z);
    fe_sqr(zi2, zi);
    fe_mul(t, p.x, zi2);
    rx = fe_to_u256(t);
    fe_mul(zi, zi, zi2);
    fe_mul(t, p.y, zi);
    ry = fe_to_u256(t);
    wipe(&ks, sizeof ks);
    wipe(&p, sizeof p);
    return finite != 0;
}

}  // namespace

void build_tables(Tables& t) {
    build_table_g(t.g_odd);
    build_gen_table(t.gen);
}

extern const Variant kVariant = {
    P256_HAVE_ADX_ASM ? "bmi2-adx" : "generic", P256_HAVE_ADX_ASM != 0, point_on_curve, multiply_vartime,
    verify_signature, multiply_base_ct, sign_with_nonce_ct, build_tables,
};

}  // namespace p256::P256_VARIANT
