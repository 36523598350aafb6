#include "support/timefmt.h"

#include <fmt/format.h>

#include "platform/text.h"

namespace tallymere {

std::u16string FormatTimestamp(const platform::FILETIME& time) {
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return {};
    platform::FILETIME local;
    platform::SYSTEMTIME f;
    if (!platform::FileTimeToLocalFileTime(time, &local) || !platform::FileTimeToSystemTime(local, &f)) return {};
    return platform::FromUtf8(fmt::format("{:04}.{:02}.{:02} {:02}:{:02}:{:02}:{:02}", f.wYear, f.wMonth, f.wDay,
                                          f.wHour, f.wMinute, f.wSecond, f.wMilliseconds));
}

void TruncateToSecond(platform::FILETIME& time) {
    platform::SYSTEMTIME fields;
    if (!platform::FileTimeToSystemTime(time, &fields)) return;
    fields.wMilliseconds = 0;
    platform::SystemTimeToFileTime(fields, &time);
}

}  // namespace tallymere
