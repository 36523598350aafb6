// The archive reader of a restore, on sound and on damaged archives.
#include "archive/restore.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "archive/backup.h"
#include "archive_fixture.h"
#include "platform/faults.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::IdOf;
using archive_testing::TextMessage;
using tallymere::qMsg;
using tallymere::RecordFault;
using tallymere::xEntryID;
using tallymere::xRestore;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

constexpr std::size_t kRecordSize = 212;  // of a TextMessage

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

class RestoreReaderTest : public ArchiveTest {
protected:
    // Four messages 1 to 4, records of 212 bytes one after the other.
    void ArchiveFour() {
        tallymere::BeginBackup(tallymere::BackupMode::Full);
        for (std::uint32_t n = 1; n <= 4; ++n) {
            tallymere::BackupMessage(TextMessage(n, n == 4 ? u"SMS/Sent Items" : u"SMS/Inbox"));
        }
        tallymere::EndBackup();
        ASSERT_EQ(std::filesystem::file_size(Data()), 4 * kRecordSize);
    }
    void DamageData(const std::function<void(std::string&)>& damage) {
        std::string data = ReadHostFile(Data());
        damage(data);
        WriteHostFile(Data(), data);
    }
};

TEST_F(RestoreReaderTest, AnEmptyArchiveHasNothingToReadAndItsFilesExistAfterwards) {
    std::filesystem::remove(Data());
    {
        xRestore reader;
        EXPECT_EQ(reader.entryIds.count, 0u);
        EXPECT_EQ(reader.folders.count, 0u);
    }
    EXPECT_TRUE(std::filesystem::exists(Data()));
    EXPECT_TRUE(std::filesystem::exists(Index()));
    EXPECT_TRUE(std::filesystem::exists(Folders()));
}

TEST_F(RestoreReaderTest, EveryRecordReadsWithItsFolderAndTheFlagsAreUntouched) {
    ArchiveFour();
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        index.flags[2] = 0;
    }
    const std::string data = ReadHostFile(Data()), ndx = ReadHostFile(Index());
    {
        xRestore reader;
        qMsg m(nullptr, 0, nullptr);
        for (std::uint32_t i = 0; i < 4; ++i) {
            ASSERT_TRUE(reader.Load(m, reader.entryIds.offsets[i])) << i;
            const auto id = IdOf(i + 1);
            EXPECT_EQ(m.entryId, std::vector<std::uint8_t>(id.begin(), id.end()));
            EXPECT_EQ(reader.folders.names[reader.folderIndex], i == 3 ? u"SMS/Sent Items" : u"SMS/Inbox");
        }
    }
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
}

// Mended: damaged records were read unchecked; one of them could crash the restore, overflow the
// record's tables or ask for gigabytes, and stopping at the first one would lose every later
// message. Each kind of damage makes exactly that record unreadable.
struct Damage {
    const char* name;
    std::function<void(std::string& data)> apply;  // on Messages.dat; record 2 starts at 212
    RecordFault fault;
};

TEST_F(RestoreReaderTest, EachKindOfDamageCostsOnlyItsOwnRecord) {
    const std::size_t r2 = kRecordSize;
    const std::vector<Damage> damages = {
        {"identifier size", [&](std::string& d) { Put32(d, r2, 16); }, RecordFault::kIdentifierSize},
        {"huge subject", [&](std::string& d) { Put32(d, r2 + 32, 0xFFFFFFFF); }, RecordFault::kCutShort},
        {"more recipients than the file could hold", [&](std::string& d) { Put32(d, r2 + 144, 1000); },
         RecordFault::kCutShort},
        {"huge body", [&](std::string& d) { Put32(d, r2 + 196, 0x7FFFFFF0); }, RecordFault::kCutShort},
        {"more attachments than the file could hold", [&](std::string& d) { Put32(d, r2 + 208, 1000); },
         RecordFault::kCutShort},
        {"attachment past the end", [&](std::string& d) { Put32(d, r2 + 208, 3); }, RecordFault::kCutShort},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        std::filesystem::remove(Data());
        std::filesystem::remove(Index());
        std::filesystem::remove(Folders());
        ArchiveFour();
        DamageData(damage.apply);
        xRestore reader;
        qMsg m(nullptr, 0, nullptr);
        EXPECT_TRUE(reader.Load(m, reader.entryIds.offsets[0]));
        EXPECT_FALSE(reader.Load(m, reader.entryIds.offsets[1]));
        EXPECT_EQ(reader.lastRead.fault, damage.fault);
        EXPECT_EQ(m.entryIdSize + m.subjectLen + m.bodySize + m.recipientCount + m.attachmentCount, 0u);
        for (std::uint32_t i : {2u, 3u}) {
            ASSERT_TRUE(reader.Load(m, reader.entryIds.offsets[i])) << i;
            EXPECT_EQ(m.subject, u"Hello");
        }
    }
}

TEST_F(RestoreReaderTest, OffsetsPastTheEndAndAFileCutShortAreUnreadable) {
    ArchiveFour();
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        index.offsets[0] = 4 * kRecordSize;  // just at the end
        index.offsets[1] = 0xFFFFFFF0;
    }
    std::filesystem::resize_file(Data(), 4 * kRecordSize - 1);  // record 4 loses its last byte
    xRestore reader;
    qMsg m(nullptr, 0, nullptr);
    EXPECT_FALSE(reader.Load(m, reader.entryIds.offsets[0]));
    EXPECT_EQ(reader.lastRead.fault, RecordFault::kOffsetPastEnd);
    EXPECT_FALSE(reader.Load(m, reader.entryIds.offsets[1]));
    EXPECT_EQ(reader.lastRead.fault, RecordFault::kOffsetPastEnd);
    EXPECT_TRUE(reader.Load(m, reader.entryIds.offsets[2]));
    EXPECT_FALSE(reader.Load(m, reader.entryIds.offsets[3]));
    EXPECT_EQ(reader.lastRead.fault, RecordFault::kCutShort);
}

TEST_F(RestoreReaderTest, AFolderNumberWithoutALineIsUnreadable) {
    ArchiveFour();
    WriteHostFile(Folders(), "SMS/Inbox\n");  // line 1, "SMS/Sent Items", is lost
    xRestore reader;
    qMsg m(nullptr, 0, nullptr);
    EXPECT_TRUE(reader.Load(m, reader.entryIds.offsets[0]));
    EXPECT_FALSE(reader.Load(m, reader.entryIds.offsets[3]));
    EXPECT_TRUE(reader.noFolderLine);
    EXPECT_EQ(reader.lastRead.folderIndex, 1u);
    EXPECT_TRUE(m.subject.empty());
}

TEST_F(RestoreReaderTest, UpdateSwitchesTheRecordToTheNewIdentifierAndNothingElse) {
    ArchiveFour();
    const std::string before = ReadHostFile(Data());
    const auto fresh = IdOf(77);
    {
        xRestore reader;
        qMsg m(nullptr, 0, nullptr);
        ASSERT_TRUE(reader.Load(m, reader.entryIds.offsets[2]));
        const std::vector<std::uint8_t> old = m.entryId;
        m.SetEntryID(20, fresh.data());
        reader.entryIds.UpdateID(20, old.data(), fresh.data());
        reader.Update(m, reader.entryIds.offsets[2]);
        ASSERT_TRUE(reader.Load(m, reader.entryIds.offsets[2]));
        EXPECT_EQ(m.entryId, std::vector<std::uint8_t>(fresh.begin(), fresh.end()));
    }
    std::string expected = before;
    expected.replace(2 * kRecordSize + 4, 20, std::string(fresh.begin(), fresh.end()));
    EXPECT_EQ(ReadHostFile(Data()), expected);
    // A later backup pass finds the message under its new identifier: nothing appended.
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    qMsg recreated = TextMessage(3);
    recreated.SetEntryID(20, fresh.data());
    EXPECT_EQ(tallymere::BackupMessage(recreated), 0u);
    tallymere::EndBackup();
    EXPECT_EQ(std::filesystem::file_size(Data()), 4 * kRecordSize);
}

TEST_F(RestoreReaderTest, FailuresOfTheReaderEndTheProgram) {
    ArchiveFour();
    EXPECT_EXIT(
        {
            xRestore reader;
            qMsg m(nullptr, 0, nullptr);
            platform::faults::Plan("fseek", 1);
            reader.Load(m, 0);
        },
        ::testing::ExitedWithCode(1), "xRestore::Load: fseek failed\\.");
    EXPECT_EXIT(
        {
            xRestore reader;
            qMsg m(nullptr, 0, nullptr);
            reader.Load(m, 0);
            platform::faults::Plan("fwrite", 1);
            reader.Update(m, 0);
        },
        ::testing::ExitedWithCode(1), "xRestore::Update: fwrite failed\\.");
    EXPECT_EXIT(
        {
            xRestore reader;
            qMsg m(nullptr, 0, nullptr);
            reader.Load(m, 0);
            platform::faults::Plan("fseek", 1);
            reader.Update(m, 0);
        },
        ::testing::ExitedWithCode(1), "xRestore::Update: fseek failed\\.");
    EXPECT_EXIT(
        {
            platform::faults::Plan("_wfopen", 3, true);
            xRestore reader;
        },
        ::testing::ExitedWithCode(1), "xRestore::xRestore: MyCreateFile failed\\.");
}

}  // namespace
