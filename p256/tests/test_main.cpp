// Runs every test group and prints the totals. The hashing groups run once
// per SHA-256 implementation that this CPU has.
#include <cstdio>

#include "../sha256.h"
#include "testing.h"

void run_arith_tests();
void run_group_tests();
void run_api_tests();
void run_sha_tests(const char* vector_dir);
bool run_vector_tests(const char* path, testing::VectorSet set);

namespace {

bool group(const char* name, const char* variant, auto run) {
    const int before = testing::counters().failed;
    run();
    const bool ok = testing::counters().failed == before;
    std::printf("group %-8s %-8s %s\n", name, variant, ok ? "ok" : "FAILED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: %s VECTORS_FILE SHA256_VECTOR_DIR\n", argv[0]);
        return 2;
    }
    const char* vectors = argv[1];
    const char* sha_dir = argv[2];
    group("arith", "", run_arith_tests);
    group("group", "", run_group_tests);
    group("api", "", run_api_tests);
    group("vectors", "", [&] { run_vector_tests(vectors, testing::VectorSet::curve); });
    using namespace p256::sha256_detail;
    const Impl start = chosen();
    for (const Impl impl : kImpls) {
        if (!runs_here(impl)) {
            std::printf("sha256 %s: not run (not built in, or this CPU lacks it)\n", name(impl));
            continue;
        }
        force(impl);
        CHECK(std::string(p256::sha256_implementation()) == name(impl));
        group("sha", name(impl), [&] { run_sha_tests(sha_dir); });
        group("hashvec", name(impl), [&] { run_vector_tests(vectors, testing::VectorSet::hashing); });
    }
    force(start);
    std::printf("%d passed, %d failed\n", testing::counters().passed, testing::counters().failed);
    return testing::counters().failed == 0 ? 0 : 1;
}
