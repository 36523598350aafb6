#include "platform/text.h"

#include <algorithm>

#include <utf8.h>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Simple lower-case mapping of the letters the device's file system folds: ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic capitals.
char16_t FoldCase(char16_t c) {
    auto plus = [c](int n) { return static_cast<char16_t>(c + n); };
    if (c >= u'A' && c <= u'Z') return plus(32);
    if (c < 0xC0) return c;
    if (c <= 0xDE && c != 0xD7) return plus(32);                  // À..Þ except ×
    if (c >= 0x100 && c <= 0x137 && c % 2 == 0) return plus(1);   // Ā..ķ pairs
    if (c >= 0x139 && c <= 0x148 && c % 2 == 1) return plus(1);   // Ĺ..ň pairs
    if (c >= 0x14A && c <= 0x177 && c % 2 == 0) return plus(1);   // Ŋ..ŷ pairs
    if (c == 0x178) return 0xFF;                                  // Ÿ
    if (c >= 0x179 && c <= 0x17E && c % 2 == 1) return plus(1);   // Ź..ž pairs
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return plus(32);  // Greek capitals
    if (c >= 0x400 && c <= 0x40F) return plus(80);                // Ѐ..Џ
    if (c >= 0x410 && c <= 0x42F) return plus(32);                // А..Я
    return c;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
    utf8::unchecked::append(static_cast<std::uint32_t>(cp), std::back_inserter(out));
}

void AppendUtf8(std::string& out, std::u16string_view text) {
    // Written straight into room for the longest form (three bytes per unit; a surrogate pair
    // takes four for its two) and cut to what was written: a text file or a host path is
    // converted for every message, and mostly ASCII.
    const std::size_t start = out.size();
    out.resize(start + 3 * text.size());
    char* p = out.data() + start;
    auto put = [&p](unsigned value) { *p++ = static_cast<char>(value); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp < 0x80) {
            put(cp);
            continue;
        }
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
        }
        put(0x80 | (cp & 0x3F));
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    AppendUtf8(out, text);
    return out;
}

namespace {

// The code units of the character at `*it` (one or two; U+FFFD for a byte that starts no
// valid sequence, which is then passed over alone); moves `*it` past it.
int NextUnits(std::string_view::const_iterator* it, std::string_view::const_iterator end, char16_t units[2]) {
    // Plain ASCII (most file names and texts) needs no decoding.
    if (static_cast<unsigned char>(**it) < 0x80) {
        units[0] = static_cast<char16_t>(**it);
        ++*it;
        return 1;
    }
    const auto start = *it;
    try {
        std::uint32_t cp = utf8::next(*it, end);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
            units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            return 2;
        }
        units[0] = static_cast<char16_t>(cp);
    } catch (const utf8::exception&) {
        // Skip the offending byte and carry on with the next one.
        units[0] = static_cast<char16_t>(kReplacement);
        *it = start + 1;
    }
    return 1;
}

}  // namespace

std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    auto it = text.begin();
    const auto end = text.end();
    char16_t units[2];
    while (it != end) {
        // Plain ASCII (most file names and texts) needs no decoding.
        if (static_cast<unsigned char>(*it) < 0x80) {
            out.push_back(static_cast<char16_t>(*it));
            ++it;
            continue;
        }
        if (NextUnits(&it, end, units) == 2) {
            out.push_back(units[0]);
            out.push_back(units[1]);
        } else {
            out.push_back(units[0]);
        }
    }
    return out;
}

std::size_t Utf16Length(std::string_view text) {
    std::size_t length = 0;
    auto it = text.begin();
    char16_t units[2];
    while (it != text.end()) length += static_cast<std::size_t>(NextUnits(&it, text.end(), units));
    return length;
}

std::size_t FromUtf8Piece(std::string_view text, std::size_t* at, char16_t* out, std::size_t room) {
    auto it = text.begin() + static_cast<std::ptrdiff_t>(std::min(*at, text.size()));
    std::size_t written = 0;
    while (it != text.end() && room - written >= 2) {
        written += static_cast<std::size_t>(NextUnits(&it, text.end(), out + written));
    }
    *at = static_cast<std::size_t>(it - text.begin());
    return written;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = FoldCase(a[i]);
        const char16_t y = FoldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
    // Iterative glob match with backtracking to the last "*".
    std::size_t n = 0, p = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

std::u16string FromUtf16Le(const std::uint8_t* bytes, std::size_t size) {
    std::u16string out(size / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return out;
}

std::string ToUtf16Le(std::u16string_view text) {
    std::string out(text.size() * 2, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[2 * i] = static_cast<char>(text[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return out;
}

}  // namespace platform
