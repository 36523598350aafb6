// The folder browser (template 110): the device's directories in a tree (1036), for choosing
// the output directory. Done with a directory selected leaves its device path ("\Storage
// Card") in `browsedFolder` and ends the dialog with IDOK; Done with nothing selected ends it
// with IDCANCEL and leaves `browsedFolder` as it was.
//
// Written against the dialog and tree ports (platform/dialog.h, platform/tree.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dialog.h"
#include "platform/tree.h"

namespace tallymere {

constexpr int kFolderBrowser = 110;
constexpr int kFolderTree = 1036;

// The directory chosen last.
extern std::u16string browsedFolder;

platform::dialog::INT_PTR SelectDirDlgProc(platform::dialog::Dialog& dialog, std::uint32_t message,
                                           platform::dialog::WPARAM wParam, platform::dialog::LPARAM lParam);

// Lists the directories below the device directory `path` ("" is the root) under `parent`,
// each with the directories below it, in sorted order; names beginning with "." are left out.
// Directories whose path would be longer than an output directory may be are not descended
// into: they could not be chosen, and a link that leads back up would otherwise never end.
void FillDirectoryTree(platform::tree::TreeView& tree, std::u16string_view path, platform::tree::HTREEITEM parent);

}  // namespace tallymere
