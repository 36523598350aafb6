#include "support/settings.h"

#include "platform/kernel.h"
#include "platform/registry.h"
#include "support/fatal.h"
#include "support/files.h"

namespace tallymere {

std::optional<std::u16string> FindRegistryStr(std::u16string_view name) {
    platform::RegKey key;
    std::u16string value;
    // A store that cannot be read at all must not pass for a missing setting: everything would
    // then be written under the device's root instead.
    const std::int32_t opened = platform::RegKey::Open(platform::HKEY_LOCAL_MACHINE, kSettingsKey, &key);
    if (opened == static_cast<std::int32_t>(platform::ERROR_FILE_NOT_FOUND)) return std::nullopt;
    if (opened != 0) FatalError(u"RegOpenKeyEx failed.", u"GetRegistryStr");
    const std::int32_t queried = key.QueryString(name, &value);
    if (queried == static_cast<std::int32_t>(platform::ERROR_FILE_NOT_FOUND)) return std::nullopt;
    if (queried != 0) FatalError(u"RegQueryValueEx failed.", u"GetRegistryStr");
    return value;
}

std::u16string GetRegistryStr(std::u16string_view name) { return FindRegistryStr(name).value_or(u""); }

std::u16string InstallerDir() {
    // A missing installer key or value means no installation directory; a store that cannot
    // be read must not pass for one, or the output directory would default to the root.
    std::u16string installDir;
    platform::RegKey installer;
    const std::int32_t opened = platform::RegKey::Open(platform::HKEY_LOCAL_MACHINE, kInstallerKey, &installer);
    if (opened == static_cast<std::int32_t>(platform::ERROR_FILE_NOT_FOUND)) return installDir;
    if (opened != 0) FatalError(u"RegOpenKeyEx failed.", u"GetRegistryStr");
    const std::int32_t queried = installer.QueryString(kInstallDirValue, &installDir);
    if (queried == static_cast<std::int32_t>(platform::ERROR_FILE_NOT_FOUND)) return std::u16string();
    if (queried != 0) FatalError(u"RegQueryValueEx failed.", u"GetRegistryStr");
    return installDir;
}

void SetRegistryStr(std::u16string_view name, std::u16string_view value) {
    platform::RegKey key;
    if (platform::RegKey::Create(platform::HKEY_LOCAL_MACHINE, kSettingsKey, &key) != 0) {
        FatalError(u"RegCreateKeyEx failed.", u"SetRegistryStr");
    }
    if (key.SetString(name, value) != 0) FatalError(u"RegSetValueEx failed.", u"SetRegistryStr");
}

void ApplyOutputDirDefault() {
    if (GetRegistryStr(kOutputDirValue).empty()) SetRegistryStr(kOutputDirValue, InstallerDir());
}

void ApplyStartupDefaults() {
    ApplyOutputDirDefault();
    const std::u16string outputDir = GetRegistryStr(kOutputDirValue);
    std::u16string reason;
    if (!CheckOutputDir(outputDir, OutputDirUse::kStartUp, &reason)) {
        // Nothing can be kept anywhere: the user learns which directory and how to change it,
        // which works whatever the stored directory is.
        WriteLog(outputDir);
        platform::ClearFailureCause();  // the words say why already
        FatalError(u"Cannot use " + (outputDir.empty() ? std::u16string(u"\\") : outputDir) +
                       u" as output directory: " + reason +
                       u". Choose another one with: tallymere-cli settings --output-dir DIR",
                   u"ApplyStartupDefaults");
    }
}

}  // namespace tallymere
