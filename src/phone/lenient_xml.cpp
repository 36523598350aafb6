#include "phone/lenient_xml.h"

#include <libxml/HTMLparser.h>
#include <utf8.h>

#include <cstring>
#include <iterator>

namespace phone {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool NameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

void AppendUtf8(char32_t c, std::string& out) {
    utf8::unchecked::append(static_cast<std::uint32_t>(c), std::back_inserter(out));
}

constexpr std::size_t kMaxReference = 40;   // "&" and a name or number, without ";"
constexpr std::size_t kMaxLookahead = 256;  // after a quote, before it is judged

}  // namespace

// ---- InputDecoder ----

void InputDecoder::Feed(std::string_view data, std::string& out) {
    if (kind_ == Kind::Unknown) {
        head_.append(data);
        if (head_.size() < 4) return;
        Decide(out);
        return;
    }
    if (kind_ == Kind::Utf8) {
        Emit(data, out);
    } else {
        Decode16(data, out);
    }
}

void InputDecoder::Finish(std::string& out) {
    if (kind_ == Kind::Unknown) Decide(out);
    if (!carry_.empty() || high_ != 0) {
        carry_.clear();
        high_ = 0;
        Emit("\xEF\xBF\xBD", out);
    }
    if (!mark_.empty()) {
        started_ = true;
        out += std::exchange(mark_, {});
    }
    out += std::exchange(breaks_, {});
}

void InputDecoder::Decide(std::string& out) {
    {
        const std::string head = std::exchange(head_, {});
        const auto starts = [&head](const char* bytes, std::size_t n) {
            return head.size() >= n && std::memcmp(head.data(), bytes, n) == 0;
        };
        std::string_view rest(head);
        if (starts("\xEF\xBB\xBF", 3)) {
            kind_ = Kind::Utf8;
            rest.remove_prefix(3);
        } else if (starts("\xFF\xFE", 2)) {
            kind_ = Kind::Utf16Le;
            rest.remove_prefix(2);
        } else if (starts("\xFE\xFF", 2)) {
            kind_ = Kind::Utf16Be;
            rest.remove_prefix(2);
        } else if (head.size() >= 2 && head[0] != '\0' && head[1] == '\0') {
            kind_ = Kind::Utf16Le;  // an ASCII character ("<", or white space) without a mark
        } else if (head.size() >= 2 && head[0] == '\0' && head[1] != '\0') {
            kind_ = Kind::Utf16Be;
        } else {
            kind_ = Kind::Utf8;
        }
        Feed(rest, out);
    }
}

void InputDecoder::Decode16(std::string_view data, std::string& out) {
    std::string utf8;
    utf8.reserve(data.size());
    std::size_t i = 0;
    const auto unitAt = [this](unsigned char a, unsigned char b) {
        return static_cast<char16_t>(kind_ == Kind::Utf16Le ? a | (b << 8) : (a << 8) | b);
    };
    const auto take = [&](char16_t unit) {
        if (high_ != 0) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                AppendUtf8(0x10000 + ((static_cast<char32_t>(high_) - 0xD800) << 10) + (unit - 0xDC00), utf8);
                high_ = 0;
                return;
            }
            AppendUtf8(0xFFFD, utf8);
            high_ = 0;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            high_ = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            AppendUtf8(0xFFFD, utf8);
        } else {
            AppendUtf8(unit, utf8);
        }
    };
    if (!carry_.empty() && !data.empty()) {
        take(unitAt(static_cast<unsigned char>(carry_[0]), static_cast<unsigned char>(data[0])));
        carry_.clear();
        i = 1;
    }
    for (; i + 1 < data.size(); i += 2) {
        take(unitAt(static_cast<unsigned char>(data[i]), static_cast<unsigned char>(data[i + 1])));
    }
    if (i < data.size()) carry_.assign(1, data[i]);
    Emit(utf8, out);
}

void InputDecoder::Emit(std::string_view input, std::string& out) {
    std::string joined;
    std::string_view utf8 = input;
    if (!mark_.empty()) {
        joined = std::exchange(mark_, {}) + std::string(input);
        utf8 = joined;
    }
    while (!started_ && !utf8.empty()) {
        if (utf8.size() < 3 && std::string_view("\xEF\xBB\xBF").substr(0, utf8.size()) == utf8) {
            mark_.assign(utf8);  // perhaps a mark cut off by the end of the data
            return;
        }
        // White space and marks before the declaration are passed over; their line ends
        // follow the first tag, so that line numbers stay the file's.
        if (Blank(utf8.front())) {
            if (utf8.front() == '\n' || utf8.front() == '\r') breaks_ += utf8.front();
            utf8.remove_prefix(1);
        } else if (utf8.substr(0, 3) == "\xEF\xBB\xBF") {
            utf8.remove_prefix(3);
        } else {
            started_ = true;
        }
    }
    if (!breaks_.empty()) {
        const std::size_t end = utf8.find('>');
        if (end == std::string_view::npos) {
            out.append(utf8);
            return;
        }
        out.append(utf8.substr(0, end + 1));
        out += breaks_;
        breaks_.clear();
        utf8.remove_prefix(end + 1);
    }
    out.append(utf8);
}

// ---- XmlMender ----

void XmlMender::Mended() {
    ++places_;
    if (first_ == 0) first_ = line_;
}

void XmlMender::Line(char c) {
    if (c == '\n') {
        if (!lastCr_) ++line_;
        lastCr_ = false;
    } else if (c == '\r') {
        ++line_;
        lastCr_ = true;
    } else {
        lastCr_ = false;
    }
}

void XmlMender::Feed(std::string_view data, std::string& out) {
    out.reserve(out.size() + data.size() + data.size() / 16);
    std::size_t i = 0;
    while (i < data.size()) {
        if (state_ == State::Value) {
            // A run of characters that need no care goes in one piece.
            std::size_t end = i;
            while (end < data.size()) {
                const char c = data[end];
                if (c == quote_ || c == '&' || c == '<' || c == '\r' || c == '\n') break;
                ++end;
            }
            if (end > i) {
                lastCr_ = false;
                valueCr_ = false;
                Put(data.substr(i, end - i), out);
                i = end;
                continue;
            }
        } else if (state_ == State::Text && data[i] != '<') {
            const std::size_t open = data.find('<', i);
            const std::size_t end = open == std::string_view::npos ? data.size() : open;
            for (std::size_t k = i; k < end; ++k) Line(data[k]);
            out.append(data.substr(i, end - i));
            i = end;
            continue;
        }
        Line(data[i]);
        Step(data[i], out);
        ++i;
    }
}

void XmlMender::Finish(std::string& out) {
    if (state_ == State::Reference) FinishReference(0, true, out);
    if (state_ == State::Quote) ResolveQuote(true, out);
    out += breaks_;
    breaks_.clear();
}

void XmlMender::Put(std::string_view text, std::string& out) {
    if (data_) {
        out.append(text);
        return;
    }
    if (cut_) return;
    if (valueBytes_ + text.size() > kMaxTextBytes) {
        std::size_t allowed = kMaxTextBytes - valueBytes_;
        // A reference goes whole or not at all (half of one would stop the parser), and a
        // character of several bytes too.
        if (text[0] == '&' && allowed < text.find(';') + 1) allowed = 0;
        while (allowed > 0 && (static_cast<unsigned char>(text[allowed]) & 0xC0) == 0x80) --allowed;
        out.append(text.substr(0, allowed));
        valueBytes_ += allowed;
        cut_ = true;
        notes_.emplace_back(valueLine_, "its attribute \"" + name_ + "\" is longer than 16 MB and was cut there");
        return;
    }
    valueBytes_ += text.size();
    out.append(text);
}

void XmlMender::EndValue(std::string& out) {
    out += quote_;
    out += breaks_;
    breaks_.clear();
    state_ = State::InTag;
}

void XmlMender::ValueChar(char c, std::string& out) {
    if (c == quote_) {
        if (!lenient_ || data_) {
            EndValue(out);
            return;
        }
        held_.clear();
        state_ = State::Quote;
        return;
    }
    if (c != '\r' && c != '\n') valueCr_ = false;
    switch (c) {
        case '&':
            // Held until it is judged (when lenient) and so that a value cut at its limit never
            // ends inside a reference.
            held_.assign(1, '&');
            state_ = State::Reference;
            return;
        case '<':
            if (!lenient_) {
                Put("<", out);
                return;
            }
            Mended();
            Put("&lt;", out);
            return;
        case '\r':
            Put("&#10;", out);
            breaks_ += c;
            valueCr_ = true;
            return;
        case '\n':
            // After a carriage return it is the same line end.
            if (!valueCr_) Put("&#10;", out);
            breaks_ += c;
            valueCr_ = false;
            return;
        default: valueCr_ = false; Put(std::string_view(&c, 1), out);
    }
}

void XmlMender::FinishReference(char next, bool final, std::string& out) {
    // `held_` is "&" and what followed, with the closing ";" when `next` is it.
    state_ = State::Value;
    const std::string held = std::exchange(held_, {});
    if (!lenient_) {
        Put(next == ';' ? held + ";" : held, out);
        if (next != ';' && !final) ValueChar(next, out);
        return;
    }
    if (next == ';') {
        const std::string_view name = std::string_view(held).substr(1);
        bool valid = false;
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            valid = !digits.empty();
            for (const char d : digits) {
                const bool digit = d >= '0' && d <= '9';
                const bool hexDigit = (d >= 'a' && d <= 'f') || (d >= 'A' && d <= 'F');
                if (!digit && !(hex && hexDigit)) valid = false;
            }
        } else if (name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos") {
            valid = true;
        }
        if (valid) {
            Put(held + ";", out);
            return;
        }
        if (!name.empty()) {
            const std::string key(name);
            if (const htmlEntityDesc* entity = htmlEntityLookup(reinterpret_cast<const xmlChar*>(key.c_str()))) {
                Mended();
                Put("&#" + std::to_string(entity->value) + ";", out);
                return;
            }
        }
        Mended();
        Put("&amp;" + held.substr(1) + ";", out);
        return;
    }
    Mended();
    Put("&amp;" + held.substr(1), out);
    if (!final) ValueChar(next, out);
}

int XmlMender::QuoteEnds(bool final) const {
    const std::string& t = held_;
    const int unknown = final || t.size() > kMaxLookahead ? 1 : -1;
    std::size_t i = 0;
    while (i < t.size() && Blank(t[i])) ++i;
    const bool spaced = i > 0;
    if (i == t.size()) return unknown;
    // A "<" cannot follow a value either, but taken into the value it would take the rest of
    // the file with it: the parser is left to say where the tag went wrong.
    if (t[i] == '>' || t[i] == '<') return 1;
    if (t[i] == '/') {
        if (i + 1 == t.size()) return unknown;
        return t[i + 1] == '>' ? 1 : 0;
    }
    if (!spaced || !NameStart(t[i])) return 0;
    while (i < t.size() && NameChar(t[i])) ++i;
    while (i < t.size() && Blank(t[i])) ++i;
    if (i == t.size()) return unknown;
    return t[i] == '=' ? 1 : 0;
}

void XmlMender::ResolveQuote(bool final, std::string& out) {
    const int ends = QuoteEnds(final);
    if (ends < 0) return;
    const std::string held = std::exchange(held_, {});
    if (ends == 1) {
        EndValue(out);
    } else {
        state_ = State::Value;
        Mended();
        Put(quote_ == '"' ? "&quot;" : "&apos;", out);
    }
    // What was held is read again in the state now known (its lines are counted already).
    for (const char c : held) Step(c, out);
}

void XmlMender::Step(char c, std::string& out) {
    switch (state_) {
        case State::Value: ValueChar(c, out); return;
        case State::Reference:
            if (c == ';') {
                FinishReference(c, false, out);
            } else if ((NameChar(c) || c == '#') && static_cast<unsigned char>(c) < 0x80 &&
                       held_.size() < kMaxReference) {
                held_ += c;
            } else {
                FinishReference(c, false, out);
            }
            return;
        case State::Quote:
            held_ += c;
            ResolveQuote(false, out);
            return;
        default: break;
    }
    out += c;
    switch (state_) {
        case State::Text:
            if (c == '<') state_ = State::Open;
            break;
        case State::Open:
            if (c == '!' || c == '?') {
                state_ = State::Markup;
                if (c == '!') markup_.StartBang();
                if (c == '?') markup_.StartInstruction();
            } else if (c == '/') {
                state_ = State::EndTag;
            } else {
                state_ = State::TagName;
                name_.assign(1, c);
            }
            break;
        case State::Markup:
            if (markup_.Step(c)) state_ = State::Text;
            break;
        case State::EndTag:
            if (c == '>') state_ = State::Text;
            break;
        case State::TagName:
            if (c == '>') {
                state_ = State::Text;
            } else if (Blank(c) || c == '/') {
                state_ = State::InTag;
            } else if (name_.size() < 16) {
                name_ += c;
            }
            break;
        case State::InTag:
            if (c == '>') {
                state_ = State::Text;
            } else if (NameStart(c)) {
                state_ = State::AttrName;
                name_.assign(1, c);
            }
            break;
        case State::AttrName:
            if (c == '=') {
                state_ = State::BeforeValue;
            } else if (Blank(c)) {
                state_ = State::BeforeEquals;
            } else if (c == '>') {
                state_ = State::Text;
            } else if (name_.size() < 64) {
                name_ += c;
            }
            break;
        case State::BeforeEquals:
            if (c == '=') {
                state_ = State::BeforeValue;
            } else if (c == '>') {
                state_ = State::Text;
            } else if (NameStart(c)) {
                state_ = State::AttrName;
                name_.assign(1, c);
            }
            break;
        case State::BeforeValue:
            if (c == '"' || c == '\'') {
                state_ = State::Value;
                quote_ = c;
                data_ = name_ == "data";
                valueBytes_ = 0;
                valueLine_ = line_;
                cut_ = false;
                valueCr_ = false;
            } else if (c == '>') {
                state_ = State::Text;
            } else if (!Blank(c)) {
                state_ = State::InTag;
            }
            break;
        default: break;
    }
}

}  // namespace phone
