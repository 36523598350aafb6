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

#include "remote/options.h"
#include "remote/remote.h"
#include "remote/work.h"

namespace cli {

// The command line speaks the vocabulary of what both front ends share (src/remote): its
// options, exit statuses, forwarding and reports, each name given with its namespace.
using Runner = std::function<int(const remote::GlobalOptions&)>;

// Runs one command of the command table as a one-shot program (lock, start-up, the command,
// shutdown) and returns the exit status.
int RunProgramCommand(const remote::GlobalOptions& options, std::uint32_t command, bool assumeYes);

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
// compact.
Runner AddCompactCommand(CLI::App& app);

// archive list|show|export-xml: looking into the archive without changing it.
Runner AddArchiveBrowseCommands(CLI::App& app);

// The phone's side of the message store (`device list`, `dump`, `deliver`, ...).
Runner AddDeviceCommands(CLI::App& app);

}  // namespace cli
