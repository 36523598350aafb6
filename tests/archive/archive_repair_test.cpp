// check --repair: the index rebuilt from the intact records, the folder list from damaged line
// feeds, Messages.dat never written.
#include "archive/archive_repair.h"

#include <gtest/gtest.h>

#include "archive/archive_check.h"
#include "archive/backup.h"
#include "archive_fixture.h"
#include "platform/faults.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::IdOf;
using archive_testing::TextMessage;
using tallymere::ArchiveProblem;
using tallymere::RepairArchive;
using tallymere::RepairReport;
using tallymere::xEntryID;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

constexpr std::size_t kRecordSize = 212;  // of a TextMessage

class ArchiveRepairTest : public ArchiveTest {
protected:
    // Six messages archived; a second full pass no longer meets message 2 (present-flag 0).
    void ArchiveSix() {
        for (std::uint32_t pass = 0; pass < 2; ++pass) {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            for (std::uint32_t n = 0; n < 6; ++n) {
                if (pass == 1 && n == 2) continue;
                tallymere::BackupMessage(TextMessage(n, n == 5 ? u"SMS/Sent Items" : u"SMS/Inbox"));
            }
            tallymere::EndBackup();
        }
    }
    RepairReport Repair() { return RepairArchive(u"\\Out\\Tallymere"); }
    tallymere::ArchiveReport Check() { return tallymere::CheckArchive(u"\\Out\\Tallymere"); }
    struct Entry {
        xEntryID::Id id;
        std::uint32_t offset, flag;
    };
    std::vector<Entry> Entries() {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < index.count; ++i)
            entries.push_back({index.ids[i], index.offsets[i], index.flags[i]});
        return entries;
    }
    void ExpectNoBackups() {
        EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallymere/Messages.ndx.bak")));
        EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallymere/Folders.dat.bak")));
    }
};

TEST_F(ArchiveRepairTest, ASoundArchiveIsLeftAsItIs) {
    ArchiveSix();
    const std::string ndx = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    const RepairReport r = Repair();
    EXPECT_FALSE(r.indexRewritten);
    EXPECT_FALSE(r.foldersRewritten);
    EXPECT_EQ(r.records, 6u);
    EXPECT_EQ(r.kept, 6u);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(ReadHostFile(Folders()), folders);
}

// Mended: records after the damage were lost to every restore although they were intact.
TEST_F(ArchiveRepairTest, ACutIndexIsRebuiltKeepingFlagsAndIndexingTheRestAsAbsent) {
    ArchiveSix();
    const std::string data = ReadHostFile(Data());
    WriteHostFile(Index(), ReadHostFile(Index()).substr(0, 3 * 28 + 5));
    EXPECT_EQ(Check().problems.back().kind, ArchiveProblem::kUnindexedRecords);
    const RepairReport r = Repair();
    EXPECT_TRUE(r.indexRewritten);
    EXPECT_EQ(r.kept, 3u);
    EXPECT_EQ(r.orphans, 3u);
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    for (std::uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(entries[i].id, IdOf(i)) << i;
        EXPECT_EQ(entries[i].offset, i * kRecordSize) << i;
        EXPECT_EQ(entries[i].flag, i == 0 || i == 1 ? 1u : 0u) << i;
    }
    EXPECT_EQ(ReadHostFile(Data()), data) << "Messages.dat is never written";
    EXPECT_TRUE(Check().Sound());
    ExpectNoBackups();
}

TEST_F(ArchiveRepairTest, BytesInsertedIntoTheDataFileAreSteppedOverAndTheEntriesFollowTheirRecords) {
    ArchiveSix();
    std::string data = ReadHostFile(Data());
    data.insert(2 * kRecordSize + 7, std::string("\x14\0\0\0junk that is not a record", 28));
    data.insert(4 * kRecordSize + 28, std::string(300, '\x14'));
    WriteHostFile(Data(), data);
    const RepairReport r = Repair();
    EXPECT_EQ(r.records, 5u) << "record 2 is broken by the bytes inside it";
    EXPECT_EQ(r.kept, 2u);
    EXPECT_EQ(r.repointed, 3u);
    EXPECT_EQ(r.dropped, 1u);
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[2].id, IdOf(3));
    EXPECT_EQ(entries[2].offset, 3 * kRecordSize + 28);
    EXPECT_EQ(entries[4].id, IdOf(5));
    EXPECT_EQ(entries[4].offset, 5 * kRecordSize + 328);
    EXPECT_TRUE(Check().Sound());
}

// The scan looks for the next record at every byte: damage of any length, not only of whole
// words, is stepped over and no intact record after it is lost.
TEST_F(ArchiveRepairTest, OneTwoOrThreeBytesBeforeARecordAreSteppedOverAndEveryEntryFollowsItsRecord) {
    ArchiveSix();
    const std::string data = ReadHostFile(Data()), ndx = ReadHostFile(Index());
    for (std::size_t inserted = 1; inserted <= 3; ++inserted) {
        SCOPED_TRACE(std::to_string(inserted) + " bytes");
        WriteHostFile(Data(), std::string(data).insert(3 * kRecordSize, std::string(inserted, 'x')));
        WriteHostFile(Index(), ndx);
        const RepairReport r = Repair();
        EXPECT_EQ(r.records, 6u);
        EXPECT_EQ(r.kept, 3u);
        EXPECT_EQ(r.repointed, 3u);
        EXPECT_EQ(r.dropped, 0u);
        const auto entries = Entries();
        ASSERT_EQ(entries.size(), 6u);
        for (std::uint32_t i = 0; i < 6; ++i) {
            EXPECT_EQ(entries[i].id, IdOf(i)) << i;
            EXPECT_EQ(entries[i].offset, i * kRecordSize + (i < 3 ? 0 : inserted)) << i;
            EXPECT_EQ(entries[i].flag, i == 2 ? 0u : 1u) << i;
        }
        EXPECT_TRUE(Check().Sound());
    }
}

// The scan reads the file in pieces of 64 KiB; a record whose first field lies across the end
// of a piece is found all the same, by check and by the repair.
TEST_F(ArchiveRepairTest, ARecordWhoseFirstFieldCrossesTheScansReadBoundaryIsFound) {
    ArchiveSix();
    const std::string sixth = ReadHostFile(Data()).substr(5 * kRecordSize);
    WriteHostFile(Index(), ReadHostFile(Index()).substr(0, 5 * 28));
    // The scan fails at the end of the fifth record and looks from the next byte on: the
    // sixth record's identifier size then starts two bytes before 64 KiB further on.
    const std::size_t garbage = (1 << 16) - 1;
    WriteHostFile(Data(), ReadHostFile(Data()).substr(0, 5 * kRecordSize) + std::string(garbage, 'x') + sixth);
    const auto report = Check();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].kind, ArchiveProblem::kUnindexedRecords);
    EXPECT_EQ(report.problems[0].value, 1u);
    EXPECT_EQ(report.problems[0].offset, 5 * kRecordSize + garbage);
    const RepairReport r = Repair();
    EXPECT_EQ(r.orphans, 1u);
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[5].id, IdOf(5));
    EXPECT_EQ(entries[5].offset, 5 * kRecordSize + garbage);
    EXPECT_EQ(entries[5].flag, 0u);
    EXPECT_TRUE(Check().Sound());
}

// A present-flag is 1 or 0; any other value is damage, which check names and the repair takes
// for "absent" (Restore Extra still brings the message back, Restore Normal does not guess).
TEST_F(ArchiveRepairTest, AFlagOfTwoIsReportedAndRepairedToAbsent) {
    ArchiveSix();
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        index.flags[1] = 2;
    }
    auto report = Check();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].kind, ArchiveProblem::kFlagValue);
    EXPECT_EQ(report.problems[0].entry, 1u);
    EXPECT_EQ(report.problems[0].value, 2u);
    EXPECT_EQ(report.present, 4u);
    EXPECT_EQ(report.absent, 2u);
    const RepairReport r = Repair();
    EXPECT_TRUE(r.indexRewritten);
    EXPECT_EQ(r.kept, 6u);
    EXPECT_EQ(Entries()[1].flag, 0u);
    EXPECT_TRUE(Check().Sound());
}

TEST_F(ArchiveRepairTest, AnEntryLeftBehindItsRecordTakesTheRecordsIdentifier) {
    ArchiveSix();
    std::string ndx = ReadHostFile(Index());
    ndx[28 * 4 + 3] ^= 0x10;  // entry 4 names an identifier no record has
    WriteHostFile(Index(), ndx);
    const RepairReport r = Repair();
    EXPECT_EQ(r.adopted, 1u);
    EXPECT_EQ(r.orphans, 0u);
    EXPECT_EQ(Entries()[4].id, IdOf(4));
    EXPECT_EQ(Entries()[4].flag, 1u);
}

// Mended: a line feed turned into another byte merged two folder lines, and a restore put every
// later folder's messages into its neighbour while check found one inconsistency.
TEST_F(ArchiveRepairTest, MergedFolderLinesAreSplitAgainOrTheListIsReportedUnrepairable) {
    ArchiveSix();
    const std::string folders = ReadHostFile(Folders());
    ASSERT_EQ(folders, "SMS/Inbox\nSMS/Sent Items\n");
    WriteHostFile(Folders(), "SMS/Inbox\vSMS/Sent Items\n");
    auto report = Check();
    EXPECT_TRUE(report.FoldersDamaged());
    EXPECT_EQ(report.foldersNeeded, 2u);
    RepairReport r = Repair();
    EXPECT_TRUE(r.foldersRewritten);
    EXPECT_EQ(ReadHostFile(Folders()), folders);
    ExpectNoBackups();

    WriteHostFile(Folders(), "SMS/Inbox and more\n");  // a line lost outright: nothing to go by
    r = Repair();
    EXPECT_TRUE(r.foldersUnrepairable);
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox and more\n");
    EXPECT_TRUE(Check().FoldersDamaged());
}

TEST_F(ArchiveRepairTest, AFailedRewriteKeepsTheOldIndex) {
    ArchiveSix();
    const std::string ndx = ReadHostFile(Index()).substr(0, 2 * 28);
    WriteHostFile(Index(), ndx);
    EXPECT_EXIT(
        {
            platform::faults::Plan("fsync", 2);  // the new index, after its copy
            Repair();
        },
        ::testing::ExitedWithCode(1), "^RepairArchive: fwrite failed\\.\n$");
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(ReadHostFile(Host("Out/Tallymere/Messages.ndx.bak")), ndx);
}

}  // namespace
