// The window port on Qt, offscreen: where a window's messages run, what a send from another
// thread waits for, what runs inside a modal box, and sends to a window that is gone.
#include <QTest>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "desktop_fixture.h"
#include "platform/qt/qt_window.h"

namespace {

namespace ui = platform::ui;
using testing_support::RunWhileEventsRun;

constexpr std::uint32_t kNested = 40096;  // the one command allowed inside another's box

}  // namespace

class QtWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QWidget> widget_;
    std::mutex mutex_;
    std::vector<ui::WPARAM> seen_;
    std::vector<bool> onGuiThread_;
    // What a command does while it runs (its "modal box"), by command number.
    std::function<void(ui::WPARAM)> during_;

    ui::HWND MakeWindow() {
        widget_ = std::make_unique<QWidget>();
        auto proc = [this](ui::HWND self, std::uint32_t message, ui::WPARAM w, ui::LPARAM) -> ui::LRESULT {
            if (message == ui::WM_DESTROY) self->Quit(0);
            if (message != ui::WM_COMMAND) return 0;
            {
                std::lock_guard lock(mutex_);
                seen_.push_back(w);
                onGuiThread_.push_back(QThread::currentThread() == qApp->thread());
            }
            if (during_) during_(w);
            return static_cast<ui::LRESULT>(w) + 1;
        };
        auto rule = [](std::uint32_t message, ui::WPARAM w) { return message == ui::WM_COMMAND && w == kNested; };
        return ui::AdoptWindow(std::make_unique<platform::qt::QtWindow>(proc, widget_.get(), rule));
    }

    std::vector<ui::WPARAM> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private slots:
    void init() {
        seen_.clear();
        onGuiThread_.clear();
        during_ = nullptr;
    }

    void aSendFromAnotherThreadRunsOnTheGuiThreadAndWaitsForIt() {
        ui::HWND window = MakeWindow();
        std::vector<ui::LRESULT> results;
        QVERIFY(RunWhileEventsRun([&] {
            for (ui::WPARAM c = 1; c <= 3; ++c) results.push_back(ui::SendMessageW(window, ui::WM_COMMAND, c, 0));
        }));
        QCOMPARE(results, (std::vector<ui::LRESULT>{2, 3, 4}));
        QCOMPARE(Seen(), (std::vector<ui::WPARAM>{1, 2, 3}));
        QCOMPARE(onGuiThread_, (std::vector<bool>{true, true, true}));
        // From the GUI thread a send runs at once.
        QCOMPARE(ui::SendMessageW(window, ui::WM_COMMAND, 9, 0), ui::LRESULT{10});
        QVERIFY(ui::DestroyWindow(window));
    }

    void onlyTheAutomaticCommandRunsInsideAnotherOnesBox() {
        ui::HWND window = MakeWindow();
        std::atomic<bool> nestedDone{false};
        std::vector<ui::WPARAM> seenInsideTheBox;
        during_ = [&](ui::WPARAM w) {
            if (w != 1) return;
            // The box of command 1: another thread sends the automatic command (it runs here) and
            // posts a menu command (it waits until command 1 has ended).
            std::thread other([&] {
                ui::PostMessageW(window, ui::WM_COMMAND, 2, 0);
                ui::SendMessageW(window, ui::WM_COMMAND, kNested, 0);
                nestedDone = true;
            });
            QTRY_VERIFY(nestedDone.load());
            QTest::qWait(50);
            seenInsideTheBox = Seen();
            other.join();
        };
        ui::SendMessageW(window, ui::WM_COMMAND, 1, 0);
        QCOMPARE(seenInsideTheBox, (std::vector<ui::WPARAM>{1, kNested}));
        QTRY_COMPARE(Seen(), (std::vector<ui::WPARAM>{1, kNested, 2}));
        QVERIFY(ui::DestroyWindow(window));
    }

    void aWaitOnTheGuiThreadRunsWaitingSends() {
        ui::HWND window = MakeWindow();
        std::atomic<bool> returned{false};
        std::thread sender([&] {
            ui::SendMessageW(window, ui::WM_COMMAND, kNested, 0);
            returned = true;
        });
        // What a wait for the store's notifications does on the window's thread, without Qt's loop.
        for (int i = 0; i < 400 && !returned; ++i) {
            ui::DispatchSentMessages();
            QThread::msleep(5);
        }
        sender.join();
        QVERIFY(returned);
        QCOMPARE(Seen(), (std::vector<ui::WPARAM>{kNested}));
        QVERIFY(ui::DestroyWindow(window));
    }

    void sendsToAWindowThatIsGoneReturnAtOnce() {
        ui::HWND window = MakeWindow();
        // A send that waits when the window goes is released with 0.
        std::atomic<ui::LRESULT> waited{-1};
        std::thread waiting([&] { waited = ui::SendMessageW(window, ui::WM_COMMAND, 5, 0); });
        QTest::qSleep(50);  // the send waits: no events run here
        QVERIFY(ui::DestroyWindow(window));
        waiting.join();
        QCOMPARE(waited.load(), ui::LRESULT{0});
        QVERIFY(Seen().empty());
        QVERIFY(!widget_->isVisible());
        std::thread late([&] { QCOMPARE(ui::SendMessageW(window, ui::WM_COMMAND, 6, 0), ui::LRESULT{0}); });
        late.join();
        QVERIFY(!ui::PostMessageW(window, ui::WM_COMMAND, 7, 0));
        QCOMPARE(ui::SendMessageW(window, ui::WM_COMMAND, 8, 0), ui::LRESULT{0});
        QTest::qWait(20);
        QVERIFY(Seen().empty());
    }
};

QTEST_MAIN(QtWindowTest)
#include "qt_window_test.moc"
