// Deterministic ECDSA: the nonce of RFC 6979 for P-256 with HMAC-SHA-256,
// and signing a digest or a message from start to end.
#include "rfc6979.h"

#include <cstring>

#include "ct.h"
#include "declassify.h"
#include "sha256.h"
#include "wipe.h"

namespace p256 {

namespace {

using P256_VARIANT::mask_bit, P256_VARIANT::mask_nonzero, P256_VARIANT::subb;

// All ones when 1 <= c < bound, without a branch on c.
std::uint64_t in_range_mask(const U256& c, const U256& bound) {
    std::uint64_t borrow = 0;
    for (int i = 0; i < 4; ++i) subb(c.limb[i], bound.limb[i], borrow);  // c < bound
    return mask_bit(borrow) & mask_nonzero(c.limb[0] | c.limb[1] | c.limb[2] | c.limb[3]);
}

// The secret state of the generator, wiped however the function leaves.
struct NonceState {
    std::uint8_t x[32];  // the key d, big-endian
    std::uint8_t h1[32];
    std::uint8_t k[32];  // the HMAC key K
    std::uint8_t v[32];  // V
    ~NonceState() { wipe(this, sizeof *this); }
};

}  // namespace

U256 rfc6979_nonce_below(const U256& d, const U256& h1, const U256& bound) {
    static constexpr std::uint8_t kZero[1] = {0x00}, kOne[1] = {0x01};
    NonceState st;
    store_be(d, st.x);
    store_be(h1, st.h1);
    std::memset(st.v, 0x01, sizeof st.v);
    std::memset(st.k, 0x00, sizeof st.k);
    HmacSha256(st.k, 32).mac(st.k, {st.v, kZero, st.x, st.h1});
    {
        const HmacSha256 mac(st.k, 32);
        mac.mac(st.v, {st.v});
        mac.mac(st.k, {st.v, kOne, st.x, st.h1});
    }
    // Each pass starts with a new K: V = HMAC(K, V) follows every change of
    // K, and then V = HMAC(K, V) once more gives the candidate.
    for (;;) {
        const HmacSha256 mac(st.k, 32);
        mac.mac(st.v, {st.v});
        mac.mac(st.v, {st.v});
        const U256 candidate = load_be(st.v);
        // The only branch on secret data: a candidate outside [1, bound)
        // (probability about 2^-32 for n) is published in effect by the
        // signature it fails to produce. The constant-time check is told so.
        std::uint64_t usable = in_range_mask(candidate, bound) & 1;
        P256_DECLASSIFY(&usable, sizeof usable);
        if (usable) return candidate;
        mac.mac(st.k, {st.v, kZero});
    }
}

U256 rfc6979_nonce_ct(const U256& d, const U256& h1) { return rfc6979_nonce_below(d, h1, kN); }

SignStatus ecdsa_sign_digest_ct(const std::uint8_t digest[32], const U256& d, U256& r, U256& s) {
    const U256 e = load_be(digest);
    U256 k = rfc6979_nonce_ct(d, reduce_mod_n_ct(e));
    const SignStatus status = ecdsa_sign_ct(k, d, e, r, s);
    wipe(&k, sizeof k);
    return status;
}

SignStatus ecdsa_sign_message_ct(const void* message, std::size_t size, const U256& d, U256& r, U256& s) {
    std::uint8_t digest[32];
    sha256(message, size, digest);
    return ecdsa_sign_digest_ct(digest, d, r, s);
}

}  // namespace p256
