// Program commands: the start-up step and the settings.
#include <cstdio>

#include "cli/commands.h"
#include "platform/device.h"
#include "platform/text.h"
#include "shell/app.h"
#include "support/settings.h"

namespace cli {

namespace {

std::string OutputDir() { return platform::ToUtf8(tallymere::GetRegistryStr(tallymere::kOutputDirValue)); }

}  // namespace

Runner AddProgramCommands(CLI::App& app) {
    CLI::App* settings = app.add_subcommand("settings", "Print the output directory (OutputDir)");
    CLI::App* start = app.add_subcommand("start", "Run the program's start-up on the device and say what is there");
    return [&app, settings, start](const GlobalOptions& options) -> int {
        const bool none = app.get_subcommands().empty();
        if (!settings->parsed() && !start->parsed() && !none) return -1;
        if (!MountDevice(options)) return 1;
        tallymere::BeginApp();
        if (settings->parsed()) {
            std::printf("%s\n", OutputDir().c_str());
        } else {
            std::printf("Tallymere is ready on device folder %s: output directory \"%s\" holds the archive "
                        "(Tallymere) and the export tree (Tallyport).\n",
                        platform::device::Root().c_str(), OutputDir().c_str());
        }
        tallymere::EndApp();
        return 0;
    };
}

}  // namespace cli
