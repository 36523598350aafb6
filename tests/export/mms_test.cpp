#include "export/mms.h"

#include <gtest/gtest.h>

#include "export_fixture.h"
#include "platform/faults.h"
#include "platform/filesys.h"

namespace {

using export_testing::At;
using export_testing::ExportTest;
using export_testing::Message;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
namespace fs = std::filesystem;

const platform::FILETIME kDelivered = At(2008, 3, 30, 10, 13, 30, 100);

class MmsTest : public ExportTest {
protected:
    // A file of the MMS client with the given content and creation time.
    void ClientFile(const std::string& name, const std::string& bytes, platform::FILETIME created) {
        WriteHostFile(Mms(name), bytes);
        ASSERT_TRUE(
            platform::SetFileCreationTime(u"\\My Documents\\UAContents\\MMS UA\\" + platform::FromUtf8(name), created));
    }
    static tallymere::qMsg Multimedia(std::uint32_t size, std::u16string_view cls = u"IPM.MMS") {
        auto message = Message(1, u"MMS");
        message.SetMessageClass(cls);
        message.SetMessageSize(size);
        message.SetDeliveryTime(kDelivered);
        message.SetLastModificationTime(At(2008, 3, 30, 11, 0, 0, 0));
        return message;
    }
    // The names of the files exported beside the text file "001_.txt".
    std::set<std::string> Copies() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(Export("MMS"))) names.insert(e.path().filename().string());
        names.erase("001_.txt");
        return names;
    }
    using Names = std::set<std::string>;
};

TEST_F(MmsTest, SingleFileOfTheSizeIsCopiedWhateverItsTime) {
    const std::string content("MMS\0\x8C\x80 body", 11);
    ClientFile("m0001.mms", content, At(1999, 1, 1, 0, 0, 0, 0));
    ClientFile("other.mms", "different size", kDelivered);
    EXPECT_EQ(ExportPass(Multimedia(11)), 1);
    EXPECT_EQ(Copies(), (Names{"001_m0001.mms"}));
    EXPECT_EQ(ReadHostFile(Export("MMS/001_m0001.mms")), content);
}

TEST_F(MmsTest, OnlyTheExactClassLooksForAFile) {
    ClientFile("m.mms", "12345", kDelivered);
    EXPECT_EQ(ExportPass(Multimedia(5, u"IPM.SMStext")), 1);
    auto lower = Multimedia(5, u"ipm.mms");
    lower.SetEntryID(20, export_testing::MakeId(2).data());
    auto longer = Multimedia(5, u"IPM.MMS.x");
    longer.SetEntryID(20, export_testing::MakeId(3).data());
    EXPECT_EQ(ExportPass(lower, longer), 2);
    EXPECT_EQ(Copies(), (Names{"002_.txt", "003_.txt"}));
}

TEST_F(MmsTest, SeveralOfTheSizeAreMatchedByTheSecondOfCreation) {
    ClientFile("a.mms", "12345", At(2008, 3, 30, 10, 13, 29, 999));
    ClientFile("b.mms", "abcde", At(2008, 3, 30, 10, 13, 30, 900));
    ClientFile("c.mms", "ABCDE", At(2008, 3, 30, 10, 13, 30, 950));
    EXPECT_EQ(ExportPass(Multimedia(5)), 1);
    EXPECT_EQ(Copies(), (Names{"001_b.mms"})) << "the first in the same second is copied";
    EXPECT_EQ(ReadHostFile(Export("MMS/001_b.mms")), "abcde");
}

TEST_F(MmsTest, NeighbouringSecondsDoNotMatchAndNothingIsCopied) {
    ClientFile("a.mms", "12345", At(2008, 3, 30, 10, 13, 31, 100));
    ClientFile("b.mms", "abcde", At(2008, 3, 30, 10, 13, 29, 900));
    auto message = Multimedia(5);
    message.SetDeliveryTime(At(2008, 3, 30, 10, 13, 30, 900));
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_TRUE(Copies().empty());
    EXPECT_TRUE(fs::exists(Export("MMS/001_.txt")));
}

TEST_F(MmsTest, WithoutDeliveryTimeTheLastModificationTimeIsMatched) {
    ClientFile("delivered.mms", "12345", kDelivered);
    ClientFile("modified.mms", "abcde", At(2008, 3, 30, 11, 0, 0, 400));
    auto message = Multimedia(5);
    message.SetDeliveryTime({});
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(Copies(), (Names{"001_modified.mms"}));
}

TEST_F(MmsTest, MissingDirectoryOrNoFileOfTheSizeCopiesNothing) {
    ClientFile("m.mms", "1234", kDelivered);
    EXPECT_EQ(ExportPass(Multimedia(5)), 1);
    fs::remove_all(Host("My Documents/UAContents/MMS UA"));
    auto second = Multimedia(4);
    second.SetEntryID(20, export_testing::MakeId(2).data());
    EXPECT_EQ(ExportPass(second), 1);
    EXPECT_EQ(Copies(), (Names{"002_.txt"}));
}

TEST_F(MmsTest, CopyNamedLikeAnAttachmentGetsADistinctName) {
    ClientFile("m0001.mms", "12345", kDelivered);
    auto message = Multimedia(5);
    export_testing::AddAttachment(message, u"M0001.mms", "attached");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(Copies(), (Names{"001_M0001.mms", "001_m0001_2.mms"}));
    EXPECT_EQ(ReadHostFile(Export("MMS/001_M0001.mms")), "attached");
    EXPECT_EQ(ReadHostFile(Export("MMS/001_m0001_2.mms")), "12345");
}

TEST_F(MmsTest, CopyThatCannotBeCreatedEndsTheProgram) {
    ClientFile("m.mms", "12345", kDelivered);
    tallymere::OpenExporter();
    // The text file and the client's file open; the copy does not.
    EXPECT_EXIT(
        {
            platform::faults::Plan("_wfopen", 3, true);
            tallymere::exporter->ExportOne(Multimedia(5));
        },
        ::testing::ExitedWithCode(1), "xExport::DecodeMMS: MyCreateFile failed\\.");
}

TEST_F(MmsTest, AClientFileThatCannotBeOpenedAMomentIsCopiedAll) {
    ClientFile("m.mms", "12345", kDelivered);
    platform::faults::SetQuickRetries(true);
    platform::faults::Plan("_wfopen", 3);  // the list, the text file, then the client's file, once
    EXPECT_EQ(ExportPass(Multimedia(5)), 1);
    EXPECT_EQ(Copies(), (Names{"001_m.mms"}));
    EXPECT_EQ(ReadHostFile(Export("MMS/001_m.mms")), "12345");
}

TEST_F(MmsTest, MoreThanAHundredOfOneSizeEndTheProgram) {
    for (int i = 0; i < 100; ++i) ClientFile("m" + std::to_string(1000 + i), "12345", kDelivered);
    std::vector<tallymere::MmsFile> list;
    EXPECT_EQ(tallymere::GetMMSFiles(list, 5), 100u);
    ClientFile("m2000", "12345", kDelivered);
    list.clear();
    EXPECT_EXIT(tallymere::GetMMSFiles(list, 5), ::testing::ExitedWithCode(1),
                "GetMMSFiles: MAX_FILE_SAME_SIZE exeed\\.");
}

// One listing serves the whole pass, and a change of the directory is still seen by the next
// message: the directory's modification time tells.
TEST_F(MmsTest, WithoutNotificationsOnePassListsTheDirectoryAgainOnlyWhenItsTimeHasChanged) {
    platform::faults::Plan("FindFirstChangeNotification", 1, true);
    const std::u16string folder = u"\\My Documents\\UAContents\\MMS UA";
    const platform::FILETIME longAgo = At(2008, 1, 1, 0, 0, 0, 0);
    ClientFile("a.mms", "12345", kDelivered);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    auto message = [&](std::uint32_t n, std::uint32_t size) {
        auto m = Multimedia(size);
        m.SetEntryID(20, export_testing::MakeId(n).data());
        return m;
    };
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(message(1, 5)), 1);
    // A file added while the pass runs moves the directory's time: the next message finds it.
    ClientFile("b.mms", "123456", kDelivered);
    EXPECT_EQ(tallymere::exporter->ExportOne(message(2, 6)), 1);
    // A change the directory's time does not show (set back by hand) is not seen: the listing
    // is kept while the directory looks unchanged.
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    EXPECT_EQ(tallymere::exporter->ExportOne(message(3, 6)), 1);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    ClientFile("c.mms", "1234567", kDelivered);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    EXPECT_EQ(tallymere::exporter->ExportOne(message(4, 7)), 1);
    tallymere::CloseExporter();
    EXPECT_EQ(Copies(), (Names{"002_.txt", "003_.txt", "004_.txt", "001_a.mms", "002_b.mms", "003_b.mms"}));
    // A new pass lists afresh.
    EXPECT_EQ(ExportPass(message(5, 7)), 1);
    EXPECT_TRUE(fs::exists(Export("MMS/005_c.mms")));
}

TEST_F(MmsTest, AWatchedDirectoryIsListedAgainAfterEveryChangeEvenOneItsTimeDoesNotShow) {
    const std::u16string folder = u"\\My Documents\\UAContents\\MMS UA";
    const platform::FILETIME longAgo = At(2008, 1, 1, 0, 0, 0, 0);
    ClientFile("a.mms", "12345", kDelivered);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    auto message = [&](std::uint32_t n, std::uint32_t size) {
        auto m = Multimedia(size);
        m.SetEntryID(20, export_testing::MakeId(n).data());
        return m;
    };
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(message(1, 5)), 1);
    // Added, with the directory's time set back as it was: a fresh search finds it, so must the pass.
    ClientFile("b.mms", "123456", kDelivered);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, longAgo));
    EXPECT_EQ(tallymere::exporter->ExportOne(message(2, 6)), 1);
    // A file written again in place, which leaves the directory's time alone.
    WriteHostFile(Mms("a.mms"), "1234567");
    ASSERT_TRUE(platform::SetFileCreationTime(u"\\My Documents\\UAContents\\MMS UA\\a.mms", kDelivered));
    EXPECT_EQ(tallymere::exporter->ExportOne(message(3, 7)), 1);
    // Nothing changed since: the listing serves, and still finds the same.
    EXPECT_EQ(tallymere::exporter->ExportOne(message(4, 7)), 1);
    // The directory replaced by another of the same name.
    fs::rename(Mms(""), Mms("").parent_path().string() + ".old");
    fs::create_directories(Mms(""));
    ClientFile("c.mms", "1234567", kDelivered);
    EXPECT_EQ(tallymere::exporter->ExportOne(message(5, 7)), 1);
    tallymere::CloseExporter();
    EXPECT_EQ(Copies(), (Names{"002_.txt", "003_.txt", "004_.txt", "005_.txt", "001_a.mms", "002_b.mms", "003_a.mms",
                               "004_a.mms", "005_c.mms"}));
}

TEST_F(MmsTest, AListingTakenJustAfterAChangeIsNotReused) {
    // The directory changed a moment ago: a second change in the same tick of the file
    // system's clock would leave its time as it is, so the listing is taken again.
    ClientFile("a.mms", "12345", kDelivered);
    const std::u16string folder = u"\\My Documents\\UAContents\\MMS UA";
    platform::FindData now;
    ASSERT_TRUE(platform::GetFileAttributesExW(folder, &now));
    auto second = Multimedia(6);
    second.SetEntryID(20, export_testing::MakeId(2).data());
    tallymere::OpenExporter();
    EXPECT_EQ(tallymere::exporter->ExportOne(Multimedia(5)), 1);
    ClientFile("b.mms", "123456", kDelivered);
    ASSERT_TRUE(platform::SetFileCreationTime(folder, now.creationTime));
    EXPECT_EQ(tallymere::exporter->ExportOne(second), 1);
    tallymere::CloseExporter();
    EXPECT_EQ(Copies(), (Names{"002_.txt", "001_a.mms", "002_b.mms"}));
}

}  // namespace
