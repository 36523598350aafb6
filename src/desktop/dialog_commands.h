// The commands that open the program's dialogs: About (40006), Settings (40013), Backup by
// Selection (40072) and Export by Selection (40092). Their dialogs are modal and owned by the
// main window (MainWidget() in main_window.h is their parent).
//
// The dialogs are not built yet: until they are, each of these commands shows a box saying so.
// This file is the one place to replace.
#pragma once

#include <cstdint>

namespace desktop {

// Carries out a dialog command; false for any other command.
bool OnDialogCommand(std::uint32_t command);

}  // namespace desktop
