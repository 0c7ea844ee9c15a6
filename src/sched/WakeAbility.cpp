#include "sched/WakeAbility.h"

#include "win/Handles.h"
#include "win/Platform.h"

#include <memory>

namespace vrln {

namespace {

// The power plan's sleep settings, and in them "Allow wake timers".
constexpr GUID kSleepSubgroup = {0x238c9fa8, 0x0aad, 0x41ed, {0x83, 0xf4, 0x97, 0xbe, 0x24, 0x2c, 0x8f, 0x20}};
constexpr GUID kAllowWakeTimers = {0xbd3b718a, 0x0680, 0x4d9d, {0x8a, 0xb2, 0xe1, 0xd2, 0xb4, 0xac, 0x80, 0x6d}};
constexpr DWORD kWakeTimersDisabled = 0;
constexpr DWORD kImportantWakeTimersOnly = 2;
constexpr BYTE kOnBattery = 0;
constexpr BYTE kOnMains = 1;

struct LocalFreer {
    void operator()(GUID* memory) const noexcept { ::LocalFree(memory); }
};

// What the power plan's "Allow wake timers" lets a program's timer do for the power source in use.
core::WakeAbility PlanAllowsWakeTimers() {
    SYSTEM_POWER_STATUS power{};
    if (!Platform().GetSystemPowerStatus(&power) || (power.ACLineStatus != kOnBattery && power.ACLineStatus != kOnMains))
        return core::WakeAbility::CanWake;
    GUID* active = nullptr;
    // Under Wine this fails, and the readings are stubs whose call ends the program.
    if (Platform().PowerGetActiveScheme(nullptr, &active) != ERROR_SUCCESS || !active)
        return core::WakeAbility::CanWake;
    const std::unique_ptr<GUID, LocalFreer> scheme(active);
    const auto read = power.ACLineStatus == kOnBattery ? Platform().PowerReadDCValueIndex : Platform().PowerReadACValueIndex;
    DWORD allowed = 1;
    if (read(nullptr, scheme.get(), &kSleepSubgroup, &kAllowWakeTimers, &allowed) != ERROR_SUCCESS)
        return core::WakeAbility::CanWake;
    return allowed == kWakeTimersDisabled        ? core::WakeAbility::PlanForbids
           : allowed == kImportantWakeTimersOnly ? core::WakeAbility::ImportantTimersOnly
                                                 : core::WakeAbility::CanWake;
}

// Desktop programs' timers do not reliably wake a machine in Modern Standby.
bool ModernStandbyWithoutS3() {
    SYSTEM_POWER_CAPABILITIES capabilities{};
    if (!Platform().GetPwrCapabilities(&capabilities)) return false;
    // MinGW's header calls the bytes after FastSystemS4 spare2: Hiberboot, WakeAlarmPresent, AoAc.
    const bool alwaysOnAlwaysConnected = capabilities.spare2[2] != 0;
    return alwaysOnAlwaysConnected && !capabilities.SystemS3;
}

}  // namespace

core::WakeAbility ProgramsWakeAbility() {
    // Loaded once for all the questions, and only for them: they come when a new moment is armed.
    const UniqueModule power = LoadSystemModule(kPowerDll);
    const core::WakeAbility plan = PlanAllowsWakeTimers();
    if (plan != core::WakeAbility::CanWake) return plan;
    return ModernStandbyWithoutS3() ? core::WakeAbility::ModernStandby : core::WakeAbility::CanWake;
}

}  // namespace vrln
