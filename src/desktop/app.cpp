#include "desktop/app.h"

#include <pthread.h>
#include <signal.h>

#include <QSystemTrayIcon>

#include <cstdio>
#include <atomic>
#include <string>
#include <thread>

#include "remote/remote.h"
#include "desktop/dialogs.h"
#include "desktop/main_window.h"
#include "desktop/menu.h"
#include "desktop/menu_screen.h"
#include "platform/qt/qt_ui.h"
#include "platform/qt/qt_window.h"
#include "platform/text.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/main_window.h"
#include "support/pass_control.h"

namespace desktop {

namespace ui = platform::ui;

namespace {

// The menu pictures' resources, by picture index.
constexpr const char* kPictures[10] = {"exit",     "about",    "back",    "backup",  "export",
                                       "messages", "minimize", "setting", "restore", "automatic"};

void LoadPictures() {
    menuIcons.clear();
    for (const char* name : kPictures) {
        menuIcons.emplace_back(QStringLiteral(":/tallymere/%1.png").arg(QLatin1String(name)));
    }
}

// Set when SIGINT or SIGTERM arrived before the main window existed.
std::atomic<bool> endRequested{false};

}  // namespace

void WatchStopSignals(platform::qt::QtPort* port) {
    std::thread([port] {
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        int signal = 0;
        if (sigwait(&stopSignals, &signal) != 0) return;
        // The program's own port, also while a forwarded command has put its own in front of it.
        if (port) port->EndBoxes();
        endRequested = true;
        // A pass stops at its next message; a wait for another program ends.
        tallymere::RequestStop();
        ui::PostMessageW(tallymere::mainWindow.load(), ui::WM_CLOSE, 0, 0);
    }).detach();
}

QIcon ApplicationIcon() {
    QIcon icon(QStringLiteral(":/tallymere/tallymere.png"));
    icon.addFile(QStringLiteral(":/tallymere/tray.png"), QSize(16, 16));
    return icon;
}

QIcon TrayPicture() { return QIcon(QStringLiteral(":/tallymere/tray.png")); }

void StartProgram(const StartOptions& options) {
    tallymere::BeginApp(options.holdsDevice ? tallymere::StartMode::Resident : tallymere::StartMode::OneShot);
    menu = std::make_unique<xMenu>();
}

bool CreateMainWindow(const StartOptions& options, int* exitCode) {
    if (!options.holdsDevice) {
        // One program per device: the one holding it shows its window, and this one ends.
        if (const auto answer = remote::AskToShow(); (answer && answer->windowShown) || endRequested) {
            *exitCode = 0;
            return false;
        }
        const std::string text =
            "Tallymere is already running on this device (process " + std::to_string(options.holderPid) + ").";
        std::fprintf(stderr, "%s\n", text.c_str());
        ui::MessageBoxW(nullptr, platform::FromUtf8(text), u"Tallymere", ui::MB_OK);
        *exitCode = 1;
        return false;
    }
    CreateTrayIcon();
    LoadPictures();
    MainDialog* dialog = CreateMainDialog();
    dialog->setWindowIcon(ApplicationIcon());
    ui::HWND window = ui::AdoptWindow(std::make_unique<platform::qt::QtWindow>(MainWndProc, dialog, RunsNested));
    menuBar = CreateMenuBar(dialog);
    NotifyTray(window, NIM_ADD, kTrayIconId, TrayPicture());
    // Without a tray, a hidden window could never be reached.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) ui::ShowWindow(window, ui::SW_SHOW);
    tallymere::mainWindow.store(window);
    InstallDialogHost();
    return true;
}

void EndProgram(const std::function<void()>& endApp) {
    remote::StopRemoteRequests();
    // Arrivals still waiting for their pause are left for export-all: the stop is orderly.
    if (const std::string waiting = tallymere::WaitingArrivalsLine(); !waiting.empty()) {
        std::fprintf(stderr, "%s\n", waiting.c_str());
    }
    RemoveDialogHost();
    NotifyTray(tallymere::mainWindow.load(), NIM_DELETE, kTrayIconId, TrayPicture());
    delete menuBar;
    menuBar = nullptr;
    menu.reset();
    endApp();
    DeleteMainDialog();
}

int WinMain(const StartOptions& options) {
    StartProgram(options);
    int code = 0;
    if (!CreateMainWindow(options, &code)) return code;
    ui::HWND window = tallymere::mainWindow.load();
    remote::ServeRemoteRequests(true);
    if (endRequested) ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
    code = window->RunMessageLoop();
    EndProgram([] { tallymere::EndApp(tallymere::StartMode::Resident); });
    return code;
}

}  // namespace desktop
