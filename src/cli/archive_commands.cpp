// Archive commands: "check" reads the whole archive without changing it and says whether it
// is sound; "check --repair" first rebuilds what can be rebuilt from the intact records;
// "compact" removes the bytes of Messages.dat outside every indexed record.
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
#include "platform/com.h"
#include "platform/filesys.h"
#include "platform/mapi/mapi.h"
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
    return [check, repair](const remote::GlobalOptions& options) -> int {
        if (!check->parsed()) return -1;
        // A pass writing the archive meanwhile would show as inconsistencies, so check, too, runs
        // only while no other program instance works on the device, or in the resident program
        // that holds it, between its commands.
        if (!remote::MountDevice(options, remote::DeviceUse::kRead)) return remote::kExitFailure;
        remote::RemoteRequest request;
        request.verb = remote::verb::kCheck;
        request.json = options.json;
        request.repair = *repair;
        if (const int status = remote::LockOrForward(options, "check", request); status >= 0) return status;
        // A repair may read the message store (damaged folder lines are rebuilt from it).
        if (*repair) {
            platform::CoInitializeEx(nullptr, 0);
            platform::mapi::MAPIInitialize(nullptr);
        }
        const int status = remote::RunCheck(stdout, *repair, options.json);
        if (*repair) {
            platform::mapi::MAPIUninitialize();
            platform::CoUninitialize();
        }
        return status;
    };
}

Runner AddCompactCommand(CLI::App& app) {
    CLI::App* compact =
        app.add_subcommand("compact",
                           "Remove the bytes of Messages.dat that lie in no indexed record, in one step that a crash "
                           "cannot leave half done; the archive must be sound (see check)");
    return [compact](const remote::GlobalOptions& options) -> int {
        if (!compact->parsed()) return -1;
        if (!remote::MountDevice(options)) return remote::kExitFailure;
        remote::RemoteRequest request;
        request.verb = remote::verb::kCompact;
        request.json = options.json;
        if (const int status = remote::LockOrForward(options, "compact", request); status >= 0) return status;
        return remote::RunCompact(stdout, options.json);
    };
}

}  // namespace cli
