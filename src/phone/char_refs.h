// Numeric character references that a strict XML parser refuses, mended in the byte stream
// before the parser sees it.
//
// Phones write a character outside the Basic Multilingual Plane as two references to its
// UTF-16 halves ("&#55357;&#56832;" for U+1F600). Such a pair becomes one reference to the
// character it stands for ("&#128512;"); a half without its partner, and a reference to a
// character XML does not allow (NUL and the other control characters but tab, line feed and
// carriage return, U+FFFE, U+FFFF, anything beyond U+10FFFF), becomes "&#65533;" (U+FFFD).
// Every other byte passes unchanged; no line end is added or removed, so the line numbers the
// parser reports are the file's own.
#pragma once

#include <string>
#include <string_view>

namespace phone {

class CharRefFixer {
public:
    // Appends the mended form of `data` to `out`. A reference cut off by the end of `data` (at
    // most a few dozen bytes) is held back and finished by the next call.
    void Feed(std::string_view data, std::string& out);
    // Appends whatever is still held back: the file has ended.
    void Finish(std::string& out);

private:
    void Process(std::string_view text, bool final, std::string& out);

    std::string pending_;
};

}  // namespace phone
