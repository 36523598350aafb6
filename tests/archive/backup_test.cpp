#include "archive/backup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "archive/archive_check.h"
#include "archive/record.h"
#include "archive_fixture.h"
#include "platform/faults.h"
#include "support/endian.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::TextMessage;
using tallymere::qMsg;
using tallymere::xEntryID;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

class BackupTest : public ArchiveTest {
protected:
    // One pass over `messages` in `mode`; the number newly appended.
    std::uint32_t Pass(const std::vector<qMsg>& messages, tallymere::BackupMode mode = tallymere::BackupMode::Full) {
        tallymere::BeginBackup(mode);
        std::uint32_t appended = 0;
        for (const qMsg& m : messages) appended += tallymere::BackupMessage(m);
        tallymere::EndBackup();
        return appended;
    }
    std::vector<std::uint32_t> Flags() {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        return index.flags;
    }
    std::vector<std::uint32_t> Offsets() {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        return index.offsets;
    }
    std::uint32_t U32At(const std::string& bytes, std::size_t at) {
        return tallymere::GetU32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
    }
};

TEST_F(BackupTest, FirstPassIntoAnEmptyArchiveAppendsEverything) {
    std::filesystem::remove(Data());
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2), TextMessage(3, u"SMS/Sent Items")}), 3u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 1, 1}));
    const auto offsets = Offsets();
    EXPECT_EQ(offsets[0], 0u);
    EXPECT_EQ(std::filesystem::file_size(Data()), 3 * std::size_t{offsets[1]});
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox\nSMS/Sent Items\n");
}

TEST_F(BackupTest, APassWithNothingChangedAppendsNothingAndChangesNoByte) {
    const std::vector<qMsg> messages = {TextMessage(1), TextMessage(2)};
    Pass(messages);
    const std::string data = ReadHostFile(Data()), index = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    EXPECT_EQ(Pass(messages), 0u);
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), index);
    EXPECT_EQ(ReadHostFile(Folders()), folders);
}

TEST_F(BackupTest, AReadMessageChangesOnlyItsFlagsField) {
    Pass({TextMessage(1), TextMessage(2)});
    const std::string before = ReadHostFile(Data());
    qMsg read = TextMessage(2);
    read.SetMessageFlags(0x00000401);
    EXPECT_EQ(Pass({TextMessage(1), read}), 0u);
    const std::string after = ReadHostFile(Data());
    ASSERT_EQ(after.size(), before.size());
    // Record 2 starts where record 1 ends; its texts hold 0 + 5 + 3 + 12 code units.
    const std::size_t flagsAt = before.size() / 2 + tallymere::MessageFlagsOffset(0 + 5 + 3 + 12);
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (i < flagsAt || i >= flagsAt + 4) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(U32At(after, flagsAt), 0x00000401u);
}

TEST_F(BackupTest, FlagsAfterLongTextsAreFoundBeyondTheFirstRead) {
    // 300 characters of subject put the flags 600 bytes into the record, past what the refresh
    // reads in one go.
    const std::u16string subject(300, u'x');
    Pass({TextMessage(1, u"SMS/Inbox", subject), TextMessage(2)});
    const std::string before = ReadHostFile(Data());
    qMsg read = TextMessage(1, u"SMS/Inbox", subject);
    read.SetMessageFlags(0x0101);
    EXPECT_EQ(Pass({read, TextMessage(2)}), 0u);
    const std::string after = ReadHostFile(Data());
    const std::size_t flagsAt = tallymere::MessageFlagsOffset(0 + 300 + 3 + 12);
    ASSERT_GT(flagsAt, 512u);
    EXPECT_EQ(U32At(after, flagsAt), 0x0101u);
    EXPECT_EQ(after.substr(0, flagsAt), before.substr(0, flagsAt));
    EXPECT_EQ(after.substr(flagsAt + 4), before.substr(flagsAt + 4));
}

TEST_F(BackupTest, APassThatFailsAtItsEndKeepsWhatItAppendedIndexedAndItsFlagsUnsaved) {
    // Records and their entries reach the files as the pass goes; the sync and the present-flags
    // wait for its end. A sync that fails there ends the program before the flags are saved.
    Pass({TextMessage(1)});
    const std::string index = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            for (std::uint32_t i = 2; i < 50; ++i) tallymere::BackupMessage(TextMessage(i, u"SMS/Other"));
            platform::faults::Plan("fsync", 1);
            tallymere::EndBackup();
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(1), "xBackup::~xBackup: fwrite failed\\.");
    // The first entry keeps the flag it had (the full pass had cleared it in memory only).
    EXPECT_EQ(ReadHostFile(Index()).substr(0, index.size()), index);
    EXPECT_EQ(Flags(), std::vector<std::uint32_t>(49, 1));
    // The new folder's line was saved when the pass met it, before its records.
    EXPECT_EQ(ReadHostFile(Folders()), folders + "SMS/Other\n");
    // The next pass appends nothing of what the failed one had appended.
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2, u"SMS/Other")}), 0u);
    std::vector<std::uint32_t> flags(49, 0);
    flags[0] = flags[1] = 1;
    EXPECT_EQ(Flags(), flags);
}

TEST_F(BackupTest, AMovedMessageNamesItsNewFolderAndTheOldLineStays) {
    Pass({TextMessage(1), TextMessage(2)});
    const std::string before = ReadHostFile(Data());
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2, u"SMS/Archive")}), 0u);
    const std::string after = ReadHostFile(Data());
    EXPECT_EQ(U32At(after, before.size() / 2 + tallymere::kFolderIndexOffset), 1u);
    EXPECT_EQ(U32At(after, tallymere::kFolderIndexOffset), 0u);
    EXPECT_EQ(ReadHostFile(Folders()), "SMS/Inbox\nSMS/Archive\n");
}

TEST_F(BackupTest, AnEditedSubjectStaysAsFirstArchivedAndFlagsAreStillFound) {
    Pass({TextMessage(1, u"SMS/Inbox", u"Hi")});
    const std::string before = ReadHostFile(Data());
    qMsg edited = TextMessage(1, u"SMS/Inbox", u"A much longer subject than before");
    edited.SetMessageFlags(1);
    EXPECT_EQ(Pass({edited}), 0u);
    const std::string after = ReadHostFile(Data());
    ASSERT_EQ(after.size(), before.size());
    const std::size_t flagsAt = tallymere::MessageFlagsOffset(0 + 2 + 3 + 12);
    EXPECT_EQ(U32At(after, flagsAt), 1u);
    EXPECT_EQ(after.substr(0, flagsAt), before.substr(0, flagsAt));
    EXPECT_EQ(after.substr(flagsAt + 4), before.substr(flagsAt + 4));
}

TEST_F(BackupTest, AFullPassMarksMessagesGoneFromTheDevice) {
    Pass({TextMessage(1), TextMessage(2), TextMessage(3)});
    const auto size = std::filesystem::file_size(Data());
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(3)}), 0u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 0, 1}));
    EXPECT_EQ(std::filesystem::file_size(Data()), size) << "the record stays";
    // Back on the device: met again, flag 1, still one record.
    EXPECT_EQ(Pass({TextMessage(2)}), 0u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{0, 1, 0}));
}

TEST_F(BackupTest, APartialPassKeepsTheOtherFlags) {
    Pass({TextMessage(1), TextMessage(2), TextMessage(3)});
    Pass({TextMessage(1), TextMessage(3)});  // 2 is gone
    EXPECT_EQ(Pass({TextMessage(3), TextMessage(4)}, tallymere::BackupMode::Partial), 1u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 0, 1, 1}));
    EXPECT_EQ(Pass({TextMessage(2)}, tallymere::BackupMode::Partial), 0u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 1, 1, 1}));
}

TEST_F(BackupTest, AnIdentifierOfAnotherSizeEndsTheProgram) {
    const std::uint8_t id[16] = {};
    qMsg m(nullptr, 16, id);
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EXIT(tallymere::BackupMessage(m), ::testing::ExitedWithCode(1),
                "xEntryID::CheckID: ENTRYID length mismatch\\.");
    tallymere::EndBackup();
}

TEST_F(BackupTest, UnopenableDataFileEndsTheOpening) {
    EXPECT_EXIT(
        {
            platform::faults::Plan("_wfopen", 3, true);  // after the index and the folder list
            tallymere::BeginBackup(tallymere::BackupMode::Full);
        },
        ::testing::ExitedWithCode(1), "xBackup::xBackup: MyCreateFile failed\\.");
}

TEST_F(BackupTest, FailedSeeksEndThePass) {
    Pass({TextMessage(1)});
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            platform::faults::Plan("fseek", 1, true);
            tallymere::BackupMessage(TextMessage(2));
        },
        ::testing::ExitedWithCode(1), "xBackup::Insert: fseek failed\\.");
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            platform::faults::Plan("fseek", 1, true);
            tallymere::BackupMessage(TextMessage(1));
        },
        ::testing::ExitedWithCode(1), "xBackup::Update: fseek failed\\.");
}

// Mended: record writes were not checked, so a record cut short by a full medium was indexed.
TEST_F(BackupTest, AFailedRecordWriteEndsThePassBeforeTheRecordIsIndexed) {
    Pass({TextMessage(1)});
    const std::string index = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            tallymere::BackupMessage(TextMessage(1));
            platform::faults::Plan("fwrite", 2);  // the first saves the new folder's line
            tallymere::BackupMessage(TextMessage(2, u"SMS/New"));
            std::_Exit(5);  // never reached
        },
        ::testing::ExitedWithCode(1), "xBackup::Insert: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Index()), index) << "nothing indexed";
    EXPECT_EQ(ReadHostFile(Folders()), folders + "SMS/New\n") << "a record's folder is saved before the record";
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            platform::faults::Plan("fwrite", 2);                     // the first saves the new folder's line
            tallymere::BackupMessage(TextMessage(1, u"SMS/Moved"));  // a refresh that writes
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(1), "xBackup::Update: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Index()), index);
    // The next pass archives the message normally.
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2)}), 1u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 1}));
}

TEST_F(BackupTest, ManyRecipientsAndAttachmentsAreArchivedAndOnlyTheIndexOffsetsLimitThePass) {
    // A group message with 16 recipients, or 16 attachments, once ended every pass for good.
    qMsg crowded = TextMessage(1);
    crowded.SetRecipientCount(16);
    crowded.SetEmailAddress(15, u"+4916");
    crowded.SetAttachmentCount(16);
    crowded.SetAttachSize(15, 2);
    const std::uint8_t bytes[] = {7, 8};
    crowded.SetAttachData(15, bytes);
    EXPECT_EQ(Pass({crowded}), 1u);
    std::vector<std::uint8_t> expected;
    tallymere::EncodeRecord(crowded, 0, expected);
    EXPECT_EQ(ReadHostFile(Data()), std::string(expected.begin(), expected.end()));
    // A record starting beyond 4 GiB could not be named by a 32-bit offset: a sparse file whose
    // last record starts just below it.
    const std::uint64_t last = 0x100000000ull - expected.size() / 2;
    std::filesystem::resize_file(Data(), last);
    {
        std::ofstream out(Data(), std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(expected.data()), static_cast<std::streamsize>(expected.size()));
    }
    std::string entry = ReadHostFile(Index());
    entry[20] = static_cast<char>(last & 0xFF);
    entry[21] = static_cast<char>((last >> 8) & 0xFF);
    entry[22] = static_cast<char>((last >> 16) & 0xFF);
    entry[23] = static_cast<char>((last >> 24) & 0xFF);
    WriteHostFile(Index(), entry);
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            tallymere::BackupMessage(TextMessage(2));
        },
        ::testing::ExitedWithCode(1), "xBackup::Insert: MAX_DATA_OFFSET exeed\\.");
    EXPECT_EQ(std::filesystem::file_size(Data()), last + expected.size());
}

// A pass that ends without its close (a kill, a failed write) leaves every record it appended
// indexed; the rerun appends only the rest.
TEST_F(BackupTest, AKilledPassLeavesItsRecordsIndexedAndTheRerunAppendsOnlyTheRest) {
    std::vector<qMsg> all;
    for (std::uint32_t i = 1; i <= 10; ++i) all.push_back(TextMessage(i));
    EXPECT_EXIT(
        {
            tallymere::BeginBackup(tallymere::BackupMode::Full);
            for (std::uint32_t i = 0; i < 6; ++i) tallymere::BackupMessage(all[i]);
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(9), "");
    EXPECT_EQ(Flags().size(), 6u);
    EXPECT_TRUE(tallymere::CheckArchive(u"\\Out\\Tallymere").Sound());
    EXPECT_EQ(Pass(all), 4u);
    const tallymere::ArchiveReport report = tallymere::CheckArchive(u"\\Out\\Tallymere");
    EXPECT_TRUE(report.Sound());
    EXPECT_EQ(report.records, 10u);
    EXPECT_EQ(report.unindexedBytes, 0u);
}

// What a pass leaves beyond the last indexed record: its last record, whole or cut off.
TEST_F(BackupTest, TheNextPassIndexesAWholeRecordBeyondTheIndexAndCutsOffACutOffOne) {
    Pass({TextMessage(1)});
    const std::string one = ReadHostFile(Data());
    std::vector<std::uint8_t> record;
    tallymere::EncodeRecord(TextMessage(2), 0, record);
    const std::string two(record.begin(), record.end());
    // A whole record whose entry never reached the index: taken over, not appended again.
    WriteHostFile(Data(), one + two);
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2)}), 0u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 1}));
    EXPECT_EQ(Offsets()[1], one.size());
    EXPECT_EQ(ReadHostFile(Data()), one + two);
    // A record cut off by the end of the file: the next record is written where it began.
    record.clear();
    tallymere::EncodeRecord(TextMessage(3), 0, record);
    const std::string three(record.begin(), record.end());
    WriteHostFile(Data(), one + two + three.substr(0, three.size() / 2));
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2), TextMessage(3)}), 1u);
    EXPECT_EQ(ReadHostFile(Data()), one + two + three);
    // A record of a message the index knows (a copy begun afresh) and bytes after it are cut
    // off; a partial pass that meets nothing new still cuts them.
    WriteHostFile(Data(), one + two + three + one + "xyz");
    EXPECT_EQ(Pass({}, tallymere::BackupMode::Partial), 0u);
    EXPECT_EQ(ReadHostFile(Data()), one + two + three);
    EXPECT_TRUE(tallymere::CheckArchive(u"\\Out\\Tallymere").Sound());
}

TEST_F(BackupTest, ARecordOfAnUnknownMessageBeyondTheIndexIsKeptNotPresentWhenThePassDoesNotMeetIt) {
    Pass({TextMessage(1)});
    const std::string one = ReadHostFile(Data());
    std::vector<std::uint8_t> record;
    tallymere::EncodeRecord(TextMessage(2), 0, record);
    WriteHostFile(Data(), one + std::string(record.begin(), record.end()) + "cut");
    EXPECT_EQ(Pass({TextMessage(1)}), 0u);
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(std::filesystem::file_size(Data()), one.size() + record.size());
}

// A medium that fills up: the write that fails leaves at most a cut-off record, which the next
// pass writes over.
TEST_F(BackupTest, AWriteFailingOnAFullMediumLeavesNothingTheNextPassKeeps) {
    std::vector<qMsg> all;
    for (std::uint32_t i = 1; i <= 8; ++i) all.push_back(TextMessage(i));
    for (int failing = 1; failing <= 6; ++failing) {
        SCOPED_TRACE(failing);
        std::filesystem::remove(Data());
        std::filesystem::remove(Index());
        EXPECT_EXIT(
            {
                platform::faults::Plan("fwrite", failing, true);
                Pass(all);
            },
            ::testing::ExitedWithCode(1), "fwrite failed\\.");
        // Appended again: what the index did not name, less the one whole record whose entry
        // could not be written, if any (taken over).
        const std::size_t indexed = Flags().size();
        const std::uint32_t appended = Pass(all);
        EXPECT_TRUE(appended == 8u - indexed || appended + 1 == 8u - indexed) << appended << " after " << indexed;
        const tallymere::ArchiveReport report = tallymere::CheckArchive(u"\\Out\\Tallymere");
        EXPECT_TRUE(report.Sound());
        EXPECT_EQ(report.records, 8u);
        EXPECT_EQ(report.unindexedBytes, 0u);
    }
}

// Syncs wait for the pass's end: their number does not grow with the messages appended (the new
// folder's line, Messages.dat, the index), so a planned failure of the next one is never reached.
TEST_F(BackupTest, APassSyncsAFewTimesHoweverManyMessagesItAppends) {
    std::vector<qMsg> many;
    for (std::uint32_t i = 1; i <= 300; ++i) many.push_back(TextMessage(i));
    platform::faults::Plan("fsync", 4);
    EXPECT_EQ(Pass(many), 300u);
    platform::faults::Reset();
    platform::faults::Plan("fsync", 3);
    EXPECT_EQ(Pass(many), 0u);
    platform::faults::Reset();
}

TEST_F(BackupTest, TheProcessWideWriterExistsOnlyBetweenBeginAndEnd) {
    EXPECT_EQ(tallymere::BackupMessage(TextMessage(1)), 0u);
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EQ(tallymere::BackupMessage(TextMessage(1)), 1u);
    tallymere::EndBackup();
    EXPECT_EQ(tallymere::BackupMessage(TextMessage(2)), 0u);
    EXPECT_EQ(Offsets().size(), 1u);
}

TEST_F(BackupTest, ARecordDamagedFromOutsideIsArchivedAfreshNotPatched) {
    Pass({TextMessage(1), TextMessage(2)});
    std::string data = ReadHostFile(Data());
    const std::size_t second = data.size() / 2;
    // Record 2's subject count now claims more text than the file holds.
    data[second + 32] = '\x7F';
    data[second + 33] = '\x7F';
    WriteHostFile(Data(), data);
    qMsg read = TextMessage(2);
    read.SetMessageFlags(1);
    EXPECT_EQ(Pass({TextMessage(1), read}), 0u);
    const std::string after = ReadHostFile(Data());
    EXPECT_EQ(after.substr(0, data.size()), data) << "nothing written into the damaged bytes";
    EXPECT_EQ(after.size(), data.size() + second);
    EXPECT_EQ(Offsets(), (std::vector<std::uint32_t>{0, static_cast<std::uint32_t>(data.size())}));
    EXPECT_EQ(Flags(), (std::vector<std::uint32_t>{1, 1}));
    // The index now names a record of the message itself: patched in place from now on.
    EXPECT_EQ(Pass({TextMessage(1), TextMessage(2)}), 0u);
    EXPECT_EQ(std::filesystem::file_size(Data()), after.size());
}

}  // namespace
