// SHA-256 internals: the block functions, the choice between them, and
// HMAC with a key used for several messages. The public entry points are
// in p256.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "p256.h"

namespace p256 {

namespace sha256_detail {

enum class Impl { generic, sha_ni };
inline constexpr Impl kImpls[] = {Impl::generic, Impl::sha_ni};

const char* name(Impl impl);

// The block function of impl, or null when this build does not have it.
Sha256::BlockFunction block_function(Impl impl);

// Whether impl is built in and this CPU (as CPUID reports it) runs it.
bool runs_here(Impl impl);

// The implementation chosen at start-up: SHA-NI where it runs, else generic.
Impl chosen();

// Makes impl the one that Sha256 objects made from now on use; for the
// tests and the benchmark, which run every implementation in one process.
// Returns false (and changes nothing) when impl is not built in; whether the
// CPU runs it is the caller's business (valgrind, for one, hides features
// it can emulate).
bool force(Impl impl);

}  // namespace sha256_detail

// HMAC-SHA-256 (RFC 2104) with one key for any number of messages: the
// keyed inner and outer states are computed once. Everything derived from
// the key is wiped on destruction.
class HmacSha256 {
public:
    HmacSha256(const void* key, std::size_t key_size);

    // out = HMAC(key, concatenation of parts).
    void mac(std::uint8_t out[32], std::initializer_list<std::span<const std::uint8_t>> parts) const;

private:
    Sha256 inner_;  // after the block key ^ ipad
    Sha256 outer_;  // after the block key ^ opad
};

}  // namespace p256
