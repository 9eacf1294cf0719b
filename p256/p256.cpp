// The public entry points: integer helpers, domain parameters, the shared
// point tables, and the dispatch of the curve arithmetic to the variant
// chosen for this CPU.
#include "p256.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpu.h"
#include "declassify.h"
#include "sha256.h"
#include "tables.h"
#include "u256.h"
#include "variant.h"
#include "wipe.h"

namespace p256 {

// The integer helpers here are variant-independent: this file is compiled
// once, as the generic variant is.
namespace arith = P256_VARIANT;

const U256 kP = arith::params::p;
const U256 kB = arith::params::b;
const U256 kN = arith::params::n;
const U256 kHalfN = arith::params::half_n;
const U256 kGx = arith::params::gx;
const U256 kGy = arith::params::gy;

namespace {

// What the entry points run in a build whose every variant needs BMI2 and
// ADX (QRL_ENGINE_ADX=ON) on a CPU without them: a clear stop instead of an
// illegal instruction. Callers ask cpu_supported() first.
[[noreturn]] void refuse() {
    std::fputs("p256: this library was built for CPUs with BMI2 and ADX only, which this CPU lacks\n", stderr);
    std::abort();
}

const Variant kUnsupported = {
    "unsupported",
    true,
    [](const U256&, const U256&) -> bool { refuse(); },
    [](const U256&, const U256&, const U256&, U256&, U256&) -> bool { refuse(); },
    [](const U256&, const U256&, const U256&, const U256&, const U256&) -> bool { refuse(); },
    [](const U256&, U256&, U256&) -> bool { refuse(); },
    [](const U256&, const U256&, const U256&, U256&, U256&) -> SignStatus { refuse(); },
    [](Tables&) { refuse(); },
};

constexpr const Variant* kBuilt[] = {
#if P256_WITH_GENERIC
    &generic::kVariant,
#endif
#if P256_WITH_BMI2_ADX
    &bmi2_adx::kVariant,
#endif
};
static_assert(sizeof kBuilt > 0, "a build needs at least one variant");

const Variant& choose() {
    for (std::size_t i = std::size(kBuilt); i-- > 0;) {
        if (variant_detail::runs_here(*kBuilt[i])) return *kBuilt[i];
    }
    return kUnsupported;
}

// Set once from CPUID; only the tests and the benchmark store into it
// afterwards.
std::atomic<const Variant*>& active_slot() {
    static std::atomic<const Variant*> slot{&variant_detail::chosen()};
    return slot;
}

const Variant& active() { return *active_slot().load(std::memory_order_relaxed); }

}  // namespace

namespace variant_detail {

std::span<const Variant* const> built() { return kBuilt; }

bool runs_here(const Variant& v) {
    const cpu::Features& f = cpu::features();
    return &v != &kUnsupported && (!v.needs_bmi2_adx || (f.bmi2 && f.adx));
}

const Variant& chosen() {
    static const Variant& v = choose();
    return v;
}

void force(const Variant& v) { active_slot().store(&v, std::memory_order_relaxed); }

}  // namespace variant_detail

const Tables& tables() {
    struct Built {
        Tables t;
        Built() { active().build_tables(t); }
    };
    static const Built built;
    return built.t;
}

void init_tables() { (void)tables(); }

const char* implementation() {
    static constexpr const char* kNames[3][2] = {{"generic+generic", "generic+sha-ni"},
                                                 {"bmi2-adx+generic", "bmi2-adx+sha-ni"},
                                                 {"unsupported+generic", "unsupported+sha-ni"}};
    const Variant& v = active();
    const int arith_index = &v == &kUnsupported ? 2 : v.needs_bmi2_adx ? 1 : 0;
    return kNames[arith_index][std::strcmp(sha256_implementation(), "sha-ni") == 0];
}

bool cpu_supported() { return &variant_detail::chosen() != &kUnsupported; }

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

int compare(const U256& a, const U256& b) { return arith::u256_cmp(a, b); }

bool is_zero(const U256& a) { return arith::u256_is_zero(a); }

std::uint64_t sub(const U256& a, const U256& b, U256& out) { return arith::u256_sub(a, b, out); }

U256 reduce_mod_n_ct(const U256& a) {
    U256 d, r;
    const std::uint64_t below_n = arith::u256_sub(a, arith::params::n, d);
    arith::select4(r.limb, a.limb, d.limb, arith::mask_bit(below_n));
    return r;
}

bool key_in_range_ct(const U256& d) {
    U256 difference;
    const std::uint64_t below_n = arith::u256_sub(d, arith::params::n, difference);
    std::uint64_t in_range =
        arith::mask_bit(below_n) & arith::mask_nonzero(d.limb[0] | d.limb[1] | d.limb[2] | d.limb[3]) & 1;
    wipe(&difference, sizeof difference);
    P256_DECLASSIFY(&in_range, sizeof in_range);
    return in_range != 0;
}

bool on_curve(const U256& x, const U256& y) { return active().on_curve(x, y); }

bool mul_vartime(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry) {
    return active().mul_vartime(k, x, y, rx, ry);
}

bool ecdsa_verify(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy) {
    return active().ecdsa_verify(e, r, s, qx, qy);
}

bool mul_base_ct(const U256& k, U256& rx, U256& ry) { return active().mul_base_ct(k, rx, ry); }

SignStatus ecdsa_sign_ct(const U256& k, const U256& d, const U256& e, U256& r, U256& s) {
    return active().ecdsa_sign_ct(k, d, e, r, s);
}

}  // namespace p256
