#include "platform/window.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/no_destructor.h"

namespace platform::ui {

namespace {

// A window whose messages run on the thread that created it.
class ThreadWindow final : public Window {
public:
    explicit ThreadWindow(WindowProc proc) : proc_(std::move(proc)), owner_(std::this_thread::get_id()) {}

    LRESULT Send(std::uint32_t message, WPARAM wParam, LPARAM lParam) override {
        if (std::this_thread::get_id() == owner_) {
            return IsDestroyed() ? 0 : Dispatch(message, wParam, lParam);
        }
        auto item = std::make_shared<Item>(Item{message, wParam, lParam, true});
        std::unique_lock lock(mutex_);
        // Nobody would ever run it: the window is gone, or its thread has left its loop.
        if (destroyed_ || loopEnded_) return 0;
        queue_.push_back(item);
        wake_.notify_all();
        done_.wait(lock, [&] { return item->finished || destroyed_ || loopEnded_; });
        return item->finished ? item->result : 0;
    }

    bool Post(std::uint32_t message, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard lock(mutex_);
        if (destroyed_) return false;
        queue_.push_back(std::make_shared<Item>(Item{message, wParam, lParam, false}));
        wake_.notify_all();
        return true;
    }

    void Destroy() override {
        if (std::this_thread::get_id() != owner_) return;  // other threads post WM_CLOSE
        {
            std::lock_guard lock(mutex_);
            if (destroyed_ || destroying_) return;
            destroying_ = true;
        }
        proc_(this, WM_DESTROY, 0, 0);
        std::lock_guard lock(mutex_);
        destroyed_ = true;
        queue_.clear();
        wake_.notify_all();
        done_.notify_all();
    }

    bool IsDestroyed() const override {
        std::lock_guard lock(mutex_);
        return destroyed_;
    }

    int RunMessageLoop() override {
        {
            std::lock_guard lock(mutex_);
            loopEnded_ = false;
        }
        for (;;) {
            std::shared_ptr<Item> item;
            {
                std::unique_lock lock(mutex_);
                const auto ready = [&] { return destroyed_ || quit_ || !queue_.empty(); };
                // A timer's message is made when nothing else waits, as the lowest in rank.
                while (!ready()) {
                    if (timers_.empty()) {
                        wake_.wait(lock);
                        continue;
                    }
                    auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
                        return a.second.due < b.second.due;
                    });
                    if (Clock::now() < next->second.due) {
                        wake_.wait_until(lock, next->second.due);
                        continue;
                    }
                    next->second.due = Clock::now() + next->second.period;
                    queue_.push_back(std::make_shared<Item>(Item{WM_TIMER, next->first, 0, false}));
                }
                if (destroyed_ || quit_) {
                    // Sends still waiting, and sends from now on, return 0 instead of hanging.
                    quit_ = false;
                    loopEnded_ = true;
                    for (auto& waiting : queue_) waiting->finished = false;
                    queue_.clear();
                    done_.notify_all();
                    return exitCode_;
                }
                item = queue_.front();
                queue_.pop_front();
            }
            const LRESULT result = Dispatch(item->message, item->wParam, item->lParam);
            std::lock_guard lock(mutex_);
            item->result = result;
            item->finished = true;
            done_.notify_all();
        }
    }

    // Runs the sends waiting for this window, oldest first, when called on its thread.
    bool DispatchSent() override {
        if (std::this_thread::get_id() != owner_) return false;
        bool ran = false;
        for (;;) {
            std::shared_ptr<Item> item;
            {
                std::lock_guard lock(mutex_);
                if (destroyed_) return ran;
                auto sent = std::find_if(queue_.begin(), queue_.end(), [](const auto& i) { return i->sent; });
                if (sent == queue_.end()) return ran;
                item = *sent;
                queue_.erase(sent);
            }
            const LRESULT result = Dispatch(item->message, item->wParam, item->lParam);
            ran = true;
            std::lock_guard lock(mutex_);
            item->result = result;
            item->finished = true;
            done_.notify_all();
        }
    }

    void Quit(int exitCode) override {
        std::lock_guard lock(mutex_);
        quit_ = true;
        exitCode_ = exitCode;
        wake_.notify_all();
    }

    bool SetTimer(std::uintptr_t id, std::uint32_t elapseMs) override {
        std::lock_guard lock(mutex_);
        if (destroyed_) return false;
        const Clock::duration period = std::chrono::milliseconds(std::max<std::uint32_t>(elapseMs, 1));
        timers_[id] = Timer{Clock::now() + period, period};
        wake_.notify_all();
        return true;
    }

    bool KillTimer(std::uintptr_t id) override {
        std::lock_guard lock(mutex_);
        std::erase_if(queue_, [id](const auto& i) { return i->message == WM_TIMER && i->wParam == id && !i->sent; });
        return timers_.erase(id) > 0;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        Clock::duration period;
    };

    struct Item {
        std::uint32_t message;
        WPARAM wParam;
        LPARAM lParam;
        bool sent;
        LRESULT result = 0;
        bool finished = false;
    };

    LRESULT Dispatch(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
        const LRESULT result = proc_(this, message, wParam, lParam);
        // The default handling of an unhandled close: the window goes.
        if (message == WM_CLOSE && result == 0) Destroy();
        return result;
    }

    WindowProc proc_;
    const std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Item>> queue_;
    std::map<std::uintptr_t, Timer> timers_;
    bool destroying_ = false;
    bool destroyed_ = false;
    bool quit_ = false;
    bool loopEnded_ = false;
    int exitCode_ = 0;
};

// Every window ever created, so that handles stay valid until the process ends; never
// destroyed, since senders on other threads may still wait on a window while the process exits.
struct WindowList {
    std::mutex mutex;
    std::list<std::unique_ptr<Window>> windows;
};
WindowList& Windows() {
    static NoDestructor<WindowList> list;
    return *list;
}

}  // namespace

HWND CreateWindowW(WindowProc proc) { return AdoptWindow(std::make_unique<ThreadWindow>(std::move(proc))); }

HWND AdoptWindow(std::unique_ptr<Window> window) {
    WindowList& list = Windows();
    std::lock_guard lock(list.mutex);
    list.windows.push_back(std::move(window));
    return list.windows.back().get();
}

LRESULT SendMessageW(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    return window ? window->Send(message, wParam, lParam) : 0;
}

bool PostMessageW(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    return window && window->Post(message, wParam, lParam);
}

bool DispatchSentMessages() {
    // The windows are looked at without the list's lock held: a message may create a window.
    std::vector<Window*> windows;
    {
        WindowList& list = Windows();
        std::lock_guard lock(list.mutex);
        for (const auto& window : list.windows) windows.push_back(window.get());
    }
    bool ran = false;
    for (Window* window : windows) ran = window->DispatchSent() || ran;
    return ran;
}

bool SetTimer(HWND window, std::uintptr_t id, std::uint32_t elapseMs) {
    return window && window->SetTimer(id, elapseMs);
}

bool KillTimer(HWND window, std::uintptr_t id) { return window && window->KillTimer(id); }

bool ShowWindow(HWND window, int command) {
    if (!window) return false;
    window->Show(command);
    return true;
}

bool DestroyWindow(HWND window) {
    if (!window || window->IsDestroyed()) return false;
    window->Destroy();
    return window->IsDestroyed();
}

}  // namespace platform::ui
