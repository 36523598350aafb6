// A program command carried out by the program holding the device, seen from the command line
// that started it: what it ends with when nothing ran, what becomes of the pass when it goes
// away, and the progress it shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "cli_background.h"
#include "cli_runner.h"
#include "device_fixture.h"
#include "platform/channel.h"
#include "platform/device.h"
#include "platform/instance.h"

namespace {

using namespace std::chrono_literals;
using testing_support::BackgroundCli;
using testing_support::CliResult;

class ForwardedPass : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-fwd-pass-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    // Starts watch with the fault plan `faults` (which paces it) and waits for its first line.
    bool StartWatch(BackgroundCli& watch, const std::string& faults) {
        if (!watch.Start({"--device", device_, "watch"}, (base_ / "watch-errors.txt").string(), "",
                         {"TALLYMERE_FAULTS=" + faults})) {
            return false;
        }
        return watch.ReadLine(30s).find("Watching") != std::string::npos;
    }
    std::string WatchErrors() const { return testing_support::ReadHostFile(base_ / "watch-errors.txt"); }

    std::filesystem::path base_;
    std::string device_;
};

// The holder answers that it did not carry the request out (it is ending, or has no window to
// run it on): the command must not end as if it had been done.
TEST_F(ForwardedPass, ARequestNotCarriedOutNeverEndsTheCommandWithSuccess) {
    std::string error;
    ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
    long holder = 0;
    ASSERT_TRUE(platform::device::LockProgram(&holder));
    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel([](const std::string& request, platform::device::ChannelReply& reply) {
        if (request.empty()) return;  // a client looking whether anyone serves
        reply.Send(R"({"carriedOut":false,"status":0,"output":"","errors":"","failureCaption":"",)"
                   R"("failureWords":"","windowShown":false})");
    });
    const CliResult r = Run({"backup-all", "--wait=1"});
    platform::device::CloseChannel();
    platform::device::Unmount();
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string refused = "Tallymere is already running on this device (process " + std::to_string(::getpid());
    EXPECT_EQ(r.err.substr(0, refused.size()), refused) << r.err;
    EXPECT_NE(r.err.find("Use --wait to wait for it.\n"), std::string::npos) << r.err;
}

// A command line killed (or its terminal closed) says nothing more: its pass there stops at the
// next message all the same, and the program goes on.
TEST_F(ForwardedPass, AClientThatGoesAwayStopsItsPassAtTheNextMessage) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "400", "--seed", "5"}).status, 0);
    BackgroundCli watch;
    ASSERT_TRUE(StartWatch(watch, "OpenEntry~10")) << WatchErrors();
    testing_support::TerminalCli client;
    ASSERT_TRUE(client.Start({"--device", device_, "backup-all"}));
    ASSERT_TRUE(client.WaitFor(std::regex("backup-all: [1-9][0-9]*/400 messages"), 60s)) << client.output;
    ::kill(client.pid, SIGKILL);
    ::waitpid(client.pid, nullptr, 0);
    client.pid = -1;
    // Carried out after the stopped pass: it finds the messages that pass did not reach.
    const CliResult r = Run({"backup-all", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    const nlohmann::json result = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << r.out;
    EXPECT_GT(result["count"].get<int>(), 0) << "the pass of the killed command ran to its end";
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << WatchErrors();
}

// The first count a pass shows is its own, never the count the previous pass ended with (each
// logon is slowed, so that the next pass takes a while to begin).
TEST_F(ForwardedPass, ANewPassShowsItsOwnCountFromTheStart) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "100", "--seed", "6"}).status, 0);
    BackgroundCli watch;
    ASSERT_TRUE(StartWatch(watch, "MAPILogonEx~400,OpenEntry~5")) << WatchErrors();
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    const CliResult r = testing_support::RunOnTerminal(TALLYMERE_CLI, {"--device", device_, "export-all"});
    EXPECT_EQ(r.status, 0) << r.out;
    std::smatch first;
    ASSERT_TRUE(std::regex_search(r.out, first, std::regex("export-all: ([0-9]+)/([0-9]+) messages"))) << r.out;
    EXPECT_EQ(first[2], "100");
    EXPECT_LT(std::stoi(first[1]), 100) << r.out;
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << WatchErrors();
}

}  // namespace
