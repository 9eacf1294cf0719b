// Runs every test group and prints the totals: the arithmetic groups once
// per variant of the arithmetic, the hashing groups once per SHA-256
// implementation, each that this CPU runs.
#include <cstdio>
#include <string>

#include "../sha256.h"
#include "../variant.h"
#include "testing.h"

void run_sha_tests(const char* vector_dir);
bool run_vector_tests(const char* path, testing::VectorSet set);

// The groups that test the internals, compiled once per variant.
#define P256_VARIANT_TESTS(ns) \
    namespace p256::ns {       \
    void run_arith_tests();    \
    void run_group_tests();    \
    void run_api_tests();      \
    }
#if P256_WITH_GENERIC
P256_VARIANT_TESTS(generic)
#endif
#if P256_WITH_BMI2_ADX
P256_VARIANT_TESTS(bmi2_adx)
#endif

namespace {

struct VariantTests {
    const p256::Variant* variant;
    void (*arith)();
    void (*group)();
    void (*api)();
};

constexpr VariantTests kVariantTests[] = {
#if P256_WITH_GENERIC
    {&p256::generic::kVariant, p256::generic::run_arith_tests, p256::generic::run_group_tests,
     p256::generic::run_api_tests},
#endif
#if P256_WITH_BMI2_ADX
    {&p256::bmi2_adx::kVariant, p256::bmi2_adx::run_arith_tests, p256::bmi2_adx::run_group_tests,
     p256::bmi2_adx::run_api_tests},
#endif
};

bool group(const char* name, const char* variant, auto run) {
    const int before = testing::counters().failed;
    run();
    const bool ok = testing::counters().failed == before;
    std::printf("group %-8s %-8s %s\n", name, variant, ok ? "ok" : "FAILED");
    return ok;
}

// implementation() names the forced variant and SHA-256 implementation.
void check_implementation_name() {
    namespace v = p256::variant_detail;
    const std::string want = std::string(v::chosen().name) + "+" + p256::sha256_implementation();
    CHECK(want == p256::implementation());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: %s VECTORS_FILE SHA256_VECTOR_DIR\n", argv[0]);
        return 2;
    }
    const char* vectors = argv[1];
    const char* sha_dir = argv[2];
    if (!p256::cpu_supported()) {
        std::printf("FAILED: no arithmetic variant of this build runs on this CPU (BMI2 and ADX missing)\n");
        return 1;
    }
    std::printf("implementation chosen for this CPU: %s\n", p256::implementation());
    check_implementation_name();
    namespace var = p256::variant_detail;
    const p256::Variant& start = var::chosen();
    for (const VariantTests& t : kVariantTests) {
        if (!var::runs_here(*t.variant)) {
            std::printf("arithmetic %s: not run (this CPU lacks BMI2 or ADX)\n", t.variant->name);
            continue;
        }
        var::force(*t.variant);
        CHECK(std::string(p256::implementation()).starts_with(std::string(t.variant->name) + "+"));
        group("arith", t.variant->name, t.arith);
        group("group", t.variant->name, t.group);
        group("api", t.variant->name, t.api);
        group("vectors", t.variant->name, [&] { run_vector_tests(vectors, testing::VectorSet::curve); });
    }
    var::force(start);
    using namespace p256::sha256_detail;
    const Impl start_sha = chosen();
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
    force(start_sha);
    std::printf("%d passed, %d failed\n", testing::counters().passed, testing::counters().failed);
    return testing::counters().failed == 0 ? 0 : 1;
}
