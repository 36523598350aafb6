// The client's side of one request on the device's channel (platform/channel.h): used by the
// device's locking (device_lock.cpp), which forwards a program command to the program holding
// the device, and by AskToShow.
#pragma once

#include <chrono>

#include "remote/remote.h"

namespace remote {

enum class CallOutcome {
    kDone,         // a result came
    kTurnedAway,   // nothing ran: no reply, or the program ended before it started the request
    kEndedMidway,  // the request started, then the connection broke
    kInterrupted,  // Ctrl-C or SIGTERM before the request started: nothing ran
};

// Sends `request` and waits for its result, showing the progress the holder relays; Ctrl-C
// asks the holder to stop the pass (see interrupt.h). A request that has not started within
// `limit` is taken for turned away.
CallOutcome Call(const RemoteRequest& request, RemoteResult* result,
                 std::chrono::steady_clock::duration limit = std::chrono::steady_clock::duration::max());

// Whether a program serves the device's channel (it holds the device and takes requests).
bool Served();

}  // namespace remote
