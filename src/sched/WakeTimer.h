// The timer that wakes the machine for the next launch moment, and the word
// ahead when the machine will probably not wake for it.
#pragma once

#include "core/LogLines.h"
#include "sched/DecisionLog.h"
#include "win/Handles.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace vrln {

class TWakeTimer {
public:
    // What the timer follows: the pending moment and the flags, and whether
    // the worker is stopping.
    struct Schedule {
        double moment = 0.0;
        std::uint8_t state = 0;
        bool stopping = false;
    };
    using ScheduleView = std::function<Schedule()>;
    // Called once per moment more than kWarnAheadMinutes ahead for which the
    // machine will probably not wake, on the thread that set the timer.
    using MayNotWake = std::function<void(double moment)>;
    static constexpr double kWarnAheadMinutes = 10;

    // Each moment it is set for, whether that can wake the computer, and its firing go to the log.
    TWakeTimer(ScheduleView view, MayNotWake mayNotWake, TLogQueue* log = nullptr);
    TWakeTimer(const TWakeTimer&) = delete;
    TWakeTimer& operator=(const TWakeTimer&) = delete;

    // Null when the timer could not be made. Auto-reset, so that a wait on it
    // returns once when it fires.
    HANDLE Handle() const { return Timer.get(); }
    // Sets the timer to the moment the view gives (kAheadMs before it while
    // that lies ahead), or cancels it while nothing is pending, the moment has
    // passed, launches are suspended or the worker stops. Only the owner of
    // the schedule calls it.
    void Arm();
    // Whether the timer is set for the pending moment and will end a wait on it then.
    bool Armed() const { return ArmedDue.has_value(); }
    // The zone or the clock changed: the same moment may be another UTC instant.
    void TimeChanged();
    // What the timer was set for when it ended a wait. It is set for nothing
    // now, also when the moment is still ahead (the clock was set back), until
    // the next Arm sets it again.
    enum class TFired { Unset, Ahead, AtTheMoment };
    TFired Fired();
    // How long before the moment the timer is set while the moment is further
    // ahead than the window in which what can be known ahead is made ready: a
    // timer may fire a little early by the local clock.
    static constexpr unsigned kAheadMs = 2000;
    static constexpr unsigned kPrepareWindowMs = kAheadMs + 500;

private:
    // Whether the timer just set will wake the machine for the moment, and why not.
    static core::WakeAbility Ability(DWORD errorOfTheSet);

    const ScheduleView View;
    const MayNotWake Warn;
    TLogQueue* const Log;
    UniqueHandle Timer;
    std::optional<std::uint64_t> ArmedDue;  // what the timer is set to
    bool ArmedAhead = false;                 // before the moment, not at it
    std::optional<double> WarnedFor;
    std::optional<double> LoggedFor, FiredFor;
};

}  // namespace vrln
