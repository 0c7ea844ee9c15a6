// The stored last launch from any bytes: only 20 bytes with an outcome listed
// and two moments that can be shown decode, what decodes encodes back to the
// same bytes, and its menu line names the planned moment and one outcome.
#include "FuzzCheck.h"
#include "core/LastLaunch.h"

using namespace vrln;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::AsText(data, size);
    const std::optional<core::LastLaunch> launch = core::DecodeLastLaunch(bytes);
    if (!launch) return 0;
    FUZZ_CHECK(size == core::kLastLaunchBytes);
    FUZZ_CHECK(core::EncodeLastLaunch(*launch) == bytes);
    core::LocaleNames names;
    names.longDayNames = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
    names.shortMonthNames = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
    const std::string text = core::LastLaunchMenuText(*launch, names);
    const std::string planned = core::FormatLaunchMoment(launch->planned, names);
    FUZZ_CHECK(fuzz::StartsWith(text, "Last planned launch: " + planned + ", "));
    const std::string_view outcome = std::string_view(text).substr(21 + planned.size() + 2);
    const bool late = fuzz::StartsWith(outcome, "started late at ");
    FUZZ_CHECK(late == (launch->outcome == core::LaunchOutcome::Started && core::StartedLate(*launch)));
    FUZZ_CHECK(late || outcome == "started" || outcome == "started without a network" ||
               outcome == "Vorlane was already running" || outcome == "not started");
    return 0;
}
