// Stores, folders, messages and their identifiers.
#include <gtest/gtest.h>

#include "mapi_fixture.h"
#include "platform/faults.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

using MapiObjects = MapiTest;

std::vector<std::u16string> SubfolderNames(IMAPIFolder* folder) {
    Ptr<IMAPITable> table;
    EXPECT_EQ(folder->GetHierarchyTable(0, table.Out()), 0);
    std::vector<std::u16string> names;
    for (;;) {
        Rows rows;
        if (table->QueryRows(1, 0, rows.Out()) != 0 || rows.size() == 0) break;
        EXPECT_EQ(rows->aRow[0].lpProps[1].ulPropTag, PR_DISPLAY_NAME_W);
        names.emplace_back(rows->aRow[0].lpProps[1].Value.lpszW);
    }
    return names;
}

TEST_F(MapiObjects, FreshDeviceHasTheSmsStoreWithItsFolders) {
    Ptr<IMsgStore> store = Store(u"SMS");
    ASSERT_TRUE(store);
    EXPECT_EQ(GetString(store.get(), PR_DISPLAY_NAME_W), u"SMS");
    Ptr<IMAPIFolder> subtree = Subtree();
    EXPECT_EQ(GetString(subtree.get(), PR_DISPLAY_NAME_W), u"IPM.Root");
    EXPECT_EQ(SubfolderNames(subtree.get()),
              (std::vector<std::u16string>{u"Inbox", u"Sent Items", u"Drafts", u"Outbox", u"Deleted Items"}));

    // Above the subtree: the root folder, named like the store and its own parent.
    Bytes rootId = GetBinary(subtree.get(), PR_PARENT_ENTRYID);
    Ptr<IMAPIFolder> root = OpenFolderById(rootId);
    EXPECT_EQ(GetString(root.get(), PR_DISPLAY_NAME_W), u"SMS");
    EXPECT_EQ(GetBinary(root.get(), PR_PARENT_ENTRYID), rootId);
    EXPECT_EQ(SubfolderNames(root.get()), std::vector<std::u16string>{u"IPM.Root"});

    // A second logon finds the same store, not a second one.
    Ptr<IMAPISession> other = Logon();
    Ptr<IMAPITable> stores;
    ASSERT_EQ(other->GetMsgStoresTable(0, stores.Out()), 0);
    ULONG count = 0;
    ASSERT_EQ(stores->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, 1u);
}

TEST_F(MapiObjects, CreateMsgStoreMakesRootAndSubtreeOnly) {
    Ptr<IMsgStore> store;
    ASSERT_EQ(session->CreateMsgStore(u"Archive", store.Out()), 0);
    EXPECT_EQ(GetString(store.get(), PR_DISPLAY_NAME_W), u"Archive");
    Ptr<IMAPIFolder> subtree = OpenFolderById(GetBinary(store.get(), PR_IPM_SUBTREE_ENTRYID));
    EXPECT_EQ(GetString(subtree.get(), PR_DISPLAY_NAME_W), u"IPM.Root");
    EXPECT_TRUE(SubfolderNames(subtree.get()).empty());
    EXPECT_EQ(GetLong(subtree.get(), PR_SUBFOLDERS), 0);
    // The store without identifier opens its root folder.
    Ptr<IUnknown> root;
    ULONG type = 0;
    ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, root.Out()), 0);
    EXPECT_EQ(type, MAPI_FOLDER);
    EXPECT_EQ(GetString(static_cast<IMAPIFolder*>(root.get()), PR_DISPLAY_NAME_W), u"Archive");

    Ptr<IMsgStore> none;
    EXPECT_NE(session->CreateMsgStore(u"", none.Out()), 0);
}

TEST_F(MapiObjects, EntryIdentifiersAreTwentyBytesUniqueAndNeverReused) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes first = NewMessage(inbox.get());
    ASSERT_EQ(first.size(), 20u);
    Ptr<IMsgStore> other;
    ASSERT_EQ(session->CreateMsgStore(u"Other", other.Out()), 0);
    Bytes otherStore = EntryIdOf(other.get());
    EXPECT_NE(otherStore, EntryIdOf(Store().get()));

    SBinary bin{20, first.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);
    Bytes second = NewMessage(inbox.get());
    EXPECT_NE(second, first);

    // The deleted message's identifier opens nothing, through any object.
    Ptr<IUnknown> object;
    ULONG type = 0;
    EXPECT_NE(session->OpenEntry(20, first.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_FALSE(object);
    EXPECT_NE(inbox->OpenEntry(20, first.data(), nullptr, 0, &type, object.Out()), 0);
    // Nor does an identifier of another shape or another device.
    Bytes foreign = second;
    foreign[5] ^= 0xFF;
    EXPECT_NE(session->OpenEntry(20, foreign.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_NE(session->OpenEntry(19, second.data(), nullptr, 0, &type, object.Out()), 0);
    // A folder opens a message of its own store only.
    Ptr<IMAPIFolder> otherRoot;
    {
        Ptr<IUnknown> root;
        ASSERT_EQ(other->OpenEntry(0, nullptr, nullptr, 0, &type, root.Out()), 0);
        otherRoot = std::move(root).As<IMAPIFolder>();
    }
    EXPECT_EQ(otherRoot->OpenEntry(20, second.data(), nullptr, 0, &type, object.Out()), MAPI_E_NOT_FOUND);
    ASSERT_EQ(inbox->OpenEntry(20, second.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_EQ(type, MAPI_MESSAGE);
}

TEST_F(MapiObjects, IdentifiersStayUniqueAfterTheNewestObjectIsDeleted) {
    // The newest object is the one a reusing allocator would hand out again.
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes a = NewMessage(inbox.get());
    SBinary bin{20, a.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);
    session->Logoff(0, 0, 0);
    session = Logon();
    inbox = Folder(u"Inbox");
    EXPECT_NE(NewMessage(inbox.get()), a);
}

TEST_F(MapiObjects, CreateFolderOpensExactNamesOnlyWhenAskedAndRefusesEmptyNames) {
    Ptr<IMAPIFolder> subtree = Subtree();
    Ptr<IMAPIFolder> inbox;
    EXPECT_EQ(subtree->CreateFolder(0, u"Inbox", nullptr, nullptr, MAPI_UNICODE, inbox.Out()), MAPI_E_COLLISION);
    ASSERT_EQ(subtree->CreateFolder(0, u"Inbox", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, inbox.Out()), 0);
    EXPECT_EQ(EntryIdOf(inbox.get()), EntryIdOf(Folder(u"Inbox").get()));
    // Names are matched exactly: another letter case is another folder.
    Ptr<IMAPIFolder> lower;
    ASSERT_EQ(subtree->CreateFolder(0, u"inbox", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, lower.Out()), 0);
    EXPECT_NE(EntryIdOf(lower.get()), EntryIdOf(inbox.get()));
    Ptr<IMAPIFolder> empty;
    EXPECT_EQ(subtree->CreateFolder(0, u"", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, empty.Out()),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(subtree->CreateFolder(0, nullptr, nullptr, nullptr, MAPI_UNICODE, empty.Out()), MAPI_E_INVALID_PARAMETER);
    // A name may hold "/": it is just a character of the name.
    Ptr<IMAPIFolder> slash;
    ASSERT_EQ(subtree->CreateFolder(0, u"a/b", nullptr, nullptr, MAPI_UNICODE, slash.Out()), 0);
    EXPECT_EQ(GetString(slash.get(), PR_DISPLAY_NAME_W), u"a/b");
    EXPECT_EQ(GetLong(subtree.get(), PR_SUBFOLDERS), 1);
}

TEST_F(MapiObjects, OpenEntryReportsTheObjectType) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes message = NewMessage(inbox.get());
    Bytes folder = EntryIdOf(inbox.get());
    Bytes store = EntryIdOf(Store().get());
    ULONG type = 0;
    Ptr<IUnknown> object;
    ASSERT_EQ(session->OpenEntry(20, message.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_EQ(type, MAPI_MESSAGE);
    ASSERT_EQ(session->OpenEntry(20, folder.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_EQ(type, MAPI_FOLDER);
    ASSERT_EQ(session->OpenEntry(20, store.data(), nullptr, 0, &type, object.Out()), 0);
    EXPECT_EQ(type, MAPI_STORE);
    // Asking for an interface the object does not have fails.
    EXPECT_EQ(session->OpenEntry(20, folder.data(), &IID_IMessage, 0, &type, object.Out()),
              MAPI_E_INTERFACE_NOT_SUPPORTED);
    Ptr<IMsgStore> notStore;
    EXPECT_EQ(session->OpenMsgStore(0, 20, folder.data(), nullptr, 0, notStore.Out()), MAPI_E_NOT_FOUND);
}

TEST_F(MapiObjects, MovedAndCopiedMessagesKeepTheirContent) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPIFolder> work = Folder(u"Inbox/Work");
    Bytes id = NewMessage(inbox.get(), u"moving");
    SBinary bin{20, id.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->CopyMessages(&list, nullptr, work.get(), 0, nullptr, MESSAGE_MOVE), 0);
    Ptr<IMessage> moved = OpenMessage(id);
    EXPECT_EQ(GetBinary(moved.get(), PR_PARENT_ENTRYID), EntryIdOf(work.get()));
    // Only messages of the folder itself can be moved or deleted from it.
    EXPECT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), MAPI_E_NOT_FOUND);

    ASSERT_EQ(work->CopyMessages(&list, nullptr, inbox.get(), 0, nullptr, 0), 0);
    Ptr<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.Out()), 0);
    std::vector<Bytes> ids = FirstColumn(contents.get());
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], id);
    EXPECT_EQ(GetString(OpenMessage(ids[0]).get(), PR_SUBJECT_W), u"moving");
}

TEST_F(MapiObjects, DeleteFolderNeedsFlagsWhenNotEmpty) {
    Ptr<IMAPIFolder> subtree = Subtree();
    Ptr<IMAPIFolder> gone = Folder(u"Gone");
    NewMessage(gone.get());
    Bytes id = EntryIdOf(gone.get());
    EXPECT_NE(subtree->DeleteFolder(20, id.data(), 0, nullptr, 0), 0);
    ASSERT_EQ(subtree->DeleteFolder(20, id.data(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), 0);
    Ptr<IUnknown> object;
    ULONG type = 0;
    EXPECT_NE(session->OpenEntry(20, id.data(), nullptr, 0, &type, object.Out()), 0);
    // A handle kept on the deleted folder fails instead of writing into nothing.
    SPropValue v = Unicode(PR_DISPLAY_NAME_W, u"x");
    EXPECT_EQ(gone->SetProps(1, &v, nullptr), MAPI_E_OBJECT_DELETED);
}

TEST_F(MapiObjects, LogonNeedsInitialisationAndAMountedDevice) {
    MAPIUninitialize();
    Ptr<IMAPISession> s;
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, s.Out()), MAPI_E_NOT_INITIALIZED);
    ASSERT_EQ(MAPIInitialize(nullptr), 0);
    platform::device::Unmount();
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, s.Out()), MAPI_E_LOGON_FAILED);
    std::string error;
    ASSERT_TRUE(platform::device::Mount(device_, &error));
}

TEST_F(MapiObjects, FaultPlanFailsTheNamedCall) {
    platform::faults::Plan("GetHierarchyTable", 2);
    Ptr<IMAPIFolder> subtree = Subtree();
    Ptr<IMAPITable> table;
    EXPECT_EQ(subtree->GetHierarchyTable(0, table.Out()), 0);
    EXPECT_EQ(subtree->GetHierarchyTable(0, table.Out()), MAPI_E_CALL_FAILED);
    EXPECT_EQ(subtree->GetHierarchyTable(0, table.Out()), 0);
    platform::faults::Plan("MAPILogonEx", 1);
    Ptr<IMAPISession> s;
    EXPECT_NE(MAPILogonEx(0, nullptr, nullptr, 0, s.Out()), 0);
    EXPECT_FALSE(s);
}

}  // namespace
