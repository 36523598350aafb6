#include "support/settings.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "platform/registry.h"
#include "shell/app.h"

namespace {

using testing_support::DeviceTest;
using testing_support::WriteHostFile;

void SetInstallDir(const std::u16string* value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Create(platform::HKEY_LOCAL_MACHINE, tallymere::kInstallerKey, &key), 0);
    if (value) {
        ASSERT_EQ(key.SetString(tallymere::kInstallDirValue, *value), 0);
    } else {
        // A fresh settings store without the installer's value.
        std::filesystem::remove(platform::device::PlatformFile("registry.db"));
        std::filesystem::remove(platform::device::PlatformFile("registry.db-wal"));
        std::filesystem::remove(platform::device::PlatformFile("registry.db-shm"));
    }
}

TEST_F(DeviceTest, FirstStartTakesTheInstallersDirectory) {
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"");
    tallymere::ApplyStartupDefaults();
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Program Files\\Tallymere");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Program Files/Tallymere/Tallymere")));
    EXPECT_TRUE(std::filesystem::is_directory(Host("Program Files/Tallymere/Tallyport")));
}

TEST_F(DeviceTest, FirstStartWithoutInstallerValueUsesTheRoot) {
    SetInstallDir(nullptr);
    tallymere::ApplyStartupDefaults();
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Tallymere")));
    EXPECT_TRUE(std::filesystem::is_directory(Host("Tallyport")));
}

TEST_F(DeviceTest, PresentOutputDirIsLeftAlone) {
    std::filesystem::create_directory(Host("Storage Card"));
    tallymere::SetRegistryStr(u"OutputDir", u"\\Storage Card");
    tallymere::ApplyStartupDefaults();
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Storage Card");
    EXPECT_TRUE(std::filesystem::is_directory(Host("Storage Card/Tallymere")));
}

TEST_F(DeviceTest, MissingOutputDirEndsTheStartUp) {
    tallymere::SetRegistryStr(u"OutputDir", u"\\Nowhere");
    EXPECT_EXIT(tallymere::ApplyStartupDefaults(), ::testing::ExitedWithCode(1),
                "ApplyStartupDefaults: Cannot use \\\\Nowhere as output directory: \\\\Nowhere does not exist\\.");
}

TEST_F(DeviceTest, AnUnreadableSettingsStoreIsNotAnEmptySetting) {
    tallymere::SetRegistryStr(u"OutputDir", u"\\Card");
    platform::faults::Plan("RegQueryValueEx", 1);
    EXPECT_EXIT(tallymere::GetRegistryStr(u"OutputDir"), ::testing::ExitedWithCode(1),
                "GetRegistryStr: RegQueryValueEx failed\\.");
    platform::faults::Reset();
    EXPECT_EQ(tallymere::GetRegistryStr(u"OutputDir"), u"\\Card");
    EXPECT_EQ(tallymere::GetRegistryStr(u"NoSuchValue"), u"");
}

TEST_F(DeviceTest, SettingsWriteFailuresAreFatal) {
    platform::faults::Plan("RegCreateKeyEx", 1);
    EXPECT_EXIT(tallymere::SetRegistryStr(u"OutputDir", u"x"), ::testing::ExitedWithCode(1),
                "SetRegistryStr: RegCreateKeyEx failed\\.");
    platform::faults::Reset();
    platform::faults::Plan("RegSetValueEx", 1);
    EXPECT_EXIT(tallymere::SetRegistryStr(u"OutputDir", u"x"), ::testing::ExitedWithCode(1),
                "SetRegistryStr: RegSetValueEx failed\\.");
}

TEST_F(DeviceTest, StartUpRefusesAnotherPlatformVersion) {
    WriteHostFile(Host(".platform/os-version"), "4.21");
    EXPECT_EXIT(tallymere::BeginApp(tallymere::StartMode::OneShot), ::testing::ExitedWithCode(1),
                "Tallymere: Sorry this program is running only on WM6/WM5!");
    EXPECT_FALSE(std::filesystem::exists(Host("Program Files/Tallymere/Tallymere")));
}

}  // namespace
