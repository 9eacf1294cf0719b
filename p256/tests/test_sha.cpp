// SHA-256, HMAC-SHA-256 and the deterministic nonce against published
// vectors: NIST's byte-oriented SHA-256 files (short, long, Monte Carlo),
// RFC 4231 and the P-256/SHA-256 examples of RFC 6979 (appendix A.2.5).
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "reference.h"

using namespace p256;
using testing::eq;
using testing::h;
using testing::hex_bytes;
using testing::unhex;

namespace {

using Record = std::map<std::string, std::string>;

// "Name = value" lines; a blank line ends a record, '#' and '[' lines are
// comments. Values keep their case (NIST and RFC 4231 write lower-case hex).
std::vector<Record> read_records(const std::string& path) {
    std::vector<Record> out;
    std::ifstream in(path);
    Record cur;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq_pos = line.find(" = ");
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq_pos == std::string::npos) {
            if (line.empty() && !cur.empty()) out.push_back(std::move(cur)), cur.clear();
            continue;
        }
        cur[line.substr(0, eq_pos)] = line.substr(eq_pos + 3);
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string digest_hex(const std::vector<std::uint8_t>& msg) {
    std::uint8_t d[32];
    sha256(msg.data(), msg.size(), d);
    return hex_bytes(d, 32);
}

void test_nist_messages(const std::string& dir) {
    int cases = 0, bad = 0;
    for (const char* file : {"/SHA256ShortMsg.rsp", "/SHA256LongMsg.rsp"}) {
        for (const Record& r : read_records(dir + file)) {
            std::vector<std::uint8_t> msg = unhex(r.at("Msg"));
            msg.resize(std::stoul(r.at("Len")) / 8);  // "Len = 0" comes with "Msg = 00"
            bad += digest_hex(msg) != r.at("MD");
            ++cases;
        }
    }
    CHECK_MSG(cases == 65 + 64 && bad == 0, "NIST SHA256ShortMsg and SHA256LongMsg");
}

// MD_i = SHA-256(MD_{i-3} || MD_{i-2} || MD_{i-1}) for i = 3 .. 1002 from
// MD_0 = MD_1 = MD_2 = seed; MD_1002 is the checkpoint and the next seed.
void test_nist_monte(const std::string& dir) {
    const std::vector<Record> records = read_records(dir + "/SHA256Monte.rsp");
    int cases = 0, bad = 0;
    std::vector<std::uint8_t> seed;
    for (const Record& r : records) {
        if (r.count("Seed")) seed = unhex(r.at("Seed"));
        if (!r.count("MD") || seed.size() != 32) continue;
        std::vector<std::uint8_t> md[3] = {seed, seed, seed};
        for (int i = 3; i < 1003; ++i) {
            std::vector<std::uint8_t> m = md[0];
            m.insert(m.end(), md[1].begin(), md[1].end());
            m.insert(m.end(), md[2].begin(), md[2].end());
            md[0] = md[1];
            md[1] = md[2];
            md[2] = unhex(digest_hex(m));
        }
        seed = md[2];
        bad += hex_bytes(seed.data(), 32) != r.at("MD");
        ++cases;
    }
    CHECK_MSG(cases == 100 && bad == 0, "NIST SHA256Monte");
}

void test_rfc4231(const std::string& dir) {
    int cases = 0, bad = 0;
    std::uint8_t mac[32];
    for (const Record& r : read_records(dir + "/rfc-4231-sha256.txt")) {
        const std::vector<std::uint8_t> key = unhex(r.at("Key")), msg = unhex(r.at("Msg"));
        hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), mac);
        bad += hex_bytes(mac, 32) != r.at("MD");
        ++cases;
    }
    // Case 5, which the file leaves out: the MAC truncated to 128 bits.
    const std::vector<std::uint8_t> key(20, 0x0c);
    const char msg[] = "Test With Truncation";
    hmac_sha256(key.data(), key.size(), msg, sizeof msg - 1, mac);
    bad += hex_bytes(mac, 16) != "a3b6167473100ee06e0c796c2955552b";
    CHECK_MSG(cases == 6 && bad == 0, "RFC 4231 HMAC-SHA-256 cases 1-7");
}

// RFC 6979 A.2.5: the key, its public point, and for each message the
// nonce and signature published there (s as published or n - s, whichever
// is the low one).
void test_rfc6979_examples() {
    const U256 d = h("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
    U256 ux, uy;
    CHECK(mul_base_ct(d, ux, uy));
    CHECK(eq(ux, h("60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6")) &&
          eq(uy, h("7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299")));
    const struct {
        const char *msg, *k, *r, *s;
    } kExamples[] = {
        {"sample", "a6e3c57dd01abe90086538398355dd4c3b17aa873382b0f24d6129493d8aad60",
         "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716",
         "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"},
        {"test", "d16b6ae827f17175e040871a1c7ec3500192c4c92677336ec2537acaee0008e0",
         "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367",
         "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"},
    };
    for (const auto& ex : kExamples) {
        std::uint8_t digest[32];
        sha256(ex.msg, std::strlen(ex.msg), digest);
        CHECK(eq(rfc6979_nonce_ct(d, reduce_mod_n_ct(load_be(digest))), h(ex.k)));
        U256 r, s, published_s = h(ex.s), other_s;
        sub(kN, published_s, other_s);
        CHECK(ecdsa_sign_message_ct(ex.msg, std::strlen(ex.msg), d, r, s) == SignStatus::ok);
        CHECK(eq(r, h(ex.r)) && eq(s, compare(published_s, kHalfN) <= 0 ? published_s : other_s));
    }
}

}  // namespace

void run_sha_tests(const char* vector_dir) {
    test_nist_messages(vector_dir);
    test_nist_monte(vector_dir);
    test_rfc4231(vector_dir);
    test_rfc6979_examples();
}
