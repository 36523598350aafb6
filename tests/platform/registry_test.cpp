#include "platform/registry.h"

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "platform/faults.h"

namespace {

using platform::HKEY_LOCAL_MACHINE;
using platform::RegKey;
using testing_support::DeviceTest;

TEST_F(DeviceTest, MissingKeysAndValuesAreReportedNotCreated) {
    RegKey key;
    EXPECT_NE(RegKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Tallymere", &key), 0);
    ASSERT_EQ(RegKey::Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Tallymere", &key), 0);
    std::u16string value = u"untouched";
    EXPECT_NE(key.QueryString(u"OutputDir", &value), 0);
    RegKey parent;
    EXPECT_EQ(RegKey::Open(HKEY_LOCAL_MACHINE, u"software\\apps", &parent), 0) << "parents exist, any case";
}

TEST_F(DeviceTest, ValuesRoundTripExactly) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Tallymere", &key), 0);
    const std::u16string values[] = {
        u"",
        u"\\Storage Card\\Tallymere",
        u"Zoë \U0001F600 日本",
        std::u16string{u'a', static_cast<char16_t>(0xD800), u'b'},
        std::u16string(6000, u'x'),
    };
    for (const auto& v : values) {
        ASSERT_EQ(key.SetString(u"OutputDir", v), 0);
        RegKey reopened;
        ASSERT_EQ(RegKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Tallymere", &reopened), 0);
        std::u16string back = u"garbage";
        ASSERT_EQ(reopened.QueryString(u"outputdir", &back), 0);
        EXPECT_EQ(back, v);
    }
}

TEST_F(DeviceTest, InjectedFaultsFailTheWritesAndKeepTheOldValue) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_LOCAL_MACHINE, u"K", &key), 0);
    ASSERT_EQ(key.SetString(u"V", u"old"), 0);
    platform::faults::Plan("RegSetValueEx", 1);
    EXPECT_NE(key.SetString(u"V", u"new"), 0);
    std::u16string back;
    ASSERT_EQ(key.QueryString(u"V", &back), 0);
    EXPECT_EQ(back, u"old");
    platform::faults::Plan("RegCreateKeyEx", 1);
    RegKey other;
    EXPECT_NE(RegKey::Create(HKEY_LOCAL_MACHINE, u"Other", &other), 0);
}

TEST(Registry, NothingWorksWithoutAMountedDevice) {
    platform::device::Unmount();
    RegKey key;
    EXPECT_NE(RegKey::Create(HKEY_LOCAL_MACHINE, u"K", &key), 0);
}

}  // namespace
