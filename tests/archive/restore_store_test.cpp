// Restore Normal and Extra against the message store: which messages come back, where, with
// what content, and what the archive looks like afterwards.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <set>

#include "archive/archive_repair.h"
#include "archive/restore.h"
#include "phone/device_dump.h"
#include "platform/faults.h"
#include "restore_fixture.h"
#include "support/pass_control.h"

namespace {

using archive_testing::Bytes;
using archive_testing::ExpectSameMessage;
using archive_testing::RestoreTest;
using archive_testing::TextMessage;
using tallymere::Restore;
using testing_support::ReadHostFile;

constexpr tallymere::RestoreMode kNormal = tallymere::RestoreMode::Normal;
constexpr tallymere::RestoreMode kExtra = tallymere::RestoreMode::Extra;

class RestoreStore : public RestoreTest {};

TEST_F(RestoreStore, AnEmptyArchiveRestoresNothingAndItsFilesExistAfterwards) {
    std::uint32_t unreadable = 7;
    EXPECT_EQ(Restore(kNormal, &unreadable), 0u);
    EXPECT_EQ(unreadable, 0u);
    EXPECT_TRUE(std::filesystem::exists(Data()));
    EXPECT_TRUE(std::filesystem::exists(Index()));
    EXPECT_TRUE(std::filesystem::exists(Folders()));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RestoreStore, MessagesStillThereAreLeftAloneNormalKeepsTheFlagsExtraSetsThem) {
    Deliver(u"one");
    Deliver(u"two", u"SMS/Sent Items");
    ASSERT_EQ(BackupAll(), 2u);
    {
        tallymere::xEntryID index(u"Tallymere", u"Messages.ndx");
        index.flags[1] = 0;  // as after a partial history: present, yet not flagged
    }
    const std::string data = ReadHostFile(Data()), ndx = ReadHostFile(Index());
    EXPECT_EQ(Restore(kNormal), 0u);
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(Restore(kExtra), 0u);
    EXPECT_EQ(ReadHostFile(Data()), data);
    for (const auto& entry : IndexEntries()) EXPECT_EQ(entry.flag, 1u);
    EXPECT_EQ(Messages().size(), 2u);
}

// A front end shows how far a restore is, out of the messages it will bring back (Normal takes
// the present entries, Extra every one; messages still in the store are not counted). The
// done count reaches the total, whatever order the missing ones come in.
TEST_F(RestoreStore, ARestoresTotalIsTheMessagesItBringsBack) {
    for (const char16_t* subject : {u"a", u"b", u"c", u"d", u"e", u"f"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 6u);
    {
        tallymere::xEntryID index(u"Tallymere", u"Messages.ndx");
        index.flags[3] = 0;
        index.flags[5] = 0;
    }
    const auto stored = Messages();
    for (std::size_t i : {1u, 3u, 4u}) Delete(stored[i].id);  // b and e come back with Normal, d with Extra
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    tallymere::SetPassProgress([&](std::uint32_t done, std::uint32_t total) { seen.emplace_back(done, total); });
    EXPECT_EQ(Restore(kNormal), 2u);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(2u, 2u));
    EXPECT_EQ(tallymere::PassTotal(), 2u);
    EXPECT_TRUE(std::find(seen.begin(), seen.end(), std::make_pair(0u, 2u)) != seen.end());
    for (const auto& [done, total] : seen)
        EXPECT_TRUE(total == 0 ? done == 0 : done <= total) << done << " of " << total;
    seen.clear();
    EXPECT_EQ(Restore(kExtra), 1u);
    EXPECT_EQ(seen.back(), std::make_pair(1u, 1u));
    // Nothing missing: nothing to count up to.
    seen.clear();
    EXPECT_EQ(Restore(kExtra), 0u);
    tallymere::SetPassProgress({});
    EXPECT_EQ(seen.back(), std::make_pair(0u, 0u));
    EXPECT_EQ(Messages().size(), 6u);
}

// A stop while the restore counts what it will bring back ends it before anything is restored.
TEST_F(RestoreStore, AStopWhileCountingRestoresNothing) {
    for (const char16_t* subject : {u"a", u"b"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 2u);
    for (const auto& s : Messages()) Delete(s.id);
    const std::string data = ReadHostFile(Data()), ndx = ReadHostFile(Index());
    tallymere::SetPassProgress([](std::uint32_t, std::uint32_t total) {
        if (total == 0) tallymere::RequestStop();
    });
    EXPECT_EQ(Restore(kExtra), 0u);
    tallymere::SetPassProgress({});
    tallymere::ClearStopRequest();
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(Restore(kExtra), 2u);
}

// Normal brings back what the latest full backup found on the device; Extra brings back every
// message ever archived. Each comes back into its archived folder, and the index and the
// record switch to the new identifier.
TEST_F(RestoreStore, NormalTakesThePresentEntriesExtraTakesEveryEntry) {
    const Bytes kept = Deliver(u"kept");
    const Bytes lateDeleted = Deliver(u"deleted after the backup", u"SMS/Sent Items");
    const Bytes earlyDeleted = Deliver(u"deleted before the backup", u"SMS/Drafts");
    ASSERT_EQ(BackupAll(), 3u);
    Delete(earlyDeleted);
    ASSERT_EQ(BackupAll(), 0u);  // its entry now has flag 0
    Delete(lateDeleted);
    const auto before = IndexEntries();
    ASSERT_EQ(before[2].flag, 0u);

    std::uint32_t unreadable = 9;
    EXPECT_EQ(Restore(kNormal, &unreadable), 1u);
    EXPECT_EQ(unreadable, 0u);
    auto now = BySubject();
    ASSERT_EQ(now.size(), 2u);
    ASSERT_TRUE(now.count(u"deleted after the backup"));
    const auto& back = now.at(u"deleted after the backup");
    EXPECT_EQ(back.folder, u"SMS/Sent Items");
    EXPECT_NE(back.id, lateDeleted);
    EXPECT_EQ(now.at(u"kept").id, kept);
    auto after = IndexEntries();
    EXPECT_EQ(after[0].id, kept);
    EXPECT_EQ(after[1].id, back.id);
    EXPECT_EQ(after[2].id, earlyDeleted);
    EXPECT_EQ(after[0].flag + after[1].flag, 2u);
    EXPECT_EQ(after[2].flag, 0u);
    // The record names the new message too: its first 24 bytes are the size and the identifier.
    EXPECT_EQ(ReadHostFile(Data()).substr(after[1].offset + 4, 20), std::string(back.id.begin(), back.id.end()));

    EXPECT_EQ(Restore(kExtra, &unreadable), 1u);
    now = BySubject();
    ASSERT_EQ(now.size(), 3u);
    EXPECT_EQ(now.at(u"deleted before the backup").folder, u"SMS/Drafts");
    after = IndexEntries();
    EXPECT_EQ(after[2].id, now.at(u"deleted before the backup").id);
    for (const auto& entry : after) EXPECT_EQ(entry.flag, 1u);
    // Offsets never move and nothing is appended.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(after[i].offset, before[i].offset);
}

TEST_F(RestoreStore, RestoringTwiceCreatesNoDuplicatesAndAFullBackupAfterwardsAppendsNothing) {
    for (const char16_t* subject : {u"a", u"bb", u"ccc"}) Deliver(subject);
    ASSERT_EQ(BackupAll(), 3u);
    const auto size = std::filesystem::file_size(Data());
    for (const auto& s : Messages()) Delete(s.id);

    EXPECT_EQ(Restore(kExtra), 3u);
    const std::string ndx = ReadHostFile(Index()), data = ReadHostFile(Data());
    EXPECT_EQ(Restore(kExtra), 0u);
    EXPECT_EQ(Restore(kNormal), 0u);
    EXPECT_EQ(Messages().size(), 3u);
    EXPECT_EQ(ReadHostFile(Index()), ndx);
    EXPECT_EQ(ReadHostFile(Data()), data);

    // The walk meets the re-created messages under their new identifiers, all already archived.
    EXPECT_EQ(BackupAll(), 0u);
    EXPECT_EQ(std::filesystem::file_size(Data()), size);
    for (const auto& entry : IndexEntries()) EXPECT_EQ(entry.flag, 1u);
}

// A restored message equals the original in everything but its identifier: every property,
// the recipients (one without a display name), the body bytes (a zero character and a
// surrogate pair included), the attachments with their data, and the times as archived.
TEST_F(RestoreStore, ARestoredMessageEqualsTheOriginalButForItsIdentifier) {
    phone::Delivery d;
    d.folder = u"SMS/Inbox";
    d.subject = u"Grüße, Привет 🎂";
    d.body = std::u16string(u"Line one\r\nA") + char16_t(0) + u"B 明日 \U0001F600";
    d.from = u"+4917012345";
    d.fromName = u"Søren";
    d.to = {{u"+111", u"Ann"}, {u"+222", u""}};
    d.attachments = {{u"photo.jpg", Bytes{0xFF, 0xD8, 0x00, 0x00, 0x01}}, {u"empty.txt", Bytes{}}};
    d.deliveryTime = platform::FromUnixTime(1200000000, 1234567);
    d.lastModificationTime = platform::FromUnixTime(1200003600, 7654321);
    d.read = true;
    const Bytes mms = phone::Deliver(*phone, d);
    Complete(mms, u"FW: ", 0x1234);
    Deliver(u"plain", u"SMS/Sent Items");
    ASSERT_EQ(BackupAll(), 2u);

    const auto original = Messages();
    const auto dumpWithoutIds = [&] {
        nlohmann::ordered_json dump = phone::Dump(*phone);
        for (auto& store : dump["stores"]) {
            store.erase("entryid");
            for (auto& folder : store["folders"]) {
                folder.erase("entryid");
                for (auto& m : folder["messages"]) m.erase("entryid");
            }
        }
        return dump;
    };
    const auto dumped = dumpWithoutIds();
    for (const auto& s : original) Delete(s.id);
    ASSERT_EQ(Restore(kNormal), 2u);

    const auto restored = Messages();
    ASSERT_EQ(restored.size(), original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(restored[i].folder, original[i].folder);
        EXPECT_NE(restored[i].id, original[i].id);
        ExpectSameMessage(restored[i].msg, original[i].msg);
    }
    EXPECT_EQ(original[0].msg.attachmentCount, 2u);
    EXPECT_EQ(original[0].msg.bodySize, 2 * d.body.size());
    EXPECT_EQ(original[0].msg.displayNameLen[1], 0u);
    EXPECT_EQ(dumpWithoutIds(), dumped);
}

// The record names its folder; a store or folder that is gone is made again along the path.
TEST_F(RestoreStore, MissingStoreAndFoldersAreCreatedAlongThePath) {
    // A folder that existed when it was archived and has been deleted since, with its parent.
    phone->MakeFolder(u"SMS/Work/2008/March");
    Deliver(u"in a deep folder", u"SMS/Work/2008/March");
    ASSERT_EQ(BackupAll(), 1u);
    {
        auto subtree = phone->FindFolder(u"SMS");
        auto work = phone->FindFolder(u"SMS/Work");
        const Bytes id = phone::EntryIdOf(work.get());
        work.reset();
        ASSERT_EQ(subtree->DeleteFolder(static_cast<platform::mapi::ULONG>(id.size()), id.data(), 0, nullptr,
                                        platform::mapi::DEL_FOLDERS | platform::mapi::DEL_MESSAGES),
                  0);
    }
    // A message archived from a store this device no longer has.
    tallymere::BeginBackup(tallymere::BackupMode::Partial);
    ASSERT_EQ(tallymere::BackupMessage(TextMessage(5, u"Old Phone/Inbox/Family", u"from the old phone")), 1u);
    tallymere::EndBackup();

    EXPECT_EQ(Restore(kNormal), 2u);
    const auto now = BySubject();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now.at(u"in a deep folder").folder, u"SMS/Work/2008/March");
    EXPECT_EQ(now.at(u"from the old phone").folder, u"Old Phone/Inbox/Family");
    std::vector<std::u16string> stores;
    for (const auto& store : phone->Stores()) stores.push_back(store.name);
    EXPECT_EQ(stores, (std::vector<std::u16string>{u"SMS", u"Old Phone"}));
    // Where it landed is where the program finds it from the message itself.
    auto message = phone->OpenMessage(now.at(u"from the old phone").id);
    const Bytes parent = testing_support::GetBinary(message.get(), platform::mapi::PR_PARENT_ENTRYID);
    tallymere::qMsg where(Session(), 0, nullptr);
    tallymere::GetMyFolder(where, 20, parent.data());
    EXPECT_EQ(where.folderPath, u"Old Phone/Inbox/Family");
}

}  // namespace

namespace {

// The identifiers of the export list.
std::set<Bytes> ExportList() {
    tallymere::xEntryID list(u"Tallyport", u"Messages.ndx");
    std::set<Bytes> ids;
    for (std::uint32_t i = 0; i < list.count; ++i) ids.emplace(list.ids[i].begin(), list.ids[i].end());
    return ids;
}

class RestoreExportList : public RestoreTest {
protected:
    // Two messages archived and exported; the second then deleted from the phone.
    void ExportedThenOneDeleted() {
        one_ = Deliver(u"one");
        two_ = Deliver(u"two");
        ASSERT_EQ(BackupAll(), 2u);
        std::filesystem::create_directories(Host("Out/Tallyport"));
        tallymere::xEntryID list(u"Tallyport", u"Messages.ndx");
        list.AddID(20, one_.data(), 0);
        list.AddID(20, two_.data(), 0);
        Delete(two_);
    }
    Bytes NewTwo() { return BySubject().at(u"two").id; }
    Bytes one_, two_;
};

}  // namespace

// Mended: a restored message kept its old identifier in the export list, so the next export
// wrote it a second time.
TEST_F(RestoreExportList, ARestoredMessageIsSwitchedInTheExportListToo) {
    ExportedThenOneDeleted();
    EXPECT_EQ(Restore(kExtra), 1u);
    EXPECT_EQ(ExportList(), (std::set<Bytes>{one_, NewTwo()}));
    // A message never exported stays out of the list.
    Delete(one_);
    std::filesystem::remove(Host("Out/Tallyport/Messages.ndx"));
    tallymere::xEntryID(u"Tallyport", u"Messages.ndx").AddID(20, NewTwo().data(), 0);
    EXPECT_EQ(Restore(kExtra), 1u);
    EXPECT_EQ(ExportList(), (std::set<Bytes>{NewTwo()}));
    // Where there is no export list, a restore makes none.
    std::filesystem::remove(Host("Out/Tallyport/Messages.ndx"));
    Delete(NewTwo());
    EXPECT_EQ(Restore(kExtra), 1u);
    EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallyport/Messages.ndx")));
}

// Wherever a restore is killed, the export list names the identifier the archive names, so that
// after the rerun it names the restored message.
TEST_F(RestoreExportList, AKilledRestoreLeavesTheExportListInStepWithTheArchive) {
    const std::pair<const char*, int> crashes[] = {{"fwrite", 1}, {"fwrite", 2}, {"fwrite", 3}, {"SaveChanges", 1}};
    for (const auto& [op, nth] : crashes) {
        SCOPED_TRACE(std::string(op) + ":" + std::to_string(nth));
        std::filesystem::remove_all(Host("Out"));
        std::filesystem::create_directories(Host("Out/Tallymere"));
        for (const auto& [subject, m] : BySubject()) Delete(m.id);
        ExportedThenOneDeleted();
        EXPECT_EXIT(
            {
                platform::faults::PlanCrash(op, nth);
                Restore(kExtra);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
        Restore(kExtra);
        ASSERT_EQ(BySubject().size(), 2u);
        EXPECT_TRUE(ExportList().count(NewTwo()));
        EXPECT_TRUE(ExportList().count(one_));
    }
}

// check --repair: a Folders.dat line damaged in place is rebuilt from where a message of that
// folder lies now; a line whose messages are all gone is named and left.
TEST_F(RestoreStore, ARepairRebuildsADamagedFolderLineFromAMessageStillOnThePhone) {
    Deliver(u"one");
    const Bytes sent = Deliver(u"two", u"SMS/Sent Items");
    ASSERT_EQ(BackupAll(), 2u);
    Delete(sent);
    testing_support::WriteHostFile(Folders(), std::string("SMS/In\0box\nSMS/Sent\x01Items\n", 26));
    const tallymere::RepairReport r = tallymere::RepairArchive(u"\\Out\\Tallymere");
    EXPECT_EQ(r.linesRebuilt, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(r.linesNotRebuilt, (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(ReadHostFile(Folders()), std::string("SMS/Inbox\nSMS/Sent\x01Items\n", 25));
}
