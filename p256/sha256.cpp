// SHA-256 (FIPS 180-4) with two block functions, portable C++ and the
// x86-64 SHA extensions, chosen once by CPUID; HMAC-SHA-256 on top.
#include "sha256.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "cpu.h"
#include "wipe.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(P256_PORTABLE)
#include <immintrin.h>
#define P256_HAVE_SHA_NI 1
#else
#define P256_HAVE_SHA_NI 0
#endif

namespace p256 {

namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void compress_generic(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count) {
    std::uint32_t w[64];
    for (; count > 0; --count, blocks += 64) {
        for (int i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 =
                (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
    wipe(w, sizeof w);  // the schedule of an HMAC key block is key material
}

#if P256_HAVE_SHA_NI
// The SHA extensions keep the state as two vectors, ABEF and CDGH, and run
// two rounds per SHA256RNDS2 (the round constants added to the message
// words beforehand). Quad-round i uses the message words W[4i .. 4i+3],
// kept in a ring of four vectors; SHA256MSG1 and SHA256MSG2 compute the
// schedule three quads ahead. The target attribute compiles just this
// function for those instructions; it runs only where CPUID reports them.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(std::uint32_t state[8],
                                                                  const std::uint8_t* blocks,
                                                                  std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abef_before = abef, cdgh_before = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i < 4) {
                w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)),
                                        byte_swap);
            }
            __m128i msg = _mm_add_epi32(w[i & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            if (i >= 3 && i <= 14) {  // W for quad i + 1
                const __m128i tail = _mm_alignr_epi8(w[i & 3], w[(i - 1) & 3], 4);
                w[(i + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(w[(i + 1) & 3], tail), w[i & 3]);
            }
            msg = _mm_shuffle_epi32(msg, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
            if (i >= 1 && i <= 12) w[(i - 1) & 3] = _mm_sha256msg1_epu32(w[(i - 1) & 3], w[i & 3]);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}
#endif

sha256_detail::Impl choose() {
    using sha256_detail::Impl;
    return sha256_detail::runs_here(Impl::sha_ni) ? Impl::sha_ni : Impl::generic;
}

// The implementation every new Sha256 uses. Chosen once; only the tests
// and the benchmark change it afterwards.
std::atomic<Sha256::BlockFunction>& active() {
    static std::atomic<Sha256::BlockFunction> fn{sha256_detail::block_function(choose())};
    return fn;
}

}  // namespace

namespace sha256_detail {

const char* name(Impl impl) { return impl == Impl::sha_ni ? "sha-ni" : "generic"; }

Sha256::BlockFunction block_function(Impl impl) {
    switch (impl) {
        case Impl::generic:
            return compress_generic;
        case Impl::sha_ni:
#if P256_HAVE_SHA_NI
            return compress_sha_ni;
#else
            return nullptr;
#endif
    }
    return nullptr;
}

bool runs_here(Impl impl) {
    if (block_function(impl) == nullptr) return false;
    const cpu::Features& f = cpu::features();
    return impl == Impl::generic || (f.sha && f.sse41 && f.ssse3);
}

Impl chosen() {
    static const Impl impl = choose();
    return impl;
}

bool force(Impl impl) {
    const Sha256::BlockFunction fn = block_function(impl);
    if (fn == nullptr) return false;
    active().store(fn, std::memory_order_relaxed);
    return true;
}

}  // namespace sha256_detail

const char* sha256_implementation() {
    using sha256_detail::Impl;
    const Sha256::BlockFunction fn = active().load(std::memory_order_relaxed);
    return sha256_detail::name(fn == sha256_detail::block_function(Impl::sha_ni) ? Impl::sha_ni : Impl::generic);
}

Sha256::Sha256() : compress_(active().load(std::memory_order_relaxed)) { reset(); }

Sha256::~Sha256() { wipe(this, sizeof *this); }

void Sha256::reset() {
    length_ = 0;
    std::memcpy(state_, kInitial, sizeof state_);
    wipe(block_, sizeof block_);
}

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    const auto* in = static_cast<const std::uint8_t*>(data);
    const std::size_t used = length_ & 63;
    length_ += size;
    if (used != 0) {
        const std::size_t take = size < 64 - used ? size : 64 - used;
        std::memcpy(block_ + used, in, take);
        in += take;
        size -= take;
        if (used + take < 64) return;
        compress_(state_, block_, 1);
    }
    if (size >= 64) {
        compress_(state_, in, size / 64);
        in += size & ~std::size_t{63};
        size &= 63;
    }
    if (size != 0) std::memcpy(block_, in, size);
}

void Sha256::finish(std::uint8_t digest[32]) {
    const std::uint64_t bits = length_ << 3;
    std::size_t used = length_ & 63;
    block_[used++] = 0x80;
    if (used > 56) {
        std::memset(block_ + used, 0, 64 - used);
        compress_(state_, block_, 1);
        used = 0;
    }
    std::memset(block_ + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i) block_[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    compress_(state_, block_, 1);
    for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, state_[i]);
    reset();
}

void sha256(const void* data, std::size_t size, std::uint8_t digest[32]) {
    Sha256 h;
    h.update(data, size);
    h.finish(digest);
}

HmacSha256::HmacSha256(const void* key, std::size_t key_size) {
    std::uint8_t block[64] = {};
    if (key_size > sizeof block) {
        sha256(key, key_size, block);
    } else if (key_size != 0) {
        std::memcpy(block, key, key_size);
    }
    for (std::uint8_t& b : block) b ^= 0x36;
    inner_.update(block, sizeof block);
    for (std::uint8_t& b : block) b ^= 0x36 ^ 0x5c;
    outer_.update(block, sizeof block);
    wipe(block, sizeof block);
}

void HmacSha256::mac(std::uint8_t out[32], std::initializer_list<std::span<const std::uint8_t>> parts) const {
    Sha256 h = inner_;
    for (const auto& part : parts) h.update(part.data(), part.size());
    std::uint8_t inner_digest[32];
    h.finish(inner_digest);
    h = outer_;
    h.update(inner_digest, sizeof inner_digest);
    h.finish(out);
    wipe(inner_digest, sizeof inner_digest);
}

void hmac_sha256(const void* key, std::size_t key_size, const void* message, std::size_t message_size,
                 std::uint8_t mac[32]) {
    const HmacSha256 keyed(key, key_size);
    keyed.mac(mac, {{static_cast<const std::uint8_t*>(message), message_size}});
}

}  // namespace p256
