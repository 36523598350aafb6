// The device's program channel: how another process reaches the program instance that holds
// the device (the desktop program or `watch`), to have it show its window or carry out a
// command for it.
//
// The channel is a local stream socket, the file "channel" in the device's private ".platform"
// directory (0700, the socket 0600), so that only the device's owner can take it or reach it,
// and two names of one folder meet the same program. The program holding the device removes a
// socket file a crashed holder left before binding its own. Only processes of the same user are
// served, and a client talks only to a server of its own user (both sides check the peer's
// credentials).
//
// Every connection is served on a thread of its own: a client that is slow to send its request,
// or many idle ones, keep no other client waiting. A request that has not arrived whole within
// two seconds of the connection is dropped.
//
// A connection carries one request and its replies. Every message on it is a frame: a 32-bit
// little-endian byte count, then that many bytes; frames are limited to kMaxFrame bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform::device {

inline constexpr std::uint32_t kMaxFrame = 64u << 20;

// What a client said after its request, as the handler hears it.
enum class ClientWord {
    kNothing,  // nothing yet
    kFrame,    // one more frame (a client may ask to stop the request's work)
    kGone,     // the client closed the connection or ended
};

// The reply side of one connection, given to the handler.
class ChannelReply {
public:
    virtual ~ChannelReply() = default;
    // Sends one frame; false when the client is gone (it may have been interrupted).
    virtual bool Send(std::string_view frame) = 0;
    // Looks, without waiting, whether the client has said anything more since its request.
    virtual ClientWord Listen(std::string* frame) = 0;
};

// Handles one request on the channel's thread; the connection closes when it returns.
using ChannelHandler = std::function<void(const std::string& request, ChannelReply& reply)>;

// Opens the mounted device's channel for this process, which holds the program lock. Clients can
// connect from now on; their requests wait until ServeChannel hands them to a handler, or until
// CloseChannel turns them away. False when the channel cannot be opened (the program then works
// without it: other processes find nobody to serve them).
bool OpenChannel();

// Starts handling requests on a thread of the channel's own, each connection on a thread of its
// own (the handler may run for several connections at once).
void ServeChannel(ChannelHandler handler);

// Stops serving: requests being handled are finished first; waiting and later clients find
// nobody, and the socket file goes. Call it from another thread than the channel's.
void CloseChannel();

// A client's request to the program serving the mounted device.
class ChannelCall {
public:
    ChannelCall() = default;
    ~ChannelCall();
    ChannelCall(const ChannelCall&) = delete;
    ChannelCall& operator=(const ChannelCall&) = delete;

    // Connects and sends the request; false when no program of this user serves the device.
    bool Start(std::string_view request);
    // Waits for the next reply frame; false when the server closed the connection (or broke it)
    // instead.
    bool Next(std::string* frame);
    // Waits at most `milliseconds` for the next reply frame: kFrame with it, kNothing when none
    // came in time, kGone when the server closed the connection (or broke it).
    ClientWord Next(std::string* frame, int milliseconds);
    // Sends one more frame after the request (the server hears it through Listen).
    bool Send(std::string_view frame);

private:
    int fd_ = -1;
};

}  // namespace platform::device
