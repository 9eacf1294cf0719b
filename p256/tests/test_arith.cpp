// Field and scalar arithmetic against the slow reference; digit recodings.
#include "../ecmult.h"
#include "../ecmult_gen.h"
#include "../modinv.h"
#include "reference.h"

#include <vector>

using namespace p256;
using namespace p256::P256_VARIANT;
using testing::eq;
using testing::h;

namespace {

// Values where carries, borrows and final subtractions change behaviour.
std::vector<U256> edge_values(const U256& m) {
    std::vector<U256> v;
    U256 t;
    v.push_back(U256{{0, 0, 0, 0}});
    v.push_back(U256{{1, 0, 0, 0}});
    v.push_back(U256{{2, 0, 0, 0}});
    for (std::uint64_t k = 1; k <= 3; ++k) {
        ref::sub_raw(m, U256{{k, 0, 0, 0}}, t);
        v.push_back(t);  // m - k
    }
    ref::sub_raw(m, U256{{1, 0, 0, 0}}, t);
    t.limb[0] >>= 1;
    t.limb[0] |= t.limb[1] << 63;
    t.limb[1] = (t.limb[1] >> 1) | (t.limb[2] << 63);
    t.limb[2] = (t.limb[2] >> 1) | (t.limb[3] << 63);
    t.limb[3] >>= 1;
    v.push_back(t);                                           // (m - 1) / 2
    v.push_back(U256{{0, 0, 0, 1ull << 63}});                 // 2^255
    v.push_back(U256{{0, 0, 0, 0x100000000ull}});             // 2^224
    v.push_back(U256{{0, 0, 0, 1}});                          // 2^192
    v.push_back(U256{{0, 0x100000000ull, 0, 0}});             // 2^96
    v.push_back(U256{{~0ull, ~0ull, ~0ull, 0}});              // 2^192 - 1
    v.push_back(U256{{~0ull, 0xFFFFFFFFull, 0, 0}});          // 2^96 - 1
    v.push_back(U256{{0, ~0ull, 0, 0xFFFFFFFF00000000ull}});  // mixed limbs
    return v;
}

U256 fe_roundtrip_mul(const U256& a, const U256& b) {
    Fe x, y, z;
    fe_from_u256(x, a);
    fe_from_u256(y, b);
    fe_mul(z, x, y);
    return fe_to_u256(z);
}

void check_field_pair(const U256& a, const U256& b) {
    const U256 p = ref::P();
    Fe x, y, z;
    fe_from_u256(x, a);
    fe_from_u256(y, b);
    CHECK(eq(fe_to_u256(x), a));
    fe_mul(z, x, y);
    CHECK(eq(fe_to_u256(z), ref::mul_mod(a, b, p)));
    fe_sqr(z, x);
    CHECK(eq(fe_to_u256(z), ref::mul_mod(a, a, p)));
    fe_add(z, x, y);
    CHECK(eq(fe_to_u256(z), ref::add_mod(a, b, p)));
    fe_sub(z, x, y);
    CHECK(eq(fe_to_u256(z), ref::sub_mod(a, b, p)));
    fe_neg(z, x);
    CHECK(eq(fe_to_u256(z), ref::sub_mod(U256{{0, 0, 0, 0}}, a, p)));
    // Aliased output.
    z = x;
    fe_mul(z, z, y);
    CHECK(eq(fe_to_u256(z), ref::mul_mod(a, b, p)));
}

// The Montgomery product on raw limbs: fe_mul(X, Y) = X Y 2^-256 mod p for
// any X, Y < p. The edge values reach the multiplication itself here, not
// only after a conversion that scatters them.
void test_montgomery_limbs(const std::vector<U256>& edges, testing::Rng& rng) {
    const U256 p = ref::P();
    const U256 r_inv = ref::inv_mod(U256{{kFeOne.v[0], kFeOne.v[1], kFeOne.v[2], kFeOne.v[3]}}, p);
    const auto raw = [](const U256& a) { return Fe{{a.limb[0], a.limb[1], a.limb[2], a.limb[3]}}; };
    const auto limbs = [](const Fe& a) { return U256{{a.v[0], a.v[1], a.v[2], a.v[3]}}; };
    std::vector<U256> values = edges;
    for (int i = 0; i < 300; ++i) {
        U256 a = rng.below(p);
        if (i % 2) a.limb[3] |= 0xFFFFFFFF00000000ull;  // top limb at p's
        values.push_back(ref::reduce(a, p));
    }
    int bad = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const U256& a = values[i];
        const U256& b = values[(i * 7 + 3) % values.size()];
        for (const U256& c : {b, edges[i % edges.size()]}) {
            Fe z;
            fe_mul(z, raw(a), raw(c));
            bad += !eq(limbs(z), ref::mul_mod(ref::mul_mod(a, c, p), r_inv, p));
        }
        Fe z;
        fe_sqr(z, raw(a));
        bad += !eq(limbs(z), ref::mul_mod(ref::mul_mod(a, a, p), r_inv, p));
    }
    CHECK_MSG(bad == 0, "Montgomery product on raw limbs == reference");
}

void check_scalar_pair(const U256& a, const U256& b) {
    const U256 n = ref::N();
    Sc x, y, z;
    sc_from_u256(x, a);
    sc_from_u256(y, b);
    CHECK(eq(sc_to_u256(x), ref::reduce(a, n)));
    sc_mul(z, x, y);
    CHECK(eq(sc_to_u256(z), ref::mul_mod(a, b, n)));
    sc_add(z, x, y);
    CHECK(eq(sc_to_u256(z), ref::add_mod(ref::reduce(a, n), ref::reduce(b, n), n)));
    sc_neg(z, x);
    CHECK(eq(sc_to_u256(z), ref::sub_mod(U256{{0, 0, 0, 0}}, ref::reduce(a, n), n)));
}

void test_field() {
    testing::Rng rng;
    const U256 p = ref::P();
    const std::vector<U256> edges = edge_values(p);
    for (const U256& a : edges) {
        for (const U256& b : edges) check_field_pair(a, b);
    }
    for (int i = 0; i < 400; ++i) check_field_pair(rng.below(p), rng.below(p));
    test_montgomery_limbs(edges, rng);
    // Large operands (top limb near p's) and their negatives.
    for (int i = 0; i < 200; ++i) {
        U256 a = rng.below(p);
        a.limb[3] |= 0xFFFFFFFF00000000ull;  // large values, top limb near p's
        a = ref::reduce(a, p);
        check_field_pair(a, ref::sub_mod(U256{{0, 0, 0, 0}}, a, p));
    }
    // Conversion reduces inputs at or above p.
    for (const U256& a : {p, h("ffffffff00000001000000000000000000000001000000000000000000000000"),
                          h("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff")}) {
        Fe x;
        fe_from_u256(x, a);
        CHECK(eq(fe_to_u256(x), ref::reduce(a, p)));
    }
    // Inversion: a * a^-1 == 1, 0 -> 0, checked against the reference too.
    for (int i = 0; i < 20; ++i) {
        const U256 a = i < 4 ? edges[i + 1] : rng.nonzero_below(p);
        Fe x, y;
        fe_from_u256(x, a);
        fe_inv(y, x);
        CHECK(eq(fe_to_u256(y), ref::inv_mod(a, p)));
        fe_inv_var(y, x);
        CHECK(eq(fe_to_u256(y), ref::inv_mod(a, p)));
    }
    Fe z, zi;
    fe_from_u256(z, U256{{0, 0, 0, 0}});
    fe_inv(zi, z);
    CHECK(fe_is_zero_var(zi));
    fe_inv_var(zi, z);
    CHECK(fe_is_zero_var(zi));
    // Constants.
    CHECK(eq(fe_roundtrip_mul(U256{{1, 0, 0, 0}}, U256{{1, 0, 0, 0}}), U256{{1, 0, 0, 0}}));
    CHECK(eq(fe_to_u256(kFeB), ref::B()));
    CHECK(eq(kP, p) && eq(kB, ref::B()) && eq(kGx, ref::Gx()) && eq(kGy, ref::Gy()));
}

void test_scalar() {
    testing::Rng rng;
    const U256 n = ref::N();
    const std::vector<U256> edges = edge_values(n);
    for (const U256& a : edges) {
        for (const U256& b : edges) check_scalar_pair(a, b);
    }
    for (int i = 0; i < 300; ++i) check_scalar_pair(rng.u256(), rng.u256());
    // Reduction of every input class: below n, n itself, above n, 2^256-1.
    for (const U256& a : {n, h("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632552"),
                          h("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff")}) {
        Sc x;
        sc_from_u256(x, a);
        CHECK(eq(sc_to_u256(x), ref::reduce(a, n)));
    }
    for (int i = 0; i < 12; ++i) {
        const U256 a = i < 4 ? edges[i + 1] : rng.nonzero_below(n);
        Sc x, y, one;
        sc_from_u256(x, a);
        sc_inv(y, x);
        CHECK(eq(sc_to_u256(y), ref::inv_mod(a, n)));
        sc_mul(one, x, y);
        CHECK(eq(sc_to_u256(one), U256{{1, 0, 0, 0}}));
        sc_inv_var(y, x);
        CHECK(eq(sc_to_u256(y), ref::inv_mod(a, n)));
    }
    // The variable-time inverse against the constant-time one on many
    // inputs, including values with long runs of zero or one bits.
    bool agree = true;
    for (int i = 0; i < 3000; ++i) {
        U256 a = rng.nonzero_below(n);
        if (i % 7 == 1) a.limb[i % 4] = 0;
        if (i % 7 == 2) a.limb[i % 4] = ~0ull;
        if (i % 7 == 3) a = U256{{static_cast<std::uint64_t>(i), 0, 0, 0}};
        if (i % 7 == 4) ref::sub_raw(n, U256{{static_cast<std::uint64_t>(i), 0, 0, 0}}, a);
        if (is_zero(a)) continue;
        Sc x, y1, y2;
        sc_from_u256(x, a);
        sc_inv(y1, x);
        sc_inv_var(y2, x);
        Fe fx, f1, f2;
        fe_from_u256(fx, a);
        fe_inv(f1, fx);
        fe_inv_var(f2, fx);
        agree &= eq(sc_to_u256(y1), sc_to_u256(y2)) && fe_equal_var(f1, f2);
    }
    CHECK_MSG(agree, "variable-time inverses equal the constant-time ones");
    Sc z, zi;
    sc_from_u256(z, U256{{0, 0, 0, 0}});
    sc_inv(zi, z);
    CHECK(sc_is_zero_var(zi));
    sc_inv_var(zi, z);
    CHECK(sc_is_zero_var(zi));
    U256 half;
    ref::sub_raw(n, U256{{1, 0, 0, 0}}, half);
    half = ref::mul_mod(half, ref::inv_mod(U256{{2, 0, 0, 0}}, n), n);  // (n-1)/2
    CHECK(eq(kHalfN, half) && eq(kN, n));
}

// Inputs that stress the divsteps: the edges, powers of two (long runs of
// halvings), values with long runs of zero or one bits, small values and
// values just below m (g close to f at the start).
std::vector<U256> inversion_inputs(const U256& m, testing::Rng& rng) {
    std::vector<U256> v = edge_values(m);
    for (int k = 0; k < 256; k += 5) {
        U256 a{{0, 0, 0, 0}};
        a.limb[k / 64] = 1ull << (k % 64);
        v.push_back(ref::reduce(a, m));
    }
    for (int i = 0; i < 64; ++i) {
        U256 a = rng.below(m);
        a.limb[i % 4] = (i & 4) ? ~0ull : 0;
        a.limb[(i + 1) % 4] = (i & 8) ? ~0ull : 0;
        v.push_back(ref::reduce(a, m));
        U256 b;
        ref::sub_raw(m, U256{{rng.next() & 0xFFFF, 0, 0, 0}}, b);  // m - small
        v.push_back(b);
        v.push_back(U256{{rng.next() >> (i % 64), 0, 0, 0}});       // small
    }
    for (int i = 0; i < 2000; ++i) v.push_back(rng.below(m));
    return v;
}

// The constant-time inverses (divsteps) against the exponentiation ones,
// the variable-time divsteps and, on a sample, the slow reference.
void test_inversion() {
    testing::Rng rng;
    const U256 p = ref::P(), n = ref::N();
    int fe_bad = 0, sc_bad = 0, direct_bad = 0, ref_bad = 0, count = 0;
    for (const U256& a : inversion_inputs(p, rng)) {
        Fe x, ct, pw;
        fe_from_u256(x, a);
        fe_inv(ct, x);
        fe_inv_pow(pw, x);
        fe_bad += !fe_equal_var(ct, pw);
        direct_bad += !eq(modinv_ct(a, p), modinv_var(a, p));
        if (count++ % 50 == 0) ref_bad += !eq(fe_to_u256(ct), is_zero(a) ? a : ref::inv_mod(a, p));
    }
    for (const U256& a : inversion_inputs(n, rng)) {
        Sc x, ct, pw;
        sc_from_u256(x, a);
        sc_inv(ct, x);
        sc_inv_pow(pw, x);
        sc_bad += !eq(sc_to_u256(ct), sc_to_u256(pw));
        direct_bad += !eq(modinv_ct(a, n), modinv_var(a, n));
        if (count++ % 50 == 0) ref_bad += !eq(sc_to_u256(ct), is_zero(a) ? a : ref::inv_mod(a, n));
    }
    CHECK_MSG(fe_bad == 0, "field: divsteps inverse == exponentiation inverse");
    CHECK_MSG(sc_bad == 0, "scalar: divsteps inverse == exponentiation inverse");
    CHECK_MSG(direct_bad == 0, "modinv_ct == modinv_var for p and n");
    CHECK_MSG(ref_bad == 0, "divsteps inverses == reference (sample)");
    // a a^-1 = 1 and (a^-1)^-1 = a on a few values, 0 -> 0.
    for (int i = 0; i < 8; ++i) {
        const U256 a = rng.nonzero_below(n);
        Sc x, y, z, one;
        sc_from_u256(x, a);
        sc_inv(y, x);
        sc_mul(one, x, y);
        CHECK(eq(sc_to_u256(one), U256{{1, 0, 0, 0}}));
        sc_inv(z, y);
        CHECK(eq(sc_to_u256(z), a));
        Fe fx, fy, fone;
        fe_from_u256(fx, a);
        fe_inv(fy, fx);
        fe_mul(fone, fx, fy);
        CHECK(fe_equal_var(fone, kFeOne));
    }
    CHECK(is_zero(modinv_ct(U256{{0, 0, 0, 0}}, p)) && is_zero(modinv_ct(U256{{0, 0, 0, 0}}, n)));
    Fe z, zi;
    fe_from_u256(z, U256{{0, 0, 0, 0}});
    fe_inv_pow(zi, z);
    CHECK(fe_is_zero_var(zi));
    Sc sz, szi;
    sc_from_u256(sz, U256{{0, 0, 0, 0}});
    sc_inv_pow(szi, sz);
    CHECK(sc_is_zero_var(szi));
}

__extension__ typedef __int128 i128;

// One batch of 30 branch-free divsteps against the textbook definition run
// on 128-bit integers (inputs below 2^90, so nothing overflows): the same
// delta, the same low 34 bits of f and g, and the matrix M with
// 2^30 (f', g') = M (f, g).
void test_divsteps_batch() {
    testing::Rng rng;
    int bad = 0;
    for (int i = 0; i < 4000; ++i) {
        const int high_bits = static_cast<int>(rng.next() % 65);  // 26..90-bit inputs
        const auto random_value = [&] {
            const i128 hi = high_bits == 0 ? 0 : static_cast<i128>(rng.next() >> (64 - high_bits));
            return (hi << 26) | static_cast<i128>(rng.next() & 0x3FFFFFF);
        };
        i128 f = random_value() | 1, g = random_value();
        if (i % 3 == 0) f = -f;
        if (i % 5 == 0) g = -g;
        if (i % 11 == 0) g = 0;
        if (i % 13 == 0) g = f;  // g - f = 0 after one swap
        const std::int64_t delta0 = i % 4 == 0 ? 1 : static_cast<std::int64_t>(rng.next() % 1501) - 750;
        std::uint64_t fw = static_cast<std::uint64_t>(f), gw = static_cast<std::uint64_t>(g);
        std::int64_t delta = delta0;
        i128 u = 1, v = 0, q = 0, r = 1;
        for (int s = 0; s < 30; ++s) {
            if (delta > 0 && (g & 1)) {
                const i128 nf = g, ng = (g - f) / 2, nu = 2 * q, nv = 2 * r, nq = q - u, nr = r - v;
                delta = 1 - delta;
                f = nf, g = ng, u = nu, v = nv, q = nq, r = nr;
            } else if (g & 1) {
                delta = 1 + delta;
                g = (g + f) / 2;
                q += u, r += v, u *= 2, v *= 2;
            } else {
                delta = 1 + delta;
                g /= 2;
                u *= 2, v *= 2;
            }
        }
        modinv_detail::Matrix m;
        const std::uint64_t eta = modinv_detail::divsteps_30_ct(0 - static_cast<std::uint64_t>(delta0), fw, gw, m);
        constexpr std::uint64_t kLow34 = (std::uint64_t{1} << 34) - 1;
        bad += eta != 0 - static_cast<std::uint64_t>(delta);
        bad += (fw & kLow34) != (static_cast<std::uint64_t>(f) & kLow34);
        bad += (gw & kLow34) != (static_cast<std::uint64_t>(g) & kLow34);
        bad += m.u != u || m.v != v || m.q != q || m.r != r;
    }
    CHECK_MSG(bad == 0, "30 branch-free divsteps == the textbook divstep");
}

// The final reduction over its whole input range: d = k m + r for every k
// with |d| < 14 m, negated or not.
void test_normalise() {
    testing::Rng rng;
    int bad = 0;
    for (const U256& m : {ref::P(), ref::N()}) {
        const modinv_detail::S62 ms = modinv_detail::to_s62(m);
        U256 m_minus_1;
        ref::sub_raw(m, U256{{1, 0, 0, 0}}, m_minus_1);
        for (int k = -14; k <= 13; ++k) {
            for (const U256& rem : {U256{{0, 0, 0, 0}}, U256{{1, 0, 0, 0}}, m_minus_1, rng.below(m)}) {
                if (k == -14 && is_zero(rem)) continue;  // -14 m is out of range
                modinv_detail::S62 d = modinv_detail::to_s62(rem);
                for (int j = 0; j < (k < 0 ? -k : k); ++j) modinv_detail::add_scaled(d, ms, k < 0 ? -1 : 1);
                const U256 neg = ref::sub_mod(U256{{0, 0, 0, 0}}, rem, m);
                bad += !eq(modinv_detail::normalise_ct(d, 0, ms), rem);
                bad += !eq(modinv_detail::normalise_ct(d, ~std::uint64_t{0}, ms), neg);
            }
        }
    }
    CHECK_MSG(bad == 0, "normalise_ct over (-14 m, 14 m)");
}

// fe_half: 2 (a / 2) = a for even and odd a, including p - 1 and 1.
void test_half() {
    testing::Rng rng;
    const U256 p = ref::P();
    std::vector<U256> vals = edge_values(p);
    for (int i = 0; i < 200; ++i) vals.push_back(rng.below(p));
    int bad = 0;
    for (const U256& a : vals) {
        Fe x, hx, back;
        fe_from_u256(x, a);
        fe_half(hx, x);
        fe_add(back, hx, hx);
        bad += !fe_equal_var(back, x);
        // The Montgomery form is halved too: the integer value is a / 2 mod p.
        bad += !eq(fe_to_u256(hx), ref::mul_mod(a, ref::inv_mod(U256{{2, 0, 0, 0}}, p), p));
    }
    CHECK_MSG(bad == 0, "fe_half(a) + fe_half(a) == a");
}

// sum d_i 2^(shift i) mod n, from the top digit down: the value a
// scalar multiplication by these digits computes.
U256 horner(const int* d, int len, int shift) {
    const U256 n = ref::N();
    U256 acc{{0, 0, 0, 0}};
    for (int i = len - 1; i >= 0; --i) {
        for (int s = 0; s < shift; ++s) acc = ref::add_mod(acc, acc, n);
        if (d[i] > 0) acc = ref::add_mod(acc, U256{{static_cast<std::uint64_t>(d[i]), 0, 0, 0}}, n);
        if (d[i] < 0) acc = ref::sub_mod(acc, U256{{static_cast<std::uint64_t>(-d[i]), 0, 0, 0}}, n);
    }
    return acc;
}

void check_wnaf(const U256& k, int w) {
    Sc s;
    sc_from_u256(s, k);
    int d[257];
    const int len = wnaf(d, s, w);
    CHECK(len >= 0 && len <= 257);
    CHECK(eq(horner(d, 257, 1), sc_to_u256(s)));
    int last = -1000;
    bool shape = true;
    for (int i = 0; i < 257; ++i) {
        if (d[i] == 0) continue;
        shape &= (d[i] & 1) != 0;                       // odd
        shape &= d[i] < (1 << (w - 1)) && -d[i] < (1 << (w - 1));
        shape &= i - last >= w;                         // sparse
        shape &= i < len;
        last = i;
    }
    CHECK(shape);
    CHECK(len == 0 ? sc_is_zero_var(s) : d[len - 1] != 0);
}

void check_booth(const U256& k) {
    Sc s;
    sc_from_u256(s, k);
    int d[kGenWindows];
    bool range = true;
    for (int j = 0; j < kGenWindows; ++j) {
        std::uint32_t neg;
        const std::uint32_t mag = gen_digit(s, j, neg);
        range &= mag <= (1u << (kGenWindow - 1)) && neg <= 1;
        d[j] = neg ? -static_cast<int>(mag) : static_cast<int>(mag);
    }
    CHECK(range);
    CHECK(d[kGenWindows - 1] >= 0);
    CHECK(eq(horner(d, kGenWindows, kGenWindow), sc_to_u256(s)));
}

void test_recoding() {
    testing::Rng rng;
    const U256 n = ref::N();
    std::vector<U256> ks = edge_values(n);
    ks.push_back(h("5555555555555555555555555555555555555555555555555555555555555555"));
    ks.push_back(h("8000000000000000000000000000000000000000000000000000000000000001"));
    ks.push_back(h("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));
    // Every window digit +-64 or 0: bit patterns at the window boundaries.
    ks.push_back(h("0810204081020408102040810204081020408102040810204081020408102040"));
    ks.push_back(h("0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0fc0"));
    for (int i = 0; i < 200; ++i) ks.push_back(rng.u256());
    for (const U256& k : ks) {
        check_wnaf(k, kWindowG);
        check_wnaf(k, kWindowA);
        check_wnaf(k, 2);
        check_booth(k);
    }
}

}  // namespace

// Compiled once per variant of the arithmetic (see CMakeLists.txt).
namespace p256::P256_VARIANT {

void run_arith_tests() {
    test_field();
    test_scalar();
    test_inversion();
    test_divsteps_batch();
    test_normalise();
    test_half();
    test_recoding();
}

}  // namespace p256::P256_VARIANT
