// backup --select, export --select and --list through the tallymere-cli binary on a seeded
// device, checked against what `device dump` says the store holds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using testing_support::CliResult;
using testing_support::RunCli;
using Json = nlohmann::json;

struct Listed {
    std::string id;
    std::string folder;
    std::string subject;
};

class SelectionCommands : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-select-");
        device_ = (base_ / "device").string();
        ASSERT_EQ(Run({"device", "seed", "--messages", "30", "--seed", "5"}).status, 0);
        const Json dump = Dump();
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (const Json& m : folder["messages"]) {
                    messages.push_back({m["entryid"].get<std::string>(), folder["path"].get<std::string>(),
                                        m["subject"].is_null() ? "" : m["subject"].get<std::string>()});
                }
            }
        }
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return RunCli(args);
    }
    Json Dump() { return Json::parse(Run({"device", "dump"}).out); }
    // Messages of the folder and every folder below it.
    std::size_t CountBelow(const std::string& path) const {
        return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), [&](const Listed& m) {
            return m.folder == path || m.folder.rfind(path + "/", 0) == 0;
        }));
    }
    std::filesystem::path Output(const std::string& rest) const {
        return base_ / "device/Program Files/Tallymere" / rest;
    }

    std::filesystem::path base_;
    std::string device_;
    std::vector<Listed> messages;
};

TEST_F(SelectionCommands, BackupTicksFoldersWithEverythingBelowThemAndSingleMessages) {
    const std::size_t inbox = CountBelow("SMS/Inbox");
    const auto sent =
        std::find_if(messages.begin(), messages.end(), [](const Listed& m) { return m.folder == "SMS/Sent Items"; });
    ASSERT_GT(inbox, 0u);
    ASSERT_NE(sent, messages.end());

    CliResult r = Run({"backup", "--select", "SMS/Inbox", sent->id});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message backup was successfull. (" + std::to_string(inbox + 1) + " messages)\n");
    r = Run({"check"});
    EXPECT_NE(r.out.find(std::to_string(inbox + 1) + " present, 0 absent"), std::string::npos) << r.out;

    // Overlapping paths tick each message once; what is archived already counts 0.
    r = Run({"backup", "--select", "SMS", "--select", "SMS/Inbox"});
    EXPECT_EQ(r.out,
              "Message backup was successfull. (" + std::to_string(messages.size() - inbox - 1) + " messages)\n");
    EXPECT_EQ(Run({"backup-all"}).out, "Message backup was successfull. (0 messages)\n");
}

TEST_F(SelectionCommands, ExportOfOneMessageWritesItsTextFileInItsFolderOnce) {
    const Listed& chosen = messages.back();
    CliResult r = Run({"export", "--select", chosen.id});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 messages exported successfully.\n");
    std::vector<std::filesystem::path> texts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Output("Tallyport"))) {
        if (entry.path().extension() == ".txt") texts.push_back(entry.path());
    }
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(std::filesystem::relative(texts[0].parent_path(), Output("Tallyport")).generic_string(), chosen.folder);
    EXPECT_NE(testing_support::ReadHostFile(texts[0]).find("Subject: " + chosen.subject), std::string::npos);
    EXPECT_EQ(Run({"export", "--select", chosen.id}).out, "0 messages exported successfully.\n");
    EXPECT_EQ(Run({"export-all"}).out, std::to_string(messages.size() - 1) + " messages exported successfully.\n");
}

TEST_F(SelectionCommands, ListShowsEveryFolderWithItsCountAndEveryMessageWithItsIdentifier) {
    const CliResult r = Run({"export", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("SMS (" + std::to_string(messages.size()) + ")\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n  Inbox (" + std::to_string(CountBelow("SMS/Inbox")) + ")\n"), std::string::npos);
    for (const Listed& m : messages) EXPECT_NE(r.out.find(m.id + "  "), std::string::npos) << m.id;
    EXPECT_FALSE(std::filesystem::exists(Output("Tallyport/Messages.ndx"))) << "nothing exported";
}

TEST_F(SelectionCommands, AnUnknownPathIsAUsageErrorNamingItAndNothingIsProcessed) {
    CliResult r = Run({"backup", "--select", "SMS/Inbox", "SMS/Nowhere", "0123"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("SMS/Nowhere"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("0123"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(Output("Tallymere/Messages.dat")));
    EXPECT_FALSE(std::filesystem::exists(Output("Tallymere/Messages.ndx")));

    EXPECT_EQ(Run({"export"}).status, 2) << "neither --select nor --list";
    EXPECT_EQ(Run({"export", "--list", "--select", "SMS"}).status, 2);
    EXPECT_EQ(Run({"backup", "--select"}).status, 2);
}

}  // namespace
