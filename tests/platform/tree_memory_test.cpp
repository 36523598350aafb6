// The tree control held in memory, and the program's pictures: what the dialogs rely on when
// the tests and the command line drive them without a screen.
#include "platform/tree_memory.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/faults.h"
#include "platform/images.h"

namespace {

using namespace platform::tree;
namespace images = platform::images;

HTREEITEM Add(MemoryTree& tree, std::u16string_view text, HTREEITEM parent = {}, std::uint32_t state = 0x1000) {
    NewItem item;
    item.parent = parent;
    item.text = text;
    item.state = state;
    item.stateMask = TVIS_STATEIMAGEMASK;
    return tree.InsertItem(item);
}

images::ImageList Pictures(int bitmap) {
    auto list = images::ImageList_Create(16, 15, images::ILC_MASK, 3, 0);
    EXPECT_TRUE(list);
    EXPECT_EQ(images::ImageList_AddMasked(*list, *images::LoadBitmapW(bitmap), images::RGB(0, 255, 0)), 0);
    return *list;
}

TEST(ProgramPictures, BitmapsCutIntoTheirPicturesWithGreenTransparent) {
    EXPECT_EQ(Pictures(124).Images().size(), 5u);
    const images::ImageList boxes = Pictures(115);
    ASSERT_EQ(boxes.Images().size(), 4u);
    const images::Image& unused = boxes.Images()[0];
    EXPECT_EQ(std::count(unused.transparent.begin(), unused.transparent.end(), true), 16 * 15);
    const images::Image& ticked = boxes.Images()[2];
    EXPECT_LT(std::count(ticked.transparent.begin(), ticked.transparent.end(), true), 16 * 15 / 2);

    EXPECT_FALSE(images::LoadBitmapW(999));
    images::ImageList wide(32, 15);
    EXPECT_EQ(images::ImageList_AddMasked(wide, *images::LoadBitmapW(124), 0), -1) << "80 is no multiple of 32";
    EXPECT_EQ(images::ImageList_GetImageCount(wide), 0);
    platform::faults::Plan("ImageList_Create", 1);
    EXPECT_FALSE(images::ImageList_Create(16, 15, images::ILC_MASK, 3, 0));
    platform::faults::Reset();
}

TEST(MemoryTree, HitTestsFindTheRowAndItsPartOnlyForVisibleItems) {
    MemoryTree tree(1035);
    const HTREEITEM store = Add(tree, u"SMS");
    const HTREEITEM inbox = Add(tree, u"Inbox", store);
    const HTREEITEM plain = Add(tree, u"No box", store, 0);
    EXPECT_FALSE(tree.PointOn(inbox, TVHT_ONITEMLABEL)) << "below a collapsed item";
    ASSERT_TRUE(tree.Expand(store, TVE_EXPAND));
    EXPECT_FALSE(tree.PointOn(inbox, TVHT_ONITEMSTATEICON)) << "no state pictures yet";

    tree.SetImageList(TVSIL_STATE, Pictures(115));
    tree.SetImageList(TVSIL_NORMAL, Pictures(124));
    for (std::uint32_t part : {TVHT_ONITEMSTATEICON, TVHT_ONITEMICON, TVHT_ONITEMLABEL, TVHT_ONITEMBUTTON}) {
        const auto pt = tree.PointOn(inbox, part);
        ASSERT_TRUE(pt) << part;
        const HitTestInfo hit = tree.HitTest(*pt);
        EXPECT_EQ(hit.item, inbox);
        EXPECT_EQ(hit.flags, part);
    }
    EXPECT_FALSE(tree.PointOn(plain, TVHT_ONITEMSTATEICON)) << "state picture 0 is not drawn";
    const HitTestInfo below = tree.HitTest({5, 3 * MemoryTree::kRowHeight + 1});
    EXPECT_EQ(below.flags, TVHT_NOWHERE);
    EXPECT_FALSE(below.item);
}

TEST(MemoryTree, ADeletedItemTakesItsSubtreeAndItsHandleReachesNothingEver) {
    MemoryTree tree;
    const HTREEITEM store = Add(tree, u"SMS");
    const HTREEITEM inbox = Add(tree, u"Inbox", store);
    const HTREEITEM old = Add(tree, u"Old", inbox);
    ASSERT_TRUE(tree.DeleteItem(inbox));
    EXPECT_EQ(tree.ItemCount(), 1u);
    EXPECT_FALSE(tree.SetItemText(old, u"x"));
    EXPECT_NE(Add(tree, u"Inbox", store), inbox) << "a handle is never given out twice";
    EXPECT_FALSE(Add(tree, u"child", inbox));
}

}  // namespace
