// SHA-256 of a byte string, as lower-case hex (for the attachment digests of `device dump`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace phone {

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);

}  // namespace phone
