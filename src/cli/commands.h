// The commands of tallymere-cli, each group in its own file. Every group adds its
// subcommands to the application and returns a runner that is called once the command line
// has been parsed; a runner returns the process's exit status, or -1 when none of its
// commands was given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/ui.h"

namespace cli {

// Options every command sees (--json and --wait are given to the commands that take them).
struct GlobalOptions {
    std::string device;       // --device DIR
    std::string command;      // the command given ("backup-all", "device list", ...)
    bool json = false;        // --json: one JSON object on standard output
    bool wait = false;        // --wait[=SECONDS]: wait for the device instead of being refused
    double waitSeconds = 0;   // ... at most this long (0: as long as it takes)
};

using Runner = std::function<int(const GlobalOptions&)>;

// Mounts the device folder chosen by the options; prints why not and returns false when it
// cannot be used. A folder made for the device now is announced on standard error.
bool MountDevice(const GlobalOptions& options);

// Takes the program's lock on the mounted device for a command no other program carries out
// (start, watch); with --wait it waits for it. -1 when taken; otherwise the exit status 3,
// after "Tallymere is already running on this device (process N)." on standard error.
int LockDevice(const GlobalOptions& options);

// Prints "Tallymere is already running on this device (process N)." on standard error (and,
// with --json, its object on standard output); returns the exit status 3.
int PrintAlreadyRunning(const GlobalOptions& options, const std::string& name, long holderPid);

// Prints "Restore cancelled." on standard error (and, with --json, its object on standard
// output); returns the exit status 4.
int PrintCancelled(const GlobalOptions& options, const std::string& name);

// Runs one command of the command table as a one-shot program (lock, start-up, the command,
// shutdown) and returns the exit status.
int RunProgramCommand(const GlobalOptions& options, std::uint32_t command, bool assumeYes);

// backup-all, export-all, restore normal|extra.
Runner AddMessageCommands(CLI::App& app);

// backup|export --select PATH... or --list: the selection commands without a dialog.
Runner AddSelectionCommands(CLI::App& app);

// watch: the resident automatic mode.
Runner AddWatchCommand(CLI::App& app);

// Program commands (start-up, settings).
Runner AddProgramCommands(CLI::App& app);

// Archive commands (check).
Runner AddArchiveCommands(CLI::App& app);

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

// The phone's side of the message store (`device list`, `dump`, `deliver`, ...).
Runner AddDeviceCommands(CLI::App& app);

}  // namespace cli
