// watch: the program's resident automatic mode on the command line. The main window is a
// window whose messages run on the main thread; the notification sink sends it command 40096
// for every new message. SIGINT and SIGTERM close the window, which ends the loop, and the
// program shuts down in order.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "platform/device.h"
#include "platform/text.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/fatal.h"
#include "support/settings.h"

namespace cli {

namespace {

namespace ui = platform::ui;

ui::LRESULT MainWindowProc(ui::HWND window, std::uint32_t message, ui::WPARAM wParam, ui::LPARAM) {
    if (message == ui::WM_COMMAND) return tallymere::OnCommand(window, static_cast<std::uint32_t>(wParam & 0xFFFF)) ? 0 : 1;
    if (message == ui::WM_DESTROY) window->Quit(0);
    return 0;
}

}  // namespace

Runner AddWatchCommand(CLI::App& app) {
    CLI::App* watch = app.add_subcommand(
        "watch", "Run the automatic mode: export every message that arrives, until Ctrl-C or SIGTERM");
    return [watch](const GlobalOptions& options) -> int {
        if (!watch->parsed()) return -1;
        if (!MountDevice(options) || !LockDevice()) return 1;
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

        std::thread stopper([window, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
        });
        stopper.detach();

        std::printf("Watching device folder %s: every message that arrives is exported to \"%s\\Tallyport\". "
                    "Stop with Ctrl-C.\n",
                    platform::device::Root().c_str(),
                    platform::ToUtf8(tallymere::GetRegistryStr(tallymere::kOutputDirValue)).c_str());
        std::fflush(stdout);
        const int code = window->RunMessageLoop();
        tallymere::EndApp(tallymere::StartMode::Resident);
        return code;
    };
}

}  // namespace cli
