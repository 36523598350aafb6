// Start at login: the XDG autostart entry that starts the desktop program `tallymere` hidden in
// the tray, on one device folder, when the user's session begins.
//
// The entry is one file per user, `$XDG_CONFIG_HOME/autostart/tallymere.desktop` (`~/.config`
// when XDG_CONFIG_HOME is unset or not an absolute path). It is written or removed only when
// the user asks (`settings --autostart on|off`, the desktop program's "Start at login"); reading
// the state writes nothing. The entry is written whole under a temporary name and then takes its
// own, so that a session never finds half an entry.
#pragma once

#include <filesystem>
#include <string>

namespace remote {

// Where the entry is, or would be.
std::filesystem::path AutostartFile();

struct AutostartState {
    bool on = false;     // the entry exists
    std::string device;  // the device folder its command line names (empty when none)
};

// Whether the entry exists and which device folder it starts the program on.
AutostartState ReadAutostart();

// The entry's text for `program` (the desktop program's path, or its bare name to be looked up
// on PATH at login) on the device folder `device` (an absolute path).
std::string AutostartEntry(const std::string& program, const std::filesystem::path& device);

// The desktop program to start: this program when it is the desktop program, else the one
// installed beside it (or built beside it in a build tree), else `tallymere` from PATH.
std::string DesktopProgram();

// Writes the entry for the device folder `device`, or removes it. False, with the reason in
// `error`, when that could not be done; then nothing has changed.
bool SetAutostart(bool on, const std::filesystem::path& device, std::string* error);

}  // namespace remote
