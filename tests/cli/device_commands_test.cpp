// `tallymere-cli device ...` run as the user runs it, against a device folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "mapi_fixture.h"

namespace {

using namespace testing_support;
using Json = nlohmann::json;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result Cli(const std::filesystem::path& device, const std::string& args, const std::string& env = "") {
    const std::filesystem::path errors = device.parent_path() / "stderr.txt";
    const std::string command = env + (env.empty() ? "" : " ") + "'" TALLYMERE_CLI "' --device '" + device.string() +
                                "' " + args + " 2>'" + errors.string() + "'";
    Result result;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadHostFile(errors);
    return result;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Every message of the dump with its folder path.
std::vector<std::pair<std::string, Json>> Messages(const Json& dump) {
    std::vector<std::pair<std::string, Json>> all;
    for (const Json& store : dump["stores"]) {
        for (const Json& folder : store["folders"]) {
            for (const Json& m : folder["messages"]) all.emplace_back(folder["path"].get<std::string>(), m);
        }
    }
    return all;
}

std::uint64_t Ticks(std::int64_t unix) { return platform::ToTicks(platform::FromUnixTime(unix)); }

class CliDevice : public DeviceTest {
protected:
    Result Run(const std::string& args, const std::string& env = "") { return Cli(device_, args, env); }
    Json Dump() {
        Result r = Run("device dump");
        EXPECT_EQ(r.status, 0) << r.err;
        return Json::parse(r.out);
    }
    std::string Deliver(const std::string& args) {
        Result r = Run("device deliver " + args);
        EXPECT_EQ(r.status, 0) << r.err;
        return Trim(r.out);
    }
};

TEST_F(CliDevice, DeliveredMessageIsListedAndDumped) {
    const std::string id = Deliver(
        "--from +4915112345678 --from-name 'Zoë' --to '+1=Ann' --to +2 --subject 'Grüße' --body 'Hallo 🎉'"
        " --time 2008-03-01T12:13:30Z");
    ASSERT_EQ(id.size(), 40u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);

    const Json dump = Dump();
    ASSERT_EQ(dump["stores"].size(), 1u);
    EXPECT_EQ(dump["stores"][0]["name"], "SMS");
    EXPECT_EQ(dump["stores"][0]["folders"][0]["path"], "SMS");
    EXPECT_EQ(dump["stores"][0]["folders"][1]["path"], "SMS/Inbox");
    auto messages = Messages(dump);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "SMS/Inbox");
    const Json& m = messages[0].second;
    EXPECT_EQ(m["entryid"], id);
    EXPECT_TRUE(m["subject_prefix"].is_null());
    EXPECT_EQ(m["subject"], "Grüße");
    EXPECT_EQ(m["sender_name"], "Zoë");
    EXPECT_EQ(m["sender_email"], "+4915112345678");
    EXPECT_EQ(m["message_flags"], 0);
    EXPECT_EQ(m["message_size"], 16);  // the body's UTF-16 bytes
    EXPECT_EQ(m["delivery_time"], Ticks(1204373610));
    EXPECT_GT(m["last_modification_time"].get<std::uint64_t>(), Ticks(1600000000));
    EXPECT_EQ(m["message_class"], "IPM.SMStext");
    EXPECT_EQ(m["has_attach"], false);
    EXPECT_TRUE(m["content_length"].is_null());
    EXPECT_EQ(m["body"], "Hallo 🎉");
    EXPECT_EQ(m["recipients"], Json::parse(R"([{"type":1,"addrtype":"SMS","email":"+1","display_name":"Ann"},
                                              {"type":1,"addrtype":"SMS","email":"+2","display_name":null}])"));
    EXPECT_EQ(m["attachments"], Json::array());

    Result list = Run("device list SMS/Inbox");
    EXPECT_NE(list.out.find(id + "  2008-03-01T12:13:30Z *  Zoë  Grüße"), std::string::npos) << list.out;
    Result tree = Run("device list");
    EXPECT_NE(tree.out.find("SMS (0)\n  Inbox (1, 1 unread)\n  Sent Items (0)"), std::string::npos) << tree.out;
}

TEST_F(CliDevice, MmsLeavesItsFileStampedWithTheDeliveryTime) {
    const std::filesystem::path mms = base_ / "holiday.mms", photo = base_ / "photo.jpg";
    WriteHostFile(mms, std::string("MMS\0data", 8));
    WriteHostFile(photo, "\xFF\xD8 picture");
    const std::string id = Deliver("--mms '" + mms.string() + "' --attach '" + photo.string() +
                                   "' --read --folder 'SMS/Sent Items' --time 2008-07-04T10:13:30.900Z");
    const std::filesystem::path kept = Host("My Documents/UAContents/MMS UA/holiday.mms");
    ASSERT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(ReadHostFile(kept), std::string("MMS\0data", 8));
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
        std::filesystem::last_write_time(kept).time_since_epoch() -
        std::filesystem::file_time_type::clock::now().time_since_epoch() +
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(static_cast<double>(stamp.count()), 1215166410.0, 1.0);

    const auto messages = Messages(Dump());
    ASSERT_EQ(messages.size(), 1u);
    const Json& m = messages[0].second;
    EXPECT_EQ(m["entryid"], id);
    EXPECT_EQ(m["message_class"], "IPM.MMS");
    EXPECT_EQ(m["message_size"], 8);
    EXPECT_EQ(m["message_flags"], 1);
    EXPECT_EQ(m["has_attach"], true);
    EXPECT_TRUE(m["body"].is_null());
    ASSERT_EQ(m["attachments"].size(), 1u);
    EXPECT_EQ(m["attachments"][0]["filename"], "photo.jpg");
    EXPECT_EQ(m["attachments"][0]["num"], 0);
    EXPECT_EQ(m["attachments"][0]["size"], 10);
    EXPECT_EQ(m["attachments"][0]["method"], 1);
    EXPECT_EQ(m["attachments"][0]["sha256"].get<std::string>().size(), 64u);

    // A second file of that name does not replace the first.
    Deliver("--mms '" + mms.string() + "'");
    EXPECT_TRUE(std::filesystem::exists(Host("My Documents/UAContents/MMS UA/holiday (2).mms")));
}

TEST_F(CliDevice, BodyWithANulCharacterIsKeptWhole) {
    const std::filesystem::path text = base_ / "body.txt";
    WriteHostFile(text, std::string("before\0after", 12));
    Deliver("--body-file '" + text.string() + "'");
    const auto messages = Messages(Dump());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].second["body"], std::string("before\0after", 12));
    EXPECT_EQ(messages[0].second["message_size"], 24);
}

TEST_F(CliDevice, MoveMarkReadDeleteAndNewFolder) {
    const std::string id = Deliver("--body hi");
    Result folder = Run("device new-folder 'SMS/Inbox/Work/2008'");
    ASSERT_EQ(folder.status, 0) << folder.err;
    EXPECT_EQ(Trim(folder.out).size(), 40u);
    ASSERT_EQ(Run("device move " + id + " SMS/Inbox/Work/2008").status, 0);
    ASSERT_EQ(Run("device mark-read " + id).status, 0);
    auto messages = Messages(Dump());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "SMS/Inbox/Work/2008");
    EXPECT_EQ(messages[0].second["entryid"], id);
    EXPECT_EQ(messages[0].second["message_flags"], 1);
    ASSERT_EQ(Run("device delete " + id).status, 0);
    EXPECT_TRUE(Messages(Dump()).empty());
    Result again = Run("device delete " + id);
    EXPECT_NE(again.status, 0);
    EXPECT_EQ(again.err, "tallymere-cli: device delete: no message with identifier " + id + "\n");
}

TEST_F(CliDevice, BadInputIsRefusedInOneLineAndWritesNothing) {
    const std::string id = Deliver("--body kept");
    const Json before = Dump();
    const std::filesystem::path mms = base_ / "x.mms";
    WriteHostFile(mms, "content");
    const std::string unknown(40, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"device deliver --folder SMS/Nope --mms '" + mms.string() + "'", "unknown folder path \"SMS/Nope\""},
        {"device deliver --attach /nonexistent/file", "cannot read file \"/nonexistent/file\""},
        {"device deliver --mms /nonexistent/file", "cannot read file"},
        {"device deliver --body-file /nonexistent/file", "cannot read file"},
        {"device deliver --time 2008-02-30", "invalid time \"2008-02-30\""},
        {"device deliver --to =Ann", "invalid recipient"},
        {"device delete xyz", "malformed identifier \"xyz\""},
        {"device mark-read " + id.substr(2), "malformed identifier"},
        {"device move " + unknown + " SMS/Inbox", "no message with identifier " + unknown},
        {"device move " + id + " SMS/Nope", "unknown folder path"},
        {"device list SMS/Nope", "unknown folder path"},
        {"device new-folder Nope/X", "unknown folder path \"Nope/X\" (no store \"Nope\")"},
        {"device new-folder SMS//X", "invalid folder path"},
    };
    // Each is the command line's mistake: a usage error, status 2.
    for (const auto& [args, words] : cases) {
        Result r = Run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(words), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    }
    // A store that refuses half-way leaves neither message nor MMS file behind.
    Result refused = Run("device deliver --to +1 --mms '" + mms.string() + "'", "TALLYMERE_FAULTS=ModifyRecipients:1");
    EXPECT_EQ(refused.status, 1) << "a failure, not a usage error";
    EXPECT_EQ(Dump(), before);
    EXPECT_TRUE(std::filesystem::is_empty(Host("My Documents/UAContents/MMS UA")));
}

TEST_F(CliDevice, SeedIsDeterministicAndVaried) {
    ASSERT_EQ(Run("device seed --messages 120 --seed 5").status, 0);
    const std::filesystem::path other = base_ / "other";
    ASSERT_EQ(Cli(other, "device seed --messages 120 --seed 5").status, 0);
    const std::filesystem::path third = base_ / "third";
    ASSERT_EQ(Cli(third, "device seed --messages 120 --seed 6").status, 0);
    auto withoutIds = [](std::string text) {
        Json dump = Json::parse(text);
        for (Json& store : dump["stores"]) {
            store.erase("entryid");
            for (Json& folder : store["folders"]) {
                folder.erase("entryid");
                for (Json& m : folder["messages"]) m.erase("entryid");
            }
        }
        return dump;
    };
    const Json mine = withoutIds(Run("device dump").out);
    EXPECT_EQ(mine, withoutIds(Cli(other, "device dump").out));
    EXPECT_NE(mine, withoutIds(Cli(third, "device dump").out));

    std::set<std::string> paths;
    int mms = 0, unread = 0, several = 0;
    std::uint64_t first = UINT64_MAX, last = 0;
    std::string text;
    const auto messages = Messages(Json::parse(Run("device dump").out));
    for (const auto& [path, m] : messages) {
        paths.insert(path);
        mms += m["message_class"] == "IPM.MMS";
        unread += (m["message_flags"].get<int>() & 1) == 0;
        several += m["recipients"].size() > 1;
        const std::uint64_t t = m["delivery_time"];
        first = std::min(first, t);
        last = std::max(last, t);
        text += m["body"].is_string() ? m["body"].get<std::string>() : "";
        if (m["message_class"] == "IPM.MMS") {
            EXPECT_GE(m["attachments"].size(), 1u);
            EXPECT_EQ(m["has_attach"], true);
        }
    }
    EXPECT_GE(paths.size(), 6u);
    EXPECT_TRUE(paths.count("SMS/Inbox/Work/Projects"));
    EXPECT_GT(mms, 0);
    EXPECT_GT(unread, 0);
    EXPECT_GT(several, 0);
    EXPECT_GT(last - first, 2ull * 365 * 86400 * 10000000);
    for (const char* script : {"é", "П", "の", "🎉"}) EXPECT_NE(text.find(script), std::string::npos) << script;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Host("My Documents/UAContents/MMS UA"))) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, static_cast<std::size_t>(mms));
}

// A sink in this process sees what a `device deliver` in another process does.
class RecordingSink final : public platform::mapi::IMAPIAdviseSink {
public:
    platform::mapi::HRESULT QueryInterface(const platform::mapi::IID&, void** object) override {
        *object = this;
        return 0;
    }
    platform::mapi::ULONG AddRef() override { return 2; }
    platform::mapi::ULONG Release() override { return 1; }
    platform::mapi::ULONG OnNotify(platform::mapi::ULONG, platform::mapi::NOTIFICATION* n) override {
        std::lock_guard lock(mutex);
        const auto& o = n[0].info.obj;
        events.emplace_back(n[0].ulEventType, o.ulObjType, Bytes(o.lpEntryID, o.lpEntryID + o.cbEntryID));
        changed.notify_all();
        return 0;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::tuple<platform::mapi::ULONG, platform::mapi::ULONG, Bytes>> events;
};

using CliNotify = MapiTest;

TEST_F(CliNotify, DeliverInAnotherProcessIsCreatedThenModified) {
    RecordingSink sink;
    platform::mapi::ULONG connection = 0;
    ASSERT_EQ(session->Advise(0, nullptr, 0x7C, &sink, &connection), 0);
    Result r = Cli(device_, "device deliver --from +1 --body 'new message'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::unique_lock lock(sink.mutex);
    sink.changed.wait_for(lock, std::chrono::seconds(5), [&] { return sink.events.size() >= 2; });
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(std::get<0>(sink.events[0]), platform::mapi::fnevObjectCreated);
    EXPECT_EQ(std::get<0>(sink.events[1]), platform::mapi::fnevObjectModified);
    for (const auto& [type, object, id] : sink.events) {
        EXPECT_EQ(object, platform::mapi::MAPI_MESSAGE);
        char hex[3];
        std::string text;
        for (std::uint8_t b : id) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            text += hex;
        }
        EXPECT_EQ(text, Trim(r.out));
    }
    lock.unlock();
    ASSERT_EQ(session->Unadvise(connection), 0);
}

}  // namespace
