#include "platform/kernel.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/device.h"

namespace platform {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
thread_local std::string failureCause;
}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

std::string FailureCause() { return failureCause; }
void SetFailureCause(std::string cause) { failureCause = std::move(cause); }
void ClearFailureCause() { failureCause.clear(); }
void SetFailureCause(const std::string& file, int error) { failureCause = file + ": " + std::strerror(error); }

bool GetVersionEx(OSVERSIONINFO* info) {
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 0;
    if (auto root = device::Root(); !root.empty()) {
        std::ifstream in(root / ".platform" / "os-version");
        unsigned major = 0, minor = 0;
        char dot = 0;
        if (in >> major >> dot >> minor && dot == '.') {
            info->dwMajorVersion = major;
            info->dwMinorVersion = minor;
        }
    }
    return true;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

LONG InterlockedIncrement(std::atomic<LONG>* value) { return value->fetch_add(1) + 1; }
LONG InterlockedDecrement(std::atomic<LONG>* value) { return value->fetch_sub(1) - 1; }

void ExitProcess(int exitCode) {
    // The runtime's exit must run once: a second thread failing at the same time waits for
    // the first one's exit to end the process.
    static std::atomic<bool> exiting{false};
    if (exiting.exchange(true)) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(exitCode);
}

}  // namespace platform
