// The options every program command of the command line sees. They travel with a command
// into the forwarding client (remote.h), which decides from them whether to wait for the device
// and how to print what a forwarded command reports.
#pragma once

#include <string>

namespace remote {

// What a command does with the device: a command that only reads never makes a new phone.
enum class DeviceUse { kRead, kWrite };

// Options every command sees (--json and --wait are given to the commands that take them).
struct GlobalOptions {
    std::string device;      // --device DIR
    std::string command;     // the command given ("backup-all", "device list", ...)
    bool json = false;       // --json: one JSON object on standard output
    bool wait = false;       // --wait[=SECONDS]: wait for the device instead of being refused
    double waitSeconds = 0;  // ... at most this long (0: as long as it takes)
};

}  // namespace remote
