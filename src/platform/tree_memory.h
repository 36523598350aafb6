// A tree-view control held in memory: the command line's selection runs on it, and the tests
// drive the dialogs with it, doing what a user would (clicks, long presses, typing a label).
//
// It lays its items out as a plain tree control would, so that hit tests mean something: one
// row of kRowHeight pixels per visible item (the root level, and the children of expanded
// items, depth-first), indented by kIndent pixels per level. A row holds, from the left, the
// expand button (kIndent wide), the state image (16, while a state image list is set and the
// item's state image is not 0), the item's image (16, while a normal image list is set) and
// the label (kCharWidth per character).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/tree.h"

namespace platform::tree {

class MemoryTree final : public TreeView {
public:
    static constexpr int kRowHeight = 16;
    static constexpr int kIndent = 16;
    static constexpr int kCharWidth = 8;

    explicit MemoryTree(int controlId = 0) : controlId_(controlId) {}

    int ControlId() const override { return controlId_; }
    void SetNotify(NotifyProc notify) override { notify_ = std::move(notify); }
    HTREEITEM InsertItem(const NewItem& item) override;
    bool DeleteItem(HTREEITEM item) override;
    std::u16string GetItemText(HTREEITEM item) const override;
    bool SetItemText(HTREEITEM item, std::u16string_view text) override;
    std::uint32_t GetItemState(HTREEITEM item, std::uint32_t mask) const override;
    bool SetItemState(HTREEITEM item, std::uint32_t state, std::uint32_t mask) override;
    LPARAM GetItemValue(HTREEITEM item) const override;
    bool SetItemImage(HTREEITEM item, int image, int selectedImage) override;
    HTREEITEM GetParent(HTREEITEM item) const override;
    HTREEITEM GetChild(HTREEITEM item) const override;
    HTREEITEM GetNextSibling(HTREEITEM item) const override;
    HTREEITEM GetSelection() const override { return selection_; }
    bool SelectItem(HTREEITEM item) override;
    bool Expand(HTREEITEM item, std::uint32_t action) override;
    bool EditLabel(HTREEITEM item) override;
    bool EndEditLabelNow(bool cancel) override;
    HitTestInfo HitTest(Point pt) const override;
    bool SetImageList(int which, const images::ImageList& list) override;

    // What the tests and the command line look at.
    int GetItemImage(HTREEITEM item) const;
    bool IsExpanded(HTREEITEM item) const;
    bool HasImageList(int which) const;
    std::size_t ItemCount() const { return live_; }
    // The item whose label is being edited (null when none).
    HTREEITEM EditingItem() const { return editing_; }

    // A point in the middle of the given part (TVHT_ONITEMSTATEICON, TVHT_ONITEMLABEL, ...)
    // of the item's row; nothing when the item is not visible or its row has no such part.
    std::optional<Point> PointOn(HTREEITEM item, std::uint32_t part) const;

    // What a user does: a click, a long press (the context menu), typing into the open label
    // editor. Each returns what the receiver of the notification answered (0 without one).
    LRESULT Click(Point pt);
    LRESULT LongPress(Point pt);
    void TypeLabel(std::u16string_view text) { editText_ = text; }

private:
    // Siblings are a doubly linked list, so that walking a level and appending to it cost
    // nothing per item however many items it holds.
    struct Node {
        std::uint64_t parent = 0;
        std::uint64_t firstChild = 0;
        std::uint64_t lastChild = 0;
        std::uint64_t next = 0;
        std::uint64_t previous = 0;
        std::u16string text;
        LPARAM value = 0;
        int image = 0;
        int selectedImage = 0;
        std::uint32_t state = 0;
        bool expanded = false;
        bool deleted = false;
    };

    const Node* Find(HTREEITEM item) const;
    Node* Find(HTREEITEM item);
    // The first and last child of a node (0: the root level).
    std::uint64_t& FirstChild(std::uint64_t parent) { return parent == 0 ? firstRoot_ : nodes_[parent - 1].firstChild; }
    std::uint64_t& LastChild(std::uint64_t parent) { return parent == 0 ? lastRoot_ : nodes_[parent - 1].lastChild; }
    std::uint64_t FirstChild(std::uint64_t parent) const {
        return parent == 0 ? firstRoot_ : nodes_[parent - 1].firstChild;
    }
    void MarkDeleted(std::uint64_t id);
    bool IsWithin(std::uint64_t id, std::uint64_t ancestor) const;
    // Visible rows in order, with their depth.
    std::vector<std::pair<std::uint64_t, int>> Rows() const;
    LRESULT Notify(Notification notification) const;

    int controlId_;
    NotifyProc notify_;
    std::vector<Node> nodes_;  // node of id n at n - 1; deleted nodes stay
    std::uint64_t firstRoot_ = 0;
    std::uint64_t lastRoot_ = 0;
    std::size_t live_ = 0;
    HTREEITEM selection_;
    HTREEITEM editing_;
    std::u16string editText_;
    std::optional<images::ImageList> normalImages_;
    std::optional<images::ImageList> stateImages_;
};

}  // namespace platform::tree
