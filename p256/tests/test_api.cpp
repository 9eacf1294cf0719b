// The public entry points on edge cases: scalars at and around 0 and n,
// points at +-G, sums that reach infinity inside and at the end of the
// multi-scalar multiplication, signing with extreme inputs.
#include "../ecmult.h"
#include "reference.h"

#include <vector>

using namespace p256;
using namespace p256::P256_VARIANT;
using testing::eq;
using testing::h;

namespace {

const U256 kZero{{0, 0, 0, 0}};
const U256 kOne{{1, 0, 0, 0}};

ref::Point base(const U256& k) {
    ref::Point r;
    r.inf = !mul_base_ct(k, r.x, r.y);
    return r;
}

ref::Point vartime(const U256& k, const ref::Point& a) {
    ref::Point r;
    r.inf = !mul_vartime(k, a.x, a.y, r.x, r.y);
    return r;
}

U256 add_n(const U256& a, const U256& b) { return ref::add_mod(a, b, ref::N()); }
U256 mul_n(const U256& a, const U256& b) { return ref::mul_mod(a, b, ref::N()); }
U256 neg_n(const U256& a) { return ref::sub_mod(kZero, a, ref::N()); }
// The low one of s and n - s.
U256 low_s(const U256& s) { return compare(s, kHalfN) > 0 ? neg_n(s) : s; }

Ge to_ge_neg_g() {
    Ge g = ge_generator();
    ge_neg(g, g);
    return g;
}

void test_scalar_mult_edges() {
    testing::Rng rng;
    const U256 n = ref::N();
    U256 n_minus_1, n_plus_1, all_ones, all_ones_mod_n;
    ref::sub_raw(n, kOne, n_minus_1);
    ref::add_raw(n, kOne, n_plus_1);
    all_ones = h("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
    ref::sub_raw(all_ones, n, all_ones_mod_n);

    const ref::Point g = ref::G();
    const ref::Point q = base(rng.nonzero_below(n));
    for (const ref::Point& a : {g, q}) {
        CHECK(vartime(kZero, a).inf);
        CHECK(vartime(n, a).inf);
        CHECK(ref::same(vartime(kOne, a), a));
        CHECK(ref::same(vartime(n_plus_1, a), a));
        CHECK(ref::same(vartime(n_minus_1, a), ref::neg(a)));
        CHECK(ref::same(vartime(U256{{2, 0, 0, 0}}, a), ref::add(a, a)));
        CHECK(ref::same(vartime(all_ones, a), vartime(all_ones_mod_n, a)));
    }
    // Fixed-base against the reference for small k and at the top.
    ref::Point expect = ref::infinity();
    bool small = true;
    for (std::uint64_t k = 1; k <= 20; ++k) {
        expect = ref::add(expect, g);
        small &= ref::same(base(U256{{k, 0, 0, 0}}), expect);
        small &= ref::same(vartime(U256{{k, 0, 0, 0}}, g), expect);
    }
    CHECK_MSG(small, "k G for k = 1..20");
    CHECK(ref::same(base(n_minus_1), ref::neg(g)));
    CHECK(ref::same(base(all_ones_mod_n), vartime(all_ones, g)));
    // Any 256-bit k, reduced inside; 0 and n give infinity.
    for (const U256& k : {kZero, kOne, n, n_plus_1, n_minus_1, all_ones, all_ones_mod_n, rng.u256()}) {
        CHECK(eq(reduce_mod_n_ct(k), ref::reduce(k, n)));
        CHECK(key_in_range_ct(k) == (!is_zero(k) && compare(k, n) < 0));
        CHECK(ref::same(base(k), vartime(k, g)));
    }
    // Scalars at the limits of the fixed-base method's argument: k = d 2^253
    // mod n (the only candidates for a doubling in the last window), single
    // nonzero digits (the accumulator stays empty up to there), 2^256 - n.
    bool special = true;
    U256 delta;
    ref::sub_raw(U256{{0, 0, 0, 0}}, n, delta);  // 2^256 - n
    std::vector<U256> ks = {delta, ref::add_mod(delta, delta, n)};
    for (std::uint64_t d = 1; d <= 16; ++d) {
        U256 k{{d, 0, 0, 0}};
        for (int s = 0; s < 253; ++s) k = ref::add_mod(k, k, n);
        ks.push_back(k);
    }
    for (int j = 0; j < 37; ++j) {
        for (std::uint64_t d : {1ull, 63ull, 64ull, 65ull, 127ull}) {
            U256 k{{d, 0, 0, 0}};
            for (int s = 0; s < 7 * j; ++s) k = ref::add_mod(k, k, n);
            ks.push_back(k);
            ks.push_back(neg_n(k));
        }
    }
    for (const U256& k : ks) {
        if (is_zero(k)) continue;
        special &= ref::same(base(k), vartime(k, g));
    }
    CHECK_MSG(special, "fixed-base multiplication at special scalars");

    // The two multiplication algorithms agree, and (a b) G = a (b G).
    for (int i = 0; i < 24; ++i) {
        U256 k = rng.nonzero_below(n);
        if (i == 0) k = h("8000000000000000000000000000000000000000000000000000000000000000");
        if (i == 1) k = h("0810204081020408102040810204081020408102040810204081020408102040");
        if (i == 2) k = h("fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0f");
        if (i == 3) k = h("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550");
        const U256 b = rng.nonzero_below(n);
        CHECK(ref::same(base(k), vartime(k, g)));
        CHECK(ref::same(vartime(k, base(b)), base(mul_n(k, b))));
    }
}

void test_verify_edges() {
    testing::Rng rng;
    const U256 n = ref::N();
    U256 n_minus_1;
    ref::sub_raw(n, kOne, n_minus_1);

    // Ordinary signatures verify; any change to e, r, s or Q fails.
    for (int i = 0; i < 16; ++i) {
        const U256 d = rng.nonzero_below(n), k = rng.nonzero_below(n), e = rng.u256();
        const ref::Point q = base(d);
        U256 r, s;
        CHECK(ecdsa_sign_ct(k, d, e, r, s) == SignStatus::ok);
        CHECK(ecdsa_verify(e, r, s, q.x, q.y));
        U256 e2 = e, r2 = r, s2 = s;
        e2.limb[i % 4] ^= 1ull << (i * 7 % 64);
        r2 = add_n(r, kOne);
        s2 = add_n(s, kOne);
        CHECK(!ecdsa_verify(e2, r, s, q.x, q.y));
        CHECK(!ecdsa_verify(e, r2, s, q.x, q.y));
        CHECK(!ecdsa_verify(e, r, s2, q.x, q.y));
        const ref::Point other = base(add_n(d, kOne));
        CHECK(!ecdsa_verify(e, r, s, other.x, other.y));
        // e is used modulo n: e + n (when it fits) verifies too.
        U256 en;
        if (ref::add_raw(ref::reduce(e, n), n, en) == 0) CHECK(ecdsa_verify(en, r, s, q.x, q.y));
    }

    // Out-of-range r, s and an off-curve key never verify.
    {
        const U256 d = rng.nonzero_below(n), k = rng.nonzero_below(n), e = rng.u256();
        const ref::Point q = base(d);
        U256 r, s;
        ecdsa_sign_ct(k, d, e, r, s);
        U256 r_plus_n;
        const bool fits = ref::add_raw(r, n, r_plus_n) == 0;
        CHECK(!ecdsa_verify(e, kZero, s, q.x, q.y));
        CHECK(!ecdsa_verify(e, r, kZero, q.x, q.y));
        CHECK(!ecdsa_verify(e, n, s, q.x, q.y));
        CHECK(!ecdsa_verify(e, r, n, q.x, q.y));
        if (fits) CHECK(!ecdsa_verify(e, r_plus_n, s, q.x, q.y));
        U256 bad_y = q.y;
        bad_y.limb[1] ^= 4;
        CHECK(!ecdsa_verify(e, r, s, q.x, bad_y));
    }

    // Q = G and Q = -G with u1 = u2 (e = r): both tables hold the same
    // points, so Straus adds a point to itself or to its negative.
    for (int i = 0; i < 6; ++i) {
        const U256 k = rng.nonzero_below(n);
        const ref::Point g = ref::G(), ng = ref::neg(g);
        U256 r, s;
        // d = 1 (Q = G), e = r: u1 G + u2 G = 2 u G with u = r / s.
        ecdsa_sign_ct(k, kOne, kZero, r, s);  // r for this k
        U256 r2, s2;
        CHECK(ecdsa_sign_ct(k, kOne, r, r2, s2) == SignStatus::ok);
        CHECK(ecdsa_verify(r, r2, s2, g.x, g.y));
        // Q = -G, e = r: u1 G - u2 G = infinity whatever s is.
        CHECK(!ecdsa_verify(r, r, rng.nonzero_below(n), ng.x, ng.y));
        Sc u;
        sc_from_u256(u, rng.nonzero_below(n));
        Gej sum;
        ecmult(sum, u, to_ge_neg_g(), u);
        CHECK(sum.infinity);
    }

    // u1 G + u2 Q = infinity for a general key: e = -r d (mod n).
    for (int i = 0; i < 6; ++i) {
        const U256 d = rng.nonzero_below(n), r = rng.nonzero_below(n), s = rng.nonzero_below(n);
        const ref::Point q = base(d);
        const U256 e = neg_n(mul_n(r, d));
        CHECK(!ecdsa_verify(e, r, s, q.x, q.y));
        Sc es, rs, ss, w, u1, u2;
        sc_from_u256(es, e);
        sc_from_u256(rs, r);
        sc_from_u256(ss, s);
        sc_inv(w, ss);
        sc_mul(u1, es, w);
        sc_mul(u2, rs, w);
        Ge qg;
        fe_from_u256(qg.x, q.x);
        fe_from_u256(qg.y, q.y);
        qg.infinity = false;
        Gej sum;
        ecmult(sum, u1, qg, u2);
        CHECK(sum.infinity);
    }
}

void test_sign_edges() {
    testing::Rng rng;
    const U256 n = ref::N();
    // k = 1: r = Gx (< n), s = e + r d.
    const U256 d = rng.nonzero_below(n), e = rng.u256();
    U256 r, s;
    CHECK(ecdsa_sign_ct(kOne, d, e, r, s) == SignStatus::ok);
    CHECK(eq(r, ref::Gx()));
    CHECK(eq(s, low_s(add_n(ref::reduce(e, n), mul_n(r, d)))));
    // s = 0 is reported: e = -r d.
    U256 r0, s0;
    CHECK(ecdsa_sign_ct(kOne, d, neg_n(mul_n(ref::Gx(), d)), r0, s0) == SignStatus::s_zero);
    CHECK(is_zero(s0));
    // e >= n is reduced first: e and e mod n sign alike; e = n acts as 0.
    const U256 k = rng.nonzero_below(n);
    U256 ra, sa, rb, sb;
    const U256 big = h("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
    ecdsa_sign_ct(k, d, big, ra, sa);
    ecdsa_sign_ct(k, d, ref::reduce(big, n), rb, sb);
    CHECK(eq(ra, rb) && eq(sa, sb));
    ecdsa_sign_ct(k, d, n, ra, sa);
    ecdsa_sign_ct(k, d, kZero, rb, sb);
    CHECK(eq(ra, rb) && eq(sa, sb));
    // s against the reference formula, at both ends of the key range.
    U256 n_minus_1;
    ref::sub_raw(n, kOne, n_minus_1);
    for (const U256& dk : {kOne, n_minus_1, rng.nonzero_below(n)}) {
        const U256 kk = rng.nonzero_below(n), ee = rng.u256();
        CHECK(ecdsa_sign_ct(kk, dk, ee, r, s) == SignStatus::ok);
        CHECK(eq(r, ref::reduce(base(kk).x, n)));
        const U256 want = mul_n(ref::inv_mod(kk, n), add_n(ref::reduce(ee, n), mul_n(r, dk)));
        CHECK(eq(s, low_s(want)));
    }
    // Low-s at its boundary: s = n // 2 stays, s = n // 2 + 1 turns into
    // n // 2. With k = 1, s = e + r d, so e is chosen to give each.
    for (const U256& want : {kHalfN, add_n(kHalfN, kOne)}) {
        const U256 ee = add_n(want, neg_n(mul_n(ref::Gx(), d)));
        CHECK(ecdsa_sign_ct(kOne, d, ee, r, s) == SignStatus::ok);
        CHECK(eq(s, kHalfN));
    }
}

}  // namespace

// Compiled once per variant of the arithmetic (see CMakeLists.txt).
namespace p256::P256_VARIANT {

void run_api_tests() {
    test_scalar_mult_edges();
    test_verify_edges();
    test_sign_edges();
}

}  // namespace p256::P256_VARIANT
