#include "wipe.h"

#include <cstring>

namespace p256 {

void wipe(void* p, std::size_t n) {
    std::memset(p, 0, n);
    // The compiler must assume the assembly reads the memory through p, so
    // the stores above stay.
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) v[i] = 0;
#endif
}

}  // namespace p256
