// Launch moments from any 8 bytes: nothing outside the dates that can be shown
// decodes, what decodes is a valid date that encodes back to itself, the text
// exists exactly for decodable non-zero values, and only a reached positive
// moment is due.
#include "FuzzCheck.h"
#include "core/DateTime.h"

#include <cstring>

using namespace vrln;

namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool Same(const core::DateTimeParts& a, const core::DateTimeParts& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.dayOfWeek == b.dayOfWeek &&
           a.hour == b.hour && a.minute == b.minute && a.second == b.second && a.millisecond == b.millisecond;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t bytes[17] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    double value = 0;
    double now = 0;
    std::memcpy(&value, bytes, 8);
    std::memcpy(&now, bytes + 8, 8);
    const std::uint8_t state = bytes[16];

    core::DateTimeParts parts;
    const bool decoded = core::DecodeDateTime(value, parts);
    if (!(value > -657435.0 && value < 2958466.0)) FUZZ_CHECK(!decoded);
    if (value > -657434.99 && value < 2958465.99) FUZZ_CHECK(decoded);
    if (decoded) {
        FUZZ_CHECK(parts.year >= 100 && parts.year <= 9999);
        FUZZ_CHECK(parts.month >= 1 && parts.month <= 12);
        FUZZ_CHECK(parts.day >= 1 && parts.day <= DaysInMonth(parts.year, parts.month));
        FUZZ_CHECK(parts.dayOfWeek >= 0 && parts.dayOfWeek <= 6);
        FUZZ_CHECK(parts.hour >= 0 && parts.hour <= 23);
        FUZZ_CHECK(parts.minute >= 0 && parts.minute <= 59);
        FUZZ_CHECK(parts.second >= 0 && parts.second <= 59);
        FUZZ_CHECK(parts.millisecond >= 0 && parts.millisecond <= 999);
        core::DateTimeParts back;
        FUZZ_CHECK(core::DecodeDateTime(core::EncodeDateTime(parts), back));
        FUZZ_CHECK(Same(parts, back));
        core::DateTimeParts nextDay;
        if (value >= 0 && core::DecodeDateTime(value + 1, nextDay)) {
            FUZZ_CHECK(nextDay.dayOfWeek == (parts.dayOfWeek + 1) % 7);
        }
    }

    core::LocaleNames names;
    names.longDayNames = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
    names.shortMonthNames = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    const std::string text = core::FormatLaunchMoment(value, names);
    FUZZ_CHECK(text.empty() == (!decoded || value == 0));
    FUZZ_CHECK(text.size() <= 30);

    if (core::IsLaunchDue(state, value, now)) {
        FUZZ_CHECK(value > 0 && now >= value && (state & core::kStateSuspended) == 0);
    }
    return 0;
}
