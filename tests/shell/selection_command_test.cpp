// "Export by Selection" and "Backup by Selection" through the command table of the resident
// program, with a message arriving while the selection dialog is open: the sink's command runs
// nested inside the dialog and must leave the pass around it intact.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "archive/backup.h"
#include "auto/delay.h"
#include "phone/device_deliver.h"
#include "device_fixture.h"
#include "platform/dialog_memory.h"
#include "platform/text.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "shell/selection_dialog.h"
#include "support/fatal.h"
#include "support/main_window.h"
#include "support/tree_items.h"

namespace {

namespace dialog = platform::dialog;
namespace ui = platform::ui;
using namespace std::chrono_literals;

class Boxes final : public ui::Port {
public:
    int MessageBox(ui::HWND, std::u16string_view text, std::u16string_view, std::uint32_t) override {
        seen.push_back(platform::ToUtf8(text));
        return ui::IDOK;
    }
    std::vector<std::string> seen;
};

class SelectionCommand : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        oldPort = ui::SetPort(&boxes);
        oldHost = dialog::SetHost(&host);
        window = ui::CreateWindowW([](ui::HWND self, std::uint32_t message, ui::WPARAM w, ui::LPARAM) -> ui::LRESULT {
            if (message != ui::WM_COMMAND) return 0;
            return tallymere::OnCommand(self, static_cast<std::uint32_t>(w & 0xFFFF)) ? 0 : 1;
        });
        tallymere::mainWindow.store(window);
        phone = std::make_unique<phone::Phone>();
    }
    void TearDown() override {
        tallymere::EndApp(tallymere::StartMode::Resident);
        phone.reset();
        tallymere::mainWindow.store(nullptr);
        dialog::SetHost(oldHost);
        ui::SetPort(oldPort);
        DeviceTest::TearDown();
    }

    void Deliver(const std::u16string& subject) {
        phone::Delivery d;
        d.subject = subject;
        d.body = u"Body of " + subject;
        d.from = u"+4917012345";
        phone::Deliver(*phone, d);
    }

    // The dialog's user: a message arrives and is handled (the host runs what the sink sends
    // to the main window, and the window's timer when the arrival is due), then the message listed first in the Inbox is ticked and Done pressed.
    void ArriveThenTickAndDone(dialog::MemoryDialog& selection) {
        Deliver(u"arrives meanwhile");
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (!(arrived = Exported("arrives meanwhile")) && std::chrono::steady_clock::now() < end) {
            ui::DispatchSentMessages();
            // The dialog's own loop delivers the window's timer, which hands due arrivals on.
            tallymere::OnTimer(window, tallymere::kArrivalTimer);
            std::this_thread::sleep_for(5ms);
        }
        openAfterArrival = tallymere::IsBackupOpen();
        auto& tree = *selection.Tree(tallymere::kSelectionTree);
        auto sms = tree.GetChild({});
        auto inbox = tree.GetChild(sms);
        while (inbox && !tree.GetItemText(inbox).starts_with(u"Inbox")) inbox = tree.GetNextSibling(inbox);
        tallymere::CheckItem(tree, tree.GetChild(inbox), tallymere::kSelected);
        selection.Command(ui::IDOK);
    }

    std::vector<std::string> TextFiles(const char* dir = "SMS/Inbox") const {
        std::vector<std::string> names;
        for (const auto& entry :
             std::filesystem::directory_iterator(Host(std::string("Program Files/Tallymere/Tallyport/") + dir))) {
            if (entry.path().extension() == ".txt") names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Exported(const std::string& subject) const {
        std::error_code ec;
        const auto root = Host("Program Files/Tallymere/Tallyport/SMS/Inbox");
        for (auto it = std::filesystem::directory_iterator(root, ec);
             !ec && it != std::filesystem::directory_iterator(); ++it) {
            if (testing_support::ReadHostFile(it->path()).find(subject) != std::string::npos) return true;
        }
        return false;
    }
    std::uintmax_t ListSize(const char* dir) const {
        return std::filesystem::file_size(Host(std::string("Program Files/Tallymere/") + dir + "/Messages.ndx"));
    }

    Boxes boxes;
    ui::Port* oldPort = nullptr;
    dialog::MemoryHost host{[this](dialog::MemoryDialog& d) { ArriveThenTickAndDone(d); }};
    dialog::Host* oldHost = nullptr;
    ui::HWND window = nullptr;
    std::unique_ptr<phone::Phone> phone;
    bool arrived = false;
    bool openAfterArrival = false;
};

// Mended: the nested automatic export opened an exporter of its own, which closed the one the
// dialog's pass was using; the pass then exported nothing and its export list lost the arrival.
TEST_F(SelectionCommand, AnArrivalDuringExportBySelectionIsExportedOnceAndThePassStaysRight) {
    Deliver(u"here before");
    tallymere::BeginApp(tallymere::StartMode::Resident);
    ASSERT_TRUE(tallymere::OnCommand(window, tallymere::kCommandExportBySelection));
    EXPECT_TRUE(arrived);
    EXPECT_EQ(boxes.seen, std::vector<std::string>{"1 messages exported successfully."});
    EXPECT_EQ(TextFiles().size(), 2u) << "two files, numbered apart";
    EXPECT_TRUE(Exported("here before"));
    EXPECT_EQ(ListSize("Tallyport"), 2u * 28u) << "the pass's export list holds both";
    EXPECT_EQ(tallymere::delayQueue->count, 0u);

    ASSERT_TRUE(tallymere::OnCommand(window, tallymere::kCommandExportAll));
    EXPECT_EQ(boxes.seen.back(), "0 messages exported successfully.");
    EXPECT_EQ(TextFiles().size(), 2u);
}

TEST_F(SelectionCommand, AnArrivalDuringBackupBySelectionLeavesTheOpenArchiveWriterAlone) {
    Deliver(u"here before");
    tallymere::BeginApp(tallymere::StartMode::Resident);
    ASSERT_TRUE(tallymere::OnCommand(window, tallymere::kCommandBackupBySelection));
    EXPECT_TRUE(arrived);
    EXPECT_TRUE(openAfterArrival);
    EXPECT_EQ(boxes.seen, std::vector<std::string>{"Message backup was successfull. (1 messages)"});
    EXPECT_EQ(ListSize("Tallymere"), 28u);
    EXPECT_EQ(ListSize("Tallyport"), 28u) << "the arrival was exported on its own";
}

}  // namespace
