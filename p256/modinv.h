// Variable-time modular inversion for public values, by the divstep
// iteration of Bernstein and Yang ("Fast constant-time gcd computation and
// modular inversion", 2019), run in batches of 62 steps on the low bits.
#pragma once

#include "p256.h"

namespace p256 {

// x^-1 mod m for an odd prime m < 2^256 and x < m (0 for x = 0). The time
// depends on x: use only on public data.
U256 modinv_var(const U256& x, const U256& m);

}  // namespace p256
