// xDelay::ExecuteOne against the message store: what it exports, and that every entry leaves
// the queue whatever became of its message.
#include "auto/delay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mapi_fixture.h"
#include "platform/faults.h"
#include "shell/app.h"

namespace {

namespace mapi = platform::mapi;
using tallymere::delayQueue;
using testing_support::Bytes;
using testing_support::EntryIdOf;

class DelayTest : public testing_support::MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        tallymere::BeginApp(tallymere::StartMode::OneShot);
    }
    void TearDown() override {
        tallymere::EndApp(tallymere::StartMode::OneShot);
        MapiTest::TearDown();
    }

    void Queue(const Bytes& id) { delayQueue->AddID(static_cast<std::uint32_t>(id.size()), id.data()); }

    std::filesystem::path ExportDir() const { return Host("Program Files/Tallymere/Tallyport"); }

    // The text files under the export directory, relative to it, with their contents.
    std::vector<std::pair<std::string, std::string>> TextFiles() const {
        std::vector<std::pair<std::string, std::string>> files;
        if (!std::filesystem::exists(ExportDir())) return files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(ExportDir())) {
            if (entry.path().extension() != ".txt") continue;
            files.emplace_back(std::filesystem::relative(entry.path(), ExportDir()).string(),
                               testing_support::ReadHostFile(entry.path()));
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    std::uintmax_t ExportListSize() const {
        std::error_code ec;
        const auto size = std::filesystem::file_size(ExportDir() / "Messages.ndx", ec);
        return ec ? 0 : size;
    }
};

TEST_F(DelayTest, ANewMessageIsExportedIntoItsFoldersDirectory) {
    const Bytes id = NewMessage(Folder(u"Archive/2008").get(), u"arrived");
    Queue(id);
    EXPECT_EQ(delayQueue->ExecuteOne(), 0);
    EXPECT_EQ(delayQueue->count, 0u);
    const auto files = TextFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[0].first).parent_path(), std::filesystem::path("SMS/Archive/2008"));
    EXPECT_NE(files[0].second.find("arrived"), std::string::npos) << files[0].second;
    EXPECT_EQ(ExportListSize(), 28u) << "the export list is saved after the single message";

    // Nothing waits: nothing happens.
    EXPECT_EQ(delayQueue->ExecuteOne(), 0);
    EXPECT_EQ(TextFiles().size(), 1u);
}

TEST_F(DelayTest, AMessageExportedAlreadyIsNotExportedAgain) {
    const Bytes id = NewMessage(Folder(u"Inbox").get(), u"once");
    Queue(id);
    Queue(id);
    delayQueue->ExecuteOne();
    delayQueue->ExecuteOne();
    EXPECT_EQ(delayQueue->count, 0u);
    EXPECT_EQ(TextFiles().size(), 1u);
    EXPECT_EQ(ExportListSize(), 28u);
}

TEST_F(DelayTest, AMessageDeletedDuringThePauseIsDroppedQuietly) {
    mapi::Ptr<mapi::IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = NewMessage(inbox.get(), u"gone");
    Queue(id);
    mapi::SBinary entry{static_cast<mapi::ULONG>(id.size()), id.data()};
    mapi::ENTRYLIST list{1, &entry};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);

    EXPECT_EQ(delayQueue->ExecuteOne(), 0);
    EXPECT_EQ(delayQueue->count, 0u);
    EXPECT_TRUE(TextFiles().empty());
}

TEST_F(DelayTest, WhatIsNotAMessageLeavesTheQueueUnexported) {
    mapi::Ptr<mapi::IMAPIFolder> inbox = Folder(u"Inbox");
    Queue(EntryIdOf(inbox.get()));    // a folder
    Queue(EntryIdOf(Store().get()));  // a store
    Queue(Bytes(20, 0x00));           // names nothing
    Queue(Bytes{0x01, 0x02, 0x03});   // not even an identifier
    for (int left = 3; left >= 0; --left) {
        EXPECT_EQ(delayQueue->ExecuteOne(), 0);
        EXPECT_EQ(delayQueue->count, static_cast<std::uint32_t>(left));
    }
    EXPECT_TRUE(TextFiles().empty());
}

TEST_F(DelayTest, EachRunHandlesTheOldestEntryOnly) {
    const Bytes first = NewMessage(Folder(u"Inbox").get(), u"first");
    const Bytes second = NewMessage(Folder(u"Sent Items").get(), u"second");
    Queue(first);
    Queue(second);
    delayQueue->ExecuteOne();
    ASSERT_EQ(delayQueue->count, 1u);
    EXPECT_EQ(delayQueue->ids[0], second);
    auto files = TextFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[0].first).parent_path(), std::filesystem::path("SMS/Inbox"));
    delayQueue->ExecuteOne();
    EXPECT_EQ(delayQueue->count, 0u);
    files = TextFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(std::filesystem::path(files[1].first).parent_path(), std::filesystem::path("SMS/Sent Items"));
    EXPECT_EQ(ExportListSize(), 56u);
}

TEST_F(DelayTest, RemoveFirstKeepsTheOrderOfTheRest) {
    for (std::uint8_t n = 1; n <= 3; ++n) Queue(Bytes(20, n));
    delayQueue->RemoveFirst();
    ASSERT_EQ(delayQueue->count, 2u);
    EXPECT_EQ(delayQueue->ids[0], Bytes(20, 2));
    EXPECT_EQ(delayQueue->ids[1], Bytes(20, 3));
    EXPECT_EQ(delayQueue->ids.size(), 2u);
    delayQueue->Clear();
    EXPECT_EQ(delayQueue->count, 0u);
    delayQueue->RemoveFirst();
    EXPECT_EQ(delayQueue->count, 0u);
}

// A burst is handled in batches: each run takes what is due, in arrival order, through one
// exporter, and leaves what is not due yet.
TEST_F(DelayTest, ExecuteDueHandlesEveryDueArrivalInOneBatchInArrivalOrder) {
    const auto now = tallymere::xDelay::Clock::now();
    std::vector<Bytes> ids;
    for (int i = 0; i < 6; ++i) {
        const std::u16string subject = u"burst " + std::u16string(1, static_cast<char16_t>(u'A' + i));
        ids.push_back(NewMessage(Folder(i % 2 == 0 ? u"Inbox" : u"Sent Items").get(), subject.c_str()));
    }
    for (int i = 0; i < 4; ++i) {
        delayQueue->AddID(20, ids[i].data(), now - std::chrono::milliseconds(10));
    }
    delayQueue->AddID(20, ids[4].data(), now + std::chrono::hours(1));
    delayQueue->AddID(20, ids[5].data(), now - std::chrono::hours(1));  // never before the one ahead
    EXPECT_EQ(delayQueue->ExecuteDue(now), 4u);
    EXPECT_EQ(delayQueue->Count(), 2u);
    EXPECT_EQ(delayQueue->ids[0], ids[4]);
    EXPECT_EQ(*delayQueue->NextDue(), now + std::chrono::hours(1));
    auto files = TextFiles();
    ASSERT_EQ(files.size(), 4u);
    // In arrival order within each directory: A before C, B before D.
    EXPECT_NE(files[0].second.find("burst A"), std::string::npos) << files[0].first;
    EXPECT_NE(files[1].second.find("burst C"), std::string::npos) << files[1].first;
    EXPECT_NE(files[2].second.find("burst B"), std::string::npos) << files[2].first;
    EXPECT_NE(files[3].second.find("burst D"), std::string::npos) << files[3].first;
    EXPECT_EQ(ExportListSize(), 4u * 28u);
    EXPECT_EQ(delayQueue->ExecuteDue(now + std::chrono::hours(2)), 2u);
    EXPECT_EQ(TextFiles().size(), 6u);
    EXPECT_EQ(ExportListSize(), 6u * 28u);
}

// The exporter kept between arrivals numbers and lists as a fresh one would, whatever others
// did to the export tree between two arrivals.
TEST_F(DelayTest, TheKeptExporterFollowsChangesMadeByOthers) {
    auto inbox = Folder(u"Inbox");
    auto exportOne = [&](const char16_t* subject) {
        Queue(NewMessage(inbox.get(), subject));
        delayQueue->ExecuteOne();
    };
    exportOne(u"first");
    const std::filesystem::path dir = ExportDir() / "SMS" / "Inbox";
    auto names = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() == ".txt") found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    auto numberOf = [](const std::string& name) { return std::stoi(name); };
    ASSERT_EQ(names().size(), 1u);
    EXPECT_EQ(numberOf(names()[0]), 1);
    // Somebody else puts text files there: the next message is numbered after them.
    testing_support::WriteHostFile(dir / "002_theirs.txt", "x");
    testing_support::WriteHostFile(dir / "003_theirs.txt", "x");
    exportOne(u"second");
    auto now = names();
    ASSERT_EQ(now.size(), 4u);
    EXPECT_EQ(numberOf(now[3]), 4) << now[3];
    // Somebody removes the export list: every arrival counts as new again, as with a fresh exporter.
    std::filesystem::remove(ExportDir() / "Messages.ndx");
    exportOne(u"third");
    EXPECT_EQ(ExportListSize(), 28u);
    EXPECT_EQ(names().size(), 5u);
    // Removing text files makes the next number the count of those left plus one, as a listing
    // would say.
    for (const auto& name : names()) {
        if (name.find("theirs") != std::string::npos) std::filesystem::remove(dir / name);
    }
    exportOne(u"fourth");
    now = names();
    ASSERT_EQ(now.size(), 4u);
    EXPECT_NE(std::find_if(now.begin(), now.end(), [&](const std::string& n) { return numberOf(n) == 6; }), now.end())
        << "3 left, 4 and 5 taken: 6";
}

TEST_F(DelayTest, AFailingParentLookupEndsTheProgram) {
    Queue(NewMessage(Folder(u"Inbox").get(), u"unlucky"));
    platform::faults::Reset();
    platform::faults::Plan("GetProps", 1);
    EXPECT_EXIT(delayQueue->ExecuteOne(), ::testing::ExitedWithCode(1), "xDelay::ExecuteOne: GetProps failed\\.");
}

}  // namespace
