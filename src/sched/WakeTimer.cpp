#include "sched/WakeTimer.h"

#include "core/DateTime.h"
#include "sched/LocalTime.h"
#include "sched/WakeAbility.h"
#include "win/Platform.h"

#include <utility>

namespace vrln {

TWakeTimer::TWakeTimer(ScheduleView view, MayNotWake mayNotWake)
    : View(std::move(view)), Warn(std::move(mayNotWake)), Timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr)) {}

namespace {
constexpr DWORD kTimerResumeIgnored = 722;  // ERROR_TIMER_RESUME_IGNORED, which MinGW's headers lack
}  // namespace

bool TWakeTimer::WillWake(DWORD errorOfTheSet) {
    // The set succeeds where the machine cannot resume, and says so only here;
    // Windows documents ERROR_NOT_SUPPORTED, Wine answers ERROR_TIMER_RESUME_IGNORED.
    if (errorOfTheSet == ERROR_NOT_SUPPORTED || errorOfTheSet == kTimerResumeIgnored) return false;
    return PowerSettingsLetProgramsWake();
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
        ahead = due && (schedule.moment - now) * 86400000.0 > kAheadMs;
        if (ahead) *due -= std::uint64_t{kAheadMs} * 10000;
    }
    if (due == ArmedDue) return;
    if (!due) {
        Platform().CancelWaitableTimer(Timer.get());
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
    if (set && WarnedFor != schedule.moment && (schedule.moment - now) * 24 * 60 > kWarnAheadMinutes &&
        !WillWake(error)) {
        WarnedFor = schedule.moment;
        if (Warn) Warn(schedule.moment);
    }
}

TWakeTimer::TFired TWakeTimer::Fired() {
    const TFired fired = !ArmedDue ? TFired::Unset : ArmedAhead ? TFired::Ahead : TFired::AtTheMoment;
    ArmedDue.reset();
    return fired;
}

void TWakeTimer::TimeChanged() {
    ArmedDue.reset();  // set again even when the UTC instant came out the same
    Arm();
}

}  // namespace vrln
