// The desktop program's order of steps, from start-up to shutdown.
//
//   1. BeginApp, then the icon menu. A process that does not hold the device starts without the
//      notification sink: it never receives a new message.
//   2. CreateMainWindow, and the host of the program's dialogs. A second program on a device
//      asks the program holding it to show its window and ends (status 0) without EndApp; when
//      the holder has no window to show (watch, or a one-shot command), it says that the device
//      is in use and ends with status 1.
//   3. The event loop; commands run inside it on the GUI thread, one at a time.
//   4. After the loop: requests from other processes are turned away, the dialog host goes, the
//      tray icon is removed, the soft-key bar and the menu go, then EndApp.
//
// A fatal failure anywhere shows its box and ends the process (status 1) without these steps.
#pragma once

#include <functional>

#include <QIcon>

namespace platform::qt {
class QtPort;
}

namespace desktop {

struct StartOptions {
    bool holdsDevice = false;  // this process holds the device's program lock
    long holderPid = 0;        // otherwise: the process that does (0 when unknown)
};

// Steps 1 to 3, and 4 when the loop has ended; returns the process's exit status.
int WinMain(const StartOptions& options);

// Step 1.
void StartProgram(const StartOptions& options);

// Step 2: true when the main window exists and this program goes on; otherwise false with the
// exit status in `exitCode`.
bool CreateMainWindow(const StartOptions& options, int* exitCode);

// Step 4, with `endApp` as its last step (EndApp of the resident program).
void EndProgram(const std::function<void()>& endApp);

// SIGINT and SIGTERM (blocked in every thread from the program's start) end the program as Exit
// does: open boxes close (answered as by their escape button), the command running finishes, and
// the main window closes; before the window exists, it closes as soon as it does.
void WatchStopSignals(platform::qt::QtPort* port);

// The program's pictures: the application icon and the tray icon's.
QIcon ApplicationIcon();
QIcon TrayPicture();

}  // namespace desktop
