// The notification sink's rules, fed with notifications made by hand. The main window is a
// thread window whose procedure records every command it receives, with the identifier that
// was waiting on the delay queue at that moment, and then takes it off as processing would.
#include "auto/sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "auto/delay.h"
#include "auto/stack.h"
#include "platform/window.h"
#include "support/fatal.h"
#include "support/main_window.h"

namespace {

namespace mapi = platform::mapi;
namespace ui = platform::ui;
using Bytes = std::vector<std::uint8_t>;
using tallymere::delayQueue;
using tallymere::recentIds;

Bytes Id(std::uint8_t n) {
    Bytes id(20, 0x11);
    id[0] = n;
    return id;
}

mapi::NOTIFICATION Note(mapi::ULONG event, Bytes& id, mapi::ULONG type = mapi::MAPI_MESSAGE) {
    mapi::NOTIFICATION n;
    n.ulEventType = event;
    n.info.obj.ulObjType = type;
    n.info.obj.cbEntryID = static_cast<mapi::ULONG>(id.size());
    n.info.obj.lpEntryID = id.data();
    return n;
}

struct Handed {
    std::uint32_t message;
    ui::WPARAM command;
    ui::LPARAM second;
    Bytes waiting;  // the oldest identifier on the delay queue when the command arrived
    std::thread::id thread;
};

class SinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        recentIds = std::make_unique<tallymere::xStack>();
        delayQueue = std::make_unique<tallymere::xDelay>();
        window =
            ui::CreateWindowW([this](ui::HWND self, std::uint32_t message, ui::WPARAM w, ui::LPARAM l) -> ui::LRESULT {
                if (message == ui::WM_COMMAND) {
                    Bytes oldest = delayQueue->count > 0 ? delayQueue->ids[0] : Bytes();
                    handed.push_back({message, w, l, oldest, std::this_thread::get_id()});
                    if (drain) delayQueue->RemoveFirst();
                }
                if (message == ui::WM_DESTROY) self->Quit(0);
                return 0;
            });
        tallymere::mainWindow.store(window);
        sink = tallymere::CMAPIAdviseSink::Create(nullptr);
    }
    void TearDown() override {
        tallymere::mainWindow.store(nullptr);
        ui::DestroyWindow(window);
        delayQueue.reset();
        recentIds.reset();
    }
    // One notification per call, as the store delivers them.
    void Notify(mapi::ULONG event, Bytes id, mapi::ULONG type = mapi::MAPI_MESSAGE) {
        mapi::NOTIFICATION n = Note(event, id, type);
        EXPECT_EQ(sink->OnNotify(1, &n), 0u);
    }

    ui::HWND window = nullptr;
    bool drain = true;
    std::vector<Handed> handed;
    mapi::Ptr<tallymere::CMAPIAdviseSink> sink;
};

TEST_F(SinkTest, CreatedThenModifiedIsHandedOnOnce) {
    Notify(mapi::fnevObjectCreated, Id(1));
    EXPECT_TRUE(handed.empty()) << "a creation alone hands nothing on";
    ASSERT_EQ(recentIds->count, 1u);
    EXPECT_EQ(recentIds->ids[0], Id(1));

    Notify(mapi::fnevObjectModified, Id(1));
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].message, ui::WM_COMMAND);
    EXPECT_EQ(handed[0].command, 40096u);
    EXPECT_EQ(handed[0].second, 0);
    EXPECT_EQ(handed[0].waiting, Id(1)) << "queued before the command was sent";
    EXPECT_EQ(recentIds->count, 0u);
    EXPECT_EQ(delayQueue->count, 0u);

    // Later modifications of the same message find nothing waiting.
    Notify(mapi::fnevObjectModified, Id(1));
    Notify(mapi::fnevObjectModified, Id(1));
    EXPECT_EQ(handed.size(), 1u);
}

TEST_F(SinkTest, WhatIsNotAFirstModificationOfACreatedMessageIsIgnored) {
    // A modification without a creation seen before it (a message that was there already).
    Notify(mapi::fnevObjectModified, Id(1));
    // Folders and stores, created and modified.
    Notify(mapi::fnevObjectCreated, Id(2), mapi::MAPI_FOLDER);
    Notify(mapi::fnevObjectModified, Id(2), mapi::MAPI_FOLDER);
    Notify(mapi::fnevObjectCreated, Id(3), mapi::MAPI_STORE);
    Notify(mapi::fnevObjectModified, Id(3), mapi::MAPI_STORE);
    EXPECT_EQ(recentIds->count, 0u);
    // Deleted, moved and copied messages.
    Notify(mapi::fnevObjectCreated, Id(4));
    for (mapi::ULONG event : {mapi::fnevObjectDeleted, mapi::fnevObjectMoved, mapi::fnevObjectCopied}) {
        Notify(event, Id(4));
        Notify(event, Id(5));
    }
    EXPECT_TRUE(handed.empty());
    ASSERT_EQ(recentIds->count, 1u) << "only the creation was recorded";
    EXPECT_EQ(recentIds->ids[0], Id(4));
    EXPECT_EQ(delayQueue->count, 0u);
}

TEST_F(SinkTest, OnlyTheFirstNotificationOfAnArrayCounts) {
    Bytes a = Id(1), b = Id(2);
    mapi::NOTIFICATION created[] = {Note(mapi::fnevObjectCreated, a), Note(mapi::fnevObjectCreated, b)};
    EXPECT_EQ(sink->OnNotify(2, created), 0u);
    ASSERT_EQ(recentIds->count, 1u);
    EXPECT_EQ(recentIds->ids[0], a);

    // A creation and its modification in one call: the modification is not seen.
    Bytes c = Id(3);
    mapi::NOTIFICATION both[] = {Note(mapi::fnevObjectCreated, c), Note(mapi::fnevObjectModified, c)};
    sink->OnNotify(2, both);
    EXPECT_TRUE(handed.empty());
    // A folder first hides a message behind it.
    Bytes folder = Id(9);
    mapi::NOTIFICATION mixed[] = {Note(mapi::fnevObjectModified, folder, mapi::MAPI_FOLDER),
                                  Note(mapi::fnevObjectModified, a)};
    sink->OnNotify(2, mixed);
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(recentIds->count, 2u);
    // An empty call does nothing.
    EXPECT_EQ(sink->OnNotify(0, nullptr), 0u);
}

TEST_F(SinkTest, WaitingMessagesAreHandedOnInTheOrderOfTheirModifications) {
    Notify(mapi::fnevObjectCreated, Id(1));
    Notify(mapi::fnevObjectCreated, Id(2));
    Notify(mapi::fnevObjectCreated, Id(3));
    Notify(mapi::fnevObjectModified, Id(3));
    Notify(mapi::fnevObjectModified, Id(1));
    ASSERT_EQ(recentIds->count, 1u);
    EXPECT_EQ(recentIds->ids[0], Id(2)) << "the one still waiting keeps its place";
    Notify(mapi::fnevObjectModified, Id(2));
    ASSERT_EQ(handed.size(), 3u);
    EXPECT_EQ(handed[0].waiting, Id(3));
    EXPECT_EQ(handed[1].waiting, Id(1));
    EXPECT_EQ(handed[2].waiting, Id(2));
}

TEST_F(SinkTest, ADisabledStackIgnoresEverythingAlsoAfterwards) {
    Notify(mapi::fnevObjectCreated, Id(1));
    recentIds->Disable();
    Notify(mapi::fnevObjectCreated, Id(2));
    Notify(mapi::fnevObjectModified, Id(1));
    Notify(mapi::fnevObjectModified, Id(2));
    EXPECT_TRUE(handed.empty());
    ASSERT_EQ(recentIds->count, 1u);
    recentIds->Enable();
    // The creation of 2 was not seen, and the modification of 1 is gone for good.
    Notify(mapi::fnevObjectModified, Id(2));
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(recentIds->count, 1u) << "1 waits for a modification that came while disabled";
    Notify(mapi::fnevObjectModified, Id(1));
    EXPECT_EQ(handed.size(), 1u);
}

TEST_F(SinkTest, TheHandOverWaitsUntilTheWindowsThreadHasRunTheCommand) {
    std::atomic<bool> returned{false};
    std::thread notifier([&] {
        Notify(mapi::fnevObjectCreated, Id(1));
        Notify(mapi::fnevObjectModified, Id(1));
        returned = true;
        ui::PostMessageW(window, ui::WM_CLOSE, 0, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned) << "the send waits for the window's loop";
    EXPECT_EQ(window->RunMessageLoop(), 0);
    notifier.join();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].thread, std::this_thread::get_id()) << "processing runs on the window's thread";
}

TEST_F(SinkTest, ReferencesAreCountedAndEveryInterfaceIsTheSinkItself) {
    EXPECT_EQ(sink->refCount.load(), 1);
    EXPECT_EQ(sink->AddRef(), 2u);
    void* object = nullptr;
    EXPECT_EQ(sink->QueryInterface(mapi::IID_IMAPISession, &object), 0);
    EXPECT_EQ(object, static_cast<mapi::IMAPIAdviseSink*>(sink.get()));
    EXPECT_EQ(sink->refCount.load(), 3);
    EXPECT_EQ(sink->Release(), 2u);
    EXPECT_EQ(sink->Release(), 1u);
}

// Mended: the hundredth waiting creation, and the hundredth hand-over the window had not got
// round to, ended the program ("MAX_STACK exeed.").
TEST_F(SinkTest, ABurstOfArrivalsWaitsInOrderHoweverLong) {
    drain = false;  // the window never gets round to the queue
    for (std::uint32_t n = 0; n < 250; ++n) Notify(mapi::fnevObjectCreated, Id(static_cast<std::uint8_t>(n)));
    EXPECT_EQ(recentIds->count, 250u);
    for (std::uint32_t n = 0; n < 250; ++n) Notify(mapi::fnevObjectModified, Id(static_cast<std::uint8_t>(n)));
    EXPECT_EQ(recentIds->count, 0u);
    ASSERT_EQ(delayQueue->Count(), 250u);
    EXPECT_EQ(handed.size(), 250u);
    for (std::uint32_t n = 0; n < 250; ++n) EXPECT_EQ(delayQueue->ids[n], Id(static_cast<std::uint8_t>(n)));
    // Each is due two seconds after its own modification, never before the one ahead of it.
    EXPECT_TRUE(std::is_sorted(delayQueue->due.begin(), delayQueue->due.end()));
    EXPECT_GT(*delayQueue->NextDue(), tallymere::xDelay::Clock::now() + std::chrono::milliseconds(1500));
}

}  // namespace
