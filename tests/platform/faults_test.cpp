#include "platform/faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

TEST(Faults, NthCallFailsOnceOrFromThereOn) {
    platform::faults::Reset();
    platform::faults::Plan("Op", 2);
    platform::faults::Plan("Later", 2, true);
    EXPECT_FALSE(platform::faults::Hit("Op"));
    EXPECT_TRUE(platform::faults::Hit("Op"));
    EXPECT_FALSE(platform::faults::Hit("Op"));
    EXPECT_FALSE(platform::faults::Hit("Other"));
    EXPECT_FALSE(platform::faults::Hit("Later"));
    EXPECT_TRUE(platform::faults::Hit("Later"));
    EXPECT_TRUE(platform::faults::Hit("Later"));
    platform::faults::Reset();
}

TEST(Faults, PlansComeFromTheEnvironment) {
    EXPECT_EXIT(
        {
            ::setenv("TALLYMERE_FAULTS", "GetHierarchyTable:1,fwrite:3,bad,:2,x:0", 1);
            platform::faults::Reset();
            bool ok = platform::faults::Hit("GetHierarchyTable") && !platform::faults::Hit("GetHierarchyTable") &&
                      !platform::faults::Hit("fwrite") && !platform::faults::Hit("fwrite") &&
                      platform::faults::Hit("fwrite") && !platform::faults::Hit("x");
            std::exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// "NAME~MS" slows every call of NAME and fails none; it does not disturb the other entries.
TEST(Faults, APacedOperationTakesLongerAndNeverFails) {
    EXPECT_EXIT(
        {
            ::setenv("TALLYMERE_FAULTS", "OpenEntry~30,OpenEntry:2,bad~x,~5", 1);
            platform::faults::Reset();
            const auto start = std::chrono::steady_clock::now();
            bool ok = !platform::faults::Hit("OpenEntry") && platform::faults::Hit("OpenEntry") &&
                      !platform::faults::Hit("OpenEntry");
            ok = ok && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(90);
            ok = ok && !platform::faults::Hit("bad") && !platform::faults::Hit("Other");
            std::exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Faults, QuickRetriesComeFromTheEnvironmentOrFromCode) {
    EXPECT_EXIT(
        {
            platform::faults::SetQuickRetries(false);
            ::setenv("TALLYMERE_FAULTS", "_wfopen:2", 1);
            platform::faults::Reset();
            const bool slow = !platform::faults::QuickRetries();
            ::setenv("TALLYMERE_FAULTS", "quick,_wfopen:2", 1);
            platform::faults::Reset();
            const bool quick = platform::faults::QuickRetries() && !platform::faults::Hit("_wfopen") &&
                               platform::faults::Hit("_wfopen");
            ::unsetenv("TALLYMERE_FAULTS");
            platform::faults::Reset();
            platform::faults::SetQuickRetries(true);
            platform::faults::Reset();
            std::exit(slow && quick && platform::faults::QuickRetries() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
