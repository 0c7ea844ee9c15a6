// Launch moments: date-time values in local time, days since 30 December 1899
// with the time of day as the fraction (the fraction counts forward from
// midnight also for negative values: -1.25 is 29 December 1899, 06:00).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vrln::core {

constexpr std::uint8_t kStateSuspended = 0x01;
constexpr std::uint8_t kStateMinimized = 0x02;

struct DateTimeParts {
    int year = 0;       // 100 to 9999
    int month = 0;      // 1 to 12
    int day = 0;        // 1 to 31
    int dayOfWeek = 0;  // 0 Sunday to 6 Saturday
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The dates that can be shown: 1 January 100 to 31 December 9999.
constexpr double kMinDateTime = -657434.0;
constexpr double kMaxDateTime = 2958466.0;  // exclusive

// False for NaN, infinities and values outside the dates that can be shown.
bool DecodeDateTime(double value, DateTimeParts& parts);
// The inverse, for whole milliseconds; the fields must form a valid date.
double EncodeDateTime(const DateTimeParts& parts);

struct LocaleNames {
    std::array<std::string, 7> longDayNames;      // Sunday first
    std::array<std::string, 12> shortMonthNames;  // January first
    std::string timeSeparator = ":";
};

// "dddd d mmm yyyy,hh:mm:ss" with the locale's names and time separator.
// Empty for 0 and for values that do not compare or cannot be shown.
std::string FormatLaunchMoment(double value, const LocaleNames& names);
// "hh:mm:ss" with the locale's time separator; empty for values that cannot be shown.
std::string FormatTimeOfDay(double value, const LocaleNames& names);
// Whether two moments that can be shown fall on the same calendar day.
bool SameDay(double a, double b);

// Due when the moment is above 0, launches are not suspended, and now has
// reached the moment. A value that does not compare is never due.
bool IsLaunchDue(std::uint8_t state, double startupDate, double now);

}  // namespace vrln::core
