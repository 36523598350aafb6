// The tree helpers on a tree held in memory: labels undone, paths, insertion, and the check
// marks between an item, what lies below it and its ancestors.
#include "support/tree_items.h"

#include <gtest/gtest.h>

#include "platform/tree_memory.h"

namespace {

using namespace tallymere;
using platform::tree::MemoryTree;

std::u16string Strip(std::u16string text) { return StripCountSuffix(text); }
std::u16string StripAll(std::u16string text) { return StripCountSuffixes(text); }

TEST(StripCountSuffix, CutsOnlyTheTrailingCountAndNeverLooksAtTheFirstCharacter) {
    EXPECT_EQ(Strip(u"Inbox (12)"), u"Inbox");
    EXPECT_EQ(Strip(u"Inbox"), u"Inbox");
    EXPECT_EQ(Strip(u"Work (old) (3)"), u"Work (old)");
    EXPECT_EQ(Strip(u"Work(3)"), u"Work(3)") << "no space before the group";
    EXPECT_EQ(Strip(u"a b)"), u"a b)") << "no opening parenthesis";
    EXPECT_EQ(Strip(u" (3)"), u" (3)") << "the space is the first character";
    EXPECT_EQ(Strip(u""), u"");
}

TEST(StripCountSuffixes, RemovesEveryGroupWithTheSpaceBeforeIt) {
    EXPECT_EQ(StripAll(u"SMS (12)/Inbox (3)"), u"SMS/Inbox");
    EXPECT_EQ(StripAll(u"a bc(1)"), u"a") << "what lies between the space and the group goes too";
    EXPECT_EQ(StripAll(u"Inbox"), u"Inbox");
    EXPECT_EQ(StripAll(u" (old)"), u"") << "the scan ends looking for a space: the first character goes";
    EXPECT_EQ(StripAll(u"x"), u"x");
    EXPECT_EQ(StripAll(u""), u"");
}

class TreeItems : public ::testing::Test {
protected:
    HTREEITEM Folder(std::u16string_view text, HTREEITEM parent = {}) {
        return InsertTreeItem(tree, text, 0, parent, false);
    }
    HTREEITEM Message(std::u16string_view text, HTREEITEM parent, std::intptr_t value = 0) {
        return InsertTreeItem(tree, text, value, parent, true);
    }
    std::vector<std::u16string> Children(HTREEITEM parent) {
        std::vector<std::u16string> texts;
        for (HTREEITEM c = tree.GetChild(parent); c; c = tree.GetNextSibling(c)) texts.push_back(tree.GetItemText(c));
        return texts;
    }

    MemoryTree tree;
};

TEST_F(TreeItems, FoldersGoInSortedOrderMessagesAfterTheLastAndNothingStartsTicked) {
    const HTREEITEM store = Folder(u"SMS");
    Message(u"b msg", store, 7);
    Folder(u"inbox", store);
    Message(u"a msg", store);
    Folder(u"Drafts", store);
    Folder(u"Outbox", store);
    // A folder goes before the first sibling whose text orders after its own, letter case
    // ignored (messages included); a message goes last.
    EXPECT_EQ(Children(store), (std::vector<std::u16string>{u"b msg", u"Drafts", u"inbox", u"a msg", u"Outbox"}));
    for (HTREEITEM c = tree.GetChild(store); c; c = tree.GetNextSibling(c)) {
        EXPECT_EQ(GetItemState(tree, c), kNotSelected);
        const bool message = tree.GetItemText(c).ends_with(u"msg");
        EXPECT_EQ(tree.GetItemImage(c), message ? kImageMessage : kImageClosedFolder);
    }
    EXPECT_EQ(tree.GetItemValue(tree.GetChild(store)), 7);
}

TEST_F(TreeItems, PathsJoinTheTextsFromTheRootAndFolderPathsDropTheCounts) {
    const HTREEITEM store = Folder(u"SMS (5)");
    const HTREEITEM work = Folder(u"Work (old) (3)", store);
    const HTREEITEM deep = Folder(u"A (1)", work);
    EXPECT_EQ(GetItemPath(tree, store, u"/"), u"SMS (5)") << "a root-level item is its own text";
    EXPECT_EQ(GetItemPath(tree, deep, u"\\"), u"SMS (5)\\Work (old) (3)\\A (1)");
    EXPECT_EQ(GetItemFolderPath(tree, deep), u"SMS/Work (old)/A");
    EXPECT_EQ(GetItemFolderPath(tree, store), u"SMS");
}

TEST_F(TreeItems, TicksGoDownToEveryDescendantAndUpToEveryAncestor) {
    const HTREEITEM store = Folder(u"SMS");
    const HTREEITEM inbox = Folder(u"Inbox", store);
    const HTREEITEM old = Folder(u"Old", inbox);
    const HTREEITEM oldMessage = Message(u"m1", old);
    const HTREEITEM inboxMessage = Message(u"m2", inbox);
    const HTREEITEM sent = Folder(u"Sent", store);
    const HTREEITEM sentMessage = Message(u"m3", sent);

    CheckItem(tree, old, kSelected);
    EXPECT_EQ(GetItemState(tree, oldMessage), kSelected);
    EXPECT_EQ(GetItemState(tree, inbox), kPartlySelected) << "Old ticked, its sibling message not";
    EXPECT_EQ(GetItemState(tree, store), kPartlySelected);

    CheckItem(tree, inboxMessage, kSelected);
    EXPECT_EQ(GetItemState(tree, inbox), kSelected) << "everything below it is ticked";
    EXPECT_EQ(GetItemState(tree, store), kPartlySelected) << "Sent is not";

    CheckItem(tree, sentMessage, kSelected);
    EXPECT_EQ(GetItemState(tree, sent), kSelected);
    EXPECT_EQ(GetItemState(tree, store), kSelected);

    // Clearing a partly ticked folder clears everything below it.
    CheckItem(tree, oldMessage, kNotSelected);
    ASSERT_EQ(GetItemState(tree, inbox), kPartlySelected);
    CheckItem(tree, inbox, kNotSelected);
    for (HTREEITEM item : {inbox, old, oldMessage, inboxMessage}) EXPECT_EQ(GetItemState(tree, item), kNotSelected);
    EXPECT_EQ(GetItemState(tree, store), kPartlySelected);
    EXPECT_EQ(GetItemState(tree, sent), kSelected) << "a sibling's subtree is left alone";
}

}  // namespace
