// The last planned launch: what became of the latest moment that was consumed,
// kept by this program in a registry value of its own, and the texts that tell it.
#pragma once

#include "core/DateTime.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vrln::core {

enum class LaunchOutcome : std::uint32_t {
    Started = 1,                // with a network, or by the user's own start
    StartedWithoutNetwork = 2,  // none came within the bound of the wait
    AlreadyRunning = 3,         // consumed without a start
    NotStarted = 4,             // the start failed
};

struct LastLaunch {
    double planned = 0.0;  // the moment, local time
    double started = 0.0;  // when the start was made, or tried, or the moment consumed
    LaunchOutcome outcome = LaunchOutcome::Started;
    bool operator==(const LastLaunch& other) const {
        return planned == other.planned && started == other.started && outcome == other.outcome;
    }
};

// The stored value: the planned moment and the start's moment as little-endian
// IEEE doubles (8 bytes each), then the outcome as a little-endian 32-bit number.
constexpr std::size_t kLastLaunchBytes = 20;
std::string EncodeLastLaunch(const LastLaunch& launch);
// Nothing for a value of another size, an outcome not listed above, or a moment
// that is not finite or cannot be shown.
std::optional<LastLaunch> DecodeLastLaunch(std::string_view bytes);

// A start more than five minutes after its moment.
bool StartedLate(const LastLaunch& launch);

// "Last planned launch: <planned>, <outcome>".
std::string LastLaunchMenuText(const LastLaunch& launch, const LocaleNames& names);

constexpr const char* kLateLaunchTitle = "Vorlane was started late";
std::string LateLaunchText(const LastLaunch& launch, const LocaleNames& names);

constexpr const char* kWakeWarningTitle = "The computer may not wake for the launch";
std::string WakeWarningText(double moment, const LocaleNames& names);

}  // namespace vrln::core
