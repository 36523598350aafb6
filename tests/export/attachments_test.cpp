#include <gtest/gtest.h>

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

// Four text files are there already: the exported message gets number 5.
class AttachmentTest : public ExportTest {
protected:
    void SetUp() override {
        ExportTest::SetUp();
        for (int i = 1; i <= 4; ++i) WriteHostFile(Export("SMS/old" + std::to_string(i) + ".txt"), "");
    }
};

TEST_F(AttachmentTest, EachAttachmentBesideTheTextFileWithExactlyItsBytes) {
    auto message = Message(1, u"SMS");
    const std::string binary("\0\x01\xFF\0\0z", 6);
    AddAttachment(message, u"photo 1.jpg", binary);
    AddAttachment(message, u"empty.txt", "");
    AddAttachment(message, u"Zoë \U0001F600.vcf", "BEGIN:VCARD");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_TRUE(fs::exists(Export("SMS/005_.txt")));
    EXPECT_EQ(ReadHostFile(Export("SMS/005_photo 1.jpg")), binary);
    ASSERT_TRUE(fs::exists(Export("SMS/005_empty.txt")));
    EXPECT_EQ(fs::file_size(Export("SMS/005_empty.txt")), 0u);
    EXPECT_EQ(ReadHostFile(Export("SMS/005_Zo\xC3\xAB \xF0\x9F\x98\x80.vcf")), "BEGIN:VCARD");
}

TEST_F(AttachmentTest, EarlierAttachmentFileIsOverwritten) {
    WriteHostFile(Export("SMS/005_photo.jpg"), "an older and longer content");
    auto message = Message(1, u"SMS");
    AddAttachment(message, u"photo.jpg", "new");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/005_photo.jpg")), "new");
}

TEST_F(AttachmentTest, NamelessAttachmentsAreCalledAttachmentAndNeverOverwriteEachOther) {
    auto message = Message(1, u"SMS");
    AddAttachment(message, u"", "first");
    AddAttachment(message, u"named.bin", "named");
    AddAttachment(message, u"", "second");
    AddAttachment(message, u"", "");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/005_attachment")), "first");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_named.bin")), "named");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_attachment_2")), "second");
    ASSERT_TRUE(fs::exists(Export("SMS/005_attachment_3")));
    EXPECT_EQ(fs::file_size(Export("SMS/005_attachment_3")), 0u);
    EXPECT_FALSE(fs::exists(Export("SMS/005_")));
}

TEST_F(AttachmentTest, AttachmentNamedLikeTheTextFileLeavesTheTextIntact) {
    auto message = Message(1, u"SMS");
    AddRecipient(message, u"Office", u"+123");
    SetBodyText(message, u"Hello");
    AddAttachment(message, u"Office_123.txt", "first");
    // The device's file system does not tell letter cases apart.
    AddAttachment(message, u"OFFICE_123.TXT", "second");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/005_Office_123.txt")),
              "From: \nTo: +123, Office\nSubject: \nSize: 0 bytes\nHello\n");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_Office_123_2.txt")), "first");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_OFFICE_123_3.TXT")), "second");
    EXPECT_FALSE(fs::exists(Export("SMS/005_OFFICE_123.TXT")));
}

TEST_F(AttachmentTest, SameNamedAttachmentsAllSurviveUnderDistinctNames) {
    auto message = Message(1, u"SMS");
    AddAttachment(message, u"photo.jpg", "one");
    AddAttachment(message, u"photo_2.jpg", "named so");
    AddAttachment(message, u"Photo.JPG", "two");
    AddAttachment(message, u"photo.jpg", "three");
    AddAttachment(message, u"attachment", "named attachment");
    AddAttachment(message, u"", "nameless");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/005_photo.jpg")), "one");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_photo_2.jpg")), "named so");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_Photo_3.JPG")), "two");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_photo_4.jpg")), "three");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_attachment")), "named attachment");
    EXPECT_EQ(ReadHostFile(Export("SMS/005_attachment_2")), "nameless");
}

TEST_F(AttachmentTest, AttachmentThatCannotBeCreatedEndsTheProgram) {
    auto message = Message(1, u"SMS");
    AddAttachment(message, u"a.bin", "x");
    tallymere::OpenExporter();
    // The text file opens; every open after it fails.
    EXPECT_EXIT(
        {
            platform::faults::Plan("_wfopen", 2, true);
            tallymere::exporter->ExportOne(message);
        },
        ::testing::ExitedWithCode(1), "xExport::GetAttachments: MyCreateFile failed\\.");
}

}  // namespace
