#include "archive/archive_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "archive/backup.h"
#include "archive/record.h"
#include "archive_fixture.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::IdOf;
using archive_testing::TextMessage;
using tallymere::ArchiveProblem;
using tallymere::ArchiveReport;
using tallymere::CheckArchive;
using tallymere::qMsg;
using tallymere::xEntryID;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

constexpr std::size_t kRecordSize = 212;  // of a TextMessage

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

class ArchiveCheckTest : public ArchiveTest {
protected:
    void Archive(const std::vector<qMsg>& messages, tallymere::BackupMode mode = tallymere::BackupMode::Full) {
        tallymere::BeginBackup(mode);
        for (const qMsg& m : messages) tallymere::BackupMessage(m);
        tallymere::EndBackup();
    }
    ArchiveReport Check() { return CheckArchive(u"\\Out\\Tallymere"); }
    static const ArchiveProblem* Find(const ArchiveReport& report, ArchiveProblem::Kind kind, std::uint32_t entry) {
        auto it = std::find_if(report.problems.begin(), report.problems.end(),
                               [&](const ArchiveProblem& p) { return p.kind == kind && p.entry == entry; });
        return it == report.problems.end() ? nullptr : &*it;
    }
};

TEST_F(ArchiveCheckTest, ASoundArchiveIsCountedAndFoundSound) {
    Archive({TextMessage(1), TextMessage(2), TextMessage(3, u"SMS/Sent Items")});
    Archive({TextMessage(1), TextMessage(3, u"SMS/Sent Items")});  // 2 is gone
    const ArchiveReport report = Check();
    EXPECT_TRUE(report.Sound());
    EXPECT_EQ(report.entries, 3u);
    EXPECT_EQ(report.present, 2u);
    EXPECT_EQ(report.absent, 1u);
    EXPECT_EQ(report.records, 3u);
    EXPECT_EQ(report.dataBytes, 3 * kRecordSize);
    EXPECT_EQ(report.unindexedBytes, 0u);
    EXPECT_EQ(report.folders, 2u);
}

TEST_F(ArchiveCheckTest, AMissingArchiveIsEmptyAndNothingIsCreated) {
    const ArchiveReport report = Check();
    EXPECT_TRUE(report.Sound());
    EXPECT_FALSE(report.indexFound || report.dataFound || report.foldersFound);
    EXPECT_EQ(report.entries + report.records + report.folders, 0u);
    EXPECT_FALSE(std::filesystem::exists(Data()));
    EXPECT_FALSE(std::filesystem::exists(Index()));
    EXPECT_FALSE(std::filesystem::exists(Folders()));
}

TEST_F(ArchiveCheckTest, TheCheckChangesNothing) {
    Archive({TextMessage(1), TextMessage(2)});
    std::filesystem::resize_file(Data(), kRecordSize + 10);  // damaged: still nothing changes
    const std::string data = ReadHostFile(Data()), index = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    const auto stamp = std::filesystem::last_write_time(Index());
    EXPECT_FALSE(Check().Sound());
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), index);
    EXPECT_EQ(ReadHostFile(Folders()), folders);
    EXPECT_EQ(std::filesystem::last_write_time(Index()), stamp);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Host("Out/Tallymere")), {}), 3);
}

TEST_F(ArchiveCheckTest, EveryKindOfRecordDamageIsReported) {
    // Eight messages; records 1 to 6 get one damage each, 0 and 7 stay sound.
    std::vector<qMsg> messages;
    for (std::uint32_t n = 0; n < 8; ++n) messages.push_back(TextMessage(n, n == 7 ? u"SMS/Drafts" : u"SMS/Inbox"));
    Archive(messages);
    std::string data = ReadHostFile(Data());
    const auto at = [](std::size_t record, std::size_t field) { return record * kRecordSize + field; };
    Put32(data, at(1, 0), 16);      // identifier size
    Put32(data, at(2, 144), 4000);  // recipients: more than the file could hold
    Put32(data, at(3, 208), 99);    // attachments
    Put32(data, at(4, 24), 5);      // folder number without a line
    data[at(5, 10)] ^= 0x01;        // identifier differs from the entry
    WriteHostFile(Data(), data);
    std::filesystem::resize_file(Data(), 8 * kRecordSize - 3);  // record 7 cut short
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        index.offsets[6] = 0x10000;  // past the end
    }
    const ArchiveReport report = Check();
    EXPECT_FALSE(report.Sound());
    EXPECT_EQ(report.records, 3u) << "records 0, 4 and 5 read";
    const ArchiveProblem* p = Find(report, ArchiveProblem::kIdentifierSize, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->value, 16u);
    EXPECT_EQ(p->offset, kRecordSize);
    ASSERT_NE(Find(report, ArchiveProblem::kCutShort, 2), nullptr) << "4000 recipients run past the end";
    ASSERT_NE(Find(report, ArchiveProblem::kCutShort, 3), nullptr) << "99 attachments run past the end";
    ASSERT_NE(Find(report, ArchiveProblem::kNoFolderLine, 4), nullptr);
    EXPECT_EQ(Find(report, ArchiveProblem::kNoFolderLine, 4)->value, 5u);
    ASSERT_NE(Find(report, ArchiveProblem::kIdentifierDiffers, 5), nullptr);
    ASSERT_NE(Find(report, ArchiveProblem::kOffsetPastEnd, 6), nullptr);
    ASSERT_NE(Find(report, ArchiveProblem::kCutShort, 7), nullptr);
    EXPECT_EQ(report.problems.size(), 7u);
    EXPECT_EQ(report.unindexedBytes, report.dataBytes - 3 * kRecordSize);
}

TEST_F(ArchiveCheckTest, OverlapsSharedRecordsAndDuplicateIdentifiersAreReported) {
    // Message 1's body holds a whole record of message 2: an entry naming that spot reads a
    // record that overlaps message 1's.
    qMsg outer = TextMessage(1);
    std::vector<std::uint8_t> inner;
    tallymere::EncodeRecord(TextMessage(2), 0, inner);
    outer.SetBody(inner.data(), static_cast<std::uint32_t>(inner.size()));
    Archive({outer, TextMessage(3)});
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        const auto two = IdOf(2), three = IdOf(3);
        index.AddID(20, two.data(), 200);                 // entry 2: inside entry 0's record
        index.AddID(20, three.data(), index.offsets[1]);  // entry 3: entry 1's identifier and record
        index.flags[0] = 7;
    }
    const ArchiveReport report = Check();
    const ArchiveProblem* overlap = Find(report, ArchiveProblem::kOverlap, 2);
    ASSERT_NE(overlap, nullptr);
    EXPECT_EQ(overlap->other, 0u);
    EXPECT_EQ(overlap->offset, 200u);
    const ArchiveProblem* shared = Find(report, ArchiveProblem::kSharedRecord, 3);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->other, 1u);
    const ArchiveProblem* duplicate = Find(report, ArchiveProblem::kDuplicateIdentifier, 3);
    ASSERT_NE(duplicate, nullptr);
    EXPECT_EQ(duplicate->other, 1u);
    const ArchiveProblem* flag = Find(report, ArchiveProblem::kFlagValue, 0);
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(flag->value, 7u);
    EXPECT_EQ(report.problems.size(), 4u);
    EXPECT_EQ(report.present, 3u);
    EXPECT_EQ(report.absent, 1u);
    EXPECT_EQ(report.records, 3u);
}

TEST_F(ArchiveCheckTest, DamagedListsAreReported) {
    Archive({TextMessage(1)});
    WriteHostFile(Index(), ReadHostFile(Index()) + "12345");
    std::string folders;
    for (int i = 0; i < 1001; ++i) folders += "F" + std::to_string(i) + "\n";
    WriteHostFile(Folders(), "SMS/Inbox\n" + folders + "SMS/Unfinish");
    const ArchiveReport report = Check();
    EXPECT_EQ(report.entries, 1u);
    EXPECT_EQ(report.folders, 1002u) << "more than a thousand folders are sound";
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.problems[0].kind, ArchiveProblem::kFoldersTail);
    EXPECT_EQ(report.problems[0].value, 12u);
    EXPECT_EQ(report.problems[1].kind, ArchiveProblem::kIndexTrailingBytes);
    EXPECT_EQ(report.problems[1].value, 5u);
}

TEST_F(ArchiveCheckTest, ASingleTrailingByteOfTheIndexIsReported) {
    Archive({TextMessage(1), TextMessage(2)});
    WriteHostFile(Index(), ReadHostFile(Index()) + "x");
    const ArchiveReport report = Check();
    EXPECT_EQ(report.entries, 2u);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].kind, ArchiveProblem::kIndexTrailingBytes);
    EXPECT_EQ(report.problems[0].value, 1u);
}

TEST_F(ArchiveCheckTest, BytesOfAnUnfinishedPassAreCountedButSound) {
    Archive({TextMessage(1)});
    WriteHostFile(Data(), ReadHostFile(Data()) + std::string(100, 'x'));
    const ArchiveReport report = Check();
    EXPECT_TRUE(report.Sound());
    EXPECT_EQ(report.unindexedBytes, 100u);
}

}  // namespace
