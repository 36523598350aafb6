// The memory `tallymere-cli device import` takes for the longest texts a file may hold, the
// first time and again (when each is compared with the stored one): the import runs in a
// child process, whose peak resident size must stay within 64 MB, and the texts must be
// stored exactly. The bound is not checked under the sanitizers, which add
// memory of their own to every allocation.
#include <gtest/gtest.h>
#include <sys/resource.h>

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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr std::size_t kCut = 16 * 1024 * 1024;

// `size` bytes of ASCII, numbered so that no stretch repeats.
std::string Ascii(std::size_t size) {
    std::string text;
    text.reserve(size + 16);
    for (std::size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + ". ";
    text.resize(size);
    return text;
}

std::string Sms(const std::string& date, const std::string& body) {
    return "<sms address=\"+15550100\" date=\"" + date + "\" type=\"1\" body=\"" + body + "\" read=\"1\" />\n";
}

// Peak resident kilobytes of the largest child waited for so far.
long ChildPeakKb() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

TEST(ImportMemory, SixteenMbTextsWholeOrCutAreStoredExactlyAndImportedAgainWithin64Mb) {
    const fs::path base = testing_support::MakeTempDir("tallymere-memory-");
    const std::string device = (base / "device").string();
    testing_support::ProvisionDevice(device);
    // ASCII is the worst case: its UTF-16 is twice its size. One text is exactly as long as a
    // text may be; the other is longer and is cut to that length.
    // The texts are made again for the comparison: a child starts as a copy of this process,
    // and what this process holds must not count as the import's.
    testing_support::WriteHostFile(
        base / "long.xml", "<?xml version='1.0' encoding='UTF-8'?>\n<smses>\n" + Sms("1700000000000", Ascii(kCut)) +
                               Sms("1700000001000", Ascii(20'000'000)) + Sms("1700000002000", "after") + "</smses>\n");
    const std::string file = (base / "long.xml").string();

    const CliResult r = RunCli({"--device", device, "device", "import", file});
    const long peakKb = ChildPeakKb();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3 messages imported (3 SMS, 0 MMS), 0 already present, 0 skipped\n");
    EXPECT_EQ(r.err, "tallymere-cli: device import: " + file +
                         ": line 4: its attribute \"body\" is longer than 16 MB and was cut there\n");
    // The same file again: every message is compared with the stored one, and none added.
    const CliResult again = RunCli({"--device", device, "device", "import", file});
    const long againPeakKb = ChildPeakKb();  // the larger of the two imports
    RecordProperty("import_peak_kb", std::to_string(peakKb));
    RecordProperty("both_imports_peak_kb", std::to_string(againPeakKb));
    EXPECT_EQ(again.out, "0 messages imported (0 SMS, 0 MMS), 3 already present, 0 skipped\n");
    if (!kSanitized) {
        EXPECT_LT(peakKb, 64 * 1024) << "peak resident size of the import in kB";
        EXPECT_LT(againPeakKb, 64 * 1024) << "peak resident size of the second import in kB";
    }

    const Json dump = Json::parse(RunCli({"--device", device, "device", "dump"}).out);
    std::vector<std::pair<std::string, std::string>> inbox;
    for (const Json& folder : dump["stores"][0]["folders"]) {
        if (folder["path"] != "SMS/Inbox") continue;
        for (const Json& m : folder["messages"]) inbox.emplace_back(m["subject"], m["body"]);
    }
    ASSERT_EQ(inbox.size(), 3u);
    // The subject of an SMS is its text.
    const std::string whole = Ascii(kCut);
    EXPECT_TRUE(inbox[0].first == whole && inbox[0].second == whole) << inbox[0].second.size() << " bytes";
    const std::string cut = Ascii(20'000'000).substr(0, kCut);
    EXPECT_TRUE(inbox[1].first == cut && inbox[1].second == cut) << inbox[1].second.size() << " bytes";
    EXPECT_EQ(inbox[2], (std::pair<std::string, std::string>("after", "after")));
    fs::remove_all(base);
}

// Addresses and names of 16 MB, in a list or not, on an SMS and an MMS: cut to 64 KB with a
// note each, so that splitting and storing them stays within the same bound.
TEST(ImportMemory, SixteenMbAddressListsAndNamesAreCutAndImportedWithin64Mb) {
    const fs::path base = testing_support::MakeTempDir("tallymere-memory-");
    const std::string device = (base / "device").string();
    testing_support::ProvisionDevice(device);
    std::string list;
    std::string names;
    for (int i = 0; list.size() < kCut; ++i) list += (i ? "~+" : "+") + std::to_string(15550000000LL + i);
    for (int i = 0; names.size() < kCut; ++i) names += (i ? ", Name " : "Name ") + std::to_string(i);
    list.resize(kCut);  // as long as a value may be: cut here, not on the way in
    names.resize(kCut);
    testing_support::WriteHostFile(
        base / "parties.xml",
        "<smses>\n<sms address=\"" + std::string(kCut, '7') +
            "\" date=\"1700000000000\" type=\"1\" body=\"in\"/>\n<sms address=\"" + list + "\" contact_name=\"" +
            names + "\" date=\"1700000001000\" type=\"2\" body=\"out\"/>\n<mms msg_box=\"1\" date=\"1700000002000\">" +
            "<parts><part ct=\"text/plain\" text=\"hi\"/></parts><addrs><addr address=\"" + list +
            "\" type=\"137\"/></addrs></mms>\n</smses>\n");
    list.clear();
    names.clear();
    list.shrink_to_fit();
    names.shrink_to_fit();
    const std::string file = (base / "parties.xml").string();

    const CliResult r = RunCli({"--device", device, "device", "import", file});
    const long peakKb = ChildPeakKb();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3 messages imported (2 SMS, 1 MMS), 0 already present, 0 skipped\n");
    const std::string prefix = "tallymere-cli: device import: " + file + ": line ";
    const std::string cut = " is longer than 64 KB and was cut there\n";
    EXPECT_EQ(r.err, prefix + "2: <sms>: its attribute \"address\"" + cut + prefix +
                         "3: <sms>: its attribute \"address\"" + cut + prefix +
                         "3: <sms>: its attribute \"contact_name\"" + cut + prefix +
                         "4: <mms>: its attribute \"address\"" + cut);
    if (!kSanitized) {
        EXPECT_LT(peakKb, 64 * 1024) << "peak resident size of the import in kB";
    }
    fs::remove_all(base);
}

}  // namespace
