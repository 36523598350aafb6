#include "shell/output_dir.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
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

TEST_F(OutputDirTest, MissingParentIsFatalAfterTheValueIsStored) {
    EXPECT_EXIT(tallymere::ChangeOutputDir(u"\\No\\Such"), ::testing::ExitedWithCode(1),
                "MyCreateDir: CreateDirectoryW failed\\.");
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\No\\Such");
    EXPECT_EQ(ReadHostFile(Host("Program Files/Tallymere/Tallymere/Messages.ndx")), "Messages.ndx");
}

}  // namespace
