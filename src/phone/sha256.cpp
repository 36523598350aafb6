#include "phone/sha256.h"

#include "platform/text.h"

namespace phone {

namespace {

// Code units converted to bytes at a time.
constexpr std::size_t kUnits = 4096;

void AddUnits(Sha256& hash, const char16_t* units, std::size_t count) {
    std::uint8_t bytes[2 * kUnits];
    for (std::size_t i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
    }
    hash.Add(bytes, 2 * count);
}

}  // namespace

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
    Sha256 hash;
    hash.Add(bytes.data(), bytes.size());
    return hash.Hex();
}

Sha256::Sha256() { sha256_init(&context_); }

void Sha256::Add(const void* data, std::size_t size) {
    if (size != 0) sha256_update(&context_, size, static_cast<const std::uint8_t*>(data));
}

void Sha256::AddUtf16Le(std::u16string_view text) {
    for (std::size_t at = 0; at < text.size(); at += kUnits) {
        AddUnits(*this, text.data() + at, std::min(kUnits, text.size() - at));
    }
}

void Sha256::AddUtf8AsUtf16Le(std::string_view utf8) {
    char16_t units[kUnits];
    std::size_t at = 0;
    while (at < utf8.size()) AddUnits(*this, units, platform::FromUtf8Piece(utf8, &at, units, kUnits));
}

std::string Sha256::Hex() {
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context_, sizeof digest, digest);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * sizeof digest);
    for (std::uint8_t b : digest) {
        hex.push_back(kHex[b >> 4]);
        hex.push_back(kHex[b & 0xF]);
    }
    return hex;
}

}  // namespace phone
