// Ctrl-C and SIGTERM during the command line's program commands, and the progress line.
//
// WatchInterrupts (called before any other thread starts) leaves SIGINT and SIGTERM to one
// thread of its own. Inside a StoppableScope — while a pass works through messages, or while
// a forwarded command runs in the program holding the device — the first signal asks the pass
// to stop at the next message boundary (tallymere::RequestStop): it ends there with what it did
// saved, and the command says "Interrupted after N messages." and exits 130. A second signal,
// or a signal anywhere else (at the restore's question, while waiting for the device), ends the
// process at once with status 130.
#pragma once

#include <cstdint>
#include <string>

namespace remote {

void WatchInterrupts();

class StoppableScope {
public:
    StoppableScope();
    ~StoppableScope();
    StoppableScope(const StoppableScope&) = delete;
    StoppableScope& operator=(const StoppableScope&) = delete;
};

// Prints "Interrupted after N messages." on standard error and returns the exit status 130.
int ReportInterrupted(std::uint32_t done);
// The line itself.
std::string InterruptedLine(std::uint32_t done);

// On a terminal (standard error), the progress of the running pass on one line, rewritten in
// place: "backup-all: 1200/3000 messages, 0:04". Nothing when standard error is no terminal.
void ShowProgressOnTerminal(const char* what);
// Shows a progress that another process reports (a forwarded command's).
void ShowProgress(std::uint32_t done, std::uint32_t total);
// Takes the line away again.
void ClearProgressLine();

}  // namespace remote
