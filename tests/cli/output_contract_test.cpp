// What a script reads from tallymere-cli, through the binary: --json objects of the device
// commands and of every other command in one key style, standard output that cannot be
// written, plain words for numbers that are none, and watch -v's lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli_background.h"
#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CliResult;
using Json = nlohmann::json;

class OutputContract : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-output-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    // The one object a command printed, with its "command" and its exit status as "status".
    static Json Object(const CliResult& r, const std::string& command) {
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        const Json j = Json::parse(r.out, nullptr, false);
        EXPECT_TRUE(j.is_object()) << r.out;
        if (!j.is_object()) return Json::object();
        EXPECT_EQ(j.value("command", ""), command) << r.out;
        EXPECT_EQ(j.value("status", -1), r.status) << r.out;
        return j;
    }
    // Runs a bash command line in the test's folder, the program as "$CLI" and the device as
    // "$DEVICE".
    CliResult Shell(const std::string& line) {
        return testing_support::RunProgram("/bin/bash", {"-c", "cd \"$BASE\" && " + line},
                                           {"CLI=" TALLYMERE_CLI, "DEVICE=" + device_, "BASE=" + base_.string()});
    }

    std::filesystem::path base_;
    std::string device_;
};

TEST_F(OutputContract, EveryDeviceCommandPrintsOneObjectWithItsStatusWhateverTheOutcome) {
    Json j = Object(Run({"device", "seed", "--messages", "4", "--json"}), "device seed");
    EXPECT_EQ(j["count"], 4);
    j = Object(Run({"device", "deliver", "--body", "hello", "--json"}), "device deliver");
    const std::string id = j["entryid"];
    EXPECT_EQ(id.size(), 40u);
    j = Object(Run({"device", "new-folder", "SMS/Kept", "--json"}), "device new-folder");
    EXPECT_EQ(j["path"], "SMS/Kept");
    EXPECT_EQ(j["entryid"].get<std::string>().size(), 40u);
    // A trailing "/" in a folder path is ignored.
    j = Object(Run({"device", "move", id, "SMS/Kept/", "--json"}), "device move");
    EXPECT_EQ(j["entryid"], id);
    EXPECT_EQ(j["folder"], "SMS/Kept");
    j = Object(Run({"device", "list", "SMS/Kept/", "--json"}), "device list");
    EXPECT_EQ(j["path"], "SMS/Kept");
    ASSERT_EQ(j["messages"].size(), 1u);
    EXPECT_EQ(j["messages"][0]["entryid"], id);
    EXPECT_EQ(j["messages"][0]["read"], false);
    EXPECT_EQ(Object(Run({"device", "mark-read", id, "--json"}), "device mark-read")["entryid"], id);
    j = Object(Run({"device", "list", "--json"}), "device list");
    EXPECT_EQ(j["stores"][0]["name"], "SMS");
    // The dump's own keys, as they are without --json.
    j = Object(Run({"device", "dump", "--json"}), "device dump");
    const Json plain = Json::parse(Run({"device", "dump"}).out);
    EXPECT_EQ(j["stores"], plain["stores"]);
    EXPECT_EQ(Object(Run({"device", "delete", id, "--json"}), "device delete")["entryid"], id);

    // Usage mistakes: status 2, the object and the words on standard error.
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"device", "delete", id, "--json"},
                                                  {"device", "delete", "1234", "--json"},
                                                  {"device", "list", "SMS/Nope", "--json"},
                                                  {"device", "deliver", "--time", "yesterday", "--json"},
                                                  {"device", "move", id.substr(0, 39) + "x", "SMS/Kept", "--json"}}) {
        const CliResult r = Run(wrong);
        EXPECT_EQ(r.status, 2) << wrong[1] << " " << wrong[2] << r.err;
        EXPECT_FALSE(Object(r, "device " + wrong[1]).value("error", "").empty());
        EXPECT_NE(r.err.find("tallymere-cli: device " + wrong[1] + ": "), std::string::npos) << r.err;
    }
    CliResult r = Run({"device", "--json"});
    EXPECT_EQ(r.status, 2);
    Object(r, "device");

    // An import that fails: status 1, the counts so far and the reason.
    const std::filesystem::path broken = base_ / "broken.xml";
    testing_support::WriteHostFile(broken, "<smses count=\"1\"><sms address=\"1\" body=\"x\" date=\"1\" type=\"1\"/");
    r = Run({"device", "import", broken.string(), "--json"});
    EXPECT_EQ(r.status, 1) << r.err;
    j = Object(r, "device import");
    EXPECT_FALSE(j.value("error", "").empty()) << r.out;
    EXPECT_TRUE(j.contains("sms") && j.contains("summary")) << r.out;
    r = Run({"device", "import", (base_ / "missing.xml").string(), "--json"});
    EXPECT_EQ(r.status, 1);
    Object(r, "device import");

    // Without --json the text stays: the identifier alone, the count line.
    EXPECT_EQ(Run({"device", "deliver", "--body", "again"}).out.size(), 41u);
    EXPECT_EQ(Run({"device", "seed", "--messages", "1"}).out, "1 messages delivered\n");
}

// Every key of every object: snake_case (the dump's "entryid" among them).
void ExpectSnakeCase(const Json& j, const std::string& where) {
    static const std::regex snake("[a-z][a-z0-9_]*");
    if (j.is_object()) {
        for (const auto& [key, value] : j.items()) {
            EXPECT_TRUE(std::regex_match(key, snake)) << where << ": " << key;
            ExpectSnakeCase(value, where);
        }
    } else if (j.is_array()) {
        for (const Json& item : j) ExpectSnakeCase(item, where);
    }
}

TEST_F(OutputContract, EveryCommandsObjectHasCommandStatusAndSnakeCaseKeys) {
    // A device never started: check reads it as it is, with the same keys as later.
    ASSERT_EQ(Run({"device", "seed", "--messages", "6"}).status, 0);
    Json j = Object(Run({"check", "--json"}), "check");
    EXPECT_EQ(j["started"], false);
    ExpectSnakeCase(j, "check");
    EXPECT_TRUE(j.contains("host_path") && j.contains("export_list")) << j.dump();

    ASSERT_EQ(Run({"backup-all"}).status, 0);
    std::filesystem::resize_file(base_ / "device/Program Files/Tallymere/Tallymere/Messages.ndx", 28 + 3);
    j = Object(Run({"check", "--repair", "--json"}), "check");
    EXPECT_EQ(j["repair"]["index_rewritten"], true) << j.dump();
    EXPECT_EQ(j["export_list"]["damaged_bytes"], 0) << j.dump();
    EXPECT_TRUE(j.contains("unindexed_bytes") && j.contains("folders_damaged")) << j.dump();

    const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
        {{"check", "--repair", "--json"}, "check"},
        {{"settings", "--json"}, "settings"},
        {{"start", "--json"}, "start"},
        {{"backup", "--list", "--json"}, "backup"},
        {{"export-all", "--json"}, "export-all"},
        {{"compact", "--json"}, "compact"},
        {{"restore", "extra", "--dry-run", "--json"}, "restore extra"},
        {{"archive", "list", "--json"}, "archive list"},
        {{"archive", "export-xml", "out.xml", "--json"}, "archive export-xml"},
        {{"device", "dump", "--json"}, "device dump"},
        {{"device", "list", "SMS/Sent Items", "--json"}, "device list"},
        {{"backup", "--select", "SMS/Inbx", "--json"}, "backup"},
    };
    for (const auto& [args, command] : commands) {
        const CliResult r = Run(args);
        ExpectSnakeCase(Object(r, command), command);
    }
}

TEST_F(OutputContract, OutputThatCannotBeWrittenFailsUnlessItsReaderWentAway) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "300"}).status, 0);
    for (const std::string command : {"settings", "backup-all --json", "device dump", "device list", "check"}) {
        const CliResult r = Shell("\"$CLI\" --device \"$DEVICE\" " + command + " >/dev/full");
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE(r.err.find("tallymere-cli: cannot write to standard output: No space left on device"),
                  std::string::npos)
            << command << ": " << r.err;
    }
    // A reader that stops early: the program ends quietly, whether the closed pipe's signal
    // ends it (as it does any program) or is ignored and the write fails.
    CliResult r = Shell(
        "\"$CLI\" --device \"$DEVICE\" device dump 2>err.txt | head -c1 >/dev/null;"
        " echo \"${PIPESTATUS[0]}\"; cat err.txt >&2");
    EXPECT_EQ(r.out, "141\n");
    EXPECT_EQ(r.err, "");
    r = Shell(
        "trap '' PIPE; \"$CLI\" --device \"$DEVICE\" device dump 2>err.txt | head -c1 >/dev/null;"
        " echo \"${PIPESTATUS[0]}\"; cat err.txt >&2");
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.err, "");
    r = Shell(
        "trap '' PIPE; \"$CLI\" --device \"$DEVICE\" backup --list 2>err.txt | head -c1 >/dev/null;"
        " echo \"${PIPESTATUS[0]}\"; cat err.txt >&2");
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(OutputContract, ANumberThatIsNoneIsSaidPlainly) {
    for (const std::string text : {"abc", "-5", "99999999999", "12x"}) {
        const CliResult r = Run({"device", "seed", "--messages", text, "--json"});
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find("--messages: takes a whole number from 0 to 4294967295, such as --messages 200, not \"" +
                             text + "\""),
                  std::string::npos)
            << r.err;
        Object(r, "device seed");
    }
    EXPECT_FALSE(std::filesystem::exists(device_)) << "nothing made for a command line that is wrong";
    EXPECT_EQ(Run({"device", "seed", "--messages", "2", "--seed", "18446744073709551615"}).status, 0);
}

TEST_F(OutputContract, WatchVerboseSaysWhatItDoesWithEveryArrival) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "1"}).status, 0);
    testing_support::BackgroundCli watch;
    const std::string errors = (base_ / "watch-errors.txt").string();
    ASSERT_TRUE(watch.Start({"--device", device_, "watch", "-v", "--backup"}, errors));
    ASSERT_NE(watch.ReadLine(30s).find("Watching device folder"), std::string::npos);
    watch.ReadLine(5s);  // Exporting to ...
    watch.ReadLine(5s);  // Archiving in ...
    const std::string id = Run({"device", "deliver", "--folder", "SMS/Sent Items", "--body", "seen"}).out.substr(0, 40);
    EXPECT_EQ(watch.ReadLine(30s), "Exported and archived " + id + " (SMS/Sent Items)");
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0);

    // Without --backup the export only; with --json the lines go to standard error and the
    // object, once stopped, counts them.
    testing_support::BackgroundCli quiet;
    ASSERT_TRUE(quiet.Start({"--device", device_, "watch", "--verbose", "--json"}, errors));
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (testing_support::ReadHostFile(errors).find("Exporting to") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    const std::string second = Run({"device", "deliver", "--body", "also seen"}).out.substr(0, 40);
    while (testing_support::ReadHostFile(errors).find(second) == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(testing_support::ReadHostFile(errors).find("Exported " + second + " (SMS/Inbox)\n"), std::string::npos)
        << testing_support::ReadHostFile(errors);
    ASSERT_EQ(quiet.Stop(SIGINT, 20s), 0);
    const Json j = Json::parse(quiet.ReadLine(5s), nullptr, false);
    EXPECT_EQ(j.value("command", ""), "watch") << j.dump();
    EXPECT_EQ(j.value("exported", -1), 1) << j.dump();
    EXPECT_EQ(j.value("archived", -1), 0) << j.dump();
    EXPECT_EQ(j.value("status", -1), 0) << j.dump();
}

}  // namespace
