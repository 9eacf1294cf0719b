// Constant-time check: run under valgrind memcheck with the secrets marked
// undefined. Memcheck then reports every conditional branch and every memory
// address computed from them, which is exactly what must not happen. Only the
// public results are marked defined again, before anything branches on them.
//
//   valgrind --error-exitcode=1 --track-origins=yes build/ct_check
#include <cstdio>

#include "ecmult_gen.h"
#include "field.h"
#include "modinv.h"
#include "p256.h"
#include "scalar.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define PUBLIC(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#define UNDER_VALGRIND (RUNNING_ON_VALGRIND != 0)
#else
#define SECRET(p, n) ((void)(p), (void)(n))
#define PUBLIC(p, n) ((void)(p), (void)(n))
#define UNDER_VALGRIND false
#endif

using namespace p256;

namespace {

U256 from_seed(std::uint64_t seed) {
    // Values spread over the whole range below n (top limb kept < n's).
    U256 r;
    for (int i = 0; i < 4; ++i) {
        seed ^= seed >> 31;
        seed *= 0x9E3779B97F4A7C15ull;
        r.limb[i] = seed ^ (seed >> 29);
    }
    r.limb[3] &= 0x7FFFFFFFFFFFFFFFull;
    if (r.limb[0] == 0) r.limb[0] = 1;
    return r;
}

}  // namespace

int main() {
    std::printf("ct_check: %s\n", UNDER_VALGRIND ? "running under valgrind" : "NOT under valgrind (no check)");
    init_tables();  // public data, built before any secret is around
    int results = 0;
    for (std::uint64_t i = 1; i <= 8; ++i) {
        U256 k = from_seed(i), d = from_seed(i + 100);
        const U256 e = from_seed(i + 200);
        if (i == 1) k = U256{{1, 0, 0, 0}};  // small and extreme scalars take
        if (i == 2) k = U256{{0x632550 + 1, 0, 0, 0}};  // the same paths
        if (i == 3) d = U256{{0xF3B9CAC2FC632550ull, 0xBCE6FAADA7179E84ull, ~0ull, 0xFFFFFFFF00000000ull}};

        SECRET(&k, sizeof k);
        SECRET(&d, sizeof d);

        U256 x, y;
        mul_base_ct(k, x, y);
        PUBLIC(&x, sizeof x);
        PUBLIC(&y, sizeof y);

        U256 r, s;
        SignStatus st = ecdsa_sign_ct(k, d, e, r, s);
        PUBLIC(&st, sizeof st);
        PUBLIC(&r, sizeof r);
        PUBLIC(&s, sizeof s);

        // The building blocks on their own: inversions (divsteps and
        // exponentiation) and a scalar product.
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
        PUBLIC(&out, sizeof out);
        PUBLIC(&outp, sizeof outp);
        PUBLIC(&fo, sizeof fo);
        PUBLIC(&fop, sizeof fop);

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
        if (st == SignStatus::ok && !is_zero(r) && !is_zero(x)) ++results;
        if (!is_zero(out) && !is_zero(fo) && compare(out, outp) == 0 && compare(fo, fop) == 0) ++results;
        if (compare(inv[2], U256{{1, 0, 0, 0}}) == 0 && compare(inv[3], kP) < 0 && !is_zero(inv[0])) ++results;
    }
    std::printf("ct_check: %d results computed\n", results);
    return results == 24 ? 0 : 1;
}
