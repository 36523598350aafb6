#include "support/settings.h"

#include "platform/registry.h"
#include "support/fatal.h"
#include "support/files.h"

namespace tallymere {

std::u16string GetRegistryStr(std::u16string_view name) {
    platform::RegKey key;
    std::u16string value;
    if (platform::RegKey::Open(platform::HKEY_LOCAL_MACHINE, kSettingsKey, &key) != 0) return value;
    if (key.QueryString(name, &value) != 0) value.clear();
    return value;
}

void SetRegistryStr(std::u16string_view name, std::u16string_view value) {
    platform::RegKey key;
    if (platform::RegKey::Create(platform::HKEY_LOCAL_MACHINE, kSettingsKey, &key) != 0) {
        FatalError(u"RegCreateKeyEx failed.", u"SetRegistryStr");
    }
    if (key.SetString(name, value) != 0) FatalError(u"RegSetValueEx failed.", u"SetRegistryStr");
}

void ApplyStartupDefaults() {
    std::u16string installDir;
    platform::RegKey installer;
    if (platform::RegKey::Open(platform::HKEY_LOCAL_MACHINE, kInstallerKey, &installer) == 0) {
        if (installer.QueryString(kInstallDirValue, &installDir) != 0) installDir.clear();
    }
    if (GetRegistryStr(kOutputDirValue).empty()) SetRegistryStr(kOutputDirValue, installDir);
    MyCreateDir(GetRegistryStr(kOutputDirValue), kArchiveDir, u"");
    MyCreateDir(GetRegistryStr(kOutputDirValue), kExportDir, u"");
}

}  // namespace tallymere
