#include "phone/iso_time.h"

#include <cstdio>

namespace phone {

namespace {

bool Digits(std::string_view& text, std::size_t count, int* value) {
    if (text.size() < count) return false;
    int v = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    text.remove_prefix(count);
    *value = v;
    return true;
}

bool Take(std::string_view& text, char c) {
    if (text.empty() || text[0] != c) return false;
    text.remove_prefix(1);
    return true;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

std::optional<platform::FILETIME> ParseIsoTime(std::string_view text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(text, 4, &year) || !Take(text, '-') || !Digits(text, 2, &month) || !Take(text, '-') ||
        !Digits(text, 2, &day)) {
        return std::nullopt;
    }
    std::uint32_t ticks = 0;
    if (!text.empty() && (text[0] == 'T' || text[0] == ' ')) {
        text.remove_prefix(1);
        if (!Digits(text, 2, &hour) || !Take(text, ':') || !Digits(text, 2, &minute)) return std::nullopt;
        if (Take(text, ':')) {
            if (!Digits(text, 2, &second)) return std::nullopt;
            if (Take(text, '.') || Take(text, ',')) {
                std::uint32_t scale = 1000000;
                bool any = false;
                while (!text.empty() && text[0] >= '0' && text[0] <= '9') {
                    ticks += static_cast<std::uint32_t>(text[0] - '0') * scale;
                    scale /= 10;
                    text.remove_prefix(1);
                    any = true;
                }
                if (!any) return std::nullopt;
            }
        }
    }
    int offset = 0;  // minutes east of UTC
    if (Take(text, 'Z')) {
    } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        const int sign = text[0] == '+' ? 1 : -1;
        text.remove_prefix(1);
        int oh = 0, om = 0;
        if (!Digits(text, 2, &oh)) return std::nullopt;
        Take(text, ':');
        if (!Digits(text, 2, &om) || oh > 23 || om > 59) return std::nullopt;
        offset = sign * (oh * 60 + om);
    }
    if (!text.empty()) return std::nullopt;
    static const int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1) return std::nullopt;
    if (day > daysIn[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    // Days since 1970-01-01 (civil calendar).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset * 60;
    return platform::FromUnixTime(seconds, ticks);
}

std::string FormatIsoTime(const platform::FILETIME& time) {
    platform::SYSTEMTIME fields;
    if (!platform::FileTimeToSystemTime(time, &fields)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", fields.wYear, fields.wMonth, fields.wDay,
                  fields.wHour, fields.wMinute, fields.wSecond);
    return text;
}

}  // namespace phone
