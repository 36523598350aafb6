#include "support/fatal.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "platform/file.h"
#include "support/settings.h"
#include "platform/window.h"

#include <thread>

namespace {

using testing_support::DeviceTest;
using testing_support::ReadHostFile;

TEST(FatalError, ShowsCaptionAndWordsAndExitsWithFailure) {
    EXPECT_EXIT(tallymere::FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::AddID"), ::testing::ExitedWithCode(1),
                "^xEntryID::AddID: MAX_ENTRYID exeed\\.\n$");
}

// The platform's reason for its last failing call is the second line; a later call that works
// leaves none behind.
TEST_F(DeviceTest, AFailureSaysWhyWhenThePlatformKnows) {
    EXPECT_FALSE(platform::File::Open(u"\\No\\Such\\file", u"rb"));
    const std::string missing = Host("No/Such/file").string();
    EXPECT_EXIT(tallymere::FatalError(u"_wfopen failed.", u"xEntryID::Load"), ::testing::ExitedWithCode(1),
                "^xEntryID::Load: _wfopen failed\\.\n" + missing + ": No such file or directory\n$");
    ASSERT_TRUE(platform::File::Open(u"\\present", u"wb"));
    EXPECT_EXIT(tallymere::FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::AddID"), ::testing::ExitedWithCode(1),
                "^xEntryID::AddID: MAX_ENTRYID exeed\\.\n$");
}

TEST_F(DeviceTest, LogAppendsLinesToTheCurrentOutputDirectory) {
    std::filesystem::create_directories(Host("A"));
    std::filesystem::create_directories(Host("B"));
    tallymere::SetRegistryStr(u"OutputDir", u"\\A");
    tallymere::WriteLog(u"\\A\\first");
    tallymere::WriteLog(u"second Zoë");
    tallymere::SetRegistryStr(u"OutputDir", u"\\B");
    tallymere::WriteLog(u"third");
    EXPECT_EQ(ReadHostFile(Host("A/tallymere.log")), "\\A\\first\nsecond Zo\xC3\xAB\n");
    EXPECT_EQ(ReadHostFile(Host("B/tallymere.log")), "third\n");
}

TEST_F(DeviceTest, LogToAMissingDirectoryIsLostQuietly) {
    tallymere::SetRegistryStr(u"OutputDir", u"\\Gone");
    tallymere::WriteLog(u"lost");
    EXPECT_FALSE(std::filesystem::exists(Host("Gone")));
}

}  // namespace

namespace {

TEST(FatalError, EndsTheProcessWhileAnotherThreadWaitsOnTheWindow) {
    // The automatic mode's shape: a notification thread waits in a send while the command it
    // sent fails on the window's thread. The process must end with status 1, not hang.
    EXPECT_EXIT(
        {
            platform::ui::HWND window =
                platform::ui::CreateWindowW([](platform::ui::HWND, std::uint32_t message, platform::ui::WPARAM,
                                               platform::ui::LPARAM) -> platform::ui::LRESULT {
                    if (message == platform::ui::WM_COMMAND)
                        tallymere::FatalError(u"MyCreateFile failed.", u"xExport::ExportOne");
                    return 0;
                });
            std::thread sender([window] { platform::ui::SendMessageW(window, platform::ui::WM_COMMAND, 40096, 0); });
            sender.detach();
            window->RunMessageLoop();
        },
        ::testing::ExitedWithCode(1), "xExport::ExportOne: MyCreateFile failed\\.");
}

}  // namespace
