#include "support/timefmt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/time.h"

namespace {

// Runs the test body in a given time zone and restores the previous one.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old, hadOld_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (hadOld_) {
            ::setenv("TZ", saved_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::string saved_;
    bool hadOld_ = false;
};

platform::FILETIME At(int y, int mo, int d, int h, int mi, int s, int ms) {
    platform::SYSTEMTIME f{};
    f.wYear = static_cast<std::uint16_t>(y);
    f.wMonth = static_cast<std::uint16_t>(mo);
    f.wDay = static_cast<std::uint16_t>(d);
    f.wHour = static_cast<std::uint16_t>(h);
    f.wMinute = static_cast<std::uint16_t>(mi);
    f.wSecond = static_cast<std::uint16_t>(s);
    f.wMilliseconds = static_cast<std::uint16_t>(ms);
    platform::FILETIME t;
    EXPECT_TRUE(platform::SystemTimeToFileTime(f, &t));
    return t;
}

TEST(FormatTimestamp, LocalTimeInAZoneOneHourAhead) {
    TimeZone zone("UTC-1");
    EXPECT_EQ(tallymere::FormatTimestamp(At(2008, 3, 30, 10, 13, 30, 0)), u"2008.03.30 11:13:30:00");
    EXPECT_EQ(tallymere::FormatTimestamp(At(2008, 12, 31, 23, 30, 0, 5)), u"2009.01.01 00:30:00:05");
    EXPECT_EQ(tallymere::FormatTimestamp(At(2008, 3, 30, 10, 13, 30, 250)), u"2008.03.30 11:13:30:250");
}

TEST(FormatTimestamp, FollowsDaylightSavingOfTheInstant) {
    TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(tallymere::FormatTimestamp(At(2008, 1, 15, 12, 0, 0, 0)), u"2008.01.15 13:00:00:00");
    EXPECT_EQ(tallymere::FormatTimestamp(At(2008, 7, 15, 12, 0, 0, 0)), u"2008.07.15 14:00:00:00");
}

TEST(FormatTimestamp, AChangedTimeZoneVariableIsFollowedAtOnce) {
    // The zone is read again only when it may have changed: a new TZ must still count at the
    // very next conversion, also back and forth within one second.
    TimeZone zone("UTC");
    const platform::FILETIME t = At(2008, 3, 30, 10, 13, 30, 0);
    EXPECT_EQ(tallymere::FormatTimestamp(t), u"2008.03.30 10:13:30:00");
    for (int round = 0; round < 2; ++round) {
        ::setenv("TZ", "UTC-2", 1);
        EXPECT_EQ(tallymere::FormatTimestamp(t), u"2008.03.30 12:13:30:00");
        ::setenv("TZ", "UTC+5", 1);
        EXPECT_EQ(tallymere::FormatTimestamp(t), u"2008.03.30 05:13:30:00");
        ::unsetenv("TZ");
        const std::u16string unset = tallymere::FormatTimestamp(t);
        ::setenv("TZ", "UTC", 1);
        EXPECT_EQ(tallymere::FormatTimestamp(t), u"2008.03.30 10:13:30:00");
        EXPECT_FALSE(unset.empty());
    }
}

TEST(FormatTimestamp, ZeroTimeIsEmpty) { EXPECT_EQ(tallymere::FormatTimestamp(platform::FILETIME{}), u""); }

TEST(TruncateToSecond, SameSecondEqualOtherwiseNot) {
    platform::FILETIME a = At(2008, 3, 30, 10, 13, 30, 100);
    platform::FILETIME b = At(2008, 3, 30, 10, 13, 30, 900);
    platform::FILETIME c = At(2008, 3, 30, 10, 13, 31, 100);
    // Ticks below one millisecond vanish too.
    a = platform::FromTicks(platform::ToTicks(a) + 1234);
    tallymere::TruncateToSecond(a);
    tallymere::TruncateToSecond(b);
    tallymere::TruncateToSecond(c);
    EXPECT_EQ(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(a, At(2008, 3, 30, 10, 13, 30, 0));
}

}  // namespace
