// The Restore by Selection dialog: the selection dialog's window (template 120, tree 1035) with
// the archive's folders and messages instead of the store's. Folders are labelled "Name
// (count)" as in Backup by Selection, messages "who [subject]"; a message deleted before the
// latest full backup (present-flag 0) shows the deleted message's picture. Ticks work as in
// the other selection dialogs. Done ends the dialog with 1 and leaves the ticked messages in
// `restoreChoice` (by index position); the command then restores those no longer in the store.
//
// Written against the dialog and tree ports, as the selection dialog is.
#pragma once

#include <vector>

#include "platform/dialog.h"

namespace tallymere {

// The index entries ticked when the dialog ended with Done.
extern std::vector<bool> restoreChoice;

platform::dialog::INT_PTR RestoreSelectionDlgProc(platform::dialog::Dialog& dialog, std::uint32_t message,
                                                  platform::dialog::WPARAM wParam, platform::dialog::LPARAM lParam);

}  // namespace tallymere
