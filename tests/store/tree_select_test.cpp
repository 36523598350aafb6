// The selection tree's contents against the message store: labels and counts, what a message
// is called, what a tick makes ProcessSelection do, and what the filling must not do.
#include "store/tree_select.h"

#include <gtest/gtest.h>

#include "archive/backup.h"
#include "phone/device_deliver.h"
#include "mapi_fixture.h"
#include "platform/text.h"
#include "platform/tree_memory.h"
#include "store/store_cache.h"
#include "support/pass_control.h"
#include "support/settings.h"

namespace {

using namespace testing_support;
using tallymere::HTREEITEM;
using tallymere::xTreeSelect;

class TreeSelect : public MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        phone = std::make_unique<phone::Phone>();
        std::filesystem::create_directories(Host("Out/Tallymere"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
    }
    void TearDown() override {
        phone.reset();
        MapiTest::TearDown();
    }

    Bytes Deliver(const std::u16string& folder, const std::u16string& subject = u"s",
                  std::optional<std::u16string> fromName = std::nullopt, std::optional<std::u16string> from = u"+4900",
                  std::vector<std::u16string> to = {}) {
        phone::Delivery d;
        d.folder = folder;
        d.subject = subject;
        d.fromName = std::move(fromName);
        d.from = std::move(from);
        for (auto& address : to) d.to.push_back({address, u""});
        phone->MakeFolder(folder);
        return phone::Deliver(*phone, d);
    }

    // The item of that label among the children of `parent`.
    HTREEITEM Child(HTREEITEM parent, std::u16string_view label) {
        for (HTREEITEM c = tree.GetChild(parent); c; c = tree.GetNextSibling(c)) {
            if (tree.GetItemText(c) == label) return c;
        }
        ADD_FAILURE() << "no item " << platform::ToUtf8(label);
        return {};
    }
    std::vector<std::u16string> Labels(HTREEITEM parent) {
        std::vector<std::u16string> labels;
        for (HTREEITEM c = tree.GetChild(parent); c; c = tree.GetNextSibling(c)) labels.push_back(tree.GetItemText(c));
        return labels;
    }
    HTREEITEM ItemOf(const Bytes& id) {
        auto found = select.FindItems(platform::FromUtf8(tallymere::HexEntryId(id)));
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? HTREEITEM{} : found[0];
    }

    std::unique_ptr<phone::Phone> phone;
    platform::tree::MemoryTree tree;
    xTreeSelect select{&tree, tallymere::SelectionMode::Backup};
};

TEST_F(TreeSelect, FoldersCountEverythingBelowThemAndListSubfoldersFirst) {
    for (int i = 0; i < 3; ++i) Deliver(u"SMS/Inbox");
    for (int i = 0; i < 2; ++i) Deliver(u"SMS/Inbox/Old");
    Deliver(u"SMS");  // directly in the store's top folder: not listed
    select.GetStores();

    const HTREEITEM sms = Child({}, u"SMS (5)");
    EXPECT_EQ(Labels(sms), (std::vector<std::u16string>{u"Deleted Items (0)", u"Drafts (0)", u"Inbox (5)",
                                                        u"Outbox (0)", u"Sent Items (0)"}));
    const std::vector<std::u16string> inbox = Labels(Child(sms, u"Inbox (5)"));
    ASSERT_EQ(inbox.size(), 4u);
    EXPECT_EQ(inbox[0], u"Old (2)");
    EXPECT_EQ(inbox[1], u"+4900 [s]");
    EXPECT_EQ(select.messageCount, 5u);
    EXPECT_EQ(select.messageFolders[0], u"SMS/Inbox/Old");
    EXPECT_EQ(select.messageFolders[4], u"SMS/Inbox");
    EXPECT_FALSE(select.session) << "the filling's logon ends with it";
}

TEST_F(TreeSelect, AMessageIsCalledByItsSenderElseItsRecipientsWithItsSubjectInBrackets) {
    Deliver(u"SMS/Inbox", u"Hi", u"Anna", u"+111");
    Deliver(u"SMS/Inbox", u"", std::nullopt, u"+111");
    Deliver(u"SMS/Inbox", u"x", std::nullopt, std::nullopt, {u"+222", u"+333"});
    const Bytes bare = Deliver(u"SMS/Inbox", u"gone", std::nullopt, std::nullopt, {u"+444"});
    {
        mapi::Ptr<mapi::IMessage> message = phone->OpenMessage(bare);
        mapi::ULONG tag[] = {mapi::PR_SUBJECT_W};
        mapi::SPropTagArray tags{1, tag};
        ASSERT_EQ(message->DeleteProps(&tags, nullptr), 0);
    }
    select.GetStores();
    EXPECT_EQ(Labels(Child(Child({}, u"SMS (4)"), u"Inbox (4)")),
              (std::vector<std::u16string>{u"Anna [Hi]", u"+111 []", u"+222 +333  [x]", u"+444 "}));
}

TEST_F(TreeSelect, OnlyTickedMessagesAreProcessedAndOnesDeletedMeanwhileArePassedOver) {
    const Bytes a = Deliver(u"SMS/Inbox");
    const Bytes b = Deliver(u"SMS/Inbox/Old");
    const Bytes c = Deliver(u"SMS/Sent Items");
    select.GetStores();
    tallymere::BeginBackup(tallymere::BackupMode::Partial);
    EXPECT_EQ(select.ProcessSelection(), 0) << "nothing ticked";

    tallymere::CheckItem(tree, select.FindItems(u"SMS/Inbox").at(0), tallymere::kSelected);
    {
        mapi::Ptr<mapi::IMAPIFolder> old = phone->FindFolder(u"SMS/Inbox/Old");
        mapi::SBinary entry{static_cast<mapi::ULONG>(b.size()), const_cast<std::uint8_t*>(b.data())};
        mapi::ENTRYLIST list{1, &entry};
        ASSERT_EQ(old->DeleteMessages(&list, 0, nullptr, 0), 0);
    }
    EXPECT_EQ(select.ProcessSelection(), 1) << "a archived, b gone, c not ticked";
    EXPECT_EQ(select.ProcessSelection(), 0) << "a is archived already";
    tallymere::CheckItem(tree, ItemOf(c), tallymere::kSelected);
    EXPECT_EQ(select.ProcessSelection(), 1);
    tallymere::EndBackup();
    EXPECT_EQ(std::filesystem::file_size(Host("Out/Tallymere/Messages.ndx")), 2u * 28u);
}

// A front end shows how far a selection pass is: out of the ticked messages, not all listed.
TEST_F(TreeSelect, ASelectionPassCountsTheTickedMessages) {
    for (int i = 0; i < 3; ++i) Deliver(u"SMS/Inbox");
    for (int i = 0; i < 2; ++i) Deliver(u"SMS/Sent Items");
    select.GetStores();
    tallymere::CheckItem(tree, select.FindItems(u"SMS/Inbox").at(0), tallymere::kSelected);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    tallymere::SetPassProgress([&](std::uint32_t done, std::uint32_t total) { seen.emplace_back(done, total); });
    tallymere::BeginBackup(tallymere::BackupMode::Partial);
    EXPECT_EQ(select.ProcessSelection(), 3);
    tallymere::EndBackup();
    tallymere::SetPassProgress({});
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), std::make_pair(0u, 3u));
    EXPECT_EQ(seen.back(), std::make_pair(3u, 3u));
}

TEST_F(TreeSelect, FillingCreatesNothingAndTellsEqualStoresApart) {
    Deliver(u"SMS/Inbox");
    // A folder whose name holds "/", and a second store of the same name with its own folder.
    mapi::Ptr<mapi::IMAPIFolder> inbox = phone->FindFolder(u"SMS/Inbox");
    {
        mapi::Ptr<mapi::IMAPIFolder> slashed;
        ASSERT_EQ(inbox->CreateFolder(0, u"a/b", nullptr, nullptr, mapi::MAPI_UNICODE, slashed.Out()), 0);
    }
    mapi::Ptr<mapi::IMsgStore> twin;
    ASSERT_EQ(session->CreateMsgStore(u"SMS", twin.Out()), 0);
    {
        mapi::Ptr<mapi::IMAPIFolder> root = OpenFolderById(GetBinary(twin.get(), mapi::PR_IPM_SUBTREE_ENTRYID));
        mapi::Ptr<mapi::IMAPIFolder> archive;
        ASSERT_EQ(root->CreateFolder(0, u"Archive", nullptr, nullptr, mapi::MAPI_UNICODE, archive.Out()), 0);
        NewMessage(archive.get());
    }
    select.GetStores();

    std::vector<std::vector<std::u16string>> stores;
    for (HTREEITEM s = tree.GetChild({}); s; s = tree.GetNextSibling(s)) {
        EXPECT_EQ(tree.GetItemText(s), u"SMS (1)");
        stores.push_back(Labels(s));
    }
    ASSERT_EQ(stores.size(), 2u);
    if (stores[0].size() == 1) std::swap(stores[0], stores[1]);
    EXPECT_EQ(stores[1], std::vector<std::u16string>{u"Archive (1)"}) << "each store shows its own folders";
    EXPECT_EQ(select.FindItems(u"SMS").size(), 2u) << "the path names both stores";
    EXPECT_EQ(Labels(select.FindItems(u"SMS/Inbox").at(0)), (std::vector<std::u16string>{u"a/b (0)", u"+4900 [s]"}));
    EXPECT_EQ(phone->Subfolders(inbox.get()).size(), 1u) << "no folder \"a\" holding a \"b\" was made";
}

TEST_F(TreeSelect, MessagesAreFoundByTheirIdentifierInEitherCaseAndOnlyWholePathsName) {
    const Bytes id = Deliver(u"SMS/Inbox/Old");
    select.GetStores();
    std::string upper = tallymere::HexEntryId(id);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const auto found = select.FindItems(platform::FromUtf8(upper));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(select.MessageIndexOf(found[0]), 0u);
    for (std::u16string_view unknown : {u"SMS/Inbox/", u"sms", u"Old", u""}) {
        EXPECT_TRUE(select.FindItems(unknown).empty()) << platform::ToUtf8(unknown);
    }
}

}  // namespace
