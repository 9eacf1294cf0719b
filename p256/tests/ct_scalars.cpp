// The constant-time check of the curve arithmetic and its building blocks
// with secret scalars; compiled once per variant of the arithmetic.
#include "../field.h"
#include "../modinv.h"
#include "../scalar.h"
#include "ct_check.h"

using namespace p256;
using namespace p256::P256_VARIANT;

namespace p256::P256_VARIANT {

// The curve arithmetic with secret scalars; returns how many of its four
// results came out as expected.
int check_scalars(std::uint64_t i) {
    using ct::from_seed;
    U256 k = from_seed(i), d = from_seed(i + 100);
    const U256 e = from_seed(i + 200);
    if (i == 1) k = U256{{1, 0, 0, 0}};  // small and extreme scalars take
    if (i == 2) k = U256{{0x632550 + 1, 0, 0, 0}};  // the same paths
    if (i == 3) d = U256{{0xF3B9CAC2FC632550ull, 0xBCE6FAADA7179E84ull, ~0ull, 0xFFFFFFFF00000000ull}};
    // k = 0 (mod n) gives infinity, found without a branch.
    U256 k_zero = i & 1 ? kN : U256{{0, 0, 0, 0}};

    SECRET(&k, sizeof k);
    SECRET(&d, sizeof d);
    SECRET(&k_zero, sizeof k_zero);

    U256 x, y, x0, y0;
    bool finite = mul_base_ct(k, x, y), finite0 = mul_base_ct(k_zero, x0, y0);
    PUBLIC(&finite, sizeof finite);
    PUBLIC(&x, sizeof x);
    PUBLIC(&y, sizeof y);
    PUBLIC(&finite0, sizeof finite0);
    PUBLIC(&x0, sizeof x0);
    PUBLIC(&y0, sizeof y0);

    U256 r, s;
    SignStatus st = ecdsa_sign_ct(k, d, e, r, s);
    PUBLIC(&st, sizeof st);
    PUBLIC(&r, sizeof r);
    PUBLIC(&s, sizeof s);

    // The building blocks on their own: inversions (divsteps and
    // exponentiation), a scalar product, the reduction modulo n.
    Fe f, fi, fp;
    fe_from_u256(f, k);
    fe_inv(fi, f);
    fe_inv_pow(fp, f);
    Sc a, b, c, ap;
    sc_from_u256(a, k);
    sc_from_u256(b, d);
    sc_mul(c, a, b);
    sc_inv(a, c);
    sc_inv_pow(ap, c);
    U256 out = sc_to_u256(a), outp = sc_to_u256(ap);
    U256 fo = fe_to_u256(fi), fop = fe_to_u256(fp);
    U256 k_mod_n = reduce_mod_n_ct(k_zero);
    PUBLIC(&out, sizeof out);
    PUBLIC(&outp, sizeof outp);
    PUBLIC(&fo, sizeof fo);
    PUBLIC(&fop, sizeof fop);
    PUBLIC(&k_mod_n, sizeof k_mod_n);

    // The divsteps inversion directly, modulo p and n, on the secret
    // and on 1 and m - 1 (the extremes of the iteration's input).
    U256 one{{1, 0, 0, 0}}, p_1 = kP, n_1 = kN;
    p_1.limb[0] -= 1;
    n_1.limb[0] -= 1;
    SECRET(&one, sizeof one);
    SECRET(&p_1, sizeof p_1);
    SECRET(&n_1, sizeof n_1);
    U256 inv[5] = {modinv_ct(d, kN), modinv_ct(k, kP), modinv_ct(one, kP), modinv_ct(p_1, kP),
                   modinv_ct(n_1, kN)};
    PUBLIC(inv, sizeof inv);

    // Branch on the public results only; this also keeps them alive.
    int results = 0;
    results += finite && st == SignStatus::ok && !is_zero(r) && !is_zero(x) && compare(s, kHalfN) <= 0;
    results += !finite0 && is_zero(x0) && is_zero(y0) && is_zero(k_mod_n);
    if (!is_zero(out) && !is_zero(fo) && compare(out, outp) == 0 && compare(fo, fop) == 0) ++results;
    if (compare(inv[2], U256{{1, 0, 0, 0}}) == 0 && compare(inv[3], kP) < 0 && !is_zero(inv[0])) ++results;
    return results;
}

}  // namespace p256::P256_VARIANT
