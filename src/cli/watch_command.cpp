// watch: the program's resident automatic mode on the command line. The main window is a
// window whose messages run on the main thread; the notification sink sends it command 40096
// for every new message, and program commands started on the command line meanwhile arrive
// over the device's channel and run there too. SIGINT and SIGTERM close the window, which ends
// the loop, and the program shuts down in order.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "archive/qmsg.h"
#include "auto/delay.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "remote/exit_status.h"
#include "remote/remote.h"
#include "platform/channel.h"
#include "platform/device.h"
#include "platform/text.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/main_window.h"
#include "support/pass_control.h"
#include "support/settings.h"

namespace cli {

namespace {

namespace ui = platform::ui;

ui::LRESULT MainWindowProc(ui::HWND window, std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) {
    if (message == ui::WM_COMMAND)
        return tallymere::OnCommand(window, static_cast<std::uint32_t>(wParam & 0xFFFF)) ? 0 : 1;
    if (message == ui::WM_TIMER) tallymere::OnTimer(window, wParam);
    if (message == remote::WM_REMOTE_REQUEST) remote::RunRemoteRequest(window, lParam);
    if (message == ui::WM_DESTROY) window->Quit(0);
    return 0;
}

// The start lines: where the program watches, and what it does with an arrival, each device
// path with where it is on this computer.
std::string StartLines(const std::u16string& outputDir) {
    std::string lines = "Watching device folder " + platform::device::Root().string() + ". Stop with Ctrl-C.\n";
    const bool exports = tallymere::autoExport != 0;
    const bool archives = tallymere::autoBackup != 0;
    if (exports) {
        lines += "Exporting to " + remote::ShownPath(tallymere::JoinPath(outputDir, tallymere::kExportDir, u"")) + "\n";
    }
    if (archives) {
        lines +=
            "Archiving in " + remote::ShownPath(tallymere::JoinPath(outputDir, tallymere::kArchiveDir, u"")) + "\n";
    }
    if (!exports && !archives) lines += "Arriving messages are left as they are (neither exported nor archived).\n";
    return lines;
}

// What watch has done with the arrivals. With -v a line per arrival as it is exported or
// archived, its identifier (as `device list` and `archive list` show it) and its folder: on
// standard output, or on standard error when standard output is kept for the --json object.
struct ArrivalLog {
    std::FILE* lines = nullptr;  // none: counted only
    std::uint64_t exported = 0;
    std::uint64_t archived = 0;

    void Report(const tallymere::qMsg& message, bool wasExported, bool wasArchived) {
        exported += wasExported ? 1 : 0;
        archived += wasArchived ? 1 : 0;
        if (lines == nullptr) return;
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string id;
        for (const std::uint8_t byte : message.entryId) {
            id += kDigits[byte >> 4];
            id += kDigits[byte & 0xF];
        }
        const char* done = wasExported && wasArchived ? "Exported and archived" : wasExported ? "Exported" : "Archived";
        std::fprintf(lines, "%s %s (%s)\n", done, id.c_str(), platform::ToUtf8(message.folderPath).c_str());
        std::fflush(lines);
    }
};

}  // namespace

Runner AddWatchCommand(CLI::App& app) {
    CLI::App* watch = app.add_subcommand(
        "watch", "Run the automatic mode: export every message that arrives, until Ctrl-C or SIGTERM");
    auto noExport = std::make_shared<bool>(false);
    auto backup = std::make_shared<bool>(false);
    watch->add_flag("--no-export", *noExport, "Do not export arriving messages (Automatic Export OFF)");
    watch->add_flag("--backup", *backup, "Also append every arriving message to the archive (Automatic Backup ON)");
    auto verbose = std::make_shared<bool>(false);
    watch->add_flag("-v,--verbose", *verbose, "Print a line for every message as it is exported or archived");
    return [watch, noExport, backup, verbose](const remote::GlobalOptions& options) -> int {
        if (!watch->parsed()) return -1;
        if (!remote::MountDevice(options)) return remote::kExitFailure;
        if (const int status = remote::LockDevice(options); status >= 0) return status;
        // Commands started on the command line from now on wait for this program.
        platform::device::OpenChannel();
        InstallConsolePort(false);

        // Every thread started from here on (the store's notification thread among them)
        // leaves SIGINT and SIGTERM to the one thread that waits for them.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

        ui::HWND window = ui::CreateWindowW(MainWindowProc);
        tallymere::mainWindow.store(window);
        tallymere::BeginApp(tallymere::StartMode::Resident);
        tallymere::autoExport = *noExport ? 0 : 1;
        tallymere::autoBackup = *backup ? 1 : 0;
        // With --json standard output holds the closing object only.
        std::FILE* const text = options.json ? stderr : stdout;
        auto log = std::make_shared<ArrivalLog>();
        if (*verbose) log->lines = text;
        tallymere::arrivalHandled = [log](const tallymere::qMsg& message, bool exported, bool archived) {
            log->Report(message, exported, archived);
        };
        remote::ServeRemoteRequests(false);

        std::thread stopper([window, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            // A command carried out for another process meanwhile stops at its next message.
            tallymere::RequestStop();
            ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
        });
        stopper.detach();

        std::fputs(StartLines(tallymere::GetRegistryStr(tallymere::kOutputDirValue)).c_str(), text);
        std::fflush(text);
        const int code = window->RunMessageLoop();
        remote::StopRemoteRequests();
        // Arrivals still waiting for their pause are left for export-all: the stop is orderly.
        if (const std::string waiting = tallymere::WaitingArrivalsLine(); !waiting.empty()) {
            std::fprintf(stderr, "%s\n", waiting.c_str());
        }
        tallymere::EndApp(tallymere::StartMode::Resident);
        tallymere::arrivalHandled = nullptr;
        if (options.json) {
            const nlohmann::ordered_json object{{"command", "watch"},
                                                {"device", platform::device::Root().string()},
                                                {"exported", log->exported},
                                                {"archived", log->archived},
                                                {"status", code}};
            std::printf("%s\n", object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        }
        return code;
    };
}

}  // namespace cli
