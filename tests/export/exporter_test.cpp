#include "export/exporter.h"

#include <gtest/gtest.h>

#include <set>

#include "export_fixture.h"
#include "platform/faults.h"

namespace {

using export_testing::AddAttachment;
using export_testing::AddRecipient;
using export_testing::ExportTest;
using export_testing::Message;
using export_testing::SetBodyText;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
namespace fs = std::filesystem;

tallymere::qMsg FromSender(std::uint32_t n, std::u16string_view folder, std::u16string_view sender) {
    auto message = Message(n, folder);
    message.SetSenderEmail(sender);
    return message;
}

TEST_F(ExportTest, ExporterIsPublishedOnlyWhileOpen) {
    EXPECT_EQ(tallymere::exporter, nullptr);
    tallymere::OpenExporter();
    ASSERT_NE(tallymere::exporter, nullptr);
    EXPECT_EQ(tallymere::exporter->outputDir, u"\\Out");
    EXPECT_EQ(tallymere::exporter->dirCount, 0u);
    EXPECT_TRUE(fs::exists(Export("Messages.ndx"))) << "an empty list is created on opening";
    tallymere::CloseExporter();
    EXPECT_EQ(tallymere::exporter, nullptr);
    tallymere::CloseExporter();  // closing a closed exporter does nothing
}

TEST_F(ExportTest, TwoComponentPathGivesTwoDirectoriesAndNumbersEach) {
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(FromSender(1, u"SMS/Inbox", u"+1")), 1);
    EXPECT_EQ(tallymere::exporter->ExportOne(FromSender(2, u"SMS/Inbox", u"+2")), 1);
    EXPECT_EQ(tallymere::exporter->ExportOne(FromSender(3, u"SMS", u"+3")), 1);
    const auto& dirs = tallymere::exporter->dirPaths;
    ASSERT_EQ(tallymere::exporter->dirCount, 2u);
    EXPECT_EQ(dirs[0], u"SMS");
    EXPECT_EQ(dirs[1], u"SMS\\Inbox");
    tallymere::CloseExporter();
    EXPECT_TRUE(fs::exists(Export("SMS/Inbox/001_1.txt")));
    EXPECT_TRUE(fs::exists(Export("SMS/Inbox/002_2.txt")));
    EXPECT_TRUE(fs::exists(Export("SMS/001_3.txt")));
}

TEST_F(ExportTest, EachMessageIsExportedOnceWithinAndAcrossPasses) {
    const auto a = FromSender(1, u"SMS", u"+1");
    const auto b = FromSender(2, u"SMS", u"+2");
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(a), 1);
    EXPECT_EQ(tallymere::exporter->ExportOne(a), 0);
    EXPECT_EQ(tallymere::exporter->dirCounters[0], 2u) << "a repeated message moves no counter";
    tallymere::CloseExporter();
    EXPECT_EQ(ReadHostFile(Export("Messages.ndx")).size(), 28u);

    EXPECT_EQ(ExportPass(a, b), 1);
    EXPECT_TRUE(fs::exists(Export("SMS/002_2.txt")));
    EXPECT_EQ(ReadHostFile(Export("SMS/001_1.txt")), "From: +1\nTo: \nSubject: \nSize: 0 bytes\n\n");
    EXPECT_EQ(ReadHostFile(Export("Messages.ndx")).size(), 56u);
}

TEST_F(ExportTest, PassOverExportedMessagesStillCreatesTheirDirectories) {
    const auto a = FromSender(1, u"SMS/Inbox", u"+1");
    EXPECT_EQ(ExportPass(a), 1);
    fs::remove_all(Export("SMS"));
    EXPECT_EQ(ExportPass(a), 0);
    EXPECT_TRUE(fs::is_directory(Export("SMS/Inbox")));
    EXPECT_TRUE(fs::is_empty(Export("SMS/Inbox")));
}

TEST_F(ExportTest, NumbersFollowTheTextFilesAlreadyThere) {
    for (int i = 1; i <= 7; ++i) WriteHostFile(Export("SMS/old" + std::to_string(i) + ".txt"), "x");
    WriteHostFile(Export("SMS/picture.jpg"), "not a text file");
    EXPECT_EQ(ExportPass(FromSender(1, u"SMS", u"+1")), 1);
    EXPECT_TRUE(fs::exists(Export("SMS/008_1.txt")));

    // Numbers pass 999 with a fourth digit.
    for (int i = 9; i <= 999; ++i) WriteHostFile(Export("SMS/old" + std::to_string(i) + ".txt"), "");
    EXPECT_EQ(ExportPass(FromSender(2, u"SMS", u"+2")), 1);
    EXPECT_TRUE(fs::exists(Export("SMS/1000_2.txt")));
}

TEST_F(ExportTest, DeletedExportListExportsEverythingAgainAfterTheExistingFiles) {
    const auto a = FromSender(1, u"SMS", u"+1");
    const auto b = FromSender(2, u"SMS", u"+2");
    EXPECT_EQ(ExportPass(a, b), 2);
    fs::remove(Export("Messages.ndx"));
    EXPECT_EQ(ExportPass(a, b), 2);
    EXPECT_TRUE(fs::exists(Export("SMS/003_1.txt")));
    EXPECT_TRUE(fs::exists(Export("SMS/004_2.txt")));
    EXPECT_EQ(ExportPass(a, b), 0);
}

// Mended: with a text file deleted by the user the count of text files is lower than the highest
// number, and the next message was appended into another message's file. A number that a text
// file carries is passed over.
TEST_F(ExportTest, ANumberATextFileCarriesIsPassedOver) {
    const auto a = FromSender(1, u"SMS", u"+1");
    const auto b = FromSender(2, u"SMS", u"+1");
    EXPECT_EQ(ExportPass(a, b), 2);
    fs::remove(Export("SMS/001_1.txt"));
    EXPECT_EQ(ExportPass(FromSender(3, u"SMS", u"+1"), FromSender(4, u"SMS", u"+2")), 2);
    const std::string text = "From: +1\nTo: \nSubject: \nSize: 0 bytes\n\n";
    EXPECT_EQ(ReadHostFile(Export("SMS/002_1.txt")), text);
    EXPECT_EQ(ReadHostFile(Export("SMS/003_1.txt")), text);
    EXPECT_TRUE(fs::exists(Export("SMS/004_2.txt")));
    EXPECT_FALSE(fs::exists(Export("SMS/001_1.txt")));
}

TEST_F(ExportTest, WrongIdentifierLengthEndsTheProgramBeforeAnythingIsWritten) {
    auto message = FromSender(1, u"SMS", u"+1");
    const std::uint8_t shortId[16] = {};
    message.SetEntryID(16, shortId);
    tallymere::OpenExporter();
    EXPECT_EXIT(tallymere::exporter->ExportOne(message), ::testing::ExitedWithCode(1),
                "xEntryID::CheckID: ENTRYID length mismatch\\.");
    EXPECT_TRUE(fs::is_empty(Export("SMS")));
}

TEST_F(ExportTest, IdentifierBytesThatDoNotMatchTheirSizeEndTheProgramBeforeAnythingIsWritten) {
    auto missing = FromSender(1, u"SMS", u"+1");
    missing.SetEntryID(20, nullptr);
    auto longer = FromSender(2, u"SMS", u"+2");
    longer.entryId.push_back(0);
    tallymere::OpenExporter();
    EXPECT_EXIT(tallymere::exporter->ExportOne(missing), ::testing::ExitedWithCode(1),
                "xEntryID::CheckID: ENTRYID length mismatch\\.");
    EXPECT_EXIT(tallymere::exporter->ExportOne(longer), ::testing::ExitedWithCode(1),
                "xEntryID::CheckID: ENTRYID length mismatch\\.");
    EXPECT_TRUE(fs::is_empty(Export("SMS")));
}

TEST_F(ExportTest, FailedWriteEndsTheProgramWithoutSavingTheList) {
    const auto a = FromSender(1, u"SMS", u"+1");
    EXPECT_EQ(ExportPass(a), 1);
    tallymere::OpenExporter();
    // The first write of the next message's text fails, as on a full medium.
    EXPECT_EXIT(
        {
            platform::faults::Plan("fwrite", 1);
            tallymere::exporter->ExportOne(FromSender(2, u"SMS", u"+2"));
        },
        ::testing::ExitedWithCode(1), "xExport::ExportOne: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Export("Messages.ndx")).size(), 28u) << "the interrupted message is not marked exported";
}

// Mended: the export list was saved only when the exporter closed, so an export that ended
// early exported everything again, and a text file could be left empty or cut short. Each
// message is listed on disk when its files are complete, and its text file appears whole.
TEST_F(ExportTest, AnExportThatEndsInTheMiddleOfAMessageLeavesNoPartOfItAndIsNotRepeated) {
    auto c = FromSender(3, u"SMS", u"+3");
    AddAttachment(c, u"photo.jpg", std::string(5000, 'p'));
    EXPECT_EXIT(
        {
            tallymere::OpenExporter();
            tallymere::exporter->ExportOne(FromSender(1, u"SMS", u"+1"));
            tallymere::exporter->ExportOne(FromSender(2, u"SMS", u"+2"));
            platform::faults::PlanCrash("fwrite", 2);  // in the middle of the third message
            tallymere::exporter->ExportOne(c);
        },
        ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
    EXPECT_EQ(ReadHostFile(Export("Messages.ndx")).size(), 2 * 28u);
    EXPECT_FALSE(fs::exists(Export("SMS/003_3.txt")));
    EXPECT_EQ(ExportPass(FromSender(1, u"SMS", u"+1"), FromSender(2, u"SMS", u"+2"), c), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/003_photo.jpg")), std::string(5000, 'p'));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Export("SMS"))) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"001_1.txt", "002_2.txt", "003_3.txt", "003_photo.jpg"}));
}

// A rerun counts the text files afresh, and an attachment named "*.txt" counts as one: without
// taking its number again the interrupted message would be written under the next number, beside
// the files it had begun.
TEST_F(ExportTest, AnInterruptedMessageTakesItsNumberAgain) {
    auto a = FromSender(1, u"SMS", u"+1");
    AddAttachment(a, u"notes.txt", "n");
    auto b = FromSender(2, u"SMS", u"+2");
    AddAttachment(b, u"photo.jpg", std::string(9000, 'p'));
    AddAttachment(b, u"more.jpg", std::string(100, 'm'));
    EXPECT_EXIT(
        {
            tallymere::OpenExporter();
            tallymere::exporter->ExportOne(a);
            platform::faults::PlanCrash("_wfopen", 3);  // b's second attachment
            tallymere::exporter->ExportOne(b);
        },
        ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
    EXPECT_TRUE(fs::exists(Export("SMS/002_photo.jpg")));
    EXPECT_EQ(ExportPass(a, b), 1);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Export("SMS"))) names.insert(entry.path().filename().string());
    EXPECT_EQ(names,
              (std::set<std::string>{"001_1.txt", "001_notes.txt", "002_2.txt", "002_photo.jpg", "002_more.jpg"}));
    // The next message goes on after the texts there are.
    EXPECT_EQ(ExportPass(FromSender(3, u"SMS", u"+3")), 1);
    EXPECT_TRUE(fs::exists(Export("SMS/004_3.txt")));
}

class ExportAfterACrash : public ExportTest {
protected:
    // Message 1 exported, then the process ends in the middle of message 2's text file, leaving
    // "002_2.txt.new".
    void CrashInTheSecondMessage() {
        EXPECT_EXIT(
            {
                tallymere::OpenExporter();
                tallymere::exporter->ExportOne(FromSender(1, u"SMS", u"+1"));
                platform::faults::PlanCrash("fwrite", 1);
                tallymere::exporter->ExportOne(FromSender(2, u"SMS", u"+2"));
            },
            ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
        ASSERT_TRUE(fs::exists(Export("SMS/002_2.txt.new")));
    }
};

// The unfinished file's number belongs to its message: another message exported first into
// that directory takes the next number, and the interrupted one gets its own number back.
TEST_F(ExportAfterACrash, TheNumberOfAnUnfinishedTextFileIsKeptForItsMessage) {
    CrashInTheSecondMessage();
    EXPECT_EQ(ExportPass(FromSender(3, u"SMS", u"+3"), FromSender(2, u"SMS", u"+2")), 2);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Export("SMS"))) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"001_1.txt", "002_2.txt", "003_3.txt"}));
}

// An unfinished text file whose message is no longer on the phone would never be completed:
// the exporter removes it when it closes.
TEST_F(ExportAfterACrash, TheUnfinishedFileOfAMessageGoneFromThePhoneIsRemovedWhenTheExporterCloses) {
    CrashInTheSecondMessage();
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(FromSender(3, u"SMS", u"+3")), 1);
    tallymere::CloseExporter();
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Export("SMS"))) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"001_1.txt", "003_3.txt"}));
}

// The promise: only the message whose files were complete but not yet listed when the process
// ended is exported a second time.
TEST_F(ExportTest, AtMostTheMessageBeingListedIsExportedTwice) {
    EXPECT_EXIT(
        {
            tallymere::OpenExporter();
            platform::faults::PlanCrash("fseek", 1);  // writing the first message's list entry
            tallymere::exporter->ExportOne(FromSender(1, u"SMS", u"+1"));
        },
        ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
    EXPECT_TRUE(fs::exists(Export("SMS/001_1.txt")));
    EXPECT_EQ(ExportPass(FromSender(1, u"SMS", u"+1"), FromSender(2, u"SMS", u"+2")), 2);
    EXPECT_EQ(ReadHostFile(Export("SMS/002_1.txt")), ReadHostFile(Export("SMS/001_1.txt")));
    EXPECT_TRUE(fs::exists(Export("SMS/003_2.txt")));
}

TEST_F(ExportTest, TextFileThatCannotBeOpenedEndsTheProgram) {
    tallymere::OpenExporter();
    EXPECT_EXIT(
        {
            platform::faults::Plan("_wfopen", 1, true);
            tallymere::exporter->ExportOne(FromSender(1, u"SMS", u"+1"));
        },
        ::testing::ExitedWithCode(1), "xExport::ExportOne: MyCreateFile failed\\.");
}

}  // namespace
