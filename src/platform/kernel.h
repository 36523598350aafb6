// Kernel services of the device: the platform-version query, the pause, interlocked
// counters, the thread's last error code and the end of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

using DWORD = std::uint32_t;
using LONG = std::int32_t;

// Error codes the program looks at (the values the device's kernel uses).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;

// The last error of the calling thread, set by failing file-system calls.
DWORD GetLastError();
void SetLastError(DWORD error);

// Why the last failing platform call of the calling thread failed, where the platform knows it:
// the file and the system's reason ("/x/Messages.dat: No space left on device"), the database
// and SQLite's message (a failure the fault plan makes has none). Calls that set it on failure clear it when
// they begin, so that it speaks of the latest of them; empty when none failed since.
std::string FailureCause();
void SetFailureCause(std::string cause);
void ClearFailureCause();
// "<file>: <the system's words for errno `error`>".
void SetFailureCause(const std::string& file, int error);

struct OSVERSIONINFO {
    DWORD dwMajorVersion = 0;
    DWORD dwMinorVersion = 0;
    DWORD dwBuildNumber = 0;
};

// Fills in the platform version. The device reports Windows Mobile 6 (5.2) unless its
// folder holds the file ".platform/os-version" with another "MAJOR.MINOR".
bool GetVersionEx(OSVERSIONINFO* info);

// Blocks the calling thread for the given number of milliseconds.
void Sleep(DWORD milliseconds);

// Atomic increment and decrement; each returns the new value.
LONG InterlockedIncrement(std::atomic<LONG>* value);
LONG InterlockedDecrement(std::atomic<LONG>* value);

// Ends the process through the runtime's normal exit (exit handlers run).
[[noreturn]] void ExitProcess(int exitCode);

}  // namespace platform
