// The group law (variable-time and branch-free Jacobian formulas) and the
// precomputed tables, against the reference affine law.
#include "../ecmult.h"
#include "../ecmult_gen.h"
#include "reference.h"

#include <cstring>
#include <memory>

using namespace p256;
using namespace p256::P256_VARIANT;
using testing::eq;

namespace {

Fe fe(const U256& a) {
    Fe r;
    fe_from_u256(r, a);
    return r;
}

Ge to_ge(const ref::Point& a) {
    Ge r;
    r.x = fe(a.x);
    r.y = fe(a.y);
    r.infinity = a.inf;
    return r;
}

ref::Point from_ge(const Ge& a) {
    if (a.infinity) return ref::infinity();
    return ref::Point{fe_to_u256(a.x), fe_to_u256(a.y), false};
}

ref::Point from_gej(const Gej& a) {
    Ge g;
    ge_set_gej_var(g, a);
    return from_ge(g);
}

// The same point with Z = lambda: (x lambda^2, y lambda^3, lambda).
Gej jacobian(const ref::Point& a, const U256& lambda) {
    Gej r;
    if (a.inf) {
        gej_set_infinity(r);
        return r;
    }
    const Fe l = fe(lambda);
    Fe l2, l3;
    fe_sqr(l2, l);
    fe_mul(l3, l2, l);
    fe_mul(r.x, fe(a.x), l2);
    fe_mul(r.y, fe(a.y), l3);
    r.z = l;
    r.infinity = false;
    return r;
}

ref::Point random_point(testing::Rng& rng) {
    ref::Point a;
    mul_base_ct(rng.nonzero_below(ref::N()), a.x, a.y);
    a.inf = false;
    return a;
}

void test_add_double() {
    testing::Rng rng;
    const U256 p = ref::P();
    const ref::Point inf = ref::infinity();
    for (int i = 0; i < 12; ++i) {
        const ref::Point a = random_point(rng);
        const ref::Point b = random_point(rng);
        CHECK(ref::on_curve(a) && ref::on_curve(b));
        const U256 la = rng.nonzero_below(p), lb = rng.nonzero_below(p);
        const Gej ja = jacobian(a, la), jb = jacobian(b, lb);
        const ref::Point sum = ref::add(a, b), twice = ref::add(a, a);
        Gej r;

        gej_double_var(r, ja);
        CHECK(ref::same(from_gej(r), twice));
        // Mixed addition: generic, equal (doubles), opposite (infinity), infinity inputs.
        gej_add_ge_var(r, ja, to_ge(b));
        CHECK(ref::same(from_gej(r), sum));
        gej_add_ge_var(r, ja, to_ge(a));
        CHECK(ref::same(from_gej(r), twice));
        gej_add_ge_var(r, ja, to_ge(ref::neg(a)));
        CHECK(r.infinity);
        gej_add_ge_var(r, jacobian(inf, la), to_ge(b));
        CHECK(ref::same(from_gej(r), b));
        gej_add_ge_var(r, ja, to_ge(inf));
        CHECK(ref::same(from_gej(r), a));
        // General addition, both sides with Z != 1.
        gej_add_var(r, ja, jb);
        CHECK(ref::same(from_gej(r), sum));
        gej_add_var(r, ja, jacobian(a, lb));
        CHECK(ref::same(from_gej(r), twice));
        gej_add_var(r, ja, jacobian(ref::neg(a), lb));
        CHECK(r.infinity);
        gej_add_var(r, jacobian(inf, la), jb);
        CHECK(ref::same(from_gej(r), b));
        gej_add_var(r, ja, jacobian(inf, lb));
        CHECK(ref::same(from_gej(r), a));

        // The branch-free mixed addition for distinct, finite points.
        const GeStorage sb{fe(b.x), fe(b.y)};
        gej_add_ge_distinct(r, ja, sb);
        CHECK(ref::same(from_gej(r), sum));
    }
    Gej r;
    gej_set_infinity(r);
    gej_double_var(r, r);
    CHECK(r.infinity);
}

void test_batch_affine() {
    testing::Rng rng;
    const U256 p = ref::P();
    constexpr int kCount = 7;
    ref::Point pts[kCount];
    Gej jac[kCount];
    for (int i = 0; i < kCount; ++i) {
        // Infinity at the ends and in the middle.
        pts[i] = (i == 0 || i == 3 || i == 4 || i == kCount - 1) ? ref::infinity() : random_point(rng);
        jac[i] = jacobian(pts[i], rng.nonzero_below(p));
    }
    Ge out[kCount];
    ge_set_all_gej_var(out, jac, kCount);
    bool all = true;
    for (int i = 0; i < kCount; ++i) all &= ref::same(from_ge(out[i]), pts[i]);
    CHECK(all);
}

void test_tables() {
    // Every variant builds the same bytes, so the one shared copy serves all.
    const auto own = std::make_unique<Tables>();
    build_tables(*own);
    CHECK_MSG(std::memcmp(own.get(), &tables(), sizeof(Tables)) == 0, "this variant's tables = the shared ones");

    // Verification table: odd multiples of G, each one 2G past the last.
    const GeStorage* tg = tables().g_odd;
    const ref::Point g2 = ref::add(ref::G(), ref::G());
    ref::Point expect = ref::G();
    bool all = true;
    for (int i = 0; i < kTableSizeG; ++i) {
        Ge e;
        ge_from_storage(e, tg[i]);
        all &= ref::same(from_ge(e), expect);
        expect = ref::add(expect, g2);
    }
    CHECK_MSG(all, "odd multiples of G");

    // Signing table: every entry on the curve; sampled entries equal
    // (i + 1) 2^(w j) G computed by the wNAF multiplication.
    const GeStorage(*tt)[kGenEntries] = tables().gen;
    bool on = true;
    for (int j = 0; j < kGenWindows; ++j) {
        for (int i = 0; i < kGenEntries; ++i) {
            Ge e;
            ge_from_storage(e, tt[j][i]);
            on &= ge_on_curve_var(e);
        }
    }
    CHECK_MSG(on, "signing table on the curve");
    testing::Rng rng;
    const U256 n = ref::N();
    for (int t = 0; t < 40; ++t) {
        const int j = t < 2 ? t * (kGenWindows - 1) : static_cast<int>(rng.next() % kGenWindows);
        const int i = t < 2 ? kGenEntries - 1 : static_cast<int>(rng.next() % kGenEntries);
        U256 k{{static_cast<std::uint64_t>(i + 1), 0, 0, 0}};
        for (int s = 0; s < kGenWindow * j; ++s) k = ref::add_mod(k, k, n);
        ref::Point want;
        want.inf = !mul_vartime(k, ref::Gx(), ref::Gy(), want.x, want.y);
        Ge e;
        ge_from_storage(e, tt[j][i]);
        CHECK(ref::same(from_ge(e), want));
    }
}

void test_on_curve() {
    CHECK(on_curve(kGx, kGy));
    U256 y = kGy;
    y.limb[0] ^= 1;
    CHECK(!on_curve(kGx, y));
    CHECK(!on_curve(ref::P(), kGy));  // x out of range
    CHECK(!on_curve(kGx, ref::P()));  // y out of range
    CHECK(!on_curve(U256{{0, 0, 0, 0}}, U256{{0, 0, 0, 0}}));
}

}  // namespace

// Compiled once per variant of the arithmetic (see CMakeLists.txt).
namespace p256::P256_VARIANT {

void run_group_tests() {
    test_add_double();
    test_batch_affine();
    test_tables();
    test_on_curve();
}

}  // namespace p256::P256_VARIANT
