// Start at login: `settings --autostart on|off` writes or removes the XDG autostart entry that
// starts the desktop program on this device folder, `settings` shows it, and nothing is written
// unless asked; the entry's command line survives any folder name.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_runner.h"
#include "device_fixture.h"
#include "remote/autostart.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::RunCli;

class StartAtLogin : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-autostart-");
        // A folder name with what the entry's command line must quote and escape.
        device_ = (base_ / "my \"phone\" $HOME 100% `x` \\ end").string();
        config_ = base_ / "config";
        testing_support::ProvisionDevice(device_);
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    testing_support::CliResult Settings(std::vector<std::string> options = {}) {
        std::vector<std::string> args = {"--device", device_, "settings"};
        args.insert(args.end(), options.begin(), options.end());
        return RunCli(args, {"XDG_CONFIG_HOME=" + config_.string()});
    }
    std::filesystem::path Entry() const { return config_ / "autostart/tallymere.desktop"; }

    std::filesystem::path base_;
    std::string device_;
    std::filesystem::path config_;
};

TEST_F(StartAtLogin, IsWrittenAndRemovedOnlyWhenAskedAndShownBySettings) {
    auto r = Settings();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nStart at login: off\n"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(config_)) << "nothing is written unless asked";

    r = Settings({"--autostart", "on"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nStart at login: on, device folder " + device_ + " (" + Entry().string() + ")\n"),
              std::string::npos)
        << r.out;
    const std::string entry = ReadHostFile(Entry());
    EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << entry;
    // The desktop program built beside tallymere-cli, named by its whole path and checked by
    // TryExec, or the one on PATH where none was built.
    const auto tryExec = entry.find("\nTryExec=");
    if (tryExec != std::string::npos) {
        const std::string program = entry.substr(tryExec + 9, entry.find('\n', tryExec + 1) - tryExec - 9);
        EXPECT_EQ(std::filesystem::path(program).filename(), "tallymere");
        EXPECT_EQ(::access(program.c_str(), X_OK), 0) << program;
    } else {
        EXPECT_NE(entry.find("\nExec=\"tallymere\" --device "), std::string::npos) << entry;
    }
    EXPECT_NE(entry.find("\nExec="), std::string::npos);

    r = Settings({"--json"});
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["autostart"]["on"], true);
    EXPECT_EQ(j["autostart"]["device"], device_) << "the command line reads back to the folder";
    EXPECT_EQ(j["autostart"]["file"], Entry().string());

    r = Settings({"--autostart", "off", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["autostart"], (nlohmann::json{{"on", false}, {"file", Entry().string()}}));
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_EQ(Settings({"--autostart", "off"}).status, 0) << "off when already off";
}

TEST_F(StartAtLogin, AWrongValueOrAnUnwritableFolderChangesNothing) {
    auto r = Settings({"--autostart", "yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(std::filesystem::exists(config_));

    testing_support::WriteHostFile(config_, "a file where the folder would be");
    r = Settings({"--autostart", "on"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string said = "Tallymere Settings: Cannot change Start at login: " + (config_ / "autostart").string() +
                             ": Not a directory.\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), said.size())), said) << r.err;
    r = Settings({"--autostart", "on", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out)["caption"], "Tallymere Settings");
}

// The entry as desktops read it: an entry they are told to pass over is off, and a command line
// written for any folder name reads back to that name.
TEST(AutostartEntry, ReadsBackWhatItWroteAndHonoursHidden) {
    const auto base = testing_support::MakeTempDir("tallymere-autostart-entry-");
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    const std::filesystem::path file = remote::AutostartFile();
    EXPECT_EQ(file, base / "config/autostart/tallymere.desktop");
    for (const std::string device :
         {"/plain", "/with space", "/q\"uote/back\\slash/$dollar/`tick`/50%", "/tab\tname"}) {
        std::string error;
        const bool written = remote::SetAutostart(true, device, &error);
        if (device.find('\t') != std::string::npos) {
            EXPECT_FALSE(written) << "a control character cannot be written on the Exec line";
            EXPECT_FALSE(remote::ReadAutostart().on);
            continue;
        }
        ASSERT_TRUE(written) << error;
        EXPECT_EQ(remote::ReadAutostart().device, device);
        EXPECT_TRUE(remote::SetAutostart(false, device, &error)) << error;
    }
    testing_support::WriteHostFile(file, remote::AutostartEntry("tallymere", "/d") + "Hidden=true\n");
    EXPECT_FALSE(remote::ReadAutostart().on);
    testing_support::WriteHostFile(file, remote::AutostartEntry("/usr/bin/tallymere", "/d"));
    EXPECT_TRUE(remote::ReadAutostart().on);
    EXPECT_EQ(remote::ReadAutostart().device, "/d");
    EXPECT_FALSE(remote::SetAutostart(true, "relative/device", nullptr));
    std::filesystem::remove_all(base);
}

}  // namespace
