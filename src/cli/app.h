// The command line as one parser: every command and option of tallymere-cli. The program's
// `main` runs it; the tests read its definitions to hold the manual pages and the completion
// scripts to what the program really takes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"

namespace cli {

struct CommandLine {
    CLI::App app{"Tallymere: backup, restore and export of a device's messages."};
    remote::GlobalOptions options;    // filled by the parse
    std::vector<Runner> runners;      // each group's runner; the first that knows the command runs it
    std::string waitText;             // --wait's value as typed
    std::vector<CLI::Option*> waits;  // every command's --wait
};

// Every command, subcommand and option. The object must stay where it is made (the parser
// writes into its members).
std::unique_ptr<CommandLine> MakeCommandLine();

// Parses the arguments, runs the command and returns the exit status: the command's own, or
// 2 for a command line that is wrong, or 1 when standard output could not be written.
int RunCommandLine(int argc, char** argv);

}  // namespace cli
