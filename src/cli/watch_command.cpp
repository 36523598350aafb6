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
    if (message == ui::WM_COMMAND) return tallymere::OnCommand(window, static_cast<std::uint32_t>(wParam & 0xFFFF)) ? 0 : 1;
    if (message == ui::WM_TIMER) tallymere::OnTimer(window, wParam);
    if (message == WM_REMOTE_REQUEST) RunRemoteRequest(window, lParam);
    if (message == ui::WM_DESTROY) window->Quit(0);
    return 0;
}

// The start lines: where the program watches, and what it does with an arrival, each device
// path with where it is on this computer.
std::string StartLines(const std::u16string& outputDir) {
    std::string lines = "Watching device folder " + platform::device::Root().string() + ". Stop with Ctrl-C.\n";
    const bool exports = tallymere::autoExport != 0;
    const bool archives = tallymere::autoBackup != 0;
    if (exports) lines += "Exporting to " + ShownPath(tallymere::JoinPath(outputDir, tallymere::kExportDir, u"")) + "\n";
    if (archives) lines += "Archiving in " + ShownPath(tallymere::JoinPath(outputDir, tallymere::kArchiveDir, u"")) + "\n";
    if (!exports && !archives) lines += "Arriving messages are left as they are (neither exported nor archived).\n";
    return lines;
}

}  // namespace

Runner AddWatchCommand(CLI::App& app) {
    CLI::App* watch = app.add_subcommand(
        "watch", "Run the automatic mode: export every message that arrives, until Ctrl-C or SIGTERM");
    auto noExport = std::make_shared<bool>(false);
    auto backup = std::make_shared<bool>(false);
    watch->add_flag("--no-export", *noExport, "Do not export arriving messages (Automatic Export OFF)");
    watch->add_flag("--backup", *backup, "Also append every arriving message to the archive (Automatic Backup ON)");
    return [watch, noExport, backup](const GlobalOptions& options) -> int {
        if (!watch->parsed()) return -1;
        if (!MountDevice(options)) return kExitFailure;
        if (const int status = LockDevice(options); status >= 0) return status;
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
        ServeRemoteRequests(false);

        std::thread stopper([window, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            // A command carried out for another process meanwhile stops at its next message.
            tallymere::RequestStop();
            ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
        });
        stopper.detach();

        std::fputs(StartLines(tallymere::GetRegistryStr(tallymere::kOutputDirValue)).c_str(), stdout);
        std::fflush(stdout);
        const int code = window->RunMessageLoop();
        StopRemoteRequests();
        // Arrivals still waiting for their pause are left for export-all: the stop is orderly.
        if (const std::string waiting = tallymere::WaitingArrivalsLine(); !waiting.empty()) {
            std::fprintf(stderr, "%s\n", waiting.c_str());
        }
        tallymere::EndApp(tallymere::StartMode::Resident);
        return code;
    };
}

}  // namespace cli
