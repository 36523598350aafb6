// The command table: what each command number the main window receives does, with its
// confirmation and its result box. Every front end hands its commands to `OnCommand`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"
#include "store/tree_select.h"

namespace tallymere {

enum Command : std::uint32_t {
    kCommandOk = 1,  // the OK button of the window's caption
    kCommandExit = 40005,
    kCommandAbout = 40006,
    kCommandSettings = 40013,
    kCommandExportAll = 40053,
    kCommandBackupByProfile = 40054,
    kCommandRestoreNormal = 40055,
    kCommandRestoreExtra = 40056,
    kCommandRestoreBySelection = 40057,
    kCommandBackupAll = 40071,
    kCommandBackupBySelection = 40072,
    kCommandMinimize = 40073,
    kCommandExportBySelection = 40092,
    kCommandExportByProfile = 40093,
    kCommandAutomatic = 40096,
};

// The window timer that hands due arrivals to command 40096 (WM_TIMER's wParam).
inline constexpr std::uintptr_t kArrivalTimer = 40096;

// Runs a command on the user-interface thread; false for a command the table does not handle
// (the window's default handling then applies). OK and Minimize hide the window; Exit closes
// it, which ends the program's message loop.
bool OnCommand(platform::ui::HWND window, std::uint32_t command);

// A window timer expired: the arrival timer runs command 40096. False for another timer.
bool OnTimer(platform::ui::HWND window, std::uintptr_t timer);

// The line an orderly stop leaves on standard error while arrivals still wait (their number and
// how to export them); empty when none waits.
std::string WaitingArrivalsLine();

// A pass over a selection, as "Backup by Selection" (SelectionMode::Backup) and "Export by
// Selection" (SelectionMode::Export) run it: sets `selectionMode`, opens the archive writer for
// a partial pass or the exporter, runs `select`, closes them and shows the result box with the
// number `select` returns (the messages newly archived or exported). A negative number (the
// selection was abandoned) shows no box.
void RunSelectionPass(platform::ui::HWND window, SelectionMode mode, const std::function<std::intptr_t()>& select);

// Restore by Selection's pass, once the choice is made (`chosen` marks index entries by
// position): re-creates the chosen archived messages that are no longer in the store, with the
// automatic mode's handling suspended as for the other restores, and shows "Message restore was
// successfull. (%d messages)". It asks nothing: the dialog's ok, or the command line's question,
// confirmed it.
void RunRestoreSelection(platform::ui::HWND window, const std::vector<bool>& chosen);

// What the latest command (other than 40096) ended with. A pass that a stop ended early
// (support/pass_control.h) shows no result box: `interrupted` tells the front end, which says so
// itself. Front ends that report results in another form as well (the command line's --json)
// read the count here.
struct CommandResult {
    std::uint32_t command = 0;
    bool reported = false;         // its result box was shown, with `text`
    bool interrupted = false;      // a stop ended its pass early
    std::int64_t count = 0;        // the messages newly archived, exported or re-created
    std::uint32_t unreadable = 0;  // a restore's archived messages that could not be read
    std::string text;
};
const CommandResult& LastCommandResult();

// The confirmation a restore command asks before it starts (Restore Normal, Restore Extra); empty
// for any other command.
std::u16string_view RestoreQuestion(std::uint32_t command);

}  // namespace tallymere
