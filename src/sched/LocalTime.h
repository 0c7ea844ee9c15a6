// Launch moments are local wall-clock times, stored as dates; the wake timer
// counts in UTC. These turn one into the other, and give the names of the
// user's locale that show a moment.
#pragma once

#include "core/DateTime.h"

#include <windows.h>

#include <cstdint>
#include <optional>

namespace vrln {

// The local date and time now, as a launch moment.
double LocalNow();
// The instant (UTC, in a FILETIME's 100 ns units) at which local time, in the
// zone given or the machine's, first reaches the moment: a local time that
// occurs twice at the autumn change gives its first occurrence, one in the
// hour skipped in spring the end of that hour. Nothing for moments that
// cannot be shown or lie before 1601.
std::optional<std::uint64_t> LocalMomentToUtc(double moment, const TIME_ZONE_INFORMATION* zone = nullptr);

// The day and month names and the time separator of the user's locale, read
// once and again at ReloadUserLocaleNames; for the window's thread.
const core::LocaleNames& UserLocaleNames();
void ReloadUserLocaleNames();

}  // namespace vrln
