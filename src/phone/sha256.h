// SHA-256 of a byte string, as lower-case hex (for the attachment digests of `device dump`).
#pragma once

#include <nettle/sha2.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace phone {

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);

// The same over bytes given piece by piece, and over the UTF-16LE form of a text (as UTF-16,
// or as UTF-8 converted as platform::FromUtf8 does) without making that form whole.
class Sha256 {
public:
    Sha256();
    void Add(const void* data, std::size_t size);
    void AddUtf16Le(std::u16string_view text);
    void AddUtf8AsUtf16Le(std::string_view utf8);
    // The digest of what was added; the hasher starts over.
    std::string Hex();

private:
    sha256_ctx context_;
};

}  // namespace phone
