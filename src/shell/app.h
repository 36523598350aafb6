// Start-up and shutdown of the program, shared by every front end.
//
// A resident program (the desktop program, `tallymere-cli watch`) registers the notification
// sink at start-up and unregisters it at shutdown. A one-shot command has no main window to
// receive the sink's command, so it starts and ends without the registration.
#pragma once

namespace tallymere {

enum class StartMode {
    Resident,  // with the notification sink
    OneShot,   // without it
};

// Ends the program with "Sorry this program is running only on WM6/WM5!" (caption "Tallymere")
// when the platform reports a major version other than 5; a failing query skips the check.
void CheckPlatformVersion();

// The start-up sequence: platform check, settings defaults and directories, component and
// message-store initialisation, the process-wide objects `storeCache`, `recentIds` and
// `delayQueue` with the automatic switches at their start values (Automatic Export ON,
// Automatic Backup OFF), then the sink's registration (resident only).
void BeginApp(StartMode mode);

// The shutdown sequence: the sink's unregistration (resident only), the process-wide objects,
// then the message store and component runtime.
void EndApp(StartMode mode);

}  // namespace tallymere
