// The window port on Qt: the desktop program's main window, whose messages run on the GUI
// thread inside Qt's event loop.
//
// A message sent from another thread (the store's notification thread sending command 40096)
// is queued, the GUI thread is woken through Qt's event queue, and the sender blocks until the
// message has run there; a send from the GUI thread runs at once. Once the window is destroyed,
// or the event loop has ended, sends return 0 at once, also those already waiting.
//
// Messages run one at a time. While one is being handled and has entered a nested event loop (a
// modal box or dialog), only the messages the nesting rule allows run inside it (the automatic
// processing the notification sink sends); every other message waits until the outer one has
// ended, so no command ever runs inside another.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/window.h"

namespace platform::qt {

class QtWindow final : public ui::Window {
public:
    // Whether a message may run while another one is being handled.
    using NestingRule = std::function<bool(std::uint32_t message, ui::WPARAM wParam)>;

    // Made on the GUI thread (a QApplication exists); `widget` is what Show shows and hides.
    QtWindow(ui::WindowProc proc, QWidget* widget, NestingRule nestable);
    ~QtWindow() override;

    ui::LRESULT Send(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) override;
    bool Post(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) override;
    void Destroy() override;
    bool IsDestroyed() const override;
    // Runs Qt's event loop (QApplication::exec) and returns its exit code.
    int RunMessageLoop() override;
    void Quit(int exitCode) override;
    // SW_SHOW shows the widget normal (not minimised), raises and activates it; SW_HIDE hides it.
    void Show(int command) override;
    bool DispatchSent() override;
    // A QTimer of the GUI thread per timer; its expiry queues WM_TIMER like a posted message.
    bool SetTimer(std::uintptr_t id, std::uint32_t elapseMs) override;
    bool KillTimer(std::uintptr_t id) override;

    // Runs `task` on the GUI thread, at once when called there, else queued like a sent message
    // that may run inside any other; waits until it has run. False when the window is gone or
    // its loop has ended, and the task did not run.
    bool RunOnWindowThread(const std::function<void()>& task);
    // From now on nothing more runs (the process is ending with a failure box).
    void Halt();

    QWidget* Widget() const { return widget_.data(); }

private:
    struct Item {
        std::uint32_t message = 0;
        ui::WPARAM wParam = 0;
        ui::LPARAM lParam = 0;
        bool sent = false;
        std::function<void()> task;  // a RunOnWindowThread task instead of a message
        ui::LRESULT result = 0;
        bool finished = false;
    };
    class Waker;

    bool OnGuiThread() const { return std::this_thread::get_id() == owner_; }
    ui::LRESULT Dispatch(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam);
    // Runs what may run now, oldest first (only sent messages with `sentOnly`).
    bool Drain(bool sentOnly);
    void WakeLocked();
    void EndLoopLocked();

    ui::WindowProc proc_;
    QPointer<QWidget> widget_;
    NestingRule nestable_;
    const std::thread::id owner_;
    std::unique_ptr<Waker> waker_;

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Item>> queue_;
    std::map<std::uintptr_t, std::unique_ptr<QTimer>> timers_;  // GUI thread only
    int depth_ = 0;                                             // messages being handled now
    bool wakePending_ = false;
    bool destroying_ = false;
    bool destroyed_ = false;
    bool loopEnded_ = false;
    bool halted_ = false;
};

// The Qt window behind a handle, or null when it is another kind of window.
QtWindow* AsQtWindow(ui::HWND window);

}  // namespace platform::qt
