// Constant-time fixed-base multiplication k G.
//
// k is split into signed (Booth) digits of kGenWindow bits,
// k = sum_j d_j 2^(kGenWindow j) with |d_j| <= 2^(kGenWindow-1). A table
// holds |d| 2^(kGenWindow j) G for every window j and every |d| >= 1, so k G
// is a sum of one table point per window: no doublings. Each lookup reads
// every entry of its window and keeps the wanted one by mask, the sign is
// applied by a masked negation, and the two cases the branch-free addition
// cannot do (nothing added yet, a zero digit) are settled by masks; the
// other exceptional cases never arise (see ecmult_gen.cpp). Neither
// branches nor addresses depend on k.
#pragma once

#include "group.h"
#include "scalar.h"
#include "tables.h"

namespace p256::P256_VARIANT {

// Signed digit of window j of k (public j, secret k): returns |d| and sets
// neg to 1 when d < 0.
std::uint32_t gen_digit(const Sc& k, int j, std::uint32_t& neg);

// r = k G in Jacobian form, constant time in k. For k = 0, Z = 0 (the flag
// r.infinity is never set: it would have to be computed from k).
void ecmult_gen(Gej& r, const Sc& k);

// The window tables that ecmult_gen reads from tables(): entry [j][i] is
// (i+1) 2^(kGenWindow j) G.
void build_gen_table(GeStorage (&out)[kGenWindows][kGenEntries]);

}  // namespace p256::P256_VARIANT
