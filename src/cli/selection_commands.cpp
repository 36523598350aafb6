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
#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/remote.h"
#include "remote/reports.h"
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

int RunHere(const remote::GlobalOptions& options, const char* command, const std::string& mode,
            const SelectionOptions& selection) {
    if (selection.paths.empty() && !selection.list) {
        const std::string error = std::string(command) + " needs --select PATH... or --list";
        std::fprintf(stderr, "tallymere-cli: %s\n", error.c_str());
        if (options.json) std::printf("%s\n", remote::ErrorJson(command, remote::kExitUsage, error).c_str());
        return remote::kExitUsage;
    }
    remote::WatchInterrupts();
    const remote::DeviceUse use = selection.list ? remote::DeviceUse::kRead : remote::DeviceUse::kWrite;
    if (!remote::MountDevice(options, use)) return remote::kExitFailure;
    remote::ShowProgressOnTerminal(command);
    // While the resident program holds the device, it fills the tree and runs the pass.
    remote::RemoteRequest request;
    request.verb = remote::verb::kSelect;
    request.json = options.json;
    request.mode = mode;
    request.paths = selection.paths;
    request.list = selection.list;
    if (const int status = remote::LockOrForward(options, command, request); status >= 0) return status;
    InstallConsolePort(false, options.json ? std::string(command) : std::string());
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    int status = remote::kExitDone;
    {
        remote::StoppableScope stoppable;
        status = remote::RunSelection(nullptr, mode, selection.paths, selection.list, stdout, stderr, options.json);
    }
    remote::ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    if (status != remote::kExitDone || selection.list) return status;
    return remote::FinishCommand(tallymere::LastCommandResult(), options.json);
}

}  // namespace

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
    return [commands](const remote::GlobalOptions& options) -> int {
        for (const Command& c : commands) {
            if (c.app->parsed()) return RunHere(options, c.name, c.mode, *c.options);
        }
        return -1;
    };
}

}  // namespace cli
