#include "archive/folder.h"

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "platform/faults.h"
#include "platform/text.h"

namespace {

using archive_testing::ArchiveTest;
using tallymere::xFolder;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

class FolderTest : public ArchiveTest {};

TEST_F(FolderTest, MissingFileGivesAnEmptyListAndAnEmptyFile) {
    {
        xFolder folders;
        EXPECT_EQ(folders.count, 0u);
        EXPECT_TRUE(std::filesystem::exists(Folders()));
    }
    EXPECT_EQ(ReadHostFile(Folders()), "");
}

TEST_F(FolderTest, NumbersAreLinesInOrderOfFirstAppearance) {
    {
        xFolder folders;
        EXPECT_EQ(folders.GetIndex(u"SMS/Inbox"), 0u);
        EXPECT_EQ(folders.GetIndex(u"SMS/Sent Items"), 1u);
        EXPECT_EQ(folders.GetIndex(u"SMS/inbox"), 2u) << "letter case matters";
        EXPECT_EQ(folders.GetIndex(u"SMS/Inbox"), 0u);
        EXPECT_EQ(folders.GetIndex(u"Ablage/Grüße \U0001F600"), 3u);
        EXPECT_EQ(folders.GetIndex(u""), 4u);
    }
    EXPECT_EQ(ReadHostFile(Folders()),
              "SMS/Inbox\nSMS/Sent Items\nSMS/inbox\nAblage/Gr\xC3\xBC\xC3\x9F"
              "e \xF0\x9F\x98\x80\n\n");
    xFolder again;
    ASSERT_EQ(again.count, 5u);
    EXPECT_EQ(again.names[3], u"Ablage/Grüße \U0001F600");
    EXPECT_EQ(again.GetIndex(u"SMS/inbox"), 2u);
    EXPECT_EQ(again.GetIndex(u"MMS/Inbox"), 5u) << "a new path gets the previous count";
}

TEST_F(FolderTest, LastLineWithoutLineFeedIsDroppedAndNotRewritten) {
    WriteHostFile(Folders(), "SMS/Inbox\nSMS/Drafts");
    {
        xFolder folders;
        EXPECT_EQ(folders.count, 1u);
    }
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox\n");
}

TEST_F(FolderTest, PathsKeepTheFormTheFileGivesBack) {
    // A line feed would split the line, U+FFFF would read back as the end of the file and a
    // lone surrogate cannot be written as UTF-8: each path still gets one stable number.
    const std::u16string feed = u"SMS/Two\nLines";
    const std::u16string lone = std::u16string(u"SMS/") + char16_t(0xD800);
    const std::u16string noChar = std::u16string(u"SMS/") + char16_t(0xFFFF) + u"/Later";
    {
        xFolder folders;
        EXPECT_EQ(folders.GetIndex(feed), 0u);
        EXPECT_EQ(folders.GetIndex(lone), 1u);
        EXPECT_EQ(folders.GetIndex(noChar), 2u);
        EXPECT_EQ(folders.GetIndex(u"SMS/Inbox"), 3u);
    }
    xFolder folders;
    ASSERT_EQ(folders.count, 4u);
    EXPECT_EQ(folders.names[0], u"SMS/Two Lines");
    EXPECT_EQ(folders.GetIndex(feed), 0u);
    EXPECT_EQ(folders.GetIndex(lone), 1u);
    EXPECT_EQ(folders.GetIndex(noChar), 2u);
    EXPECT_EQ(folders.GetIndex(u"SMS/Inbox"), 3u);
    EXPECT_EQ(folders.count, 4u);
}

TEST_F(FolderTest, NoControlCharacterIsWrittenIntoALine) {
    // So that a control character in the file can only be a damaged line feed (check --repair).
    {
        xFolder folders;
        EXPECT_EQ(folders.GetIndex(u"SMS/Vertical\vTab\tand\x01"), 0u);
    }
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Vertical Tab and \n");
}

TEST_F(FolderTest, LongPathsAreKeptWhole) {
    const std::u16string path(5000, u'x');
    {
        xFolder folders;
        folders.GetIndex(path);
    }
    xFolder folders;
    ASSERT_EQ(folders.count, 1u);
    EXPECT_EQ(folders.names[0], path);
}

TEST_F(FolderTest, TheListGrowsPastAThousandPathsWithStableNumbers) {
    // The list once stopped at 1000 folders: the next new folder ended every backup for good.
    std::string lines;
    for (int i = 0; i < 999; ++i) lines += "F" + std::to_string(i) + "\n";
    lines += "F5\n";  // a line held twice keeps its first number
    WriteHostFile(Folders(), lines);
    {
        xFolder folders;
        ASSERT_EQ(folders.count, 1000u);
        EXPECT_EQ(folders.GetIndex(u"F5"), 5u);
        EXPECT_EQ(folders.GetIndex(u"F999"), 1000u);
        EXPECT_EQ(folders.GetIndex(u"F999"), 1000u);
        for (int i = 1000; i < 1500; ++i) {
            EXPECT_EQ(folders.GetIndex(u"F" + platform::FromUtf8(std::to_string(i))),
                      static_cast<std::uint32_t>(i + 1));
        }
        EXPECT_EQ(folders.GetIndex(u"F998"), 998u);
        EXPECT_EQ(folders.GetIndex(u"F1200"), 1201u) << "after another path, the same path again";
    }
    xFolder folders;
    ASSERT_EQ(folders.count, 1501u);
    EXPECT_EQ(folders.names[1500], u"F1499");
    EXPECT_EQ(folders.GetIndex(u"F1499"), 1500u);
    EXPECT_EQ(folders.GetIndex(u"F5"), 5u);
}

TEST_F(FolderTest, APathGetsTheNumberOfItsStoredFormAlsoWhenItIsGivenAgainInAnotherForm) {
    // A line feed is stored as a space: the stored path and the path with the line feed are
    // one folder, whichever comes first and however often the two alternate.
    xFolder folders;
    const std::uint32_t a = folders.GetIndex(u"SMS/Two\nLines");
    EXPECT_EQ(folders.GetIndex(u"SMS/Two Lines"), a);
    EXPECT_EQ(folders.GetIndex(u"SMS/Two\nLines"), a);
    EXPECT_EQ(folders.count, 1u);
}

TEST_F(FolderTest, UnopenableFileEndsTheLoad) {
    platform::faults::Plan("_wfopen", 1, true);
    EXPECT_EXIT({ xFolder folders; }, ::testing::ExitedWithCode(1), "xFolder::Load: MyCreateFile failed\\.");
}

// Mended: the save truncated Folders.dat before writing it, so a program ended mid-save lost
// every folder name and no record could be restored to its folder afterwards.
TEST_F(FolderTest, AFailedOrKilledSaveLeavesTheOldFileIntact) {
    WriteHostFile(Folders(), "SMS/Inbox\nSMS/Sent Items\n");
    const std::string before = ReadHostFile(Folders());
    EXPECT_EXIT(
        {
            xFolder folders;
            folders.GetIndex(u"SMS/Drafts");
            platform::faults::Plan("fwrite", 1);
        },
        ::testing::ExitedWithCode(1), "xFolder::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Folders()), before);
    EXPECT_EXIT(
        {
            xFolder folders;
            folders.GetIndex(u"SMS/Drafts");
            platform::faults::Plan("_wfopen", 1, true);
        },
        ::testing::ExitedWithCode(1), "xFolder::Save: MyCreateFile failed\\.");
    EXPECT_EQ(ReadHostFile(Folders()), before);
    EXPECT_EXIT(
        {
            xFolder folders;
            folders.GetIndex(u"SMS/Drafts");
            platform::faults::Plan("fsync", 1);
        },
        ::testing::ExitedWithCode(1), "xFolder::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Folders()), before);
    // Ended after the new content is written, before it takes the old one's place.
    EXPECT_EXIT(
        {
            xFolder folders;
            folders.GetIndex(u"SMS/Drafts");
            platform::faults::Plan("MoveFileW", 1);
        },
        ::testing::ExitedWithCode(1), "xFolder::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Folders()), before);
    xFolder folders;
    EXPECT_EQ(folders.count, 2u);
}

// A new file that cannot be opened at once (another program holding it a moment) is tried
// again, as every file the program opens: six failed attempts still save the list, seven end it.
TEST_F(FolderTest, TheSaveRetriesItsOpenSevenTimes) {
    WriteHostFile(Folders(), "SMS/Inbox\n");
    {
        xFolder folders;
        platform::faults::Plan("_wfopen", 1);
        platform::faults::Plan("_wfopen", 2);
        platform::faults::Plan("_wfopen", 3);
        platform::faults::Plan("_wfopen", 4);
        platform::faults::Plan("_wfopen", 5);
        platform::faults::Plan("_wfopen", 6);
        EXPECT_EQ(folders.GetIndex(u"SMS/Drafts"), 1u);
    }
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox\nSMS/Drafts\n");
    platform::faults::Reset();
    EXPECT_EXIT(
        {
            xFolder folders;
            for (int call = 1; call <= 7; ++call) platform::faults::Plan("_wfopen", call);
            folders.GetIndex(u"SMS/Outbox");
        },
        ::testing::ExitedWithCode(1), "xFolder::Save: MyCreateFile failed\\.");
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox\nSMS/Drafts\n");
}

}  // namespace
