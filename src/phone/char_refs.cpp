#include "phone/char_refs.h"

#include <cstdint>

namespace phone {

namespace {

// Longer digit strings are left for the parser to judge; they keep what is held back small.
constexpr std::size_t kMaxDigits = 12;

enum class Kind { None, Partial, Complete };

struct Ref {
    Kind kind = Kind::None;
    std::uint64_t value = 0;
    std::size_t end = 0;  // just past the ";"
};

int DigitValue(char c, bool hex) {
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The numeric character reference starting at the "&" at `at`.
Ref ParseRef(std::string_view s, std::size_t at) {
    std::size_t i = at + 1;
    if (i == s.size()) return {Kind::Partial};
    if (s[i] != '#') return {};
    if (++i == s.size()) return {Kind::Partial};
    const bool hex = s[i] == 'x';
    if (hex) ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (;; ++i) {
        if (i == s.size()) return {Kind::Partial};
        const int digit = DigitValue(s[i], hex);
        if (digit < 0) break;
        if (++digits > kMaxDigits) return {};
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    }
    if (digits == 0 || s[i] != ';') return {};
    return {Kind::Complete, value, i + 1};
}

bool IsHighHalf(std::uint64_t v) { return v >= 0xD800 && v <= 0xDBFF; }
bool IsLowHalf(std::uint64_t v) { return v >= 0xDC00 && v <= 0xDFFF; }

bool AllowedInXml(std::uint64_t v) {
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) || (v >= 0xE000 && v <= 0xFFFD) ||
           (v >= 0x10000 && v <= 0x10FFFF);
}

}  // namespace

void CharRefFixer::Feed(std::string_view data, std::string& out) {
    if (pending_.empty()) {
        Process(data, false, out);
    } else {
        std::string text = std::move(pending_);
        pending_.clear();
        text.append(data);
        Process(text, false, out);
    }
}

void CharRefFixer::Finish(std::string& out) {
    std::string text = std::move(pending_);
    pending_.clear();
    Process(text, true, out);
}

void CharRefFixer::Process(std::string_view s, bool final, std::string& out) {
    std::size_t copied = 0;  // s[0, copied) is in `out` already
    std::size_t i = 0;
    auto replace = [&](std::size_t from, std::size_t to, std::uint64_t value) {
        out.append(s.substr(copied, from - copied));
        out.append("&#").append(std::to_string(value)).push_back(';');
        copied = to;
    };
    for (;;) {
        const std::size_t amp = s.find('&', i);
        if (amp == std::string_view::npos) break;
        const Ref ref = ParseRef(s, amp);
        if (ref.kind == Kind::Partial && !final) {
            out.append(s.substr(copied, amp - copied));
            pending_.assign(s.substr(amp));
            return;
        }
        if (ref.kind != Kind::Complete) {
            i = amp + 1;
            continue;
        }
        if (IsHighHalf(ref.value)) {
            Ref low;
            if (ref.end == s.size()) {
                low.kind = Kind::Partial;
            } else if (s[ref.end] == '&') {
                low = ParseRef(s, ref.end);
            }
            if (low.kind == Kind::Partial && !final) {
                out.append(s.substr(copied, amp - copied));
                pending_.assign(s.substr(amp));
                return;
            }
            if (low.kind == Kind::Complete && IsLowHalf(low.value)) {
                replace(amp, low.end, 0x10000 + ((ref.value - 0xD800) << 10) + (low.value - 0xDC00));
                i = low.end;
            } else {
                replace(amp, ref.end, 0xFFFD);
                i = ref.end;
            }
            continue;
        }
        if (!AllowedInXml(ref.value)) replace(amp, ref.end, 0xFFFD);
        i = ref.end;
    }
    out.append(s.substr(copied));
}

}  // namespace phone
