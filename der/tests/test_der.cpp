// Tests of the DER reader and writer over bytes, with the cases the readers
// document. Build and run: make -C der test
#include "../der.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int failures = 0, checks = 0;

#define CHECK(cond)                                                          \
    do {                                                                     \
        ++checks;                                                            \
        if (!(cond)) {                                                       \
            ++failures;                                                      \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond);      \
        }                                                                    \
    } while (0)

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::string hex_of(der::Bytes data) {
    std::string out;
    char buffer[3];
    for (std::uint8_t b : data) {
        std::snprintf(buffer, sizeof buffer, "%02x", b);
        out += buffer;
    }
    return out;
}

void test_read_tlv() {
    struct Case {
        const char* data;
        std::int64_t index;
        der::TlvError error;
        unsigned tag;
        const char* value;
        std::int64_t next;
    };
    const Case cases[] = {
        {"3003020101", 0, der::TlvError::none, 0x30, "020101", 5},
        {"3003020101", 2, der::TlvError::none, 0x02, "01", 5},
        {"3003020101", -3, der::TlvError::none, 0x02, "", 0},  // from the end, sliced [-1:0] as Python does
        {"0405aabb", 0, der::TlvError::none, 0x04, "aabb", 7},   // cut short; next past the end
        {"0480", 0, der::TlvError::none, 0x04, "", 2},           // indefinite form: length 0
        {"0481", 0, der::TlvError::none, 0x04, "", 3},           // long form, no length octet left
        {"048200 03aabbcc", 0, der::TlvError::none, 0x04, "aabbcc", 7},
        {"30", 0, der::TlvError::index_out_of_range, 0, "", 0},
        {"", 0, der::TlvError::index_out_of_range, 0, "", 0},
        {"3003020101", 5, der::TlvError::index_out_of_range, 0, "", 0},
        {"3003020101", -6, der::TlvError::index_out_of_range, 0, "", 0},
        {"04887fffffffffffffff", 0, der::TlvError::too_large, 0, "", 0},        // 2^63-1 past index 10
        {"0489010000000000000000", 0, der::TlvError::too_large, 0, "", 0},      // over 64 bits
        {"04890000000000000000ff", 0, der::TlvError::none, 0x04, "", 11 + 255},  // leading zeros accepted
    };
    for (const Case& c : cases) {
        std::string data = c.data;
        data.erase(std::remove(data.begin(), data.end(), ' '), data.end());
        const auto bytes = hex(data);
        der::Tlv tlv;
        const der::TlvError error = der::read_tlv(bytes, c.index, tlv);
        CHECK(error == c.error);
        if (error == der::TlvError::none && c.error == der::TlvError::none) {
            CHECK(tlv.tag == c.tag);
            CHECK(hex_of(tlv.value) == c.value);
            CHECK(tlv.next == c.next);
        }
    }
}

void test_length_octets() {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "00"}, {127, "7f"}, {128, "8180"}, {255, "81ff"}, {256, "820100"}, {65535, "82ffff"},
        {65536, "83010000"}, {~0ull, "88ffffffffffffffff"},
    };
    for (const auto& [length, want] : cases) {
        std::uint8_t out[9];
        CHECK(hex_of(der::Bytes(out, der::length_octets(length, out))) == want);
    }
}

void test_signature_to_raw64() {
    const std::string r1 = std::string(62, '0') + "01", r2 = std::string(62, '0') + "02";
    const std::string big = std::string(64, '7');
    struct Case {
        std::string der;
        der::SignatureError error;
        std::string raw;
    };
    const Case cases[] = {
        {"3006020101020102", der::SignatureError::none, r1 + r2},
        {"308106020101020102", der::SignatureError::none, r1 + r2},  // non-minimal long form
        {"30820006020101020102", der::SignatureError::none, r1 + r2},
        {"30060201010201", der::SignatureError::not_a_signature, ""},  // 7 bytes
        {"3106020101020102", der::SignatureError::not_a_signature, ""},
        {"3080020101020102", der::SignatureError::length, ""},
        {"30830000060201010201", der::SignatureError::length, ""},
        {"300602010102010200", der::SignatureError::sequence_length, ""},  // a trailing byte
        {"3006030101020102", der::SignatureError::integer_r, ""},
        {"3006020001020102", der::SignatureError::integer_r, ""},  // 02 00 for r
        {"300702010102000000", der::SignatureError::integer_s, ""},
        {"3006020101020002", der::SignatureError::integer_s, ""},
        {"3008020101030300000000", der::SignatureError::sequence_length, ""},
        // 33 octets with a leading zero: stripped; with a leading 01: too large.
        {"302602210000" + big.substr(2) + "020102", der::SignatureError::none, "00" + big.substr(2) + r2},
        {"3026022100" + big + "020102", der::SignatureError::none, big + r2},
        {"3026022101" + big + "020102", der::SignatureError::integer_too_large, ""},
        // Every leading zero goes, not only one.
        {"302702220000" + std::string("0000") + big.substr(4) + "020102", der::SignatureError::none,
         "0000" + big.substr(4) + r2},
        {"3006020100020100", der::SignatureError::none, std::string(128, '0')},  // zero passes the reader
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, 64> raw{};
        const der::SignatureError error = der::signature_to_raw64(hex(c.der), raw);
        CHECK(error == c.error);
        if (c.error == der::SignatureError::none) CHECK(hex_of(raw) == c.raw);
    }
    CHECK(std::string(der::message(der::SignatureError::integer_too_large)) == "ECDSA integer too large for P-256");
}

void test_subidentifier_bytes() {
    // 0x86 0x48 -> 840; ten groups of 0x7f -> 2^70 - 1; 1 and nine zero
    // groups -> 2^63 (in ceil(70 / 8) = 9 octets).
    CHECK(hex_of(der::subidentifier_bytes(hex("8648"))) == "0348");
    CHECK(hex_of(der::subidentifier_bytes(hex("ffffffffffffffffff7f"))) == "3f" + std::string(16, 'f'));
    CHECK(hex_of(der::subidentifier_bytes(hex("81808080808080808000"))) == "008000000000000000");
}

}  // namespace

int main() {
    test_read_tlv();
    test_length_octets();
    test_signature_to_raw64();
    test_subidentifier_bytes();
    std::printf("der: %d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}
