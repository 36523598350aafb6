// The device's program channel: requests and their reply frames, clients that come before the
// program serves and after it stopped, and one channel per device folder.
#include "platform/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace {

using platform::device::ChannelCall;
using platform::device::ChannelReply;

class Channel : public testing_support::DeviceTest {
protected:
    void TearDown() override {
        platform::device::CloseChannel();
        DeviceTest::TearDown();
    }

    // Sends `request` and collects every reply frame until the server closes the connection.
    static std::vector<std::string> Call(const std::string& request, bool* started = nullptr) {
        ChannelCall call;
        const bool ok = call.Start(request);
        if (started) *started = ok;
        std::vector<std::string> frames;
        for (std::string frame; ok && call.Next(&frame);) frames.push_back(frame);
        return frames;
    }
};

TEST_F(Channel, ARequestGetsItsRepliesInOrderAndTheNextOneIsServedAfterIt) {
    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel([](const std::string& request, ChannelReply& reply) {
        reply.Send("first of " + request);
        reply.Send("");
        reply.Send(std::string(3 << 20, 'x'));  // large frames arrive whole
    });
    const auto frames = Call("one");
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], "first of one");
    EXPECT_EQ(frames[1], "");
    EXPECT_EQ(frames[2].size(), std::size_t{3} << 20);
    EXPECT_EQ(Call("two").front(), "first of two");
}

TEST_F(Channel, NobodyServesADeviceWithoutItsProgramAndAnotherDevicesChannelIsNotIt) {
    bool started = true;
    EXPECT_TRUE(Call("anyone?", &started).empty());
    EXPECT_FALSE(started);

    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel([](const std::string&, ChannelReply& reply) { reply.Send("here"); });
    EXPECT_EQ(Call("anyone?"), std::vector<std::string>{"here"});
    // A second device folder has a channel of its own, and nobody serves it.
    std::string error;
    ASSERT_TRUE(platform::device::Mount(base_ / "other", &error)) << error;
    EXPECT_FALSE(ChannelCall().Start("anyone?"));
    ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
    EXPECT_EQ(Call("anyone?"), std::vector<std::string>{"here"});
}

TEST_F(Channel, ClientsBeforeServingWaitAndClientsAfterClosingFindNobody) {
    ASSERT_TRUE(platform::device::OpenChannel());
    // Connected while the program is still starting: the request waits for it.
    ChannelCall early;
    ASSERT_TRUE(early.Start("early"));
    std::atomic<int> served{0};
    platform::device::ServeChannel([&](const std::string& request, ChannelReply& reply) {
        ++served;
        reply.Send("served " + request);
    });
    std::string frame;
    ASSERT_TRUE(early.Next(&frame));
    EXPECT_EQ(frame, "served early");
    EXPECT_FALSE(early.Next(&frame)) << "one request, then the connection closes";

    platform::device::CloseChannel();
    bool started = true;
    EXPECT_TRUE(Call("late", &started).empty());
    EXPECT_FALSE(started);
    EXPECT_EQ(served.load(), 1);
    // It opens again for the next program on the device.
    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel([](const std::string&, ChannelReply& reply) { reply.Send("again"); });
    EXPECT_EQ(Call("x"), std::vector<std::string>{"again"});
}

TEST_F(Channel, AClientThatGoesAwayDoesNotStopTheServer) {
    ASSERT_TRUE(platform::device::OpenChannel());
    std::atomic<bool> sendFailed{false};
    platform::device::ServeChannel([&](const std::string& request, ChannelReply& reply) {
        if (request == "leaving") {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // The client is gone: the send fails instead of ending the process with SIGPIPE.
            for (int i = 0; i < 50 && !sendFailed; ++i) sendFailed = !reply.Send(std::string(1 << 16, 'y'));
            return;
        }
        reply.Send("still here");
    });
    {
        ChannelCall leaving;
        ASSERT_TRUE(leaving.Start("leaving"));
    }
    EXPECT_EQ(Call("next"), std::vector<std::string>{"still here"});
    EXPECT_TRUE(sendFailed.load());
}

}  // namespace
