// The arithmetic's benchmarks, compiled once per variant: the layers on
// their own (this variant's functions directly), then the public entry
// points, which the caller has pointed at this variant.
#include <string>

#include "../ecmult.h"
#include "../ecmult_gen.h"
#include "bench.h"

using namespace p256;
using namespace p256::P256_VARIANT;
using benchmark::bench;
using benchmark::g_sink;

namespace {

U256 from_hex(const char* s) {
    std::uint8_t b[32];
    for (int i = 0; i < 32; ++i) std::sscanf(s + 2 * i, "%2hhx", &b[i]);
    return load_be(b);
}

}  // namespace

namespace p256::P256_VARIANT {

void run_arith_benchmarks(const std::string& tag) {
    const U256 k = from_hex("2b7b0c8f5e3a1d9c6f4e2a0b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d");
    const U256 d = from_hex("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
    const U256 e = from_hex("af2bdbe1aa9b6ec1e2ade1d694f41fc71a831d0268e9891562113d8a62add1bf");
    U256 qx, qy, r, s;
    mul_base_ct(d, qx, qy);
    ecdsa_sign_ct(k, d, e, r, s);

    Fe fa, fb;
    fe_from_u256(fa, k);
    fe_from_u256(fb, d);
    bench("fe_mul" + tag, 200000, [&] { fe_mul(fa, fa, fb); });
    bench("fe_sqr" + tag, 200000, [&] { fe_sqr(fa, fa); });
    bench("fe_inv" + tag, 2000, [&] { fe_inv(fa, fa); });
    bench("fe_inv_var" + tag, 2000, [&] { fe_inv_var(fa, fa); });
    Sc sa, sb;
    sc_from_u256(sa, k);
    sc_from_u256(sb, d);
    bench("sc_mul" + tag, 100000, [&] { sc_mul(sa, sa, sb); });
    bench("sc_inv" + tag, 2000, [&] { sc_inv(sa, sa); });
    bench("sc_inv_var" + tag, 2000, [&] { sc_inv_var(sa, sa); });

    const Ge g = ge_generator();
    Gej j;
    gej_set_ge(j, g);
    gej_double_var(j, j);
    bench("gej_double_var" + tag, 100000, [&] { gej_double_var(j, j); });
    bench("gej_add_ge_var" + tag, 100000, [&] { gej_add_ge_var(j, j, g); });
    Gej jd = j;
    const GeStorage gs{g.x, g.y};
    bench("gej_add_ge_distinct" + tag, 100000, [&] { gej_add_ge_distinct(jd, jd, gs); });
    g_sink = fa.v[0] ^ sa.v[0] ^ j.x.v[0] ^ jd.x.v[0];

    U256 x, y;
    bench("mul_base_ct" + tag, 2000, [&] {
        mul_base_ct(k, x, y);
        g_sink = x.limb[0];
    });
    bench("mul_vartime" + tag, 1000, [&] {
        mul_vartime(k, qx, qy, x, y);
        g_sink = x.limb[0];
    });
    bench("ecdsa_sign_ct" + tag, 2000, [&] {
        ecdsa_sign_ct(k, d, e, x, y);
        g_sink = x.limb[0];
    });
    std::uint8_t digest[32];
    store_be(e, digest);
    bench("ecdsa_sign_digest_ct" + tag, 2000, [&] {
        ecdsa_sign_digest_ct(digest, d, x, y);
        g_sink = x.limb[0];
    });
    bench("ecdsa_verify" + tag, 1000, [&] { g_sink = ecdsa_verify(e, r, s, qx, qy); });
}

}  // namespace p256::P256_VARIANT
