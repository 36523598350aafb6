// `tallymere-cli device import` on small backup files written by the test: messages that must be
// told apart, and texts that must read back as the phone wrote them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using testing_support::CliResult;
using Json = nlohmann::json;
namespace fs = std::filesystem;

class ImportMessages : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-import-messages-");
        device_ = (base_ / "device").string();
        testing_support::ProvisionDevice(device_);
    }
    void TearDown() override { fs::remove_all(base_); }

    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_});
        return testing_support::RunCli(args);
    }
    // Imports a backup file holding `messages` below its root element.
    CliResult Import(const std::string& messages) {
        const fs::path file = base_ / ("backup" + std::to_string(++files_) + ".xml");
        testing_support::WriteHostFile(
            file, "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n<smses>\n" + messages + "</smses>\n");
        return Run({"device", "import", file.string()});
    }
    // Every message of the phone, in folder order.
    std::vector<Json> Messages() {
        const CliResult r = Run({"device", "dump"});
        EXPECT_EQ(r.status, 0) << r.err;
        const Json dump = Json::parse(r.out);
        std::vector<Json> all;
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (const Json& m : folder["messages"]) all.push_back(m);
            }
        }
        return all;
    }

    fs::path base_;
    std::string device_;
    int files_ = 0;
};

// The same words sent at the same moment to two people are two messages, not one found twice.
TEST_F(ImportMessages, TwoMessagesThatDifferOnlyInTheirRecipientsAreBothImported) {
    const std::string messages =
        R"(<sms address="+15550101" date="1700000000000" type="2" body="See you at eight" read="1" />
<sms address="+15550102" date="1700000000000" type="2" body="See you at eight" read="1" />
<mms date="1700000100000" msg_box="2" read="1"><parts><part ct="text/plain" text="Party!" /></parts>
  <addrs><addr address="+15550201" type="151" /><addr address="+15550202" type="151" /></addrs></mms>
<mms date="1700000100000" msg_box="2" read="1"><parts><part ct="text/plain" text="Party!" /></parts>
  <addrs><addr address="+15550201" type="151" /><addr address="+15550203" type="151" /></addrs></mms>
)";
    CliResult r = Import(messages);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4 messages imported (2 SMS, 2 MMS), 0 already present, 0 skipped\n");
    const std::vector<Json> all = Messages();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]["recipients"][0]["email"], "+15550101");
    EXPECT_EQ(all[1]["recipients"][0]["email"], "+15550102");
    r = Import(messages);
    EXPECT_EQ(r.out, "0 messages imported (0 SMS, 0 MMS), 4 already present, 0 skipped\n");
}

// A text part in Latin-1 given as base64 data keeps its accents; of two sender addresses the
// first is the sender; a character written as two character references of its UTF-16 halves
// is that character, up to the last one there is.
TEST_F(ImportMessages, TextsReadBackAsThePhoneWroteThem) {
    // "Café crème brûlée" in ISO-8859-1.
    const CliResult r = Import(R"(<mms date="1700000200000" msg_box="1" read="1">
  <parts><part ct="text/plain" chset="4" data="Q2Fm6SBjcuhtZSBicvts6WU=" /></parts>
  <addrs><addr address="+15550111" type="137" /><addr address="+15550222" type="137" />
    <addr address="+15550999" type="151" /></addrs></mms>
<sms address="+15550300" date="1700000300000" type="1" body="Last &#56319;&#57343; one" read="1" />
)");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<Json> all = Messages();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["body"], "Café crème brûlée");
    EXPECT_EQ(all[0]["sender_email"], "+15550111");
    EXPECT_EQ(all[0]["recipients"].size(), 1u);
    EXPECT_EQ(all[1]["body"], "Last \U0010FFFF one");
}

}  // namespace
