#include "core/LastLaunch.h"

#include <cstring>

namespace vrln::core {

namespace {

constexpr double kLateAfterSeconds = 5 * 60;

// Byte by byte, so that the layout is the same on every machine that reads it.
void AppendLittleEndian(std::string& bytes, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t ReadLittleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint64_t Bits(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double FromBits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr double kFirstDayOf1900 = 2.0;  // days since 30 December 1899

bool CanBeShown(double moment) {
    DateTimeParts parts;
    return DecodeDateTime(moment, parts);
}

}  // namespace

std::string EncodeLastLaunch(const LastLaunch& launch) {
    std::string bytes;
    AppendLittleEndian(bytes, Bits(launch.planned), 8);
    AppendLittleEndian(bytes, Bits(launch.started), 8);
    AppendLittleEndian(bytes, static_cast<std::uint32_t>(launch.outcome), 4);
    return bytes;
}

std::optional<LastLaunch> DecodeLastLaunch(std::string_view bytes) {
    if (bytes.size() != kLastLaunchBytes) return std::nullopt;
    LastLaunch launch;
    launch.planned = FromBits(ReadLittleEndian(bytes, 0, 8));
    launch.started = FromBits(ReadLittleEndian(bytes, 8, 8));
    const std::uint64_t outcome = ReadLittleEndian(bytes, 16, 4);
    // A planned moment of 0 means none, and one before 1900 was never stored by
    // the main application: either would show a line without a date.
    if (outcome < 1 || outcome > 4 || !(launch.planned >= kFirstDayOf1900) || !CanBeShown(launch.planned) ||
        !CanBeShown(launch.started))
        return std::nullopt;
    launch.outcome = static_cast<LaunchOutcome>(outcome);
    return launch;
}

bool StartedLate(const LastLaunch& launch) {
    return (launch.outcome == LaunchOutcome::Started || launch.outcome == LaunchOutcome::StartedWithoutNetwork) &&
           (launch.started - launch.planned) * 86400 > kLateAfterSeconds;
}

std::string LastLaunchMenuText(const LastLaunch& launch, const LocaleNames& names) {
    std::string text = "Last planned launch: " + FormatLaunchMoment(launch.planned, names) + ", ";
    switch (launch.outcome) {
        // A start without a network is the likelier cause of a failed capture than
        // its lateness, which its own notification tells.
        case LaunchOutcome::StartedWithoutNetwork: return text + "started without a network";
        case LaunchOutcome::AlreadyRunning: return text + "Vorlane was already running";
        case LaunchOutcome::NotStarted: return text + "not started";
        case LaunchOutcome::Started: break;
    }
    if (!StartedLate(launch)) return text + "started";
    return text + "started late at " +
           (SameDay(launch.planned, launch.started) ? FormatTimeOfDay(launch.started, names)
                                                    : FormatLaunchMoment(launch.started, names));
}

std::string LateLaunchText(const LastLaunch& launch, const LocaleNames& names) {
    return "The launch planned for " + FormatLaunchMoment(launch.planned, names) + " was made at " +
           FormatLaunchMoment(launch.started, names) + ".";
}

std::string WakeWarningText(double moment, const LocaleNames& names) {
    return "Planned for " + FormatLaunchMoment(moment, names) +
           ". The power settings of this computer do not let programs wake it: the launch will be made when it is "
           "next awake.";
}

}  // namespace vrln::core
