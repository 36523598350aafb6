#include "cli/app.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console_ui.h"
#include "cli/did_you_mean.h"
#include "remote/exit_status.h"
#include "remote/reports.h"
#include "remote/version.h"

namespace cli {

namespace {

// The commands that take the device for the program, which --wait lets wait for it.
const std::vector<std::string> kWaitCommands = {"backup-all", "export-all", "restore", "backup", "export",
                                                "settings",   "check",      "compact", "start",  "watch"};

constexpr const char* kUsageLine = "Usage: tallymere-cli [--device DIR] <command> [options]   (see --help)";

std::vector<std::string> SubcommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
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
std::optional<std::string> Suggest(const CLI::App& app, const std::vector<std::string>& args) {
    std::string words;
    const CLI::App* at = Innermost(app, &words);
    // Words a command does not know pass on to the program (its own options may follow the
    // command), so the word may be left over at any level.
    const std::vector<std::string> unknown = app.remaining(true);
    if (!unknown.empty()) {
        const std::string& word = unknown.front();
        if (word.rfind("-", 0) == 0) return NearestName(word.substr(0, word.find('=')), OptionNames(*at));
        return NearestName(word, SubcommandNames(*at));
    }
    if (at->get_name() == "restore") {
        // The kind that is neither "normal" nor "extra": the first word after "restore".
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "restore" && args[i + 1][0] != '-') return NearestName(args[i + 1], {"normal", "extra"});
        }
    }
    return std::nullopt;
}

// Every command that does something: the subcommands that have none of their own.
void CollectCommands(CLI::App* app, std::vector<CLI::App*>* commands) {
    for (CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_subcommands([](const CLI::App*) { return true; }).empty()) {
            commands->push_back(sub);
        } else {
            CollectCommands(sub, commands);
        }
    }
}

// --wait's value: a number of seconds, or nothing (as long as it takes).
std::string CheckSeconds(const std::string& text) {
    if (text.empty()) return {};
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0) {
        return "takes a number of seconds, such as --wait=30, not \"" + text + "\"";
    }
    return {};
}

// `help` and `help COMMAND...` ask for the help of the program or of the command: the words
// are rewritten as COMMAND... --help. The program's own options before it stay where they are.
std::vector<std::string> HelpAsOption(std::vector<std::string> args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--device") {
            ++i;
            continue;
        }
        if (args[i].rfind("-", 0) == 0) continue;
        if (args[i] != "help") break;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        args.push_back("--help");
        break;
    }
    return args;
}

bool Given(const std::vector<std::string>& args, std::string_view option) {
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == option) return true;
    }
    return false;
}

// Standard output that could not be written: a reader that went away (a closed pipe) ends
// the command quietly with its own status; any other failure is the command's failure.
int FinishOutput(int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    int error = errno;
    if (flushed && !std::ferror(stdout)) return status;
    // A write that failed earlier left no reason behind (errno has moved on since): a pipe
    // whose reader has gone says so to poll, and a write of nothing asks any other file again,
    // which a full device still refuses.
    if (error == 0) {
        struct stat file {};
        pollfd out{STDOUT_FILENO, 0, 0};
        if (::fstat(STDOUT_FILENO, &file) == 0 && S_ISFIFO(file.st_mode) && ::poll(&out, 1, 0) == 1 &&
            (out.revents & POLLERR) != 0) {
            error = EPIPE;
        } else if (::write(STDOUT_FILENO, "", 0) < 0) {
            error = errno;
        }
    }
    if (error == EPIPE) return status;
    std::fprintf(stderr, "tallymere-cli: cannot write to standard output%s%s\n", error ? ": " : "",
                 error ? std::strerror(error) : "");
    return remote::kExitFailure;
}

}  // namespace

std::unique_ptr<CommandLine> MakeCommandLine() {
    auto line = std::make_unique<CommandLine>();
    CLI::App& app = line->app;
    app.name("tallymere-cli");
    // The program's own options (--device) are taken after the command too.
    app.fallthrough();
    app.set_version_flag("--version", remote::VersionLine(), "Print the version and the commit it was built from");
    app.add_option("--device", line->options.device,
                   "Device folder (default: $TALLYMERE_DEVICE, else $XDG_DATA_HOME/tallymere/device, "
                   "else ~/.local/share/tallymere/device)");

    // Each group registers its subcommands; the first runner that recognises its command runs.
    line->runners = {
        AddProgramCommands(app), AddMessageCommands(app), AddSelectionCommands(app),     AddWatchCommand(app),
        AddArchiveCommands(app), AddCompactCommand(app),  AddArchiveBrowseCommands(app), AddDeviceCommands(app),
    };
    std::vector<CLI::App*> commands;
    CollectCommands(&app, &commands);
    for (CLI::App* command : commands) {
        if (command->get_option_no_throw("--json") != nullptr) continue;  // a command of its own JSON
        command->add_flag("--json", line->options.json,
                          "Print the outcome, whatever it is, as one JSON object on standard output");
    }
    for (const std::string& name : kWaitCommands) {
        line->waits.push_back(app.get_subcommand(name)
                                  ->add_option("--wait", line->waitText,
                                               "While another program command holds the device, wait for it (at most "
                                               "SECONDS) instead of ending with status 3")
                                  ->expected(0, 1)
                                  ->type_name("[=SECONDS]")
                                  ->check(CLI::Validator(CheckSeconds, "SECONDS", "seconds")));
    }
    // Set last, so that only the program's own help lists the exit statuses (a subcommand takes
    // its parent's footer when it is made).
    app.footer(std::string("\n") + remote::kExitStatusHelp + "\nSee also: man tallymere-cli");
    return line;
}

int RunCommandLine(int argc, char** argv) {
    InstallConsolePort(false);
    std::unique_ptr<CommandLine> line = MakeCommandLine();
    CLI::App& app = line->app;
    remote::GlobalOptions& options = line->options;
    std::vector<std::string> args(argv + 1, argv + argc);
    args = HelpAsOption(std::move(args));
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        return FinishOutput(app.exit(e));
    } catch (const CLI::CallForAllHelp& e) {
        return FinishOutput(app.exit(e));
    } catch (const CLI::CallForVersion& e) {
        return FinishOutput(app.exit(e));
    } catch (const CLI::ParseError& e) {
        std::string words;
        Innermost(app, &words);
        std::fprintf(stderr, "tallymere-cli: %s\n", e.what());
        if (const auto nearest = Suggest(app, args))
            std::fprintf(stderr, "tallymere-cli: did you mean %s?\n", nearest->c_str());
        std::fprintf(stderr, "%s\n", kUsageLine);
        if (Given(args, "--json")) std::printf("%s\n", remote::ErrorJson(words, remote::kExitUsage, e.what()).c_str());
        return FinishOutput(remote::kExitUsage);
    }
    Innermost(app, &options.command);
    for (const CLI::Option* wait : line->waits) {
        if (wait->count() == 0) continue;
        options.wait = true;
        options.waitSeconds = line->waitText.empty() ? 0 : std::strtod(line->waitText.c_str(), nullptr);
    }
    // A command name taken for the folder (`--device backup-all`, the folder left out) would
    // make a device folder of that name and run another command than meant.
    if (app.count("--device") > 0) {
        const std::vector<std::string> commands = SubcommandNames(app);
        if (options.device.empty() || std::find(commands.begin(), commands.end(), options.device) != commands.end()) {
            const std::string error =
                "--device needs a folder, not \"" + options.device + "\"" +
                (options.device.empty() ? "" : " (a command; write ./NAME for a folder of that name)");
            std::fprintf(stderr, "tallymere-cli: %s\n%s\n", error.c_str(), kUsageLine);
            if (options.json) {
                std::printf("%s\n", remote::ErrorJson(options.command, remote::kExitUsage, error).c_str());
            }
            return FinishOutput(remote::kExitUsage);
        }
    }
    for (const Runner& run : line->runners) {
        if (const int status = run(options); status >= 0) return FinishOutput(status);
    }
    return FinishOutput(remote::kExitDone);
}

}  // namespace cli
