// Montgomery multiplication modulo p in x86-64 assembly with MULX and the
// two independent carry chains of ADCX (CF) and ADOX (OF). Compiled only
// when the build targets BMI2 and ADX (see P256_HAVE_ADX_ASM in ct.h).
//
// Why assembly: written in C++, the compiler routes every 64x64 product
// through RAX/RDX and keeps one carry chain at a time, so about half of the
// instructions of a multiplication are register moves. Here one row a * b_i
// adds its low halves on the CF chain and its high halves on the OF chain,
// and the accumulator registers are renamed from row to row instead of
// being moved.
//
// The method interleaves rows and reductions: after each row one step
// (acc + m p) / 2^64 with m = acc mod 2^64 (since -p^-1 = 1 mod 2^64)
// clears the low limb. For a, b < p the accumulator stays below 2p, so five
// registers hold it, and one conditional subtraction of p at the end gives
// the reduced result. No branch and no address depends on the operands.
#pragma once

#include <cstdint>

#include "ct.h"

#if P256_HAVE_ADX_ASM

namespace p256::P256_VARIANT {

// Memory operands of the assembly. Internal linkage keeps them addressable
// relative to the instruction pointer in position-independent code too; a
// global of default visibility would need a register for its GOT entry,
// and the squaring has none to spare.
namespace field_adx_detail {
constexpr std::uint64_t kP1 = 0x00000000FFFFFFFFull;
constexpr std::uint64_t kP3 = 0xFFFFFFFF00000001ull;
}  // namespace field_adx_detail

#define P256_ASM_NAME(x) #x
#define P256_ASM_REG(x) "%[" P256_ASM_NAME(x) "]"

// acc (L0..L4) += a * b[OFF / 8]. The sum stays below 2^320, so neither
// chain carries out of L4.
#define P256_ASM_ROW(OFF, L0, L1, L2, L3, L4)                 \
    "movq " P256_ASM_NAME(OFF) "(%[b]), %%rdx\n\t"            \
    "xorl %k[t0], %k[t0]\n\t" /* clears CF and OF */          \
    "mulxq 0(%[a]), %[t0], %[t1]\n\t"                         \
    "adcxq %[t0], " P256_ASM_REG(L0) "\n\t"                   \
    "adoxq %[t1], " P256_ASM_REG(L1) "\n\t"                   \
    "mulxq 8(%[a]), %[t0], %[t1]\n\t"                         \
    "adcxq %[t0], " P256_ASM_REG(L1) "\n\t"                   \
    "adoxq %[t1], " P256_ASM_REG(L2) "\n\t"                   \
    "mulxq 16(%[a]), %[t0], %[t1]\n\t"                        \
    "adcxq %[t0], " P256_ASM_REG(L2) "\n\t"                   \
    "adoxq %[t1], " P256_ASM_REG(L3) "\n\t"                   \
    "mulxq 24(%[a]), %[t0], %[t1]\n\t"                        \
    "adcxq %[t0], " P256_ASM_REG(L3) "\n\t"                   \
    "adoxq %[t1], " P256_ASM_REG(L4) "\n\t"                   \
    "movl $0, %k[t0]\n\t" /* mov leaves the flags alone */    \
    "adcxq %[t0], " P256_ASM_REG(L4) "\n\t"

// (L0..L4 + m p) / 2^64 with m = L0 into L1..L4 and L0, which becomes the
// top limb (0 or 1); F is scratch. As m p = m p3 2^192 + m 2^96 - m, the
// low limb cancels and the rest is m 2^32 + m p3 2^128 after the shift.
#define P256_ASM_REDUCE(L0, L1, L2, L3, L4, F)                \
    "movq " P256_ASM_REG(L0) ", %%rdx\n\t"                    \
    "mulxq %[p3], %[t0], %[t1]\n\t"                           \
    "movq " P256_ASM_REG(L0) ", " P256_ASM_REG(F) "\n\t"      \
    "shlq $32, " P256_ASM_REG(F) "\n\t"                       \
    "shrq $32, " P256_ASM_REG(L0) "\n\t"                      \
    "addq " P256_ASM_REG(F) ", " P256_ASM_REG(L1) "\n\t"      \
    "adcq " P256_ASM_REG(L0) ", " P256_ASM_REG(L2) "\n\t"     \
    "adcq %[t0], " P256_ASM_REG(L3) "\n\t"                    \
    "adcq %[t1], " P256_ASM_REG(L4) "\n\t"                    \
    "movl $0, %k[" P256_ASM_NAME(L0) "]\n\t"                  \
    "adcq $0, " P256_ASM_REG(L0) "\n\t"

// (L0..L3) + TOP 2^256 below 2p, reduced below p: p is subtracted unless
// that borrows (p0 = 2^64 - 1 is the immediate -1, p2 = 0); the choice is a
// CMOV. S, t0, t1 and RDX are scratch.
#define P256_ASM_SUBTRACT_P(L0, L1, L2, L3, TOP, S)       \
    "movq " P256_ASM_REG(L0) ", %[t0]\n\t"                \
    "subq $-1, %[t0]\n\t"                                 \
    "movq " P256_ASM_REG(L1) ", %[t1]\n\t"                \
    "sbbq %[p1], %[t1]\n\t"                               \
    "movq " P256_ASM_REG(L2) ", %%rdx\n\t"                \
    "sbbq $0, %%rdx\n\t"                                  \
    "movq " P256_ASM_REG(L3) ", " P256_ASM_REG(S) "\n\t"  \
    "sbbq %[p3], " P256_ASM_REG(S) "\n\t"                 \
    "sbbq $0, " P256_ASM_REG(TOP) "\n\t"                  \
    "cmovncq %[t0], " P256_ASM_REG(L0) "\n\t"             \
    "cmovncq %[t1], " P256_ASM_REG(L1) "\n\t"             \
    "cmovncq %%rdx, " P256_ASM_REG(L2) "\n\t"             \
    "cmovncq " P256_ASM_REG(S) ", " P256_ASM_REG(L3) "\n\t"

// r = a b / 2^256 mod p for a, b < p; r may be a or b (all loads come
// before the stores).
P256_INLINE void fe_mul_adx(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4]) {
    std::uint64_t x0, x1, x2, x3, x4, x5, t0, t1;
    __asm__(
        // Row 0 on an empty accumulator: one plain add chain.
        "movq 0(%[b]), %%rdx\n\t"
        "mulxq 0(%[a]), %[x0], %[x1]\n\t"
        "mulxq 8(%[a]), %[t0], %[x2]\n\t"
        "addq %[t0], %[x1]\n\t"
        "mulxq 16(%[a]), %[t0], %[x3]\n\t"
        "adcq %[t0], %[x2]\n\t"
        "mulxq 24(%[a]), %[t0], %[x4]\n\t"
        "adcq %[t0], %[x3]\n\t"
        "adcq $0, %[x4]\n\t"
        P256_ASM_REDUCE(x0, x1, x2, x3, x4, x5)
        P256_ASM_ROW(8, x1, x2, x3, x4, x0)
        P256_ASM_REDUCE(x1, x2, x3, x4, x0, x5)
        P256_ASM_ROW(16, x2, x3, x4, x0, x1)
        P256_ASM_REDUCE(x2, x3, x4, x0, x1, x5)
        P256_ASM_ROW(24, x3, x4, x0, x1, x2)
        P256_ASM_REDUCE(x3, x4, x0, x1, x2, x5)
        // (x4 x0 x1 x2) + x3 2^256 is below 2p.
        P256_ASM_SUBTRACT_P(x4, x0, x1, x2, x3, x5)
        : [x0] "=&r"(x0), [x1] "=&r"(x1), [x2] "=&r"(x2), [x3] "=&r"(x3), [x4] "=&r"(x4),
          [x5] "=&r"(x5), [t0] "=&r"(t0), [t1] "=&r"(t1)
        : [a] "r"(a), [b] "r"(b), "m"(*reinterpret_cast<const std::uint64_t(*)[4]>(a)),
          "m"(*reinterpret_cast<const std::uint64_t(*)[4]>(b)), [p1] "m"(field_adx_detail::kP1),
          [p3] "m"(field_adx_detail::kP3)
        : "rdx", "cc");
    r[0] = x4;
    r[1] = x0;
    r[2] = x1;
    r[3] = x2;
}

// (L0..L3 + m p) / 2^64 with m = L0 into L1, L2, L3, L0: the four-limb
// step of a separate reduction of the low half (the sum stays below 2^256).
#define P256_ASM_REDUCE_LOW(L0, L1, L2, L3)                   \
    "movq " P256_ASM_REG(L0) ", %%rdx\n\t"                    \
    "mulxq %[p3], %[t0], %[t1]\n\t"                           \
    "shlq $32, %%rdx\n\t"                                     \
    "shrq $32, " P256_ASM_REG(L0) "\n\t"                      \
    "addq %%rdx, " P256_ASM_REG(L1) "\n\t"                    \
    "adcq " P256_ASM_REG(L0) ", " P256_ASM_REG(L2) "\n\t"     \
    "adcq %[t0], " P256_ASM_REG(L3) "\n\t"                    \
    "movq %[t1], " P256_ASM_REG(L0) "\n\t"                    \
    "adcq $0, " P256_ASM_REG(L0) "\n\t"

// r = a^2 / 2^256 mod p for a < p; r may be a. The six cross products are
// summed once and doubled, the four squares added, then the low half is
// reduced in four steps and the high half added.
P256_INLINE void fe_sqr_adx(std::uint64_t r[4], const std::uint64_t a[4]) {
    std::uint64_t x0, x1, x2, x3, x4, x5, x6, x7, t0, t1;
    __asm__(
        // a0 (a1 a2 a3) at limbs 1..4.
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq 8(%[a]), %[x1], %[x2]\n\t"
        "mulxq 16(%[a]), %[t0], %[x3]\n\t"
        "addq %[t0], %[x2]\n\t"
        "mulxq 24(%[a]), %[t0], %[x4]\n\t"
        "adcq %[t0], %[x3]\n\t"
        "adcq $0, %[x4]\n\t"
        // a1 (a2 a3) at limbs 3..5, then a2 a3 at limbs 5..6; the CF chain
        // stays open across the two.
        "movq 8(%[a]), %%rdx\n\t"
        "xorl %k[x5], %k[x5]\n\t"
        "mulxq 16(%[a]), %[t0], %[t1]\n\t"
        "adcxq %[t0], %[x3]\n\t"
        "adoxq %[t1], %[x4]\n\t"
        "mulxq 24(%[a]), %[t0], %[t1]\n\t"
        "adcxq %[t0], %[x4]\n\t"
        "adoxq %[t1], %[x5]\n\t"
        "movq 16(%[a]), %%rdx\n\t"
        "mulxq 24(%[a]), %[t0], %[x6]\n\t"
        "adcxq %[t0], %[x5]\n\t"
        "movl $0, %k[t0]\n\t"
        "adcxq %[t0], %[x6]\n\t"
        // Double the cross products into x1..x7.
        "movl $0, %k[x7]\n\t"
        "addq %[x1], %[x1]\n\t"
        "adcq %[x2], %[x2]\n\t"
        "adcq %[x3], %[x3]\n\t"
        "adcq %[x4], %[x4]\n\t"
        "adcq %[x5], %[x5]\n\t"
        "adcq %[x6], %[x6]\n\t"
        "adcq $0, %[x7]\n\t"
        // Add the squares a_i^2 at limbs 2i, 2i + 1.
        "movq 0(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[x0], %[t0]\n\t"
        "addq %[t0], %[x1]\n\t"
        "movq 8(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[t0], %[t1]\n\t"
        "adcq %[t0], %[x2]\n\t"
        "adcq %[t1], %[x3]\n\t"
        "movq 16(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[t0], %[t1]\n\t"
        "adcq %[t0], %[x4]\n\t"
        "adcq %[t1], %[x5]\n\t"
        "movq 24(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[t0], %[t1]\n\t"
        "adcq %[t0], %[x6]\n\t"
        "adcq %[t1], %[x7]\n\t"
        P256_ASM_REDUCE_LOW(x0, x1, x2, x3)
        P256_ASM_REDUCE_LOW(x1, x2, x3, x0)
        P256_ASM_REDUCE_LOW(x2, x3, x0, x1)
        P256_ASM_REDUCE_LOW(x3, x0, x1, x2)
        // Plus the high half: (x0 x1 x2 x3) + x4 2^256 < 2p.
        "addq %[x4], %[x0]\n\t"
        "adcq %[x5], %[x1]\n\t"
        "adcq %[x6], %[x2]\n\t"
        "adcq %[x7], %[x3]\n\t"
        "movl $0, %k[x4]\n\t"
        "adcq $0, %[x4]\n\t"
        P256_ASM_SUBTRACT_P(x0, x1, x2, x3, x4, x5)
        : [x0] "=&r"(x0), [x1] "=&r"(x1), [x2] "=&r"(x2), [x3] "=&r"(x3), [x4] "=&r"(x4),
          [x5] "=&r"(x5), [x6] "=&r"(x6), [x7] "=&r"(x7), [t0] "=&r"(t0), [t1] "=&r"(t1)
        : [a] "r"(a), "m"(*reinterpret_cast<const std::uint64_t(*)[4]>(a)),
          [p1] "m"(field_adx_detail::kP1), [p3] "m"(field_adx_detail::kP3)
        : "rdx", "cc");
    r[0] = x0;
    r[1] = x1;
    r[2] = x2;
    r[3] = x3;
}

#undef P256_ASM_SUBTRACT_P
#undef P256_ASM_REDUCE_LOW
#undef P256_ASM_REDUCE
#undef P256_ASM_ROW
#undef P256_ASM_REG
#undef P256_ASM_NAME

}  // namespace p256::P256_VARIANT

#endif  // P256_HAVE_ADX_ASM
