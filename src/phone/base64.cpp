#include "phone/base64.h"

#include <array>

namespace phone {

namespace {

constexpr std::int8_t kSkip = -2;
constexpr std::int8_t kBad = -1;

constexpr std::array<std::int8_t, 256> MakeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table) entry = kBad;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    for (char c : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(c)] = kSkip;
    return table;
}

constexpr std::array<std::int8_t, 256> kTable = MakeTable();

}  // namespace

bool Base64Decoder::Feed(std::string_view text, std::vector<std::uint8_t>& out) {
    if (refused_) return false;
    for (char c : text) {
        const std::int8_t value = kTable[static_cast<unsigned char>(c)];
        if (value == kSkip) continue;
        if (c == '=') {
            padded_ = true;
            continue;
        }
        // Only padding and whitespace may follow the first "=".
        if (value == kBad || padded_) {
            refused_ = true;
            return false;
        }
        group_ = (group_ << 6) | static_cast<std::uint32_t>(value);
        if (++filled_ == 4) {
            out.push_back(static_cast<std::uint8_t>(group_ >> 16));
            out.push_back(static_cast<std::uint8_t>(group_ >> 8));
            out.push_back(static_cast<std::uint8_t>(group_));
            group_ = 0;
            filled_ = 0;
        }
    }
    return true;
}

bool Base64Decoder::Finish(std::vector<std::uint8_t>& out) {
    if (refused_) return false;
    switch (filled_) {
        case 0: return true;
        case 1: return false;
        case 2: out.push_back(static_cast<std::uint8_t>(group_ >> 4)); return true;
        default:
            out.push_back(static_cast<std::uint8_t>(group_ >> 10));
            out.push_back(static_cast<std::uint8_t>(group_ >> 2));
            return true;
    }
}

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + text.size() / 4 * 3 + 3);
    Base64Decoder decoder;
    return decoder.Feed(text, out) && decoder.Finish(out);
}

}  // namespace phone
