// The deterministic nonce with a chosen bound, for the tests.
#pragma once

#include "p256.h"

namespace p256 {

// rfc6979_nonce_ct with the candidates accepted in [1, bound) instead of
// [1, n) (bound public). With n the retry is all but unreachable; the tests
// use smaller bounds to run it.
U256 rfc6979_nonce_below(const U256& d, const U256& h1, const U256& bound);

}  // namespace p256
