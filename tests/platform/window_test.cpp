#include "platform/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace platform::ui;

TEST(Window, SendsFromOtherThreadsRunOnTheWindowsThreadAndWait) {
    const auto owner = std::this_thread::get_id();
    std::vector<WPARAM> seen;
    bool wrongThread = false;
    HWND window = CreateWindowW([&](HWND, std::uint32_t message, WPARAM w, LPARAM) -> LRESULT {
        if (message != WM_COMMAND) return 0;
        if (std::this_thread::get_id() != owner) wrongThread = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seen.push_back(w);
        return static_cast<LRESULT>(w) + 1;
    });
    std::thread sender([&] {
        for (WPARAM c = 1; c <= 3; ++c) {
            // The command has run by the time the send returns.
            EXPECT_EQ(SendMessageW(window, WM_COMMAND, c, 0), static_cast<LRESULT>(c) + 1);
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(window->RunMessageLoop(), 0);
    sender.join();
    EXPECT_FALSE(wrongThread);
    EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2, 3}));
    EXPECT_TRUE(window->IsDestroyed());
}

TEST(Window, SendFromTheOwnThreadRunsDirectly) {
    int calls = 0;
    HWND window = CreateWindowW([&](HWND, std::uint32_t message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_COMMAND) ++calls;
        return 7;
    });
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 40096, 0), 7);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 40096, 0), 0);
    EXPECT_EQ(calls, 1);
}

TEST(Window, AWaitOnTheWindowsThreadRunsSendsButLeavesPostsToTheLoop) {
    std::vector<WPARAM> seen;
    HWND window = CreateWindowW([&](HWND self, std::uint32_t message, WPARAM w, LPARAM) -> LRESULT {
        if (message == WM_COMMAND) seen.push_back(w);
        if (message == WM_DESTROY) self->Quit(0);
        return 0;
    });
    PostMessageW(window, WM_COMMAND, 1, 0);
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        SendMessageW(window, WM_COMMAND, 2, 0);
        returned = true;
    });
    EXPECT_FALSE(DispatchSentMessages() && seen.empty());
    for (int i = 0; i < 200 && seen.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        DispatchSentMessages();
    }
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(seen, (std::vector<WPARAM>{2})) << "the post waits for the loop";
    std::thread other([&] { EXPECT_FALSE(DispatchSentMessages()) << "nothing of another thread's windows"; });
    other.join();
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(window->RunMessageLoop(), 0);
    EXPECT_EQ(seen, (std::vector<WPARAM>{2, 1}));
}

TEST(Window, DestroyingReleasesWaitingSenders) {
    std::atomic<bool> entered{false};
    HWND window = CreateWindowW([&](HWND self, std::uint32_t message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_COMMAND) {
            entered = true;
            return 1;
        }
        if (message == WM_DESTROY) self->Quit(5);
        return 0;
    });
    // A send that is waiting when the window goes returns 0 instead of hanging.
    std::thread waiting([&] { EXPECT_EQ(SendMessageW(window, WM_COMMAND, 1, 0), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DestroyWindow(window);
    waiting.join();
    EXPECT_FALSE(entered);
    EXPECT_EQ(window->RunMessageLoop(), 5) << "the loop ends at once with the code WM_DESTROY gave";
    EXPECT_FALSE(PostMessageW(window, WM_COMMAND, 1, 0));
}

TEST(Window, SendsAfterTheLoopEndedReturnAtOnce) {
    HWND window = CreateWindowW([&](HWND self, std::uint32_t message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_CLOSE) {
            self->Quit(0);
            return 1;
        }
        return 9;
    });
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(window->RunMessageLoop(), 0);
    std::thread late([&] { EXPECT_EQ(SendMessageW(window, WM_COMMAND, 1, 0), 0); });
    late.join();
    std::thread other([&] { EXPECT_FALSE(DestroyWindow(window)) << "only the owner destroys"; });
    other.join();
    EXPECT_FALSE(window->IsDestroyed());
}

TEST(Window, HandledCloseKeepsTheWindow) {
    HWND window = CreateWindowW([&](HWND self, std::uint32_t message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_CLOSE) {
            self->Quit(3);
            return 1;
        }
        return 0;
    });
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(window->RunMessageLoop(), 3);
    EXPECT_FALSE(window->IsDestroyed());
}

TEST(Window, ATimerQueuesWmTimerOnTheWindowsThreadUntilKilled) {
    const auto owner = std::this_thread::get_id();
    std::vector<WPARAM> timers;
    bool wrongThread = false;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstAfter{};
    HWND window = CreateWindowW([&](HWND self, std::uint32_t message, WPARAM w, LPARAM) -> LRESULT {
        if (message == WM_DESTROY) self->Quit(0);
        if (message != WM_TIMER) return 0;
        if (std::this_thread::get_id() != owner) wrongThread = true;
        if (timers.empty()) firstAfter = std::chrono::steady_clock::now() - start;
        timers.push_back(w);
        // Timer 7 fires three times, then is killed; the last one closes the window.
        if (w == 7 && std::count(timers.begin(), timers.end(), WPARAM{7}) == 3) {
            EXPECT_TRUE(KillTimer(self, 7));
        }
        if (w == 9) PostMessageW(self, WM_CLOSE, 0, 0);
        return 0;
    });
    ASSERT_TRUE(SetTimer(window, 7, 30));
    ASSERT_TRUE(SetTimer(window, 8, 60'000));
    ASSERT_TRUE(KillTimer(window, 8));
    EXPECT_FALSE(KillTimer(window, 8)) << "not armed any more";
    // Re-arming replaces: timer 9 fires once, well after timer 7's three.
    ASSERT_TRUE(SetTimer(window, 9, 10));
    ASSERT_TRUE(SetTimer(window, 9, 1000));
    EXPECT_EQ(window->RunMessageLoop(), 0);
    EXPECT_FALSE(wrongThread);
    EXPECT_EQ(timers, (std::vector<WPARAM>{7, 7, 7, 9}));
    EXPECT_GE(firstAfter, std::chrono::milliseconds(30));
    EXPECT_FALSE(SetTimer(nullptr, 1, 10));
}

}  // namespace
