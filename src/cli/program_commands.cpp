// Program commands: the start-up step and the settings.
#include <cstdio>

#include "cli/commands.h"
#include "cli/remote.h"
#include "platform/device.h"
#include "platform/text.h"
#include "shell/app.h"
#include "shell/output_dir.h"
#include "support/files.h"
#include "support/settings.h"

namespace cli {

namespace {

std::string OutputDir() { return platform::ToUtf8(tallymere::GetRegistryStr(tallymere::kOutputDirValue)); }

}  // namespace

int RunSettings(std::FILE* out, const std::string* newDir) {
    // Without the start-up, which needs a usable output directory: the settings must stay
    // reachable to repair an unusable one.
    tallymere::ApplyOutputDirDefault();
    if (newDir) {
        if (!tallymere::ChangeOutputDir(platform::FromUtf8(*newDir))) return 1;
    } else {
        // Its directories are made as at start-up, when it can be used.
        tallymere::CheckOutputDir(tallymere::GetRegistryStr(tallymere::kOutputDirValue),
                                  tallymere::OutputDirUse::kStartUp, nullptr);
    }
    std::fprintf(out, "%s\n", OutputDir().c_str());
    return 0;
}

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
        if (!MountDevice(options)) return 1;
        const bool change = settings->count("--output-dir") > 0;
        if (settings->parsed()) {
            // While the resident program holds the device, it changes or reads the setting.
            RemoteRequest request;
            request.verb = "settings";
            if (change) request.outputDir = *newDir;
            if (const int status = LockOrForward(request); status >= 0) return status;
            return RunSettings(stdout, change ? newDir.get() : nullptr);
        }
        if (!LockDevice()) return 1;
        tallymere::BeginApp(tallymere::StartMode::OneShot);
        std::printf("Tallymere is ready on device folder %s: output directory \"%s\" holds the archive "
                    "(Tallymere) and the export tree (Tallyport).\n",
                    platform::device::Root().c_str(), OutputDir().c_str());
        tallymere::EndApp(tallymere::StartMode::OneShot);
        return 0;
    };
}

}  // namespace cli
