#include "platform/time.h"

#include <gtest/gtest.h>

namespace {

TEST(Time, CalendarFieldsRoundTrip) {
    platform::SYSTEMTIME f{};
    f.wYear = 2008;
    f.wMonth = 3;
    f.wDay = 30;
    f.wHour = 10;
    f.wMinute = 13;
    f.wSecond = 30;
    f.wMilliseconds = 250;
    platform::FILETIME t;
    ASSERT_TRUE(platform::SystemTimeToFileTime(f, &t));
    EXPECT_EQ(platform::ToUnixSeconds(t), 1206872010);
    platform::SYSTEMTIME back;
    ASSERT_TRUE(platform::FileTimeToSystemTime(t, &back));
    EXPECT_EQ(back.wYear, 2008);
    EXPECT_EQ(back.wMonth, 3);
    EXPECT_EQ(back.wDay, 30);
    EXPECT_EQ(back.wDayOfWeek, 0);  // a Sunday
    EXPECT_EQ(back.wHour, 10);
    EXPECT_EQ(back.wMinute, 13);
    EXPECT_EQ(back.wSecond, 30);
    EXPECT_EQ(back.wMilliseconds, 250);
}

TEST(Time, EpochsAndLimits) {
    platform::SYSTEMTIME f;
    ASSERT_TRUE(platform::FileTimeToSystemTime(platform::FILETIME{}, &f));
    EXPECT_EQ(f.wYear, 1601);
    EXPECT_EQ(f.wMonth, 1);
    EXPECT_EQ(f.wDay, 1);
    f.wMonth = 13;
    platform::FILETIME t;
    EXPECT_FALSE(platform::SystemTimeToFileTime(f, &t));
    EXPECT_FALSE(platform::FileTimeToSystemTime(platform::FromTicks(~0ull), &f));
}

}  // namespace
