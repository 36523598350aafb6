// tallymere-cli: the program's command-line front end.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/console_ui.h"

int main(int argc, char** argv) {
    cli::InstallConsolePort(false);
    CLI::App app{"Tallymere: backup, restore and export of a device's messages."};
    app.name("tallymere-cli");
    cli::GlobalOptions options;
    app.add_option("--device", options.device,
                   "Device folder (default: $TALLYMERE_DEVICE, else $XDG_DATA_HOME/tallymere/device, "
                   "else ~/.local/share/tallymere/device)");

    // Each group registers its subcommands; the first runner that recognises its command runs.
    std::vector<cli::Runner> runners = {
        cli::AddProgramCommands(app),
        cli::AddMessageCommands(app),
        cli::AddSelectionCommands(app),
        cli::AddWatchCommand(app),
        cli::AddArchiveCommands(app),
        cli::AddDeviceCommands(app),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "tallymere-cli: %s\n", e.what());
        std::fprintf(stderr, "Usage: tallymere-cli [--device DIR] <command> [options]   (see --help)\n");
        return 2;
    }

    for (const cli::Runner& run : runners) {
        if (int status = run(options); status >= 0) return status;
    }
    return 0;
}
