// Straus/Shamir multi-scalar multiplication with wNAF digits.
#include "ecmult.h"

namespace p256::P256_VARIANT {

namespace {

// Odd multiples 1a, 3a, ..., (2n - 1)a in affine form: repeated addition
// of 2a, then one batched inversion.
template <int N>
void odd_multiples(Ge (&out)[N], const Ge& a) {
    Gej jac[N];
    Gej twice;
    gej_set_ge(jac[0], a);
    gej_double_var(twice, jac[0]);
    for (int i = 1; i < N; ++i) gej_add_var(jac[i], jac[i - 1], twice);
    ge_set_all_gej_var(out, jac, N);
}

// Adds digit * (the point whose odd multiples are in the table) to r.
inline void add_digit(Gej& r, const Ge* table, int digit) {
    if (digit > 0) {
        gej_add_ge_var(r, r, table[(digit - 1) >> 1]);
    } else {
        Ge neg;
        ge_neg(neg, table[(-digit - 1) >> 1]);
        gej_add_ge_var(r, r, neg);
    }
}

inline void add_digit(Gej& r, const GeStorage* table, int digit) {
    Ge p;
    ge_from_storage(p, table[((digit < 0 ? -digit : digit) - 1) >> 1]);
    if (digit < 0) fe_neg(p.y, p.y);
    gej_add_ge_var(r, r, p);
}

}  // namespace

void build_table_g(GeStorage (&out)[kTableSizeG]) {
    Ge aff[kTableSizeG];
    odd_multiples(aff, ge_generator());
    for (int i = 0; i < kTableSizeG; ++i) out[i] = GeStorage{aff[i].x, aff[i].y};
}

int wnaf(int d[257], const Sc& a, int w) {
    for (int i = 0; i < 257; ++i) d[i] = 0;
    // Walk up the bits; `carry` is 1 when the digits so far overshoot the
    // low bits of a by one unit at the current position. A window of w bits
    // plus the carry gives an odd value; values of 2^(w-1) and above become
    // negative digits and push a carry upwards. A carry out of a window
    // implies its top bit was set, so the last digit lands at position 256
    // at most.
    int carry = 0;
    int len = 0;
    int bit = 0;
    while (bit < 257) {
        if (static_cast<int>(sc_get_bits(a, bit, 1)) == carry) {
            ++bit;
            continue;
        }
        int word = static_cast<int>(sc_get_bits(a, bit, w)) + carry;
        carry = (word >> (w - 1)) & 1;
        word -= carry << w;
        d[bit] = word;
        len = bit + 1;
        bit += w;
    }
    return len;
}

void ecmult(Gej& r, const Sc& u1, const Ge& q, const Sc& u2) {
    const GeStorage* tg = tables().g_odd;
    Ge tq[kTableSizeA];
    odd_multiples(tq, q);

    int d1[257], d2[257];
    const int n1 = wnaf(d1, u1, kWindowG);
    const int n2 = wnaf(d2, u2, kWindowA);
    const int n = n1 > n2 ? n1 : n2;

    gej_set_infinity(r);
    for (int i = n - 1; i >= 0; --i) {
        gej_double_var(r, r);
        if (d1[i] != 0) add_digit(r, tg, d1[i]);
        if (d2[i] != 0) add_digit(r, tq, d2[i]);
    }
}

void ecmult_point(Gej& r, const Ge& a, const Sc& k) {
    Ge ta[kTableSizeA];
    odd_multiples(ta, a);
    int d[257];
    const int n = wnaf(d, k, kWindowA);
    gej_set_infinity(r);
    for (int i = n - 1; i >= 0; --i) {
        gej_double_var(r, r);
        if (d[i] != 0) add_digit(r, ta, d[i]);
    }
}

}  // namespace p256::P256_VARIANT
