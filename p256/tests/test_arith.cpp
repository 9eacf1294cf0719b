// Field and scalar arithmetic against the slow reference; digit recodings.
#include "../ecmult.h"
#include "../ecmult_gen.h"
#include "reference.h"

#include <vector>

using namespace p256;
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

void run_arith_tests() {
    test_field();
    test_scalar();
    test_recoding();
}
