#include "phone/base64.h"

namespace phone {

Base64Decoder::Base64Decoder() { base64_decode_init(&context_); }

bool Base64Decoder::Feed(std::string_view text, std::vector<std::uint8_t>& out) {
    if (refused_) return false;
    const std::size_t before = out.size();
    out.resize(before + BASE64_DECODE_LENGTH(text.size()));
    std::size_t written = out.size() - before;
    if (base64_decode_update(&context_, &written, out.data() + before, text.size(), text.data()) != 1) {
        out.resize(before);
        refused_ = true;
        return false;
    }
    out.resize(before + written);
    return true;
}

bool Base64Decoder::Finish() {
    if (refused_) return false;
    // Each byte is handed out as soon as its bits are in. Left over: nothing (whole groups, or
    // a last one padded), or the 2 or 4 bits of a last group whose padding is missing; 6 bits
    // are one character, which encodes no whole byte.
    return context_.bits != 6;
}

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + text.size() / 4 * 3 + 3);
    Base64Decoder decoder;
    return decoder.Feed(text, out) && decoder.Finish();
}

}  // namespace phone
