// The device's program channel: requests and their reply frames, clients that come before the
// program serves and after it stopped, and one channel per device folder.
#include "platform/channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

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
    // Served beside it: the one that left finds out on its own time.
    for (int i = 0; i < 500 && !sendFailed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(sendFailed.load());
}

// A socket connected to the device's channel file that says nothing (or what it is given).
int RawConnect(const std::filesystem::path& device) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (device / ".platform" / "channel").string();
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Mended: the channel was a name in the abstract namespace, which any local user could bind
// before the program started (every command of the owner then ended "already running").
TEST_F(Channel, TheChannelIsAPrivateSocketFileThatGoesWithItsProgramAndReplacesAStaleOne) {
    const std::filesystem::path socket = device_ / ".platform" / "channel";
    ::chmod((device_ / ".platform").c_str(), 0755);  // as an older version may have left it
    {
        // A crashed holder's socket file.
        ASSERT_TRUE(platform::device::OpenChannel());
        ASSERT_TRUE(std::filesystem::is_socket(socket));
        ::unlink(socket.c_str());
        ASSERT_EQ(::mknod(socket.c_str(), S_IFSOCK | 0600, 0), 0);
        platform::device::CloseChannel();
        EXPECT_TRUE(std::filesystem::exists(socket)) << "another holder's file stays";
    }
    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel([](const std::string&, ChannelReply& reply) { reply.Send("mine"); });
    EXPECT_EQ(Call("x"), std::vector<std::string>{"mine"});
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((device_ / ".platform").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    platform::device::CloseChannel();
    EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(Channel, ADeviceFolderWithAPathTooLongForASocketAddressHasItsChannelToo) {
    std::filesystem::path deep = base_;
    while (deep.string().size() < 150) deep /= "a-rather-long-folder-name";
    std::string error;
    ASSERT_TRUE(platform::device::Mount(deep / "device", &error)) << error;
    ASSERT_TRUE(platform::device::OpenChannel());
    platform::device::ServeChannel(
        [](const std::string& request, ChannelReply& reply) { reply.Send("deep " + request); });
    EXPECT_EQ(Call("x"), std::vector<std::string>{"deep x"});
    EXPECT_TRUE(std::filesystem::is_socket(deep / "device" / ".platform" / "channel"));
}

// Mended: connections were served one after the other, each allowed five seconds per read, so
// that a client trickling its request one byte at a time, or a crowd of idle ones, held every
// other client (a forwarded command stalled 38 s and 92 s).
TEST_F(Channel, ATricklingClientAndFiftyIdleOnesDelayNobodyAndASlowRequestIsDropped) {
    ASSERT_TRUE(platform::device::OpenChannel());
    std::atomic<int> served{0};
    platform::device::ServeChannel([&](const std::string& request, ChannelReply& reply) {
        ++served;
        reply.Send("served " + request);
    });
    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) {
        const int fd = RawConnect(device_);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    const int trickler = RawConnect(device_);
    ASSERT_GE(trickler, 0);
    std::atomic<bool> trickling{true};
    std::atomic<bool> dropped{false};
    std::thread trickle([&] {
        // A whole frame announced, one byte of it every 300 ms.
        const char header[4] = {10, 0, 0, 0};
        for (char c : header) ::send(trickler, &c, 1, MSG_NOSIGNAL);
        while (trickling) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (::send(trickler, "x", 1, MSG_NOSIGNAL) != 1) {
                dropped = true;
                return;
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("real"), std::vector<std::string>{"served real"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    // The trickler has not sent its request whole within two seconds: it is cut off.
    char byte = 0;
    pollfd ready{trickler, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 4000), 1);
    EXPECT_EQ(::recv(trickler, &byte, 1, 0), 0) << "closed without a reply";
    trickling = false;
    trickle.join();
    EXPECT_EQ(served.load(), 1);
    for (int fd : idle) ::close(fd);
    ::close(trickler);
}

}  // namespace
