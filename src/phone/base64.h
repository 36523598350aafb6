// Base64 (the standard alphabet with "+" and "/") decoding of the binary parts of a backup file.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace phone {

// Decodes text handed over in pieces of any size. Whitespace anywhere is ignored (files wrap
// long values), and the trailing "=" padding may be missing. The text is refused when a
// character lies outside the alphabet, when "=" is followed by data, or when it stops one
// character into a group (which encodes no whole byte).
class Base64Decoder {
public:
    // Appends the bytes of the next piece to `out`; false once the text is refused.
    bool Feed(std::string_view text, std::vector<std::uint8_t>& out);
    // Appends the bytes of an unfinished group; false when the text as a whole is refused.
    bool Finish(std::vector<std::uint8_t>& out);
    // Takes a character that is not base64 as refused.
    void Refuse() { refused_ = true; }

private:
    std::uint32_t group_ = 0;
    int filled_ = 0;  // sextets in `group_`
    bool padded_ = false;
    bool refused_ = false;
};

// The whole of `text` at once, appended to `out`.
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace phone
