// The engine's entry points that are not ECDSA: integer helpers, domain
// parameters, the curve check and single scalar multiplications.
#include "p256.h"

#include "ecmult.h"
#include "ecmult_gen.h"
#include "wipe.h"

namespace p256 {

const U256 kP = params::p;
const U256 kB = params::b;
const U256 kN = params::n;
const U256 kHalfN = params::half_n;
const U256 kGx = params::gx;
const U256 kGy = params::gy;

U256 load_be(const std::uint8_t in[32]) {
    U256 r;
    for (int i = 0; i < 4; ++i) {
        std::uint64_t v = 0;
        for (int j = 0; j < 8; ++j) v = (v << 8) | in[(3 - i) * 8 + j];
        r.limb[i] = v;
    }
    return r;
}

void store_be(const U256& value, std::uint8_t out[32]) {
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) {
            out[(3 - i) * 8 + j] = static_cast<std::uint8_t>(value.limb[i] >> (56 - 8 * j));
        }
    }
}

int compare(const U256& a, const U256& b) { return u256_cmp(a, b); }

bool is_zero(const U256& a) { return u256_is_zero(a); }

std::uint64_t sub(const U256& a, const U256& b, U256& out) { return u256_sub(a, b, out); }

bool on_curve(const U256& x, const U256& y) {
    if (u256_cmp(x, params::p) >= 0 || u256_cmp(y, params::p) >= 0) return false;
    Ge a;
    fe_from_u256(a.x, x);
    fe_from_u256(a.y, y);
    a.infinity = false;
    return ge_on_curve_var(a);
}

bool mul_vartime(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry) {
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

U256 reduce_mod_n_ct(const U256& a) {
    Sc r;
    sc_from_u256(r, a);
    return sc_to_u256(r);
}

bool mul_base_ct(const U256& k, U256& rx, U256& ry) {
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

void init_tables() {
    ecmult_table_g();
    ecmult_gen_table();
}

}  // namespace p256
