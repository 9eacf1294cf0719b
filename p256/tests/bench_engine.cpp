// Per-operation timings of the engine, for every variant of the arithmetic
// and every SHA-256 implementation this CPU runs (tags in brackets).
#include <cstdio>
#include <string>
#include <vector>

#include "../sha256.h"
#include "../variant.h"
#include "bench.h"

using namespace p256;
using benchmark::bench;
using benchmark::g_sink;

#if P256_WITH_GENERIC
namespace p256::generic {
void run_arith_benchmarks(const std::string& tag);
}
#endif
#if P256_WITH_BMI2_ADX
namespace p256::bmi2_adx {
void run_arith_benchmarks(const std::string& tag);
}
#endif

namespace {

// Hashing, the nonce and whole signatures with the SHA-256 implementation
// `impl` (and the arithmetic chosen for this CPU).
void bench_hashing(sha256_detail::Impl impl) {
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
    const U256 d = load_be(data.data());
    const U256 h1 = reduce_mod_n_ct(load_be(out));
    bench("rfc6979_nonce_ct" + tag, 20000, [&] { g_sink = rfc6979_nonce_ct(d, h1).limb[0]; });
    U256 r, s;
    bench("ecdsa_sign_digest_ct" + tag, 2000, [&] {
        ecdsa_sign_digest_ct(out, d, r, s);
        g_sink = s.limb[0];
    });
}

}  // namespace

int main() {
    std::printf("implementation chosen for this CPU: %s\n", implementation());
    init_tables();
    const struct {
        const Variant* variant;
        void (*run)(const std::string&);
    } variants[] = {
#if P256_WITH_GENERIC
        {&generic::kVariant, generic::run_arith_benchmarks},
#endif
#if P256_WITH_BMI2_ADX
        {&bmi2_adx::kVariant, bmi2_adx::run_arith_benchmarks},
#endif
    };
    const Variant& start = variant_detail::chosen();
    for (const auto& v : variants) {
        if (!variant_detail::runs_here(*v.variant)) {
            std::printf("arithmetic %s: not run (this CPU lacks BMI2 or ADX)\n", v.variant->name);
            continue;
        }
        variant_detail::force(*v.variant);
        v.run(std::string(" [") + v.variant->name + "]");
    }
    variant_detail::force(start);
    for (const sha256_detail::Impl impl : sha256_detail::kImpls) {
        if (sha256_detail::runs_here(impl)) bench_hashing(impl);
    }
    return 0;
}
