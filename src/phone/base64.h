// Base64 (the standard alphabet with "+" and "/") decoding of the binary parts of a backup file,
// by nettle's streaming decoder.
#pragma once

#include <nettle/base64.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace phone {

// Decodes text handed over in pieces of any size. Whitespace anywhere is ignored (files wrap
// long values), and the trailing "=" padding may be missing. The text is refused when a
// character lies outside the alphabet, when "=" is followed by data, when it stops one
// character into a group (which encodes no whole byte), or when its padding is not what an
// encoder writes: "=" after a whole group, a third "=", or "=" after a last character whose
// bits left over are not zero.
class Base64Decoder {
public:
    Base64Decoder();
    // Appends the bytes of the next piece to `out`; false once the text is refused.
    bool Feed(std::string_view text, std::vector<std::uint8_t>& out);
    // Ends the text (its bytes are all in `out` already); false when the text as a whole is
    // refused.
    bool Finish();
    // Takes a character that is not base64 as refused.
    void Refuse() { refused_ = true; }

private:
    base64_decode_ctx context_;
    bool refused_ = false;
};

// The whole of `text` at once, appended to `out`.
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace phone
