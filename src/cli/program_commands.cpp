// Program commands: the start-up step and the settings.
#include <cstdio>
#include <map>
#include <memory>

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
    CLI::App* settings = app.add_subcommand(
        "settings", "Print the output directory (OutputDir) and whether Tallymere starts at login, or change them");
    auto newDir = std::make_shared<std::string>();
    settings->add_option("--output-dir", *newDir,
                         "Change the output directory (a device path such as \"\\Storage Card\"); "
                         "the archive moves along");
    auto autostart = std::make_shared<bool>(false);
    settings
        ->add_option("--autostart", *autostart,
                     "on: start the desktop program hidden in the tray on this device folder at every "
                     "login (an entry in $XDG_CONFIG_HOME/autostart); off: no longer")
        ->transform(CLI::IsMember(std::map<std::string, bool>{{"on", true}, {"off", false}}))
        ->type_name("on|off");
    return [&app, settings, start, newDir, autostart](const remote::GlobalOptions& options) -> int {
        const bool none = app.get_subcommands().empty();
        if (!settings->parsed() && !start->parsed() && !none) return -1;
        const bool change = settings->count("--output-dir") > 0;
        const bool reads = settings->parsed() && !change;
        const remote::DeviceUse use = reads ? remote::DeviceUse::kRead : remote::DeviceUse::kWrite;
        if (!remote::MountDevice(options, use)) return remote::kExitFailure;
        if (settings->parsed()) {
            // While the resident program holds the device, it changes or reads the setting.
            remote::RemoteRequest request;
            request.verb = remote::verb::kSettings;
            request.json = options.json;
            if (change) request.outputDir = *newDir;
            if (settings->count("--autostart") > 0) request.autostart = *autostart;
            if (const int status = remote::LockOrForward(options, "settings", request); status >= 0) return status;
            // With --json, a refused directory is reported as the error object.
            InstallConsolePort(false, options.json ? "settings" : "");
            return remote::RunSettings(stdout, change ? newDir.get() : nullptr, request.autostart, options.json);
        }
        if (const int status = remote::LockDevice(options); status >= 0) return status;
        InstallConsolePort(false, options.json ? "start" : "");
        tallymere::BeginApp(tallymere::StartMode::OneShot);
        const std::u16string outputDir = tallymere::GetRegistryStr(tallymere::kOutputDirValue);
        if (options.json) {
            const nlohmann::ordered_json j{{"command", "start"},
                                           {"device", platform::device::Root().string()},
                                           {"output_dir", platform::ToUtf8(outputDir)},
                                           {"host_path", remote::HostPathOf(outputDir)},
                                           {"status", remote::kExitDone}};
            std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        } else {
            std::printf(
                "Tallymere is ready on device folder %s: output directory %s holds the archive "
                "(Tallymere) and the export tree (Tallyport).\n",
                platform::device::Root().c_str(), remote::ShownPath(outputDir).c_str());
        }
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return remote::kExitDone;
    };
}

}  // namespace cli
