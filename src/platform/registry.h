// The device's settings store (its registry): keys under HKEY_LOCAL_MACHINE holding
// REG_SZ values, kept in "\.platform\registry.db" of the device folder.
//
// Key paths compare without regard to letter case, as on the device. Every write is one SQLite
// transaction, so a crash never leaves a half-written store. Values are kept as their UTF-16
// code units, so any value, the empty string included, reads back exactly as it was set.
// Results are the device's: 0 (ERROR_SUCCESS) on success, an error code otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

enum class RootKey { LocalMachine };
inline constexpr RootKey HKEY_LOCAL_MACHINE = RootKey::LocalMachine;

constexpr std::uint32_t REG_SZ = 1;

// An open key. Closed when destroyed.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(RegKey&&) = default;
    RegKey& operator=(RegKey&&) = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // RegOpenKeyEx: opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist, another
    // error when the store cannot be read.
    static std::int32_t Open(RootKey root, std::u16string_view subKey, RegKey* key);
    // RegCreateKeyEx: opens the key, creating it and its parents when missing.
    static std::int32_t Create(RootKey root, std::u16string_view subKey, RegKey* key);

    // RegQueryValueEx for a string value: ERROR_FILE_NOT_FOUND when the value is missing,
    // another error when the store cannot be read.
    std::int32_t QueryString(std::u16string_view name, std::u16string* value) const;
    // RegSetValueEx with REG_SZ.
    std::int32_t SetString(std::u16string_view name, std::u16string_view value);
    // RegCloseKey.
    void Close() { path_.clear(); }
    bool IsOpen() const { return !path_.empty(); }

private:
    std::string path_;  // full key path in UTF-8, "HKEY_LOCAL_MACHINE\..."
};

}  // namespace platform
