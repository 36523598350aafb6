#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

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
    // The user's own configuration (a "Start at login" entry) stays out of what the tests see
    // and change: the programs they start inherit a configuration folder of their own.
    std::string config = (std::filesystem::temp_directory_path() / "tallymere-config-XXXXXX").string();
    if (!::mkdtemp(config.data())) return 1;
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(config, ec);
    return result;
}
