// The selection dialog (template 120): every store, folder and message in a tree with check
// boxes (tree 1035, filled by xTreeSelect). The user ticks, unticks, creates folders and
// presses Done; the ticked messages are then backed up or exported, as `selectionMode` says,
// and the dialog's result is their number.
//
// A tick on an item's box ticks everything below it, and every ancestor shows whether all,
// some or none of what lies below it is ticked; a tick on a ticked or partly ticked item clears
// it and everything below it. A right click or long press on a store, a folder or the empty
// space below the tree offers "Create Folder" (40043): a "New Folder" item appears under it
// (at the root level: a new store) with its label open for editing. The accepted name is
// created in the store at once. It is refused (the item goes, nothing is created) when it is
// empty or blank, holds a "/", or equals, letter case and a trailing count such as " (4)"
// ignored, the name of a sibling, "New Folder" included. The name is taken exactly as typed.
// Done is ignored while a label is being edited.
//
// Written against the dialog and tree ports (platform/dialog.h, platform/tree.h): a front end
// hosts it, the tests drive it in memory.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dialog.h"
#include "platform/tree.h"
#include "store/tree_select.h"

namespace tallymere {

constexpr int kSelectionDialog = 120;
constexpr int kSelectionTree = 1035;
constexpr std::uint32_t kCommandCreateFolder = 40043;

// Set by the selection commands just before the dialog opens.
extern SelectionMode selectionMode;

platform::dialog::INT_PTR SelectMessageDlgProc(platform::dialog::Dialog& dialog, std::uint32_t message,
                                               platform::dialog::WPARAM wParam, platform::dialog::LPARAM lParam);

// Give a tree its pictures: the normal image list from bitmap 124 and, for the selection tree,
// the state image list (the check boxes) from bitmap 115. False when a list cannot be made or
// holds too few pictures (the tree then stays empty); a bitmap that cannot be added is fatal
// ("ImageList_AddMasked", captioned with the function's name).
bool SelectMessageInitImages(platform::tree::TreeView& tree);
bool SelectDirInitImages(platform::tree::TreeView& tree);

// TVN_ITEMEXPANDING in both trees: an expanding item shows the open folder, a collapsing one
// the closed folder.
void ShowFolderExpanding(platform::tree::TreeView& tree, const platform::tree::Notification& expanding);

}  // namespace tallymere
