// Clearing secrets from memory before it is given back.
#pragma once

#include <cstddef>

namespace p256 {

// Sets n bytes at p to zero in a way the optimiser may not drop, even when
// the memory is never read again (as it would drop a plain memset of a
// dying local).
void wipe(void* p, std::size_t n);

}  // namespace p256
