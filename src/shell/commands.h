// The command table: what each command number the main window receives does, with its
// confirmation and its result box. Every front end hands its commands to `OnCommand`.
#pragma once

#include <cstdint>

#include "platform/ui.h"

namespace tallymere {

enum Command : std::uint32_t {
    kCommandExit = 40005,
    kCommandExportAll = 40053,
    kCommandRestoreNormal = 40055,
    kCommandRestoreExtra = 40056,
    kCommandBackupAll = 40071,
    kCommandAutomatic = 40096,
};

// Runs a command on the user-interface thread; false for a command the table does not handle
// (the window's default handling then applies).
bool OnCommand(platform::ui::HWND window, std::uint32_t command);

}  // namespace tallymere
