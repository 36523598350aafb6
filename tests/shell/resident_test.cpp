// The resident program in one process: start-up with the notification sink registered, a main
// window whose loop runs the command table, and the phone delivering and deleting messages.
// A restore run through the command table must never be taken for a run of new arrivals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auto/delay.h"
#include "auto/stack.h"
#include "phone/device_deliver.h"
#include "phone/device_store.h"
#include "device_fixture.h"
#include "platform/text.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/commands.h"
#include "support/fatal.h"
#include "support/main_window.h"

namespace {

namespace mapi = platform::mapi;
namespace ui = platform::ui;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Answers every question with OK, as `--yes` does, and keeps every box's text.
class AnswerOk final : public ui::Port {
public:
    int MessageBox(ui::HWND, std::u16string_view text, std::u16string_view, std::uint32_t) override {
        std::lock_guard lock(mutex);
        boxes.push_back(platform::ToUtf8(text));
        return ui::IDOK;
    }
    bool Saw(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::find(boxes.begin(), boxes.end(), text) != boxes.end();
    }
    std::mutex mutex;
    std::vector<std::string> boxes;
};

// A second sink that takes its time over every notification, as a busy notification thread
// would: the store's deliveries then lag well behind the changes that cause them.
class SlowSink final : public mapi::IMAPIAdviseSink {
public:
    mapi::HRESULT QueryInterface(const mapi::IID&, void** object) override {
        *object = static_cast<mapi::IMAPIAdviseSink*>(this);
        AddRef();
        return 0;
    }
    mapi::ULONG AddRef() override { return ++refs; }
    mapi::ULONG Release() override { return --refs; }
    mapi::ULONG OnNotify(mapi::ULONG, mapi::NOTIFICATION*) override {
        std::this_thread::sleep_for(5ms);
        return 0;
    }
    std::atomic<mapi::ULONG> refs{1};
};

template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class Resident : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        oldPort = ui::SetPort(&port);
        window =
            ui::CreateWindowW([this](ui::HWND self, std::uint32_t message, ui::WPARAM w, ui::LPARAM) -> ui::LRESULT {
                if (message == ui::WM_DESTROY) self->Quit(0);
                if (message == ui::WM_TIMER) tallymere::OnTimer(self, w);
                if (message != ui::WM_COMMAND) return 0;
                {
                    std::lock_guard lock(mutex);
                    commands.push_back(static_cast<std::uint32_t>(w));
                }
                return tallymere::OnCommand(self, static_cast<std::uint32_t>(w & 0xFFFF)) ? 0 : 1;
            });
        tallymere::mainWindow.store(window);
        phone = std::make_unique<phone::Phone>();
    }
    void TearDown() override {
        if (slowConnection != 0) phone->Session()->Unadvise(slowConnection);
        if (begun) tallymere::EndApp(tallymere::StartMode::Resident);
        phone.reset();
        tallymere::mainWindow.store(nullptr);
        ui::SetPort(oldPort);
        DeviceTest::TearDown();
    }

    void Start() {
        tallymere::BeginApp(tallymere::StartMode::Resident);
        begun = true;
    }

    Bytes Deliver(const std::u16string& subject, const std::u16string& folder = u"SMS/Inbox") {
        phone::Delivery d;
        d.folder = folder;
        d.subject = subject;
        d.body = u"Body of " + subject;
        d.from = u"+4917012345";
        d.deliveryTime = platform::FromUnixTime(1200000000);
        return phone::Deliver(*phone, d);
    }

    void Delete(const Bytes& id, const std::u16string& folder) {
        auto f = phone->FindFolder(folder);
        mapi::SBinary entry{static_cast<mapi::ULONG>(id.size()), const_cast<std::uint8_t*>(id.data())};
        mapi::ENTRYLIST list{1, &entry};
        ASSERT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), 0);
    }

    void SlowDownTheNotificationThread() {
        ASSERT_EQ(phone->Session()->Advise(0, nullptr, 0x7C, &slowSink, &slowConnection), 0);
    }

    // Six messages in two folders, archived by "Backup All", then deleted from the store.
    void ArchiveAndDeleteSix() {
        std::vector<std::pair<Bytes, std::u16string>> stored;
        for (int i = 0; i < 6; ++i) {
            const std::u16string folder = i % 2 == 0 ? u"SMS/Inbox" : u"SMS/Sent Items";
            stored.emplace_back(Deliver(u"old " + std::u16string(1, static_cast<char16_t>(u'A' + i)), folder), folder);
        }
        Start();
        EXPECT_TRUE(tallymere::OnCommand(window, tallymere::kCommandBackupAll));
        ASSERT_TRUE(port.Saw("Message backup was successfull. (6 messages)"));
        for (const auto& [id, folder] : stored) Delete(id, folder);
    }

    // The messages' own text files under the export directory (relative paths), with contents.
    std::vector<std::pair<std::string, std::string>> TextFiles() const {
        const std::filesystem::path root = Host("Program Files/Tallymere/Tallyport");
        std::vector<std::pair<std::string, std::string>> files;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().extension() != ".txt") continue;
            files.emplace_back(std::filesystem::relative(it->path(), root).string(),
                               testing_support::ReadHostFile(it->path()));
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    bool Exported(const std::string& subject) const {
        for (const auto& [path, text] : TextFiles()) {
            if (text.find(subject) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::uint32_t> Commands() {
        std::lock_guard lock(mutex);
        return commands;
    }

    AnswerOk port;
    ui::Port* oldPort = nullptr;
    ui::HWND window = nullptr;
    std::unique_ptr<phone::Phone> phone;
    SlowSink slowSink;
    mapi::ULONG slowConnection = 0;
    bool begun = false;
    std::mutex mutex;
    std::vector<std::uint32_t> commands;
};

TEST_F(Resident, ANewMessageIsExportedOnItsOwnAfterThePause) {
    Start();
    Deliver(u"brand new", u"SMS/Sent Items");
    const auto delivered = std::chrono::steady_clock::now();
    std::thread closer([&] {
        EXPECT_TRUE(WaitFor([&] { return Exported("brand new"); }, 20s));
        ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(window->RunMessageLoop(), 0);
    closer.join();
    EXPECT_GE(std::chrono::steady_clock::now() - delivered, 2000ms) << "the command pauses before it exports";
    EXPECT_EQ(Commands(), (std::vector<std::uint32_t>{40096}));
    const auto files = TextFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[0].first).parent_path(), std::filesystem::path("SMS/Sent Items"));
    EXPECT_EQ(tallymere::delayQueue->count, 0u);
    EXPECT_EQ(tallymere::recentIds->count, 0u);
}

// Mended: the notifications of the restored messages could still be on their way when the
// restore command switched the stack on again, and each restored message would then have been
// taken for a new arrival and exported.
TEST_F(Resident, ARestoreThroughTheCommandTableExportsNothingAutomatically) {
    ArchiveAndDeleteSix();
    SlowDownTheNotificationThread();

    ui::PostMessageW(window, ui::WM_COMMAND, tallymere::kCommandRestoreExtra, 0);
    std::thread phoneSide([&] {
        ASSERT_TRUE(WaitFor([&] { return port.Saw("Message restore was successfull. (6 messages)"); }, 30s));
        // The sink still works after the restore: a message arriving now is exported, and
        // anything the restore's notifications had handed on would have been exported before it.
        Deliver(u"after the restore");
        EXPECT_TRUE(WaitFor([&] { return Exported("after the restore"); }, 40s));
        ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(window->RunMessageLoop(), 0);
    phoneSide.join();

    EXPECT_EQ(Commands(), (std::vector<std::uint32_t>{40056, 40096}));
    const auto files = TextFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].second.find("after the restore"), std::string::npos);
    EXPECT_EQ(tallymere::recentIds->count, 0u) << "no restored message was remembered as created";
    EXPECT_TRUE(tallymere::recentIds->IsEnabled());
    EXPECT_EQ(tallymere::delayQueue->count, 0u);
}

// A hand-over that is already waiting for the window when a restore starts is run while the
// restore waits for its own notifications, rather than holding them up.
TEST_F(Resident, AHandOverWaitingWhenARestoreStartsDoesNotLetTheRestoresNotificationsThrough) {
    ArchiveAndDeleteSix();
    SlowDownTheNotificationThread();

    // The restore command is first in the window's queue; the sink's command for a message that
    // arrives now waits behind it.
    ui::PostMessageW(window, ui::WM_COMMAND, tallymere::kCommandRestoreExtra, 0);
    Deliver(u"arrived just before");
    ASSERT_TRUE(WaitFor([] { return tallymere::delayQueue->count == 1; }, 10s));

    std::thread closer([&] {
        EXPECT_TRUE(WaitFor([&] { return port.Saw("Message restore was successfull. (6 messages)"); }, 60s));
        EXPECT_TRUE(WaitFor([&] { return Exported("arrived just before"); }, 60s));
        // Time for anything handed on late to show.
        std::this_thread::sleep_for(300ms);
        ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(window->RunMessageLoop(), 0);
    closer.join();

    const auto files = TextFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].second.find("arrived just before"), std::string::npos);
    EXPECT_EQ(Commands(), (std::vector<std::uint32_t>{40056, 40096}));
    EXPECT_EQ(tallymere::recentIds->count, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "nothing waited for a stuck notification thread";
}

}  // namespace
