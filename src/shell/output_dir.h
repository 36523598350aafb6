// The OK of the settings dialog: a new output directory is checked and made ready, stored, and
// the archive moves along. Shared by every front end.
#pragma once

#include <string_view>

#include "platform/ui.h"

namespace tallymere {

// The caption of the settings dialog and of its boxes.
inline constexpr std::u16string_view kSettingsCaption = u"Tallymere Settings";
// The refusal of an empty directory (also "\", which is empty once its backslash is removed).
inline constexpr std::u16string_view kEmptyOutputDir = u"Output directory must not be empty.";

// Changes the output directory to `newDir` (one trailing "\" removed). The directory is made
// ready first (CheckOutputDir in support/files.h: created when missing, one level, with its
// "Tallymere" and "Tallyport" directories, and writable); when it cannot be used the user gets
// the box "Cannot use <dir> as output directory: <reason>." captioned "Tallymere Settings"
// ("Output directory must not be empty." for an empty directory or "\"), nothing is stored and the result is false (a dialog stays open). Otherwise the directory is
// stored as OutputDir and Folders.dat, Messages.dat and Messages.ndx move from the old archive
// directory to the new one; a file that is missing, or whose destination exists, stays where
// it is. Needs nothing of the start-up: it works also when the stored directory is unusable.
// `owner` owns the box (null: the main window).
bool ChangeOutputDir(std::u16string_view newDir, platform::ui::HWND owner = nullptr);

}  // namespace tallymere
