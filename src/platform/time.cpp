#include "platform/time.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerMillisecond = 10'000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochDelta = 11'644'473'600;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Reads the time zone again (tzset) when the TZ variable has changed, and otherwise at most
// once a second: tzset looks at the zone file each time, a cost an export of thousands of
// messages, two times each, would pay on every one.
void RefreshTimeZone() {
    static std::mutex mutex;
    static std::optional<std::string> lastTz;
    static bool read = false;
    static std::chrono::steady_clock::time_point lastRead;
    const char* tz = std::getenv("TZ");
    const std::optional<std::string> current = tz ? std::optional<std::string>(tz) : std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    if (read && current == lastTz && now - lastRead < std::chrono::seconds(1)) return;
    tzset();
    read = true;
    lastTz = current;
    lastRead = now;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

std::uint64_t ToTicks(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME FromTicks(std::uint64_t ticks) {
    return FILETIME{static_cast<std::uint32_t>(ticks & 0xFFFFFFFFu), static_cast<std::uint32_t>(ticks >> 32)};
}

FILETIME FromUnixTime(std::int64_t seconds, std::uint32_t extraTicks) {
    return FromTicks(static_cast<std::uint64_t>(seconds + kEpochDelta) * kTicksPerSecond + extraTicks);
}

std::int64_t ToUnixSeconds(const FILETIME& time) {
    return static_cast<std::int64_t>(ToTicks(time) / kTicksPerSecond) - kEpochDelta;
}

bool FileTimeToSystemTime(const FILETIME& time, SYSTEMTIME* f) {
    const std::uint64_t ticks = ToTicks(time);
    if (ticks >> 63) return false;  // the device rejects times past year 30827
    const std::int64_t totalSeconds = static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDelta;
    std::int64_t days = totalSeconds / 86400;
    std::int64_t secs = totalSeconds % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    f->wYear = static_cast<std::uint16_t>(y);
    f->wMonth = static_cast<std::uint16_t>(m);
    f->wDay = static_cast<std::uint16_t>(d);
    f->wDayOfWeek = static_cast<std::uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    f->wHour = static_cast<std::uint16_t>(secs / 3600);
    f->wMinute = static_cast<std::uint16_t>(secs / 60 % 60);
    f->wSecond = static_cast<std::uint16_t>(secs % 60);
    f->wMilliseconds = static_cast<std::uint16_t>(ticks % kTicksPerSecond / kTicksPerMillisecond);
    return true;
}

bool SystemTimeToFileTime(const SYSTEMTIME& f, FILETIME* time) {
    if (f.wYear < 1601 || f.wYear > 30827 || f.wMonth < 1 || f.wMonth > 12 || f.wDay < 1 || f.wDay > 31 ||
        f.wHour > 23 || f.wMinute > 59 || f.wSecond > 59 || f.wMilliseconds > 999) {
        return false;
    }
    const std::int64_t days = DaysFromCivil(f.wYear, f.wMonth, f.wDay);
    const std::int64_t seconds = days * 86400 + f.wHour * 3600 + f.wMinute * 60 + f.wSecond;
    *time = FromTicks(static_cast<std::uint64_t>(seconds + kEpochDelta) * kTicksPerSecond +
                      static_cast<std::uint64_t>(f.wMilliseconds) * kTicksPerMillisecond);
    return true;
}

bool FileTimeToLocalFileTime(const FILETIME& utc, FILETIME* local) {
    const std::uint64_t ticks = ToTicks(utc);
    const std::time_t seconds =
        static_cast<std::time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDelta);
    std::tm fields{};
    RefreshTimeZone();
    if (localtime_r(&seconds, &fields) == nullptr) return false;
    const std::int64_t shifted = static_cast<std::int64_t>(ticks) + static_cast<std::int64_t>(fields.tm_gmtoff) *
                                                                        static_cast<std::int64_t>(kTicksPerSecond);
    if (shifted < 0) return false;
    *local = FromTicks(static_cast<std::uint64_t>(shifted));
    return true;
}

FILETIME GetSystemTimeAsFileTime() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return FromTicks(static_cast<std::uint64_t>(ticks + kEpochDelta * static_cast<std::int64_t>(kTicksPerSecond)));
}

}  // namespace platform
