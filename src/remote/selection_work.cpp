// The work of `backup|export --select PATH...` and `--list` once the program has started: the
// selection tree filled as the dialog fills it, on a tree held in memory, ticked as clicks tick it.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/tree_memory.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "shell/commands.h"
#include "shell/selection_dialog.h"
#include "store/tree_select.h"
#include "support/tree_items.h"

namespace remote {

namespace {

// Stores and folders by their labels, messages by identifier and label, two blanks a level.
void PrintTree(std::FILE* out, const tallymere::xTreeSelect& select, tallymere::HTREEITEM first, int depth) {
    const tallymere::TreeView& tree = *select.treeWindow;
    const std::string indent(2 * static_cast<std::size_t>(depth), ' ');
    for (tallymere::HTREEITEM item = first; item; item = tree.GetNextSibling(item)) {
        const std::string label = platform::ToUtf8(tallymere::GetItemText(tree, item));
        if (const auto i = select.MessageIndexOf(item)) {
            std::fprintf(out, "%s%s  %s\n", indent.c_str(),
                         tallymere::HexEntryId(select.messageEntryIds[*i]).c_str(), label.c_str());
        } else {
            std::fprintf(out, "%s%s\n", indent.c_str(), label.c_str());
            PrintTree(out, select, tree.GetChild(item), depth + 1);
        }
    }
}

}  // namespace

int RunSelection(platform::ui::HWND window, const std::string& mode, const std::vector<std::string>& paths,
                 bool list, std::FILE* out, std::FILE* err) {
    // The request's word, which the server has checked to be "Backup" or "Export".
    const tallymere::SelectionMode selectionMode =
        mode == "Backup" ? tallymere::SelectionMode::Backup : tallymere::SelectionMode::Export;
    int status = kExitDone;
    platform::tree::MemoryTree tree(tallymere::kSelectionTree);
    tallymere::xTreeSelect select(&tree, selectionMode);
    select.GetStores();
    if (list) {
        PrintTree(out, select, tree.GetChild({}), 0);
        return status;
    }
    std::vector<tallymere::HTREEITEM> ticked;
    for (const std::string& path : paths) {
        const auto found = select.FindItems(platform::FromUtf8(path));
        if (found.empty()) {
            std::fprintf(err, "tallymere-cli: --select %s: no such store, folder or message\n", path.c_str());
            status = kExitUsage;
        }
        ticked.insert(ticked.end(), found.begin(), found.end());
    }
    if (status != kExitDone) return status;
    for (tallymere::HTREEITEM item : ticked) tallymere::CheckItem(tree, item, tallymere::kSelected);
    tallymere::RunSelectionPass(window, selectionMode, [&select] { return select.ProcessSelection(); });
    return status;
}

}  // namespace remote
