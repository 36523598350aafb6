// The first two filters of a backup file's byte stream, before the parser sees it.
//
// InputDecoder: the file's encoding. UTF-8 passes unchanged, without its byte-order mark;
// UTF-16 in either byte order (told by its mark, or by an ASCII first character) becomes UTF-8;
// white space and marks before the first "<" are dropped, as a parser refuses anything before
// the XML declaration (their line ends follow the first tag).
//
// XmlMender: what writers other than the phone's backup apps get wrong in attribute values,
// mended into well-formed XML (when lenient):
//   - an HTML named entity ("&eacute;", "&rsquo;") becomes a reference to its character;
//   - an "&" that starts no valid reference, and a "<", are taken literally;
//   - a quote of the value's kind that is not followed by white space and another attribute,
//     by "/>" or by ">" (or by a "<", where the tag is broken anyway) is taken literally.
// Each such place is counted, with the line of the first. Line breaks written raw inside an
// attribute value are kept as line breaks (a parser would make spaces of them): they become
// references, and the raw line ends follow the value, so that line numbers stay the file's.
// The value of any attribute but a part's `data` (which is streamed elsewhere) is cut after
// kMaxTextBytes, with a note naming its line. Strict: nothing is mended or counted, but line
// breaks are kept and long values cut all the same.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "phone/xml_markup.h"

namespace phone {

class InputDecoder {
public:
    // Appends the UTF-8 form of `data` to `out`.
    void Feed(std::string_view data, std::string& out);
    // Appends what is still held back (half a UTF-16 character becomes U+FFFD).
    void Finish(std::string& out);
    // The file was UTF-16 (known after the first bytes): its declaration's encoding is wrong now.
    bool WasUtf16() const { return kind_ == Kind::Utf16Le || kind_ == Kind::Utf16Be; }

private:
    enum class Kind { Unknown, Utf8, Utf16Le, Utf16Be };
    void Decide(std::string& out);  // from the first bytes
    void Emit(std::string_view utf8, std::string& out);
    void Decode16(std::string_view data, std::string& out);

    Kind kind_ = Kind::Unknown;
    std::string head_;      // the first bytes, until they tell the encoding
    bool started_ = false;  // the first "<" has been passed on
    std::string breaks_;    // line ends met before it, until the first ">"
    std::string mark_;      // the first bytes of a mark before it, until the rest arrives
    std::string carry_;     // an odd byte of UTF-16
    char16_t high_ = 0;     // a high surrogate waiting for its partner
};

class XmlMender {
public:
    static constexpr std::uint64_t kMaxTextBytes = 16 * 1024 * 1024;

    explicit XmlMender(bool lenient) : lenient_(lenient) {}

    void Feed(std::string_view data, std::string& out);
    void Finish(std::string& out);

    std::uint64_t Places() const { return places_; }         // places mended
    std::uint64_t FirstPlaceLine() const { return first_; }  // the line of the first (0: none)
    // The notes since the last call: (line, what happened).
    std::vector<std::pair<std::uint64_t, std::string>> TakeNotes() { return std::exchange(notes_, {}); }

private:
    enum class State {
        Text,
        Open,
        Markup,
        EndTag,
        TagName,
        InTag,
        AttrName,
        BeforeEquals,
        BeforeValue,
        Value,
        Reference,
        Quote,
    };

    void Step(char c, std::string& out);
    void ValueChar(char c, std::string& out);
    void Put(std::string_view text, std::string& out);  // into the current value, within its limit
    void EndValue(std::string& out);
    void Mended();
    void FinishReference(char next, bool final, std::string& out);
    // What the text held after a quote says: 1 the quote ends the value, 0 it is part of it,
    // -1 not known yet.
    int QuoteEnds(bool final) const;
    void ResolveQuote(bool final, std::string& out);
    void Line(char c);

    bool lenient_;
    State state_ = State::Text;
    std::uint64_t line_ = 1;
    bool lastCr_ = false;
    std::string name_;  // the tag or attribute name
    SkippedMarkup markup_;
    char quote_ = 0;
    bool data_ = false;  // the value is a `data` attribute's
    std::uint64_t valueBytes_ = 0;
    std::uint64_t valueLine_ = 0;
    bool cut_ = false;
    bool valueCr_ = false;  // the value's last character was a carriage return
    std::string breaks_;    // raw line ends of the value, written after it
    std::string held_;      // a reference or the text after a quote, until it is judged
    std::uint64_t places_ = 0;
    std::uint64_t first_ = 0;
    std::vector<std::pair<std::uint64_t, std::string>> notes_;
};

}  // namespace phone
