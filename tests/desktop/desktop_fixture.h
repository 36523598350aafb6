// What the desktop program's tests share: a fresh device folder per test, a box port that keeps
// every box instead of showing it, and a way to wait for another thread while Qt's events run.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"  // MakeTempDir, ReadHostFile
#include "platform/device.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace testing_support {

// A mounted device folder, removed when the object goes.
class TempDevice {
public:
    TempDevice() : base_(MakeTempDir("tallymere-desktop-")) {
        platform::faults::Reset();
        std::string error;
        if (!platform::device::Mount(base_ / "device", &error)) throw std::runtime_error(error);
    }
    ~TempDevice() {
        platform::device::Unmount();
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    TempDevice(const TempDevice&) = delete;
    TempDevice& operator=(const TempDevice&) = delete;

    std::filesystem::path Host(const std::string& relative) const { return base_ / "device" / relative; }
    std::string Folder() const { return (base_ / "device").string(); }
    std::filesystem::path Base() const { return base_; }

private:
    std::filesystem::path base_;
};

struct Box {
    std::string text;
    std::string caption;
    std::uint32_t style = 0;
};

// Keeps every box; answers with `answer`, after running `onBox` (which may look at the program
// while the box is "up": Qt's events run inside it when it waits).
class RecordingPort final : public platform::ui::Port {
public:
    int MessageBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption,
                   std::uint32_t style) override {
        {
            std::lock_guard lock(mutex_);
            boxes_.push_back({platform::ToUtf8(text), platform::ToUtf8(caption), style});
        }
        if (onBox) onBox();
        return answer;
    }
    std::vector<Box> Boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const Box& box : Boxes()) texts.push_back(box.text);
        return texts;
    }
    void Forget() {
        std::lock_guard lock(mutex_);
        boxes_.clear();
    }

    int answer = platform::ui::IDOK;
    std::function<void()> onBox;

private:
    std::mutex mutex_;
    std::vector<Box> boxes_;
};

// Runs `work` on a thread of its own and Qt's events here until it has finished (or `limit`
// has passed: false).
inline bool RunWhileEventsRun(const std::function<void()>& work, int limitMs = 30000) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < limitMs) QTest::qWait(10);
    const bool inTime = done.load();
    // A worker late for the limit may still wait for these events: they go on running for it.
    while (!done) QTest::qWait(10);
    worker.join();
    return inTime;
}

}  // namespace testing_support
