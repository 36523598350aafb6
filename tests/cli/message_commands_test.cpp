// backup-all, export-all and restore run through the tallymere-cli binary on a seeded device,
// as a user runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using testing_support::CliResult;
using testing_support::RunCli;
using Json = nlohmann::json;

class ProgramCommands : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-e2e-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), {"--device", device_});
        return RunCli(args, env);
    }
    Json Dump() {
        const CliResult r = Run({"device", "dump"});
        EXPECT_EQ(r.status, 0) << r.err;
        return Json::parse(r.out);
    }
    // Every message as (folder path, message without its identifier), sorted: what a restore
    // must bring back exactly. An archived record cannot tell a missing text or number from an
    // empty one, so those compare as empty.
    static std::vector<std::string> Contents(const Json& dump) {
        std::vector<std::string> all;
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (Json m : folder["messages"]) {
                    m.erase("entryid");
                    for (const char* text : {"subject_prefix", "subject", "sender_name", "sender_email",
                                             "message_class", "service_name"}) {
                        if (m[text].is_null()) m[text] = "";
                    }
                    for (const char* number : {"msg_status", "message_size", "content_length", "message_flags",
                                               "delivery_time", "last_modification_time"}) {
                        if (m[number].is_null()) m[number] = 0;
                    }
                    all.push_back(folder["path"].get<std::string>() + " " + m.dump());
                }
            }
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    static std::vector<std::string> Ids(const Json& dump) {
        std::vector<std::string> ids;
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (const Json& m : folder["messages"]) ids.push_back(m["entryid"].get<std::string>());
            }
        }
        return ids;
    }
    std::filesystem::path Output() const { return base_ / "device/Program Files/Tallymere"; }

    std::filesystem::path base_;
    std::string device_;
};

TEST_F(ProgramCommands, BackupDeleteRestoreBringsEverythingBack) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "40", "--seed", "7"}).status, 0);
    const Json original = Dump();
    const std::vector<std::string> ids = Ids(original);
    ASSERT_EQ(ids.size(), 40u);

    CliResult r = Run({"backup-all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message backup was successfull. (40 messages)\n");
    r = Run({"backup-all"});
    EXPECT_EQ(r.out, "Message backup was successfull. (0 messages)\n") << "a second pass appends nothing";

    // Five messages go; the next full pass marks them absent.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Run({"device", "delete", ids[static_cast<std::size_t>(i) * 7]}).status, 0);
    r = Run({"backup-all"});
    EXPECT_EQ(r.out, "Message backup was successfull. (0 messages)\n");
    r = Run({"check"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("35 present, 5 absent"), std::string::npos) << r.out;

    // Normal restore brings back only what the latest full pass saw: nothing is missing of it.
    r = Run({"restore", "normal", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message restore was successfull. (0 messages)\n");
    // Extra restore brings back the deleted ones, exactly as they were.
    r = Run({"restore", "extra", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message restore was successfull. (5 messages)\n");
    EXPECT_EQ(Contents(Dump()), Contents(original));
    // Twice: no duplicates; and a full pass after the restore appends nothing.
    r = Run({"restore", "extra", "--yes"});
    EXPECT_EQ(r.out, "Message restore was successfull. (0 messages)\n");
    r = Run({"backup-all"});
    EXPECT_EQ(r.out, "Message backup was successfull. (0 messages)\n");
    EXPECT_EQ(Run({"check"}).status, 0);
}

TEST_F(ProgramCommands, NormalRestoreBringsBackWhatTheLatestFullPassSaw) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "12", "--seed", "3"}).status, 0);
    const Json original = Dump();
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    for (const std::string& id : Ids(original)) ASSERT_EQ(Run({"device", "delete", id}).status, 0);
    CliResult r = Run({"restore", "normal", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message restore was successfull. (12 messages)\n");
    EXPECT_EQ(Contents(Dump()), Contents(original));
}

TEST_F(ProgramCommands, RestoreWithoutConfirmationDoesNothing) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3", "--seed", "1"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    for (const std::string& id : Ids(Dump())) ASSERT_EQ(Run({"device", "delete", id}).status, 0);
    // Standard input is no terminal and --yes is missing: the answer is Cancel.
    CliResult r = Run({"restore", "extra"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Do you really want to start Extra restore?"), std::string::npos);
    EXPECT_NE(r.err.find("\nRestore cancelled.\n"), std::string::npos) << r.err;
    EXPECT_TRUE(Ids(Dump()).empty());
}

// Nothing to ask about when nothing would come back: no question, no cancel, status 0. Once a
// message is missing, the question is asked again.
TEST_F(ProgramCommands, ARestoreWithNothingToBringBackAsksNothing) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "3", "--seed", "1"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    CliResult r = Run({"restore", "normal"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Nothing to restore.\n");
    EXPECT_EQ(r.err.find("Do you really want"), std::string::npos) << r.err;
    r = Run({"restore", "extra", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"command\":\"restore extra\",\"count\":0,\"result\":\"Nothing to restore.\",\"status\":0}\n");
    ASSERT_EQ(Run({"device", "delete", Ids(Dump()).front()}).status, 0);
    r = Run({"restore", "normal"});
    EXPECT_EQ(r.status, 4) << "one is missing now: asked, and not confirmed without a terminal";
}

TEST_F(ProgramCommands, ExportIsIncrementalAcrossRuns) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "25", "--seed", "11"}).status, 0);
    CliResult r = Run({"export-all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "25 messages exported successfully.\n");
    EXPECT_EQ(Run({"export-all"}).out, "0 messages exported successfully.\n");
    std::size_t textFiles = 0;  // the messages' own text files (attachments may be .txt too)
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Output() / "Tallyport")) {
        if (entry.path().extension() == ".txt" && testing_support::ReadHostFile(entry.path()).rfind("From: ", 0) == 0) {
            ++textFiles;
        }
    }
    EXPECT_EQ(textFiles, 25u);
    ASSERT_EQ(Run({"device", "deliver", "--folder", "SMS/Inbox", "--from", "+4911", "--body", "one more"}).status, 0);
    EXPECT_EQ(Run({"export-all"}).out, "1 messages exported successfully.\n");
}

TEST_F(ProgramCommands, FailuresEndWithTheirCaptionAndStatusOne) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "5", "--seed", "2"}).status, 0);
    CliResult r = Run({"backup-all"}, {"TALLYMERE_FAULTS=GetHierarchyTable:1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "MakeRulesRec: GetHierarchyTable failed.\n");
    // The failed pass saved nothing: the next one archives everything.
    EXPECT_EQ(Run({"backup-all"}).out, "Message backup was successfull. (5 messages)\n");
    r = Run({"export-all"}, {"TALLYMERE_FAULTS=GetMsgStoresTable:1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "MakeRules: GetMsgStoresTable failed.\n");
}

TEST_F(ProgramCommands, UsageErrorsExitTwo) {
    EXPECT_EQ(Run({"restore"}).status, 2);
    EXPECT_EQ(Run({"restore", "sideways"}).status, 2);
    EXPECT_EQ(Run({"backup-all", "--bogus"}).status, 2);
    EXPECT_EQ(Run({"restore", "--help"}).status, 0);
}

}  // namespace
