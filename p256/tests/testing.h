// Minimal test harness: grouped checks with counters, hex helpers and a
// deterministic random generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../p256.h"

namespace testing {

struct Counters {
    int passed = 0;
    int failed = 0;
};
inline Counters& counters() {
    static Counters c;
    return c;
}

inline bool check(bool ok, const char* what, const char* file, int line) {
    if (ok) {
        ++counters().passed;
    } else {
        ++counters().failed;
        std::printf("FAIL %s:%d: %s\n", file, line, what);
    }
    return ok;
}

#define CHECK(cond) ::testing::check((cond), #cond, __FILE__, __LINE__)
#define CHECK_MSG(cond, msg) ::testing::check((cond), (msg), __FILE__, __LINE__)

inline std::string hex(const p256::U256& a) {
    std::uint8_t b[32];
    p256::store_be(a, b);
    std::string s;
    char buf[3];
    for (std::uint8_t x : b) {
        std::snprintf(buf, sizeof buf, "%02x", x);
        s += buf;
    }
    return s;
}

// Parses up to 64 hex digits (big-endian); returns false on bad input.
inline bool parse_hex(const char* s, p256::U256& out) {
    const std::size_t len = std::strlen(s);
    if (len == 0 || len > 64) return false;
    out = p256::U256{{0, 0, 0, 0}};
    for (std::size_t i = 0; i < len; ++i) {
        const char c = s[i];
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return false;
        }
        const std::size_t pos = len - 1 - i;  // nibble index from the bottom
        out.limb[pos / 16] |= static_cast<std::uint64_t>(v) << (4 * (pos % 16));
    }
    return true;
}

// Bytes from hex digits, two per byte (an odd digit at the end is dropped).
inline std::vector<std::uint8_t> unhex(const std::string& s) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string hex_bytes(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char buf[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        s += buf;
    }
    return s;
}

inline p256::U256 h(const char* s) {
    p256::U256 r{};
    if (!parse_hex(s, r)) std::printf("bad hex literal %s\n", s);
    return r;
}

inline bool eq(const p256::U256& a, const p256::U256& b) { return p256::compare(a, b) == 0; }

// The lines of the vectors file that concern the curve (run once per
// variant of the arithmetic), or those that concern hashing (run once per
// SHA-256 implementation).
enum class VectorSet { curve, hashing };

// xoshiro256** with a fixed seed: reproducible runs.
struct Rng {
    std::uint64_t s[4] = {0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull, 0x94D049BB133111EBull,
                          0x2545F4914F6CDD1Dull};
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t next() {
        const std::uint64_t r = rotl(s[1] * 5, 7) * 9;
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return r;
    }
    p256::U256 u256() { return p256::U256{{next(), next(), next(), next()}}; }
    // Below m, by rejection.
    p256::U256 below(const p256::U256& m) {
        for (;;) {
            p256::U256 x = u256();
            if (p256::compare(x, m) < 0) return x;
        }
    }
    // Nonzero and below m.
    p256::U256 nonzero_below(const p256::U256& m) {
        for (;;) {
            p256::U256 x = below(m);
            if (!p256::is_zero(x)) return x;
        }
    }
};

}  // namespace testing
