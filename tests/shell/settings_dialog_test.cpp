// The settings dialog's OK path, its folder browser and the about dialog, driven in memory.
#include "shell/settings_dialog.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "platform/dialog_memory.h"
#include "platform/text.h"
#include "shell/folder_browser.h"
#include "support/settings.h"
#include "support/tree_items.h"

namespace {

namespace dialog = platform::dialog;
namespace ui = platform::ui;
using dialog::MemoryDialog;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

// Keeps every box's caption and text.
class Boxes final : public ui::Port {
public:
    int MessageBox(ui::HWND, std::u16string_view text, std::u16string_view caption, std::uint32_t) override {
        seen.push_back(platform::ToUtf8(caption) + ": " + platform::ToUtf8(text));
        return ui::IDOK;
    }
    std::vector<std::string> seen;
};

class SettingsDialog : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        oldPort = ui::SetPort(&boxes);
        tallymere::ApplyStartupDefaults();
        settings = std::make_unique<MemoryDialog>(tallymere::kSettingsDialog, tallymere::SettingsDlgProc);
        // "Select Folder" opens the browser, which `browse` plays.
        settings->onDialogBox = [this](int templateId, dialog::DialogProc proc) -> dialog::INT_PTR {
            EXPECT_EQ(templateId, tallymere::kFolderBrowser);
            MemoryDialog browser(templateId, std::move(proc));
            browser.Init();
            if (browse) browse(browser, *browser.Tree(tallymere::kFolderTree));
            return browser.Ended() ? browser.Result() : dialog::kNoDialog;
        };
        settings->Init();
    }
    void TearDown() override {
        ui::SetPort(oldPort);
        DeviceTest::TearDown();
    }
    std::u16string OutputDir() { return tallymere::GetRegistryStr(u"OutputDir"); }
    std::u16string Field() { return settings->GetItemText(tallymere::kOutputDirField); }
    void Enter(std::u16string_view text) { settings->SetItemText(tallymere::kOutputDirField, text); }

    Boxes boxes;
    ui::Port* oldPort = nullptr;
    std::unique_ptr<MemoryDialog> settings;
    std::function<void(MemoryDialog&, platform::tree::MemoryTree&)> browse;
};

TEST_F(SettingsDialog, OkStoresTheDirectoryWithoutItsTrailingBackslashAndMovesTheArchive) {
    EXPECT_EQ(Field(), u"\\Program Files\\Tallymere");
    EXPECT_EQ(settings->Focus(), tallymere::kOutputDirField);
    WriteHostFile(Host("Program Files/Tallymere/Tallymere/Messages.dat"), "records");
    std::filesystem::create_directories(Host("Storage Card"));
    Enter(u"\\Storage Card\\");
    settings->Command(tallymere::kSettingsOk);
    ASSERT_TRUE(settings->Ended());
    EXPECT_EQ(settings->Result(), static_cast<dialog::INT_PTR>(tallymere::kSettingsOk));
    EXPECT_EQ(OutputDir(), u"\\Storage Card");
    EXPECT_EQ(ReadHostFile(Host("Storage Card/Tallymere/Messages.dat")), "records");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Storage Card/Tallyport")));
    EXPECT_TRUE(boxes.seen.empty());
}

TEST_F(SettingsDialog, AnEmptyOrOverlongDirectoryIsRefusedWithABoxAndTheDialogStaysOpen) {
    const std::u16string tooLong = u"\\" + std::u16string(tallymere::kMaxOutputDirLength, u'd');
    for (std::u16string_view entry :
         {std::u16string_view(u""), std::u16string_view(u"\\"), std::u16string_view(tooLong)}) {
        Enter(entry);
        settings->Command(tallymere::kSettingsOk);
        EXPECT_FALSE(settings->Ended());
        EXPECT_EQ(OutputDir(), u"\\Program Files\\Tallymere") << "nothing stored";
        EXPECT_EQ(Field(), entry) << "the field keeps what was typed";
    }
    EXPECT_EQ(boxes.seen, (std::vector<std::string>{
                              "Tallymere Settings: Output directory must not be empty.",
                              "Tallymere Settings: Output directory must not be empty.",
                              "Tallymere Settings: Output directory must not be longer than 476 characters."}));
    // The longest allowed directory is taken whole.
    const std::u16string longest = u"\\" + std::u16string(tallymere::kMaxOutputDirLength - 1, u'd');
    Enter(longest);
    settings->Command(tallymere::kSettingsOk);
    EXPECT_TRUE(settings->Ended());
    EXPECT_EQ(OutputDir(), longest);
}

TEST_F(SettingsDialog, TheBrowserFillsTheFieldOnlyWhenADirectoryIsChosenAndCancelStoresNothing) {
    std::filesystem::create_directories(Host("Storage Card/Backups"));
    std::vector<std::u16string> roots;
    browse = [&](MemoryDialog& browser, platform::tree::MemoryTree& tree) {
        roots.clear();
        for (auto item = tree.GetChild({}); item; item = tree.GetNextSibling(item))
            roots.push_back(tree.GetItemText(item));
        browser.Command(ui::IDOK);  // nothing selected
    };
    settings->Command(tallymere::kSelectFolderButton);
    EXPECT_EQ(roots, (std::vector<std::u16string>{u"My Documents", u"Program Files", u"Storage Card"}))
        << "\".platform\" is hidden";
    EXPECT_EQ(Field(), u"\\Program Files\\Tallymere") << "Done with nothing selected keeps the field";

    browse = [](MemoryDialog& browser, platform::tree::MemoryTree& tree) {
        auto card = tree.GetChild({});
        while (card && tree.GetItemText(card) != u"Storage Card") card = tree.GetNextSibling(card);
        tree.SelectItem(tree.GetChild(card));
        browser.Command(ui::IDOK);
    };
    settings->Command(tallymere::kSelectFolderButton);
    EXPECT_EQ(Field(), u"\\Storage Card\\Backups");
    EXPECT_EQ(tallymere::browsedFolder, u"\\Storage Card\\Backups");
    settings->Command(1);  // the caption's Done does nothing here
    EXPECT_FALSE(settings->Ended());
    settings->Command(tallymere::kSettingsCancel);
    EXPECT_EQ(settings->Result(), static_cast<dialog::INT_PTR>(tallymere::kSettingsCancel));
    EXPECT_EQ(OutputDir(), u"\\Program Files\\Tallymere");
}

TEST(AboutDialog, ClosesOnlyThroughTheOkInItsCaption) {
    MemoryDialog about(tallymere::kAboutDialog, tallymere::AboutDlgProc);
    about.Init();
    about.Command(2);
    EXPECT_FALSE(about.Ended());
    about.Command(ui::IDOK);
    EXPECT_TRUE(about.Ended());
    EXPECT_EQ(about.Result(), 1);
}

}  // namespace
