// Program commands: the start-up step and the settings.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "remote/exit_status.h"
#include "remote/remote.h"
#include "platform/device.h"
#include "platform/text.h"
#include "shell/app.h"
#include "shell/output_dir.h"
#include "support/files.h"
#include "support/settings.h"

namespace cli {

Runner AddProgramCommands(CLI::App& app) {
    CLI::App* start = app.add_subcommand("start", "Run the program's start-up on the device and say what is there");
    CLI::App* settings = app.add_subcommand("settings", "Print the output directory (OutputDir), or change it");
    auto newDir = std::make_shared<std::string>();
    settings->add_option("--output-dir", *newDir,
                         "Change the output directory (a device path such as \"\\Storage Card\"); "
                         "the archive moves along");
    return [&app, settings, start, newDir](const GlobalOptions& options) -> int {
        const bool none = app.get_subcommands().empty();
        if (!settings->parsed() && !start->parsed() && !none) return -1;
        if (!MountDevice(options)) return kExitFailure;
        const bool change = settings->count("--output-dir") > 0;
        if (settings->parsed()) {
            // While the resident program holds the device, it changes or reads the setting.
            RemoteRequest request;
            request.verb = remote::verb::kSettings;
            request.json = options.json;
            if (change) request.outputDir = *newDir;
            if (const int status = LockOrForward(options, "settings", request); status >= 0) return status;
            // With --json, a refused directory is reported as the error object.
            InstallConsolePort(false, options.json ? "settings" : "");
            return RunSettings(stdout, change ? newDir.get() : nullptr, options.json);
        }
        if (const int status = LockDevice(options); status >= 0) return status;
        tallymere::BeginApp(tallymere::StartMode::OneShot);
        std::printf("Tallymere is ready on device folder %s: output directory %s holds the archive "
                    "(Tallymere) and the export tree (Tallyport).\n",
                    platform::device::Root().c_str(), ShownPath(tallymere::GetRegistryStr(tallymere::kOutputDirValue)).c_str());
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return kExitDone;
    };
}

}  // namespace cli
