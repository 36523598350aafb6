// Restores over damaged archives, and restores that fail.
#include <gtest/gtest.h>

#include "archive/restore.h"
#include "platform/faults.h"
#include "restore_fixture.h"

namespace {

using archive_testing::Bytes;
using archive_testing::RestoreTest;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using tallymere::Restore;

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
    Put32(data, entries[1].offset, 16);       // "second": an identifier of 16 bytes
    Put32(data, entries[3].offset + 24, 99);  // "fourth" (flag 0): a folder number without a line
    WriteHostFile(Data(), data);
    const std::string second = IndexEntryBytes(1), fourth = IndexEntryBytes(3);

    std::uint32_t unreadable = 0;
    EXPECT_EQ(Restore(1, &unreadable), 2u);
    EXPECT_EQ(unreadable, 1u);
    auto now = BySubject();
    EXPECT_EQ(now.size(), 2u);
    EXPECT_TRUE(now.count(u"first") && now.count(u"third"));
    EXPECT_EQ(IndexEntryBytes(1), second);

    EXPECT_EQ(Restore(0, &unreadable), 0u);
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

// Every failure is fatal with its words and caption. A restore that dies leaves Messages.ndx
// and Folders.dat as they were before the command (the reader is never saved half-way).
struct Fault {
    const char* operation;
    int nth;
    const char* output;
};

TEST_F(RestoreFailure, FailuresEndTheProgramAndTheListsAreNotSaved) {
    ArchiveFourAndDeleteThem();
    const std::string ndx = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    const Fault faults[] = {
        {"MAPILogonEx", 1, "SessionLogon: MAPILogonEx failed\\."},
        {"CreateMessage", 1, "qMsg::CreateMessage: CreateMessage failed\\."},
        {"CreateMessage", 3, "qMsg::CreateMessage: CreateMessage failed\\."},
        {"ModifyRecipients", 2, "qMsg::SetRecipients: ModifyRecipients failed\\."},
        {"SetProps", 1, "qMsg::SetProperties: SetProps failed\\."},
        {"OpenProperty", 1, "qMsg::SetMessageBody: OpenProperty failed\\."},
        {"Logoff", 1, "SessionLogoff: Logoff failed\\."},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(std::string(f.operation) + ":" + std::to_string(f.nth));
        EXPECT_EXIT(
            {
                platform::faults::Plan(f.operation, f.nth);
                Restore(1);
            },
            ::testing::ExitedWithCode(1), f.output);
        if (std::string(f.operation) != "Logoff") {
            EXPECT_EQ(ReadHostFile(Index()), ndx);
            EXPECT_EQ(ReadHostFile(Folders()), folders);
        }
        // Put the device and the archive back for the next case.
        for (const auto& s : Messages()) Delete(s.id);
        WriteHostFile(Index(), ndx);
    }
}

// A restore that died after re-creating some messages: those keep their rewritten records and
// stay in the store; the next restore finds them present and re-creates only the rest.
TEST_F(RestoreFailure, ARestoreAfterADeadOneCreatesNoDuplicates) {
    ArchiveFourAndDeleteThem();
    EXPECT_EXIT(
        {
            platform::faults::Plan("CreateMessage", 3);
            Restore(1);
        },
        ::testing::ExitedWithCode(1), "qMsg::CreateMessage: CreateMessage failed\\.");
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Restore(1), 1u);
    const auto now = BySubject();
    EXPECT_EQ(now.size(), 3u);
    EXPECT_TRUE(now.count(u"first") && now.count(u"second") && now.count(u"third"));
    EXPECT_EQ(Restore(0), 1u);  // "fourth"
    EXPECT_EQ(Restore(0), 0u);
    EXPECT_EQ(Messages().size(), 4u);
}

}  // namespace
