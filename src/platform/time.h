// Time values of the device: FILETIME (100-ns ticks since 1601-01-01 UTC, two 32-bit halves,
// low half first) and SYSTEMTIME (calendar fields), with the conversions the program uses.
// Local time follows the process's time zone (the TZ variable is honoured).
#pragma once

#include <cstdint>

namespace platform {

struct FILETIME {
    std::uint32_t dwLowDateTime = 0;
    std::uint32_t dwHighDateTime = 0;
    friend bool operator==(const FILETIME&, const FILETIME&) = default;
};

struct SYSTEMTIME {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;
    std::uint16_t wDayOfWeek = 0;
    std::uint16_t wDay = 0;
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
};

// The 64-bit tick count of a FILETIME and back.
std::uint64_t ToTicks(const FILETIME& time);
FILETIME FromTicks(std::uint64_t ticks);

// Seconds since 1970-01-01 UTC (with a fraction in ticks) and back.
FILETIME FromUnixTime(std::int64_t seconds, std::uint32_t extraTicks = 0);
std::int64_t ToUnixSeconds(const FILETIME& time);

// Calendar fields of a FILETIME (no time-zone change) and back. The ticks below one
// millisecond are lost on the way back, as on the device.
bool FileTimeToSystemTime(const FILETIME& time, SYSTEMTIME* fields);
bool SystemTimeToFileTime(const SYSTEMTIME& fields, FILETIME* time);

// UTC → local time in the process's time zone, with the offset in force at that instant.
bool FileTimeToLocalFileTime(const FILETIME& utc, FILETIME* local);

// The current time as a FILETIME (UTC).
FILETIME GetSystemTimeAsFileTime();

}  // namespace platform
