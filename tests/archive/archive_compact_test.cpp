// compact: the bytes of Messages.dat outside every indexed record removed, the index pointed at
// the records' new places, everything else as it was; the archive swapped whole.
#include "archive/archive_compact.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "archive/archive_check.h"
#include "archive/backup.h"
#include "archive/entry_id.h"
#include "archive_fixture.h"
#include "platform/faults.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::TextMessage;
using tallymere::CompactArchive;
using tallymere::CompactReport;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

constexpr std::size_t kRecordSize = 212;  // of a TextMessage

class ArchiveCompactTest : public ArchiveTest {
protected:
    // Four messages archived, with `gap` dead bytes before each record.
    void ArchiveWithGaps(const std::string& gap) {
        tallymere::BeginBackup(tallymere::BackupMode::Full);
        for (std::uint32_t n = 0; n < 4; ++n)
            tallymere::BackupMessage(TextMessage(n, n == 3 ? u"SMS/Sent" : u"SMS/Inbox"));
        tallymere::EndBackup();
        const std::string data = ReadHostFile(Data());
        std::string spaced, index = ReadHostFile(Index());
        for (std::size_t n = 0; n < 4; ++n) {
            spaced += gap;
            const std::uint32_t offset = static_cast<std::uint32_t>(spaced.size());
            spaced += data.substr(n * kRecordSize, kRecordSize);
            for (int b = 0; b < 4; ++b) index[n * 28 + 20 + b] = static_cast<char>((offset >> (8 * b)) & 0xFF);
        }
        WriteHostFile(Data(), spaced);
        WriteHostFile(Index(), index);
        compacted_ = data;
    }
    CompactReport Compact() { return CompactArchive(u"\\Out\\Tallymere"); }
    tallymere::ArchiveReport Check() { return tallymere::CheckArchive(u"\\Out\\Tallymere"); }
    std::string compacted_;
};

TEST_F(ArchiveCompactTest, DeadBytesGoAndTheIndexFollowsItsRecords) {
    ArchiveWithGaps("dead bytes, not a record");
    const std::string folders = ReadHostFile(Folders());
    const std::string index = ReadHostFile(Index());
    ASSERT_TRUE(Check().Sound());
    ASSERT_GT(Check().unindexedBytes, 0u);
    const CompactReport r = Compact();
    EXPECT_EQ(r.outcome, CompactReport::kCompacted);
    EXPECT_EQ(r.bytesAfter, 4 * kRecordSize);
    EXPECT_EQ(r.bytesBefore, r.bytesAfter + 4 * 24);
    EXPECT_EQ(ReadHostFile(Data()), compacted_);
    const std::string now = ReadHostFile(Index());
    ASSERT_EQ(now.size(), index.size());
    for (std::size_t n = 0; n < 4; ++n) {
        // Identifier and present-flag as they were; the offset where the record lies now.
        EXPECT_EQ(now.substr(n * 28, 20), index.substr(n * 28, 20));
        EXPECT_EQ(now.substr(n * 28 + 24, 4), index.substr(n * 28 + 24, 4));
        EXPECT_EQ(static_cast<unsigned char>(now[n * 28 + 20]) + 256u * static_cast<unsigned char>(now[n * 28 + 21]),
                  n * kRecordSize);
    }
    EXPECT_EQ(ReadHostFile(Folders()), folders);
    EXPECT_TRUE(Check().Sound());
    EXPECT_EQ(Check().unindexedBytes, 0u);
    EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallymere.compact")));
    // Nothing more to do the second time.
    EXPECT_EQ(Compact().outcome, CompactReport::kNothingToDo);
    EXPECT_EQ(ReadHostFile(Data()), compacted_);
}

TEST_F(ArchiveCompactTest, AnArchiveThatIsNotSoundOrHoldsOtherFilesIsLeftAsItIs) {
    ArchiveWithGaps("xx");
    const std::string data = ReadHostFile(Data());
    WriteHostFile(Host("Out/Tallymere/notes.txt"), "mine");
    CompactReport r = Compact();
    EXPECT_EQ(r.outcome, CompactReport::kForeignFiles);
    EXPECT_EQ(r.foreign, u"notes.txt");
    std::filesystem::remove(Host("Out/Tallymere/notes.txt"));
    // An intact record no entry names would be lost: check --repair comes first.
    WriteHostFile(Index(), ReadHostFile(Index()).substr(0, 3 * 28));
    EXPECT_EQ(Compact().outcome, CompactReport::kNotSound);
    EXPECT_EQ(ReadHostFile(Data()), data);
    std::filesystem::remove_all(Host("Out/Tallymere"));
    EXPECT_EQ(Compact().outcome, CompactReport::kNoArchive);
}

// Whatever step fails, the archive is either the old one or the new one, and a copy left
// beside it is removed by the next compaction.
TEST_F(ArchiveCompactTest, AFailureAtAnyStepLeavesTheOldArchive) {
    ArchiveWithGaps("gap");
    const std::string data = ReadHostFile(Data()), index = ReadHostFile(Index());
    for (const char* op : {"_wfopen", "fwrite", "fsync", "CreateDirectoryW", "ExchangePaths"}) {
        for (int nth = 1; nth <= 3; ++nth) {
            SCOPED_TRACE(std::string(op) + ":" + std::to_string(nth));
            EXPECT_EXIT(
                {
                    platform::faults::Plan(op, nth);
                    Compact();
                    // 1: a fatal failure; 7: compacted; 8: refused (a read failed in the check).
                    std::_Exit(Check().unindexedBytes == 0 ? 7 : 8);
                },
                [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }, "");
            if (ReadHostFile(Data()) == compacted_) {
                ArchiveWithGaps("gap");  // it went through: spaced out again for the next trial
            }
            EXPECT_EQ(ReadHostFile(Data()), data);
            EXPECT_EQ(ReadHostFile(Index()), index);
            EXPECT_TRUE(Check().Sound());
        }
    }
    EXPECT_EQ(Compact().outcome, CompactReport::kCompacted);
    EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallymere.compact")));
    EXPECT_EQ(ReadHostFile(Data()), compacted_);
}

}  // namespace
