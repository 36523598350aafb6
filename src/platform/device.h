// The device folder: one host folder that stands for the device's whole file system.
//
// The device's root "\" is the device folder. A device path uses "\" as separator (the
// device also accepts "/"), with or without a leading "\": the device has no current
// directory, so every path is from the root. Empty components collapse. A component "." or
// "..", or one holding a NUL character, is refused, so nothing outside the device folder is
// ever reached through a device path. The components are joined by "/" in UTF-8 on the host;
// a name longer than the host's 255 bytes is shortened to its beginning, "~", a hash of the
// whole name and its extension (the same device name always gives the same host name).
//
// A file's creation time on the device is its modification time on the host, so that the
// phone's side (`device` commands, tests) can set it: see platform::SetFileCreationTime.
//
// A fresh device folder is provisioned on first mount: "\My Documents\UAContents\MMS UA",
// "\Program Files\Tallymere" (where the program is installed), the installer's settings value
// and "\.platform\", which holds the platform's own files (names beginning with "." are
// hidden from the folder browser).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform::device {

// The device folder a front end uses when given `explicitDir` (the --device option, may be
// empty): that, else $TALLYMERE_DEVICE, else $XDG_DATA_HOME/tallymere/device, else
// ~/.local/share/tallymere/device.
std::filesystem::path ChooseFolder(std::string_view explicitDir);

// Whether the device folder a front end uses is the default one (no --device, no
// $TALLYMERE_DEVICE): only there are missing parent folders made.
bool IsDefaultFolder(std::string_view explicitDir);

// Where Mount may make a new phone.
enum class Creation {
    kWithParents,       // the default folder: made, with the parent folders it needs
    kInExistingParent,  // a folder the user named: made only inside a folder that exists
    kNever,             // a command that only reads: a folder that is no device yet is refused
};

// Makes `hostDir` the device's root for this process. A folder that does not exist yet is
// created (mode 0700) and provisioned as a new, empty phone, and so is an empty folder (made
// 0700); `made` tells the caller (who says so). From the first mount on, everything the process
// creates is private (umask 077: directories 0700, files 0600). A device folder that other
// users can reach gets one warning line on standard error naming the fix (chmod 700 DIR). A device folder is known by its ".platform" folder:
// a folder that holds anything else but no ".platform" is refused untouched, so that a
// mistyped option never fills a folder of the user's with a phone. Returns false with a reason
// when the folder cannot be used. `creation` limits where a new phone may be made; a folder
// refused by it is left as it was ("no device at DIR").
bool Mount(const std::filesystem::path& hostDir, std::string* error, bool* made = nullptr,
           Creation creation = Creation::kWithParents);

// Forgets the mounted folder (tests mount a fresh one per case).
void Unmount();

// The mounted device folder, or an empty path when none is mounted.
std::filesystem::path Root();

// The host path of a device path, or nothing when the path is refused or no device is mounted.
std::optional<std::filesystem::path> HostPath(std::u16string_view devicePath);
// The same as text, for callers that only hand it to the host's calls: a path object splits
// itself into components, a cost paid several times per exported message.
std::optional<std::string> HostPathText(std::u16string_view devicePath);
// The host name of one device name as the last component of a path maps it (no separator in
// it), or nothing when it is refused; for callers that name files relative to a directory.
std::optional<std::string> HostNameText(std::u16string_view name);

// The host path of a platform file under "\.platform\" (the store database, the settings).
std::filesystem::path PlatformFile(std::string_view name);

// Where the program is installed, as the installer records it.
inline constexpr std::u16string_view kInstallDir = u"\\Program Files\\Tallymere";
inline constexpr std::u16string_view kInstallerKey = u"SOFTWARE\\Apps\\Quorbel Tallymere";
inline constexpr std::u16string_view kMmsFolder = u"\\My Documents\\UAContents\\MMS UA";

}  // namespace platform::device
