// UTF-16 text, the program's string type, and its conversion to and from UTF-8 at the edges.
//
// The program keeps every piece of wide text as UTF-16 (std::u16string, u"..."). Host file names,
// the terminal and the text files the program writes are UTF-8. Conversions never fail:
// a lone surrogate becomes U+FFFD on the way out, and invalid UTF-8 becomes U+FFFD on the way in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// UTF-16 → UTF-8. Surrogate pairs become one 4-byte character; lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-8 → UTF-16. Invalid byte sequences become U+FFFD; never throws.
std::u16string FromUtf8(std::string_view text);
// The same in pieces, for a text too long to be held twice: how many UTF-16 code units
// FromUtf8(text) has, and the next of them from byte `*at` of `text` on into `out` (at most
// `room`, never half a surrogate pair; `room` must be at least 2 while any text is left),
// moving `*at` past what was converted. Returns how many code units were written.
std::size_t Utf16Length(std::string_view text);
std::size_t FromUtf8Piece(std::string_view text, std::size_t* at, char16_t* out, std::size_t room);

// Appends the UTF-8 form of one code point (a lone surrogate is written as U+FFFD).
void AppendUtf8(std::string& out, char32_t codePoint);
// Appends the UTF-8 form of a text, as ToUtf8 converts it.
void AppendUtf8(std::string& out, std::u16string_view text);

// Case-insensitive comparison of two names as the device's file system compares them
// (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters folded).
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

// Orders two names without regard to letter case (the same folding): negative, 0 or positive.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Matches a device file name against a pattern with "*" and "?" without regard to letter case.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern);

// Reads UTF-16LE bytes into a string (an odd trailing byte is dropped) and back.
std::u16string FromUtf16Le(const std::uint8_t* bytes, std::size_t size);
std::string ToUtf16Le(std::u16string_view text);

}  // namespace platform
