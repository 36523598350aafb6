// tallymere-cli: the program's command-line front end.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/did_you_mean.h"
#include "remote/exit_status.h"
#include "remote/version.h"

namespace {

// The commands that take the device for the program, and those of them that print a result
// --json can give as one object.
const std::vector<std::string> kProgramCommands = {"backup-all", "export-all", "restore", "backup", "export",
                                                    "settings",   "check",      "start",   "watch"};
const std::vector<std::string> kJsonCommands = {"backup-all", "export-all", "restore", "backup",
                                                "export",     "settings",   "check"};

std::vector<std::string> SubcommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) names.push_back(sub->get_name());
    return names;
}

std::vector<std::string> OptionNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
    return names;
}

// The command the parse got to: the innermost subcommand given, and its words ("device list").
const CLI::App* Innermost(const CLI::App& app, std::string* words) {
    const CLI::App* at = &app;
    for (;;) {
        const std::vector<CLI::App*> given = at->get_subcommands();
        if (given.empty()) return at;
        at = given.front();
        if (!words->empty()) *words += ' ';
        *words += at->get_name();
    }
}

// For a command line that did not parse: the nearest name to the word it did not know.
std::optional<std::string> Suggest(const CLI::App& app, int argc, char** argv) {
    std::string words;
    const CLI::App* at = Innermost(app, &words);
    const std::vector<std::string> unknown = at->remaining();
    if (!unknown.empty()) {
        const std::string& word = unknown.front();
        if (word.rfind("-", 0) == 0) return cli::NearestName(word.substr(0, word.find('=')), OptionNames(*at));
        return cli::NearestName(word, SubcommandNames(*at));
    }
    if (at->get_name() == "restore") {
        // The kind that is neither "normal" nor "extra": the first word after "restore".
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::string(argv[i]) == "restore" && argv[i + 1][0] != '-') {
                return cli::NearestName(argv[i + 1], {"normal", "extra"});
            }
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    cli::InstallConsolePort(false);
    CLI::App app{"Tallymere: backup, restore and export of a device's messages."};
    app.name("tallymere-cli");
    app.set_version_flag("--version", cli::VersionLine(), "Print the version and the commit it was built from");
    app.footer(std::string("\n") + cli::kExitStatusHelp + "\nSee also: man tallymere-cli");
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
    for (const std::string& name : kJsonCommands) {
        app.get_subcommand(name)->add_flag("--json", options.json, "Print the result as one JSON object on standard output");
    }
    app.get_subcommand("device")->get_subcommand("list")->add_flag("--json", options.json,
                                                                   "Print the stores and folders, or the messages, as JSON");
    std::string waitText;
    std::vector<CLI::Option*> waits;
    for (const std::string& name : kProgramCommands) {
        waits.push_back(app.get_subcommand(name)
                            ->add_option("--wait", waitText,
                                         "While another program command holds the device, wait for it (at most "
                                         "SECONDS) instead of ending with status 3")
                            ->expected(0, 1)
                            ->type_name("[=SECONDS]")
                            ->check(CLI::NonNegativeNumber));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "tallymere-cli: %s\n", e.what());
        if (const auto nearest = Suggest(app, argc, argv)) std::fprintf(stderr, "tallymere-cli: did you mean %s?\n", nearest->c_str());
        std::fprintf(stderr, "Usage: tallymere-cli [--device DIR] <command> [options]   (see --help)\n");
        return cli::kExitUsage;
    }
    Innermost(app, &options.command);
    for (const CLI::Option* wait : waits) {
        if (wait->count() == 0) continue;
        options.wait = true;
        options.waitSeconds = waitText.empty() ? 0 : std::stod(waitText);
    }
    // A command name taken for the folder (`--device backup-all`, the folder left out) would
    // make a device folder of that name and run another command than meant.
    if (app.count("--device") > 0) {
        const std::vector<std::string> commands = SubcommandNames(app);
        if (options.device.empty() || std::find(commands.begin(), commands.end(), options.device) != commands.end()) {
            std::fprintf(stderr,
                         "tallymere-cli: --device needs a folder, not \"%s\"%s\n"
                         "Usage: tallymere-cli [--device DIR] <command> [options]   (see --help)\n",
                         options.device.c_str(),
                         options.device.empty() ? "" : " (a command; write ./NAME for a folder of that name)");
            return cli::kExitUsage;
        }
    }

    for (const cli::Runner& run : runners) {
        if (int status = run(options); status >= 0) return status;
    }
    return cli::kExitDone;
}
