#include "shell/folder_browser.h"

#include "platform/filesys.h"
#include "shell/selection_dialog.h"
#include "shell/settings_dialog.h"
#include "support/tree_items.h"

namespace tallymere {

namespace dialog = platform::dialog;
namespace tree = platform::tree;

std::u16string browsedFolder;

void FillDirectoryTree(TreeView& tree, std::u16string_view path, HTREEITEM parent) {
    const auto entries = platform::FindFiles(std::u16string(path) + u"\\*");
    if (!entries) return;
    for (const platform::FindData& entry : *entries) {
        if ((entry.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0 || entry.name.starts_with(u'.')) continue;
        const HTREEITEM item = InsertTreeItem(tree, entry.name, 0, parent, false);
        const std::u16string below = std::u16string(path) + u"\\" + entry.name;
        if (below.size() < kMaxOutputDirLength) FillDirectoryTree(tree, below, item);
    }
}

dialog::INT_PTR SelectDirDlgProc(dialog::Dialog& dialog, std::uint32_t message, dialog::WPARAM wParam,
                                 dialog::LPARAM lParam) {
    TreeView* tree = dialog.GetTree(kFolderTree);
    switch (message) {
        case dialog::WM_INITDIALOG:
            dialog.InitDialog(dialog::SHIDIF_DONEBUTTON | dialog::SHIDIF_SIZEDLGFULLSCREEN | dialog::SHIDIF_SIPDOWN);
            if (tree != nullptr && SelectDirInitImages(*tree)) FillDirectoryTree(*tree, u"", {});
            return 1;
        case dialog::WM_NOTIFY: {
            const auto& n = *reinterpret_cast<const tree::Notification*>(lParam);
            if (tree != nullptr && n.controlId == kFolderTree && n.code == tree::TVN_ITEMEXPANDING) {
                ShowFolderExpanding(*tree, n);
            }
            return 0;
        }
        case platform::ui::WM_COMMAND: {
            if ((wParam & 0xFFFF) != platform::ui::IDOK) return 0;
            const HTREEITEM selected = tree != nullptr ? tree->GetSelection() : HTREEITEM{};
            if (!selected) {
                dialog.End(platform::ui::IDCANCEL);
                return 1;
            }
            browsedFolder = u"\\" + GetItemPath(*tree, selected, u"\\");
            dialog.End(platform::ui::IDOK);
            return 1;
        }
        default: return 0;
    }
}

}  // namespace tallymere
