// tallymere-cli: the program's command-line front end.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "platform/device.h"
#include "platform/text.h"
#include "shell/app.h"
#include "support/settings.h"

namespace {

// Mounts the chosen device folder; prints why not and returns false when it cannot be used.
bool MountDevice(const std::string& deviceOption) {
    std::string error;
    const auto folder = platform::device::ChooseFolder(deviceOption);
    if (!platform::device::Mount(folder, &error)) {
        std::fprintf(stderr, "tallymere-cli: %s\n", error.c_str());
        return false;
    }
    return true;
}

std::string OutputDir() { return platform::ToUtf8(tallymere::GetRegistryStr(tallymere::kOutputDirValue)); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Tallymere: backup, restore and export of a device's messages."};
    app.name("tallymere-cli");
    std::string deviceOption;
    app.add_option("--device", deviceOption,
                   "Device folder (default: $TALLYMERE_DEVICE, else $XDG_DATA_HOME/tallymere/device, "
                   "else ~/.local/share/tallymere/device)");

    CLI::App* settings = app.add_subcommand("settings", "Print the output directory (OutputDir)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        std::fprintf(stderr, "Usage: tallymere-cli [--device DIR] <command> [options]  (--help for the list)\n");
        return 2;
    }

    if (!MountDevice(deviceOption)) return 1;
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
}
