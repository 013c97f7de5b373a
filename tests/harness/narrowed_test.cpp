// Planted for the Wine test guard: one test passes, one fails. A run that the
// environment narrows (GTEST_FILTER, or GTEST_TOTAL_SHARDS with
// GTEST_SHARD_INDEX) to the passing one must still be failed: the guard runs
// every test of the program it is given.
#include <gtest/gtest.h>

#include <cstdio>

TEST(Narrowed, Passes) { SUCCEED(); }

TEST(Narrowed, FailsWhenRun) { ADD_FAILURE() << "planted failure, hidden from a narrowed run"; }

// Exits 0 whatever happened: the guard has only the report to go on.
int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    (void)failed;
    return 0;
}
