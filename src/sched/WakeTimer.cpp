#include "sched/WakeTimer.h"

#include "core/DateTime.h"
#include "sched/LocalTime.h"
#include "sched/WakeAbility.h"
#include "win/Platform.h"

#include <utility>

namespace vrln {

TWakeTimer::TWakeTimer(ScheduleView view, MayNotWake mayNotWake, TLogQueue* log)
    : View(std::move(view)),
      Warn(std::move(mayNotWake)),
      Log(log),
      Timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr)) {}

namespace {
constexpr DWORD kTimerResumeIgnored = 722;  // ERROR_TIMER_RESUME_IGNORED, which MinGW's headers lack
}  // namespace

core::WakeAbility TWakeTimer::Ability(DWORD errorOfTheSet) {
    // The set succeeds where the machine cannot resume, and says so only here;
    // Windows documents ERROR_NOT_SUPPORTED, Wine answers ERROR_TIMER_RESUME_IGNORED.
    if (errorOfTheSet == ERROR_NOT_SUPPORTED || errorOfTheSet == kTimerResumeIgnored)
        return core::WakeAbility::CannotResume;
    return ProgramsWakeAbility();
}

void TWakeTimer::Arm() {
    if (!Timer) return;
    const Schedule schedule = View();
    const double now = LocalNow();
    std::optional<std::uint64_t> due;
    bool ahead = false;
    if (!schedule.stopping && !(schedule.state & core::kStateSuspended) && schedule.moment > now) {
        due = LocalMomentToUtc(schedule.moment);
        // Set a little before the moment, so that the worker asks for the network
        // then and has only the start left at the moment; once that instant has
        // passed, at the moment itself.
        ahead = due && (schedule.moment - now) * 86400000.0 > kPrepareWindowMs;
        if (ahead) *due -= std::uint64_t{kAheadMs} * 10000;
    }
    if (due == ArmedDue) return;
    if (!due) {
        Platform().CancelWaitableTimer(Timer.get());
        if (ArmedDue) Note(Log, [] { return core::WakeTimerCancelledLine(); });
        ArmedDue.reset();
        return;
    }
    LARGE_INTEGER when{};
    when.QuadPart = static_cast<LONGLONG>(*due);
    ::SetLastError(ERROR_SUCCESS);  // a success leaves the code of an earlier failure
    // Absolute, so that the time spent asleep counts; resume wakes the machine.
    const bool set = Platform().SetWaitableTimer(Timer.get(), &when, 0, nullptr, nullptr, TRUE) != FALSE;
    const DWORD error = ::GetLastError();
    // A timer that could not be set is tried again at the next arm; the worker looks by itself meanwhile.
    ArmedDue = set ? due : std::nullopt;
    ArmedAhead = set && ahead;
    const double moment = schedule.moment;
    // Told once for a moment: it is set again before it, and after a change of the clock.
    const bool newMoment = LoggedFor != moment;
    LoggedFor = moment;
    if (!set) {
        if (newMoment) Note(Log, [&] { return core::WakeTimerNotSetLine(moment, error); });
        return;
    }
    const bool mayWarn = WarnedFor != moment && (moment - now) * 24 * 60 > kWarnAheadMinutes;
    if (!newMoment && !mayWarn) return;
    const core::WakeAbility ability = Ability(error);
    if (newMoment) Note(Log, [&] { return core::WakeTimerSetLine(moment, ability); });
    if (mayWarn && ability != core::WakeAbility::CanWake) {
        WarnedFor = moment;
        if (Warn) Warn(moment);
    }
}

TWakeTimer::TFired TWakeTimer::Fired() {
    const TFired fired = !ArmedDue ? TFired::Unset : ArmedAhead ? TFired::Ahead : TFired::AtTheMoment;
    // The first time for a moment is when the computer woke, if it slept.
    if (fired != TFired::Unset && FiredFor != LoggedFor) Note(Log, [] { return core::WakeTimerFiredLine(); });
    if (fired != TFired::Unset) FiredFor = LoggedFor;
    ArmedDue.reset();
    return fired;
}

void TWakeTimer::TimeChanged() {
    ArmedDue.reset();  // set again even when the UTC instant came out the same
    Arm();
}

}  // namespace vrln
