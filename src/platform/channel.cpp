#include "platform/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/device.h"
#include "platform/no_destructor.h"

namespace platform::device {

namespace {

// How long a client may take to send its whole request once connected, and each later frame.
constexpr int kRequestMilliseconds = 2000;
// Connections served at once; one more is turned away at once rather than waiting.
constexpr std::size_t kMaxConnections = 256;

// The socket file's name in the device's private ".platform" directory.
constexpr const char* kSocketName = "channel";

// The address of the mounted device's channel: the socket file "channel" in the device's
// ".platform" directory. A path longer than a socket address holds is reached through the
// directory's descriptor (/proc/self/fd/N/channel), which this object keeps open meanwhile.
class ChannelPath {
public:
    ChannelPath() = default;
    ~ChannelPath() {
        if (dirFd_ >= 0) ::close(dirFd_);
    }
    ChannelPath(const ChannelPath&) = delete;
    ChannelPath& operator=(const ChannelPath&) = delete;

    // False when no device is mounted (or its ".platform" directory cannot be opened).
    bool Resolve() {
        const auto root = Root();
        if (root.empty()) return false;
        directory_ = (root / ".platform").string();
        file_ = directory_ + "/" + kSocketName;
        std::string name = file_;
        if (name.size() >= sizeof(address_.sun_path)) {
            dirFd_ = ::open(directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dirFd_ < 0) return false;
            name = "/proc/self/fd/" + std::to_string(dirFd_) + "/" + kSocketName;
        }
        std::memset(&address_, 0, sizeof address_);
        address_.sun_family = AF_UNIX;
        std::memcpy(address_.sun_path, name.data(), name.size());
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        return true;
    }
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t Length() const { return length_; }
    const std::string& Directory() const { return directory_; }
    const std::string& File() const { return file_; }

private:
    sockaddr_un address_{};
    socklen_t length_ = 0;
    int dirFd_ = -1;
    std::string directory_, file_;
};

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

using Clock = std::chrono::steady_clock;

// Reads exactly `size` bytes unless `deadline` passes first: a client that trickles its bytes
// gets no more time than one that sends nothing.
bool ReadAllBy(int fd, char* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        const ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The request frame, whole within kRequestMilliseconds of the connection, or false.
bool ReadRequest(int fd, std::string* frame) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestMilliseconds);
    unsigned char header[4];
    if (!ReadAllBy(fd, reinterpret_cast<char*>(header), sizeof header, deadline)) return false;
    const std::uint32_t size = header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t{header[3]} << 24);
    if (size > kMaxFrame) return false;
    frame->assign(size, '\0');
    return ReadAllBy(fd, frame->data(), size, deadline);
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

// One connection being served, on a thread of its own.
struct Connection {
    std::thread thread;
    bool finished = false;  // under the channel's mutex
};

struct Channel {
    std::mutex mutex;
    int listenFd = -1;
    bool closing = false;
    std::thread thread;
    std::list<Connection> connections;
    std::string socketFile;  // the socket file this process bound, removed when it closes
    ino_t socketInode = 0;
};

Channel& TheChannel() {
    static NoDestructor<Channel> channel;
    return *channel;
}

// Serves one connection: its request (whole within the time allowed) goes to the handler.
void ServeConnection(int fd, const std::shared_ptr<ChannelHandler>& handler, Connection* self) {
    if (SameUser(fd)) {
        // Frames after the request (a stop) are read whole or not at all within the same time.
        const timeval limit{kRequestMilliseconds / 1000, (kRequestMilliseconds % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string request;
        if (ReadRequest(fd, &request)) {
            ConnectionReply reply(fd);
            (*handler)(request, reply);
        }
    }
    ::close(fd);
    Channel& channel = TheChannel();
    std::lock_guard lock(channel.mutex);
    self->finished = true;
}

// Joins the threads of connections that have ended; with `all`, waits for every one.
void JoinConnections(bool all) {
    Channel& channel = TheChannel();
    for (;;) {
        std::thread ended;
        {
            std::lock_guard lock(channel.mutex);
            auto it = std::find_if(channel.connections.begin(), channel.connections.end(),
                                   [&](const Connection& c) { return all || c.finished; });
            if (it == channel.connections.end()) return;
            ended = std::move(it->thread);
            // A connection still running marks itself finished before its thread ends: it
            // leaves the list at the next look, after the join.
            if (it->finished) channel.connections.erase(it);
        }
        if (ended.joinable()) ended.join();
    }
}

// Accepts connections and serves each on its own thread, so that a client that is slow to send
// its request, or many idle ones, never keep another client waiting.
void Serve(int listenFd, ChannelHandler handler) {
    Channel& channel = TheChannel();
    const auto shared = std::make_shared<ChannelHandler>(std::move(handler));
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::lock_guard lock(channel.mutex);
            if (channel.closing) return;
            continue;  // a transient failure (out of descriptors): try the next one
        }
        JoinConnections(false);
        std::lock_guard lock(channel.mutex);
        if (channel.closing || channel.connections.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        Connection& connection = channel.connections.emplace_back();
        connection.thread = std::thread(ServeConnection, fd, shared, &connection);
    }
}

}  // namespace

bool OpenChannel() {
    Channel& channel = TheChannel();
    std::lock_guard lock(channel.mutex);
    if (channel.listenFd >= 0) return true;
    ChannelPath path;
    if (!path.Resolve()) return false;
    // Only the device's owner may reach the socket: its directory is the platform's own and
    // private, whatever an older version or the umask made of it.
    struct stat directory {};
    if (::stat(path.Directory().c_str(), &directory) != 0 || directory.st_uid != ::geteuid()) return false;
    if ((directory.st_mode & 077) != 0 && ::chmod(path.Directory().c_str(), 0700) != 0) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Only the holder of the program lock opens the channel: a socket file left there belongs to
    // a holder that has ended.
    ::unlink(path.File().c_str());
    struct stat bound {};
    if (::bind(fd, path.Address(), path.Length()) != 0 || ::chmod(path.File().c_str(), 0600) != 0 ||
        ::stat(path.File().c_str(), &bound) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return false;
    }
    channel.listenFd = fd;
    channel.closing = false;
    channel.socketFile = path.File();
    channel.socketInode = bound.st_ino;
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
    JoinConnections(true);
    ::close(fd);
    // The socket file goes with the channel, unless a later holder has bound its own already.
    std::lock_guard lock(channel.mutex);
    struct stat now {};
    if (!channel.socketFile.empty() && ::stat(channel.socketFile.c_str(), &now) == 0 &&
        now.st_ino == channel.socketInode) {
        ::unlink(channel.socketFile.c_str());
    }
    channel.socketFile.clear();
}

ChannelCall::~ChannelCall() {
    if (fd_ >= 0) ::close(fd_);
}

bool ChannelCall::Start(std::string_view request) {
    ChannelPath path;
    if (fd_ >= 0 || !path.Resolve()) return false;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int result;
    do {
        result = ::connect(fd_, path.Address(), path.Length());
    } while (result != 0 && errno == EINTR);
    // The program answering must run as this user: nobody else gets to see the request or to
    // answer it.
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
