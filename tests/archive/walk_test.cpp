// The all-messages walk against a real message store: which messages it visits, in what order,
// under which folder paths, what it returns, and how its failures end the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_check.h"
#include "archive/backup.h"
#include "archive/restore.h"
#include "archive/walk.h"
#include "export/exporter.h"
#include "platform/device.h"
#include "platform/faults.h"
#include "platform/mapi/tags.h"
#include "platform/sqlite.h"
#include "platform/text.h"
#include "restore_fixture.h"
#include "support/pass_control.h"

namespace {

namespace mapi = platform::mapi;
using archive_testing::Bytes;
using archive_testing::RestoreTest;
using tallymere::MakeRules;
using tallymere::MakeRulesRec;
using testing_support::ReadHostFile;

// A message as the walk left it in the archive: its folder path and its subject.
struct Seen {
    std::u16string path;
    std::u16string subject;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << platform::ToUtf8(s.path) << " | " << platform::ToUtf8(s.subject);
}

// A hierarchy table seen through a filter that reports PR_SUBFOLDERS as false for every row.
// The store computes the property from the folders it holds and ignores attempts to set it,
// so a folder that has subfolders yet says it has none can only be shown to the walk this way.
class NoSubfoldersTable final : public mapi::IMAPITable {
public:
    explicit NoSubfoldersTable(mapi::Ptr<mapi::IMAPITable> inner) : inner_(std::move(inner)) {}
    mapi::HRESULT QueryInterface(const mapi::IID&, void**) override { return mapi::MAPI_E_INTERFACE_NOT_SUPPORTED; }
    mapi::ULONG AddRef() override { return ++references_; }
    mapi::ULONG Release() override {
        if (--references_ == 0) inner_.reset();
        return references_;
    }
    mapi::HRESULT SetColumns(const mapi::SPropTagArray* columns, mapi::ULONG flags) override {
        return inner_->SetColumns(columns, flags);
    }
    mapi::HRESULT QueryColumns(mapi::ULONG flags, mapi::SPropTagArray** columns) override {
        return inner_->QueryColumns(flags, columns);
    }
    mapi::HRESULT QueryRows(mapi::LONG count, mapi::ULONG flags, mapi::SRowSet** rows) override {
        const mapi::HRESULT result = inner_->QueryRows(count, flags, rows);
        if (result != 0 || *rows == nullptr) return result;
        for (mapi::ULONG r = 0; r < (*rows)->cRows; ++r) {
            mapi::SRow& row = (*rows)->aRow[r];
            for (mapi::ULONG c = 0; c < row.cValues; ++c) {
                if (row.lpProps[c].ulPropTag == mapi::PR_SUBFOLDERS) row.lpProps[c].Value.b = 0;
            }
        }
        ++rowsRead;
        return result;
    }
    mapi::HRESULT GetRowCount(mapi::ULONG flags, mapi::ULONG* count) override {
        return inner_->GetRowCount(flags, count);
    }
    mapi::HRESULT SeekRowBeginning() override { return inner_->SeekRowBeginning(); }

    bool Released() const { return references_ == 0 && !inner_; }
    int rowsRead = 0;

private:
    mapi::Ptr<mapi::IMAPITable> inner_;
    mapi::ULONG references_ = 1;
};

// A folder that hands out its hierarchy table through NoSubfoldersTable and is otherwise the
// folder itself. It lives on the test's stack; the walk never releases the folder it is given.
class NoSubfoldersFolder final : public mapi::IMAPIFolder {
public:
    explicit NoSubfoldersFolder(mapi::IMAPIFolder* inner) : inner_(inner) {}
    mapi::HRESULT QueryInterface(const mapi::IID& iid, void** object) override {
        return inner_->QueryInterface(iid, object);
    }
    mapi::ULONG AddRef() override { return 2; }
    mapi::ULONG Release() override { return 1; }
    mapi::HRESULT SaveChanges(mapi::ULONG flags) override { return inner_->SaveChanges(flags); }
    mapi::HRESULT GetProps(const mapi::SPropTagArray* tags, mapi::ULONG flags, mapi::ULONG* count,
                           mapi::SPropValue** values) override {
        return inner_->GetProps(tags, flags, count, values);
    }
    mapi::HRESULT GetPropList(mapi::ULONG flags, mapi::SPropTagArray** tags) override {
        return inner_->GetPropList(flags, tags);
    }
    mapi::HRESULT OpenProperty(mapi::ULONG tag, const mapi::IID* iid, mapi::ULONG options, mapi::ULONG flags,
                               mapi::IUnknown** object) override {
        return inner_->OpenProperty(tag, iid, options, flags, object);
    }
    mapi::HRESULT SetProps(mapi::ULONG count, const mapi::SPropValue* values,
                           mapi::SPropProblemArray** problems) override {
        return inner_->SetProps(count, values, problems);
    }
    mapi::HRESULT DeleteProps(const mapi::SPropTagArray* tags, mapi::SPropProblemArray** problems) override {
        return inner_->DeleteProps(tags, problems);
    }
    mapi::HRESULT GetContentsTable(mapi::ULONG flags, mapi::IMAPITable** table) override {
        return inner_->GetContentsTable(flags, table);
    }
    mapi::HRESULT GetHierarchyTable(mapi::ULONG flags, mapi::IMAPITable** table) override {
        mapi::Ptr<mapi::IMAPITable> inner;
        const mapi::HRESULT result = inner_->GetHierarchyTable(flags, inner.Out());
        if (result != 0) return result;
        table_ = std::make_unique<NoSubfoldersTable>(std::move(inner));
        *table = table_.get();
        return result;
    }
    mapi::HRESULT OpenEntry(mapi::ULONG size, const mapi::ENTRYID* id, const mapi::IID* iid, mapi::ULONG flags,
                            mapi::ULONG* type, mapi::IUnknown** object) override {
        return inner_->OpenEntry(size, id, iid, flags, type, object);
    }
    mapi::HRESULT CreateMessage(const mapi::IID* iid, mapi::ULONG flags, mapi::IMessage** message) override {
        return inner_->CreateMessage(iid, flags, message);
    }
    mapi::HRESULT CopyMessages(const mapi::ENTRYLIST* messages, const mapi::IID* iid, mapi::IMAPIFolder* destination,
                               mapi::ULONG_PTR ui, void* progress, mapi::ULONG flags) override {
        return inner_->CopyMessages(messages, iid, destination, ui, progress, flags);
    }
    mapi::HRESULT DeleteMessages(const mapi::ENTRYLIST* messages, mapi::ULONG_PTR ui, void* progress,
                                 mapi::ULONG flags) override {
        return inner_->DeleteMessages(messages, ui, progress, flags);
    }
    mapi::HRESULT CreateFolder(mapi::ULONG type, const char16_t* name, const char16_t* comment, const mapi::IID* iid,
                               mapi::ULONG flags, mapi::IMAPIFolder** folder) override {
        return inner_->CreateFolder(type, name, comment, iid, flags, folder);
    }
    mapi::HRESULT DeleteFolder(mapi::ULONG size, const mapi::ENTRYID* id, mapi::ULONG_PTR ui, void* progress,
                               mapi::ULONG flags) override {
        return inner_->DeleteFolder(size, id, ui, progress, flags);
    }

    const NoSubfoldersTable* Table() const { return table_.get(); }

private:
    mapi::IMAPIFolder* inner_;
    std::unique_ptr<NoSubfoldersTable> table_;
};

class Walk : public RestoreTest {
protected:
    // A message with `subject` delivered into an open folder.
    Bytes Put(mapi::IMAPIFolder* folder, const std::u16string& subject) {
        phone::Delivery d;
        d.subject = subject;
        d.body = u"Text of " + subject;
        d.from = u"+4917012345";
        d.to = {{u"+4915199999", u"Me"}};
        d.deliveryTime = platform::FromUnixTime(1200000000 + static_cast<std::int64_t>(serial_++));
        return phone::Deliver(*phone, d, folder);
    }
    Bytes Put(const std::u16string& path, const std::u16string& subject) {
        return Put(phone->MakeFolder(path).get(), subject);
    }

    // A subfolder named exactly `name` (which may hold "/"), created when missing.
    mapi::Ptr<mapi::IMAPIFolder> Child(mapi::IMAPIFolder* parent, const char16_t* name) {
        mapi::Ptr<mapi::IMAPIFolder> folder;
        EXPECT_EQ(parent->CreateFolder(mapi::FOLDER_GENERIC, name, nullptr, nullptr,
                                       mapi::MAPI_UNICODE | mapi::OPEN_IF_EXISTS, folder.Out()),
                  0);
        return folder;
    }

    mapi::Ptr<mapi::IMsgStore> NewStore(const char16_t* name) {
        mapi::Ptr<mapi::IMsgStore> store;
        EXPECT_EQ(Session()->CreateMsgStore(name, store.Out()), 0);
        return store;
    }

    // The IPM subtree folder of the first store called `name`.
    mapi::Ptr<mapi::IMAPIFolder> SubtreeOf(std::u16string_view name) {
        for (const phone::Named& store : phone->Stores()) {
            if (store.name == name) return phone->Subtree(store.id);
        }
        ADD_FAILURE() << "no store " << platform::ToUtf8(name);
        return {};
    }

    // "Backup All" as the command table runs it: a full pass around the walk.
    int BackupAllWalk() {
        tallymere::BeginBackup(tallymere::BackupMode::Full);
        const int archived = MakeRules(tallymere::Rule::BackupAll);
        tallymere::EndBackup();
        return archived;
    }

    // Every archived message in index order (the order the walk met them), with the folder path
    // its record names.
    std::vector<Seen> Archived() {
        std::vector<Seen> seen;
        tallymere::xRestore reader;
        for (std::uint32_t i = 0; i < reader.entryIds.count; ++i) {
            tallymere::qMsg msg(Session(), 0, nullptr);
            EXPECT_TRUE(reader.Load(msg, reader.entryIds.offsets[i])) << i;
            seen.push_back({reader.folders.names[reader.folderIndex], msg.subject});
        }
        return seen;
    }

    std::vector<std::u16string> FolderLines() {
        tallymere::xFolder folders;
        return folders.names;
    }

private:
    int serial_ = 0;
};

// Stores in stores-table order; inside a store depth first in hierarchy order; a folder's own
// messages (in contents order) before its subfolders, whenever they arrived. Paths are the
// store's name and the folder names below the IPM subtree, joined by "/".
TEST_F(Walk, VisitsStoresInOrderDepthFirstOwnMessagesBeforeSubfolders) {
    auto work = phone->MakeFolder(u"SMS/Inbox/Work");
    auto deep = phone->MakeFolder(u"SMS/Inbox/Work/Deep");
    phone->MakeFolder(u"SMS/Inbox/Family");
    Put(deep.get(), u"deep");  // arrives first, visited after everything above it
    Put(work.get(), u"work");
    Put(u"SMS/Inbox", u"inbox 1");
    Put(u"SMS/Sent Items", u"sent");
    Put(u"SMS/Inbox/Family", u"family");
    Put(u"SMS/Inbox", u"inbox 2");
    NewStore(u"Other");
    Put(phone->MakeFolder(u"Other/Inbox").get(), u"other");
    Put(u"SMS/Deleted Items", u"deleted");

    EXPECT_EQ(BackupAllWalk(), 8);
    const std::vector<Seen> expected = {
        {u"SMS/Inbox", u"inbox 1"},         {u"SMS/Inbox", u"inbox 2"},       {u"SMS/Inbox/Work", u"work"},
        {u"SMS/Inbox/Work/Deep", u"deep"},  {u"SMS/Inbox/Family", u"family"}, {u"SMS/Sent Items", u"sent"},
        {u"SMS/Deleted Items", u"deleted"}, {u"Other/Inbox", u"other"},
    };
    EXPECT_EQ(Archived(), expected);
    const std::vector<std::u16string> lines = {u"SMS/Inbox",        u"SMS/Inbox/Work", u"SMS/Inbox/Work/Deep",
                                               u"SMS/Inbox/Family", u"SMS/Sent Items", u"SMS/Deleted Items",
                                               u"Other/Inbox"};
    EXPECT_EQ(FolderLines(), lines);
}

// The messages lying directly in a store's IPM subtree folder (or above it, in the store's
// root folder) are not visited: a store whose subtree has no subfolders contributes 0.
TEST_F(Walk, MessagesOutsideTheSubfoldersOfTheIpmSubtreeAreNotVisited) {
    Put(SubtreeOf(u"SMS").get(), u"in the SMS subtree");
    auto bare = NewStore(u"Bare");
    Put(SubtreeOf(u"Bare").get(), u"in the Bare subtree");
    {
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        ASSERT_EQ(bare->OpenEntry(0, nullptr, nullptr, 0, &type, object.Out()), 0);
        ASSERT_EQ(type, mapi::MAPI_FOLDER);
        auto root = std::move(object).As<mapi::IMAPIFolder>();
        Put(root.get(), u"in the Bare root");
    }
    Put(u"SMS/Drafts", u"draft");

    EXPECT_EQ(BackupAllWalk(), 1);
    EXPECT_EQ(Archived(), (std::vector<Seen>{{u"SMS/Drafts", u"draft"}}));
}

// A folder whose hierarchy row says PR_SUBFOLDERS is false is not descended into, even when
// folders lie below it; its own messages are still visited.
TEST_F(Walk, AFolderWhoseRowSaysNoSubfoldersIsNotDescendedInto) {
    auto work = phone->MakeFolder(u"SMS/Inbox/Work");
    Put(work.get(), u"below");
    Put(Child(work.get(), u"Deeper").get(), u"further below");
    Put(u"SMS/Inbox", u"inbox");
    Put(u"SMS/Outbox", u"outbox");
    auto subtree = SubtreeOf(u"SMS");

    NoSubfoldersFolder filtered(subtree.get());
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EQ(MakeRulesRec(Session(), tallymere::Rule::BackupAll, &filtered, u"SMS"), 2);
    tallymere::EndBackup();
    EXPECT_EQ(Archived(), (std::vector<Seen>{{u"SMS/Inbox", u"inbox"}, {u"SMS/Outbox", u"outbox"}}));
    ASSERT_NE(filtered.Table(), nullptr);
    EXPECT_TRUE(filtered.Table()->Released());

    // The same folder as the store reports it: everything below is visited.
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EQ(MakeRulesRec(Session(), tallymere::Rule::BackupAll, subtree.get(), u"SMS"), 2);
    tallymere::EndBackup();
    EXPECT_EQ(Archived().size(), 4u);
    EXPECT_EQ(Archived()[3], (Seen{u"SMS/Inbox/Work/Deeper", u"further below"}));
}

// A "/" inside a folder name is not escaped: the path reads as one level deeper, and a restore
// re-creates the message two folders down ("A", then "B") rather than in "A/B".
TEST_F(Walk, ASlashInAFolderNameGivesAPathThatRestoreReadsOneLevelDeeper) {
    auto inbox = phone->FindFolder(u"SMS/Inbox");
    auto slashed = Child(inbox.get(), u"A/B");
    const Bytes id = Put(slashed.get(), u"slashed");

    EXPECT_EQ(BackupAllWalk(), 1);
    EXPECT_EQ(Archived(), (std::vector<Seen>{{u"SMS/Inbox/A/B", u"slashed"}}));

    Delete(id);
    EXPECT_EQ(tallymere::Restore(tallymere::RestoreMode::Extra), 1u);
    EXPECT_TRUE(phone->Messages(slashed.get()).empty());
    std::set<std::u16string> names;
    for (const auto& sub : phone->Subfolders(inbox.get())) names.insert(sub.name);
    EXPECT_EQ(names, (std::set<std::u16string>{u"A/B", u"A"}));
    auto restored = phone->FindFolder(u"SMS/Inbox/A/B");  // "A", then "B" below it
    EXPECT_EQ(phone->Messages(restored.get()).size(), 1u);
}

// Equal names under different parents give different paths; equally named folders of two
// stores with one name give equal paths (and one line of the folder list).
TEST_F(Walk, PathsFollowTheNamesNotTheFolders) {
    Put(u"SMS/Inbox/Archive", u"inbox archive");
    Put(u"SMS/Sent Items/Archive", u"sent archive");
    NewStore(u"Twin");
    NewStore(u"Twin");
    int n = 0;
    for (const phone::Named& store : phone->Stores()) {
        if (store.name != u"Twin") continue;
        auto subtree = phone->Subtree(store.id);
        Put(Child(subtree.get(), u"Inbox").get(), u"twin " + std::u16string(1, static_cast<char16_t>(u'1' + n++)));
    }
    ASSERT_EQ(n, 2);

    EXPECT_EQ(BackupAllWalk(), 4);
    const std::vector<Seen> expected = {{u"SMS/Inbox/Archive", u"inbox archive"},
                                        {u"SMS/Sent Items/Archive", u"sent archive"},
                                        {u"Twin/Inbox", u"twin 1"},
                                        {u"Twin/Inbox", u"twin 2"}};
    EXPECT_EQ(Archived(), expected);
    EXPECT_EQ(FolderLines(),
              (std::vector<std::u16string>{u"SMS/Inbox/Archive", u"SMS/Sent Items/Archive", u"Twin/Inbox"}));
}

// A second full walk over an unchanged device appends nothing and returns 0; the archive's
// bytes stay as they were.
TEST_F(Walk, ASecondBackupAllOverAnUnchangedDeviceReturnsZero) {
    Put(u"SMS/Inbox", u"one");
    Put(u"SMS/Inbox/Work", u"two");
    Put(u"SMS/Sent Items", u"three");
    ASSERT_EQ(BackupAllWalk(), 3);
    const std::string data = ReadHostFile(Data()), index = ReadHostFile(Index()), folders = ReadHostFile(Folders());
    EXPECT_EQ(BackupAllWalk(), 0);
    EXPECT_EQ(ReadHostFile(Data()), data);
    EXPECT_EQ(ReadHostFile(Index()), index);
    EXPECT_EQ(ReadHostFile(Folders()), folders);
}

// A pass over messages the archive knows deals with them from their contents-table rows: none
// is read whole (every body read fails here, and the pass still succeeds), yet a message moved
// to another folder gets its new folder number and one whose flags changed its new flags. A
// message new to the archive is read whole.
TEST_F(Walk, ARepeatedBackupRefreshesKnownMessagesFromTheirRowsAndReadsOnlyNewOnes) {
    const Bytes moved = Put(u"SMS/Inbox", u"moved");
    const Bytes marked = Put(u"SMS/Inbox", u"marked");
    ASSERT_EQ(BackupAllWalk(), 2);
    {
        auto inbox = phone->FindFolder(u"SMS/Inbox");
        auto sent = phone->FindFolder(u"SMS/Sent Items");
        mapi::SBinary bin{static_cast<mapi::ULONG>(moved.size()), const_cast<std::uint8_t*>(moved.data())};
        mapi::ENTRYLIST list{1, &bin};
        ASSERT_EQ(inbox->CopyMessages(&list, nullptr, sent.get(), 0, nullptr, mapi::MESSAGE_MOVE), 0);
        auto message = phone->OpenMessage(marked);
        mapi::SPropValue flags{};
        flags.ulPropTag = mapi::PR_MESSAGE_FLAGS;
        flags.Value.ul = 0x41;
        ASSERT_EQ(message->SetProps(1, &flags, nullptr), 0);
        ASSERT_EQ(message->SaveChanges(0), 0);
    }
    EXPECT_EXIT(
        {
            platform::faults::Plan("OpenProperty", 1, true);
            std::exit(BackupAllWalk() == 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
    const std::vector<Seen> expected = {{u"SMS/Sent Items", u"moved"}, {u"SMS/Inbox", u"marked"}};
    EXPECT_EQ(Archived(), expected);
    tallymere::xRestore reader;
    tallymere::qMsg msg(Session(), 0, nullptr);
    ASSERT_TRUE(reader.Load(msg, reader.entryIds.offsets[1]));
    EXPECT_EQ(msg.messageFlags, 0x41u);
    EXPECT_EQ(std::count(reader.entryIds.flags.begin(), reader.entryIds.flags.end(), 1u), 2);

    Put(u"SMS/Inbox", u"new");
    EXPECT_EXIT(
        {
            platform::faults::Plan("OpenProperty", 1, true);
            BackupAllWalk();
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "qMsg::GetMessageBody: OpenProperty failed\\.");
    EXPECT_EQ(BackupAllWalk(), 1);
}

// The same for Export All: a pass with nothing new reads no message, writes no file and still
// makes the directories of every message's folder.
TEST_F(Walk, ARepeatedExportReadsNoKnownMessage) {
    Put(u"SMS/Inbox", u"one");
    Put(u"SMS/Inbox/Work", u"two");
    std::filesystem::create_directories(Host("Out/Tallyport"));
    tallymere::OpenExporter();
    ASSERT_EQ(MakeRules(tallymere::Rule::ExportAll), 2);
    tallymere::CloseExporter();
    std::filesystem::remove_all(Host("Out/Tallyport/SMS/Inbox/Work"));
    EXPECT_EXIT(
        {
            platform::faults::Plan("OpenProperty", 1, true);
            tallymere::OpenExporter();
            const int exported = MakeRules(tallymere::Rule::ExportAll);
            tallymere::CloseExporter();
            std::exit(exported == 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Out/Tallyport/SMS/Inbox/Work")));
    EXPECT_TRUE(std::filesystem::is_empty(Host("Out/Tallyport/SMS/Inbox/Work")));
}

// A value of neither rule visits every message and counts 0. Without its receiving side open,
// a rule counts 0 as well.
TEST_F(Walk, AnUnknownRuleCountsNothing) {
    Put(u"SMS/Inbox", u"one");
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    int progress = 0;
    tallymere::SetPassProgress([&](std::uint32_t done, std::uint32_t) { progress = static_cast<int>(done); });
    EXPECT_EQ(MakeRules(static_cast<tallymere::Rule>(2)), 0);
    EXPECT_EQ(MakeRules(static_cast<tallymere::Rule>(-1)), 0);
    tallymere::SetPassProgress({});
    tallymere::EndBackup();
    // "ExportAll" with no exporter open: nothing to hand the messages to, nothing counted.
    EXPECT_EQ(MakeRules(tallymere::Rule::ExportAll), 0);
    EXPECT_EQ(progress, 1);
    EXPECT_TRUE(Archived().empty());
    EXPECT_EQ(ReadHostFile(Data()), "");
}

// A device without any store: nothing to visit, yet the walk logs on and off.
TEST_F(Walk, NoStoresGiveZeroWithLogonAndLogoff) {
    {
        platform::sql::Db db;
        ASSERT_TRUE(db.Open(platform::device::PlatformFile("messages.db")));
        ASSERT_TRUE(db.Exec("DELETE FROM objects WHERE kind = 1"));
    }
    ASSERT_TRUE(phone->Stores().empty());
    EXPECT_EQ(BackupAllWalk(), 0);
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EXIT(
        {
            platform::faults::Plan("MAPILogonEx", 1);
            MakeRules(tallymere::Rule::BackupAll);
        },
        ::testing::ExitedWithCode(1), "SessionLogon: MAPILogonEx failed\\.");
    EXPECT_EXIT(
        {
            platform::faults::Plan("Logoff", 1);
            MakeRules(tallymere::Rule::BackupAll);
        },
        ::testing::ExitedWithCode(1), "SessionLogoff: Logoff failed\\.");
    tallymere::EndBackup();
}

// Every failed store call ends the program with its words, captioned by the routine that met
// it; the stores walk is "MakeRules", the folders walk "MakeRulesRec".
TEST_F(Walk, FailuresEndTheProgramWithTheirWordsAndTag) {
    Put(u"SMS/Inbox", u"one");
    Put(u"SMS/Inbox/Work", u"two");
    struct Fault {
        const char* operation;
        int nth;
        const char* output;
    };
    const Fault faults[] = {
        {"GetMsgStoresTable", 1, "MakeRules: GetMsgStoresTable failed\\."},
        {"SetColumns", 1, "MakeRules: SetColumns failed\\."},
        {"OpenMsgStore", 1, "MakeRules: OpenMsgStore failed\\."},
        {"GetProps", 1, "MakeRules: GetProps failed\\."},
        {"OpenEntry", 1, "MakeRules: OpenEntry failed\\."},
        {"GetHierarchyTable", 1, "MakeRulesRec: GetHierarchyTable failed\\."},
        {"GetHierarchyTable", 2, "MakeRulesRec: GetHierarchyTable failed\\."},  // below Inbox
        {"SetColumns", 2, "MakeRulesRec: SetColumns failed\\."},
        {"OpenEntry", 2, "MakeRulesRec: OpenEntry failed\\."},
        {"GetContentsTable", 1, "MakeRulesRec: GetContentsTable failed\\."},
        {"GetContentsTable", 2, "MakeRulesRec: GetContentsTable failed\\."},  // Inbox/Work
    };
    const std::string index = ReadHostFile(Index());
    for (const Fault& f : faults) {
        SCOPED_TRACE(std::string(f.operation) + ":" + std::to_string(f.nth));
        EXPECT_EXIT(
            {
                platform::faults::Plan(f.operation, f.nth);
                tallymere::BeginBackup(tallymere::BackupMode::Full);
                MakeRules(tallymere::Rule::BackupAll);
                tallymere::EndBackup();
            },
            ::testing::ExitedWithCode(1), f.output);
        // The pass died before its end: the index names what it had appended, and nothing
        // else has changed in it.
        const std::string now = ReadHostFile(Index());
        EXPECT_EQ(now.substr(0, index.size()), index);
        EXPECT_TRUE(tallymere::CheckArchive(u"\\Out\\Tallymere").Sound());
    }
}

// Mended: a failing row read ended its table as if it were exhausted, so a backup that read
// nothing (or part of a folder) reported success. It is fatal with the routine's caption; only
// an empty row set ends a table.
TEST_F(Walk, AFailingRowReadIsFatal) {
    Put(u"SMS/Inbox", u"one");
    Put(u"SMS/Outbox", u"two");
    const std::pair<int, const char*> reads[] = {
        {1, "^MakeRules: QueryRows failed\\.\n$"},     // the stores table's first row
        {2, "^MakeRulesRec: QueryRows failed\\.\n$"},  // the subtree's first subfolder row
        {3, "^MakeRulesRec: QueryRows failed\\.\n$"},  // the Inbox's first message row
    };
    for (const auto& [nth, words] : reads) {
        EXPECT_EXIT(
            {
                platform::faults::Plan("QueryRows", nth);
                BackupAllWalk();
                std::exit(0);
            },
            ::testing::ExitedWithCode(1), words)
            << nth;
    }
    EXPECT_EQ(BackupAllWalk(), 2);
}

// A front end that shows progress hears the total first: the messages the walk will visit,
// counted from the folders below each store's IPM subtree (not those lying in the subtree
// itself); then every step, up to the total. Without a hook nothing is counted.
TEST_F(Walk, ProgressHearsTheTotalFirstOnlyWhenSomeoneShowsIt) {
    Put(SubtreeOf(u"SMS").get(), u"not visited");
    Put(u"SMS/Inbox", u"one");
    Put(u"SMS/Inbox/Work/Deep", u"two");
    Put(u"SMS/Sent Items", u"three");
    NewStore(u"Other");
    Put(u"Other/Inbox", u"four");
    std::vector<std::pair<std::uint32_t, std::uint32_t>> heard;
    tallymere::SetPassProgress([&](std::uint32_t done, std::uint32_t total) { heard.emplace_back(done, total); });
    EXPECT_EQ(BackupAllWalk(), 4);
    tallymere::SetPassProgress({});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}};
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(BackupAllWalk(), 0);
    EXPECT_EQ(tallymere::PassDone(), 4u);
    EXPECT_EQ(tallymere::PassTotal(), 0u) << "nobody shows it: not counted";
}

// A stop requested while a message is handled ends the walk after it; the pass closes as
// usual, so the index keeps what was done and the next pass goes on from there. The entries a
// stopped full pass did not reach keep their present-flags (Restore Normal must not take their
// messages for deleted ones).
TEST_F(Walk, AStopEndsThePassAtTheNextMessageAndKeepsWhatWasDone) {
    for (int i = 0; i < 3; ++i) Put(u"SMS/Inbox", u"old " + platform::FromUtf8(std::to_string(i)));
    ASSERT_EQ(BackupAllWalk(), 3);
    for (int i = 0; i < 4; ++i) Put(u"SMS/Sent Items", u"new " + platform::FromUtf8(std::to_string(i)));

    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t) {
        if (done == 4) tallymere::RequestStop();
    });
    EXPECT_EQ(BackupAllWalk(), 1) << "three old messages, then one new one";
    tallymere::SetPassProgress({});
    EXPECT_EQ(tallymere::PassDone(), 4u);
    const auto stopped = IndexEntries();
    ASSERT_EQ(stopped.size(), 4u);
    for (const auto& entry : stopped) EXPECT_EQ(entry.flag, 1u);

    // A full pass that stops before it met the old messages leaves their flags as they were.
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t) {
        if (done == 1) tallymere::RequestStop();
    });
    EXPECT_EQ(BackupAllWalk(), 0);
    tallymere::SetPassProgress({});
    for (const auto& entry : IndexEntries()) EXPECT_EQ(entry.flag, 1u);
    tallymere::ClearStopRequest();

    EXPECT_EQ(BackupAllWalk(), 3) << "the rest, once each";
    std::set<std::u16string> subjects;
    for (const Seen& seen : Archived()) subjects.insert(seen.subject);
    EXPECT_EQ(subjects.size(), 7u);
    EXPECT_EQ(Archived().size(), 7u);
}

// A restore stops likewise between two entries; its index is saved, and the next restore
// re-creates the rest, each message once.
TEST_F(Walk, AStoppedRestoreKeepsWhatItReCreatedAndTheNextOneDoesTheRest) {
    std::vector<Bytes> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(Put(u"SMS/Inbox", u"gone " + platform::FromUtf8(std::to_string(i))));
    ASSERT_EQ(BackupAllWalk(), 4);
    for (const Bytes& id : ids) Delete(id);

    // The total is known once the restore has counted the missing messages (0 while it counts).
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t total) {
        EXPECT_TRUE(total == 4u || (total == 0u && done == 0u)) << done << " of " << total;
        if (done == 1) tallymere::RequestStop();
    });
    EXPECT_EQ(tallymere::Restore(tallymere::RestoreMode::Extra), 1u);
    tallymere::SetPassProgress({});
    tallymere::ClearStopRequest();
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(tallymere::Restore(tallymere::RestoreMode::Extra), 3u);
    EXPECT_EQ(BySubject().size(), 4u) << "every message once";
}

}  // namespace
