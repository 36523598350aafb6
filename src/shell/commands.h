// The command table: what each command number the main window receives does, with its
// confirmation and its result box. Every front end hands its commands to `OnCommand`.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/ui.h"

namespace tallymere {

enum Command : std::uint32_t {
    kCommandExit = 40005,
    kCommandAbout = 40006,
    kCommandSettings = 40013,
    kCommandExportAll = 40053,
    kCommandRestoreNormal = 40055,
    kCommandRestoreExtra = 40056,
    kCommandBackupAll = 40071,
    kCommandBackupBySelection = 40072,
    kCommandExportBySelection = 40092,
    kCommandAutomatic = 40096,
};

// Runs a command on the user-interface thread; false for a command the table does not handle
// (the window's default handling then applies).
bool OnCommand(platform::ui::HWND window, std::uint32_t command);

// A pass over a selection, as "Backup by Selection" (mode "Backup") and "Export by Selection"
// (mode "Export") run it: sets `selectionMode`, opens the archive writer for a partial pass or
// the exporter, runs `select`, closes them and shows the result box with the number `select`
// returns (the messages newly archived or exported). A negative number (the selection was
// abandoned) shows no box.
void RunSelectionPass(platform::ui::HWND window, std::u16string_view mode, const std::function<std::intptr_t()>& select);

}  // namespace tallymere
