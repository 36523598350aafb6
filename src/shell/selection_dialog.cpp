#include "shell/selection_dialog.h"

#include <memory>
#include <optional>

#include "platform/images.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "store/store_cache.h"
#include "store/tree_select.h"
#include "support/fatal.h"
#include "support/tree_items.h"

namespace tallymere {

namespace dialog = platform::dialog;
namespace images = platform::images;
namespace tree = platform::tree;

SelectionMode selectionMode = SelectionMode::Backup;

namespace {

constexpr std::u16string_view kNewFolder = u"New Folder";

// The pop-up menu of stores and folders.
constexpr dialog::MenuItem kFolderPopup[] = {{kCommandCreateFolder, u"Create Folder"}};

// The open selection dialog's state. One is open at a time: it is modal to the main window.
struct SelectionState {
    TreeView* tree = nullptr;
    std::unique_ptr<xTreeSelect> select;
    bool creatingFolder = false;  // a "New Folder" item waits for its name
    bool editingLabel = false;    // its label is being edited
    HTREEITEM newFolder;
};
// Never destroyed: a failure that ends the program must not tear it down under the dialog.
platform::NoDestructor<SelectionState> state;

bool AddImages(TreeView& tree, int which, int bitmapId, std::u16string_view caption) {
    std::optional<images::ImageList> list =
        images::ImageList_Create(16, 15, images::ILC_MASK | images::ILC_COLOR, 3, 0);
    if (!list) return false;
    const std::optional<images::Bitmap> bitmap = images::LoadBitmapW(bitmapId);
    if (!bitmap || images::ImageList_AddMasked(*list, *bitmap, images::RGB(0, 255, 0)) == -1) {
        FatalError(u"ImageList_AddMasked", caption);
    }
    if (images::ImageList_GetImageCount(*list) < 3) return false;
    tree.SetImageList(which, *list);
    return true;
}

// The name without a trailing count such as " (4)".
std::u16string WithoutCount(std::u16string_view name) {
    const std::size_t open = name.rfind(u" (");
    if (open == std::u16string_view::npos || name.size() < open + 4 || name.back() != u')') return std::u16string(name);
    for (std::size_t i = open + 2; i + 1 < name.size(); ++i) {
        if (name[i] < u'0' || name[i] > u'9') return std::u16string(name);
    }
    return std::u16string(name.substr(0, open));
}

bool IsBlank(std::u16string_view name) { return name.find_first_not_of(u" \t") == std::u16string_view::npos; }

// Whether a new folder may take `name` next to the other children of its parent (the new item
// itself, still "New Folder", among them).
bool NameAllowed(const TreeView& tree, HTREEITEM newItem, std::u16string_view name) {
    if (IsBlank(name) || name.find(u'/') != std::u16string_view::npos) return false;
    const std::u16string bare = WithoutCount(name);
    for (HTREEITEM child = tree.GetChild(tree.GetParent(newItem)); child; child = tree.GetNextSibling(child)) {
        std::u16string sibling = GetItemText(tree, child);
        StripCountSuffix(sibling);
        if (platform::EqualsNoCase(sibling, name) || platform::EqualsNoCase(sibling, bare)) return false;
    }
    return true;
}

dialog::INT_PTR OnInitDialog(dialog::Dialog& dialog) {
    state->select.reset();
    state->creatingFolder = state->editingLabel = false;
    state->newFolder = {};
    state->tree = dialog.GetTree(kSelectionTree);
    dialog.InitDialog(dialog::SHIDIF_DONEBUTTON | dialog::SHIDIF_SIZEDLGFULLSCREEN | dialog::SHIDIF_SIPDOWN);
    if (state->tree == nullptr || !SelectMessageInitImages(*state->tree)) return 1;
    state->select = std::make_unique<xTreeSelect>(state->tree, selectionMode);
    state->select->GetStores();
    return 1;
}

void OnClick(const tree::Notification& click) { ToggleCheckAt(*state->tree, click.pt); }

void OnContextMenu(dialog::Dialog& dialog, const tree::Notification& press) {
    TreeView& tree = *state->tree;
    if (state->creatingFolder) return;
    const tree::HitTestInfo hit = tree.HitTest(press.pt);
    tree.SelectItem(hit.item);
    // Folders go into stores and folders, not into messages.
    if (state->select->MessageIndexOf(hit.item)) return;
    dialog.TrackPopupMenu(kFolderPopup, press.controlId, press.pt);
}

// TVN_BEGINLABELEDIT: only the label of a new folder can be edited.
dialog::INT_PTR OnBeginLabelEdit() {
    if (!state->creatingFolder) {
        state->tree->EndEditLabelNow(true);
        return 1;
    }
    state->editingLabel = true;
    return 0;
}

// TVN_ENDLABELEDIT: the new folder's name is accepted (and the folder made) or refused.
void OnEndLabelEdit(const tree::Notification& edit) {
    if (!state->creatingFolder) return;
    state->creatingFolder = state->editingLabel = false;
    TreeView& tree = *state->tree;
    const HTREEITEM item = std::exchange(state->newFolder, HTREEITEM{});
    const std::u16string name = edit.text.value_or(u"");
    if (!NameAllowed(tree, item, name)) {
        tree.DeleteItem(item);
        return;
    }
    SetItemText(tree, item, name + u" (0)");
    CreateFolderPath(GetItemFolderPath(tree, item));
}

void OnCreateFolder() {
    if (!state->select || state->creatingFolder) return;
    TreeView& tree = *state->tree;
    HTREEITEM parent = tree.GetSelection();
    if (state->select->MessageIndexOf(parent)) parent = tree.GetParent(parent);
    const HTREEITEM item = InsertTreeItem(tree, kNewFolder, 0, parent, false);
    if (!item) return;
    if (parent) tree.Expand(parent, tree::TVE_EXPAND);
    state->creatingFolder = true;
    state->newFolder = item;
    if (!tree.EditLabel(item)) {
        // No editor could open: the item would wait for a name for ever.
        state->creatingFolder = state->editingLabel = false;
        state->newFolder = {};
        tree.DeleteItem(item);
    }
}

void OnDone(dialog::Dialog& dialog) {
    if (state->editingLabel) return;
    const int processed = state->select ? state->select->ProcessSelection() : 0;
    state->select.reset();
    dialog.End(processed);
}

}  // namespace

bool SelectMessageInitImages(TreeView& tree) {
    return AddImages(tree, tree::TVSIL_NORMAL, 124, u"SelectMessageInitImages") &&
           AddImages(tree, tree::TVSIL_STATE, 115, u"SelectMessageInitImages");
}

bool SelectDirInitImages(TreeView& tree) { return AddImages(tree, tree::TVSIL_NORMAL, 124, u"SelectDirInitImages"); }

void ShowFolderExpanding(TreeView& tree, const tree::Notification& expanding) {
    const int image = expanding.action == tree::TVE_COLLAPSE ? kImageClosedFolder : kImageOpenFolder;
    tree.SetItemImage(expanding.item, image, image);
}

dialog::INT_PTR SelectMessageDlgProc(dialog::Dialog& dialog, std::uint32_t message, dialog::WPARAM wParam,
                                     dialog::LPARAM lParam) {
    switch (message) {
        case dialog::WM_INITDIALOG: return OnInitDialog(dialog);
        case dialog::WM_NOTIFY: {
            const auto& n = *reinterpret_cast<const tree::Notification*>(lParam);
            // Without its pictures the tree stays empty and nothing in it responds.
            if (!state->select || n.controlId != kSelectionTree) return 0;
            switch (n.code) {
                case tree::NM_CLICK: OnClick(n); return 0;
                case tree::TVN_ITEMEXPANDING: ShowFolderExpanding(*state->tree, n); return 0;
                case tree::GN_CONTEXTMENU: OnContextMenu(dialog, n); return 0;
                case tree::TVN_BEGINLABELEDIT: return OnBeginLabelEdit();
                case tree::TVN_ENDLABELEDIT: OnEndLabelEdit(n); return 0;
                default: return 0;
            }
        }
        case platform::ui::WM_COMMAND:
            switch (wParam & 0xFFFF) {
                case kCommandCreateFolder: OnCreateFolder(); return 1;
                case platform::ui::IDOK: OnDone(dialog); return 1;
                default: return 0;
            }
        default: return 0;
    }
}

}  // namespace tallymere
