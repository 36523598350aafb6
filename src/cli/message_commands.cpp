// The program's commands on the messages: backup-all, export-all, restore normal|extra.
// Each runs exactly what the command table runs for its menu command, with its result box
// printed on standard output.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "archive/walk.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/remote.h"
#include "shell/app.h"
#include "shell/commands.h"

namespace cli {

namespace {

// A one-line count of the messages walked so far, on standard error when it is a terminal.
void ShowProgressOnTerminal() {
    if (!::isatty(STDERR_FILENO)) return;
    tallymere::SetWalkProgress([](std::uint32_t visited) {
        if (visited % 50 == 0) {
            std::fprintf(stderr, "\r%u messages", visited);
            std::fflush(stderr);
        }
    });
}

void ClearProgressLine() {
    if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "\r\033[K");
}

}  // namespace

int RunProgramCommand(const GlobalOptions& options, std::uint32_t command, bool assumeYes) {
    if (!MountDevice(options)) return 1;
    // While the resident program holds the device, it runs the command; a restore is confirmed
    // here first, and sent only when confirmed.
    RemoteRequest request;
    request.verb = "command";
    request.command = command;
    bool confirmed = false;
    std::function<bool()> confirm;
    if (const std::u16string_view question = tallymere::RestoreQuestion(command); !question.empty()) {
        confirm = [question, assumeYes] {
            ConsolePort port(assumeYes);
            return port.MessageBox(nullptr, question, u"Tallymere", platform::ui::MB_OKCANCEL) == platform::ui::IDOK;
        };
    }
    if (const int status = LockOrForward(request, confirm, &confirmed); status >= 0) return status;
    InstallConsolePort(assumeYes || confirmed);
    ShowProgressOnTerminal();
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    tallymere::OnCommand(nullptr, command);
    ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    return 0;
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
