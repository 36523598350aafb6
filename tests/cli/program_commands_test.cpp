#include <sys/file.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using testing_support::RunCli;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { base_ = testing_support::MakeTempDir("tallymere-cli-"); }
    void TearDown() override { std::filesystem::remove_all(base_); }
    std::string Device() const { return (base_ / "device").string(); }
    std::filesystem::path base_;
};

TEST_F(CliTest, FreshDeviceStartsWithTheInstallersOutputDirectory) {
    auto r = RunCli({"--device", Device(), "start"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tallymere-cli: made a new, empty phone in " + Device() + "\n");
    r = RunCli({"--device", Device(), "settings"});
    EXPECT_EQ(r.err, "") << "said once, when made";
    EXPECT_EQ(r.out, "Output directory: \"\\Program Files\\Tallymere\" (" + Device() +
                         "/Program Files/Tallymere)\nStart at login: off\n");
    EXPECT_TRUE(std::filesystem::is_directory(base_ / "device/Program Files/Tallymere/Tallyport"));
}

// Only a command that writes makes a phone, and only the default folder gets missing parents:
// a mistyped folder never turns into an empty phone that later commands succeed on.
TEST_F(CliTest, ACommandThatOnlyReadsNeverMakesADevice) {
    for (const std::vector<std::string>& read : std::vector<std::vector<std::string>>{
             {"check"}, {"settings"}, {"device", "list"}, {"device", "dump"}, {"backup", "--list"}}) {
        std::vector<std::string> args = {"--device", Device()};
        args.insert(args.end(), read.begin(), read.end());
        const auto r = RunCli(args);
        EXPECT_EQ(r.status, 1) << read.front();
        EXPECT_EQ(r.err, "tallymere-cli: no device at " + Device() + "\n") << read.front();
        EXPECT_FALSE(std::filesystem::exists(Device())) << read.front();
    }
    const std::string nested = (base_ / "no/such/device").string();
    auto r = RunCli({"--device", nested, "backup-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no device at " + nested + ", and none is made there"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(base_ / "no"));
    r = RunCli({"device", "list"}, {"TALLYMERE_DEVICE=" + nested});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(base_ / "no"));
    // The default folder is made with its parents, by a command that writes.
    r = RunCli({"start"}, {"XDG_DATA_HOME=" + (base_ / "xdg/data").string(), "TALLYMERE_DEVICE="});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(base_ / "xdg/data/tallymere/device/.platform"));
}

TEST_F(CliTest, DeviceComesFromTheEnvironmentWithoutAnOption) {
    auto r = RunCli({"start"}, {"TALLYMERE_DEVICE=" + Device()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(Device()), std::string::npos);
}

TEST_F(CliTest, OutputDirectoryChangeMovesTheArchive) {
    ASSERT_EQ(RunCli({"--device", Device(), "start"}).status, 0);
    // Without an archive to move, nothing is said of one.
    std::filesystem::create_directories(base_ / "device/Other");
    auto moved = RunCli({"--device", Device(), "settings", "--output-dir", "\\Other"});
    EXPECT_EQ(moved.out, "Output directory: \"\\Other\" (" + Device() + "/Other)\nStart at login: off\n");
    ASSERT_EQ(RunCli({"--device", Device(), "settings", "--output-dir", "\\Program Files\\Tallymere"}).status, 0);
    testing_support::WriteHostFile(base_ / "device/Program Files/Tallymere/Tallymere/Messages.ndx", "x");
    std::filesystem::create_directories(base_ / "device/Storage Card");
    auto r = RunCli({"--device", Device(), "settings", "--output-dir", "\\Storage Card\\"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Moved the archive to \"\\Storage Card\\Tallymere\" (" + Device() +
                         "/Storage Card/Tallymere).\n"
                         "Output directory: \"\\Storage Card\" (" +
                         Device() + "/Storage Card)\nStart at login: off\n");
    EXPECT_EQ(testing_support::ReadHostFile(base_ / "device/Storage Card/Tallymere/Messages.ndx"), "x");
}

TEST_F(CliTest, FailuresPrintCaptionAndWordsAndExitOne) {
    testing_support::ProvisionDevice(Device());
    auto r = RunCli({"--device", Device(), "settings", "--output-dir", "\\No\\Such"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Tallymere Settings: Cannot use \\No\\Such as output directory: \\No does not exist.\n");
    testing_support::WriteHostFile(base_ / "device/.platform/os-version", "4.21\n");
    r = RunCli({"--device", Device(), "start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Tallymere: Sorry this program is running only on WM6/WM5!\n");
}

// Mended: a full medium said only "xBackup::Insert: fwrite failed." and a damaged store only
// "SessionLogon: MAPILogonEx failed.": nothing told which file or why.
TEST_F(CliTest, AFailureSaysWhyOnASecondLineAndInTheJsonObjectsCause) {
    ASSERT_EQ(RunCli({"--device", Device(), "device", "deliver", "--body", "hello"}).status, 0);
    const std::filesystem::path data = base_ / "device/Program Files/Tallymere/Tallymere/Messages.dat";
    std::filesystem::create_directories(data.parent_path());
    std::filesystem::create_symlink("/dev/full", data);  // every write: no space left
    auto r = RunCli({"--device", Device(), "backup-all"});
    EXPECT_EQ(r.status, 1);
    // The record waits in the stream's buffer until the pass ends (one message): whichever
    // routine writes it out reports.
    EXPECT_EQ(r.err.rfind("xBackup::", 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.find(": ") + 2), "fwrite failed.\n" + data.string() + ": No space left on device\n");
    r = RunCli({"--device", Device(), "backup-all", "--json"});
    EXPECT_EQ(r.status, 1);
    const std::string json = "{\"command\":\"backup-all\",\"error\":\"fwrite failed.\",\"caption\":\"xBackup::";
    EXPECT_EQ(r.out.rfind(json, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\",\"cause\":\"" + data.string() + ": No space left on device\",\"status\":1}\n"),
              std::string::npos)
        << r.out;

    const std::filesystem::path store = base_ / "device/.platform/messages.db";
    for (const char* side : {"-wal", "-shm"}) std::filesystem::remove(store.string() + side);
    testing_support::WriteHostFile(store, std::string(4096, 'x'));
    r = RunCli({"--device", Device(), "export-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "SessionLogon: MAPILogonEx failed.\n" + store.string() + ": file is not a database\n");
    // Without a cause the words stay one line, and the object has none.
    r = RunCli({"--device", Device(), "settings", "--output-dir", "\\No\\Such", "--json"});
    EXPECT_EQ(r.err, "Tallymere Settings: Cannot use \\No\\Such as output directory: \\No does not exist.\n");
    EXPECT_EQ(r.out.find("cause"), std::string::npos) << r.out;
}

// Mended: an empty directory (or "\\") moved the archive to the device's root and was not kept:
// the next start-up defaulted it again and every later command looked where the archive was not.
TEST_F(CliTest, AnEmptyOutputDirectoryIsRefusedAndNothingMoves) {
    ASSERT_EQ(RunCli({"--device", Device(), "start"}).status, 0);
    testing_support::WriteHostFile(base_ / "device/Program Files/Tallymere/Tallymere/Messages.ndx", "x");
    for (const char* dir : {"", "\\"}) {
        auto r = RunCli({"--device", Device(), "settings", "--output-dir", dir});
        EXPECT_EQ(r.status, 1) << dir;
        EXPECT_EQ(r.err, "Tallymere Settings: Output directory must not be empty.\n");
        EXPECT_EQ(testing_support::ReadHostFile(base_ / "device/Program Files/Tallymere/Tallymere/Messages.ndx"), "x");
        EXPECT_FALSE(std::filesystem::exists(base_ / "device/Tallymere"));
    }
    const auto r = RunCli({"--device", Device(), "settings"});
    EXPECT_EQ(r.out, "Output directory: \"\\Program Files\\Tallymere\" (" + Device() +
                         "/Program Files/Tallymere)\nStart at login: off\n");
}

// Mended: a stored output directory that cannot be used ended every command at start-up,
// "settings" included, so it could only be repaired by editing the settings store by hand.
TEST_F(CliTest, TheSettingsRepairAnUnusableOutputDirectory) {
    testing_support::ProvisionDevice(Device());
    std::filesystem::create_directories(base_ / "device/Card");
    ASSERT_EQ(RunCli({"--device", Device(), "settings", "--output-dir", "\\Card"}).status, 0);
    std::filesystem::remove_all(base_ / "device/Card");  // the card is taken out
    auto r = RunCli({"--device", Device(), "backup-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot use \\Card as output directory: \\Card does not exist. Choose another one with: "
                         "tallymere-cli settings --output-dir DIR"),
              std::string::npos)
        << r.err;
    r = RunCli({"--device", Device(), "settings"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Output directory: \"\\Card\" (" + Device() + "/Card)\nStart at login: off\n");
    r = RunCli({"--device", Device(), "settings", "--output-dir", "\\Program Files\\Tallymere"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RunCli({"--device", Device(), "backup-all"}).status, 0);
}

TEST_F(CliTest, UsageErrorsExitTwo) {
    auto r = RunCli({"--device", Device(), "no-such-command"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: tallymere-cli"), std::string::npos);
    EXPECT_EQ(RunCli({"settings", "--bogus"}).status, 2);
    EXPECT_EQ(RunCli({"--help"}).status, 0);
}

// What a newcomer and a script meet on the command line itself: help by word, the device after
// the command, a plain word for a number that is none, the exit statuses in the program's help
// only, JSON for a usage error, and output that cannot be written.
TEST_F(CliTest, TheCommandLineKeepsItsContract) {
    ASSERT_EQ(RunCli({"--device", Device(), "start"}).status, 0);
    auto r = RunCli({"help", "check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Read the whole archive", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Exit status:"), std::string::npos) << "only in the program's own help";
    r = RunCli({"help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << r.out;
    r = RunCli({"settings", "--device", Device()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(Device()), std::string::npos) << r.out;
    r = RunCli({"--device", Device(), "backup-all", "--wait=abc", "--json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("takes a number of seconds, such as --wait=30, not \"abc\""), std::string::npos) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["status"], 2) << r.out;
    r = testing_support::RunProgram(
        "/bin/sh", {"-c", std::string(TALLYMERE_CLI) + " --device '" + Device() + "' settings > /dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: cannot write to standard output: No space left on device\n");
}

TEST_F(CliTest, SecondInstanceIsRefused) {
    ASSERT_EQ(RunCli({"--device", Device(), "start"}).status, 0);
    // Another program instance holds the device's lock.
    const auto lockPath = base_ / "device/.platform/program.lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    ASSERT_EQ(::pwrite(fd, "4242\n", 5, 0), 5);
    auto r = RunCli({"--device", Device(), "settings"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Tallymere is already running on this device (process 4242). Use --wait to wait for it.\n");
    for (const char* command : {"check", "backup-all", "export-all", "start", "watch"}) {
        EXPECT_EQ(RunCli({"--device", Device(), command}).status, 3) << command;
    }
    ::close(fd);
    EXPECT_EQ(RunCli({"--device", Device(), "settings"}).status, 0) << "released when its holder ends";
}

}  // namespace
