// The program's dialogs as the desktop shows them: each takes the main window's place and size
// (a phone's screen) under the main window's caption strip, whose "ok" is the dialog's Done.
//
//   106  about: the logo (bitmap 126), "Tallymere v2.2" and the project's web address
//   107  settings, caption "Tallymere Settings": "Output Directory:", the edit field 1017 and
//        the buttons "Select Folder" (1015), "OK" (1009, also Enter) and "Cancel" (1010); its
//        caption has no "ok", as the dialog ends through its own buttons
//   110  folder browser: the tree 1036 of the device's directories
//   120  selection: the tree 1035 of stores, folders and messages with their check boxes
// Closing a dialog's window (or Escape) leaves it without its Done: nothing is processed.
#pragma once

#include <QPixmap>

#include "platform/qt/qt_dialog.h"

namespace desktop {

// Makes the widgets of the dialog's template; false for a template the program does not have.
bool BuildDialog(platform::qt::QtDialog& dialog);

// The dialog host of the desktop program, installed for the program's dialog calls between
// CreateMainWindow and EndProgram.
platform::qt::QtDialogHost& DialogHost();
void InstallDialogHost();
void RemoveDialogHost();

// The about dialog's web address.
inline constexpr const char* kWebAddress = "https://tallymere.example.org";

// The program's logo, bitmap 126 (211 x 34).
QPixmap Logo();

}  // namespace desktop
