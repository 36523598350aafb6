#include "support/timefmt.h"

#include "platform/text.h"

namespace tallymere {

namespace {

// Appends `value` in decimal, with leading zeros up to `width` digits.
void AppendPadded(std::u16string& out, unsigned value, std::size_t width) {
    char16_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; width > count; --width) out += u'0';
    while (count > 0) out += digits[--count];
}

}  // namespace

std::u16string FormatTimestamp(const platform::FILETIME& time) {
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return {};
    platform::FILETIME local;
    platform::SYSTEMTIME f;
    if (!platform::FileTimeToLocalFileTime(time, &local) || !platform::FileTimeToSystemTime(local, &f)) return {};
    // "YYYY.MM.DD hh:mm:ss:ms", each field at least as wide as shown; written by hand, as
    // every exported message has one or two of them.
    std::u16string text;
    text.reserve(24);
    AppendPadded(text, f.wYear, 4);
    text += u'.';
    AppendPadded(text, f.wMonth, 2);
    text += u'.';
    AppendPadded(text, f.wDay, 2);
    text += u' ';
    AppendPadded(text, f.wHour, 2);
    text += u':';
    AppendPadded(text, f.wMinute, 2);
    text += u':';
    AppendPadded(text, f.wSecond, 2);
    text += u':';
    AppendPadded(text, f.wMilliseconds, 2);
    return text;
}

void TruncateToSecond(platform::FILETIME& time) {
    platform::SYSTEMTIME fields;
    if (!platform::FileTimeToSystemTime(time, &fields)) return;
    fields.wMilliseconds = 0;
    platform::SystemTimeToFileTime(fields, &time);
}

}  // namespace tallymere
