// The program's commands on the messages: backup-all, export-all, restore normal|extra.
// Each runs exactly what the command table runs for its menu command, with its result box
// printed on standard output.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>
#include <vector>

#include "archive/archive_view.h"
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

// Whether the restore `command` would bring nothing back, so that there is nothing to ask.
// Reads the archive and the store as the preview does (the store initialised here for it).
bool NothingToRestore(std::uint32_t command) {
    platform::CoInitializeEx(nullptr, 0);
    platform::mapi::MAPIInitialize(nullptr);
    const tallymere::RestorePreview preview = tallymere::PreviewRestore();
    platform::mapi::MAPIUninitialize();
    platform::CoUninitialize();
    const std::uint32_t missing =
        command == tallymere::kCommandRestoreNormal ? preview.missingNormal : preview.missingExtra;
    return missing == 0;
}

// "Nothing to restore." for a restore with nothing to bring back, on standard output (and as
// the command's object with --json); status 0.
int PrintNothingToRestore(const remote::GlobalOptions& options, const std::string& name) {
    constexpr const char* kNothing = "Nothing to restore.";
    if (options.json) {
        const nlohmann::ordered_json j{
            {"command", name}, {"count", 0}, {"result", kNothing}, {"status", remote::kExitDone}};
        std::printf("%s\n", j.dump().c_str());
    } else {
        std::printf("%s\n", kNothing);
    }
    return remote::kExitDone;
}

// The restore's question, answered on the terminal (no terminal: Cancel).
bool ConfirmRestore(std::u16string_view question, bool programStarted) {
    if (::isatty(STDIN_FILENO)) PrintRestorePreview(programStarted);
    ConsolePort port(false);
    return port.MessageBox(nullptr, question, u"Tallymere", platform::ui::MB_OKCANCEL) == platform::ui::IDOK;
}

// restore --select PATH...: confirmed like the other restores, then carried out here or by the
// program holding the device.
int RunRestoreSelectionCommand(const remote::GlobalOptions& options, const std::vector<std::string>& paths,
                               bool assumeYes) {
    remote::WatchInterrupts();
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    const std::string name = "restore --select";
    remote::ShowProgressOnTerminal(name.c_str());
    remote::RemoteRequest request;
    request.verb = remote::verb::kRestore;
    request.mode = "select";
    request.paths = paths;
    request.json = options.json;
    const std::u16string_view question = tallymere::RestoreQuestion(tallymere::kCommandRestoreBySelection);
    bool confirmed = assumeYes;
    std::function<bool()> confirm;
    if (!confirmed) confirm = [question] { return ConfirmRestore(question, false); };
    if (const int status = remote::LockOrForward(options, name, request, confirm, &confirmed); status >= 0) {
        return status;
    }

    tallymere::BeginApp(tallymere::StartMode::OneShot);
    {
        // A PATH the archive does not hold is told before the question.
        tallymere::ArchiveView view;
        const tallymere::ArchiveChoice choice = tallymere::ChooseArchived(view, paths);
        if (!choice.unknown.empty()) {
            tallymere::EndApp(tallymere::StartMode::OneShot);
            for (const std::string& path : choice.unknown) {
                std::fprintf(stderr, "tallymere-cli: --select %s: the archive holds no such folder or message\n",
                             path.c_str());
            }
            if (options.json) {
                std::printf("%s\n", remote::ErrorJson(name, remote::kExitUsage,
                                                      "--select " + choice.unknown.front() +
                                                          ": the archive holds no such folder or message")
                                        .c_str());
            }
            return remote::kExitUsage;
        }
    }
    if (!confirmed && !ConfirmRestore(question, true)) {
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return remote::PrintCancelled(options, name);
    }
    InstallConsolePort(true, options.json ? name : std::string());
    int status = remote::kExitDone;
    {
        remote::StoppableScope stoppable;
        status = remote::RunRestoreSelection(nullptr, paths, stderr);
    }
    remote::ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    if (status != remote::kExitDone) return status;
    return remote::FinishCommand(tallymere::LastCommandResult(), options.json);
}

// restore ... --dry-run: what the restore would re-create, carried out here or by the program
// holding the device; nothing is asked and nothing changes.
int RunRestoreDryRun(const remote::GlobalOptions& options, const std::string& kind,
                     const std::vector<std::string>& paths) {
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    const std::string name = kind == "select" ? "restore --select" : "restore " + kind;
    remote::RemoteRequest request;
    request.verb = remote::verb::kRestore;
    request.mode = kind;
    request.paths = paths;
    request.json = options.json;
    request.dryRun = true;
    if (const int status = remote::LockOrForward(options, name, request); status >= 0) return status;
    InstallConsolePort(false, options.json ? name : std::string());
    tallymere::BeginApp(tallymere::StartMode::OneShot);
    const int status = remote::RunRestorePlan(stdout, stderr, kind, paths, options.json, name);
    tallymere::EndApp(tallymere::StartMode::OneShot);
    return status;
}

}  // namespace

int RunProgramCommand(const remote::GlobalOptions& options, std::uint32_t command, bool assumeYes) {
    remote::WatchInterrupts();
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    const std::string name = remote::CommandName(command);
    // Also for the progress a program carrying the command out reports.
    remote::ShowProgressOnTerminal(name.c_str());
    // While the resident program holds the device, it runs the command; a restore is confirmed
    // here first, and sent only when confirmed.
    remote::RemoteRequest request;
    request.verb = remote::verb::kCommand;
    request.command = command;
    request.json = options.json;
    const std::u16string_view question = tallymere::RestoreQuestion(command);
    bool confirmed = assumeYes || question.empty();
    // Nothing to ask about when nothing would come back.
    if (!confirmed && NothingToRestore(command)) return PrintNothingToRestore(options, name);
    std::function<bool()> confirm;
    if (!confirmed) confirm = [question] { return ConfirmRestore(question, false); };
    if (const int status = remote::LockOrForward(options, name, request, confirm, &confirmed); status >= 0) {
        return status;
    }

    tallymere::BeginApp(tallymere::StartMode::OneShot);
    if (!confirmed && !ConfirmRestore(question, true)) {
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return remote::PrintCancelled(options, name);
    }
    // Asked already: the command table's own question is answered OK.
    InstallConsolePort(true, options.json ? name : std::string());
    {
        remote::StoppableScope stoppable;
        tallymere::OnCommand(nullptr, command);
    }
    remote::ClearProgressLine();
    tallymere::EndApp(tallymere::StartMode::OneShot);
    return remote::FinishCommand(tallymere::LastCommandResult(), options.json);
}

Runner AddMessageCommands(CLI::App& app) {
    CLI::App* backupAll = app.add_subcommand("backup-all", "Back up every message of every store into the archive");
    CLI::App* exportAll = app.add_subcommand("export-all", "Export every message not exported before as text");
    CLI::App* restore = app.add_subcommand("restore", "Re-create archived messages that are no longer in the store");
    auto kind = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    auto select = std::make_shared<std::vector<std::string>>();
    auto dryRun = std::make_shared<bool>(false);
    restore->add_option("kind", *kind, "normal: the messages of the latest full backup; extra: every archived one")
        ->check(CLI::IsMember({"normal", "extra"}));
    restore->add_option("--select", *select,
                        "Instead of normal or extra: the archived messages of these folders of the archive (with "
                        "everything below them) or identifiers, deleted ones included");
    restore->add_flag("--yes,-y", *yes, "Answer the confirmation with OK");
    restore->add_flag("--dry-run", *dryRun,
                      "Print what would be re-created, a line per folder and the total; change nothing, ask nothing");
    return [=](const remote::GlobalOptions& options) -> int {
        if (backupAll->parsed()) return RunProgramCommand(options, tallymere::kCommandBackupAll, false);
        if (exportAll->parsed()) return RunProgramCommand(options, tallymere::kCommandExportAll, false);
        if (restore->parsed()) {
            if (kind->empty() == select->empty()) {
                const std::string words = kind->empty()
                                              ? "restore needs normal, extra or --select PATH..."
                                              : "restore takes normal, extra or --select PATH..., not two of them";
                std::fprintf(stderr, "tallymere-cli: %s\n", words.c_str());
                if (options.json) std::printf("%s\n", remote::ErrorJson("restore", remote::kExitUsage, words).c_str());
                return remote::kExitUsage;
            }
            if (*dryRun) return RunRestoreDryRun(options, kind->empty() ? "select" : *kind, *select);
            if (!select->empty()) return RunRestoreSelectionCommand(options, *select, *yes);
            const auto command = *kind == "normal" ? tallymere::kCommandRestoreNormal : tallymere::kCommandRestoreExtra;
            return RunProgramCommand(options, command, *yes);
        }
        return -1;
    };
}

}  // namespace cli
