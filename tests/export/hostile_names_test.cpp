// Names from outside (attachment names are the sender's text, folder names whatever the store
// holds) never make an export write outside the export directory.
#include <gtest/gtest.h>

#include "export_fixture.h"

namespace {

using export_testing::AddAttachment;
using export_testing::ExportTest;
using export_testing::Message;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
namespace fs = std::filesystem;

class HostileNameTest : public ExportTest {
protected:
    void SetUp() override {
        ExportTest::SetUp();
        before_ = DeviceTree();
    }
    // Every path the export added lies inside the export directory.
    void ExpectNothingOutsideTheExportTree() {
        for (const std::string& path : DeviceTree()) {
            if (before_.count(path) == 0) {
                EXPECT_EQ(path.rfind("Out/Tallyport/", 0), 0u) << path;
            }
        }
    }
    std::set<std::string> before_;
};

TEST_F(HostileNameTest, AttachmentNamesWithSeparatorsDotsOrControlsStayInTheirDirectory) {
    auto message = Message(1, u"SMS");
    AddAttachment(message, u"..\\..\\.profile", "profile");
    AddAttachment(message, u"../x", "x");
    AddAttachment(message, u"a\\b", "ab");
    AddAttachment(message, u"..", "dotdot");
    AddAttachment(message, u".", "dot");
    AddAttachment(message, u"bell\a\ttab\x1F.txt", "controls");
    AddAttachment(message, std::u16string(u"nul\0.bin", 8), "nul");
    AddAttachment(message, u"photo 1.jpg", "ordinary");
    AddAttachment(message, u"..hidden", "kept as is");
    EXPECT_EQ(ExportPass(message), 1);
    ExpectNothingOutsideTheExportTree();
    EXPECT_EQ(ReadHostFile(Export("SMS/001_.._.._.profile")), "profile");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_.._x")), "x");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_a_b")), "ab");
    // "." and ".." both become "_": the second is told apart rather than overwriting the first.
    EXPECT_EQ(ReadHostFile(Export("SMS/001__")), "dotdot");
    EXPECT_EQ(ReadHostFile(Export("SMS/001___2")), "dot");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_bell__tab_.txt")), "controls");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_nul_.bin")), "nul");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_photo 1.jpg")), "ordinary");
    EXPECT_EQ(ReadHostFile(Export("SMS/001_..hidden")), "kept as is");
    EXPECT_FALSE(fs::exists(Host(".profile")));
    EXPECT_FALSE(fs::exists(Host("Out/.profile")));
}

TEST_F(HostileNameTest, FolderNamesBecomeSafeDirectoryNames) {
    struct Case {
        std::u16string folder;
        std::string dir;
    };
    const std::vector<Case> cases = {
        {u"../../evil", "_/_/evil"},
        {u"Store/..", "Store/_"},
        {u"./x", "_/x"},
        {u"a\\b/c", "a_b/c"},
        {u"SMS/bell\a", "SMS/bell_"},
        {u"", "_"},
        {u"/Inbox", "_/Inbox"},
        {u"SMS//Inbox", "SMS/_/Inbox"},
        {u"Zoë \U0001F600/My Folder.old", "Zo\xC3\xAB \xF0\x9F\x98\x80/My Folder.old"},
    };
    tallymere::OpenExporter();
    std::uint32_t n = 1;
    for (const Case& c : cases) {
        auto message = Message(n++, c.folder);
        message.SetSenderEmail(u"+1");
        EXPECT_EQ(tallymere::exporter->ExportOne(message), 1);
    }
    tallymere::CloseExporter();
    ExpectNothingOutsideTheExportTree();
    for (const Case& c : cases) EXPECT_TRUE(fs::exists(Export(c.dir + "/001_1.txt"))) << c.dir;
    // "" and "/Inbox" used to meet in the export directory itself and in "Inbox"; now each
    // folder has a directory of its own, so their numbers never collide.
    EXPECT_FALSE(fs::exists(Export("001_1.txt")));
    EXPECT_FALSE(fs::exists(Export("Inbox")));
}

TEST_F(HostileNameTest, MmsFileNameWithControlCharactersIsCopiedUnderASafeName) {
    WriteHostFile(Mms("m\x01.mms"), "12345");
    before_ = DeviceTree();
    auto message = Message(1, u"MMS");
    message.SetMessageClass(u"IPM.MMS");
    message.SetMessageSize(5);
    EXPECT_EQ(ExportPass(message), 1);
    ExpectNothingOutsideTheExportTree();
    EXPECT_EQ(ReadHostFile(Export("MMS/001_m_.mms")), "12345");
}

}  // namespace
