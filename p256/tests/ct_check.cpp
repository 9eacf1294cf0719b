// Constant-time check: run under valgrind memcheck with the secrets marked
// undefined. Memcheck then reports every conditional branch and every memory
// address computed from them, which is exactly what must not happen. Only the
// public results are marked defined again, before anything branches on them.
// Refuses to pass when it is not under valgrind or was built without
// valgrind's header: a check that checks nothing must not look green.
//
//   valgrind --error-exitcode=1 --track-origins=yes build/ct_check
#include <cstdio>
#include <cstring>

#include "ecmult_gen.h"
#include "field.h"
#include "modinv.h"
#include "p256.h"
#include "rfc6979.h"
#include "scalar.h"
#include "sha256.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define PUBLIC(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#define HAVE_MEMCHECK 1
#else
#define SECRET(p, n) ((void)(p), (void)(n))
#define PUBLIC(p, n) ((void)(p), (void)(n))
#define HAVE_MEMCHECK 0
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

// The curve arithmetic with secret scalars; returns how many of its four
// results came out as expected.
int check_scalars(std::uint64_t i) {
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

// HMAC with a secret key (shorter than, equal to and longer than the block)
// and a secret message; the deterministic nonce and whole signatures with a
// secret key. Returns how many of the five results came out as expected.
int check_hashing(std::uint64_t i) {
    std::uint8_t key[100], msg[70];
    for (std::size_t j = 0; j < sizeof key; ++j) key[j] = static_cast<std::uint8_t>(j * 7 + i);
    for (std::size_t j = 0; j < sizeof msg; ++j) msg[j] = static_cast<std::uint8_t>(j * 3 + i);
    SECRET(key, sizeof key);
    SECRET(msg, sizeof msg);
    std::uint8_t macs[3][32];
    const std::size_t key_sizes[3] = {32, 64, 100};
    for (int j = 0; j < 3; ++j) hmac_sha256(key, key_sizes[j], msg, sizeof msg, macs[j]);
    PUBLIC(macs, sizeof macs);

    U256 d = from_seed(i + 300), h1 = reduce_mod_n_ct(from_seed(i + 400));
    std::uint8_t digest[32];
    store_be(from_seed(i + 500), digest);
    digest[0] = static_cast<std::uint8_t>(0xFF * (i & 1));  // e >= n on every other pass
    SECRET(&d, sizeof d);
    SECRET(&h1, sizeof h1);
    SECRET(digest, sizeof digest);
    // With the bound 2^252 about fifteen of sixteen candidates are
    // rejected, so the retry (the one declassified branch) runs here.
    const U256 small_bound{{0, 0, 0, std::uint64_t{1} << 60}};
    U256 k = rfc6979_nonce_ct(d, h1), k_small = rfc6979_nonce_below(d, h1, small_bound);
    U256 r, s, r2, s2;
    SignStatus st = ecdsa_sign_ct(k, d, h1, r, s);
    SignStatus st_digest = ecdsa_sign_digest_ct(digest, d, r2, s2);
    PUBLIC(&k_small, sizeof k_small);  // only to count the result below
    PUBLIC(&st, sizeof st);
    PUBLIC(&r, sizeof r);
    PUBLIC(&s, sizeof s);
    PUBLIC(&st_digest, sizeof st_digest);
    PUBLIC(&r2, sizeof r2);
    PUBLIC(&s2, sizeof s2);

    int results = 0;
    results += std::memcmp(macs[0], macs[1], 32) != 0 && std::memcmp(macs[1], macs[2], 32) != 0;
    results += st == SignStatus::ok && compare(s, kHalfN) <= 0;
    results += st_digest == SignStatus::ok && compare(s2, kHalfN) <= 0;
    results += !is_zero(k_small) && compare(k_small, small_bound) < 0;
    results += compare(r, r2) != 0;
    return results;
}

}  // namespace

int main() {
    if (!HAVE_MEMCHECK) {
        std::printf("ct_check: FAILED: built without <valgrind/memcheck.h>, so it cannot mark secrets\n");
        return 2;
    }
#if HAVE_MEMCHECK
    if (!RUNNING_ON_VALGRIND) {
        std::printf("ct_check: FAILED: not running under valgrind, so nothing would be checked\n");
        return 2;
    }
#endif
    init_tables();  // public data, built before any secret is around
    int results = 0, expected = 0;
    for (std::uint64_t i = 1; i <= 8; ++i) {
        results += check_scalars(i);
        expected += 4;
    }
    // SHA-256 under valgrind: only the portable block function. Valgrind
    // 3.19 cannot decode the SHA extensions (SHA256RNDS2 stops the program
    // with SIGILL) and hides them from CPUID, so that one is not checked
    // here; it has no branch or table lookup to begin with.
    using namespace sha256_detail;
    for (const Impl impl : kImpls) {
        if (!runs_here(impl)) {
            std::printf("ct_check: sha256 %s not checked: valgrind cannot run it\n", name(impl));
            continue;
        }
        force(impl);
        std::printf("ct_check: sha256 %s\n", name(impl));
        for (std::uint64_t i = 1; i <= 4; ++i) {
            results += check_hashing(i);
            expected += 5;
        }
    }
    std::printf("ct_check: %d of %d results as expected\n", results, expected);
    return results == expected ? 0 : 1;
}
