// What scripts and users rely on, through the tallymere-cli binary: the exit statuses, the
// --json objects, --wait, the refusal of a folder that is no device folder, the suggestions
// for a mistyped command, --version, and what a terminal shows.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_ui.h"
#include "cli_runner.h"
#include "device_fixture.h"
#include "remote/interrupt.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CliResult;
using Json = nlohmann::json;

class ScriptContract : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-contract-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override {
        if (lock_ >= 0) ::close(lock_);
        std::filesystem::remove_all(base_);
    }

    CliResult Run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args, env);
    }
    CliResult OnTerminal(std::vector<std::string> args, const std::string& typed = "") {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunOnTerminal(TALLYMERE_CLI, args, {}, typed);
    }
    // The single JSON object a command printed.
    static Json Object(const CliResult& r) {
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        Json j = Json::parse(r.out, nullptr, false);
        EXPECT_TRUE(j.is_object()) << r.out;
        return j;
    }
    std::vector<std::string> InboxIds() {
        const Json listed = Object(Run({"device", "list", "SMS/Inbox", "--json"}));
        std::vector<std::string> ids;
        for (const Json& m : listed["messages"]) ids.push_back(m["entryid"].get<std::string>());
        return ids;
    }
    // Holds the device's program lock as another program command would (process 4242).
    void HoldDevice() {
        testing_support::ProvisionDevice(device_);
        lock_ = ::open((base_ / "device/.platform/program.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(lock_, 0);
        ASSERT_EQ(::flock(lock_, LOCK_EX), 0);
        ASSERT_EQ(::ftruncate(lock_, 0), 0);
        ASSERT_EQ(::pwrite(lock_, "4242\n", 5, 0), 5);
    }
    void LetGo() {
        ::close(lock_);
        lock_ = -1;
    }

    std::filesystem::path base_;
    std::string device_;
    int lock_ = -1;
};

TEST_F(ScriptContract, EachOutcomeHasItsOwnExitStatusAndJsonObject) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "12", "--seed", "4"}).status, 0);

    // 0: done, with the result line kept as it is, or the object with its count.
    CliResult r = Run({"backup-all", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "{\"command\":\"backup-all\",\"count\":12,\"result\":\"Message backup was successfull. (12 messages)\",\"status\":0}\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Run({"export-all"}).out, "12 messages exported successfully.\n");
    EXPECT_EQ(
        Object(Run({"export-all", "--json"})),
        Json::parse(R"j({"command":"export-all","count":0,"result":"0 messages exported successfully.","status":0})j"));

    // 1: a failure, its caption and words on standard error and in the object.
    r = Run({"backup-all", "--json"}, {"TALLYMERE_FAULTS=GetHierarchyTable:1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "MakeRulesRec: GetHierarchyTable failed.\n");
    EXPECT_EQ(Object(r), Json::parse(R"j({"command":"backup-all","error":"GetHierarchyTable failed.",
                                          "caption":"MakeRulesRec","status":1})j"));

    // 4: a restore not confirmed.
    const std::vector<std::string> ids = InboxIds();
    ASSERT_GE(ids.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) ASSERT_EQ(Run({"device", "delete", ids[i]}).status, 0);
    r = Run({"restore", "extra", "--json"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("Restore cancelled.\n"), std::string::npos) << r.err;
    EXPECT_EQ(Object(r), Json::parse(R"j({"command":"restore extra","error":"Restore cancelled.","status":4})j"));
    r = Run({"restore", "extra", "--yes", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Object(r), Json::parse(R"j({"command":"restore extra","count":2,
                                          "result":"Message restore was successfull. (2 messages)","unreadable":0,"status":0})j"));

    // 3: another program command holds the device.
    HoldDevice();
    for (const char* command : {"backup-all", "check", "settings", "start", "watch"}) {
        r = Run({command});
        EXPECT_EQ(r.status, 3) << command;
        EXPECT_EQ(r.err, "Tallymere is already running on this device (process 4242). Use --wait to wait for it.\n")
            << command;
    }
    r = Run({"backup", "--select", "SMS", "--json"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(Object(r), Json::parse(R"j({"command":"backup",
                                          "error":"Tallymere is already running on this device (process 4242). Use --wait to wait for it.",
                                          "status":3})j"));
    EXPECT_EQ(Run({"device", "list"}).status, 0) << "the phone's side takes no lock";
    LetGo();

    // 2: usage; --help lists the statuses.
    EXPECT_EQ(Run({"backup-all", "--bogus"}).status, 2);
    r = testing_support::RunCli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* line :
         {"  3    another program command holds the device", "  4    cancelled: a restore was not confirmed",
          "  130  interrupted by Ctrl-C or SIGTERM"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
}

TEST_F(ScriptContract, JsonReportsOfSettingsCheckSelectionAndTheDevice) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "20", "--seed", "8"}).status, 0);
    const std::vector<std::string> inbox = InboxIds();
    CliResult r = Run({"backup", "--select", "SMS/Inbox", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    Json j = Object(r);
    const Json archived = j["count"];
    EXPECT_EQ(j["command"], "backup");
    EXPECT_GE(j["count"].get<std::size_t>(), inbox.size()) << "the folders below SMS/Inbox too";
    EXPECT_EQ(j["result"], "Message backup was successfull. (" + std::to_string(j["count"].get<int>()) + " messages)");
    j = Object(Run({"backup", "--list", "--json"}));
    EXPECT_EQ(j["command"], "backup");
    EXPECT_EQ(j["status"], 0);
    ASSERT_TRUE(j["tree"].is_array());
    EXPECT_EQ(j["tree"][0]["label"].get<std::string>().rfind("SMS (", 0), 0u) << j.dump();
    const Json inboxItem = j["tree"][0]["children"][2];
    EXPECT_EQ(inboxItem["label"].get<std::string>().rfind("Inbox (", 0), 0u) << j.dump();
    ASSERT_FALSE(inboxItem["children"].empty());
    EXPECT_TRUE(inboxItem["children"].back().contains("entryid")) << inboxItem.dump();

    j = Object(Run({"settings", "--json"}));
    const std::string autostartFile = std::string(std::getenv("XDG_CONFIG_HOME")) + "/autostart/tallymere.desktop";
    EXPECT_EQ(j, (Json{{"command", "settings"},
                       {"output_dir", "\\Program Files\\Tallymere"},
                       {"host_path", device_ + "/Program Files/Tallymere"},
                       {"autostart", {{"on", false}, {"file", autostartFile}}},
                       {"status", 0}}));

    r = Run({"check", "--json"});
    EXPECT_EQ(r.status, 0);
    j = Object(r);
    EXPECT_EQ(j["archive"], "\\Program Files\\Tallymere\\Tallymere");
    EXPECT_EQ(j["host_path"], device_ + "/Program Files/Tallymere/Tallymere");
    EXPECT_EQ(j["sound"], true);
    EXPECT_EQ(j["entries"], archived);
    EXPECT_EQ(j["present"], archived);
    EXPECT_EQ(j["problems"], Json::array());
    // An output directory that cannot be used: the error object, status 1.
    r = Run({"settings", "--output-dir", "\\No\\Such", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Object(r), Json::parse(R"j({"command":"settings","caption":"Tallymere Settings","status":1,
        "error":"Cannot use \\No\\Such as output directory: \\No does not exist."})j"));

    // A cut index: check --repair --json reports the repair and the sound archive after it.
    std::filesystem::resize_file(base_ / "device/Program Files/Tallymere/Tallymere/Messages.ndx", 28 + 3);
    r = Run({"check", "--repair", "--json"});
    EXPECT_EQ(r.status, 0) << r.out;
    j = Object(r);
    EXPECT_EQ(j["sound"], true);
    EXPECT_EQ(j["repair"]["index_rewritten"], true);
    EXPECT_EQ(j["repair"]["kept"], 1);
    EXPECT_EQ(j["entries"], archived);

    // A damaged archive: status 1, its problems listed.
    std::filesystem::resize_file(base_ / "device/Program Files/Tallymere/Tallymere/Messages.dat", 10);
    r = Run({"check", "--json"});
    EXPECT_EQ(r.status, 1);
    j = Object(r);
    EXPECT_EQ(j["sound"], false);
    EXPECT_FALSE(j["problems"].empty());

    j = Object(Run({"device", "list", "--json"}));
    ASSERT_TRUE(j["stores"].is_array());
    EXPECT_EQ(j["stores"][0]["name"], "SMS");
    std::size_t total = 0;
    for (const Json& folder : j["stores"][0]["folders"]) total += folder["messages"].get<std::size_t>();
    EXPECT_EQ(total, 20u);
    j = Object(Run({"device", "list", "SMS/Inbox", "--json"}));
    EXPECT_EQ(j["path"], "SMS/Inbox");
    EXPECT_EQ(j["messages"].size(), inbox.size());
    EXPECT_EQ(j["messages"][0]["entryid"].get<std::string>().size(), 40u);
    r = Run({"device", "list", "SMS/Nowhere", "--json"});
    EXPECT_EQ(r.status, 2) << "a folder the command line names that is not there";
    EXPECT_EQ(Object(r)["command"], "device list");
}

TEST_F(ScriptContract, WaitWaitsForTheDeviceAsLongAsItIsToldInsteadOfBeingRefused) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3"}).status, 0);
    HoldDevice();
    auto start = std::chrono::steady_clock::now();
    CliResult r = Run({"export-all", "--wait=1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(r.err, "Tallymere is already running on this device (process 4242). Use --wait to wait for it.\n");

    // Without a limit it waits until the holder lets go, then runs.
    start = std::chrono::steady_clock::now();
    std::thread holder([this] {
        std::this_thread::sleep_for(700ms);
        LetGo();
    });
    r = Run({"export-all", "--wait"});
    holder.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3 messages exported successfully.\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
    EXPECT_EQ(Run({"start", "--wait", "5"}).status, 0) << "a free device is taken at once";
    EXPECT_EQ(Run({"backup-all", "--wait=soon"}).status, 2);
}

TEST_F(ScriptContract, AFolderThatIsNoDeviceFolderIsRefusedAndLeftUntouched) {
    const std::filesystem::path mine = base_ / "my documents";
    testing_support::WriteHostFile(mine / "notes.txt", "keep me");
    testing_support::WriteHostFile(mine / "photos/a.jpg", "jpeg");
    auto listing = [&] {
        std::vector<std::string> entries;
        for (const auto& e : std::filesystem::recursive_directory_iterator(mine)) {
            entries.push_back(e.path().string() +
                              (e.is_regular_file() ? ":" + testing_support::ReadHostFile(e.path()) : ""));
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    const auto before = listing();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--device", mine.string(), "backup-all"},
                                                 {"--device", mine.string(), "device", "seed", "--messages", "1"},
                                                 {"--device", mine.string(), "watch"}}) {
        const CliResult r = testing_support::RunCli(args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.err, "tallymere-cli: " + mine.string() +
                             " is not a device folder: it holds other files and no .platform folder. Nothing was "
                             "written into it; name a new or empty folder for a new phone.\n");
    }
    EXPECT_EQ(testing_support::RunCli({"settings"}, {"TALLYMERE_DEVICE=" + mine.string()}).status, 1);
    EXPECT_EQ(listing(), before);

    // An empty folder, or one that is not there yet in a folder that is, becomes a new phone when
    // a command writes, and that is said.
    const std::filesystem::path empty = base_ / "empty";
    std::filesystem::create_directories(empty);
    std::filesystem::create_directories(base_ / "new");
    for (const std::filesystem::path& folder : {empty, base_ / "new/phone"}) {
        const CliResult r = testing_support::RunCli({"--device", folder.string(), "start"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "tallymere-cli: made a new, empty phone in " + folder.string() + "\n");
        EXPECT_TRUE(std::filesystem::is_directory(folder / ".platform"));
    }

    // A command taken for the folder is a usage error, and no folder is made.
    const CliResult r = testing_support::RunCli({"--device", "backup-all"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--device needs a folder, not \"backup-all\""), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists("backup-all"));
}

TEST_F(ScriptContract, AUsageErrorSuggestsTheNearestName) {
    struct Case {
        std::vector<std::string> args;
        std::string suggestion;  // empty: none
    };
    const Case cases[] = {
        {{"backup-al"}, "backup-all"},
        {{"exprot-all"}, "export-all"},
        {{"backupall"}, "backup-all"},
        {{"restore", "nromal"}, "normal"},
        {{"restore", "extra", "--yse"}, "--yes"},
        {{"check", "--jsno"}, "--json"},
        {{"device", "lst"}, "list"},
        {{"settings", "--output-dri=x"}, "--output-dir"},
        {{"frobnicate"}, ""},
    };
    for (const Case& c : cases) {
        const CliResult r = testing_support::RunCli(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        const std::string line = "did you mean " + c.suggestion + "?";
        if (c.suggestion.empty()) {
            EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        }
        EXPECT_NE(r.err.find("Usage: tallymere-cli"), std::string::npos);
    }
}

TEST_F(ScriptContract, VersionNamesTheReleaseAndTheCommit) {
    const CliResult r = testing_support::RunCli({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Tallymere 2\\.2 \\(commit ([0-9a-f]{7,40}|unknown)\\)\n")))
        << r.out;
}

TEST_F(ScriptContract, OnATerminalProgressShowsAndARestoreSaysWhatItWouldBringBack) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "40", "--seed", "6"}).status, 0);
    CliResult r = OnTerminal({"backup-all"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("backup-all: 40/40 messages, 0:0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\033[KMessage backup was successfull. (40 messages)"), std::string::npos)
        << "the progress line is put away first: " << r.out;

    const std::vector<std::string> ids = InboxIds();
    ASSERT_GE(ids.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) ASSERT_EQ(Run({"device", "delete", ids[i]}).status, 0);
    const std::string preview =
        "The archive holds 40 messages; 3 of them are missing from the store. Restore Normal would bring back 3 of "
        "them, Restore Extra 3.";
    r = OnTerminal({"restore", "normal"}, "n\n");
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find(preview), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[y/N] "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Restore cancelled."), std::string::npos) << r.out;
    EXPECT_EQ(InboxIds().size(), ids.size() - 3);
    r = OnTerminal({"restore", "normal"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Message restore was successfull. (3 messages)"), std::string::npos) << r.out;
}

}  // namespace

// The restore question takes "y" or "yes" in any case, blanks around it ignored; anything else
// is no.
TEST(ConsoleAnswer, YesIsYOrYesInAnyCase) {
    for (const char* yes : {"y", "Y", "yes", "YES", "Yes", " y ", "yes\r"}) EXPECT_TRUE(cli::IsYes(yes)) << yes;
    for (const char* no : {"", "n", "no", "ye", "yess", "y y", "ok"}) EXPECT_FALSE(cli::IsYes(no)) << no;
}

// The progress line's rate and time left appear once a second has passed.
TEST(ProgressLine, ShowsTheRateAndTimeLeftAfterASecond) {
    using std::chrono::milliseconds;
    EXPECT_EQ(remote::ProgressText("backup-all", 10, 100, milliseconds(500)), "backup-all: 10/100 messages, 0:00");
    EXPECT_EQ(remote::ProgressText("backup-all", 300, 3000, milliseconds(4000)),
              "backup-all: 300/3000 messages, 0:04, 75/s, 0:36 left");
    EXPECT_EQ(remote::ProgressText("export-all", 300, 0, milliseconds(2000)), "export-all: 300 messages, 0:02, 150/s");
}
