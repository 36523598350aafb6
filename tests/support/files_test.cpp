#include "support/files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device_fixture.h"
#include "platform/faults.h"
#include "support/settings.h"

namespace {

using testing_support::DeviceTest;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(JoinPath, SkipsEmptyPartsButKeepsAnEmptyRoot) {
    EXPECT_EQ(tallymere::JoinPath(u"\\Out", u"Tallyport", u"SMS\\Inbox"), u"\\Out\\Tallyport\\SMS\\Inbox");
    EXPECT_EQ(tallymere::JoinPath(u"\\Out", u"", u""), u"\\Out");
    EXPECT_EQ(tallymere::JoinPath(u"", u"Tallymere", u""), u"\\Tallymere");
}

TEST_F(DeviceTest, CreateFileOpensRootPlusNameWithoutDirectories) {
    auto f = tallymere::MyCreateFile(u"\\Out", u"", u"", u"x.bin", u"wb");
    EXPECT_EQ(f, nullptr) << "the parent does not exist yet";
    std::filesystem::create_directory(Host("Out"));
    f = tallymere::MyCreateFile(u"\\Out", u"", u"", u"x.bin", u"wb");
    ASSERT_NE(f, nullptr);
    f->Write("z", 1);
    f.reset();
    EXPECT_EQ(ReadHostFile(Host("Out/x.bin")), "z");
}

// The retry's real pauses, for the tests of its timing.
struct RealRetryPauses {
    RealRetryPauses() { platform::faults::SetQuickRetries(false); }
    ~RealRetryPauses() { platform::faults::SetQuickRetries(true); }
};

TEST_F(DeviceTest, CreateFileRetriesUntilTheFileBecomesAvailable) {
    RealRetryPauses real;
    // The directory appears a second into the retries: the open that follows succeeds.
    std::thread maker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        std::filesystem::create_directory(Host("Late"));
    });
    const auto start = Clock::now();
    auto f = tallymere::MyCreateFile(u"", u"Late", u"", u"f.txt", u"a");
    const long elapsed = MillisecondsSince(start);
    maker.join();
    ASSERT_NE(f, nullptr);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 2900);
}

TEST_F(DeviceTest, CreateFileGivesUpAfterSevenAttemptsOverThreeSeconds) {
    RealRetryPauses real;
    platform::faults::Plan("_wfopen", 1, true);
    const auto start = Clock::now();
    auto f = tallymere::MyCreateFile(u"", u"", u"", u"never.txt", u"w");
    const long elapsed = MillisecondsSince(start);
    EXPECT_EQ(f, nullptr);
    EXPECT_GE(elapsed, 2950);
    EXPECT_LT(elapsed, 4500);
}

TEST_F(DeviceTest, CreateFileMakesExactlySevenAttempts) {
    // Attempts 1 to 6 fail and the 7th succeeds: the last retry still counts.
    platform::faults::Plan("_wfopen", 1);
    for (int i = 2; i <= 6; ++i) platform::faults::Plan("_wfopen", i);
    EXPECT_NE(tallymere::MyCreateFile(u"", u"", u"", u"seventh.txt", u"w"), nullptr);
    platform::faults::Reset();
    for (int i = 1; i <= 7; ++i) platform::faults::Plan("_wfopen", i);
    EXPECT_EQ(tallymere::MyCreateFile(u"", u"", u"", u"eighth.txt", u"w"), nullptr);
}

TEST_F(DeviceTest, CreateDirAcceptsAnExistingDirectoryQuietly) {
    tallymere::MyCreateDir(u"", u"Out", u"");
    tallymere::MyCreateDir(u"", u"Out", u"");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Out")));
    EXPECT_FALSE(std::filesystem::exists(Host("tallymere.log")));
}

TEST_F(DeviceTest, CreateDirUnderAMissingParentLogsThePathAndEnds) {
    tallymere::SetRegistryStr(u"OutputDir", u"");
    EXPECT_EXIT(tallymere::MyCreateDir(u"\\Missing", u"Tallymere", u""), ::testing::ExitedWithCode(1),
                "MyCreateDir: CreateDirectoryW failed\\.");
    EXPECT_EQ(ReadHostFile(Host("tallymere.log")), "\\Missing\\Tallymere\n");
}

TEST_F(DeviceTest, CreateDirUnderARegularFileEnds) {
    tallymere::SetRegistryStr(u"OutputDir", u"");
    WriteHostFile(Host("plain"), "not a folder");
    EXPECT_EXIT(tallymere::MyCreateDir(u"\\plain", u"Tallyport", u""), ::testing::ExitedWithCode(1),
                "CreateDirectoryW failed\\.");
    EXPECT_EQ(ReadHostFile(Host("tallymere.log")), "\\plain\\Tallyport\n");
}

TEST_F(DeviceTest, CountTextFilesCountsMatchingEntries) {
    EXPECT_EQ(tallymere::CountTextFiles(u"", u"Tallyport", u"SMS"), 0u);
    WriteHostFile(Host("Tallyport/SMS/001_a.txt"), "");
    WriteHostFile(Host("Tallyport/SMS/002_b.TXT"), "");
    WriteHostFile(Host("Tallyport/SMS/002_photo.jpg"), "");
    std::filesystem::create_directory(Host("Tallyport/SMS/dir.txt"));
    EXPECT_EQ(tallymere::CountTextFiles(u"", u"Tallyport", u"SMS"), 3u);
}

TEST_F(DeviceTest, ReplacementFileKeepsTheOldContentUntilCommitted) {
    WriteHostFile(Host("index"), "old");
    {
        tallymere::ReplacementFile out(u"\\index");
        ASSERT_TRUE(out.IsOpen());
        out.Stream().Write("new", 3);
        EXPECT_EQ(ReadHostFile(Host("index")), "old");
    }
    EXPECT_EQ(ReadHostFile(Host("index")), "old") << "abandoned without commit";
    EXPECT_FALSE(std::filesystem::exists(Host("index.new")));
    tallymere::ReplacementFile out(u"\\index");
    out.Stream().Write("new", 3);
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(ReadHostFile(Host("index")), "new");
    EXPECT_FALSE(std::filesystem::exists(Host("index.new")));
}

}  // namespace
