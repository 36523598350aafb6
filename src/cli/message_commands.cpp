// The program's commands on the messages: backup-all, export-all, restore normal|extra.
// Each runs exactly what the command table runs for its menu command, with its result box
// printed on standard output.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "archive/restore_preview.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/remote.h"
#include "remote/reports.h"
#include "platform/com.h"
#include "platform/mapi/mapi.h"
#include "shell/app.h"
#include "shell/commands.h"

namespace cli {

namespace {

// On a terminal, what a restore would bring back, before it asks. `programStarted`: the
// message store is initialised already (this process holds the device).
void PrintRestorePreview(bool programStarted) {
    if (!programStarted) {
        platform::CoInitializeEx(nullptr, 0);
        platform::mapi::MAPIInitialize(nullptr);
    }
    const tallymere::RestorePreview preview = tallymere::PreviewRestore();
    if (!programStarted) {
        platform::mapi::MAPIUninitialize();
        platform::CoUninitialize();
    }
    std::fprintf(stderr,
                 "The archive holds %u messages; %u of them are missing from the store. Restore Normal would bring "
                 "back %u of them, Restore Extra %u.\n",
                 preview.archived, preview.missingExtra, preview.missingNormal, preview.missingExtra);
}

// The restore's question, answered on the terminal (no terminal: Cancel).
bool ConfirmRestore(std::u16string_view question, bool programStarted) {
    if (::isatty(STDIN_FILENO)) PrintRestorePreview(programStarted);
    ConsolePort port(false);
    return port.MessageBox(nullptr, question, u"Tallymere", platform::ui::MB_OKCANCEL) == platform::ui::IDOK;
}

}  // namespace

int RunProgramCommand(const GlobalOptions& options, std::uint32_t command, bool assumeYes) {
    WatchInterrupts();
    if (!MountDevice(options)) return kExitFailure;
    const std::string name = CommandName(command);
    // Also for the progress a program carrying the command out reports.
    ShowProgressOnTerminal(name.c_str());
    // While the resident program holds the device, it runs the command; a restore is confirmed
    // here first, and sent only when confirmed.
    RemoteRequest request;
    request.verb = remote::verb::kCommand;
    request.command = command;
    request.json = options.json;
    const std::u16string_view question = tallymere::RestoreQuestion(command);
    bool confirmed = assumeYes || question.empty();
    std::function<bool()> confirm;
    if (!confirmed) confirm = [question] { return ConfirmRestore(question, false); };
    if (const int status = LockOrForward(options, name, request, confirm, &confirmed); status >= 0) return status;

    tallymere::BeginApp(tallymere::StartMode::OneShot);
    if (!confirmed && !ConfirmRestore(question, true)) {
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return PrintCancelled(options, name);
    }
    // Asked already: the command table's own question is answered OK.
    InstallConsolePort(true, options.json ? name : std::string());
    {
        StoppableScope stoppable;
        tallymere::OnCommand(nullptr, command);
    }
    ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    return FinishCommand(tallymere::LastCommandResult(), options.json);
}

Runner AddMessageCommands(CLI::App& app) {
    CLI::App* backupAll = app.add_subcommand("backup-all", "Back up every message of every store into the archive");
    CLI::App* exportAll = app.add_subcommand("export-all", "Export every message not exported before as text");
    CLI::App* restore = app.add_subcommand("restore", "Re-create archived messages that are no longer in the store");
    auto kind = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    restore->add_option("kind", *kind, "normal: the messages of the latest full backup; extra: every archived one")
        ->required()
        ->check(CLI::IsMember({"normal", "extra"}));
    restore->add_flag("--yes,-y", *yes, "Answer the confirmation with OK");
    return [=](const GlobalOptions& options) -> int {
        if (backupAll->parsed()) return RunProgramCommand(options, tallymere::kCommandBackupAll, false);
        if (exportAll->parsed()) return RunProgramCommand(options, tallymere::kCommandExportAll, false);
        if (restore->parsed()) {
            const auto command = *kind == "normal" ? tallymere::kCommandRestoreNormal : tallymere::kCommandRestoreExtra;
            return RunProgramCommand(options, command, *yes);
        }
        return -1;
    };
}

}  // namespace cli
