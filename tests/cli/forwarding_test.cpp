// Program commands started while `watch` holds the device: carried out by watch, printed by
// tallymere-cli as its own; and watch's automatic switches.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include <chrono>
#include <cstdlib>
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
using testing_support::BackgroundCli;
using testing_support::CliResult;

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-fwd-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    std::string StartWatch(BackgroundCli& watch, std::vector<std::string> options = {},
                           const std::vector<std::string>& env = {}) {
        std::vector<std::string> args = {"--device", device_, "watch"};
        args.insert(args.end(), options.begin(), options.end());
        if (!watch.Start(args, (base_ / "watch-errors.txt").string(), "", env)) return {};
        return watch.ReadLine(30s);
    }
    std::string WatchErrors() const { return testing_support::ReadHostFile(base_ / "watch-errors.txt"); }
    std::filesystem::path Output() const { return base_ / "device/Program Files/Tallymere"; }
    std::size_t TextFiles() const {
        std::size_t n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(Output() / "Tallyport", ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            n += it->path().extension() == ".txt" ? 1 : 0;
        }
        return n;
    }
    std::uintmax_t Size(const std::filesystem::path& file) const {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        return ec ? 0 : size;
    }
    template <class Condition>
    static bool WaitFor(Condition condition, std::chrono::milliseconds limit = 30s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    std::filesystem::path base_;
    std::string device_;
};

TEST_F(Forwarding, CommandsPrintWhatTheyPrintWhenRunHereAndAFailureEndsWatch) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "30", "--seed", "11"}).status, 0);
    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << WatchErrors();

    CliResult r = Run({"backup-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message backup was successfull. (30 messages)\n");
    EXPECT_EQ(r.err, "");
    r = Run({"export-all"});
    EXPECT_EQ(r.out, "30 messages exported successfully.\n");
    const CliResult checkThere = Run({"check"});
    EXPECT_EQ(checkThere.status, 0) << checkThere.err;
    EXPECT_NE(checkThere.out.find("The archive is sound."), std::string::npos) << checkThere.out;
    const CliResult repairThere = Run({"check", "--repair"});
    EXPECT_EQ(repairThere.status, 0) << repairThere.err;
    EXPECT_NE(repairThere.out.find("Messages.ndx needs no repair (30 intact records)."), std::string::npos)
        << repairThere.out;
    // The same check run here, once the device is free, says the same.
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << WatchErrors();
    const CliResult checkHere = Run({"check"});
    EXPECT_EQ(checkHere.out, checkThere.out);
    EXPECT_EQ(checkHere.status, checkThere.status);

    BackgroundCli again;
    ASSERT_NE(StartWatch(again).find("Watching"), std::string::npos) << WatchErrors();
    std::filesystem::create_directories(base_ / "device/Storage Card");
    r = Run({"settings", "--output-dir", "\\Storage Card"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string shown =
        "Output directory: \"\\Storage Card\" (" + device_ + "/Storage Card)\nStart at login: off\n";
    EXPECT_EQ(r.out,
              "Moved the archive to \"\\Storage Card\\Tallymere\" (" + device_ + "/Storage Card/Tallymere).\n" + shown);
    EXPECT_EQ(Size(base_ / "device/Storage Card/Tallymere/Messages.ndx"), 30u * 28u) << "the archive moved along";
    EXPECT_EQ(Run({"settings"}).out, shown);

    // An output directory that cannot be used is refused there as here, and watch goes on.
    r = Run({"settings", "--output-dir", "\\No\\Such"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Tallymere Settings: Cannot use \\No\\Such as output directory: \\No does not exist.\n");
    EXPECT_EQ(Run({"settings"}).out, shown);

    // Start at login is switched there too, for the device watch holds.
    r = Run({"settings", "--autostart", "on"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Start at login: on, device folder " + device_ + " ("), std::string::npos) << r.out;
    const std::filesystem::path entry =
        std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "autostart/tallymere.desktop";
    EXPECT_NE(testing_support::ReadHostFile(entry).find("--device \"" + device_ + "\""), std::string::npos);
    EXPECT_EQ(Run({"settings", "--autostart", "off"}).out, shown);
    EXPECT_FALSE(std::filesystem::exists(entry));

    // A fatal failure in watch: reported here with its caption and words, and watch ends.
    std::filesystem::remove(base_ / "device/Storage Card/Tallymere/Messages.ndx");
    std::filesystem::create_directory(base_ / "device/Storage Card/Tallymere/Messages.ndx");
    r = Run({"backup-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // The cause (a second line) travels with it.
    EXPECT_EQ(r.err, "xEntryID::Load: _wfopen failed.\n" +
                         (base_ / "device/Storage Card/Tallymere/Messages.ndx").string() + ": Is a directory\n");
    EXPECT_EQ(again.Stop(SIGTERM, 20s), 1);
    EXPECT_NE(WatchErrors().find("xEntryID::Load: _wfopen failed."), std::string::npos);
}

TEST_F(Forwarding, ARestoreIsConfirmedHereAndItsMessagesAreNotTakenForArrivals) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "8", "--seed", "2"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    // Two messages go from the phone.
    const std::string listing = Run({"device", "list", "SMS/Inbox"}).out;
    std::vector<std::string> ids;
    for (std::size_t at = 0; ids.size() < 2 && at < listing.size(); at = listing.find('\n', at) + 1) {
        ids.push_back(listing.substr(at, 40));  // each line starts with the message's identifier
        if (listing.find('\n', at) == std::string::npos) break;
    }
    ASSERT_EQ(ids.size(), 2u) << listing;
    for (const std::string& id : ids) ASSERT_EQ(Run({"device", "delete", id}).status, 0);

    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << WatchErrors();
    // Without a terminal and without --yes the answer is Cancel, given here: nothing is sent.
    CliResult r = Run({"restore", "extra"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Not confirmed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nRestore cancelled.\n"), std::string::npos) << r.err;
    r = Run({"restore", "extra", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message restore was successfull. (2 messages)\n");
    // The restored messages were not taken for new arrivals; a real arrival is exported.
    ASSERT_EQ(Run({"device", "deliver", "--body", "after the restore"}).status, 0);
    EXPECT_TRUE(WaitFor([&] { return TextFiles() == 1; })) << TextFiles();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(TextFiles(), 1u);
    EXPECT_EQ(watch.Stop(SIGINT, 20s), 0) << WatchErrors();
}

TEST_F(Forwarding, WatchsSwitchesDecideWhatAnArrivalGets) {
    BackgroundCli archiving;
    EXPECT_NE(StartWatch(archiving, {"--no-export", "--backup"}).find("Watching"), std::string::npos) << WatchErrors();
    const std::string line = archiving.ReadLine(10s);
    EXPECT_EQ(line, "Archiving in \"\\Program Files\\Tallymere\\Tallymere\" (" + device_ +
                        "/Program Files/Tallymere/Tallymere)");
    ASSERT_EQ(Run({"device", "deliver", "--body", "kept in the archive"}).status, 0);
    EXPECT_TRUE(WaitFor([&] { return Size(Output() / "Tallymere/Messages.ndx") == 28; }));
    EXPECT_EQ(TextFiles(), 0u);
    EXPECT_EQ(archiving.Stop(SIGTERM, 20s), 0) << WatchErrors();

    BackgroundCli idle;
    EXPECT_NE(StartWatch(idle, {"--no-export"}).find("Watching"), std::string::npos);
    EXPECT_NE(idle.ReadLine(10s).find("left as they are"), std::string::npos);
    ASSERT_EQ(Run({"device", "deliver", "--body", "left alone"}).status, 0);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(TextFiles(), 0u);
    EXPECT_EQ(Size(Output() / "Tallymere/Messages.ndx"), 28u);
    EXPECT_EQ(Run({"export-all"}).out, "2 messages exported successfully.\n");
    EXPECT_EQ(idle.Stop(SIGTERM, 20s), 0) << WatchErrors();
}

// While watch holds the device: selection and --json are carried out there as here; the
// progress of a pass there shows on this terminal, and Ctrl-C here stops the pass there at a
// message boundary while watch goes on; --wait waits for a command watch does not carry out.
TEST_F(Forwarding, SelectionJsonProgressAndCtrlCReachTheRunningProgram) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3000", "--seed", "12"}).status, 0);
    BackgroundCli watch;
    // watch opens each message a millisecond slower, so that Ctrl-C lands in the pass's middle.
    ASSERT_NE(StartWatch(watch, {}, {"TALLYMERE_FAULTS=OpenEntry~1"}).find("Watching"), std::string::npos)
        << WatchErrors();

    CliResult r = Run({"backup", "--select", "SMS/Drafts", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    const nlohmann::json selected = nlohmann::json::parse(r.out);
    EXPECT_EQ(selected["command"], "backup");
    const int drafts = selected["count"].get<int>();
    EXPECT_EQ(selected["result"], "Message backup was successfull. (" + std::to_string(drafts) + " messages)");
    r = Run({"export", "--select", "SMS/Nowhere"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tallymere-cli: --select SMS/Nowhere: no such store, folder or message\n");

    testing_support::TerminalCli terminal;
    ASSERT_TRUE(terminal.Start({"--device", device_, "backup-all"}));
    ASSERT_TRUE(terminal.WaitFor(std::regex("backup-all: [1-9][0-9]*/3000 messages"), 60s)) << terminal.output;
    terminal.Type("\x03");
    EXPECT_EQ(terminal.Finish(60s), 130) << terminal.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(terminal.output, m, std::regex("Interrupted after ([0-9]+) messages\\.")))
        << terminal.output;
    const int done = std::stoi(m[1]);
    EXPECT_GT(done, 0);
    EXPECT_LT(done, 3000) << "the pass ended before Ctrl-C";

    // watch goes on: it carries out the rerun, which finishes the archive.
    r = Run({"backup-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run({"check", "--json"});
    EXPECT_EQ(r.status, 0);
    const nlohmann::json report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["entries"], 3000);
    EXPECT_EQ(report["present"], 3000);

    const auto start = std::chrono::steady_clock::now();
    r = Run({"start", "--wait=1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << WatchErrors();
}

// Mended: the running program served one connection after the other and gave each five seconds
// per read, so a client trickling its request, or fifty idle ones, held a forwarded command for
// tens of seconds.
TEST_F(Forwarding, ATricklingClientAndFiftyIdleConnectionsDoNotDelayAForwardedCommand) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "10", "--seed", "3"}).status, 0);
    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << WatchErrors();
    const std::filesystem::path socketFile = base_ / "device/.platform/channel";
    ASSERT_TRUE(std::filesystem::is_socket(socketFile));
    auto connect = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketFile.string();
        std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) idle.push_back(connect());
    const int trickler = connect();
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        const char header[4] = {100, 0, 0, 0};
        for (char c : header) ::send(trickler, &c, 1, MSG_NOSIGNAL);
        while (trickling && ::send(trickler, "x", 1, MSG_NOSIGNAL) == 1) std::this_thread::sleep_for(300ms);
    });
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = Run({"backup-all"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message backup was successfull. (10 messages)\n");
    EXPECT_LT(took, 2s) << "the command waited for the other clients";
    trickling = false;
    trickle.join();
    for (int fd : idle) ::close(fd);
    ::close(trickler);
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << WatchErrors();
    EXPECT_FALSE(std::filesystem::exists(socketFile)) << "the socket file goes with the program";
}

}  // namespace
