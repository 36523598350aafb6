#include "shell/output_dir.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "platform/faults.h"
#include "support/settings.h"

namespace {

using testing_support::DeviceTest;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

class OutputDirTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        tallymere::ApplyStartupDefaults();
        for (const char* f : {"Folders.dat", "Messages.dat", "Messages.ndx"}) {
            WriteHostFile(Host(std::string("Program Files/Tallymere/Tallymere/") + f), f);
        }
    }
};

TEST_F(OutputDirTest, ArchiveMovesToTheNewDirectoryWithoutItsTrailingBackslash) {
    tallymere::ChangeOutputDir(u"\\Card\\");
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Card");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Card/Tallyport")));
    for (const char* f : {"Folders.dat", "Messages.dat", "Messages.ndx"}) {
        EXPECT_EQ(ReadHostFile(Host(std::string("Card/Tallymere/") + f)), f);
        EXPECT_FALSE(std::filesystem::exists(Host(std::string("Program Files/Tallymere/Tallymere/") + f)));
    }
}

TEST_F(OutputDirTest, OnlyOneTrailingBackslashGoes) {
    tallymere::ChangeOutputDir(u"\\Card\\\\");
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Card\\");
    // The device collapses the doubled separator in the joined paths.
    EXPECT_EQ(ReadHostFile(Host("Card/Tallymere/Messages.ndx")), "Messages.ndx");
}

TEST_F(OutputDirTest, ExistingDestinationsAndMissingFilesStayPut) {
    WriteHostFile(Host("Card/Tallymere/Messages.dat"), "newer");
    std::filesystem::remove(Host("Program Files/Tallymere/Tallymere/Folders.dat"));
    tallymere::ChangeOutputDir(u"\\Card");
    EXPECT_EQ(ReadHostFile(Host("Card/Tallymere/Messages.dat")), "newer");
    EXPECT_EQ(ReadHostFile(Host("Program Files/Tallymere/Tallymere/Messages.dat")), "Messages.dat");
    EXPECT_EQ(ReadHostFile(Host("Card/Tallymere/Messages.ndx")), "Messages.ndx");
    EXPECT_FALSE(std::filesystem::exists(Host("Card/Tallymere/Folders.dat")));
}

TEST_F(OutputDirTest, UnchangedDirectoryChangesNothing) {
    tallymere::ChangeOutputDir(u"\\Program Files\\Tallymere");
    EXPECT_EQ(ReadHostFile(Host("Program Files/Tallymere/Tallymere/Messages.ndx")), "Messages.ndx");
}

// Mended: the value was stored before its directory was made, so a typo (or a removed storage
// card) made every later start, the settings' included, end in "CreateDirectoryW failed.".
TEST_F(OutputDirTest, AnUnusableDirectoryIsRefusedWithItsReasonAndNothingIsStored) {
    WriteHostFile(Host("Card"), "a file, not a directory");
    const std::pair<const char16_t*, const char*> refused[] = {
        {u"\\No\\Such",
         "Tallymere Settings: Cannot use \\\\No\\\\Such as output directory: \\\\No does not exist\\.\n"},
        {u"\\Card", "Tallymere Settings: Cannot use \\\\Card as output directory: \\\\Card is a file\\.\n"},
        {u"\\Card\\Sub",
         "Tallymere Settings: Cannot use \\\\Card\\\\Sub as output directory: \\\\Card is not a directory\\.\n"},
        {u"\\a\\..",
         "Tallymere Settings: Cannot use \\\\a\\\\\\.\\. as output directory: it is not a valid directory name\\.\n"},
    };
    for (const auto& [dir, box] : refused) {
        EXPECT_EXIT(std::exit(tallymere::ChangeOutputDir(dir) ? 0 : 3), ::testing::ExitedWithCode(3), box);
        EXPECT_FALSE(tallymere::ChangeOutputDir(dir));
        EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Program Files\\Tallymere");
    }
    EXPECT_EQ(ReadHostFile(Host("Program Files/Tallymere/Tallymere/Messages.ndx")), "Messages.ndx");
    // A faulty medium: the directory is made, but takes no files.
    platform::faults::Plan("_wfopen", 1);
    EXPECT_FALSE(tallymere::ChangeOutputDir(u"\\Other"));
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Program Files\\Tallymere");
}

// Mended: an empty directory (or "\\" alone) moved the archive to the device's root without
// keeping the value, so the next start-up defaulted it again and looked for the archive where it
// was not.
TEST_F(OutputDirTest, AnEmptyDirectoryIsRefusedAndNothingMoves) {
    for (const char16_t* dir : {u"", u"\\"}) {
        EXPECT_EXIT(std::exit(tallymere::ChangeOutputDir(dir) ? 0 : 3), ::testing::ExitedWithCode(3),
                    "^Tallymere Settings: Output directory must not be empty\\.\n$");
        EXPECT_FALSE(tallymere::ChangeOutputDir(dir));
        EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Program Files\\Tallymere");
        EXPECT_EQ(ReadHostFile(Host("Program Files/Tallymere/Tallymere/Messages.dat")), "Messages.dat");
        EXPECT_FALSE(std::filesystem::exists(Host("Tallymere")));
    }
}

TEST_F(OutputDirTest, AStartWithAnUnusableDirectorySaysWhichAndHowToChangeIt) {
    tallymere::SetRegistryStr(u"OutputDir", u"\\Storage Card");
    EXPECT_EXIT(tallymere::ApplyStartupDefaults(), ::testing::ExitedWithCode(1),
                "^ApplyStartupDefaults: Cannot use \\\\Storage Card as output directory: \\\\Storage Card does not "
                "exist\\. Choose another one with: tallymere-cli settings --output-dir DIR\n$");
    EXPECT_FALSE(std::filesystem::exists(Host("Storage Card"))) << "a removed card is not made a directory";
    EXPECT_TRUE(tallymere::ChangeOutputDir(u"\\Storage Card"));
    tallymere::ApplyStartupDefaults();
    EXPECT_TRUE(std::filesystem::is_directory(Host("Storage Card/Tallyport")));
}

}  // namespace
