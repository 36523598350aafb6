#include "remote/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "remote/exit_status.h"
#include "support/pass_control.h"

namespace remote {

namespace {

std::atomic<int> stoppable{0};

// The progress line: shown only on a terminal, rewritten at most ten times a second.
struct ProgressLine {
    bool shown = false;     // the line is on the screen
    bool terminal = false;  // standard error is a terminal
    std::string what;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point drawn;
};
ProgressLine line;

std::string MinutesAndSeconds(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

}  // namespace

std::string ProgressText(const std::string& what, std::uint32_t done, std::uint32_t total,
                         std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    std::string text = what + ": " +
                       (total > 0 ? std::to_string(done) + "/" + std::to_string(total) : std::to_string(done)) +
                       " messages, " + MinutesAndSeconds(static_cast<long long>(seconds));
    // The rate is worth showing only once it has been measured over a while.
    if (seconds >= 1 && done > 0) {
        const double rate = done / seconds;
        text += ", " + std::to_string(static_cast<long long>(rate + 0.5)) + "/s";
        if (total > done)
            text += ", " + MinutesAndSeconds(static_cast<long long>((total - done) / rate + 0.5)) + " left";
    }
    return text;
}

void WatchInterrupts() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Every thread started from here on leaves the signals to the one below.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([stopSignals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&stopSignals, &signal) != 0) continue;
            if (stoppable.load() > 0 && !tallymere::StopRequested()) {
                tallymere::RequestStop();
                continue;
            }
            // Nothing to stop at a boundary, or asked twice: at once. What a pass has written so
            // far stays; the next run goes on from the lists saved last.
            static const char kNewLine[] = "\n";
            [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kNewLine, sizeof kNewLine - 1);
            ::_exit(kExitInterrupted);
        }
    }).detach();
}

StoppableScope::StoppableScope() { ++stoppable; }

StoppableScope::~StoppableScope() { --stoppable; }

std::string InterruptedLine(std::uint32_t done) { return "Interrupted after " + std::to_string(done) + " messages."; }

int ReportInterrupted(std::uint32_t done) {
    ClearProgressLine();
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", InterruptedLine(done).c_str());
    std::fflush(stderr);
    return kExitInterrupted;
}

void ShowProgress(std::uint32_t done, std::uint32_t total) {
    if (!line.terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (done == 0) line.start = now;  // a pass begins
    const bool last = total > 0 && done == total;
    if (line.shown && !last && now - line.drawn < std::chrono::milliseconds(100)) return;
    line.drawn = now;
    line.shown = true;
    std::fprintf(stderr, "\r\033[K%s", ProgressText(line.what, done, total, now - line.start).c_str());
    std::fflush(stderr);
}

void ShowProgressOnTerminal(const char* what) {
    line.terminal = ::isatty(STDERR_FILENO) != 0;
    line.what = what;
    line.start = std::chrono::steady_clock::now();
    line.shown = false;
    if (!line.terminal) return;
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t total) { ShowProgress(done, total); });
}

void ClearProgressLine() {
    if (!line.shown) return;
    line.shown = false;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

}  // namespace remote
