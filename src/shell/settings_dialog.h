// The settings dialog (template 107), where the user changes the output directory, and the
// about dialog (template 106).
//
// Settings: the edit field 1017 shows OutputDir. "Select Folder" (1015) opens the folder
// browser and puts the chosen directory into the field (a browser closed without a choice
// leaves the field as it was). OK (1009) takes the field with one trailing "\" removed, and
// refuses it with a box captioned "Tallymere Settings", the dialog staying open and nothing
// stored, when it is empty, too long or cannot be used (shell/output_dir.h says why); otherwise
// it changes the output directory as ChangeOutputDir does (created, stored, the archive files
// moved along) and closes. Cancel
// (1010) closes and stores nothing.
//
// About: closes with the OK in its caption (command 1).
//
// Written against the dialog port (platform/dialog.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dialog.h"

namespace tallymere {

constexpr int kAboutDialog = 106;
constexpr int kSettingsDialog = 107;
constexpr int kOutputDirField = 1017;
constexpr std::uint32_t kSelectFolderButton = 1015;
constexpr std::uint32_t kSettingsOk = 1009;
constexpr std::uint32_t kSettingsCancel = 1010;

// The longest output directory: the longest path composed from it, its
// "\Tallymere\Messages.ndx", stays within 499 characters.
constexpr std::size_t kMaxOutputDirLength = 476;

platform::dialog::INT_PTR SettingsDlgProc(platform::dialog::Dialog& dialog, std::uint32_t message,
                                          platform::dialog::WPARAM wParam, platform::dialog::LPARAM lParam);

platform::dialog::INT_PTR AboutDlgProc(platform::dialog::Dialog& dialog, std::uint32_t message,
                                       platform::dialog::WPARAM wParam, platform::dialog::LPARAM lParam);

// Why `dir` (a trailing "\" already removed) cannot become the output directory; nothing when
// it can.
std::optional<std::u16string> RefuseOutputDir(std::u16string_view dir);

}  // namespace tallymere
