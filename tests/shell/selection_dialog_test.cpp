// The selection dialog's procedure driven in memory as a user drives it: ticks by clicks on the
// boxes, folders made from the context menu, and Done.
#include "shell/selection_dialog.h"

#include <gtest/gtest.h>

#include "archive/backup.h"
#include "phone/device_deliver.h"
#include "device_fixture.h"
#include "platform/dialog_memory.h"
#include "platform/faults.h"
#include "platform/mapi/mapi.h"
#include "platform/text.h"
#include "store/store_cache.h"
#include "support/settings.h"
#include "support/tree_items.h"

namespace {

namespace tree = platform::tree;
using platform::dialog::MemoryDialog;
using tallymere::HTREEITEM;
using tallymere::kNotSelected;
using tallymere::kPartlySelected;
using tallymere::kSelected;

class SelectionDialog : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(platform::mapi::MAPIInitialize(nullptr), 0);
        tallymere::storeCache.reset();
        std::filesystem::create_directories(Host("Out/Tallymere"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
        phone = std::make_unique<phone::Phone>();
        tallymere::selectionMode = tallymere::SelectionMode::Backup;
    }
    void TearDown() override {
        dialog.reset();
        phone.reset();
        tallymere::storeCache.reset();
        platform::mapi::MAPIUninitialize();
        DeviceTest::TearDown();
    }

    void Deliver(const std::u16string& folder, const std::u16string& subject) {
        phone::Delivery d;
        d.folder = folder;
        d.subject = subject;
        d.from = u"+4900";
        phone->MakeFolder(folder);
        phone::Deliver(*phone, d);
    }

    tree::MemoryTree& Open() {
        dialog = std::make_unique<MemoryDialog>(tallymere::kSelectionDialog, tallymere::SelectMessageDlgProc);
        dialog->Init();
        return *dialog->Tree(tallymere::kSelectionTree);
    }
    tree::MemoryTree& Tree() { return *dialog->Tree(tallymere::kSelectionTree); }

    // The item whose label starts with `label` below `parent`, expanding the parent.
    HTREEITEM Item(HTREEITEM parent, std::u16string_view label) {
        if (parent) Tree().Expand(parent, tree::TVE_EXPAND);
        for (HTREEITEM c = Tree().GetChild(parent); c; c = Tree().GetNextSibling(c)) {
            if (Tree().GetItemText(c).starts_with(label)) return c;
        }
        ADD_FAILURE() << "no item " << platform::ToUtf8(label);
        return {};
    }
    void Click(HTREEITEM item, std::uint32_t part = tree::TVHT_ONITEMSTATEICON) {
        const auto pt = Tree().PointOn(item, part);
        ASSERT_TRUE(pt);
        Tree().Click(*pt);
    }
    std::uint32_t State(HTREEITEM item) { return tallymere::GetItemState(Tree(), item); }

    // Create Folder from the context menu of `on` (null: the empty space below the tree), with
    // `name` typed into the new item's label, or the edit cancelled.
    void CreateFolder(HTREEITEM on, std::optional<std::u16string> name) {
        tree::Point at{4, 1000};
        if (on) at = *Tree().PointOn(on, tree::TVHT_ONITEMLABEL);
        Tree().LongPress(at);
        const auto menu = dialog->TakeMenu();
        ASSERT_EQ(menu.size(), 1u);
        EXPECT_EQ(menu[0].second, u"Create Folder");
        dialog->Command(menu[0].first);
        ASSERT_TRUE(Tree().EditingItem());
        EXPECT_EQ(Tree().GetItemText(Tree().EditingItem()), u"New Folder");
        if (name) Tree().TypeLabel(*name);
        Tree().EndEditLabelNow(!name);
    }
    std::vector<std::u16string> FoldersInStore(std::u16string_view path) {
        std::vector<std::u16string> names;
        for (const auto& f : phone->Subfolders(phone->FindFolder(path).get())) names.push_back(f.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::u16string> Labels(HTREEITEM parent) {
        std::vector<std::u16string> labels;
        for (HTREEITEM c = Tree().GetChild(parent); c; c = Tree().GetNextSibling(c))
            labels.push_back(Tree().GetItemText(c));
        return labels;
    }

    std::unique_ptr<phone::Phone> phone;
    std::unique_ptr<MemoryDialog> dialog;
};

TEST_F(SelectionDialog, ClicksOnTheBoxesTickDownAndUpAndTheFoldersOpenTheirPictures) {
    Deliver(u"SMS/Inbox", u"one");
    Deliver(u"SMS/Inbox/Old", u"two");
    Deliver(u"SMS/Sent Items", u"three");
    Open();
    EXPECT_EQ(dialog->InitFlags(), 0x0Du);
    const HTREEITEM sms = Item({}, u"SMS (3)");
    const HTREEITEM inbox = Item(sms, u"Inbox (2)");
    EXPECT_EQ(Tree().GetItemImage(sms), tallymere::kImageOpenFolder) << "expanded";
    const HTREEITEM old = Item(inbox, u"Old (1)");
    const HTREEITEM one = Item(inbox, u"+4900 [one]");

    Click(inbox, tree::TVHT_ONITEMLABEL);
    EXPECT_EQ(State(inbox), kNotSelected) << "only a click on the box ticks";
    Click(old);
    EXPECT_EQ(State(Item(old, u"+4900 [two]")), kSelected);
    EXPECT_EQ(State(inbox), kPartlySelected);
    EXPECT_EQ(State(sms), kPartlySelected);
    Click(one);
    EXPECT_EQ(State(inbox), kSelected);
    EXPECT_EQ(State(sms), kPartlySelected) << "Sent Items is not ticked";
    Click(sms);
    EXPECT_EQ(State(sms), kNotSelected) << "a click on a partly ticked item clears it";
    for (HTREEITEM item : {inbox, old, one}) EXPECT_EQ(State(item), kNotSelected);
    Click(sms);
    EXPECT_EQ(State(Item(Item(sms, u"Sent Items"), u"+4900 [three]")), kSelected);

    Tree().Expand(inbox, tree::TVE_COLLAPSE);
    EXPECT_EQ(Tree().GetItemImage(inbox), tallymere::kImageClosedFolder);
}

TEST_F(SelectionDialog, DoneProcessesTheTickedMessagesAndReturnsTheirNumber) {
    Deliver(u"SMS/Inbox", u"one");
    Deliver(u"SMS/Inbox", u"two");
    Deliver(u"SMS/Sent Items", u"three");
    tallymere::BeginBackup(tallymere::BackupMode::Partial);
    Open();
    dialog->Command(platform::ui::IDOK);
    ASSERT_TRUE(dialog->Ended());
    EXPECT_EQ(dialog->Result(), 0) << "nothing ticked";

    Open();
    Click(Item({}, u"SMS"), tree::TVHT_ONITEMSTATEICON);
    Click(Item(Item({}, u"SMS"), u"Sent Items"));
    dialog->Command(platform::ui::IDOK);
    EXPECT_EQ(dialog->Result(), 2);
    tallymere::EndBackup();
    EXPECT_EQ(std::filesystem::file_size(Host("Out/Tallymere/Messages.ndx")), 2u * 28u);
}

TEST_F(SelectionDialog, ANewFolderNamedLikeASiblingOrNotAtAllIsDroppedAndNothingIsCreated) {
    Deliver(u"SMS/Inbox/Work", u"one");
    Open();
    const HTREEITEM inbox = Item(Item({}, u"SMS"), u"Inbox (1)");
    const std::vector<std::u16string> before = Labels(inbox);
    for (std::optional<std::u16string> name :
         {std::optional<std::u16string>(u"work"), {u"WORK (7)"}, {u"New Folder"}, {u""}, {u"   "}, {u"a/b"}, {}}) {
        CreateFolder(inbox, name);
        EXPECT_EQ(Labels(inbox), before) << platform::ToUtf8(name.value_or(u"<cancelled>"));
    }
    EXPECT_EQ(FoldersInStore(u"SMS/Inbox"), std::vector<std::u16string>{u"Work"});

    // An existing label cannot be edited.
    EXPECT_FALSE(Tree().EditLabel(inbox));
    EXPECT_EQ(Tree().GetItemText(inbox), u"Inbox (1)");
    // A message offers no menu: folders go into stores and folders.
    Tree().LongPress(*Tree().PointOn(Item(Item(inbox, u"Work"), u"+4900"), tree::TVHT_ONITEMLABEL));
    EXPECT_TRUE(dialog->TakeMenu().empty());
}

TEST_F(SelectionDialog, AnAcceptedNameIsCreatedExactlyAsTypedAndAtTheRootMakesAStore) {
    Deliver(u"SMS/Inbox/Work", u"one");
    Open();
    const HTREEITEM inbox = Item(Item({}, u"SMS"), u"Inbox (1)");
    CreateFolder(inbox, u"Work (old)");
    CreateFolder(inbox, u" (old)");
    CreateFolder(Item(inbox, u"Work (1)"), u"Deep");
    EXPECT_EQ(FoldersInStore(u"SMS/Inbox"), (std::vector<std::u16string>{u" (old)", u"Work", u"Work (old)"}));
    EXPECT_EQ(FoldersInStore(u"SMS/Inbox/Work"), std::vector<std::u16string>{u"Deep"});
    // Each went in sorted as "New Folder" and keeps its place when it takes its name.
    EXPECT_EQ(Labels(inbox), (std::vector<std::u16string>{u" (old) (0)", u"Work (old) (0)", u"Work (1)"}));

    Tree().SelectItem({});
    CreateFolder({}, u"Archive");
    EXPECT_EQ(Labels({}), (std::vector<std::u16string>{u"Archive (0)", u"SMS (1)"}));
    std::vector<std::u16string> stores;
    for (const auto& s : phone->Stores()) stores.push_back(s.name);
    EXPECT_NE(std::find(stores.begin(), stores.end(), u"Archive"), stores.end());
}

TEST_F(SelectionDialog, DoneWaitsWhileANewFolderIsBeingNamed) {
    Deliver(u"SMS/Inbox", u"one");
    Open();
    const HTREEITEM inbox = Item(Item({}, u"SMS"), u"Inbox");
    Click(Item(inbox, u"+4900"));
    Tree().LongPress(*Tree().PointOn(inbox, tree::TVHT_ONITEMLABEL));
    dialog->Command(dialog->TakeMenu().at(0).first);
    dialog->Command(platform::ui::IDOK);
    EXPECT_FALSE(dialog->Ended());
    Tree().TypeLabel(u"Later");
    Tree().EndEditLabelNow(false);
    tallymere::BeginBackup(tallymere::BackupMode::Partial);
    dialog->Command(platform::ui::IDOK);
    tallymere::EndBackup();
    EXPECT_EQ(dialog->Result(), 1);
}

TEST_F(SelectionDialog, WithoutItsPicturesTheTreeStaysEmptyAndDoneProcessesNothing) {
    Deliver(u"SMS/Inbox", u"one");
    platform::faults::Plan("ImageList_Create", 2);  // the state images
    Open();
    EXPECT_FALSE(Tree().GetChild({}));
    dialog->Command(platform::ui::IDOK);
    EXPECT_EQ(dialog->Result(), 0);
}

}  // namespace
