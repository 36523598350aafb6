// `tallymere-cli device import` run as a user runs it, on the backup files in tests/data/import,
// checked against what `device dump` and the program's backup and export make of the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "device_fixture.h"
#include "platform/time.h"

namespace {

using testing_support::CliResult;
using testing_support::ReadHostFile;
using testing_support::RunCli;
using Json = nlohmann::json;
namespace fs = std::filesystem;

const std::string kData = TALLYMERE_TEST_DATA "/import/";
const std::string kPrefix = "tallymere-cli: device import: ";

std::uint64_t TicksOfMs(std::int64_t ms) {
    return platform::ToTicks(platform::FromUnixTime(ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 10000));
}

class DeviceImport : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-import-");
        device_ = (base_ / "device").string();
        testing_support::ProvisionDevice(device_);
    }
    void TearDown() override { fs::remove_all(base_); }

    CliResult Run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), {"--device", device_});
        return RunCli(args, env);
    }
    CliResult Import(const std::vector<std::string>& files, const std::vector<std::string>& env = {}) {
        std::vector<std::string> args = {"device", "import"};
        for (const std::string& f : files) args.push_back(kData + f);
        return Run(args, env);
    }
    Json Dump() {
        const CliResult r = Run({"device", "dump"});
        EXPECT_EQ(r.status, 0) << r.err;
        return Json::parse(r.out);
    }
    // Every message by its body (or subject when it has none), with its folder in "folder".
    std::map<std::string, Json> Messages() {
        std::map<std::string, Json> all;
        const Json dump = Dump();
        for (const Json& store : dump["stores"]) {
            for (const Json& folder : store["folders"]) {
                for (Json m : folder["messages"]) {
                    m["folder"] = folder["path"];
                    const std::string key =
                        m["body"].is_string() ? m["body"].get<std::string>() : m["subject"].get<std::string>();
                    EXPECT_EQ(all.count(key), 0u) << key;
                    all[key] = m;
                }
            }
        }
        return all;
    }

    fs::path base_;
    std::string device_;
};

Json Recipient(int type, const std::string& email, const Json& name = nullptr) {
    return {{"type", type}, {"addrtype", "SMS"}, {"email", email}, {"display_name", name}};
}

TEST_F(DeviceImport, SmsGoIntoTheFolderOfTheirTypeWithSenderRecipientsTimeAndReadState) {
    const CliResult r = Import({"folders.xml"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "10 messages imported (10 SMS, 0 MMS), 0 already present, 3 skipped: see above\n");
    const std::string file = kData + "folders.xml";
    EXPECT_EQ(r.err, kPrefix + file + ": line 12: <sms> skipped: it has neither text nor an address\n" + kPrefix +
                         file + ": line 13: <sms> skipped: unknown message type \"9\"\n" + kPrefix + file +
                         ": line 14: <call> skipped: not a message\n" + kPrefix + file +
                         ": line 15: <sms> imported without a time: it has no date\n");

    auto m = Messages();
    ASSERT_EQ(m.size(), 10u);
    // Received: the other party is the sender, the phone's own side stays empty.
    const Json& ann = m["Hello from Ann"];
    EXPECT_EQ(ann["folder"], "SMS/Inbox");
    EXPECT_EQ(ann["message_class"], "IPM.SMStext");
    EXPECT_EQ(ann["sender_email"], "+15550100");
    EXPECT_EQ(ann["sender_name"], "Ann Example");
    EXPECT_EQ(ann["recipients"], Json::array());
    EXPECT_EQ(ann["subject"], "Hello from Ann");
    EXPECT_EQ(ann["delivery_time"], TicksOfMs(1700000000123));
    EXPECT_EQ(ann["message_flags"], 1);
    EXPECT_EQ(ann["message_size"], 28);  // the body's UTF-16 bytes, as the store counts them
    EXPECT_EQ(ann["has_attach"], false);
    // Sent, draft, outbox, failed and queued: the other parties are the recipients.
    EXPECT_EQ(m["Sent to Bob"]["folder"], "SMS/Sent Items");
    EXPECT_TRUE(m["Sent to Bob"]["sender_email"].is_null());
    EXPECT_EQ(m["Sent to Bob"]["recipients"], Json::array({Recipient(1, "+15550101", "Bob")}));
    EXPECT_EQ(m["A draft & <nothing> more"]["folder"], "SMS/Drafts");
    EXPECT_EQ(m["A draft & <nothing> more"]["recipients"], Json::array({Recipient(1, "+15550102")}));
    EXPECT_EQ(m["Waiting in the outbox"]["folder"], "SMS/Outbox");
    EXPECT_EQ(m["Waiting in the outbox"]["recipients"],
              Json::array({Recipient(1, "+15550103", "Cy"), Recipient(1, "+15550104", "Di")}));
    EXPECT_EQ(m["Failed to send"]["folder"], "SMS/Outbox");
    EXPECT_EQ(m["Failed to send"]["message_flags"], 0);
    // One name for two numbers fits neither.
    EXPECT_EQ(m["Failed to send"]["recipients"], Json::array({Recipient(1, "+15550105"), Recipient(1, "+15550106")}));
    EXPECT_EQ(m["Queued"]["folder"], "SMS/Outbox");
    // Missing and "null" attributes: no text, no name, no address, no time, unread.
    const Json& empty = m[""];
    EXPECT_EQ(empty["sender_email"], "+15550108");
    EXPECT_TRUE(empty["sender_name"].is_null());
    EXPECT_TRUE(empty["body"].is_null());
    EXPECT_EQ(empty["message_flags"], 0);
    EXPECT_TRUE(m["No address, kept"]["sender_email"].is_null());
    EXPECT_EQ(m["No address, kept"]["message_flags"], 0);
    EXPECT_TRUE(m["No date"]["delivery_time"].is_null());
    EXPECT_EQ(m["No date"]["last_modification_time"], 0);  // not the moment of the import
    EXPECT_EQ(m["Multi\nline"]["subject"], "Re: lunch");
    EXPECT_EQ(m["Multi\nline"]["last_modification_time"], TicksOfMs(1700000660000));
}

TEST_F(DeviceImport, MmsTextIsTheBodyAndEveryOtherPartAnAttachment) {
    const CliResult r = Import({"mms.xml", "group.xml"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4 messages imported (0 SMS, 4 MMS), 0 already present, 2 skipped: see above\n");
    const std::string file = kData + "mms.xml";
    EXPECT_EQ(r.err, kPrefix + file + ": line 33: <mms> skipped: it has neither content nor an address\n" + kPrefix +
                         file + ": line 34: <mms> skipped: the data of its part 1 (line 35) is not base64\n");

    auto m = Messages();
    ASSERT_EQ(m.size(), 4u);
    const Json& photo = m["Look at this\nand this"];
    EXPECT_EQ(photo["folder"], "SMS/Inbox");
    EXPECT_EQ(photo["message_class"], "IPM.MMS");
    EXPECT_EQ(photo["subject"], "Photos");
    EXPECT_EQ(photo["sender_email"], "+15550100");
    EXPECT_EQ(photo["sender_name"], "Ann Example");
    EXPECT_EQ(photo["recipients"], Json::array({Recipient(1, "+15550999")}));  // the phone's own number
    EXPECT_EQ(photo["delivery_time"], TicksOfMs(1700000100000));
    EXPECT_EQ(photo["has_attach"], true);
    const Json& parts = photo["attachments"];
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]["filename"], "smil.xml");
    EXPECT_EQ(parts[0]["size"], 99);
    EXPECT_EQ(parts[1]["filename"], "IMG_0001.jpg");
    EXPECT_EQ(parts[1]["size"], 269);  // base64 wrapped over several lines, decoded whole
    // The store's size: the body's UTF-16 bytes and every attachment.
    EXPECT_EQ(photo["message_size"], 2 * 21 + 99 + 269);

    // A group message with copies, its time in seconds, a part without any name and one whose
    // name carries folders.
    const Json& dinner = m["Dinner at eight?"];
    EXPECT_EQ(dinner["folder"], "SMS/Sent Items");
    EXPECT_TRUE(dinner["sender_email"].is_null());  // the placeholder of the phone's own number
    EXPECT_TRUE(dinner["subject"].is_null() || dinner["subject"] == "");
    EXPECT_EQ(dinner["delivery_time"], TicksOfMs(1700000200000));
    EXPECT_EQ(dinner["recipients"], Json::array({Recipient(1, "+15550200", "Al"), Recipient(1, "+15550201", "Bo"),
                                                 Recipient(1, "+15550202", "Cy"), Recipient(1, "+15550203"),
                                                 Recipient(2, "+15550301"), Recipient(3, "+15550302")}));
    ASSERT_EQ(dinner["attachments"].size(), 2u);
    EXPECT_EQ(dinner["attachments"][0]["filename"], "part2.png");
    EXPECT_EQ(dinner["attachments"][0]["size"], 48);
    EXPECT_EQ(dinner["attachments"][1]["filename"], "contact.vcf");

    EXPECT_EQ(m["Only a subject"]["folder"], "SMS/Drafts");

    // Every recipient of a large group is kept.
    const Json& party = m["Saturday, everyone!"];
    EXPECT_EQ(party["sender_email"], "+15550100");
    ASSERT_EQ(party["recipients"].size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(party["recipients"][i]["email"], "+1555070" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    }
}

TEST_F(DeviceImport, EmojiWrittenAsHalvesAreTheCharactersTheyStandFor) {
    const CliResult r = Import({"emoji.xml"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3 messages imported (3 SMS, 0 MMS), 0 already present, 0 skipped\n");
    EXPECT_EQ(r.err, "");
    auto m = Messages();
    EXPECT_EQ(m.count("Smile 😀 and a pizza 🍕!"), 1u);
    EXPECT_EQ(m.count("Half \uFFFD here, \uFFFD there, bell \uFFFD"), 1u);
    EXPECT_EQ(m.count("Plain 😀 and 😀 are fine"), 1u);
}

TEST_F(DeviceImport, ImportingAgainAddsNothing) {
    ASSERT_EQ(Import({"folders.xml", "mms.xml"}).status, 0);
    const Json before = Dump();
    const CliResult again = Import({"mms.xml", "folders.xml"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "0 messages imported (0 SMS, 0 MMS), 13 already present, 5 skipped: see above\n");
    EXPECT_EQ(Dump(), before);

    // Into a store that has another message at the same time; then the same file again.
    fs::remove_all(device_);
    ASSERT_EQ(Run({"device", "deliver", "--from", "+15550100", "--body", "Another text", "--time",
                   "2023-11-14T22:13:20.123Z"})
                  .status,
              0);
    const CliResult first = Import({"emoji.xml", "folders.xml"});
    EXPECT_EQ(first.out, "13 messages imported (13 SMS, 0 MMS), 0 already present, 3 skipped: see above\n")
        << first.err;
    const CliResult twice = Import({"folders.xml"});
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(twice.out, "0 messages imported (0 SMS, 0 MMS), 10 already present, 3 skipped: see above\n");
    EXPECT_EQ(Messages().size(), 14u);
}

TEST_F(DeviceImport, DamagedOrForeignFilesStopWithFileLineAndCount) {
    struct Case {
        const char* file;
        std::string error;
        std::string summary;
    };
    const Case cases[] = {
        {"truncated.xml",
         "import stopped at line 8: the file ends in the middle of an element (unclosed token): it is cut off; "
         "2 messages imported before it",
         "2 messages imported (2 SMS, 0 MMS), 0 already present, 0 skipped"},
        {"not_xml.csv",
         "import stopped at line 1: not an SMS/MMS backup file (syntax error); 0 messages imported before it",
         "0 messages imported (0 SMS, 0 MMS), 0 already present, 0 skipped"},
        {"calls.xml",
         "import stopped at line 2: not an SMS/MMS backup file (its root element is <calls>, not <smses>); "
         "0 messages imported before it",
         "0 messages imported (0 SMS, 0 MMS), 0 already present, 0 skipped"},
    };
    for (const Case& c : cases) {
        fs::remove_all(device_);
        testing_support::ProvisionDevice(device_);
        const CliResult r = Import({c.file, "emoji.xml"});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.err, kPrefix + kData + c.file + ": " + c.error + "\n") << c.file;
        EXPECT_EQ(r.out, c.summary + "\n") << c.file;
    }
    // What was read before the damage is in the store; the cut-off message is not.
    auto m = Messages();
    EXPECT_EQ(m.size(), 0u);
    fs::remove_all(device_);
    ASSERT_EQ(Import({"truncated.xml"}).status, 1);
    m = Messages();
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m.count("First"), 1u);
    EXPECT_EQ(m.count("Second"), 1u);

    // A missing file is refused before anything is imported.
    const CliResult missing = Import({"emoji.xml", "no-such-file.xml"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, kPrefix + "cannot read file \"" + kData + "no-such-file.xml\"\n");
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Run({"device", "import"}).status, 2);
}

TEST_F(DeviceImport, AMessageTheStoreRefusesIsNotLeftHalfWritten) {
    // The second attachment of the first MMS is refused: that message goes, the import stops.
    const CliResult r = Import({"emoji.xml", "mms.xml"}, {"TALLYMERE_FAULTS=CreateAttach:2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kPrefix + kData + "mms.xml: import stopped at line 4: the message store refused CreateAttach; " +
                         "0 messages imported before it\n");
    EXPECT_EQ(r.out, "3 messages imported (3 SMS, 0 MMS), 0 already present, 0 skipped\n");
    auto m = Messages();
    EXPECT_EQ(m.size(), 3u);
    EXPECT_EQ(m.count("Look at this\nand this"), 0u);
    // Imported again without the fault, everything is there once.
    const CliResult again = Import({"emoji.xml", "mms.xml"});
    EXPECT_EQ(again.out, "3 messages imported (0 SMS, 3 MMS), 3 already present, 2 skipped: see above\n");
    EXPECT_EQ(Messages().size(), 6u);
}

// The process ends abruptly while a message is half written: nothing of that message stays.
TEST_F(DeviceImport, ACrashInTheMiddleOfAMessageLeavesNoPartOfIt) {
    const CliResult crashed = Import({"emoji.xml", "mms.xml"}, {"TALLYMERE_FAULTS=CreateAttach:2!"});
    EXPECT_EQ(crashed.status, 86);
    auto m = Messages();
    EXPECT_EQ(m.size(), 3u);
    EXPECT_EQ(m.count("Look at this\nand this"), 0u);
    const CliResult again = Import({"emoji.xml", "mms.xml"});
    EXPECT_EQ(again.out, "3 messages imported (0 SMS, 3 MMS), 3 already present, 2 skipped: see above\n");
    m = Messages();
    EXPECT_EQ(m.size(), 6u);
    EXPECT_EQ(m["Look at this\nand this"]["attachments"].size(), 2u);
}

// A twenty-recipient group message once ended the backup with "MAX_RECIPIENT exeed.".
TEST_F(DeviceImport, BackupAndExportTakeAGroupMessageWithAllItsRecipients) {
    ASSERT_EQ(Import({"group.xml"}).status, 0);
    const CliResult backup = Run({"backup-all"});
    EXPECT_EQ(backup.out, "Message backup was successfull. (1 messages)\n") << backup.err;
    const CliResult exported = Run({"export-all"});
    EXPECT_EQ(exported.out, "1 messages exported successfully.\n") << exported.err;
    const fs::path sent = base_ / "device/Program Files/Tallymere/Tallyport/SMS/Sent Items";
    ASSERT_TRUE(fs::exists(sent));
    for (const auto& entry : fs::directory_iterator(sent)) {
        const std::string text = ReadHostFile(entry.path());
        EXPECT_NE(text.find("To: +155507000, "), std::string::npos) << text;
        EXPECT_NE(text.find(", +155507019\n"), std::string::npos) << text;
    }
}

TEST_F(DeviceImport, BackupAndExportTakeEveryImportedMessageWithItsAttachments) {
    ASSERT_EQ(Import({"folders.xml", "mms.xml", "emoji.xml"}).status, 0);
    const CliResult backup = Run({"backup-all"});
    EXPECT_EQ(backup.status, 0) << backup.err;
    EXPECT_EQ(backup.out, "Message backup was successfull. (16 messages)\n");
    const CliResult exported = Run({"export-all"});
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "16 messages exported successfully.\n");

    // Each message's text file, and beside it the files numbered as it is.
    const fs::path tree = base_ / "device/Program Files/Tallymere/Tallyport";
    std::map<std::string, std::string> texts;                  // file → content
    std::map<std::string, std::set<std::string>> attachments;  // folder/number → attachment names
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (!entry.is_regular_file() || entry.path().filename() == "Messages.ndx") continue;
        const std::string folder = fs::relative(entry.path().parent_path(), tree).string();
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".txt") {
            texts[folder + "/" + name] = ReadHostFile(entry.path());
        } else {
            attachments[folder + "/" + name.substr(0, 3)].insert(name.substr(4));
        }
    }
    EXPECT_EQ(texts.size(), 16u);
    std::map<std::string, int> perFolder;
    for (const auto& [file, text] : texts) ++perFolder[file.substr(0, file.rfind('/'))];
    EXPECT_EQ(perFolder, (std::map<std::string, int>{
                             {"SMS/Inbox", 8}, {"SMS/Sent Items", 3}, {"SMS/Drafts", 2}, {"SMS/Outbox", 3}}));

    const auto find = [&](const std::string& words) {
        for (const auto& [file, text] : texts) {
            if (text.find(words) != std::string::npos) return file;
        }
        return std::string();
    };
    const std::string photo = find("Look at this\nand this");
    ASSERT_FALSE(photo.empty());
    EXPECT_NE(texts[photo].find("From: +15550100\nTo: +15550999\nSubject: Photos\n"), std::string::npos)
        << texts[photo];
    const std::string number = photo.substr(0, photo.rfind('/') + 4);
    EXPECT_EQ(attachments[number], (std::set<std::string>{"smil.xml", "IMG_0001.jpg"}));
    const std::string jpeg = ReadHostFile(tree / (number + "_IMG_0001.jpg"));
    ASSERT_EQ(jpeg.size(), 269u);
    EXPECT_EQ(jpeg.substr(0, 4), "\xFF\xD8\xFF\xE0");
    EXPECT_EQ(ReadHostFile(tree / (number + "_smil.xml")).substr(0, 12), "<smil><body>");

    const std::string dinner = find("Dinner at eight?");
    ASSERT_FALSE(dinner.empty());
    EXPECT_EQ(attachments[dinner.substr(0, dinner.rfind('/') + 4)],
              (std::set<std::string>{"part2.png", "contact.vcf"}));
    const std::string smile = find("Smile 😀 and a pizza 🍕!");
    EXPECT_NE(texts[smile].find("From: +15550100\nTo: \nSubject: Smile 😀"), std::string::npos) << texts[smile];
    // An SMS has nothing beside its text file.
    EXPECT_EQ(attachments.count(smile.substr(0, smile.rfind('/') + 4)), 0u);
}

}  // namespace
