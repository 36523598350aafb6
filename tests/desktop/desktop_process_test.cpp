// The desktop program `tallymere` as a process (offscreen): a second program on the same device,
// tallymere-cli's commands carried out by it (a fatal failure included), and the signals that
// end it in order.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

class DesktopProcess : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-gui-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    // Starts tallymere and waits until it works on the device (it answers the command line).
    bool StartDesktop(BackgroundCli& desktop, const std::vector<std::string>& env = {}) {
        if (!desktop.Start({"--device", device_}, Errors(), TALLYMERE_GUI, env)) return false;
        const auto lock = base_ / "device/.platform/program.lock";
        const std::string pid = std::to_string(desktop.pid) + "\n";
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (testing_support::ReadHostFile(lock) != pid) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        // Holding the device, it takes requests as soon as it has started.
        return Cli({"settings"}).status == 0;
    }
    std::string Errors() const { return (base_ / "desktop-errors.txt").string(); }
    std::string ErrorText() const { return testing_support::ReadHostFile(Errors()); }

    std::filesystem::path base_;
    std::string device_;
};

TEST_F(DesktopProcess, ASecondProgramHandsOverToTheFirstAndEndsWithZero) {
    BackgroundCli first;
    ASSERT_TRUE(StartDesktop(first)) << ErrorText();
    const auto start = std::chrono::steady_clock::now();
    const CliResult second = testing_support::RunProgram(TALLYMERE_GUI, {"--device", device_});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    // The first one goes on holding the device and working.
    EXPECT_EQ(Cli({"settings"}).out, "Output directory: \"\\Program Files\\Tallymere\" (" + device_ +
                                         "/Program Files/Tallymere)\nStart at login: off\n");
    EXPECT_EQ(first.Stop(SIGTERM, 20s), 0) << ErrorText();
    // It let go of the device in order: the command line has it now.
    EXPECT_EQ(Cli({"export-all"}).out, "0 messages exported successfully.\n");
}

TEST_F(DesktopProcess, AFatalFailureInTheProgramReachesTheCommandLineAndEndsTheProgram) {
    ASSERT_EQ(Cli({"device", "seed", "--messages", "3"}).status, 0);
    BackgroundCli desktop;
    ASSERT_TRUE(StartDesktop(desktop, {"TALLYMERE_FAULTS=GetHierarchyTable:1"})) << ErrorText();
    const CliResult r = Cli({"backup-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "MakeRulesRec: GetHierarchyTable failed.\n");
    // The program shows the failure's box; closing it (here by the signal) ends it with status 1.
    EXPECT_EQ(desktop.Stop(SIGTERM, 20s), 1) << ErrorText();
    EXPECT_NE(ErrorText().find("MakeRulesRec: GetHierarchyTable failed."), std::string::npos);
    // Nothing was saved of the failed pass, and the device is free again.
    EXPECT_EQ(Cli({"backup-all"}).out, "Message backup was successfull. (3 messages)\n");
}

TEST_F(DesktopProcess, ANewMessageIsExportedAndSignalsEndTheProgramInOrder) {
    BackgroundCli desktop;
    ASSERT_TRUE(StartDesktop(desktop)) << ErrorText();
    ASSERT_EQ(Cli({"device", "deliver", "--body", "arrived while the desktop runs"}).status, 0);
    const auto exportList = base_ / "device/Program Files/Tallymere/Tallyport/Messages.ndx";
    const auto end = std::chrono::steady_clock::now() + 30s;
    std::error_code ec;
    while (std::filesystem::file_size(exportList, ec) != 28 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(std::filesystem::file_size(exportList, ec), 28u);
    EXPECT_EQ(desktop.Stop(SIGTERM, 20s), 0) << ErrorText();
    EXPECT_EQ(Cli({"export-all"}).out, "0 messages exported successfully.\n");
}

TEST_F(DesktopProcess, WhereWatchHoldsTheDeviceItSaysTheDeviceIsInUse) {
    BackgroundCli watch;
    ASSERT_TRUE(watch.Start({"--device", device_, "watch"}, (base_ / "watch-errors.txt").string()));
    ASSERT_NE(watch.ReadLine(30s).find("Watching"), std::string::npos);
    BackgroundCli desktop;
    ASSERT_TRUE(desktop.Start({"--device", device_}, Errors(), TALLYMERE_GUI));
    const std::string refusal =
        "Tallymere is already running on this device (process " + std::to_string(watch.pid) + ").\n";
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (ErrorText().find(refusal) == std::string::npos && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(ErrorText().find(refusal), std::string::npos) << ErrorText();
    // It says so in a box too; closing the box ends it.
    EXPECT_EQ(desktop.Stop(SIGTERM, 20s), 1);
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0);
}

TEST_F(DesktopProcess, WithoutADisplayItSaysSoAndEnds) {
    const CliResult r = testing_support::RunProgram(
        "/usr/bin/env",
        {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", TALLYMERE_GUI, "--device", device_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tallymere: no display"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(base_ / "device")) << "nothing is started without a display";
    // The help and the version need none.
    const CliResult help = testing_support::RunProgram(
        "/usr/bin/env", {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", TALLYMERE_GUI, "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("--device <DIR>"), std::string::npos) << help.out;
    const CliResult version = testing_support::RunProgram(
        "/usr/bin/env",
        {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", TALLYMERE_GUI, "--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out.rfind("Tallymere ", 0), 0u) << version.out;
}

}  // namespace
