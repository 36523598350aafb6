// tallymere: the desktop program. It starts hidden behind its tray icon on the device chosen as
// for tallymere-cli (--device DIR, else $TALLYMERE_DEVICE, else the default device folder),
// exports every new message on its own, and shows its icon menu on a click on the tray icon.
#include <signal.h>

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/exit_status.h"
#include "remote/version.h"
#include "desktop/app.h"
#include "desktop/busy.h"
#include "platform/channel.h"
#include "platform/device.h"
#include "platform/instance.h"
#include "platform/qt/qt_ui.h"
#include "platform/text.h"

namespace {

bool HasValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether Qt has anything to show the window on: a display, or a platform chosen explicitly.
bool DisplayAvailable(int argc, char** argv) {
    if (HasValue("DISPLAY") || HasValue("WAYLAND_DISPLAY") || HasValue("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return true;
    }
    return false;
}

// The program's options: --device DIR, --help and --version.
QCommandLineOption DescribeOptions(QCommandLineParser* parser) {
    parser->setApplicationDescription(QStringLiteral("Tallymere: backup, restore and export of a device's messages."));
    parser->addHelpOption();
    parser->addVersionOption();
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QStringLiteral("Device folder (default: $TALLYMERE_DEVICE, else $XDG_DATA_HOME/tallymere/device, "
                       "else ~/.local/share/tallymere/device)."),
        QStringLiteral("DIR"));
    parser->addOption(deviceOption);
    return deviceOption;
}

bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "-?") == 0 ||
            std::strcmp(argv[i], "--help-all") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM are taken by one thread that ends the program in order: every thread
    // started from here on (Qt's, the store's, the channel's) leaves them to it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The version needs no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("%s\n", remote::VersionLine().c_str());
            return remote::kExitDone;
        }
    }
    // Nor does the help: it is printed by a core application, which needs no display.
    if (AsksForHelp(argc, argv) && !DisplayAvailable(argc, argv)) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tallymere"));
        QCommandLineParser parser;
        DescribeOptions(&parser);
        parser.process(core);  // prints the help and ends the process with status 0
        return remote::kExitDone;
    }
    if (!DisplayAvailable(argc, argv)) {
        std::fprintf(stderr,
                     "tallymere: no display (DISPLAY and WAYLAND_DISPLAY are not set); "
                     "tallymere-cli watch runs the automatic mode without one.\n");
        return remote::kExitFailure;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallymere"));
    QApplication::setApplicationVersion(
        QString::fromStdString(std::string(remote::kRelease) + " (commit " + remote::kCommit + ")"));
    QApplication::setQuitOnLastWindowClosed(false);  // the program lives in the tray
    QApplication::setWindowIcon(desktop::ApplicationIcon());

    QCommandLineParser parser;
    const QCommandLineOption deviceOption = DescribeOptions(&parser);
    parser.process(app);

    platform::qt::QtPort port;
    port.SetBeforeBox(desktop::HideProgress);
    platform::ui::SetPort(&port);
    desktop::WatchStopSignals(&port);

    std::string error;
    const std::string device = parser.value(deviceOption).toStdString();
    if (!platform::device::Mount(platform::device::ChooseFolder(device), &error)) {
        port.FailureBox(nullptr, platform::FromUtf8(error), u"Tallymere");
        return remote::kExitFailure;
    }
    desktop::StartOptions options;
    options.holdsDevice = platform::device::LockProgram(&options.holderPid);
    // Commands started on the command line from now on wait for this program.
    if (options.holdsDevice) platform::device::OpenChannel();
    desktop::InstallWalkProgress();
    const int status = desktop::WinMain(options);
    platform::ui::SetPort(nullptr);
    return status;
}
