// Constant-time fixed-base multiplication by signed fixed windows.
#include "ecmult_gen.h"

#include <cstring>

namespace p256::P256_VARIANT {

namespace {

// r = the entry with index idx - 1 of row, or all zeros when idx = 0;
// every entry is read. With GCC or Clang the eight limbs are handled as
// four 128-bit vectors (plain SSE2 on x86-64), which halves the work of
// the scan, and the mask of each entry comes from comparing a counter with
// idx in all four 32-bit lanes (both are below 2^32, so equal lanes make
// the whole vector all ones); elsewhere limb by limb.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(P256_PORTABLE)
typedef std::uint64_t V2 __attribute__((vector_size(16)));
typedef std::uint32_t V4 __attribute__((vector_size(16)));

inline void lookup(GeStorage& r, const GeStorage* row, std::uint32_t idx) {
    static_assert(sizeof(GeStorage) == 4 * sizeof(V2));
    V2 a0 = {0, 0}, a1 = {0, 0}, a2 = {0, 0}, a3 = {0, 0};
    const V4 want = {idx, idx, idx, idx};
    const V4 one = {1, 1, 1, 1};
    V4 count = {0, 0, 0, 0};
    for (int i = 0; i < kGenEntries; ++i) {
        count += one;  // i + 1
        V2 mv = reinterpret_cast<V2>(count == want);
        __asm__("" : "+x"(mv));  // keep it a mask, as value_barrier does
        const unsigned char* e = reinterpret_cast<const unsigned char*>(&row[i]);
        V2 e0, e1, e2, e3;
        std::memcpy(&e0, e, 16);
        std::memcpy(&e1, e + 16, 16);
        std::memcpy(&e2, e + 32, 16);
        std::memcpy(&e3, e + 48, 16);
        a0 |= e0 & mv;
        a1 |= e1 & mv;
        a2 |= e2 & mv;
        a3 |= e3 & mv;
    }
    unsigned char* out = reinterpret_cast<unsigned char*>(&r);
    std::memcpy(out, &a0, 16);
    std::memcpy(out + 16, &a1, 16);
    std::memcpy(out + 32, &a2, 16);
    std::memcpy(out + 48, &a3, 16);
}
#else
inline void lookup(GeStorage& r, const GeStorage* row, std::uint32_t idx) {
    std::uint64_t acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < kGenEntries; ++i) {
        const std::uint64_t m = mask_zero(static_cast<std::uint64_t>(idx ^ (i + 1)));
        for (int l = 0; l < 4; ++l) {
            acc[l] |= row[i].x.v[l] & m;
            acc[4 + l] |= row[i].y.v[l] & m;
        }
    }
    for (int l = 0; l < 4; ++l) {
        r.x.v[l] = acc[l];
        r.y.v[l] = acc[4 + l];
    }
}
#endif

}  // namespace

// Built from public data with the variable-time group law.
void build_gen_table(GeStorage (&out)[kGenWindows][kGenEntries]) {
    Ge base = ge_generator();
    for (int j = 0; j < kGenWindows; ++j) {
        Gej jac[kGenEntries];
        Ge aff[kGenEntries];
        gej_set_ge(jac[0], base);
        for (int i = 1; i < kGenEntries; ++i) gej_add_ge_var(jac[i], jac[i - 1], base);
        ge_set_all_gej_var(aff, jac, kGenEntries);
        for (int i = 0; i < kGenEntries; ++i) out[j][i] = GeStorage{aff[i].x, aff[i].y};
        // The next window's base: 2^kGenWindow base = 2 (kGenEntries base).
        Gej next;
        gej_double_var(next, jac[kGenEntries - 1]);
        ge_set_gej_var(base, next);
    }
}

std::uint32_t gen_digit(const Sc& k, int j, std::uint32_t& neg) {
    constexpr std::uint32_t half = 1u << (kGenWindow - 1);
    // x holds bits j w - 1 .. j w + w - 1 of k (a zero below bit 0).
    const std::uint32_t x = j == 0 ? sc_get_bits(k, 0, kGenWindow) << 1
                                   : sc_get_bits(k, j * kGenWindow - 1, kGenWindow + 1);
    // d = x_0 + (bits 1 .. w-1 of x) - x_w 2^(w-1)
    const std::uint32_t low = (x & 1) + ((x >> 1) & (half - 1));
    neg = (x >> kGenWindow) & 1;
    const std::uint32_t m = 0u - neg;
    return ((half - low) & m) | (low & ~m);
}

// Why the branch-free addition is safe. Let S_j = sum_{i<j} d_i 2^(7i) be
// the scalar of the accumulator before window j; |d_i| <= 64 gives
// |S_j| <= 64 (2^(7j) - 1) / 127 < 2^(7j). Window j adds D = d_j 2^(7j) with
// 1 <= |d_j| <= 64. The addition fails only if S_j = +-D (mod n) or S_j = 0.
//  * S_j = 0 (mod n) means S_j = 0, as |S_j| < n: nothing added yet. The
//    mask `empty` tracks this and the table point is taken as it is.
//  * For j <= 35, 0 < |S_j -+ D| < 2^(7j) (1 + 64) < 2^252 < n, so
//    S_j != +-D (mod n).
//  * For j = 36, S_36 = k - D exactly, with D = d 2^252 and
//    d = (k >> 252) + bit 251 of k, in [0, 16]. S_36 = -D means k = 0
//    (mod n), excluded. S_36 = D means k = d 2^253 (mod n); for 1 <= d <= 7
//    that k is d 2^253, whose digit is 2d; for d = 8..15 it is
//    (d - 8) 2^253 + (2^256 - n), digit 2(d - 8); for d = 16 it is
//    2 (2^256 - n) < 2^226, digit 0. None has digit d, so this never occurs.
// Hence for 1 <= k < n every addition is either valid or masked out.
static_assert(kGenWindow == 7 && kGenWindows == 37, "the argument above is for 37 windows of 7 bits");

void ecmult_gen(Gej& r, const Sc& k) {
    const GeStorage(*table)[kGenEntries] = tables().gen;
    r.x = kFeZero;
    r.y = kFeOne;
    r.z = kFeZero;
    r.infinity = false;
    std::uint64_t empty = ~std::uint64_t{0};  // all ones while nothing has been added
    for (int j = 0; j < kGenWindows; ++j) {
        std::uint32_t neg;
        const std::uint32_t idx = gen_digit(k, j, neg);
        GeStorage p;
        lookup(p, table[j], idx);
        fe_cneg(p.y, mask_bit(neg));
        Gej sum;
        gej_add_ge_distinct(sum, r, p);
        // Nothing added yet: the sum is the table point itself.
        fe_cmov(sum.x, p.x, empty);
        fe_cmov(sum.y, p.y, empty);
        fe_cmov(sum.z, kFeOne, empty);
        // A zero digit adds nothing: keep r.
        const std::uint64_t nonzero = mask_nonzero(idx);
        gej_cmov(r, sum, nonzero);
        empty &= ~nonzero;
    }
}

}  // namespace p256::P256_VARIANT
