#include "phone/part_data.h"

namespace phone {

namespace {

constexpr std::size_t kNameChars = 8;  // longer names are neither "part" nor "data"
constexpr std::string_view kNull = "null";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsWhiteSpaceRef(std::string_view ref) {
    for (std::string_view white :
         {"&#9;", "&#10;", "&#13;", "&#32;", "&#x9;", "&#xA;", "&#xa;", "&#xD;", "&#xd;", "&#x20;"}) {
        if (ref == white) return true;
    }
    return false;
}

}  // namespace

bool PartDataExtractor::Take(Value* value) {
    if (ready_.empty()) return false;
    *value = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

void PartDataExtractor::Feed(std::string_view s, std::string& out) {
    std::size_t copied = 0;  // s[0, copied) is handled
    std::size_t i = 0;
    while (i < s.size()) {
        switch (state_) {
            case State::Text: {
                const std::size_t open = s.find('<', i);
                if (open == std::string_view::npos) {
                    i = s.size();
                } else {
                    state_ = State::Open;
                    i = open + 1;
                }
                break;
            }
            case State::Quoted: {
                const std::size_t end = s.find(quote_, i);
                if (end == std::string_view::npos) {
                    i = s.size();
                } else {
                    state_ = State::InTag;
                    i = end + 1;
                }
                break;
            }
            case State::DataHead:
            case State::Data: {
                const char c = s[i];
                if (c == quote_) {
                    EndData(out);
                    copied = i;  // the closing quote goes on as it is
                    state_ = State::InTag;
                    ++i;
                    break;
                }
                if (state_ == State::DataHead) {
                    if (head_.size() < kNull.size() && c == kNull[head_.size()]) {
                        head_.push_back(c);
                        ++i;
                        break;
                    }
                    CommitData();
                }
                if (ref_.empty() && c != '&' && c != '\n' && c != '\r') {
                    // A run of plain base64.
                    std::size_t end = i;
                    const auto plain = [&](char d) { return d != quote_ && d != '&' && d != '\n' && d != '\r'; };
                    while (end < s.size() && plain(s[end])) ++end;
                    decoder_.Feed(s.substr(i, end - i), value_.bytes);
                    i = end;
                } else {
                    DataChar(c);
                    ++i;
                }
                break;
            }
            default: {
                Step(s[i]);
                ++i;
                if (state_ == State::DataHead) {
                    // Up to the opening quote; the value itself is not copied.
                    out.append(s.substr(copied, i - copied));
                    copied = i;
                }
                break;
            }
        }
    }
    if (state_ != State::DataHead && state_ != State::Data && copied < s.size()) out.append(s.substr(copied));
}

void PartDataExtractor::Step(char c) {
    switch (state_) {
        case State::Open:
            if (c == '!' || c == '?') {
                state_ = State::Markup;
                if (c == '!') markup_.StartBang();
                if (c == '?') markup_.StartInstruction();
            } else if (c == '/') {
                state_ = State::EndTag;
            } else {
                name_.assign(1, c);
                state_ = State::TagName;
            }
            return;
        case State::Markup:
            if (markup_.Step(c)) state_ = State::Text;
            return;
        case State::EndTag:
            if (c == '>') state_ = State::Text;
            return;
        case State::TagName:
            if (IsSpace(c) || c == '/' || c == '>') {
                inPart_ = name_ == "part";
                state_ = c == '>' ? State::Text : State::InTag;
            } else if (name_.size() < kNameChars) {
                name_.push_back(c);
            }
            return;
        case State::InTag:
            if (c == '>') {
                state_ = State::Text;
            } else if (!IsSpace(c) && c != '/') {
                name_.assign(1, c);
                state_ = State::AttrName;
            }
            return;
        case State::AttrName:
            if (c == '=') {
                state_ = State::BeforeValue;
            } else if (IsSpace(c)) {
                state_ = State::BeforeEquals;
            } else if (c == '>') {
                state_ = State::Text;
            } else if (name_.size() < kNameChars) {
                name_.push_back(c);
            }
            return;
        case State::BeforeEquals:
            if (c == '=') {
                state_ = State::BeforeValue;
            } else if (!IsSpace(c)) {
                state_ = State::InTag;
                Step(c);
            }
            return;
        case State::BeforeValue:
            if (c == '"' || c == '\'') {
                quote_ = c;
                if (inPart_ && name_ == "data") {
                    head_.clear();
                    state_ = State::DataHead;
                } else {
                    state_ = State::Quoted;
                }
            } else if (!IsSpace(c)) {
                state_ = State::InTag;
                Step(c);
            }
            return;
        default: return;
    }
}

void PartDataExtractor::CommitData() {
    value_ = Value();
    decoder_ = Base64Decoder();
    ref_.clear();
    breaks_.clear();
    decoder_.Feed(head_, value_.bytes);
    head_.clear();
    state_ = State::Data;
}

void PartDataExtractor::DataChar(char c) {
    if (!ref_.empty()) {
        ref_.push_back(c);
        if (c == ';') {
            if (!IsWhiteSpaceRef(ref_)) decoder_.Refuse();
            ref_.clear();
        } else if (ref_.size() > 8) {
            decoder_.Refuse();
            ref_.clear();
        }
    } else if (c == '&') {
        ref_.push_back(c);
    } else if (c == '\n' || c == '\r') {
        breaks_.push_back(c);
    } else {
        decoder_.Feed(std::string_view(&c, 1), value_.bytes);
    }
}

void PartDataExtractor::EndData(std::string& out) {
    if (state_ == State::DataHead && (head_.empty() || head_ == kNull)) {
        out.append(head_);  // passes unchanged
        return;
    }
    if (state_ == State::DataHead) CommitData();
    if (!ref_.empty()) decoder_.Refuse();
    value_.valid = decoder_.Finish();
    // What was decoded before the text was refused depends on where the stream was cut, and
    // is no one's media.
    if (!value_.valid) value_.bytes.clear();
    ready_.push_back(std::move(value_));
    value_ = Value();
    out.push_back('*');
    out.append(breaks_);
}

}  // namespace phone
