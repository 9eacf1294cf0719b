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

#include "../rfc6979.h"
#include "../sha256.h"
#include "../variant.h"
#include "ct_check.h"

using namespace p256;
using ct::from_seed;

// The scalar checks of each variant (ct_scalars.cpp): how many of four
// results came out as expected.
#if P256_WITH_GENERIC
namespace p256::generic {
int check_scalars(std::uint64_t i);
}
#endif
#if P256_WITH_BMI2_ADX
namespace p256::bmi2_adx {
int check_scalars(std::uint64_t i);
}
#endif

namespace {

// HMAC with a secret key (shorter than, equal to and longer than the block)
// and a secret message; the deterministic nonce and whole signatures with a
// secret key, and the range test of such a key. Returns how many of the six
// results came out as expected.
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
    U256 d_too_large = kN;
    SECRET(&d, sizeof d);
    SECRET(&d_too_large, sizeof d_too_large);
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
    results += key_in_range_ct(d) && !key_in_range_ct(d_too_large);
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
    // Every variant of the arithmetic, forced: valgrind 3.19 hides ADX from
    // CPUID (so the dispatcher would pick generic) but executes MULX, ADCX
    // and ADOX. SHA-256: every block function the virtual CPU reports,
    // which is the portable one only. Valgrind 3.19 cannot decode the SHA
    // extensions (SHA256RNDS2 stops the program with SIGILL) and hides them
    // from CPUID, so they are not checked here; they have no branch or table
    // lookup to begin with.
    struct VariantCheck {
        const Variant* variant;
        int (*scalars)(std::uint64_t);
    };
    const VariantCheck variants[] = {
#if P256_WITH_GENERIC
        {&generic::kVariant, generic::check_scalars},
#endif
#if P256_WITH_BMI2_ADX
        {&bmi2_adx::kVariant, bmi2_adx::check_scalars},
#endif
    };
    using namespace sha256_detail;
    int results = 0, expected = 0;
    for (const VariantCheck& v : variants) {
        variant_detail::force(*v.variant);
        std::printf("ct_check: arithmetic %s\n", v.variant->name);
        for (std::uint64_t i = 1; i <= 8; ++i) {
            results += v.scalars(i);
            expected += 4;
        }
        for (const Impl impl : kImpls) {
            if (!runs_here(impl)) {
                std::printf("ct_check:   sha256 %s not checked: valgrind cannot run it\n", name(impl));
                continue;
            }
            force(impl);
            std::printf("ct_check:   sha256 %s\n", name(impl));
            for (std::uint64_t i = 1; i <= 4; ++i) {
                results += check_hashing(i);
                expected += 6;
            }
        }
    }
    std::printf("ct_check: %d of %d results as expected\n", results, expected);
    return results == expected && expected > 0 ? 0 : 1;
}
