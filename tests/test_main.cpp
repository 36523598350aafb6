#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Fatal failures end the process; death tests run them in a forked child, which shares the
    // parent's temporary device folder so that the test can look at what the child left behind.
    // A test that runs threads of its own switches to "threadsafe" for itself.
    GTEST_FLAG_SET(death_test_style, "fast");
    return RUN_ALL_TESTS();
}
