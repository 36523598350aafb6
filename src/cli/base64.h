// Base64 (the standard alphabet with "+" and "/") decoding of the binary parts of a backup file.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace cli::device {

// Appends the bytes `text` encodes to `out`. Whitespace anywhere is ignored (files wrap long
// values), and the trailing "=" padding may be missing. Returns false, leaving `out` with the
// bytes decoded so far, when a character lies outside the alphabet, when "=" is followed by
// data or when the text stops one character into a group (which encodes no whole byte).
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace cli::device
