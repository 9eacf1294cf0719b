// Known-answer and differential vectors written by gen_vectors.py (Python
// integers, cross-checked there against the cryptography package), and the
// Wycheproof ECDSA P-256/SHA-256 (P1363) verification cases.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "reference.h"

using namespace p256;
using testing::eq;

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

}  // namespace

// Returns false when the file cannot be read.
bool run_vector_tests(const char* path) {
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
        bool ok = true;
        if (kind == "base" && t.size() == 4) {
            // base k x y: k G, affine
            U256 x, y;
            mul_base_ct(hx(t[1]), x, y);
            ok = eq(x, hx(t[2])) && eq(y, hx(t[3]));
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
    std::printf("  wycheproof: %d rejected by the caller's length/range rules\n", wy_filtered);
    for (const std::string& a : acceptable) std::printf("  wycheproof acceptable %s\n", a.c_str());
    return true;
}
