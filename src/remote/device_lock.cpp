// The device's locking for the command line: mounting the device folder, taking the program's
// lock on it, or forwarding the command to the program that holds it (remote.h, "The process
// that wants the device").
#include "remote/remote.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/device.h"
#include "platform/instance.h"
#include "remote/call.h"
#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/reports.h"
#include "support/pass_control.h"

namespace remote {

using namespace std::chrono_literals;

bool MountDevice(const GlobalOptions& options, DeviceUse use) {
    using platform::device::Creation;
    std::string error;
    bool made = false;
    const auto folder = platform::device::ChooseFolder(options.device);
    const Creation creation = use == DeviceUse::kRead                             ? Creation::kNever
                              : platform::device::IsDefaultFolder(options.device) ? Creation::kWithParents
                                                                                  : Creation::kInExistingParent;
    if (!platform::device::Mount(folder, &error, &made, creation)) {
        std::fprintf(stderr, "tallymere-cli: %s\n", error.c_str());
        if (options.json) std::printf("%s\n", ErrorJson(options.command, kExitFailure, error).c_str());
        return false;
    }
    if (made) {
        std::fprintf(stderr, "tallymere-cli: made a new, empty phone in %s\n", platform::device::Root().c_str());
    }
    return true;
}

int PrintAlreadyRunning(const GlobalOptions& options, const std::string& name, long holderPid) {
    // Which program holds it, so that the user knows what to end or wait for.
    const std::string program = platform::device::ProgramCommandLine(holderPid);
    const std::string line = "Tallymere is already running on this device (process " + std::to_string(holderPid) +
                             (program.empty() ? "" : ": " + program) + "). Use --wait to wait for it.";
    std::fprintf(stderr, "%s\n", line.c_str());
    if (options.json) std::printf("%s\n", ErrorJson(name, kExitDeviceBusy, line).c_str());
    std::fflush(stdout);
    return kExitDeviceBusy;
}

int PrintCancelled(const GlobalOptions& options, const std::string& name) {
    std::fprintf(stderr, "Restore cancelled.\n");
    if (options.json) std::printf("%s\n", ErrorJson(name, kExitCancelled, "Restore cancelled.").c_str());
    std::fflush(stdout);
    return kExitCancelled;
}

int PrintBusy(const GlobalOptions& options, const std::string& name) {
    std::fprintf(stderr, "%s\n", kBusyLine);
    if (options.json) std::printf("%s\n", ErrorJson(name, kExitDeviceBusy, kBusyLine).c_str());
    std::fflush(stdout);
    return kExitDeviceBusy;
}

int PrintWaitInterrupted(const GlobalOptions& options, const std::string& name) {
    const std::string line = InterruptedLine(0);
    std::fprintf(stderr, "%s\n", line.c_str());
    if (options.json) std::printf("%s\n", ErrorJson(name, kExitInterrupted, line).c_str());
    std::fflush(stdout);
    return kExitInterrupted;
}

int LockOrForward(const GlobalOptions& options, const std::string& name, const RemoteRequest& request,
                  const std::function<bool()>& confirm, bool* confirmed) {
    using Clock = std::chrono::steady_clock;
    // A program that stops serving while this waits is ending: the device is free soon.
    const auto endingDeadline = Clock::now() + 10s;
    const auto waitDeadline = options.waitSeconds > 0
                                  ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(options.waitSeconds))
                                  : Clock::time_point::max();
    bool asked = false;
    bool toldWaiting = false;
    for (;;) {
        long holder = 0;
        if (platform::device::LockProgram(&holder)) return -1;
        if (!request.verb.empty() && Served()) {
            if (confirm && !asked) {
                asked = true;
                if (!confirm()) return PrintCancelled(options, name);
                if (confirmed) *confirmed = true;
            }
            RemoteResult result;
            CallOutcome outcome;
            {
                StoppableScope stoppable;
                outcome = Call(request, &result);
            }
            switch (outcome) {
                case CallOutcome::kDone:
                    if (!result.busy) return PrintResult(result, options.json, name);
                    // With --wait the box may close in time; without, or once the time is up,
                    // the answer stands.
                    if (!options.wait || Clock::now() > waitDeadline) return PrintBusy(options, name);
                    break;
                case CallOutcome::kInterrupted: return PrintWaitInterrupted(options, name);
                case CallOutcome::kEndedMidway: {
                    const std::string line =
                        "Tallymere (process " + std::to_string(holder) + ") ended before the command was done.";
                    std::fprintf(stderr, "%s\n", line.c_str());
                    if (options.json) std::printf("%s\n", ErrorJson(name, kExitFailure, line).c_str());
                    return kExitFailure;
                }
                case CallOutcome::kTurnedAway:
                    // The program is ending (or not yet serving): the device is free soon.
                    if (!options.wait && Clock::now() > endingDeadline)
                        return PrintAlreadyRunning(options, name, holder);
                    break;
            }
        } else if (!options.wait) {
            return PrintAlreadyRunning(options, name, holder);
        } else if (!toldWaiting) {
            toldWaiting = true;
            if (::isatty(STDERR_FILENO)) {
                std::fprintf(stderr, "Waiting for Tallymere (process %ld) to let go of the device...\n", holder);
            }
        }
        if (options.wait && Clock::now() > waitDeadline) return PrintAlreadyRunning(options, name, holder);
        {
            // A signal while waiting for the device ends the wait at once, with its report.
            StoppableScope stoppable;
            if (!tallymere::StopRequested()) std::this_thread::sleep_for(100ms);
            if (tallymere::StopRequested()) return PrintWaitInterrupted(options, name);
        }
    }
}

int LockDevice(const GlobalOptions& options) { return LockOrForward(options, options.command, RemoteRequest{}); }

}  // namespace remote
