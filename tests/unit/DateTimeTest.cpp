#include "core/DateTime.h"
#include "core/Texts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>

using namespace vrln::core;

namespace {

LocaleNames English() {
    LocaleNames names;
    names.longDayNames = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    names.shortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return names;
}

DateTimeParts Parts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0) {
    DateTimeParts p;
    p.year = year;
    p.month = month;
    p.day = day;
    p.hour = hour;
    p.minute = minute;
    p.second = second;
    p.millisecond = ms;
    return p;
}

// "Y-M-D h:m:s.ms wd" of a value, or "invalid".
std::string Decoded(double value) {
    DateTimeParts p;
    if (!DecodeDateTime(value, p)) return "invalid";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d %d", p.year, p.month, p.day, p.hour,
                  p.minute, p.second, p.millisecond, p.dayOfWeek);
    return text;
}

bool SameParts(const DateTimeParts& a, const DateTimeParts& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.millisecond == b.millisecond;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(DecodeDateTime, CountsDaysFromThe30thOfDecember1899) {
    EXPECT_EQ(Decoded(0), "1899-12-30 00:00:00.000 6");
    EXPECT_EQ(Decoded(1), "1899-12-31 00:00:00.000 0");
    EXPECT_EQ(Decoded(2), "1900-01-01 00:00:00.000 1");
    EXPECT_EQ(Decoded(36068), "1998-09-30 00:00:00.000 3");
    EXPECT_EQ(Decoded(36526.5), "2000-01-01 12:00:00.000 6");
}

TEST(DecodeDateTime, KnowsWhichYearsAreLeapYears) {
    EXPECT_EQ(Decoded(60), "1900-02-28 00:00:00.000 3");
    EXPECT_EQ(Decoded(61), "1900-03-01 00:00:00.000 4");
    EXPECT_EQ(Decoded(36585), "2000-02-29 00:00:00.000 2");
    EXPECT_EQ(Decoded(EncodeDateTime(Parts(2024, 2, 28)) + 1), "2024-02-29 00:00:00.000 4");
    EXPECT_EQ(Decoded(EncodeDateTime(Parts(2100, 2, 28)) + 1), "2100-03-01 00:00:00.000 1");
    EXPECT_EQ(EncodeDateTime(Parts(2100, 3, 1)), 73110.0);
    EXPECT_EQ(EncodeDateTime(Parts(2001, 1, 1)) - EncodeDateTime(Parts(2000, 1, 1)), 366.0);
}

TEST(DecodeDateTime, CountsTheTimeForwardFromMidnightAlsoBeforeTheEpoch) {
    EXPECT_EQ(Decoded(-1.25), "1899-12-29 06:00:00.000 5");
    EXPECT_EQ(Decoded(-1.0), "1899-12-29 00:00:00.000 5");
    EXPECT_EQ(Decoded(-0.5), "1899-12-30 12:00:00.000 6");
    EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 29, 6)), -1.25);
    EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 30, 12)), 0.5);
}

TEST(DecodeDateTime, RoundsTheTimeToTheNearestMillisecond) {
    // 14:05:00 as a double lies a hair below or above the exact fraction.
    const double moment = 36068.0 + (14.0 * 3600 + 5 * 60) / 86400.0;
    EXPECT_EQ(Decoded(moment), "1998-09-30 14:05:00.000 3");
    EXPECT_EQ(Decoded(36068.586805555555), "1998-09-30 14:05:00.000 3");
    EXPECT_EQ(Decoded(std::nextafter(moment, 0.0)), "1998-09-30 14:05:00.000 3");
    // Half a millisecond before midnight belongs to the next day.
    EXPECT_EQ(Decoded(36068.0 + (86400000.0 - 0.4) / 86400000.0), "1998-10-01 00:00:00.000 4");
    EXPECT_EQ(Decoded(-1.0 - (86400000.0 - 0.4) / 86400000.0), "1899-12-30 00:00:00.000 6");
}

TEST(DecodeDateTime, AcceptsTheFirstAndLastDatesThatCanBeShown) {
    EXPECT_EQ(Decoded(kMinDateTime), "0100-01-01 00:00:00.000 5");
    EXPECT_EQ(Decoded(kMinDateTime - 0.5), "0100-01-01 12:00:00.000 5");
    EXPECT_EQ(Decoded(kMaxDateTime - 1), "9999-12-31 00:00:00.000 5");
    EXPECT_EQ(Decoded(kMaxDateTime - 1.0 / 86400.0), "9999-12-31 23:59:59.000 5");
}

TEST(DecodeDateTime, RefusesWhatCannotBeShown) {
    for (double value : {kNaN, -kNaN, kInf, -kInf, kMaxDateTime, kMinDateTime - 1, 1e300, -1e300,
                         std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(), 9.3e18,
                         -9.3e18, 4.3e9}) {
        EXPECT_EQ(Decoded(value), "invalid") << value;
    }
    // Rounds up into 1 January 10000.
    EXPECT_EQ(Decoded(std::nextafter(kMaxDateTime, 0.0)), "invalid");
}

TEST(EncodeDateTime, IsUndoneByDecodeDateTime) {
    const DateTimeParts samples[] = {Parts(100, 1, 1), Parts(1582, 10, 15, 1, 2, 3, 4), Parts(1899, 12, 29, 23, 59, 59, 999),
                                     Parts(1899, 12, 30), Parts(1899, 12, 30, 0, 0, 0, 1), Parts(1998, 9, 30, 14, 5),
                                     Parts(2000, 2, 29, 12, 0, 0, 500), Parts(9999, 12, 31, 23, 59, 59, 999)};
    for (const DateTimeParts& p : samples) {
        DateTimeParts back;
        ASSERT_TRUE(DecodeDateTime(EncodeDateTime(p), back)) << p.year;
        EXPECT_TRUE(SameParts(p, back)) << p.year << "-" << p.month << "-" << p.day;
    }
    // A spread of days and times over the whole range.
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < 20000; ++i) {
        const double day = std::floor(kMinDateTime + (kMaxDateTime - kMinDateTime) * (next() / 4294967296.0));
        const double value = day + (day < 0 ? -1 : 1) * static_cast<double>(next() % 86400000u) / 86400000.0;
        DateTimeParts p;
        ASSERT_TRUE(DecodeDateTime(value, p)) << value;
        DateTimeParts back;
        ASSERT_TRUE(DecodeDateTime(EncodeDateTime(p), back)) << value;
        ASSERT_TRUE(SameParts(p, back)) << value;
        ASSERT_NEAR(EncodeDateTime(p), value, 1e-3 / 86400.0) << value;
    }
}

TEST(FormatLaunchMoment, WritesWeekdayDayMonthYearAndTime) {
    const double moment = EncodeDateTime(Parts(1998, 9, 30, 14, 5, 0));
    EXPECT_EQ(FormatLaunchMoment(moment, English()), "Wednesday 30 Sep 1998,14:05:00");
    EXPECT_EQ(TooltipText(0, FormatLaunchMoment(moment, English())),
              "<Next launch at Wednesday 30 Sep 1998,14:05:00>");
    EXPECT_EQ(FormatLaunchMoment(EncodeDateTime(Parts(2001, 1, 7, 9, 3, 7, 999)), English()),
              "Sunday 7 Jan 2001,09:03:07");
    EXPECT_EQ(FormatLaunchMoment(kMinDateTime, English()), "Friday 1 Jan 0100,00:00:00");
}

TEST(FormatLaunchMoment, UsesTheLocalesNamesAndTimeSeparator) {
    LocaleNames names = English();
    names.longDayNames[3] = "mercredi";
    names.shortMonthNames[8] = "sept.";
    names.timeSeparator = ".";
    EXPECT_EQ(FormatLaunchMoment(EncodeDateTime(Parts(1998, 9, 30, 14, 5, 0)), names), "mercredi 30 sept. 1998,14.05.00");
}

TEST(FormatLaunchMoment, GivesATextForANegativeMomentAndNoneForZero) {
    EXPECT_EQ(FormatLaunchMoment(-1.25, English()), "Friday 29 Dec 1899,06:00:00");
    EXPECT_EQ(FormatLaunchMoment(0.0, English()), "");
    EXPECT_EQ(FormatLaunchMoment(-0.0, English()), "");
    EXPECT_EQ(FormatLaunchMoment(1e-9, English()), "Saturday 30 Dec 1899,00:00:00");
}

TEST(FormatLaunchMoment, GivesNoTextForWhatCannotBeShown) {
    for (double value : {kNaN, kInf, -kInf, kMaxDateTime, 1e300, -1e300, kMinDateTime - 1}) {
        EXPECT_EQ(FormatLaunchMoment(value, English()), "") << value;
    }
}

TEST(IsLaunchDue, IsDueOnceNowReachesAPositiveMoment) {
    const double moment = 36068.5;
    EXPECT_TRUE(IsLaunchDue(0, moment, moment));
    EXPECT_TRUE(IsLaunchDue(0, moment, moment + 1));
    EXPECT_FALSE(IsLaunchDue(0, moment, std::nextafter(moment, 0.0)));
    EXPECT_TRUE(IsLaunchDue(kStateMinimized, moment, moment));
    EXPECT_TRUE(IsLaunchDue(0xFE, moment, moment));
}

TEST(IsLaunchDue, IsNeverDueWhenSuspendedOrWithoutAPositiveMoment) {
    EXPECT_FALSE(IsLaunchDue(kStateSuspended, 36068.5, 40000));
    EXPECT_FALSE(IsLaunchDue(kStateSuspended | kStateMinimized, 36068.5, 40000));
    EXPECT_FALSE(IsLaunchDue(0, 0.0, 40000));
    EXPECT_FALSE(IsLaunchDue(0, -0.0, 40000));
    EXPECT_FALSE(IsLaunchDue(0, -1.25, 40000));
}

TEST(IsLaunchDue, IsNeverDueForValuesThatDoNotCompare) {
    EXPECT_FALSE(IsLaunchDue(0, kNaN, 40000));
    EXPECT_FALSE(IsLaunchDue(0, 36068.5, kNaN));
    EXPECT_FALSE(IsLaunchDue(0, kNaN, kNaN));
    EXPECT_FALSE(IsLaunchDue(0, kInf, 40000));
}
