// Runs every test group and prints the totals.
#include <cstdio>

#include "testing.h"

void run_arith_tests();
void run_group_tests();
void run_api_tests();
bool run_vector_tests(const char* path);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: %s VECTORS_FILE\n", argv[0]);
        return 2;
    }
    const struct {
        const char* name;
        void (*run)();
    } groups[] = {{"arith", run_arith_tests}, {"group", run_group_tests}, {"api", run_api_tests}};
    for (const auto& g : groups) {
        const int before = testing::counters().failed;
        g.run();
        std::printf("group %-8s %s\n", g.name, testing::counters().failed == before ? "ok" : "FAILED");
    }
    const int before = testing::counters().failed;
    run_vector_tests(argv[1]);
    std::printf("group %-8s %s\n", "vectors", testing::counters().failed == before ? "ok" : "FAILED");
    std::printf("%d passed, %d failed\n", testing::counters().passed, testing::counters().failed);
    return testing::counters().failed == 0 ? 0 : 1;
}
