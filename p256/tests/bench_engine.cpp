// Per-operation timings of the engine: median (and minimum) over repeated
// batches. Time is the thread's CPU time, so that periods where other work
// has the processor do not count; on a busy machine compare medians of
// several runs.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ecmult.h"
#include "ecmult_gen.h"
#include "p256.h"
#include "sha256.h"

using namespace p256;

namespace {

volatile std::uint64_t g_sink;

double cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Runs `op` in batches of `iters` and prints the median time per call, and
// the throughput when `bytes` (per call) is given.
template <typename Op>
void bench(const std::string& name, int iters, Op op, std::size_t bytes = 0) {
    constexpr int kRepeats = 15;
    std::vector<double> per_call;
    op();  // warm up: tables, caches
    for (int r = 0; r < kRepeats; ++r) {
        const double t0 = cpu_ns();
        for (int i = 0; i < iters; ++i) op();
        const double t1 = cpu_ns();
        per_call.push_back((t1 - t0) / iters);
    }
    std::sort(per_call.begin(), per_call.end());
    const double med = per_call[kRepeats / 2], lo = per_call[0];
    char rate[32] = "";
    if (bytes != 0) std::snprintf(rate, sizeof rate, "   %7.0f MB/s", static_cast<double>(bytes) * 1e3 / med);
    if (med >= 1000.0) {
        std::printf("%-30s median %9.2f us   min %9.2f us%s\n", name.c_str(), med / 1000.0, lo / 1000.0, rate);
    } else {
        std::printf("%-30s median %9.1f ns   min %9.1f ns%s\n", name.c_str(), med, lo, rate);
    }
}

// Hashing, the nonce and whole signatures with the SHA-256 implementation
// `impl`.
void bench_hashing(sha256_detail::Impl impl, const U256& d) {
    sha256_detail::force(impl);
    const std::string tag = std::string(" [") + sha256_detail::name(impl) + "]";
    std::vector<std::uint8_t> data(1 << 20, 0x5a);
    std::uint8_t out[32];
    for (const std::size_t size : {std::size_t{64}, std::size_t{1024}, std::size_t{1} << 20}) {
        const std::string label = size == 64 ? "64 B" : size == 1024 ? "1 KiB" : "1 MiB";
        bench("sha256 " + label + tag, size == 64 ? 200000 : size == 1024 ? 20000 : 20, [&] {
            sha256(data.data(), size, out);
            g_sink = out[0];
        }, size);
    }
    bench("hmac_sha256 100 B" + tag, 100000, [&] {
        hmac_sha256(data.data(), 32, data.data(), 100, out);
        g_sink = out[0];
    });
    const U256 h1 = reduce_mod_n_ct(load_be(out));
    bench("rfc6979_nonce_ct" + tag, 20000, [&] { g_sink = rfc6979_nonce_ct(d, h1).limb[0]; });
    U256 r, s;
    bench("ecdsa_sign_digest_ct" + tag, 2000, [&] {
        ecdsa_sign_digest_ct(out, d, r, s);
        g_sink = s.limb[0];
    });
}

U256 from_hex(const char* s) {
    std::uint8_t b[32];
    for (int i = 0; i < 32; ++i) std::sscanf(s + 2 * i, "%2hhx", &b[i]);
    return load_be(b);
}

}  // namespace

int main() {
    init_tables();
    const U256 k = from_hex("2b7b0c8f5e3a1d9c6f4e2a0b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d");
    const U256 d = from_hex("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
    const U256 e = from_hex("af2bdbe1aa9b6ec1e2ade1d694f41fc71a831d0268e9891562113d8a62add1bf");
    U256 qx, qy, r, s;
    mul_base_ct(d, qx, qy);
    ecdsa_sign_ct(k, d, e, r, s);

    Fe fa, fb;
    fe_from_u256(fa, k);
    fe_from_u256(fb, d);
    bench("fe_mul", 200000, [&] { fe_mul(fa, fa, fb); });
    bench("fe_sqr", 200000, [&] { fe_sqr(fa, fa); });
    bench("fe_inv", 2000, [&] { fe_inv(fa, fa); });
    bench("fe_inv_var", 2000, [&] { fe_inv_var(fa, fa); });
    Sc sa, sb;
    sc_from_u256(sa, k);
    sc_from_u256(sb, d);
    bench("sc_mul", 100000, [&] { sc_mul(sa, sa, sb); });
    bench("sc_inv", 2000, [&] { sc_inv(sa, sa); });
    bench("sc_inv_var", 2000, [&] { sc_inv_var(sa, sa); });

    const Ge g = ge_generator();
    Gej j;
    gej_set_ge(j, g);
    gej_double_var(j, j);
    bench("gej_double_var", 100000, [&] { gej_double_var(j, j); });
    bench("gej_add_ge_var", 100000, [&] { gej_add_ge_var(j, j, g); });
    Gej jd = j;
    const GeStorage gs{g.x, g.y};
    bench("gej_add_ge_distinct", 100000, [&] { gej_add_ge_distinct(jd, jd, gs); });
    g_sink = fa.v[0] ^ sa.v[0] ^ j.x.v[0] ^ jd.x.v[0];

    U256 x, y;
    bench("mul_base_ct", 2000, [&] {
        mul_base_ct(k, x, y);
        g_sink = x.limb[0];
    });
    bench("mul_vartime", 1000, [&] {
        mul_vartime(k, qx, qy, x, y);
        g_sink = x.limb[0];
    });
    bench("ecdsa_sign_ct", 2000, [&] {
        ecdsa_sign_ct(k, d, e, x, y);
        g_sink = x.limb[0];
    });
    bench("ecdsa_verify", 1000, [&] { g_sink = ecdsa_verify(e, r, s, qx, qy); });
    for (const sha256_detail::Impl impl : sha256_detail::kImpls) {
        if (sha256_detail::runs_here(impl)) bench_hashing(impl, d);
    }
    return 0;
}
