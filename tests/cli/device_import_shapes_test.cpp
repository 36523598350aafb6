// `tallymere-cli device import` on files as writers other than the phone's backup apps make
// them, and `--mirror` for a new full backup of the same phone.
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
namespace fs = std::filesystem;

const std::string kPrefix = "tallymere-cli: device import: ";

std::string Sms(const std::string& date, const std::string& body, const std::string& address = "+15550100") {
    return "<sms address=\"" + address + "\" date=\"" + date + "\" type=\"1\" body=\"" + body + "\" read=\"1\" />\n";
}

// An MMS from +15550100 at `date` with one picture of `data` (base64) and no text.
std::string Photo(const std::string& date, const std::string& data) {
    return "<mms date=\"" + date +
           "\" msg_box=\"1\" sub=\"null\" read=\"1\"><parts>"
           "<part ct=\"image/jpeg\" name=\"null\" cl=\"image.jpg\" text=\"null\" data=\"" +
           data +
           "\" />"
           "<part ct=\"text/plain\" text=\"null\" /></parts>"
           "<addrs><addr address=\"+15550100\" type=\"137\" /></addrs></mms>\n";
}

class ImportShapes : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-shapes-");
        device_ = (base_ / "device").string();
        testing_support::ProvisionDevice(device_);
    }
    void TearDown() override { fs::remove_all(base_); }

    std::string File(const std::string& name, const std::string& body, const std::string& root = "<smses>") {
        const fs::path path = base_ / name;
        testing_support::WriteHostFile(path, "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n" + root +
                                                 "\n" + body +
                                                 (body.find("CUT") == std::string::npos ? "</smses>\n" : ""));
        return path.string();
    }
    CliResult Import(std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", device_, "device", "import"});
        return RunCli(args);
    }
    // The bodies (or subjects) of the inbox's messages with their attachment counts, in order.
    std::vector<std::string> Inbox() {
        const CliResult r = RunCli({"--device", device_, "device", "dump"});
        std::vector<std::string> all;
        const Json dump = Json::parse(r.out);
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                if (folder["path"] != "SMS/Inbox") continue;
                for (const Json& m : folder["messages"]) {
                    all.push_back((m["body"].is_string() ? m["body"].get<std::string>() : "") + "/" +
                                  std::to_string(m["attachments"].size()));
                }
            }
        }
        return all;
    }

    fs::path base_;
    std::string device_;
};

TEST_F(ImportShapes, IdenticalLookingMessagesAreAllImportedAndOnlyOnce) {
    // A burst of photos in one second without text, two of them the same picture; and two
    // equal SMS.
    const std::string burst =
        File("burst.xml", Photo("1700000000", "AAEC") + Photo("1700000000", "AwQF") + Photo("1700000000", "AAEC") +
                              Sms("1700000001000", "ok") + Sms("1700000001000", "ok"));
    CliResult r = Import({burst});
    EXPECT_EQ(r.out, "5 messages imported (2 SMS, 3 MMS), 0 already present, 0 skipped\n") << r.err;
    r = Import({burst});
    EXPECT_EQ(r.out, "0 messages imported (0 SMS, 0 MMS), 5 already present, 0 skipped\n") << r.err;
    // A third copy of the SMS in another file: the folder holds two, so the third is new.
    const std::string more = File("more.xml", Sms("1700000001000", "ok") + Sms("1700000001000", "ok") +
                                                  Sms("1700000001000", "ok") + Photo("1700000000", "AwQF"));
    r = Import({more});
    EXPECT_EQ(r.out, "1 messages imported (1 SMS, 0 MMS), 3 already present, 0 skipped\n") << r.err;
    EXPECT_EQ(Inbox().size(), 6u);
}

TEST_F(ImportShapes, CarelessXmlIsReadLenientlyAndAnnouncedOrRefusedWhenStrict) {
    const std::string careless =
        File("careless.xml", Sms("1700000000000", "Caf&eacute; &rsquo;n&rsquo; bar") +
                                 Sms("1700000001000", "fish & chips <3") +
                                 Sms("1700000002000", "she said \"hi\" to me") + Sms("1700000003000", "two\nlines"));
    CliResult r = Import({"--strict", careless});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kPrefix + careless +
                         ": import stopped at line 3: 0 messages imported before it; the file is not well-formed "
                         "XML at line 3: <sms address=\"+15550100\" date=\"170000000\n");
    r = Import({careless});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "4 messages imported (4 SMS, 0 MMS), 0 already present, 0 skipped; 7 places in the file were not "
              "well-formed XML and were read leniently (first at line 3)\n");
    EXPECT_EQ(Inbox(), (std::vector<std::string>{"Café ’n’ bar/0", "fish & chips <3/0", "she said \"hi\" to me/0",
                                                 "two\nlines/0"}));
}

TEST_F(ImportShapes, Utf16FilesAndWhiteSpaceBeforeTheDeclaration) {
    const std::string text =
        "\n  <?xml version='1.0' encoding='UTF-16'?>\n<smses>\n" + Sms("1700000000000", "h\xC3\xA9") + "</smses>\n";
    std::string utf16 = "\xFF\xFE";
    for (const char c : text) {
        // Only ASCII and "é" (U+00E9) in it.
        if (c == '\xC3') continue;
        utf16 += c == '\xA9' ? '\xE9' : c;
        utf16 += '\0';
    }
    testing_support::WriteHostFile(base_ / "utf16.xml", utf16);
    const CliResult r = Import({(base_ / "utf16.xml").string()});
    EXPECT_EQ(r.out, "1 messages imported (1 SMS, 0 MMS), 0 already present, 0 skipped\n") << r.err;
    EXPECT_EQ(Inbox(), std::vector<std::string>{"hé/0"});
}

TEST_F(ImportShapes, ATextOver16MbIsCutWithANoteAndTheRestImported) {
    // 18 bytes of the file, 10 once read: 16 MB are 932,067 of them and 10 bytes of the next,
    // which end inside "&amp;", so the cut falls before it.
    const std::string piece = "caf\xC3\xA9 &amp; &#10;x";
    std::string body, expected;
    for (int i = 0; i < 932067; ++i) expected += "caf\xC3\xA9 & \nx";
    expected += "caf\xC3\xA9 ";
    while (body.size() < 17u * 1024 * 1024) body += piece;
    const std::string file =
        File("long.xml", Sms("1700000000000", "before") + Sms("1700000001000", body) + Sms("1700000002000", "after"));
    const CliResult r = Import({file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3 messages imported (3 SMS, 0 MMS), 0 already present, 0 skipped\n");
    EXPECT_EQ(r.err, kPrefix + file + ": line 4: its attribute \"body\" is longer than 16 MB and was cut there\n");
    const std::vector<std::string> inbox = Inbox();
    ASSERT_EQ(inbox.size(), 3u);
    EXPECT_EQ(inbox[0], "before/0");
    EXPECT_TRUE(inbox[1] == expected + "/0")
        << inbox[1].size() << " bytes, ending " << inbox[1].substr(inbox[1].size() - 20);
    EXPECT_EQ(inbox[2], "after/0");
}

TEST_F(ImportShapes, LongSubjectsAndMmsTextsAreStoredExactlyAndFoundPresentAgain) {
    // Long enough to be kept as the file's UTF-8 and written in pieces; mixed scripts, a
    // reference and a line break in them.
    std::string text, expected;  // as the file has it, and as it reads
    for (int i = 0; text.size() < 1'200'000; ++i) {
        text += "caf\xC3\xA9 \xD0\xB6 \xF0\x9F\x98\x80 &amp; " + std::to_string(i) + "&#10;";
        expected += "caf\xC3\xA9 \xD0\xB6 \xF0\x9F\x98\x80 & " + std::to_string(i) + "\n";
    }
    const std::string mms = "<mms date=\"1700000001000\" msg_box=\"1\" read=\"1\" sub=\"" + text +
                            "\"><parts><part ct=\"text/plain\" text=\"" + text +
                            "\" /><part ct=\"text/plain\" text=\"two\" /></parts>"
                            "<addrs><addr address=\"+15550100\" type=\"137\" /></addrs></mms>\n";
    const std::string single =
        "<mms date=\"1700000002000\" msg_box=\"1\" read=\"1\" sub=\"null\"><parts>"
        "<part ct=\"text/plain\" text=\"" +
        text + "\" /></parts><addrs><addr address=\"+15550100\" type=\"137\" /></addrs></mms>\n";
    const std::string file =
        File("long-subjects.xml", "<sms address=\"+15550100\" date=\"1700000000000\" type=\"1\" subject=\"" + text +
                                      "\" body=\"short\" read=\"1\" />\n" + mms + single);
    CliResult r = Import({file});
    EXPECT_EQ(r.out, "3 messages imported (1 SMS, 2 MMS), 0 already present, 0 skipped\n") << r.err;
    const Json dump = Json::parse(RunCli({"--device", device_, "device", "dump"}).out);
    std::vector<std::pair<std::string, std::string>> inbox;
    for (const Json& folder : dump["stores"][0]["folders"]) {
        if (folder["path"] != "SMS/Inbox") continue;
        for (const Json& m : folder["messages"]) inbox.emplace_back(m["subject"], m["body"]);
    }
    ASSERT_EQ(inbox.size(), 3u);
    EXPECT_TRUE(inbox[0].first == expected) << inbox[0].first.size();
    EXPECT_EQ(inbox[0].second, "short");
    EXPECT_TRUE(inbox[1].first == expected) << inbox[1].first.size();
    EXPECT_TRUE(inbox[1].second == expected + "\ntwo") << inbox[1].second.size();
    EXPECT_TRUE(inbox[2].second == expected) << inbox[2].second.size();

    r = Import({file});
    EXPECT_EQ(r.out, "0 messages imported (0 SMS, 0 MMS), 3 already present, 0 skipped\n") << r.err;
}

TEST_F(ImportShapes, AMessageWithoutAReadableDateHasNoTimeAndANote) {
    const std::string file = File("dates.xml", Sms("someday", "a") + Sms("someday", "a"));
    const CliResult r = Import({file});
    EXPECT_EQ(r.out, "2 messages imported (2 SMS, 0 MMS), 0 already present, 0 skipped\n");
    EXPECT_EQ(r.err, kPrefix + file + ": line 3: <sms> imported without a time: its date \"someday\" cannot be read\n" +
                         kPrefix + file +
                         ": line 4: <sms> imported without a time: its date \"someday\" cannot be read\n");
    const Json dump = Json::parse(RunCli({"--device", device_, "device", "dump"}).out);
    for (const Json& folder : dump["stores"][0]["folders"]) {
        for (const Json& m : folder["messages"]) {
            EXPECT_TRUE(m["delivery_time"].is_null());
            EXPECT_EQ(m["last_modification_time"], 0);  // not the moment of the import
        }
    }
}

TEST_F(ImportShapes, MirrorDeletesWhatTheNewFullBackupNoLongerHolds) {
    const std::string full = "<smses count=\"3\" type=\"full\">";
    const std::string first = File("first.xml",
                                   Sms("1700000000000", "one") + Sms("1700000001000", "two") +
                                       Sms("1700000002000", "three") + Sms("1700000002000", "three"),
                                   full);
    EXPECT_EQ(Import({first}).status, 0);
    // A message of another folder is not the file's to delete.
    EXPECT_EQ(RunCli({"--device", device_, "device", "deliver", "--folder", "SMS/Drafts", "--body", "draft"}).status,
              0);

    const std::string partial = File("partial.xml", Sms("1700000000000", "one"), "<smses>");
    CliResult r = Import({"--mirror", partial});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a full backup (its root element does not say type=\"full\")"), std::string::npos)
        << r.err;
    EXPECT_EQ(Inbox().size(), 4u);

    const std::string cut = File("cut.xml", Sms("1700000000000", "one") + "<sms CUT", full);
    r = Import({"--mirror", cut});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("it is cut off; 0 messages imported before it; nothing deleted"), std::string::npos) << r.err;
    EXPECT_EQ(Inbox().size(), 4u);

    const std::string second = File(
        "second.xml", Sms("1700000000000", "one") + Sms("1700000002000", "three") + Sms("1700000003000", "four"), full);
    r = Import({"--mirror", second});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 messages imported (1 SMS, 0 MMS), 2 already present, 0 skipped, 2 deleted as on the phone\n");
    EXPECT_EQ(Inbox(), (std::vector<std::string>{"one/0", "three/0", "four/0"}));

    r = Import({"--mirror", "--force", partial});
    EXPECT_EQ(r.out, "0 messages imported (0 SMS, 0 MMS), 1 already present, 0 skipped, 2 deleted as on the phone\n")
        << r.err;
    EXPECT_EQ(Inbox(), std::vector<std::string>{"one/0"});
    const Json dump = Json::parse(RunCli({"--device", device_, "device", "dump"}).out);
    bool draft = false;
    for (const Json& folder : dump["stores"][0]["folders"])
        draft = draft || (folder["path"] == "SMS/Drafts" && folder["messages"].size() == 1);
    EXPECT_TRUE(draft);
}

}  // namespace
