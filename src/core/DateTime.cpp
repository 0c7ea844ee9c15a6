#include "core/DateTime.h"

#include <cmath>

namespace vrln::core {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Day numbers of 1 January 100 and 31 December 9999.
constexpr std::int64_t kFirstDay = -657434;
constexpr std::int64_t kLastDay = 2958465;
// 1 January 1970 counted from 30 December 1899.
constexpr std::int64_t kUnixEpochDay = 25569;

// Proleptic Gregorian calendar from and to days since 1 January 1970
// (H. Hinnant's algorithms; exact for every year of the range).
void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Appends value with leading zeros to width digits; the fields of a date that
// can be shown are never negative. Not snprintf: in the Windows build that
// brings MinGW's own printf, with its floating-point conversion, into the
// shipped program (a tenth of its size) for three fixed-width numbers.
void AppendPadded(std::string& text, int value, std::size_t width) {
    const std::string digits = std::to_string(value);
    if (digits.size() < width) text.append(width - digits.size(), '0');
    text += digits;
}

// "hh:mm:ss" with the locale's separator.
void AppendTimeOfDay(std::string& text, const DateTimeParts& parts, const LocaleNames& names) {
    AppendPadded(text, parts.hour, 2);
    text += names.timeSeparator;
    AppendPadded(text, parts.minute, 2);
    text += names.timeSeparator;
    AppendPadded(text, parts.second, 2);
}

}  // namespace

bool DecodeDateTime(double value, DateTimeParts& parts) {
    // Checked before any conversion to an integer: NaN fails both comparisons,
    // and a huge value must never reach a float-to-int conversion.
    if (!(value > static_cast<double>(kFirstDay - 1) && value < static_cast<double>(kLastDay + 1))) {
        return false;
    }
    // The whole part is the day (counted towards zero); the fraction is the
    // time forward from that day's midnight, also below zero.
    const double wholeDays = std::trunc(value);
    std::int64_t day = static_cast<std::int64_t>(wholeDays);
    // Rounded before splitting, so 14:05:00 stored a hair below shows as 14:05:00.
    std::int64_t ms = std::llround(std::fabs(value - wholeDays) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++day;
    }
    if (day < kFirstDay || day > kLastDay) return false;

    CivilFromDays(day - kUnixEpochDay, parts.year, parts.month, parts.day);
    // 30 December 1899 was a Saturday.
    parts.dayOfWeek = static_cast<int>(((day + 6) % 7 + 7) % 7);
    parts.hour = static_cast<int>(ms / 3600000);
    parts.minute = static_cast<int>(ms / 60000 % 60);
    parts.second = static_cast<int>(ms / 1000 % 60);
    parts.millisecond = static_cast<int>(ms % 1000);
    return true;
}

double EncodeDateTime(const DateTimeParts& parts) {
    const std::int64_t day = DaysFromCivil(parts.year, parts.month, parts.day) + kUnixEpochDay;
    const std::int64_t ms = ((static_cast<std::int64_t>(parts.hour) * 60 + parts.minute) * 60 + parts.second) * 1000 +
                            parts.millisecond;
    const double time = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
    // Before the epoch the time still counts forward, so it moves the value towards minus infinity.
    return day < 0 ? static_cast<double>(day) - time : static_cast<double>(day) + time;
}

std::string FormatLaunchMoment(double value, const LocaleNames& names) {
    if (value == 0) return {};
    DateTimeParts parts;
    if (!DecodeDateTime(value, parts)) return {};

    std::string text = names.longDayNames[static_cast<std::size_t>(parts.dayOfWeek)];
    text += ' ';
    text += std::to_string(parts.day);
    text += ' ';
    text += names.shortMonthNames[static_cast<std::size_t>(parts.month - 1)];
    text += ' ';
    AppendPadded(text, parts.year, 4);
    text += ',';
    AppendTimeOfDay(text, parts, names);
    return text;
}

std::string FormatTimeOfDay(double value, const LocaleNames& names) {
    DateTimeParts parts;
    if (!DecodeDateTime(value, parts)) return {};
    std::string text;
    AppendTimeOfDay(text, parts, names);
    return text;
}

bool SameDay(double a, double b) {
    DateTimeParts first, second;
    return DecodeDateTime(a, first) && DecodeDateTime(b, second) && first.year == second.year &&
           first.month == second.month && first.day == second.day;
}

bool IsLaunchDue(std::uint8_t state, double startupDate, double now) {
    return (state & kStateSuspended) == 0 && startupDate > 0 && now >= startupDate;
}

}  // namespace vrln::core
