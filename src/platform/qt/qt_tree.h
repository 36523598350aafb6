// The tree-control port on Qt: a tree widget whose rows show, from the left, the item's state
// image (its check box, from the state image list), its picture (from the normal image list)
// and its label.
//
// The widget never changes an item's state by itself: the check boxes are pictures, and a click
// on one only reports NM_CLICK with where it was; the program then sets the states it wants.
// What the user does arrives as notifications (platform/tree.h), in the control's coordinates,
// which are those of the widget's viewport (the area the rows are drawn in):
//   a left click                       NM_CLICK (after Qt has selected the row clicked)
//   Space on the current row           NM_CLICK on that row's check box, so that the keyboard
//                                      ticks as a click does
//   a right click, the menu key, or    GN_CONTEXTMENU (the menu key: on the current row)
//   a press held still for kLongPressMs
//   expanding or collapsing a row      TVN_ITEMEXPANDING (a non-zero answer undoes it)
//   the label editor closing           TVN_ENDLABELEDIT: Enter or leaving the editor takes the
//                                      text, Escape cancels
// Labels are edited only when the program asks (EditLabel); the user cannot open an editor.
//
// Items are linked to their siblings in lists of the port's own, so that walking a level costs
// the same per item however long the level is.
#pragma once

#include <QFontMetrics>
#include <QModelIndex>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QTreeWidget>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/tree.h"

namespace platform::qt {

class QtTree final : public tree::TreeView {
public:
    static constexpr int kLongPressMs = 700;
    static constexpr int kPictureWidth = 16;
    // Room between the parts of a row.
    static constexpr int kGap = 3;

    // The widget is made with `parent` as its parent widget.
    QtTree(int controlId, QWidget* parent);
    ~QtTree() override;
    QtTree(const QtTree&) = delete;
    QtTree& operator=(const QtTree&) = delete;

    // The tree widget, to be laid out by the dialog that holds it.
    QTreeWidget* Widget() const;

    int ControlId() const override { return controlId_; }
    void SetNotify(tree::NotifyProc notify) override { notify_ = std::move(notify); }
    tree::HTREEITEM InsertItem(const tree::NewItem& item) override;
    bool DeleteItem(tree::HTREEITEM item) override;
    std::u16string GetItemText(tree::HTREEITEM item) const override;
    bool SetItemText(tree::HTREEITEM item, std::u16string_view text) override;
    std::uint32_t GetItemState(tree::HTREEITEM item, std::uint32_t mask) const override;
    bool SetItemState(tree::HTREEITEM item, std::uint32_t state, std::uint32_t mask) override;
    tree::LPARAM GetItemValue(tree::HTREEITEM item) const override;
    bool SetItemImage(tree::HTREEITEM item, int image, int selectedImage) override;
    tree::HTREEITEM GetParent(tree::HTREEITEM item) const override;
    tree::HTREEITEM GetChild(tree::HTREEITEM item) const override;
    tree::HTREEITEM GetNextSibling(tree::HTREEITEM item) const override;
    tree::HTREEITEM GetSelection() const override;
    bool SelectItem(tree::HTREEITEM item) override;
    bool Expand(tree::HTREEITEM item, std::uint32_t action) override;
    bool EditLabel(tree::HTREEITEM item) override;
    bool EndEditLabelNow(bool cancel) override;
    tree::HitTestInfo HitTest(tree::Point pt) const override;
    bool SetImageList(int which, const images::ImageList& list) override;

    // Where a part (TVHT_ONITEMSTATEICON, TVHT_ONITEMICON, TVHT_ONITEMLABEL) of the item's row
    // lies in the control's coordinates; empty when the row is not shown (an ancestor is
    // collapsed) or has no such part.
    QRect PartRect(tree::HTREEITEM item, std::uint32_t part) const;
    // The item's picture (an index into the normal image list; -1 for no item).
    int GetItemImage(tree::HTREEITEM item) const;
    tree::HTREEITEM HandleOf(const QTreeWidgetItem* item) const;
    QTreeWidgetItem* ItemOf(tree::HTREEITEM item) const;
    // The item whose label is being edited (null when none), and its open editor.
    tree::HTREEITEM EditingItem() const { return editing_; }
    QWidget* Editor() const;

private:
    class View;
    class Delegate;
    friend class View;
    friend class Delegate;

    struct Node {
        QTreeWidgetItem* item = nullptr;
        std::uint64_t parent = 0;
        std::uint64_t firstChild = 0;
        std::uint64_t lastChild = 0;
        std::uint64_t next = 0;
        std::uint64_t previous = 0;
        std::u16string text;
        tree::LPARAM value = 0;
    };

    // The parts of a row drawn in `cell` (the row's rectangle right of its indentation).
    struct RowLayout {
        QRect stateIcon;  // empty: no state image shown
        QRect icon;       // empty: no picture shown
        QRect label;
    };
    RowLayout LayoutRow(const QRect& cell, const QModelIndex& index, const QFontMetrics& metrics) const;
    // The pictures an item shows now (null: none).
    const QPixmap* StatePicture(const QModelIndex& index) const;
    const QPixmap* Picture(const QModelIndex& index, bool selected) const;

    const Node* Find(tree::HTREEITEM item) const;
    std::uint64_t& FirstChild(std::uint64_t parent) { return parent == 0 ? firstRoot_ : nodes_.at(parent).firstChild; }
    std::uint64_t& LastChild(std::uint64_t parent) { return parent == 0 ? lastRoot_ : nodes_.at(parent).lastChild; }
    void Forget(std::uint64_t id);
    tree::LRESULT Notify(tree::Notification notification) const;
    // From the view: the user's doings.
    void OnClick(QPoint pt);
    void OnContextMenu(QPoint pt);
    void OnExpandedByUser(QTreeWidgetItem* item, bool expanded);
    void OnEditorClosed(std::optional<std::u16string> text);

    int controlId_;
    QPointer<View> view_;
    tree::NotifyProc notify_;
    std::unordered_map<std::uint64_t, Node> nodes_;
    std::uint64_t nextId_ = 1;
    std::uint64_t firstRoot_ = 0;
    std::uint64_t lastRoot_ = 0;
    tree::HTREEITEM editing_;
    bool expandingByProgram_ = false;
    std::vector<QPixmap> pictures_;
    std::vector<QPixmap> statePictures_;
    bool hasPictures_ = false;
    bool hasStatePictures_ = false;
};

}  // namespace platform::qt
