#include "platform/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/device.h"
#include "platform/no_destructor.h"

namespace platform::device {

namespace {

// How long a client may take to send its request once connected.
constexpr int kRequestSeconds = 5;

// The abstract socket address of the mounted device's channel; false when no device is mounted.
bool ChannelAddress(sockaddr_un* address, socklen_t* length) {
    const auto root = Root();
    struct stat info {};
    if (root.empty() || ::stat(root.c_str(), &info) != 0) return false;
    const std::string name = "tallymere/" + std::to_string(::geteuid()) + "/" +
                             std::to_string(static_cast<unsigned long long>(info.st_dev)) + "/" +
                             std::to_string(static_cast<unsigned long long>(info.st_ino));
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    // The leading NUL puts the name in the abstract namespace.
    std::memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

bool SameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteFrame(int fd, std::string_view frame) {
    if (frame.size() > kMaxFrame) return false;
    const auto size = static_cast<std::uint32_t>(frame.size());
    const char header[4] = {static_cast<char>(size & 0xFF), static_cast<char>((size >> 8) & 0xFF),
                            static_cast<char>((size >> 16) & 0xFF), static_cast<char>((size >> 24) & 0xFF)};
    return WriteAll(fd, header, sizeof header) && WriteAll(fd, frame.data(), frame.size());
}

bool ReadFrame(int fd, std::string* frame) {
    unsigned char header[4];
    if (!ReadAll(fd, reinterpret_cast<char*>(header), sizeof header)) return false;
    const std::uint32_t size = header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t{header[3]} << 24);
    if (size > kMaxFrame) return false;
    frame->assign(size, '\0');
    return ReadAll(fd, frame->data(), size);
}

// Waits up to `milliseconds` for something to read on `fd`: a frame, or the peer's end.
ClientWord Readable(int fd, int milliseconds, std::string* frame) {
    pollfd ready{fd, POLLIN, 0};
    int result;
    do {
        result = ::poll(&ready, 1, milliseconds);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return ClientWord::kNothing;
    if (result < 0) return ClientWord::kGone;
    // Readable: a frame follows, or the end of the connection.
    return ReadFrame(fd, frame) ? ClientWord::kFrame : ClientWord::kGone;
}

class ConnectionReply final : public ChannelReply {
public:
    explicit ConnectionReply(int fd) : fd_(fd) {}
    bool Send(std::string_view frame) override { return WriteFrame(fd_, frame); }
    ClientWord Listen(std::string* frame) override {
        if (gone_) return ClientWord::kGone;
        const ClientWord word = Readable(fd_, 0, frame);
        gone_ = word == ClientWord::kGone;
        return word;
    }

private:
    int fd_;
    bool gone_ = false;
};

struct Channel {
    std::mutex mutex;
    int listenFd = -1;
    bool closing = false;
    std::thread thread;
};

Channel& TheChannel() {
    static NoDestructor<Channel> channel;
    return *channel;
}

void Serve(int listenFd, ChannelHandler handler) {
    Channel& channel = TheChannel();
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::lock_guard lock(channel.mutex);
            if (channel.closing) return;
            continue;  // a transient failure (out of descriptors): try the next one
        }
        if (SameUser(fd)) {
            const timeval limit{kRequestSeconds, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string request;
            if (ReadFrame(fd, &request)) {
                ConnectionReply reply(fd);
                handler(request, reply);
            }
        }
        ::close(fd);
    }
}

}  // namespace

bool OpenChannel() {
    Channel& channel = TheChannel();
    std::lock_guard lock(channel.mutex);
    if (channel.listenFd >= 0) return true;
    sockaddr_un address;
    socklen_t length = 0;
    if (!ChannelAddress(&address, &length)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    channel.listenFd = fd;
    channel.closing = false;
    return true;
}

void ServeChannel(ChannelHandler handler) {
    Channel& channel = TheChannel();
    std::lock_guard lock(channel.mutex);
    if (channel.listenFd < 0 || channel.thread.joinable()) return;
    channel.thread = std::thread(Serve, channel.listenFd, std::move(handler));
}

void CloseChannel() {
    Channel& channel = TheChannel();
    std::thread thread;
    int fd = -1;
    {
        std::lock_guard lock(channel.mutex);
        if (channel.listenFd < 0) return;
        channel.closing = true;
        fd = channel.listenFd;
        channel.listenFd = -1;
        thread = std::move(channel.thread);
        // Wakes the thread's accept; connections still waiting in the backlog are reset.
        ::shutdown(fd, SHUT_RDWR);
    }
    if (thread.joinable()) thread.join();
    ::close(fd);
}

ChannelCall::~ChannelCall() {
    if (fd_ >= 0) ::close(fd_);
}

bool ChannelCall::Start(std::string_view request) {
    sockaddr_un address;
    socklen_t length = 0;
    if (fd_ >= 0 || !ChannelAddress(&address, &length)) return false;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int result;
    do {
        result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || !SameUser(fd_) || !WriteFrame(fd_, request)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool ChannelCall::Next(std::string* frame) { return fd_ >= 0 && ReadFrame(fd_, frame); }

ClientWord ChannelCall::Next(std::string* frame, int milliseconds) {
    if (fd_ < 0) return ClientWord::kGone;
    return Readable(fd_, milliseconds, frame);
}

bool ChannelCall::Send(std::string_view frame) { return fd_ >= 0 && WriteFrame(fd_, frame); }

}  // namespace platform::device
