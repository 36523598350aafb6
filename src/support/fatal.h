// The program's single failure path and its log.
#pragma once

#include <atomic>
#include <string_view>

#include "platform/ui.h"

namespace tallymere {

// The main window: owner of every message box; null until the shell has created it. Atomic,
// because the notification thread reads it while the shell may still be setting it.
extern std::atomic<platform::ui::HWND> mainWindow;

// Shows `message` in a box captioned `tag` (one OK button, no icon) and ends the process with
// exit status 1. Where the platform knows why its last failing call failed (platform::
// FailureCause), that is the box's second line. The program's shutdown sequence does not run; lists saved only when their
// owner closes keep their previously saved state.
[[noreturn]] void FatalError(std::u16string_view message, std::u16string_view tag);

// Appends `text` and a line end to "tallymere.log" in the output directory configured at this
// moment. A log that cannot be opened loses the line (a fatal report always follows).
void WriteLog(std::u16string_view text);

}  // namespace tallymere
