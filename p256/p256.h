// The native P-256 engine: ECDSA over P-256 with its field, scalar and group
// arithmetic, and the SHA-256, HMAC-SHA-256 and RFC 6979 nonce that
// deterministic signing needs.
//
// Pure C++ with no Python headers. Values cross the boundary as 256-bit
// unsigned integers in four little-endian 64-bit limbs; callers convert from
// and to big-endian bytes with load_be/store_be.
//
// Two kinds of operation:
//  * public-data operations (verification, arbitrary points) may take time
//    that depends on their inputs;
//  * secret-data operations (names ending in _ct) take time and touch memory
//    independently of the secret scalar: no branch and no address depends on
//    it. Their preconditions are checked by the caller, not by branching on
//    the secret here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace p256 {

struct U256 {
    std::uint64_t limb[4];  // value = sum of limb[i] * 2^(64 i)
};

U256 load_be(const std::uint8_t in[32]);
void store_be(const U256& value, std::uint8_t out[32]);

// -1, 0 or 1 as a <, ==, > b (variable time: public values only).
int compare(const U256& a, const U256& b);
bool is_zero(const U256& a);

// Domain parameters.
extern const U256 kP;      // field prime
extern const U256 kB;      // curve coefficient b (a = p - 3)
extern const U256 kN;      // group order
extern const U256 kHalfN;  // n // 2, the low-s bound
extern const U256 kGx;     // base point
extern const U256 kGy;

// a - b mod 2^256, returns the borrow (public values).
std::uint64_t sub(const U256& a, const U256& b, U256& out);

// ---- Public-data operations -------------------------------------------

// x < p, y < p and y^2 == x^3 - 3x + b (mod p).
bool on_curve(const U256& x, const U256& y);

// k * (x, y) for a point on the curve (caller checked on_curve) and any
// 256-bit k (reduced modulo n inside). Returns false when the result is the
// point at infinity (k = 0 mod n), else stores the affine result.
bool mul_vartime(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry);

// ECDSA verification core for P-256: e is the whole 256-bit digest (not
// reduced), 1 <= r, s < n and Q = (qx, qy) on the curve (caller checked).
// Returns whether x(u1*G + u2*Q) mod n == r with w = s^-1, u1 = e*w, u2 = r*w
// (all mod n); false when the sum is the point at infinity.
bool ecdsa_verify(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy);

// Builds the precomputed point tables now instead of on first use (for
// callers that want every table ready at import). Thread-safe; idempotent.
void init_tables();

// ---- Implementations ----------------------------------------------------
// The curve arithmetic and SHA-256 each come in variants chosen once per
// process by CPUID: field multiplication in MULX/ADCX/ADOX assembly where
// the CPU has BMI2 and ADX, else C++; the SHA extensions where the CPU has
// them, else C++.

// The variants in use, "arithmetic+sha256": "bmi2-adx+sha-ni",
// "generic+generic" and so on.
const char* implementation();

// False only for a library built with the assembly alone
// (QRL_ENGINE_ADX=ON) on a CPU without BMI2 or ADX; its entry points would
// then stop the process with a message. Check it before the first call.
bool cpu_supported();

// ---- SHA-256 and HMAC-SHA-256 (FIPS 180-4, RFC 2104) ----------------------
// Constant time in the data: no branch and no address depends on the bytes
// hashed, only on their number.

// Streaming SHA-256: update() any number of times, then finish(). The block
// function (portable C++, or the x86-64 SHA extensions where the CPU has
// them) is the one chosen for this process when the object is made. A copy
// carries the state of the message so far; the destructor wipes the state,
// which may hold key material (HMAC).
class Sha256 {
public:
    using BlockFunction = void (*)(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);

    Sha256();
    Sha256(const Sha256&) = default;
    Sha256& operator=(const Sha256&) = default;
    ~Sha256();

    void update(const void* data, std::size_t size);
    // Writes the digest of everything passed to update() since the object
    // was made or last finished, and starts a new message.
    void finish(std::uint8_t digest[32]);

private:
    void reset();

    BlockFunction compress_;
    // Bytes so far. 64 bits never wrap for data a process can hold or
    // stream in a lifetime; the padding stores 8 times this, the length in
    // bits modulo 2^64, as FIPS 180-4 defines it for messages below 2^64 bits.
    std::uint64_t length_;
    std::uint32_t state_[8];
    std::uint8_t block_[64];  // the bytes of the incomplete block, length_ % 64 of them
};

void sha256(const void* data, std::size_t size, std::uint8_t digest[32]);

// Any key length: a key longer than the 64-byte block is hashed first.
void hmac_sha256(const void* key, std::size_t key_size, const void* message, std::size_t message_size,
                 std::uint8_t mac[32]);

// The block function in use: "sha-ni" or "generic" (the second half of
// implementation()).
const char* sha256_implementation();

// ---- Secret-data operations (constant time) ---------------------------

// a mod n for any 256-bit a: one masked subtraction (2^256 < 2n).
U256 reduce_mod_n_ct(const U256& a);

// Whether 1 <= d < n, the test a private key must pass. The answer is
// public (a key outside is refused); how it is reached does not depend on d.
bool key_in_range_ct(const U256& d);

// k * G, affine, for any 256-bit k (reduced modulo n inside). Returns false
// when k = 0 (mod n), the point at infinity (rx, ry are then zero); that
// public outcome is computed without a branch and is the caller's to branch
// on. Constant time in k.
bool mul_base_ct(const U256& k, U256& rx, U256& ry);

enum class SignStatus { ok, r_zero, s_zero };

// r = x(k*G) mod n; s = k^-1 * (e + r*d) mod n, where e is the whole digest,
// then replaced by n - s when s > n // 2 (low-s). 1 <= k, d < n.
// Constant time in k and d; reports r == 0 or s == 0 instead of retrying.
SignStatus ecdsa_sign_ct(const U256& k, const U256& d, const U256& e, U256& r, U256& s);

// The deterministic nonce of RFC 6979 (section 3.2) for P-256 with
// HMAC-SHA-256, for the key 1 <= d < n and h1 = the digest as an integer,
// reduced mod n (h1 < n). Constant time in d and h1 except for the retry on
// a candidate outside [1, n), which happens with probability about 2^-32
// and shows nothing an observer of the signature could not compute.
U256 rfc6979_nonce_ct(const U256& d, const U256& h1);

// The whole signature of a SHA-256 digest with the key 1 <= d < n:
// e = the digest as an integer, k = rfc6979_nonce_ct(d, e mod n), then
// ecdsa_sign_ct(k, d, e) (low-s). Every secret intermediate is wiped.
SignStatus ecdsa_sign_digest_ct(const std::uint8_t digest[32], const U256& d, U256& r, U256& s);

// The same for a message, hashed with SHA-256 first.
SignStatus ecdsa_sign_message_ct(const void* message, std::size_t size, const U256& d, U256& r, U256& s);

}  // namespace p256
