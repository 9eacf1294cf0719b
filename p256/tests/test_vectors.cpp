// Known-answer and differential vectors written by gen_vectors.py (Python
// integers, hashlib and hmac, cross-checked there against the cryptography
// package), and the Wycheproof ECDSA P-256/SHA-256 (P1363) verification
// cases.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../rfc6979.h"
#include "reference.h"

using namespace p256;
using testing::eq;
using testing::hex_bytes;
using testing::unhex;
using testing::VectorSet;

namespace {

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\n') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

U256 hx(const std::string& s) {
    U256 r{};
    if (!testing::parse_hex(s.c_str(), r)) CHECK_MSG(false, ("bad hex in vectors: " + s).c_str());
    return r;
}

struct Tally {
    int cases = 0;
    int failures = 0;
};

std::vector<std::uint8_t> bytes(const std::string& s) { return s == "-" ? std::vector<std::uint8_t>() : unhex(s); }

bool same_digest(const std::uint8_t got[32], const std::string& want) { return hex_bytes(got, 32) == want; }

// SHA-256 of msg at once and in pieces of changing sizes (partial blocks
// carried between updates) both equal want.
bool sha256_both_ways(const std::uint8_t* msg, std::size_t size, const std::string& want) {
    static constexpr std::size_t kPieces[] = {1, 7, 63, 64, 65, 130, 4096};
    std::uint8_t d[32];
    sha256(msg, size, d);
    bool ok = same_digest(d, want);
    Sha256 h;
    for (std::size_t off = 0, i = 0; off < size; ++i) {
        const std::size_t take = std::min(kPieces[i % 7], size - off);
        h.update(msg + off, take);
        off += take;
    }
    h.finish(d);
    return ok && same_digest(d, want);
}

// The first `size` bytes of 0, 1, ..., 250, 0, 1, ... (gen_vectors.py's
// pattern). Up to 128 MiB the message is made whole and hashed both ways;
// beyond that it is streamed from one period-aligned buffer.
bool sha256_pattern(std::size_t size, const std::string& want) {
    constexpr std::size_t kWhole = std::size_t{128} << 20, kChunk = 251 * 4096;
    static std::vector<std::uint8_t> buf;
    const std::size_t need = size <= kWhole ? size : kChunk;
    if (buf.size() < need) {
        buf.resize(need);
        for (std::size_t i = 0; i < need; ++i) buf[i] = static_cast<std::uint8_t>(i % 251);
    }
    if (size <= kWhole) return sha256_both_ways(buf.data(), size, want);
    Sha256 h;
    for (std::size_t left = size; left > 0; left -= std::min(left, kChunk)) h.update(buf.data(), std::min(left, kChunk));
    std::uint8_t d[32];
    h.finish(d);
    return same_digest(d, want);
}

// A deterministic signature (r, s) as expected, low-s, equal to signing with
// the nonce by itself, and valid.
bool deterministic_signature(const U256& d, const std::uint8_t digest[32], const U256& r, const U256& s,
                             SignStatus status) {
    const U256 e = load_be(digest);
    U256 r2, s2, qx, qy;
    const U256 k = rfc6979_nonce_ct(d, reduce_mod_n_ct(e));
    const bool same = ecdsa_sign_ct(k, d, e, r2, s2) == status && eq(r, r2) && eq(s, s2);
    mul_base_ct(d, qx, qy);
    return status == SignStatus::ok && same && compare(s, kHalfN) <= 0 && ecdsa_verify(e, r, s, qx, qy);
}

// Deterministic signatures depend on both the arithmetic and SHA-256, so
// they belong to both sets.
bool in_set(const std::string& kind, VectorSet set) {
    if (kind == "sign_digest" || kind == "sign_message") return true;
    const bool hashing = kind == "sha256" || kind == "sha256_pattern" || kind == "hmac" || kind == "rfc6979";
    return hashing == (set == VectorSet::hashing);
}

}  // namespace

// Returns false when the file cannot be read.
bool run_vector_tests(const char* path, VectorSet set) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) {
        CHECK_MSG(false, "vectors file missing (run gen_vectors.py)");
        return false;
    }
    std::map<std::string, Tally> tally;
    std::vector<std::string> acceptable;
    int wy_filtered = 0;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) {
        const std::vector<std::string> t = split(buf);
        if (t.empty() || t[0][0] == '#') continue;
        const std::string& kind = t[0];
        if (!in_set(kind, set)) continue;
        bool ok = true;
        if (kind == "base" && (t.size() == 4 || t.size() == 3)) {
            // base k (x y | inf): k G, affine
            U256 x, y;
            const bool fin = mul_base_ct(hx(t[1]), x, y);
            ok = t.size() == 3 ? (!fin && t[2] == "inf" && is_zero(x) && is_zero(y))
                               : (fin && eq(x, hx(t[2])) && eq(y, hx(t[3])));
        } else if (kind == "sha256" && t.size() == 3) {
            const std::vector<std::uint8_t> msg = bytes(t[1]);
            ok = sha256_both_ways(msg.data(), msg.size(), t[2]);
        } else if (kind == "sha256_pattern" && t.size() == 3) {
            ok = sha256_pattern(std::stoull(t[1]), t[2]);
        } else if (kind == "hmac" && t.size() == 4) {
            const std::vector<std::uint8_t> key = bytes(t[1]), msg = bytes(t[2]);
            std::uint8_t mac[32];
            hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), mac);
            ok = same_digest(mac, t[3]);
        } else if (kind == "rfc6979" && t.size() == 5) {
            // rfc6979 d h1 bound k
            const U256 d = hx(t[1]), h1 = hx(t[2]), bound = hx(t[3]), k = hx(t[4]);
            ok = eq(rfc6979_nonce_below(d, h1, bound), k) &&
                 (!eq(bound, kN) || eq(rfc6979_nonce_ct(d, h1), k));
        } else if ((kind == "sign_digest" || kind == "sign_message") && t.size() == 5) {
            // sign_digest d digest r s / sign_message d msg r s
            const U256 d = hx(t[1]), r = hx(t[3]), s = hx(t[4]);
            const std::vector<std::uint8_t> data = bytes(t[2]);
            std::uint8_t digest[32];
            if (kind == "sign_digest") {
                std::memcpy(digest, data.data(), 32);
            } else {
                sha256(data.data(), data.size(), digest);
            }
            U256 r2, s2, r3, s3;
            const SignStatus st = ecdsa_sign_digest_ct(digest, d, r2, s2);
            ok = data.size() == 32 || kind == "sign_message";
            ok = ok && eq(r2, r) && eq(s2, s) && deterministic_signature(d, digest, r2, s2, st);
            if (kind == "sign_message") {
                ok = ok && ecdsa_sign_message_ct(data.data(), data.size(), d, r3, s3) == st && eq(r3, r) &&
                     eq(s3, s);
            }
        } else if (kind == "mul" && (t.size() == 6 || t.size() == 5)) {
            // mul k px py (x y | inf): k P by the variable-time path
            U256 x, y;
            const bool fin = mul_vartime(hx(t[1]), hx(t[2]), hx(t[3]), x, y);
            ok = t.size() == 5 ? (!fin && t[4] == "inf") : (fin && eq(x, hx(t[4])) && eq(y, hx(t[5])));
        } else if (kind == "verify" && t.size() == 7) {
            // verify e r s qx qy expected
            const bool want = t[6] == "1";
            ok = ecdsa_verify(hx(t[1]), hx(t[2]), hx(t[3]), hx(t[4]), hx(t[5])) == want;
        } else if (kind == "sign" && t.size() == 7) {
            // sign k d e r s status; the result must also verify.
            U256 r, s, qx, qy;
            const SignStatus st = ecdsa_sign_ct(hx(t[1]), hx(t[2]), hx(t[3]), r, s);
            ok = t[6] == "ok" && st == SignStatus::ok && eq(r, hx(t[4])) && eq(s, hx(t[5]));
            mul_base_ct(hx(t[2]), qx, qy);
            ok = ok && ecdsa_verify(hx(t[3]), r, s, qx, qy);
        } else if (kind == "wycheproof" && t.size() == 10) {
            // wycheproof id qx qy e r s result usable
            // usable = 0: the caller rejects the signature before the engine
            // (length != 64 or r, s outside [1, n-1]); that is a "false", so
            // the file must not call it valid.
            const std::string& result = t[7];
            if (t[8] == "0") {
                ++wy_filtered;
                ok = result != "valid";
            } else {
                const U256 qx = hx(t[2]), qy = hx(t[3]);
                const bool got = on_curve(qx, qy) && ecdsa_verify(hx(t[4]), hx(t[5]), hx(t[6]), qx, qy);
                if (result == "acceptable") {
                    acceptable.push_back("tcId " + t[1] + ": " + (got ? "true" : "false"));
                } else {
                    ok = got == (result == "valid");
                }
            }
            if (!ok) std::printf("wycheproof tcId %s (%s) disagrees\n", t[1].c_str(), t[9].c_str());
        } else {
            ok = false;
            std::printf("unknown vector line: %s", buf);
        }
        Tally& tl = tally[kind];
        ++tl.cases;
        if (!ok) {
            ++tl.failures;
            if (kind != "wycheproof") std::printf("vector failed: %s", buf);
        }
        CHECK_MSG(ok, ("vector " + kind).c_str());
    }
    std::fclose(f);
    for (const auto& [kind, tl] : tally) {
        std::printf("  vectors %-10s %4d cases, %d failed\n", kind.c_str(), tl.cases, tl.failures);
    }
    if (set == VectorSet::curve) {
        std::printf("  wycheproof: %d rejected by the caller's length/range rules\n", wy_filtered);
    }
    for (const std::string& a : acceptable) std::printf("  wycheproof acceptable %s\n", a.c_str());
    return true;
}
