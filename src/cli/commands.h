// The commands of tallymere-cli, each group in its own file. Every group adds its
// subcommands to the application and returns a runner that is called once the command line
// has been parsed; a runner returns the process's exit status, or -1 when none of its
// commands was given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace cli {

// Options every command sees.
struct GlobalOptions {
    std::string device;  // --device DIR
};

using Runner = std::function<int(const GlobalOptions&)>;

// Mounts the device folder chosen by the options; prints why not and returns false when it
// cannot be used.
bool MountDevice(const GlobalOptions& options);

// Takes the program's lock on the mounted device; prints "Tallymere is already running on this
// device (process N)." and returns false when another program instance holds it.
bool LockDevice();

// Prints "Tallymere is already running on this device (process N)." on standard error.
void PrintAlreadyRunning(long holderPid);

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
// given, then prints it to `out`. Returns the exit status (1 when the new directory cannot be
// used: nothing was changed).
int RunSettings(std::FILE* out, const std::string* newDir);

// The work of `check`: reads the archive without changing it (after repairing it, with
// `repair`) and prints the report to `out`; returns 0 when the archive is sound, 1 otherwise.
int RunCheck(std::FILE* out, bool repair);

// The phone's side of the message store (`device list`, `dump`, `deliver`, ...).
Runner AddDeviceCommands(CLI::App& app);

}  // namespace cli
