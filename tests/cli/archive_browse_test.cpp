// archive list / show / export-xml, restore --select and --dry-run, run as a user runs them;
// and the way of the archive to another phone and back: export-xml --all, then device import
// into an empty device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cli_background.h"
#include "cli_runner.h"
#include "device_fixture.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CliResult;
using Json = nlohmann::json;

class ArchiveBrowse : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = testing_support::MakeTempDir("tallymere-arc-");
        device_ = (base_ / "device").string();
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    CliResult Run(std::vector<std::string> args, const std::string& device = "") {
        args.insert(args.begin(), {"--device", device.empty() ? device_ : device});
        return testing_support::RunCli(args);
    }
    std::vector<std::string> Ids(const std::string& folder) {
        const std::string listing = Run({"device", "list", folder}).out;
        std::vector<std::string> ids;
        for (std::size_t at = 0; at + 40 <= listing.size(); at = listing.find('\n', at) + 1) {
            ids.push_back(listing.substr(at, 40));
            if (listing.find('\n', at) == std::string::npos) break;
        }
        return ids;
    }
    std::filesystem::path Archive() const { return base_ / "device/Program Files/Tallymere/Tallymere"; }

    std::filesystem::path base_;
    std::string device_;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(ArchiveBrowse, ListAndShowTellPresentFromDeletedAndFindTextInAnyScript) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "30", "--seed", "4"}).status, 0);
    ASSERT_EQ(Run({"device", "deliver", "--from", "+15550199", "--from-name", "Борис", "--body", "ПРИВЕТ из Москвы",
                   "--subject", "ПРИВЕТ из Москвы", "--time", "2030-01-02T03:04:05Z"})
                  .status,
              0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    const std::vector<std::string> inbox = Ids("SMS/Inbox");
    ASSERT_GE(inbox.size(), 2u);
    ASSERT_EQ(Run({"device", "delete", inbox[0]}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);

    CliResult r = Run({"archive", "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("31 archived messages in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(30 present, 1 deleted).\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SMS/Inbox: "), std::string::npos) << r.out;

    r = Run({"archive", "list", "SMS/Inbox", "--deleted"});
    EXPECT_EQ(r.out, inbox[0] + r.out.substr(40, r.out.find('\n') - 40) + "\n1 messages.\n") << r.out;
    EXPECT_NE(r.out.find("  deleted  "), std::string::npos);

    // Letter case is ignored in any script; the match is shown with its time, parties and text.
    r = Run({"archive", "list", "--grep", "привет ИЗ"});
    EXPECT_NE(r.out.find("  present  2030-01-02T03:04:05Z  +15550199 -> -  [SMS/Inbox]  ПРИВЕТ из Москвы\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n1 messages.\n"), std::string::npos) << r.out;

    r = Run({"archive", "list", "SMS/Inbox", "--json"});
    Json j = Json::parse(r.out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["command"], "archive list");
    ASSERT_TRUE(j["messages"].is_array());
    EXPECT_EQ(j["count"], j["messages"].size());
    for (const Json& m : j["messages"]) {
        for (const char* key : {"id", "state", "time", "folder", "from", "to", "subject"})
            EXPECT_TRUE(m.contains(key)) << key;
    }

    // show: the export's lines; an identifier the archive does not hold is a usage error.
    const std::string russian =
        Json::parse(Run({"archive", "list", "--grep", "москв", "--json"}).out)["messages"][0]["id"];
    r = Run({"archive", "show", russian});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 16), "From: +15550199\n") << r.out;
    EXPECT_NE(r.out.find("Subject: ПРИВЕТ из Москвы\n"), std::string::npos) << r.out;
    const std::string unknown(40, 'f');
    r = Run({"archive", "show", unknown});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(unknown), std::string::npos) << r.err;
    r = Run({"archive", "show", unknown, "--json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Json::parse(r.out)["status"], 2);
    r = Run({"archive", "list", "SMS/Nowhere"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SMS/Nowhere"), std::string::npos) << r.err;
}

TEST_F(ArchiveBrowse, ShowWritesAttachmentsWithoutOverwritingAndADamagedRecordIsSkippedAndCounted) {
    std::filesystem::create_directories(base_ / "files");
    testing_support::WriteHostFile(base_ / "files/photo.jpg", std::string("\xFF\xD8 picture bytes \x00\x01", 19));
    testing_support::WriteHostFile(base_ / "files/x.mms", "mms");
    ASSERT_EQ(Run({"device", "deliver", "--from", "+1555", "--body", "first", "--subject", "first"}).status, 0);
    ASSERT_EQ(Run({"device", "deliver", "--from", "+1556", "--body", "with a photo", "--attach",
                   (base_ / "files/photo.jpg").string(), "--mms", (base_ / "files/x.mms").string()})
                  .status,
              0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    const Json listed = Json::parse(Run({"archive", "list", "--grep", "photo", "--json"}).out);
    const std::string id = listed["messages"][0]["id"];
    const std::string dir = device_ + "/My Documents/saved";
    for (int n = 0; n < 2; ++n) {
        const CliResult r = Run({"archive", "show", id, "--attachments", dir});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Attachment: photo.jpg (19 bytes) written to"), std::string::npos) << r.out;
    }
    EXPECT_EQ(testing_support::ReadHostFile(std::filesystem::path(dir) / "photo.jpg").size(), 19u);
    EXPECT_EQ(testing_support::ReadHostFile(std::filesystem::path(dir) / "photo_2.jpg").size(), 19u);
    // A directory outside the device folder is refused, nothing written.
    EXPECT_EQ(Run({"archive", "show", id, "--attachments", (base_ / "elsewhere").string()}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(base_ / "elsewhere"));

    // The first record's identifier size is damaged: it is passed over and counted everywhere.
    {
        std::fstream data(Archive() / "Messages.dat", std::ios::in | std::ios::out | std::ios::binary);
        data.seekp(0);
        data.write("\x07\x00\x00\x00", 4);
    }
    CliResult r = Run({"archive", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1 archived messages in 1 folders"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 archived messages could not be read.\n"), std::string::npos) << r.out;
    EXPECT_EQ(Json::parse(Run({"archive", "list", "--json"}).out)["unreadable"], 1);
    r = Run({"archive", "export-xml", device_ + "/out.xml", "--all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 messages written to"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 archived messages could not be read.\n"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(device_ + "/out.xml.new"));
}

TEST_F(ArchiveBrowse, RestoreBySelectionAndDryRuns) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "40", "--seed", "9"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    const std::vector<std::string> inbox = Ids("SMS/Inbox");
    const std::vector<std::string> sent = Ids("SMS/Sent Items");
    ASSERT_GE(inbox.size(), 2u);
    ASSERT_GE(sent.size(), 1u);
    for (const std::string& id : {inbox[0], inbox[1], sent[0]}) ASSERT_EQ(Run({"device", "delete", id}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);  // the three are deleted ones now
    const std::string before = Run({"device", "dump"}).out;

    CliResult r = Run({"restore", "normal", "--dry-run"});
    EXPECT_EQ(r.out, "0 messages would be re-created.\n");
    r = Run({"restore", "extra", "--dry-run"});
    EXPECT_EQ(r.out, "SMS/Inbox: 2 messages\nSMS/Sent Items: 1 messages\n3 messages would be re-created.\n");
    r = Run({"restore", "--select", "SMS/Inbox", "--dry-run", "--json"});
    Json j = Json::parse(r.out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["folders"][0]["path"], "SMS/Inbox");
    EXPECT_EQ(Run({"device", "dump"}).out, before) << "a dry run changes nothing";

    // Unknown PATHs: a usage error naming them, nothing restored, no question.
    r = Run({"restore", "--select", "SMS/Inbox", "SMS/Nope", "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--select SMS/Nope"), std::string::npos) << r.err;
    r = Run({"restore"});
    EXPECT_EQ(r.status, 2);
    r = Run({"restore", "extra", "--select", "SMS"});
    EXPECT_EQ(r.status, 2);
    // Not confirmed: cancelled.
    r = Run({"restore", "--select", "SMS/Inbox"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(Run({"device", "dump"}).out, before);

    r = Run({"restore", "--select", "SMS/Inbox", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message restore was successfull. (2 messages)\n");
    EXPECT_EQ(Ids("SMS/Inbox").size(), inbox.size());
    EXPECT_EQ(Ids("SMS/Sent Items").size(), sent.size() - 1) << "only the selection came back";
    r = Run({"restore", "--select", "SMS/Inbox", "--yes", "--json"});
    j = Json::parse(r.out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["count"], 0) << "no duplicates on a second run";
    // By identifier (the archive's, as archive list shows it).
    const Json deleted = Json::parse(Run({"archive", "list", "SMS/Sent Items", "--json"}).out)["messages"];
    std::string gone;
    for (const Json& m : deleted) {
        if (m["state"] == "deleted") gone = m["id"];
    }
    ASSERT_FALSE(gone.empty());
    r = Run({"restore", "--select", gone, "--yes"});
    EXPECT_EQ(r.out, "Message restore was successfull. (1 messages)\n");
    EXPECT_EQ(Ids("SMS/Sent Items").size(), sent.size());
    EXPECT_EQ(Run({"restore", "extra", "--dry-run"}).out, "0 messages would be re-created.\n");
}

TEST_F(ArchiveBrowse, RestoreBySelectionAndDryRunsAreCarriedOutByWatch) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "12", "--seed", "3"}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    const std::vector<std::string> inbox = Ids("SMS/Inbox");
    ASSERT_GE(inbox.size(), 1u);
    ASSERT_EQ(Run({"device", "delete", inbox[0]}).status, 0);
    testing_support::BackgroundCli watch;
    ASSERT_TRUE(watch.Start({"--device", device_, "watch"}, (base_ / "watch-errors.txt").string()));
    ASSERT_NE(watch.ReadLine(30s).find("Watching"), std::string::npos);

    CliResult r = Run({"restore", "extra", "--dry-run"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "SMS/Inbox: 1 messages\n1 messages would be re-created.\n");
    r = Run({"restore", "--select", "SMS/Nope", "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SMS/Nope"), std::string::npos) << r.err;
    r = Run({"restore", "--select", "SMS/Nope", "--yes", "--json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Json::parse(r.out)["status"], 2) << r.out;
    r = Run({"restore", "--select", "SMS", "--yes", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["command"], "restore --select");
    EXPECT_EQ(j["count"], 1);
    EXPECT_EQ(Ids("SMS/Inbox").size(), inbox.size());
    // The archive is read while watch holds the device.
    EXPECT_EQ(Run({"archive", "list"}).status, 0);
    EXPECT_EQ(watch.Stop(SIGTERM, 20s), 0) << testing_support::ReadHostFile(base_ / "watch-errors.txt");
}

// ---- Round trip ----

// The box folder a message lands in on import, from the folder it was archived in.
std::string BoxFolder(const std::string& path) {
    for (const char* box : {"SMS/Sent Items", "SMS/Drafts", "SMS/Outbox", "SMS/Inbox"}) {
        const std::string b = box;
        if (path == b || path.rfind(b + "/", 0) == 0) return b;
    }
    return "SMS/Inbox";
}

std::string Text(const Json& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

// What must come back of a message: text, subject, the other parties, time (milliseconds,
// the file's unit), read state, attachments' names and bytes.
std::string Fingerprint(const Json& m, const std::string& folder) {
    const bool mms = m["message_class"] == "IPM.MMS" || !m["attachments"].empty();
    const bool received = folder == "SMS/Inbox";
    Json print{{"folder", folder},
               {"body", Text(m["body"])},
               {"subject", Text(m["subject"])},
               {"ms", m["delivery_time"].get<std::uint64_t>() / 10000},
               {"read", (m["message_flags"].get<std::uint64_t>() & 1) != 0}};
    std::set<std::string> parties;
    if (mms || received) parties.insert("from " + Text(m["sender_email"]) + " " + Text(m["sender_name"]));
    if (mms || !received) {
        for (const Json& r : m["recipients"]) {
            parties.insert("to " + Text(r["email"]) + " " + Text(r["display_name"]) + " " +
                           std::to_string(r["type"].get<int>()));
        }
    }
    print["parties"] = parties;
    Json files = Json::array();
    for (const Json& a : m["attachments"]) files.push_back(Text(a["filename"]) + " " + Text(a["sha256"]));
    print["attachments"] = files;
    return print.dump();
}

std::multiset<std::string> Fingerprints(const std::string& dump, bool boxes) {
    std::multiset<std::string> prints;
    const Json parsed = Json::parse(dump);
    for (const Json& store : parsed["stores"]) {
        for (const Json& folder : store["folders"]) {
            const std::string path = folder["path"];
            for (const Json& m : folder["messages"]) prints.insert(Fingerprint(m, boxes ? BoxFolder(path) : path));
        }
    }
    return prints;
}

TEST_F(ArchiveBrowse, AnExportedArchiveImportedIntoAnEmptyDeviceGivesBackEveryMessage) {
    ASSERT_EQ(Run({"device", "seed", "--messages", "150", "--seed", "21"}).status, 0);
    std::filesystem::create_directories(base_ / "files");
    testing_support::WriteHostFile(base_ / "files/clip.3gp", std::string("\x00\x00\x00\x18"
                                                                         "ftyp3gp4 video",
                                                                         18));
    testing_support::WriteHostFile(base_ / "files/card.vcf", "BEGIN:VCARD\nFN:Ann & <Bob>\nEND:VCARD\n");
    testing_support::WriteHostFile(base_ / "files/x.mms", "mms");
    const std::string rtl = "שלום, מה שלומך? مرحبا بك 👋\n\"quoted\" & <tagged>\tend";
    const std::vector<std::vector<std::string>> crafted = {
        // Right-to-left text with emoji, a line feed, a tab and XML's own characters.
        {"--from", "+972501234567", "--from-name", "דני", "--to", "+15550100", "--body", rtl, "--subject", rtl,
         "--time", "2021-05-06T07:08:09Z", "--read"},
        // A group text sent to three, one without a name.
        {"--folder", "SMS/Sent Items", "--from", "+15550100", "--to", "+15551110001=Ann Lee", "--to",
         "+15551110002=Zoë 😀", "--to", "+15551110003", "--body", "Dinner at 8 🍝", "--subject", "Dinner at 8 🍝",
         "--time", "2022-01-01T20:00:00Z", "--read"},
        // Empty bodies: an SMS and an MMS with only attachments.
        {"--from", "+15552220000", "--body", "", "--time", "2022-02-02T02:02:02Z"},
        {"--folder", "SMS/Inbox/Family", "--from", "+15553330000", "--from-name", "Mom", "--to", "+15550100", "--to",
         "+15554440000=Dad", "--attach", (base_ / "files/clip.3gp").string(), "--attach",
         (base_ / "files/card.vcf").string(), "--mms", (base_ / "files/x.mms").string(), "--time",
         "2023-03-03T03:03:03Z"},
        // A group MMS sent, with a subject and a text.
        {"--folder", "SMS/Sent Items", "--from", "+15550100", "--to", "+15551110001=Ann Lee", "--to",
         "+15551110002=Zoë 😀", "--subject", "Фото 📷", "--body", "Смотри!", "--attach",
         (base_ / "files/clip.3gp").string(), "--mms", (base_ / "files/x.mms").string(), "--time",
         "2023-04-04T04:04:04Z", "--read"},
    };
    for (std::vector<std::string> args : crafted) {
        args.insert(args.begin(), {"device", "deliver"});
        const CliResult r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const std::string before = Run({"device", "dump"}).out;
    ASSERT_EQ(Run({"backup-all"}).status, 0);
    // Deleted messages go along with --all.
    const std::size_t work = Ids("SMS/Inbox/Work").size();
    ASSERT_GT(work, 0u);
    for (const std::string& id : Ids("SMS/Inbox/Work")) ASSERT_EQ(Run({"device", "delete", id}).status, 0);
    ASSERT_EQ(Run({"backup-all"}).status, 0);

    const std::string file = device_ + "/My Documents/messages.xml";
    CliResult r = Run({"archive", "export-xml", file, "--all", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json written = Json::parse(r.out);
    EXPECT_EQ(written["count"], 155);
    EXPECT_EQ(written["status"], 0);
    const std::string xml = testing_support::ReadHostFile(file);
    EXPECT_EQ(Count(xml, "<sms ") + Count(xml, "<mms "), 155u);
    EXPECT_NE(xml.find("count=\"155\""), std::string::npos);
    EXPECT_NE(xml.find("👋"), std::string::npos) << "emoji written as themselves";

    const std::string other = (base_ / "new-phone").string();
    r = Run({"device", "import", file}, other);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("155 messages imported"), std::string::npos) << r.out;
    const std::multiset<std::string> expected = Fingerprints(before, true);
    const std::multiset<std::string> got = Fingerprints(Run({"device", "dump"}, other).out, false);
    EXPECT_EQ(expected.size(), 155u);
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << "missing " << missing.size() << ", e.g. " << (missing.empty() ? "" : missing[0]) << "\nextra "
        << extra.size() << ", e.g. " << (extra.empty() ? "" : extra[0]);

    // The default takes the messages present at the latest full backup; --select chooses.
    r = Run({"archive", "export-xml", file});
    EXPECT_NE(r.out.find(std::to_string(155 - work) + " messages written"), std::string::npos);
    r = Run({"archive", "export-xml", file, "--select", "SMS/Inbox/Family"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run({"archive", "export-xml", file, "--select", "SMS/Nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SMS/Nope"), std::string::npos);
    r = Run({"archive", "export-xml", (base_ / "outside.xml").string()});
    EXPECT_EQ(r.status, 2);
}

}  // namespace
