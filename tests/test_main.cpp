#include <gtest/gtest.h>

#include "platform/faults.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Fatal failures end the process; death tests run them in a forked child, which shares the
    // parent's temporary device folder so that the test can look at what the child left behind.
    // A test that runs threads of its own switches to "threadsafe" for itself.
    GTEST_FLAG_SET(death_test_style, "fast");
    // Opens made to fail on purpose are retried without the real pauses; the tests of the retry
    // itself switch them back on.
    platform::faults::SetQuickRetries(true);
    return RUN_ALL_TESTS();
}
