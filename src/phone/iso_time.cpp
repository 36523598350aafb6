#include "phone/iso_time.h"

#include <chrono>

#include <fmt/chrono.h>

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

}  // namespace

std::optional<platform::FILETIME> ParseIsoTime(std::string_view text) {
    int yearNumber = 0, monthNumber = 0, dayNumber = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(text, 4, &yearNumber) || !Take(text, '-') || !Digits(text, 2, &monthNumber) || !Take(text, '-') ||
        !Digits(text, 2, &dayNumber)) {
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
    using namespace std::chrono;
    const year_month_day date{year{yearNumber}, month{static_cast<unsigned>(monthNumber)},
                              day{static_cast<unsigned>(dayNumber)}};
    if (yearNumber < 1601 || !date.ok()) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const sys_seconds at = sys_days{date} + hours{hour} + minutes{minute - offset} + seconds{second};
    return platform::FromUnixTime(at.time_since_epoch().count(), ticks);
}

std::string FormatIsoTime(const platform::FILETIME& time) {
    platform::SYSTEMTIME fields;
    if (!platform::FileTimeToSystemTime(time, &fields)) return "-";
    using namespace std::chrono;
    const sys_seconds at = sys_days{year{fields.wYear} / month{fields.wMonth} / day{fields.wDay}} +
                           hours{fields.wHour} + minutes{fields.wMinute} + seconds{fields.wSecond};
    return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", at);
}

}  // namespace phone
