#include "sched/LocalTime.h"

#include "core/DateTime.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace vrln {

double LocalNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    core::DateTimeParts parts;
    parts.year = now.wYear;
    parts.month = now.wMonth;
    parts.day = now.wDay;
    parts.hour = now.wHour;
    parts.minute = now.wMinute;
    parts.second = now.wSecond;
    parts.millisecond = now.wMilliseconds;
    return core::EncodeDateTime(parts);
}

namespace {
using Ticks = std::int64_t;  // 100 ns since 1601, as a FILETIME counts
constexpr Ticks kTicksPerMinute = 600000000;

bool ToTicks(const SYSTEMTIME& time, Ticks& ticks) {
    FILETIME file{};
    if (!::SystemTimeToFileTime(&time, &file)) return false;
    ticks = static_cast<Ticks>((static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
    return true;
}

// The local time at an instant in the zone (null: the machine's), or -1.
Ticks LocalTicksAt(Ticks instant, const TIME_ZONE_INFORMATION* zone) {
    const auto bits = static_cast<std::uint64_t>(instant);
    const FILETIME file{static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
    SYSTEMTIME utc{}, local{};
    Ticks ticks = -1;
    if (instant >= 0 && ::FileTimeToSystemTime(&file, &utc) && ::SystemTimeToTzSpecificLocalTime(zone, &utc, &local))
        ToTicks(local, ticks);
    return ticks;
}
}  // namespace

std::optional<std::uint64_t> LocalMomentToUtc(double moment, const TIME_ZONE_INFORMATION* zone) {
    core::DateTimeParts parts;
    if (!core::DecodeDateTime(moment, parts) || parts.year < 1601) return std::nullopt;
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(parts.year);
    local.wMonth = static_cast<WORD>(parts.month);
    local.wDayOfWeek = static_cast<WORD>(parts.dayOfWeek);
    local.wDay = static_cast<WORD>(parts.day);
    local.wHour = static_cast<WORD>(parts.hour);
    local.wMinute = static_cast<WORD>(parts.minute);
    local.wSecond = static_cast<WORD>(parts.second);
    local.wMilliseconds = static_cast<WORD>(parts.millisecond);
    SYSTEMTIME utc{};
    Ticks wanted = 0, converted = 0;
    if (!ToTicks(local, wanted) || !::TzSpecificLocalTimeToSystemTime(zone, &local, &utc) || !ToTicks(utc, converted))
        return std::nullopt;
    // Which of the zone's two offsets the platform took for a time that occurs
    // twice, or for one that never occurs, is not said: both are tried.
    TIME_ZONE_INFORMATION machine{};
    const TIME_ZONE_INFORMATION& biases =
        zone ? *zone : (::GetTimeZoneInformation(&machine) == TIME_ZONE_ID_INVALID ? TIME_ZONE_INFORMATION{} : machine);
    Ticks candidates[] = {converted, wanted + (biases.Bias + biases.StandardBias) * kTicksPerMinute,
                          wanted + (biases.Bias + biases.DaylightBias) * kTicksPerMinute};
    std::sort(std::begin(candidates), std::end(candidates));
    for (const Ticks candidate : candidates) {
        if (LocalTicksAt(candidate, zone) == wanted) return static_cast<std::uint64_t>(candidate);
    }
    // In the hour skipped in spring: the earliest instant whose local time has
    // passed the moment, where that hour ends.
    Ticks before = candidates[0], after = candidates[2];
    if (LocalTicksAt(before, zone) >= wanted || LocalTicksAt(after, zone) < wanted)
        return static_cast<std::uint64_t>(converted);
    while (after - before > 1) {
        const Ticks middle = before + (after - before) / 2;
        (LocalTicksAt(middle, zone) >= wanted ? after : before) = middle;
    }
    return static_cast<std::uint64_t>(after);
}

namespace {
core::LocaleNames ReadLocaleNames() {
    core::LocaleNames names;
    char buffer[96];
    auto read = [&buffer](LCTYPE type) {
        const int n = ::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer) : std::string();
    };
    // LOCALE_SDAYNAME1 is Monday; the portable rules count from Sunday.
    names.longDayNames[0] = read(LOCALE_SDAYNAME7);
    for (int i = 0; i < 6; ++i) names.longDayNames[i + 1] = read(LOCALE_SDAYNAME1 + i);
    for (int i = 0; i < 12; ++i) names.shortMonthNames[i] = read(LOCALE_SABBREVMONTHNAME1 + i);
    names.timeSeparator = read(LOCALE_STIME);
    if (names.timeSeparator.empty()) names.timeSeparator = ":";
    return names;
}
}  // namespace

namespace {
core::LocaleNames& CachedLocaleNames() {
    static core::LocaleNames names = ReadLocaleNames();
    return names;
}
}  // namespace

const core::LocaleNames& UserLocaleNames() { return CachedLocaleNames(); }

void ReloadUserLocaleNames() { CachedLocaleNames() = ReadLocaleNames(); }

}  // namespace vrln
