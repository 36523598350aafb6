// The work of `backup|export --select PATH...` and `--list` once the program has started: the
// selection tree filled as the dialog fills it, on a tree held in memory, ticked as clicks tick it.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "platform/tree_memory.h"
#include "remote/exit_status.h"
#include "remote/reports.h"
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
            std::fprintf(out, "%s%s  %s\n", indent.c_str(), tallymere::HexEntryId(select.messageEntryIds[*i]).c_str(),
                         label.c_str());
        } else {
            std::fprintf(out, "%s%s\n", indent.c_str(), label.c_str());
            PrintTree(out, select, tree.GetChild(item), depth + 1);
        }
    }
}

// The same tree as JSON: stores and folders {"label","children"}, messages {"entryid","label"}.
nlohmann::ordered_json TreeJson(const tallymere::xTreeSelect& select, tallymere::HTREEITEM first) {
    const tallymere::TreeView& tree = *select.treeWindow;
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (tallymere::HTREEITEM item = first; item; item = tree.GetNextSibling(item)) {
        const std::string label = platform::ToUtf8(tallymere::GetItemText(tree, item));
        if (const auto i = select.MessageIndexOf(item)) {
            items.push_back({{"entryid", tallymere::HexEntryId(select.messageEntryIds[*i])}, {"label", label}});
        } else {
            items.push_back({{"label", label}, {"children", TreeJson(select, tree.GetChild(item))}});
        }
    }
    return items;
}

// A PATH as the user may type it: a trailing "/" names the same store or folder.
std::u16string PathWithoutTrailingSlash(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return platform::FromUtf8(trimmed);
}

}  // namespace

int RunSelection(platform::ui::HWND window, const std::string& mode, const std::vector<std::string>& paths, bool list,
                 std::FILE* out, std::FILE* err, bool json) {
    // The request's word, which the server has checked to be "Backup" or "Export".
    const tallymere::SelectionMode selectionMode =
        mode == "Backup" ? tallymere::SelectionMode::Backup : tallymere::SelectionMode::Export;
    const std::string command = mode == "Backup" ? "backup" : "export";
    int status = kExitDone;
    platform::tree::MemoryTree tree(tallymere::kSelectionTree);
    tallymere::xTreeSelect select(&tree, selectionMode);
    select.GetStores();
    if (list && json) {
        const nlohmann::ordered_json j{
            {"command", command}, {"tree", TreeJson(select, tree.GetChild({}))}, {"status", kExitDone}};
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return status;
    }
    if (list) {
        PrintTree(out, select, tree.GetChild({}), 0);
        return status;
    }
    std::vector<tallymere::HTREEITEM> ticked;
    for (const std::string& path : paths) {
        const auto found = select.FindItems(PathWithoutTrailingSlash(path));
        if (found.empty()) {
            const std::string error = "--select " + path + ": no such store, folder or message";
            std::fprintf(err, "tallymere-cli: %s\n", error.c_str());
            if (json && status == kExitDone) std::fprintf(out, "%s\n", ErrorJson(command, kExitUsage, error).c_str());
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
