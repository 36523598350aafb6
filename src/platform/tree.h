// The tree-view control: a tree of items the program fills and reads, shaped like the
// device's own tree-view calls. The selection dialog shows every store, folder and message in
// one; the folder browser shows the device's directories in another.
//
// An item has a text, an item value (the program's own number for it), a normal and a
// selected image (indexes into the normal image list) and a state. The state bits under
// TVIS_STATEIMAGEMASK pick the item's state image (index << 12) from the state image list:
// the selection tree keeps its check marks there (1 empty box, 2 ticked box, 3 ticked box on
// grey). The control never changes an item's state by itself, not even on a click on the
// state image: the program sets the states it wants after each NM_CLICK.
//
// Items are named by handles that stay unique for the control's life: a deleted item's
// handle is never given out again, and calls with it fail (false, empty, null) instead of
// reaching another item. A null handle (HTREEITEM{}) means "no item" or, as a parent, the
// root level.
//
// Notifications. The control reports what the user does to its owner, the dialog, through
// the procedure given to SetNotify (the dialog host passes them on to the dialog procedure
// as WM_NOTIFY). Every notification carries the control's id and a code:
//   NM_CLICK            a click (a tap); `pt` is where, in the control's coordinates
//   GN_CONTEXTMENU      a right click or a long press; `pt` as for NM_CLICK
//   TVN_ITEMEXPANDING   `item` is about to expand or collapse (`action`); a non-zero result
//                       keeps it as it is
//   TVN_BEGINLABELEDIT  the label editor is opening on `item`; a non-zero result, or
//                       EndEditLabelNow(true) called during the notification, closes it again
//   TVN_ENDLABELEDIT    the editor on `item` closed: `text` is the edited text, nothing when
//                       the edit was cancelled; a non-zero result makes the control take the
//                       text as the item's new text, 0 leaves the text as it was
// All of it runs on the user-interface thread that owns the control.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/images.h"
#include "platform/window.h"

namespace platform::tree {

using ui::LPARAM;
using ui::LRESULT;

// An item of one control; null (id 0) is no item.
struct HTREEITEM {
    std::uint64_t id = 0;
    explicit operator bool() const { return id != 0; }
    friend bool operator==(HTREEITEM, HTREEITEM) = default;
};

// Where a new item goes among its siblings.
enum class InsertAfter {
    Last,  // after the last sibling
    Sort,  // before the first sibling whose text orders after it, letter case ignored
};

// State bits.
constexpr std::uint32_t TVIS_SELECTED = 0x0002;
constexpr std::uint32_t TVIS_EXPANDED = 0x0020;
constexpr std::uint32_t TVIS_STATEIMAGEMASK = 0xF000;

// Expand actions.
constexpr std::uint32_t TVE_COLLAPSE = 1;
constexpr std::uint32_t TVE_EXPAND = 2;

// Which image list SetImageList sets.
constexpr int TVSIL_NORMAL = 0;
constexpr int TVSIL_STATE = 2;

// Hit-test results: where a point lies relative to an item's row.
constexpr std::uint32_t TVHT_NOWHERE = 0x0001;  // below the last item
constexpr std::uint32_t TVHT_ONITEMICON = 0x0002;
constexpr std::uint32_t TVHT_ONITEMLABEL = 0x0004;
constexpr std::uint32_t TVHT_ONITEMINDENT = 0x0008;
constexpr std::uint32_t TVHT_ONITEMBUTTON = 0x0010;
constexpr std::uint32_t TVHT_ONITEMRIGHT = 0x0020;
constexpr std::uint32_t TVHT_ONITEMSTATEICON = 0x0040;

// Notification codes.
constexpr std::uint32_t NM_CLICK = 0U - 2U;
constexpr std::uint32_t TVN_ITEMEXPANDING = 0U - 454U;
constexpr std::uint32_t TVN_BEGINLABELEDIT = 0U - 459U;
constexpr std::uint32_t TVN_ENDLABELEDIT = 0U - 460U;
constexpr std::uint32_t GN_CONTEXTMENU = 0U - 1000U;

// A point in the control's own coordinates (pixels from its top-left corner).
struct Point {
    int x = 0;
    int y = 0;
};

struct HitTestInfo {
    std::uint32_t flags = TVHT_NOWHERE;
    HTREEITEM item;  // the item of the row hit, null when none
};

// A new item.
struct NewItem {
    HTREEITEM parent;  // null: at the root level
    InsertAfter after = InsertAfter::Last;
    std::u16string text;
    LPARAM value = 0;
    int image = 0;
    int selectedImage = 0;
    std::uint32_t state = 0;  // taken under stateMask
    std::uint32_t stateMask = 0;
};

// One notification (see the top of this file).
struct Notification {
    int controlId = 0;
    std::uint32_t code = 0;
    HTREEITEM item;
    std::uint32_t action = 0;            // TVN_ITEMEXPANDING: TVE_COLLAPSE or TVE_EXPAND
    Point pt;                            // NM_CLICK, GN_CONTEXTMENU
    std::optional<std::u16string> text;  // TVN_ENDLABELEDIT
};

using NotifyProc = std::function<LRESULT(const Notification&)>;

class TreeView {
public:
    virtual ~TreeView() = default;

    // The control's id in its dialog.
    virtual int ControlId() const = 0;
    // Who receives the notifications (replaces the previous receiver; empty: nobody).
    virtual void SetNotify(NotifyProc notify) = 0;

    // Inserts an item; null when the parent is not an item of this control.
    virtual HTREEITEM InsertItem(const NewItem& item) = 0;
    // Deletes the item and everything below it.
    virtual bool DeleteItem(HTREEITEM item) = 0;

    virtual std::u16string GetItemText(HTREEITEM item) const = 0;
    virtual bool SetItemText(HTREEITEM item, std::u16string_view text) = 0;
    // The item's state bits under `mask`.
    virtual std::uint32_t GetItemState(HTREEITEM item, std::uint32_t mask) const = 0;
    // Replaces the item's state bits under `mask` with those of `state`.
    virtual bool SetItemState(HTREEITEM item, std::uint32_t state, std::uint32_t mask) = 0;
    virtual LPARAM GetItemValue(HTREEITEM item) const = 0;
    virtual bool SetItemImage(HTREEITEM item, int image, int selectedImage) = 0;

    // Navigation; each gives null when there is no such item. GetChild of null gives the first
    // item of the root level. The program walks whole levels (a folder may hold thousands of
    // messages) with GetChild and GetNextSibling: neither may cost more for a longer level.
    virtual HTREEITEM GetParent(HTREEITEM item) const = 0;
    virtual HTREEITEM GetChild(HTREEITEM item) const = 0;
    virtual HTREEITEM GetNextSibling(HTREEITEM item) const = 0;

    // The selected (highlighted) item, and selecting one (null: none).
    virtual HTREEITEM GetSelection() const = 0;
    virtual bool SelectItem(HTREEITEM item) = 0;

    // Expands or collapses the item after TVN_ITEMEXPANDING has allowed it.
    virtual bool Expand(HTREEITEM item, std::uint32_t action) = 0;

    // Opens the label editor on the item (TVN_BEGINLABELEDIT first); false when it did not open.
    virtual bool EditLabel(HTREEITEM item) = 0;
    // Closes the open label editor, taking its text or (`cancel`) not (TVN_ENDLABELEDIT).
    virtual bool EndEditLabelNow(bool cancel) = 0;

    // The item row under a point and where on it the point lies.
    virtual HitTestInfo HitTest(Point pt) const = 0;

    // Gives the control its normal (TVSIL_NORMAL) or state (TVSIL_STATE) images; the control
    // keeps its own copy.
    virtual bool SetImageList(int which, const images::ImageList& list) = 0;
};

}  // namespace platform::tree
