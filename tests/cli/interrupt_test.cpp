// Ctrl-C and SIGTERM in the middle of long commands, through the tallymere-cli binary: the
// pass stops at a message boundary, what was done is kept, and a rerun does the rest, each
// message once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "phone/device_store.h"
#include "cli_background.h"
#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using testing_support::BackgroundCli;
using testing_support::CliResult;
using testing_support::TerminalCli;
using Json = nlohmann::json;

// Each message's opening takes a millisecond longer, so that a signal sent once the pass is
// seen under way lands in its middle however fast the machine runs it.
const std::string kPaced = "TALLYMERE_FAULTS=OpenEntry~1";

class Interrupt : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-interrupt-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    std::filesystem::path Output(const std::string& rest) const {
        return base_ / "device/Program Files/Tallymere" / rest;
    }
    // The identifiers a Messages.ndx lists, in order.
    std::vector<std::string> Listed(const std::filesystem::path& ndx) const {
        const std::string bytes = testing_support::ReadHostFile(ndx);
        std::vector<std::string> ids;
        for (std::size_t at = 0; at + 28 <= bytes.size(); at += 28) {
            phone::Bytes id(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + 20));
            ids.push_back(phone::Hex(id));
        }
        return ids;
    }
    // Every message identifier the store holds, as `device dump` lists them.
    std::set<std::string> Stored() {
        const CliResult r = Run({"device", "dump"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::set<std::string> ids;
        const Json dump = Json::parse(r.out);
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (const Json& m : folder["messages"]) ids.insert(m["entryid"].get<std::string>());
            }
        }
        return ids;
    }
    // N from "Interrupted after N messages.".
    static int InterruptedAfter(const std::string& text) {
        std::smatch m;
        if (!std::regex_search(text, m, std::regex("Interrupted after ([0-9]+) messages\\."))) return -1;
        return std::stoi(m[1]);
    }
    template <class Condition>
    static bool WaitFor(Condition condition, std::chrono::milliseconds limit = 60s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    // Deletes every message of the store, as the phone's user could.
    void DeleteEverything() {
        std::string error;
        ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
        {
            phone::Phone phone;
            for (const phone::Named& store : phone.Stores()) {
                phone.WalkFolders(store, [&](const std::u16string&, platform::mapi::IMAPIFolder* folder, int) {
                    std::vector<phone::Bytes> ids = phone.Messages(folder);
                    std::vector<platform::mapi::SBinary> entries;
                    for (phone::Bytes& id : ids)
                        entries.push_back({static_cast<platform::mapi::ULONG>(id.size()), id.data()});
                    platform::mapi::ENTRYLIST list{static_cast<platform::mapi::ULONG>(entries.size()), entries.data()};
                    if (!entries.empty()) {
                        EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), 0);
                    }
                });
            }
        }
        platform::device::Unmount();
    }

    std::filesystem::path base_;
    std::string device_;
};

// The issue's own case: SIGINT in the middle of a backup of 3,000 messages, then a rerun.
TEST_F(Interrupt, ASigintedBackupKeepsWhatItArchivedAndTheRerunArchivesTheRestOnce) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3000", "--seed", "21"}).status, 0);
    const std::set<std::string> stored = Stored();
    ASSERT_EQ(stored.size(), 3000u);

    BackgroundCli backup;
    const std::string errors = (base_ / "backup-errors.txt").string();
    ASSERT_TRUE(backup.Start({"--device", device_, "backup-all"}, errors, "", {kPaced}));
    // Once records are being written, the pass is under way.
    ASSERT_TRUE(WaitFor([&] {
        std::error_code ec;
        return std::filesystem::file_size(Output("Tallymere/Messages.dat"), ec) > 0 && !ec;
    }));
    EXPECT_EQ(backup.Stop(SIGINT, 60s), 130);
    EXPECT_EQ(backup.ReadLine(1s), "") << "no result line";
    const std::string said = testing_support::ReadHostFile(errors);
    const int done = InterruptedAfter(said);
    EXPECT_EQ(said, "Interrupted after " + std::to_string(done) + " messages.\n");
    ASSERT_GT(done, 0);
    ASSERT_LT(done, 3000) << "the pass ended before the signal";

    // What was done is saved: a sound archive of exactly those messages.
    CliResult r = Run({"check"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(
        r.out.find("Index entries: " + std::to_string(done) + " (" + std::to_string(done) + " present, 0 absent)"),
        std::string::npos)
        << r.out;
    // The rerun goes on from there.
    r = Run({"backup-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message backup was successfull. (" + std::to_string(3000 - done) + " messages)\n");
    const std::vector<std::string> listed = Listed(Output("Tallymere/Messages.ndx"));
    EXPECT_EQ(listed.size(), 3000u);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), stored) << "every message archived once";
    EXPECT_EQ(Run({"check"}).status, 0);
}

// Ctrl-C typed at the terminal during an export: the export list keeps what was exported, and
// the rerun exports the rest, each message once.
TEST_F(Interrupt, CtrlCDuringAnExportKeepsTheExportListAndTheRerunExportsTheRest) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3000", "--seed", "22"}).status, 0);
    TerminalCli exporting;
    ASSERT_TRUE(exporting.Start({"--device", device_, "export-all"}, {kPaced}));
    ASSERT_TRUE(exporting.WaitFor(std::regex("export-all: [1-9][0-9]*/3000 messages, 0:"), 60s)) << exporting.output;
    exporting.Type("\x03");
    EXPECT_EQ(exporting.Finish(60s), 130) << exporting.output;
    const int done = InterruptedAfter(exporting.output);
    ASSERT_GT(done, 0) << exporting.output;
    ASSERT_LT(done, 3000) << "the export ended before Ctrl-C";
    EXPECT_EQ(exporting.output.find("exported successfully"), std::string::npos) << exporting.output;
    EXPECT_EQ(Listed(Output("Tallyport/Messages.ndx")).size(), static_cast<std::size_t>(done));

    CliResult r = Run({"export-all"});
    EXPECT_EQ(r.out, std::to_string(3000 - done) + " messages exported successfully.\n");
    const std::vector<std::string> listed = Listed(Output("Tallyport/Messages.ndx"));
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), Stored());
    EXPECT_EQ(listed.size(), 3000u);
}

// Ctrl-C during a restore: the messages re-created so far stay, with the index naming them,
// and the rerun re-creates the others: none is there twice.
TEST_F(Interrupt, CtrlCDuringARestoreKeepsWhatItReCreatedAndTheRerunDoesTheRest) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "800", "--seed", "23"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    DeleteEverything();
    ASSERT_TRUE(Stored().empty());

    TerminalCli restoring;
    ASSERT_TRUE(restoring.Start({"--device", device_, "restore", "extra", "--yes"}, {kPaced}));
    ASSERT_TRUE(restoring.WaitFor(std::regex("restore extra: [1-9][0-9]*/800 messages"), 60s)) << restoring.output;
    restoring.Type("\x03");
    EXPECT_EQ(restoring.Finish(60s), 130) << restoring.output;
    const int done = InterruptedAfter(restoring.output);
    ASSERT_GT(done, 0) << restoring.output;
    ASSERT_LT(done, 800) << "the restore ended before Ctrl-C";
    EXPECT_EQ(Stored().size(), static_cast<std::size_t>(done));

    const CliResult r = Run({"restore", "extra", "--yes"});
    EXPECT_EQ(r.out, "Message restore was successfull. (" + std::to_string(800 - done) + " messages)\n");
    EXPECT_EQ(Stored().size(), 800u);
    EXPECT_EQ(Run({"backup-all"}).out, "Message backup was successfull. (0 messages)\n") << "all known to the archive";
}

// A second Ctrl-C does not wait for the message boundary: the command ends at once. The index
// of the cut pass is not saved, so the rerun archives everything again, each message once.
TEST_F(Interrupt, ASecondCtrlCEndsAtOnceAndTheRerunStillArchivesEveryMessageOnce) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3000", "--seed", "24"}).status, 0);
    TerminalCli backup;
    ASSERT_TRUE(backup.Start({"--device", device_, "backup-all"}, {kPaced}));
    ASSERT_TRUE(backup.WaitFor(std::regex("backup-all: [1-9][0-9]*/3000"), 60s)) << backup.output;
    backup.Type("\x03\x03");
    EXPECT_EQ(backup.Finish(60s), 130) << backup.output;
    EXPECT_EQ(backup.output.find("successfull"), std::string::npos) << backup.output;

    const CliResult r = Run({"backup-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> listed = Listed(Output("Tallymere/Messages.ndx"));
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), Stored());
    EXPECT_EQ(listed.size(), 3000u);
    EXPECT_EQ(Run({"check"}).status, 0);
}

}  // namespace
