// backup --select PATH… and export --select PATH…: "Backup by Selection" and "Export by
// Selection" without a dialog. The selection tree is filled as the dialog fills it, on a tree
// held in memory; each PATH ticks a store ("SMS"), a folder with everything below it
// ("SMS/Inbox") or one message (its identifier in hexadecimal), as a tick in the dialog does;
// then the ticked messages are processed and the same result line is printed. A PATH that
// names nothing is a usage error (status 2) and nothing is processed. --list prints the tree
// with its counts instead.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "platform/text.h"
#include "platform/tree_memory.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "shell/selection_dialog.h"
#include "store/tree_select.h"

namespace cli {

namespace {

struct SelectionOptions {
    std::vector<std::string> paths;
    bool list = false;
};

// Stores and folders by their labels, messages by identifier and label, two blanks a level.
void PrintTree(const tallymere::xTreeSelect& select, tallymere::HTREEITEM first, int depth) {
    const tallymere::TreeView& tree = *select.treeWindow;
    const std::string indent(2 * static_cast<std::size_t>(depth), ' ');
    for (tallymere::HTREEITEM item = first; item; item = tree.GetNextSibling(item)) {
        const std::string label = platform::ToUtf8(tallymere::GetItemText(tree, item));
        if (const auto i = select.MessageIndexOf(item)) {
            std::printf("%s%s  %s\n", indent.c_str(), tallymere::HexEntryId(select.messageEntryIds[*i]).c_str(),
                        label.c_str());
        } else {
            std::printf("%s%s\n", indent.c_str(), label.c_str());
            PrintTree(select, tree.GetChild(item), depth + 1);
        }
    }
}

int RunSelection(const GlobalOptions& options, const char* command, std::u16string_view mode,
                 const SelectionOptions& selection) {
    if (selection.paths.empty() && !selection.list) {
        std::fprintf(stderr, "tallymere-cli: %s needs --select PATH... or --list\n", command);
        return 2;
    }
    if (!MountDevice(options) || !LockDevice()) return 1;
    InstallConsolePort(false);
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    int status = 0;
    {
        platform::tree::MemoryTree tree(tallymere::kSelectionTree);
        tallymere::xTreeSelect select(&tree, mode);
        select.GetStores();
        if (selection.list) {
            PrintTree(select, tree.GetChild({}), 0);
        } else {
            std::vector<tallymere::HTREEITEM> ticked;
            for (const std::string& path : selection.paths) {
                const auto found = select.FindItems(platform::FromUtf8(path));
                if (found.empty()) {
                    std::fprintf(stderr, "tallymere-cli: --select %s: no such store, folder or message\n", path.c_str());
                    status = 2;
                }
                ticked.insert(ticked.end(), found.begin(), found.end());
            }
            if (status == 0) {
                for (tallymere::HTREEITEM item : ticked) tallymere::CheckItem(tree, item, tallymere::kSelected);
                tallymere::RunSelectionPass(nullptr, mode, [&select] { return select.ProcessSelection(); });
            }
        }
    }
    tallymere::EndApp(tallymere::StartMode::OneShot);
    return status;
}

}  // namespace

Runner AddSelectionCommands(CLI::App& app) {
    struct Command {
        CLI::App* app;
        const char* name;
        std::u16string_view mode;
        std::shared_ptr<SelectionOptions> options;
    };
    std::vector<Command> commands;
    for (const auto& [name, mode, what] : {std::tuple{"backup", u"Backup", "Back up"}, {"export", u"Export", "Export"}}) {
        auto selection = std::make_shared<SelectionOptions>();
        CLI::App* sub = app.add_subcommand(
            name, std::string(what) + " the messages of the stores, folders or messages named (by selection)");
        CLI::Option* select = sub->add_option("--select", selection->paths,
                                              "A store (SMS), a folder with everything below it (SMS/Inbox) or one "
                                              "message (its identifier, as --list shows it); several may follow");
        CLI::Option* list = sub->add_flag("--list", selection->list,
                                          "Print the stores, folders (with their message counts) and messages instead");
        list->excludes(select);
        commands.push_back({sub, name, mode, selection});
    }
    return [commands](const GlobalOptions& options) -> int {
        for (const Command& c : commands) {
            if (c.app->parsed()) return RunSelection(options, c.name, c.mode, *c.options);
        }
        return -1;
    };
}

}  // namespace cli
