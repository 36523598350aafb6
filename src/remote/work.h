// The work of the program commands that both front ends carry out: the command line for itself,
// and the program holding the device for a command line that forwarded them (remote.h).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"

namespace remote {

// The work of `settings` (it needs no start-up): changes the output directory when `newDir` is
// given, then prints it to `out` with where it is on this computer (as JSON with `json`).
// Returns the exit status (1 when the new directory cannot be used: nothing was changed).
int RunSettings(std::FILE* out, const std::string* newDir, bool json);

// The work of `check`: reads the archive without changing it (after repairing it, with
// `repair`) and prints the report to `out` (as JSON with `json`); returns 0 when the archive
// is sound, 1 otherwise.
int RunCheck(std::FILE* out, bool repair, bool json);

// The work of `backup|export --select PATH...` or `--list` once the program has started, with
// the result box shown to `window`'s port: `mode` is "Backup" or "Export". The tree goes to
// `out`, usage errors to `err`. Returns the exit status.
int RunSelection(platform::ui::HWND window, const std::string& mode, const std::vector<std::string>& paths,
                 bool list, std::FILE* out, std::FILE* err);

// A device path followed by where it is on this computer: "\Program Files\Tallymere"
// becomes ""\Program Files\Tallymere" (/home/me/.local/share/tallymere/device/Program
// Files/Tallymere)"; the host path is left out when the path names nothing on the host.
std::string ShownPath(std::u16string_view devicePath);
// The host path alone ("" when the device path names nothing on the host).
std::string HostPathOf(std::u16string_view devicePath);

}  // namespace remote
