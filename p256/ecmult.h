// Variable-time scalar multiplication for public data: Straus' method with
// width-w NAF digits, sharing the doublings between the two products of
// u1 G + u2 Q.
#pragma once

#include "group.h"
#include "scalar.h"
#include "tables.h"

namespace p256::P256_VARIANT {

// Window of the wNAF digits for an arbitrary point (for G see tables.h).
inline constexpr int kWindowA = 5;
inline constexpr int kTableSizeA = 1 << (kWindowA - 2);

// Width-w NAF of a: digits d[0..257) with a = sum d[i] 2^i, each digit zero
// or odd with |d| < 2^(w-1), and at most one nonzero digit in any w
// consecutive positions. Returns the number of digits up to the highest
// nonzero one (0 for a = 0).
int wnaf(int d[257], const Sc& a, int w);

// r = u1 G + u2 q, where q is not infinity.
void ecmult(Gej& r, const Sc& u1, const Ge& q, const Sc& u2);

// r = k a, where a is not infinity.
void ecmult_point(Gej& r, const Ge& a, const Sc& k);

// The odd multiples of G that ecmult reads from tables().
void build_table_g(GeStorage (&out)[kTableSizeG]);

}  // namespace p256::P256_VARIANT
