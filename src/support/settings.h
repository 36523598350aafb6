// The program's settings: one value, the output directory, in the device's settings store.
//
// Every user of `OutputDir` reads it afresh at the moment it needs it; nothing is cached.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallymere {

// HKEY_LOCAL_MACHINE\SOFTWARE\Apps\Tallymere, value OutputDir.
inline constexpr std::u16string_view kSettingsKey = u"SOFTWARE\\Apps\\Tallymere";
inline constexpr std::u16string_view kOutputDirValue = u"OutputDir";
// The installer's key and value (read only).
inline constexpr std::u16string_view kInstallerKey = u"SOFTWARE\\Apps\\Quorbel Tallymere";
inline constexpr std::u16string_view kInstallDirValue = u"InstallDir";

// Directories under the output directory.
inline constexpr std::u16string_view kArchiveDir = u"Tallymere";
inline constexpr std::u16string_view kExportDir = u"Tallyport";

// The string value `name` of the settings key; a missing key or value reads as "". A settings
// store that cannot be read is fatal ("RegOpenKeyEx failed." or "RegQueryValueEx failed.",
// captioned "GetRegistryStr").
std::u16string GetRegistryStr(std::u16string_view name);

// The string value `name` of the settings key, or nothing when the key or the value is
// missing (OutputDir is missing only on a device where the program has never started).
std::optional<std::u16string> FindRegistryStr(std::u16string_view name);

// The installer's InstallDir, or "" when it is missing.
std::u16string InstallerDir();

// Stores `value` as REG_SZ under the settings key; a failure is fatal
// ("RegCreateKeyEx failed." or "RegSetValueEx failed.", captioned "SetRegistryStr").
void SetRegistryStr(std::u16string_view name, std::u16string_view value);

// An empty OutputDir takes the installer's InstallDir (or stays empty when that is missing too).
void ApplyOutputDirDefault();

// Start-up defaults: ApplyOutputDirDefault, then the archive and export directories are created
// under OutputDir. An output directory that does not exist (a removed storage card) or whose
// directories cannot be created ends the program with "Cannot use <dir> as output directory:
// <reason>. Choose another one with: tallymere-cli settings --output-dir DIR", captioned
// "ApplyStartupDefaults".
void ApplyStartupDefaults();

}  // namespace tallymere
