// Long attribute values taken out of the byte stream before the XML parser sees it.
//
// A parser holds a start tag whole in its buffer and copies every attribute value into a pool
// of its own before it hands them over; a message body of 16 MB costs several times that. This
// filter, the last before the parser, reads every attribute value as it passes. A value of
// fewer than kStreamFrom bytes passes unchanged. A longer one is decoded here, as the parser
// would decode it (references resolved, a tab made a space), and the parser gets the
// placeholder "&#x10FFFD;" in its place; the decoded values wait in document order until the
// reader takes them, one for every attribute whose parsed value begins with U+10FFFD. A short
// value that begins with that character is taken out as well, so that a placeholder is never
// mistaken for text.
//
// What this filter cannot judge as surely as the parser (a character or reference XML does not
// allow, a "<", a raw line end, bytes that are not UTF-8) stops the decoding there: the
// placeholder is followed by the rest of the value unchanged, the parser judges it, and the
// value is what was decoded here followed by what the parser made of the rest.
//
// The text is read as the XML declaration says (UTF-8 when it names no encoding, ISO-8859-1 or
// US-ASCII); under an encoding the filter does not know nothing is taken out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "phone/xml_markup.h"

namespace phone {

class LongValueExtractor {
public:
    static constexpr std::size_t kStreamFrom = 64 * 1024;
    // U+10FFFD, the first character of an attribute value that was taken out, as UTF-8.
    static constexpr std::string_view kMark = "\xF4\x8F\xBF\xBD";

    // `streamFrom`: the length from which a value is taken out.
    explicit LongValueExtractor(std::size_t streamFrom = kStreamFrom) : streamFrom_(streamFrom) {}

    // The text is UTF-8 whatever its declaration says (the parser is told so).
    void AssumeUtf8() {
        encoding_ = Encoding::Utf8;
        forced_ = true;
    }

    // Appends what the parser is to see of `data` to `out`.
    void Feed(std::string_view data, std::string& out);
    // Appends what is still held back: the file has ended (inside a value, as it is).
    void Finish(std::string& out);
    // The next decoded value, in document order; false when there is none.
    bool Take(std::string* value);

private:
    enum class State {
        Text,
        Open,
        Markup,
        EndTag,
        Tag,
        Head,
        Decode,
        Rest,
    };
    enum class Encoding { Utf8, Latin1, Ascii, Unknown };

    void Step(char c);
    void Declared();
    // Decodes `raw` into `value_`; returns how much of it was decoded. The rest is held back
    // for more (`end`: there is no more), or, when `stop_` is set, passed on unchanged.
    std::size_t Decode(std::string_view raw, bool end);
    // The value in `raw_` is taken out: the placeholder goes to `out`, and what is decoded of it.
    void Stream(bool end, std::string& out);
    // Decodes what `raw_` holds; at a place the parser is to judge, the rest goes on unchanged.
    void Continue(bool end, std::string& out);
    void EndValue(std::string& out);

    std::size_t streamFrom_;
    State state_ = State::Text;
    Encoding encoding_ = Encoding::Utf8;
    bool forced_ = false;
    std::uint64_t seen_ = 0;   // bytes read (up to a few)
    bool first_ = false;       // the instruction being read is the first thing: the declaration
    std::string declaration_;  // the XML declaration, while it is read
    SkippedMarkup markup_;
    char quote_ = 0;
    std::string raw_;    // the value's bytes not decoded yet
    std::string value_;  // the value decoded so far
    bool stop_ = false;  // the decoding met what the parser is to judge
    std::deque<std::string> ready_;
};

}  // namespace phone
