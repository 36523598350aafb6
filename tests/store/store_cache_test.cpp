// Sessions, folder paths and the store cache.
#include "store/store_cache.h"

#include <gtest/gtest.h>

#include "archive/qmsg.h"
#include "mapi_fixture.h"
#include "platform/faults.h"
#include "store/session.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;
using platform::faults::Plan;
using tallymere::xStore;

class StoreCache : public MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        cache = std::make_unique<xStore>();
    }
    Ptr<IMAPIFolder> Open(std::u16string_view path) { return cache->OpenFolder(session.get(), path); }
    std::size_t StoreCount() {
        Ptr<IMAPITable> table;
        EXPECT_EQ(session->GetMsgStoresTable(0, table.Out()), 0);
        ULONG n = 0;
        table->GetRowCount(0, &n);
        return n;
    }
    std::size_t SubfolderCount(IMAPIFolder* folder) {
        Ptr<IMAPITable> table;
        EXPECT_EQ(folder->GetHierarchyTable(0, table.Out()), 0);
        ULONG n = 0;
        table->GetRowCount(0, &n);
        return n;
    }

    std::unique_ptr<xStore> cache;
};

TEST(SplitPath, EveryslashStartsAnElementEvenAtTheEnds) {
    std::vector<std::u16string> parts;
    EXPECT_EQ(tallymere::SplitPath(u"", parts), 1u);
    EXPECT_EQ(parts, std::vector<std::u16string>{u""});
    EXPECT_EQ(tallymere::SplitPath(u"A//B", parts), 3u);
    EXPECT_EQ(parts, (std::vector<std::u16string>{u"A", u"", u"B"}));
    EXPECT_EQ(tallymere::SplitPath(u"SMS/Inbox/", parts), 3u);
    EXPECT_EQ(parts.back(), u"");
    // No element or element-count limit.
    std::u16string longPath(300, u'x');
    for (int i = 0; i < 150; ++i) longPath += u"/e";
    EXPECT_EQ(tallymere::SplitPath(longPath, parts), 151u);
    EXPECT_EQ(parts[0].size(), 300u);
}

TEST_F(StoreCache, StoreNameAloneIsTheIpmSubtreeAndIsCached) {
    Ptr<IMAPIFolder> folder = Open(u"SMS");
    EXPECT_EQ(GetString(folder.get(), PR_DISPLAY_NAME_W), u"IPM.Root");
    EXPECT_EQ(EntryIdOf(folder.get()), EntryIdOf(Subtree().get()));
    ASSERT_EQ(cache->folderCount, 1u);
    EXPECT_EQ(cache->folderPaths[0], u"SMS");
    EXPECT_EQ(Bytes(cache->folderEntryIds[0].begin(), cache->folderEntryIds[0].begin() + cache->folderEntryIdSizes[0]),
              EntryIdOf(folder.get()));
    ASSERT_EQ(cache->storeCount, 1u);
    EXPECT_EQ(cache->storeNames[0], u"SMS");
}

TEST_F(StoreCache, MissingStoreAndFoldersAreCreatedUnderTheExactNames) {
    Ptr<IMAPIFolder> folder = Open(u"Backup/Old/2008");
    EXPECT_EQ(StoreCount(), 2u);
    Ptr<IMAPIFolder> subtree = Subtree(u"Backup");
    ASSERT_TRUE(subtree);
    EXPECT_EQ(EntryIdOf(folder.get()), EntryIdOf(Folder(u"Old/2008", u"Backup").get()));
    // Existing folders are opened, nothing is created.
    const std::size_t before = SubfolderCount(Subtree().get());
    Open(u"SMS/Inbox");
    EXPECT_EQ(SubfolderCount(Subtree().get()), before);
    EXPECT_EQ(StoreCount(), 2u);
}

TEST_F(StoreCache, LetterCaseMakesDifferentStoresAndFolders) {
    Ptr<IMAPIFolder> lower = Open(u"SMS/inbox");
    EXPECT_NE(EntryIdOf(lower.get()), EntryIdOf(Folder(u"Inbox").get()));
    Open(u"sms");
    EXPECT_EQ(StoreCount(), 2u);
    EXPECT_EQ(cache->storeCount, 2u);
}

TEST_F(StoreCache, StoresOfTheSameNameResolveToTheFirst) {
    Ptr<IMsgStore> twin;
    ASSERT_EQ(session->CreateMsgStore(u"SMS", twin.Out()), 0);
    Ptr<IMAPIFolder> folder = Open(u"SMS/Twin");
    Ptr<IMAPIFolder> first = Folder(u"Twin");  // below the first "SMS"
    EXPECT_EQ(EntryIdOf(folder.get()), EntryIdOf(first.get()));
}

TEST_F(StoreCache, SecondOpenOfAPathIsOneOpenEntry) {
    Bytes first = EntryIdOf(Open(u"SMS/Inbox/Work").get());
    // No table walk, subtree lookup or folder creation may happen any more.
    EXPECT_EXIT(
        {
            Plan("GetMsgStoresTable", 1, true);
            Plan("CreateFolder", 1, true);
            Plan("GetProps", 1, true);
            Plan("OpenMsgStore", 1, true);
            Ptr<IMAPIFolder> again = Open(u"SMS/Inbox/Work");
            platform::faults::Reset();
            std::exit(again && EntryIdOf(again.get()) == first && cache->folderCount == 1 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(StoreCache, DeletedCachedFolderIsCreatedAgainAndAppended) {
    Bytes old = EntryIdOf(Open(u"SMS/Gone").get());
    ASSERT_EQ(Subtree()->DeleteFolder(20, old.data(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), 0);
    Bytes renewed = EntryIdOf(Open(u"SMS/Gone").get());
    EXPECT_NE(renewed, old);
    ASSERT_EQ(cache->folderCount, 2u);
    EXPECT_EQ(cache->folderPaths[1], u"SMS/Gone");
    // The stale entry is passed over, the new one found.
    EXPECT_EQ(EntryIdOf(Open(u"SMS/Gone").get()), renewed);
    EXPECT_EQ(cache->folderCount, 2u);
}

TEST_F(StoreCache, BeyondTheTablesFoldersAreReturnedButNotRemembered) {
    cache->folderCount = xStore::MAX_FOLDER;
    cache->storeCount = xStore::MAX_STORE;
    Ptr<IMAPIFolder> folder = Open(u"Extra/Deep");
    EXPECT_TRUE(folder);
    EXPECT_EQ(cache->folderCount, xStore::MAX_FOLDER);
    EXPECT_EQ(cache->storeCount, xStore::MAX_STORE);
    // A path deeper and longer than any fixed buffer.
    std::u16string path = u"SMS";
    for (int i = 0; i < 120; ++i) path += u"/" + std::u16string(120, static_cast<char16_t>(u'a' + i % 26));
    EXPECT_TRUE(Open(path));
}

TEST_F(StoreCache, EmptyElementsAreRefused) {
    EXPECT_EXIT(Open(u"SMS/Inbox/"), ::testing::ExitedWithCode(1), "^xStore::OpenFolder: CreateFolder failed\\.\n$");
    EXPECT_EXIT(Open(u"SMS//Inbox"), ::testing::ExitedWithCode(1), "^xStore::OpenFolder: CreateFolder failed\\.\n$");
}

TEST_F(StoreCache, FailuresCarryTheirRoutinesCaption) {
    const auto fails = [&](const char* op, int nth, std::u16string_view path, const char* words) {
        EXPECT_EXIT(
            {
                Plan(op, nth);
                Open(path);
            },
            ::testing::ExitedWithCode(1), words)
            << op;
    };
    fails("GetMsgStoresTable", 1, u"SMS", "^xStore::OpenStore: GetMsgStoresTable failed\\.\n$");
    fails("SetColumns", 1, u"SMS", "^xStore::OpenStore: SetColumns failed\\.\n$");
    fails("OpenMsgStore", 1, u"SMS", "^xStore::OpenStore: OpenMsgStore failed\\.\n$");
    fails("CreateMsgStore", 1, u"New", "^xStore::OpenStore: CreateMsgStore failed\\.\n$");
    fails("GetProps", 1, u"SMS", "^xStore::OpenStore: GetProps failed\\.\n$");
    fails("GetProps", 2, u"SMS", "^xStore::OpenFolder: GetProps failed\\.\n$");
    fails("OpenEntry", 1, u"SMS", "^xStore::OpenFolder: OpenEntry failed\\.\n$");
    fails("CreateFolder", 1, u"SMS/Inbox", "^xStore::OpenFolder: CreateFolder failed\\.\n$");
    fails("GetProps", 3, u"SMS/Inbox", "^xStore::OpenFolder: GetProps failed\\.\n$");
    // Mended: a failed read of the stores table ended it, and the store was created again.
    fails("QueryRows", 1, u"SMS", "^xStore::OpenStore: QueryRows failed\\.\n$");
    // A cached store that no longer opens.
    cache->OpenStore(session.get(), u"SMS");
    fails("OpenMsgStore", 1, u"SMS", "^xStore::OpenStore: OpenMsgStore failed\\.\n$");
}

TEST_F(StoreCache, LogonAndLogoffFailuresAreFatal) {
    EXPECT_EXIT(
        {
            Plan("MAPILogonEx", 1);
            tallymere::SessionLogon();
        },
        ::testing::ExitedWithCode(1), "^SessionLogon: MAPILogonEx failed\\.\n$");
    EXPECT_EXIT(
        {
            Plan("Logoff", 1);
            tallymere::SessionLogoff(tallymere::SessionLogon());
        },
        ::testing::ExitedWithCode(1), "^SessionLogoff: Logoff failed\\.\n$");
    tallymere::SessionLogoff(tallymere::SessionLogon());
}

TEST_F(StoreCache, CreateFolderPathMakesThePathWithItsOwnLogon) {
    tallymere::storeCache.reset();
    tallymere::CreateFolderPath(u"SMS/Inbox/Family");
    EXPECT_EQ(tallymere::StoreCache().folderCount, 1u);
    EXPECT_EQ(GetString(Folder(u"Inbox/Family").get(), PR_DISPLAY_NAME_W), u"Family");
    tallymere::storeCache.reset();
}

// GetMyFolder: from a folder's identifier back to its path.
class MyFolder : public MapiTest {
protected:
    std::u16string PathOf(const Bytes& folder) {
        tallymere::qMsg msg(session.get(), 0, nullptr);
        tallymere::GetMyFolder(msg, static_cast<std::uint32_t>(folder.size()), folder.data());
        return msg.folderPath;
    }
};

TEST_F(MyFolder, PathRunsFromTheStoreNameDown) {
    Bytes inbox = EntryIdOf(Folder(u"Inbox").get());
    Ptr<IMessage> message = OpenMessage(NewMessage(Folder(u"Inbox").get()));
    EXPECT_EQ(PathOf(GetBinary(message.get(), PR_PARENT_ENTRYID)), u"SMS/Inbox");
    EXPECT_EQ(PathOf(inbox), u"SMS/Inbox");
    EXPECT_EQ(PathOf(EntryIdOf(Folder(u"A/B").get())), u"SMS/A/B");
    EXPECT_EQ(PathOf(EntryIdOf(Subtree().get())), u"SMS");
    Ptr<IMsgStore> other;
    ASSERT_EQ(session->CreateMsgStore(u"Zoë's phone", other.Out()), 0);
    EXPECT_EQ(PathOf(EntryIdOf(Folder(u"Sent", u"Zoë's phone").get())), u"Zoë's phone/Sent");
}

TEST_F(MyFolder, AChainWithoutIpmRootStillEnds) {
    // A folder beside the IPM subtree, below the store's root folder (which is its own parent).
    Bytes rootId = GetBinary(Subtree().get(), PR_PARENT_ENTRYID);
    Ptr<IMAPIFolder> root = OpenFolderById(rootId);
    Ptr<IMAPIFolder> loose;
    ASSERT_EQ(root->CreateFolder(0, u"Loose", nullptr, nullptr, MAPI_UNICODE, loose.Out()), 0);
    EXPECT_EQ(PathOf(EntryIdOf(loose.get())), u"SMS/Loose");
    EXPECT_EQ(PathOf(rootId), u"SMS");
}

TEST_F(MyFolder, FailuresAreFatal) {
    Bytes message = NewMessage(Folder(u"Inbox").get());
    EXPECT_EXIT(PathOf(message), ::testing::ExitedWithCode(1), "^GetMyFolder: OpenEntry failed\\.\n$");
    Bytes inbox = EntryIdOf(Folder(u"Inbox").get());
    EXPECT_EXIT(
        {
            Plan("GetProps", 1);
            PathOf(inbox);
        },
        ::testing::ExitedWithCode(1), "^GetMyFolder: GetProps failed\\.\n$");
}

}  // namespace
