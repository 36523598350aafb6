// backup --select PATH… and export --select PATH…: "Backup by Selection" and "Export by
// Selection" without a dialog. The selection tree is filled as the dialog fills it, on a tree
// held in memory; each PATH ticks a store ("SMS"), a folder with everything below it
// ("SMS/Inbox") or one message (its identifier in hexadecimal), as a tick in the dialog does;
// then the ticked messages are processed and the same result line is printed. A PATH that
// names nothing is a usage error (status 2) and nothing is processed. --list prints the tree
// with its counts instead. While the desktop program or `watch` holds the device, it carries
// them out (remote.h), as the other program commands.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/exit_status.h"
#include "cli/interrupt.h"
#include "cli/remote.h"
#include "cli/reports.h"
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

int RunHere(const GlobalOptions& options, const char* command, const std::string& mode,
            const SelectionOptions& selection) {
    if (selection.paths.empty() && !selection.list) {
        std::fprintf(stderr, "tallymere-cli: %s needs --select PATH... or --list\n", command);
        return kExitUsage;
    }
    if (selection.list && options.json) {
        std::fprintf(stderr, "tallymere-cli: %s --list prints the tree as text; --json goes with --select\n", command);
        return kExitUsage;
    }
    WatchInterrupts();
    if (!MountDevice(options)) return kExitFailure;
    ShowProgressOnTerminal(command);
    // While the resident program holds the device, it fills the tree and runs the pass.
    RemoteRequest request;
    request.verb = "select";
    request.json = options.json;
    request.mode = mode;
    request.paths = selection.paths;
    request.list = selection.list;
    if (const int status = LockOrForward(options, command, request); status >= 0) return status;
    InstallConsolePort(false, options.json ? std::string(command) : std::string());
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    int status = 0;
    {
        StoppableScope stoppable;
        status = RunSelection(nullptr, mode, selection.paths, selection.list, stdout, stderr);
    }
    ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    if (status != kExitDone || selection.list) return status;
    return FinishCommand(tallymere::LastCommandResult(), options.json);
}

}  // namespace

int RunSelection(platform::ui::HWND window, const std::string& mode, const std::vector<std::string>& paths,
                 bool list, std::FILE* out, std::FILE* err) {
    const std::u16string selectionMode = platform::FromUtf8(mode);
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

Runner AddSelectionCommands(CLI::App& app) {
    struct Command {
        CLI::App* app;
        const char* name;
        std::string mode;
        std::shared_ptr<SelectionOptions> options;
    };
    std::vector<Command> commands;
    for (const auto& [name, mode, what] : {std::tuple{"backup", "Backup", "Back up"}, {"export", "Export", "Export"}}) {
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
            if (c.app->parsed()) return RunHere(options, c.name, c.mode, *c.options);
        }
        return -1;
    };
}

}  // namespace cli
