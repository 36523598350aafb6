// Archive commands: "check" reads the whole archive without changing it and says whether it
// is sound; "check --repair" first rebuilds what can be rebuilt from the intact records.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "archive/archive_check.h"
#include "archive/archive_repair.h"
#include "archive/entry_id.h"
#include "archive/folder.h"
#include "cli/commands.h"
#include "remote/exit_status.h"
#include "remote/remote.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/settings.h"

namespace cli {

Runner AddArchiveCommands(CLI::App& app) {
    CLI::App* check = app.add_subcommand(
        "check", "Read the whole archive without changing it; exit status 0 when it is sound, 1 otherwise");
    auto repair = std::make_shared<bool>(false);
    check->add_flag("--repair", *repair,
                    "First rebuild Messages.ndx from the intact records of Messages.dat (and Folders.dat when line "
                    "feeds in it were damaged); Messages.dat is never written, and the old files are kept as .bak "
                    "until the repair has finished");
    return [check, repair](const GlobalOptions& options) -> int {
        if (!check->parsed()) return -1;
        // A pass writing the archive meanwhile would show as inconsistencies, so check, too, runs
        // only while no other program instance works on the device, or in the resident program
        // that holds it, between its commands.
        if (!MountDevice(options)) return kExitFailure;
        RemoteRequest request;
        request.verb = remote::verb::kCheck;
        request.json = options.json;
        request.repair = *repair;
        if (const int status = LockOrForward(options, "check", request); status >= 0) return status;
        return RunCheck(stdout, *repair, options.json);
    };
}

}  // namespace cli
