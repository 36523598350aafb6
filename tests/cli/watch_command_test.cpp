// `tallymere-cli watch` running in the background while the phone receives messages.
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

class Watch : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-watch-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    // Starts `watch` and waits for its first line.
    std::string StartWatch(BackgroundCli& watch) {
        if (!watch.Start({"--device", device_, "watch"}, (base_ / "watch-errors.txt").string())) return {};
        return watch.ReadLine(30s);
    }
    std::string Errors() const { return testing_support::ReadHostFile(base_ / "watch-errors.txt"); }

    std::filesystem::path Export() const { return base_ / "device/Program Files/Tallymere/Tallyport"; }
    // The text files of one export directory.
    std::vector<std::string> TextsIn(const std::string& dir) const {
        std::vector<std::string> texts;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Export() / dir, ec)) {
            if (entry.path().extension() == ".txt") texts.push_back(testing_support::ReadHostFile(entry.path()));
        }
        return texts;
    }

    std::filesystem::path base_;
    std::string device_;
};

TEST_F(Watch, EveryArrivingMessageIsExportedOnceIntoItsFoldersDirectory) {
    ASSERT_EQ(Run({"device", "new-folder", "SMS/Archive/2008"}).status, 0);
    BackgroundCli watch;
    const std::string line = StartWatch(watch);
    EXPECT_NE(line.find("Watching device folder " + device_), std::string::npos) << line << Errors();
    EXPECT_NE(line.find("Ctrl-C"), std::string::npos) << line;
    EXPECT_EQ(watch.ReadLine(10s), "Exporting to \"\\Program Files\\Tallymere\\Tallyport\" (" + device_ +
                                       "/Program Files/Tallymere/Tallyport)");

    const std::vector<std::pair<std::string, std::string>> arrivals = {
        {"SMS/Inbox", "first arrival"}, {"SMS/Sent Items", "second arrival"}, {"SMS/Archive/2008", "third arrival"}};
    for (const auto& [folder, body] : arrivals) {
        const CliResult r = Run({"device", "deliver", "--folder", folder, "--from", "+4917012345", "--body", body});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // Two seconds each, one after the other.
    const auto end = std::chrono::steady_clock::now() + 40s;
    auto allThere = [&] {
        for (const auto& [folder, body] : arrivals) {
            if (TextsIn(folder).empty()) return false;
        }
        return true;
    };
    while (!allThere() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(500ms);  // anything exported twice would show by now
    for (const auto& [folder, body] : arrivals) {
        const auto texts = TextsIn(folder);
        ASSERT_EQ(texts.size(), 1u) << folder;
        EXPECT_NE(texts[0].find(body), std::string::npos) << texts[0];
    }

    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << Errors();
    EXPECT_EQ(Errors(), "");
    std::error_code ec;
    EXPECT_EQ(std::filesystem::file_size(Export() / "Messages.ndx", ec), 3u * 28u) << "the export list is saved";

    // The stopped program let go of the device: the next start works.
    BackgroundCli again;
    EXPECT_NE(StartWatch(again).find("Watching device folder"), std::string::npos) << Errors();
    EXPECT_EQ(again.Stop(SIGINT, 20s), 0) << Errors();
    // Every message is on the saved export list.
    EXPECT_EQ(Run({"export-all"}).out, "0 messages exported successfully.\n");
}

TEST_F(Watch, ASecondProgramOnTheSameDeviceIsRefused) {
    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << Errors();
    const std::string refusal = "Tallymere is already running on this device (process " + std::to_string(watch.pid) +
                                ": tallymere-cli watch). Use --wait to wait for it.\n";
    CliResult r = Run({"watch"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, refusal);
    EXPECT_EQ(r.out, "");
    r = Run({"start"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, refusal);
    // A program command is carried out by the running program instead.
    r = Run({"export-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 messages exported successfully.\n");
    // The phone's side takes no lock.
    EXPECT_EQ(Run({"device", "list"}).status, 0);
    EXPECT_EQ(watch.Stop(SIGINT, 20s), 0) << Errors();
}

}  // namespace
