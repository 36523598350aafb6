// The manual page and the completion scripts against the parser's own definitions: every
// command and option the program takes is listed, and nothing is listed that it does not take.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/app.h"
#include "cli_runner.h"

namespace {

// The source tree: the test data's folder is tests/data in it.
const std::string kSourceDir = std::string(TALLYMERE_TEST_DATA) + "/../..";

using Names = std::set<std::string>;
using Table = std::map<std::string, Names>;  // command ("device list") -> its long options

std::string ReadSource(const std::string& relative) {
    std::ifstream in(kSourceDir + "/" + relative);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Names LongOptions(const std::string& text) {
    Names names;
    static const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
        names.insert(it->str());
    }
    return names;
}

// Every command that does something, with its long options (--help aside), from the parser.
void Collect(const CLI::App& app, const std::string& words, Table* table) {
    const auto all = [](const CLI::App*) { return true; };
    const std::vector<const CLI::App*> subs = app.get_subcommands(all);
    if (subs.empty()) {
        Names& options = (*table)[words];
        for (const CLI::Option* o : app.get_options()) {
            for (const std::string& name : o->get_lnames()) {
                if (name != "help") options.insert("--" + name);
            }
        }
    }
    for (const CLI::App* sub : subs)
        Collect(*sub, words.empty() ? sub->get_name() : words + " " + sub->get_name(), table);
}

Table ParserTable() {
    const std::unique_ptr<cli::CommandLine> line = cli::MakeCommandLine();
    Table table;
    Collect(line->app, "", &table);
    table.erase("");  // the program itself: --device and --version, checked on their own
    return table;
}

// The manual's synopsis lines: those that start with a command in bold, their description
// indented below them. A line gives its options to every command it names ("*device delete*
// _ID_ [*--json*], *device move* ...").
Table ManualTable(const std::string& page, const Table& known) {
    Table table;
    std::vector<std::string> lines;
    std::istringstream text(page);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] != '*' || line.rfind("*--", 0) == 0 || lines[i + 1].rfind("\t", 0) != 0) continue;
        for (const auto& [command, options] : known) {
            const std::regex named("(^|, )\\*" + command + "( [^*]*)?\\*");
            if (!std::regex_search(line, named)) continue;
            // The line's own options, up to the next command it names.
            std::string own = line;
            std::smatch m;
            std::regex_search(line, m, named);
            own = line.substr(static_cast<std::size_t>(m.position(0)));
            if (const std::size_t next = own.find(", *", 1); next != std::string::npos) own.resize(next);
            Names& listed = table[command];
            for (const std::string& o : LongOptions(own)) listed.insert(o);
        }
    }
    return table;
}

TEST(Manual, ListsEveryCommandWithExactlyItsOptions) {
    const Table parser = ParserTable();
    const std::string page = ReadSource("docs/man/tallymere-cli.1.scd");
    const Table manual = ManualTable(page, parser);
    for (const auto& [command, options] : parser) {
        ASSERT_TRUE(manual.count(command)) << "the manual has no synopsis for " << command;
        EXPECT_EQ(manual.at(command), options) << command;
    }
    // Every option the page names anywhere is one the program takes.
    Names all = {"--device", "--version", "--help"};
    for (const auto& [command, options] : parser) all.insert(options.begin(), options.end());
    for (const std::string& o : LongOptions(page)) EXPECT_TRUE(all.count(o)) << "the manual names " << o;
    EXPECT_NE(page.find("*--device* _DIR_"), std::string::npos);
    EXPECT_NE(page.find("*--version*"), std::string::npos);
}

// The bash completion, run: what it offers for "-" after each command, and as commands.
std::vector<std::string> BashCompletion(const std::vector<std::string>& words) {
    std::string script = "source '" + kSourceDir + "/completions/tallymere-cli.bash'; COMP_WORDS=(";
    for (const std::string& w : words) script += "'" + w + "' ";
    script +=
        "); COMP_CWORD=" + std::to_string(words.size() - 1) + "; _tallymere_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const testing_support::CliResult r = testing_support::RunProgram("/bin/bash", {"--norc", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> offered;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) offered.push_back(line);
    }
    return offered;
}

Names AsNames(const std::vector<std::string>& words) { return Names(words.begin(), words.end()); }

TEST(Completion, BashOffersEveryCommandAndExactlyItsOptions) {
    const Table parser = ParserTable();
    Table groups;  // "" -> the commands, "device" -> its subcommands
    for (const auto& [command, options] : parser) {
        const std::size_t space = command.find(' ');
        groups[""].insert(command.substr(0, space));
        if (space != std::string::npos) groups[command.substr(0, space)].insert(command.substr(space + 1));
    }
    EXPECT_EQ(AsNames(BashCompletion({"tallymere-cli", ""})), groups[""]);
    EXPECT_EQ(AsNames(BashCompletion({"tallymere-cli", "-"})), (Names{"--device", "--help", "--version"}));
    for (const auto& [group, subs] : groups) {
        if (group.empty()) continue;
        EXPECT_EQ(AsNames(BashCompletion({"tallymere-cli", group, ""})), subs) << group;
    }
    for (const auto& [command, options] : parser) {
        std::vector<std::string> words = {"tallymere-cli"};
        std::istringstream split(command);
        for (std::string w; split >> w;) words.push_back(w);
        words.push_back("-");
        Names expected = options;
        expected.insert("--help");
        EXPECT_EQ(AsNames(BashCompletion(words)), expected) << command;
    }
}

// The zsh completion, read: the commands of its arrays, and the options of each command's arm
// of `case` ("$json", "$wait" and "$help" stand for their options).
Table ZshTable(const std::string& script) {
    Table table;
    std::istringstream lines(script);
    std::string command, sub;
    static const std::regex topArm("^      ([a-z|-]+)\\)(.*)$");
    static const std::regex subArm("^            ([a-z|-]+)\\)(.*)$");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        std::string rest = line;
        if (std::regex_match(line, m, topArm)) {
            command = m[1];
            sub.clear();
            rest = m[2];
        } else if (std::regex_match(line, m, subArm) && (command == "device" || command == "archive")) {
            sub = m[1];
            rest = m[2];
        } else if (line.rfind("    esac", 0) == 0 && line.size() == 8) {
            command.clear();
        }
        if (command.empty() || ((command == "device" || command == "archive") && sub.empty())) continue;
        Names found = LongOptions(rest);
        for (const auto& [macro, option] : std::map<std::string, std::string>{
                 {"\"$json\"", "--json"}, {"\"$wait\"", "--wait"}, {"\"$help\"", "--help"}}) {
            if (rest.find(macro) != std::string::npos) found.insert(option);
        }
        // An arm may name several commands ("delete|mark-read").
        std::istringstream names(command);
        for (std::string name; std::getline(names, name, '|');) {
            std::istringstream subs(sub.empty() ? std::string("|") : sub);
            for (std::string each; std::getline(subs, each, '|');) {
                Names& options = table[each.empty() ? name : name + " " + each];
                options.insert(found.begin(), found.end());
            }
        }
    }
    return table;
}

// The names of a zsh array ('name:description' lines).
Names ZshArray(const std::string& script, const std::string& array) {
    Names names;
    const std::size_t start = script.find("\n" + array + "=(\n");
    const std::size_t end = script.find("\n)", start);
    std::istringstream lines(script.substr(start, end - start));
    static const std::regex entry("^  '([a-z-]+):.*$");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) names.insert(m[1]);
    }
    return names;
}

TEST(Completion, ZshListsEveryCommandAndExactlyItsOptions) {
    const Table parser = ParserTable();
    const std::string script = ReadSource("completions/_tallymere-cli");
    Table groups;
    for (const auto& [command, options] : parser) {
        const std::size_t space = command.find(' ');
        groups[""].insert(command.substr(0, space));
        if (space != std::string::npos) groups[command.substr(0, space)].insert(command.substr(space + 1));
    }
    EXPECT_EQ(ZshArray(script, "commands"), groups[""]);
    EXPECT_EQ(ZshArray(script, "device_commands"), groups["device"]);
    EXPECT_EQ(ZshArray(script, "archive_commands"), groups["archive"]);
    const Table zsh = ZshTable(script);
    for (const auto& [command, options] : parser) {
        Names expected = options;
        expected.insert("--help");
        ASSERT_TRUE(zsh.count(command)) << "no arm for " << command;
        EXPECT_EQ(zsh.at(command), expected) << command;
    }
    for (const auto& [command, options] : zsh) EXPECT_TRUE(parser.count(command)) << "zsh lists " << command;
}

}  // namespace
