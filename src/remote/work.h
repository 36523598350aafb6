// The work of the program commands that both front ends carry out: the command line for itself,
// and the program holding the device for a command line that forwarded them (remote.h).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"

namespace remote {

// The work of `settings` (it needs no start-up): changes the output directory when `newDir` is
// given and writes or removes the autostart entry when `autostart` is given (autostart.h), then
// prints both settings to `out`, the directory with where it is on this computer (as JSON with
// `json`). Returns the exit status: 1 when the new directory cannot be used (nothing was
// changed) or the autostart entry cannot be changed (a box says why).
int RunSettings(std::FILE* out, const std::string* newDir, std::optional<bool> autostart, bool json);

// Writes the autostart entry for this device folder, or removes it; a box to `owner` (else the
// main window) says why when that cannot be done, and the result is false.
bool ChangeAutostart(bool on, platform::ui::HWND owner);

// The work of `check`: reads the archive without changing it (after repairing it, with
// `repair`) and prints the report to `out` (as JSON with `json`); returns 0 when the archive
// is sound, 1 otherwise.
int RunCheck(std::FILE* out, bool repair, bool json);

// The work of `compact`: removes the bytes of Messages.dat outside every indexed record
// (archive/archive_compact.h) and prints what it did to `out` (as JSON with `json`); returns
// the exit status (1 when the output directory cannot be read, the archive is not sound or its
// directory holds other files: nothing was changed).
int RunCompact(std::FILE* out, bool json);

// The work of `backup|export --select PATH...` or `--list` once the program has started, with
// the result box shown to `window`'s port: `mode` is "Backup" or "Export". The tree goes to
// `out`, usage errors to `err` (and with `json`, the tree or the usage error as one object to
// `out`). A trailing "/" in a PATH is ignored. Returns the exit status.
int RunSelection(platform::ui::HWND window, const std::string& mode, const std::vector<std::string>& paths, bool list,
                 std::FILE* out, std::FILE* err, bool json = false);

// The work of `restore --select PATH...` once the program has started and the user confirmed:
// re-creates the chosen archived messages missing from the store, the result box shown to
// `window`'s port. A PATH the archive does not hold is a usage error (status 2) written to
// `err`, and nothing is restored. Returns the exit status.
int RunRestoreSelection(platform::ui::HWND window, const std::vector<std::string>& paths, std::FILE* err);

// The work of `restore normal|extra|--select ... --dry-run`: prints to `out` what the restore
// would re-create, a line per folder and the total (as JSON with `json`, `name` naming the
// command), and changes nothing. `kind` is "normal", "extra" or "select" (with `paths`).
int RunRestorePlan(std::FILE* out, std::FILE* err, const std::string& kind, const std::vector<std::string>& paths,
                   bool json, const std::string& name);

// A device path followed by where it is on this computer: "\Program Files\Tallymere"
// becomes ""\Program Files\Tallymere" (/home/me/.local/share/tallymere/device/Program
// Files/Tallymere)"; the host path is left out when the path names nothing on the host.
std::string ShownPath(std::u16string_view devicePath);
// The host path alone ("" when the device path names nothing on the host).
std::string HostPathOf(std::u16string_view devicePath);

}  // namespace remote
