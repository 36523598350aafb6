#include "phone/long_values.h"

#include <utf8.h>

#include <iterator>

#include "phone/lenient_xml.h"

namespace phone {

namespace {

constexpr std::string_view kPlaceholder = "&#x10FFFD;";
constexpr std::size_t kMaxReference = 16;  // "&", a name or up to 13 digits, ";"
constexpr std::size_t kMaxDeclaration = 256;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool AllowedInXml(std::uint64_t v) {
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) || (v >= 0xE000 && v <= 0xFFFD) ||
           (v >= 0x10000 && v <= 0x10FFFF);
}

void AppendUtf8(std::uint64_t c, std::string& out) {
    utf8::unchecked::append(static_cast<std::uint32_t>(c), std::back_inserter(out));
}

// The character a reference ("amp", "#233", "#xE9": what stands between "&" and ";") stands
// for; 0 when it is not one that is sure to be taken.
std::uint64_t Referenced(std::string_view name) {
    if (name == "amp") return '&';
    if (name == "lt") return '<';
    if (name == "gt") return '>';
    if (name == "quot") return '"';
    if (name == "apos") return '\'';
    if (name.size() < 2 || name[0] != '#') return 0;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return 0;
    std::uint64_t value = 0;
    for (const char d : digits) {
        int digit = -1;
        if (d >= '0' && d <= '9') digit = d - '0';
        if (hex && d >= 'a' && d <= 'f') digit = d - 'a' + 10;
        if (hex && d >= 'A' && d <= 'F') digit = d - 'A' + 10;
        if (digit < 0) return 0;
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    }
    return AllowedInXml(value) ? value : 0;
}

// The length of the UTF-8 sequence that starts with `lead`; 0 when no sequence does.
std::size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// A whole sequence of SequenceLength(s[0]) bytes: UTF-8 of a character XML allows.
bool ValidSequence(std::string_view s) {
    const auto byte = [s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    for (std::size_t i = 1; i < s.size(); ++i) {
        if ((byte(i) & 0xC0) != 0x80) return false;
    }
    switch (byte(0)) {
        case 0xE0: return byte(1) >= 0xA0;                        // not overlong
        case 0xED: return byte(1) <= 0x9F;                        // not a UTF-16 half
        case 0xEF: return !(byte(1) == 0xBF && byte(2) >= 0xBE);  // not U+FFFE, U+FFFF
        case 0xF0: return byte(1) >= 0x90;                        // not overlong
        case 0xF4: return byte(1) <= 0x8F;                        // not beyond U+10FFFF
        default: return true;
    }
}

}  // namespace

bool LongValueExtractor::Take(std::string* value) {
    if (ready_.empty()) return false;
    *value = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

void LongValueExtractor::Feed(std::string_view s, std::string& out) {
    std::size_t i = 0;
    while (i < s.size()) {
        switch (state_) {
            case State::Text: {
                const std::size_t open = s.find('<', i);
                const std::size_t end = open == std::string_view::npos ? s.size() : open + 1;
                out.append(s.substr(i, end - i));
                if (open != std::string_view::npos) {
                    first_ = seen_ + open == 0;
                    state_ = State::Open;
                }
                i = end;
                break;
            }
            case State::Head: {
                const std::size_t quote = s.find(quote_, i);
                const std::size_t end = quote == std::string_view::npos ? s.size() : quote;
                const std::size_t room = streamFrom_ - raw_.size();
                if (end - i >= room) {
                    // A long value: taken out.
                    raw_.append(s.substr(i, room));
                    i += room;
                    Stream(false, out);
                    break;
                }
                if (quote != std::string_view::npos && raw_.empty() &&
                    (end == i || (s[i] != '&' && s[i] != kMark[0]))) {
                    // A short value in one piece (most of them) passes without a copy.
                    out.append(s.substr(i, end - i));
                    EndValue(out);
                    i = end + 1;
                    break;
                }
                raw_.append(s.substr(i, end - i));
                i = end;
                if (quote == std::string_view::npos) break;
                if (!raw_.empty() && (raw_[0] == '&' || raw_[0] == kMark[0])) {
                    // It might begin with the placeholder's character once the parser has read it.
                    Stream(true, out);
                } else {
                    out += raw_;
                    raw_.clear();
                }
                EndValue(out);
                ++i;
                break;
            }
            case State::Decode: {
                const std::size_t quote = s.find(quote_, i);
                const std::size_t end = quote == std::string_view::npos ? s.size() : quote;
                raw_.append(s.substr(i, end - i));
                i = end;
                Continue(quote != std::string_view::npos, out);
                if (quote == std::string_view::npos) break;
                EndValue(out);
                ++i;
                break;
            }
            case State::Rest: {
                const std::size_t quote = s.find(quote_, i);
                const std::size_t end = quote == std::string_view::npos ? s.size() : quote + 1;
                out.append(s.substr(i, end - i));
                if (quote != std::string_view::npos) state_ = State::Tag;
                i = end;
                break;
            }
            default:
                out += s[i];
                Step(s[i]);
                ++i;
                break;
        }
    }
    seen_ += s.size();
}

void LongValueExtractor::Finish(std::string& out) {
    out += raw_;
    raw_.clear();
}

void LongValueExtractor::Stream(bool end, std::string& out) {
    out.append(kPlaceholder);
    value_.clear();
    // Room for the longest value the reader lets through (it cuts longer ones), taken at once:
    // grown step by step, a long value would be copied at each step, the old and the new copy
    // both held meanwhile. What is never written of the room takes no memory.
    value_.reserve(XmlMender::kMaxTextBytes);
    stop_ = false;
    state_ = State::Decode;
    Continue(end, out);
}

void LongValueExtractor::Continue(bool end, std::string& out) {
    const std::size_t decoded = Decode(raw_, end);
    if (!stop_) {
        raw_.erase(0, decoded);
        return;
    }
    // The parser reads the rest of the value.
    out.append(std::string_view(raw_).substr(decoded));
    raw_.clear();
    ready_.push_back(std::move(value_));
    value_.clear();
    state_ = State::Rest;
}

void LongValueExtractor::EndValue(std::string& out) {
    if (state_ == State::Decode) {
        ready_.push_back(std::move(value_));
        value_.clear();
    }
    out += quote_;
    state_ = State::Tag;
}

std::size_t LongValueExtractor::Decode(std::string_view raw, bool end) {
    std::size_t k = 0;
    while (k < raw.size()) {
        std::size_t run = k;
        while (run < raw.size()) {
            const unsigned char c = static_cast<unsigned char>(raw[run]);
            if (c < 0x20 || c >= 0x7F || c == '&' || c == '<') break;
            ++run;
        }
        if (run > k) {
            value_.append(raw.substr(k, run - k));
            k = run;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(raw[k]);
        if (c == '\t') {
            value_ += ' ';  // as the parser normalises white space in attribute values
            ++k;
            continue;
        }
        if (c == '&') {
            const std::size_t semicolon = raw.substr(k, kMaxReference).find(';');
            if (semicolon == std::string_view::npos) {
                if (!end && raw.size() - k < kMaxReference) return k;
                break;
            }
            const std::uint64_t character = Referenced(raw.substr(k + 1, semicolon - 1));
            if (character == 0) break;
            AppendUtf8(character, value_);
            k += semicolon + 1;
            continue;
        }
        if (c < 0x80 || encoding_ == Encoding::Ascii) break;
        if (encoding_ == Encoding::Latin1) {
            AppendUtf8(c, value_);
            ++k;
            continue;
        }
        const std::size_t length = SequenceLength(c);
        if (length == 0) break;
        if (raw.size() - k < length) {
            if (!end) return k;
            break;
        }
        if (!ValidSequence(raw.substr(k, length))) break;
        value_.append(raw.substr(k, length));
        k += length;
    }
    if (k < raw.size()) stop_ = true;
    return k;
}

void LongValueExtractor::Step(char c) {
    switch (state_) {
        case State::Open:
            if (c == '!') {
                markup_.StartBang();
                state_ = State::Markup;
            } else if (c == '?') {
                markup_.StartInstruction();
                declaration_.clear();
                state_ = State::Markup;
            } else if (c == '/') {
                state_ = State::EndTag;
            } else {
                state_ = State::Tag;
                Step(c);
            }
            return;
        case State::Markup: {
            const bool instruction = markup_.InInstruction();
            if (instruction && first_ && declaration_.size() < kMaxDeclaration) declaration_ += c;
            if (markup_.Step(c)) {
                if (instruction && first_) Declared();
                state_ = State::Text;
            }
            return;
        }
        case State::EndTag:
            if (c == '>') state_ = State::Text;
            return;
        case State::Tag:
            if (c == '>') {
                state_ = State::Text;
            } else if (c == '"' || c == '\'') {
                quote_ = c;
                raw_.clear();
                // Under an encoding not known here, the parser reads every value itself.
                state_ = encoding_ == Encoding::Unknown ? State::Rest : State::Head;
            }
            return;
        default: return;
    }
}

void LongValueExtractor::Declared() {
    // `declaration_` is what follows "<?", up to and with "?>".
    if (forced_) return;
    const std::string_view d(declaration_);
    if (d.size() >= kMaxDeclaration) {
        encoding_ = Encoding::Unknown;  // too long to be sure of
        return;
    }
    if (d.size() < 4 || d.substr(0, 3) != "xml" || !Blank(d[3])) return;
    const std::size_t at = d.find("encoding");
    if (at == std::string_view::npos) return;
    std::size_t i = at + 8;
    while (i < d.size() && Blank(d[i])) ++i;
    if (i == d.size() || d[i] != '=') return;
    ++i;
    while (i < d.size() && Blank(d[i])) ++i;
    if (i == d.size() || (d[i] != '"' && d[i] != '\'')) return;
    const std::size_t close = d.find(d[i], i + 1);
    if (close == std::string_view::npos) return;
    std::string name(d.substr(i + 1, close - i - 1));
    for (char& ch : name) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    if (name == "UTF-8") {
        encoding_ = Encoding::Utf8;
    } else if (name == "ISO-8859-1") {
        encoding_ = Encoding::Latin1;
    } else if (name == "US-ASCII") {
        encoding_ = Encoding::Ascii;
    } else {
        encoding_ = Encoding::Unknown;
    }
}

}  // namespace phone
