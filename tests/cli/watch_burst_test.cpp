// `tallymere-cli watch` under a burst of arrivals: a phone syncing many messages at once while
// the program runs. Every arrival is exported once, in arrival order, each on its own time, and
// a stop while many still wait is an orderly one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli_background.h"
#include "cli_runner.h"
#include "device_fixture.h"
#include "phone/device_deliver.h"
#include "phone/device_store.h"
#include "platform/device.h"
#include "platform/text.h"

namespace {

using namespace std::chrono_literals;
using testing_support::BackgroundCli;
using testing_support::CliResult;

class WatchBurst : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-burst-");
        device_ = (base_ / "device").string();
        ASSERT_EQ(testing_support::RunCli({"--device", device_, "start"}).status, 0);
    }
    void TearDown() override {
        phone_.reset();
        platform::device::Unmount();
        std::filesystem::remove_all(base_);
    }

    std::string StartWatch(BackgroundCli& watch) {
        if (!watch.Start({"--device", device_, "watch"}, (base_ / "watch-errors.txt").string())) return {};
        return watch.ReadLine(30s);
    }
    std::string Errors() const { return testing_support::ReadHostFile(base_ / "watch-errors.txt"); }

    // The phone's side in this process, delivering into the device the program watches.
    phone::Phone& ThePhone() {
        if (!phone_) {
            std::string error;
            EXPECT_TRUE(platform::device::Mount(device_, &error)) << error;
            phone_ = std::make_unique<phone::Phone>();
        }
        return *phone_;
    }
    void Deliver(int n) {
        phone::Delivery d;
        d.body = u"burst message " + platform::FromUtf8(std::to_string(n));
        d.from = u"+4917012345";
        d.deliveryTime = platform::FromUnixTime(1200000000 + n);
        phone::Deliver(ThePhone(), d);
    }

    std::filesystem::path Inbox() const { return base_ / "device/Program Files/Tallymere/Tallyport/SMS/Inbox"; }
    std::uintmax_t ExportListEntries() const {
        std::error_code ec;
        const auto size =
            std::filesystem::file_size(base_ / "device/Program Files/Tallymere/Tallyport/Messages.ndx", ec);
        return ec ? 0 : size / 28;
    }
    // The numbers the exported texts carry, by text file number, in file number order.
    std::vector<std::pair<int, int>> Exported() const {
        std::vector<std::pair<int, int>> found;  // file number, message number
        const std::regex body("burst message ([0-9]+)");
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Inbox(), ec)) {
            if (entry.path().extension() != ".txt") continue;
            const std::string name = entry.path().filename().string();
            std::smatch m;
            const std::string text = testing_support::ReadHostFile(entry.path());
            if (!std::regex_search(text, m, body)) continue;
            found.emplace_back(std::stoi(name), std::stoi(m[1].str()));
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    std::filesystem::path base_;
    std::string device_;
    std::unique_ptr<phone::Phone> phone_;
};

// Long: delivers for 50 seconds. Each arrival is due two seconds after its own arrival, not two
// seconds after the one before it, so the whole burst is exported shortly after its last message.
TEST_F(WatchBurst, LongAThousandArrivalsAtTwentyASecondAreEachExportedOnceInArrivalOrder) {
    constexpr int kMessages = 1000;
    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << Errors();
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < kMessages; ++n) {
        std::this_thread::sleep_until(start + n * 50ms);
        Deliver(n);
    }
    const auto last = std::chrono::steady_clock::now();
    // One message every 2.1 s would take 35 minutes; the batches take seconds.
    while (ExportListEntries() < kMessages && std::chrono::steady_clock::now() < last + 60s) {
        std::this_thread::sleep_for(100ms);
    }
    const auto exported = Exported();
    ASSERT_EQ(exported.size(), static_cast<std::size_t>(kMessages)) << Errors();
    for (int k = 0; k < kMessages; ++k) {
        EXPECT_EQ(exported[k].first, k + 1);
        ASSERT_EQ(exported[k].second, k) << "file " << k + 1 << " holds another message: not in arrival order";
    }
    EXPECT_EQ(ExportListEntries(), static_cast<std::uintmax_t>(kMessages));
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << Errors();
    EXPECT_EQ(Errors(), "");
}

// Mended: more than a hundred arrivals waiting ended the program with "MAX_STACK exeed." and
// status 1 on a stop. Now the stop is orderly and says what is left; export-all exports it.
TEST_F(WatchBurst, ASignalWithFiveHundredArrivalsWaitingIsAnOrderlyStop) {
    constexpr int kMessages = 500;
    BackgroundCli watch;
    ASSERT_NE(StartWatch(watch).find("Watching"), std::string::npos) << Errors();
    for (int n = 0; n < kMessages; ++n) Deliver(n);
    // The program has seen the last arrival (nothing of it is due for two seconds).
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(watch.Stop(SIGTERM, 30s), 0) << Errors();
    const std::string errors = Errors();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        errors, m, std::regex("([0-9]+) arrived messages were not exported yet; export-all exports them\\.\n")))
        << errors;
    const auto left = static_cast<std::uintmax_t>(std::stoul(m[1].str()));
    EXPECT_GT(left, 0u);
    EXPECT_LE(ExportListEntries() + left, static_cast<std::uintmax_t>(kMessages)) << "what was exported stays listed";
    phone_.reset();
    const CliResult r = testing_support::RunCli({"--device", device_, "export-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ExportListEntries(), static_cast<std::uintmax_t>(kMessages));
    EXPECT_EQ(Exported().size(), static_cast<std::size_t>(kMessages));
}

}  // namespace
