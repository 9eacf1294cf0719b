// CPUID, once per process.
#include "cpu.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define P256_HAVE_CPUID 1
#else
#define P256_HAVE_CPUID 0
#endif

namespace p256::cpu {

namespace {

Features read_features() {
    Features f;
#if P256_HAVE_CPUID
    unsigned a = 0, b = 0, c = 0, d = 0;
    const unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf >= 1) {
        __cpuid(1, a, b, c, d);
        f.ssse3 = (c >> 9) & 1;
        f.sse41 = (c >> 19) & 1;
    }
    if (max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        f.bmi2 = (b >> 8) & 1;
        f.adx = (b >> 19) & 1;
        f.sha = (b >> 29) & 1;
    }
#endif
    return f;
}

}  // namespace

const Features& features() {
    static const Features f = read_features();
    return f;
}

}  // namespace p256::cpu
