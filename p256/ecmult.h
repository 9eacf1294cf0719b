// Variable-time scalar multiplication for public data: Straus' method with
// width-w NAF digits, sharing the doublings between the two products of
// u1 G + u2 Q.
#pragma once

#include "group.h"
#include "scalar.h"

namespace p256 {

// Window of the wNAF digits for G and for an arbitrary point.
inline constexpr int kWindowG = 10;
inline constexpr int kWindowA = 5;
// Odd multiples 1G, 3G, ..., (2^(kWindowG-1) - 1)G.
inline constexpr int kTableSizeG = 1 << (kWindowG - 2);
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

// The table of odd multiples of G used by ecmult, built on first use.
const GeStorage* ecmult_table_g();

}  // namespace p256
