// Shared pieces of the constant-time check (ct_check.cpp, ct_scalars.cpp).
#pragma once

#include <cstdint>

#include "../p256.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define PUBLIC(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#define HAVE_MEMCHECK 1
#else
#define SECRET(p, n) ((void)(p), (void)(n))
#define PUBLIC(p, n) ((void)(p), (void)(n))
#define HAVE_MEMCHECK 0
#endif

namespace ct {

// Values spread over the whole range below n (top limb kept < n's).
inline p256::U256 from_seed(std::uint64_t seed) {
    p256::U256 r;
    for (int i = 0; i < 4; ++i) {
        seed ^= seed >> 31;
        seed *= 0x9E3779B97F4A7C15ull;
        r.limb[i] = seed ^ (seed >> 29);
    }
    r.limb[3] &= 0x7FFFFFFFFFFFFFFFull;
    if (r.limb[0] == 0) r.limb[0] = 1;
    return r;
}

}  // namespace ct
