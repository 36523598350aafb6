// Restores over damaged archives, and restores that fail.
#include <gtest/gtest.h>

#include <algorithm>

#include "archive/archive_check.h"
#include "archive/restore.h"
#include "platform/faults.h"
#include "restore_fixture.h"

namespace {

using archive_testing::Bytes;
using archive_testing::RestoreTest;
using tallymere::Restore;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

class RestoreFailure : public RestoreTest {
protected:
    // Four messages archived (the fourth after a full pass no longer met it: flag 0), then all
    // of them deleted from the device.
    void ArchiveFourAndDeleteThem() {
        for (const char16_t* subject : {u"first", u"second", u"third", u"fourth"}) Deliver(subject);
        ASSERT_EQ(BackupAll(), 4u);
        const auto all = Messages();
        Delete(all[3].id);
        ASSERT_EQ(BackupAll(), 0u);
        for (std::size_t i = 0; i < 3; ++i) Delete(all[i].id);
        ASSERT_TRUE(Messages().empty());
    }
    std::string IndexEntryBytes(std::size_t i) { return ReadHostFile(Index()).substr(28 * i, 28); }
};

// Mended: a damaged record would stop the whole restore, or worse. Now an unreadable record is
// skipped: nothing reaches the store for it, its index entry and its record stay as they were,
// every other message is restored, and the caller learns how many could not be read.
TEST_F(RestoreFailure, AnUnreadableRecordIsSkippedAndCounted) {
    ArchiveFourAndDeleteThem();
    const auto entries = IndexEntries();
    std::string data = ReadHostFile(Data());
    Put32(data, entries[1].offset, 16);               // "second": an identifier of 16 bytes
    Put32(data, entries[3].offset + 28, 0xFFFFFFF0);  // "fourth" (flag 0): a subject prefix past the end
    WriteHostFile(Data(), data);
    const std::string second = IndexEntryBytes(1), fourth = IndexEntryBytes(3);

    std::uint32_t unreadable = 0;
    EXPECT_EQ(Restore(tallymere::RestoreMode::Normal, &unreadable), 2u);
    EXPECT_EQ(unreadable, 1u);
    auto now = BySubject();
    EXPECT_EQ(now.size(), 2u);
    EXPECT_TRUE(now.count(u"first") && now.count(u"third"));
    EXPECT_EQ(IndexEntryBytes(1), second);

    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra, &unreadable), 0u);
    EXPECT_EQ(unreadable, 2u);
    EXPECT_EQ(BySubject().size(), 2u);
    EXPECT_EQ(IndexEntryBytes(1), second);
    EXPECT_EQ(IndexEntryBytes(3), fourth);  // flag 0 still
    // The damaged records are as they were; only the restored ones carry new identifiers.
    const std::string after = ReadHostFile(Data());
    for (std::size_t i : {1u, 3u}) {
        const std::size_t end = i + 1 < entries.size() ? entries[i + 1].offset : data.size();
        EXPECT_EQ(after.substr(entries[i].offset, end - entries[i].offset),
                  data.substr(entries[i].offset, end - entries[i].offset))
            << i;
    }
}

// Every failure is fatal with its words and caption. A restore that dies leaves the index in
// step with the records: the entry of every message re-created before the failure names the
// new identifier, as its record does (both written before the store kept the message); every
// other entry and Folders.dat are as they were before the command.
struct Fault {
    const char* operation;
    int nth;
    const char* output;
    std::size_t recreated;  // messages in the store afterwards
};

TEST_F(RestoreFailure, FailuresEndTheProgramWithTheIndexInStepWithTheRecords) {
    ArchiveFourAndDeleteThem();
    const std::string ndx = ReadHostFile(Index()), data = ReadHostFile(Data()), folders = ReadHostFile(Folders());
    const Fault faults[] = {
        {"MAPILogonEx", 1, "SessionLogon: MAPILogonEx failed\\.", 0},
        {"CreateMessage", 1, "qMsg::CreateMessage: CreateMessage failed\\.", 0},
        {"CreateMessage", 3, "qMsg::CreateMessage: CreateMessage failed\\.", 2},
        {"ModifyRecipients", 2, "qMsg::SetRecipients: ModifyRecipients failed\\.", 1},
        {"SetProps", 1, "qMsg::SetProperties: SetProps failed\\.", 0},
        {"OpenProperty", 1, "qMsg::SetMessageBody: OpenProperty failed\\.", 0},
        {"SaveChanges", 2, "xRestore::RestoreMessage: SaveChanges failed\\.", 1},
        {"OpenEntry", 3, "xRestore::Exists: OpenEntry failed\\.", 1},
        {"Logoff", 1, "SessionLogoff: Logoff failed\\.", 3},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(std::string(f.operation) + ":" + std::to_string(f.nth));
        EXPECT_EXIT(
            {
                platform::faults::Plan(f.operation, f.nth);
                Restore(tallymere::RestoreMode::Normal);
            },
            ::testing::ExitedWithCode(1), f.output);
        const auto stored = Messages();
        EXPECT_EQ(stored.size(), f.recreated);
        const auto entries = IndexEntries();
        ASSERT_EQ(entries.size(), 4u);
        const std::string now = ReadHostFile(Data());
        for (std::size_t i = 0; i < 4; ++i) {
            const Bytes recordId(now.begin() + entries[i].offset + 4, now.begin() + entries[i].offset + 24);
            EXPECT_EQ(recordId, entries[i].id) << "entry and record in step, " << i;
            EXPECT_EQ(IndexEntryBytes(i).substr(20), ndx.substr(28 * i + 20, 8)) << "offset and flag kept, " << i;
            if (IndexEntryBytes(i) == ndx.substr(28 * i, 28)) continue;
            // A switched entry names the message re-created for it, or (when the store did not
            // keep it) an identifier that opens nothing: never the old one beside a new copy.
            const bool inStore =
                std::any_of(stored.begin(), stored.end(), [&](const auto& s) { return s.id == entries[i].id; });
            EXPECT_TRUE(inStore || f.recreated < 3) << i;
        }
        // A rerun completes the restore: every message once.
        if (f.recreated < 3) {
            EXPECT_EQ(Restore(tallymere::RestoreMode::Normal), 3 - f.recreated);
            EXPECT_EQ(BySubject().size(), 3u);
        }
        EXPECT_EQ(ReadHostFile(Folders()), folders);
        // Put the device and the archive back for the next case.
        for (const auto& s : Messages()) Delete(s.id);
        WriteHostFile(Index(), ndx);
        WriteHostFile(Data(), data);
    }
}

// Mended: a restore re-created a message that was still on the phone when the store failed to
// answer whether it exists; only the store's "not found" means gone.
TEST_F(RestoreFailure, AStoreThatCannotAnswerIsNotTakenForAMissingMessage) {
    for (const char16_t* subject : {u"first", u"second"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 2u);
    const std::string ndx = ReadHostFile(Index());
    EXPECT_EXIT(
        {
            platform::faults::Plan("OpenEntry", 1);
            Restore(tallymere::RestoreMode::Extra);
        },
        ::testing::ExitedWithCode(1), "^xRestore::Exists: OpenEntry failed\\.\n$");
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 0u);
}

// Mended: a folder list that lost a line (or had two merged by a damaged line feed) made the
// restore put every later folder's messages into its neighbour. It now refuses, restoring
// nothing.
TEST_F(RestoreFailure, AFolderListThatDoesNotCoverTheRecordsIsRefused) {
    Deliver(u"inbox");
    Deliver(u"sent", u"SMS/Sent Items");
    ASSERT_EQ(BackupAll(), 2u);
    for (const auto& s : Messages()) Delete(s.id);
    WriteHostFile(Folders(), "SMS/Inbox\vSMS/Sent Items\n");
    const std::string ndx = ReadHostFile(Index());
    EXPECT_EXIT(Restore(tallymere::RestoreMode::Extra), ::testing::ExitedWithCode(1),
                "^xRestore::RestoreAll: Folders.dat is damaged: run check --repair\\.\n$");
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(ReadHostFile(Index()), ndx);
}

// Mended: an older restore wrote the new identifier into the record at once but saved the index
// only at its end, so a restore that died left entries naming the deleted originals; the rerun
// never put them right and the next backup archived those messages again. The record wins.
TEST_F(RestoreFailure, AnIndexEntryLeftBehindItsRecordIsPutRight) {
    Deliver(u"kept");
    ASSERT_EQ(BackupAll(), 1u);
    std::string ndx = ReadHostFile(Index());
    ndx[12] = static_cast<char>(ndx[12] ^ 0x40);  // the entry names an identifier that opens nothing
    WriteHostFile(Index(), ndx);
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 0u);
    EXPECT_EQ(IndexEntries()[0].id, Messages()[0].id);
    EXPECT_EQ(BackupAll(), 0u);
}

// A record may name an identifier another entry holds (a copied record, damage): the entry is
// then left as it is, as two entries of one identifier would have a backup refresh the wrong
// one and a restore re-create a message twice.
TEST_F(RestoreFailure, ARecordNamingAnotherEntrysIdentifierNeverMakesADuplicate) {
    for (const char16_t* subject : {u"first", u"second"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 2u);
    const auto before = IndexEntries();
    std::string data = ReadHostFile(Data());
    data.replace(before[1].offset + 4, 20, std::string(before[0].id.begin(), before[0].id.end()));
    WriteHostFile(Data(), data);
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 0u);
    const auto after = IndexEntries();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].id, before[0].id);
    EXPECT_EQ(after[1].id, before[1].id);
    for (const auto& problem : tallymere::CheckArchive(u"\\Out\\Tallymere").problems) {
        EXPECT_NE(problem.kind, tallymere::ArchiveProblem::kDuplicateIdentifier);
    }
    EXPECT_EQ(Messages().size(), 2u);
}

// The index is saved only after Messages.dat has reached the medium: when that sync fails the
// command ends with the index as it was, never ahead of the records it names.
TEST_F(RestoreFailure, AFailedSyncOfTheDataFileEndsTheRestoreWithTheIndexUnchanged) {
    for (const char16_t* subject : {u"first", u"second"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 2u);
    {
        tallymere::xEntryID index(u"Tallymere", u"Messages.ndx");
        index.flags[1] = 0;  // Restore Extra flags it present again
    }
    const std::string ndx = ReadHostFile(Index());
    EXPECT_EXIT(
        {
            platform::faults::Plan("fsync", 1);
            Restore(tallymere::RestoreMode::Extra);
        },
        ::testing::ExitedWithCode(1), "^xRestore::~xRestore: fwrite failed\\.\n$");
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 0u);
    EXPECT_EQ(IndexEntries()[1].flag, 1u);
}

// A restore that died after re-creating some messages: those keep their rewritten records and
// stay in the store; the next restore finds them present and re-creates only the rest.
TEST_F(RestoreFailure, ARestoreAfterADeadOneCreatesNoDuplicates) {
    ArchiveFourAndDeleteThem();
    EXPECT_EXIT(
        {
            platform::faults::Plan("CreateMessage", 3);
            Restore(tallymere::RestoreMode::Normal);
        },
        ::testing::ExitedWithCode(1), "qMsg::CreateMessage: CreateMessage failed\\.");
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Restore(tallymere::RestoreMode::Normal), 1u);
    const auto now = BySubject();
    EXPECT_EQ(now.size(), 3u);
    EXPECT_TRUE(now.count(u"first") && now.count(u"second") && now.count(u"third"));
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 1u);  // "fourth"
    EXPECT_EQ(Restore(tallymere::RestoreMode::Extra), 0u);
    EXPECT_EQ(Messages().size(), 4u);
}

}  // namespace
