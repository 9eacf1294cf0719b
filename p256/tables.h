// The precomputed multiples of the base point G. They are data in the same
// representation (Montgomery form, fully reduced) for every variant of the
// arithmetic, so one copy serves them all.
#pragma once

#include "group.h"

namespace p256 {

// Verification takes width-kWindowG NAF digits of u1 over the odd multiples
// 1G, 3G, ..., (2^(kWindowG-1) - 1)G.
inline constexpr int kWindowG = 10;
inline constexpr int kTableSizeG = 1 << (kWindowG - 2);

// Constant-time fixed-base multiplication: signed windows of kGenWindow bits,
// enough of them that the top digit's sign bit lies above bit 255.
inline constexpr int kGenWindow = 7;
inline constexpr int kGenEntries = 1 << (kGenWindow - 1);
inline constexpr int kGenWindows = (256 + kGenWindow) / kGenWindow;

struct Tables {
    GeStorage g_odd[kTableSizeG];             // (2i + 1) G at [i]
    GeStorage gen[kGenWindows][kGenEntries];  // (i + 1) 2^(kGenWindow j) G at [j][i]
};

// Built on first use by the variant then in use (each computes the same
// bytes), read-only afterwards. Thread-safe.
const Tables& tables();

}  // namespace p256

namespace p256::P256_VARIANT {

// Computes every table from G with this variant's arithmetic.
void build_tables(Tables& t);

}  // namespace p256::P256_VARIANT
