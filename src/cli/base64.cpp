#include "cli/base64.h"

#include <array>

namespace cli::device {

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

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + text.size() / 4 * 3 + 3);
    std::uint32_t group = 0;
    int filled = 0;  // sextets in `group`
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') break;
        const std::int8_t value = kTable[static_cast<unsigned char>(c)];
        if (value == kSkip) continue;
        if (value == kBad) return false;
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++filled == 4) {
            out.push_back(static_cast<std::uint8_t>(group >> 16));
            out.push_back(static_cast<std::uint8_t>(group >> 8));
            out.push_back(static_cast<std::uint8_t>(group));
            group = 0;
            filled = 0;
        }
    }
    // Only padding and whitespace may follow the first "=".
    for (; i < text.size(); ++i) {
        if (text[i] != '=' && kTable[static_cast<unsigned char>(text[i])] != kSkip) return false;
    }
    switch (filled) {
        case 0: return true;
        case 1: return false;
        case 2: out.push_back(static_cast<std::uint8_t>(group >> 4)); return true;
        default:
            out.push_back(static_cast<std::uint8_t>(group >> 10));
            out.push_back(static_cast<std::uint8_t>(group >> 2));
            return true;
    }
}

}  // namespace cli::device
