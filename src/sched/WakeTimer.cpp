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
    std::optional<double> warnFor;
    {
        std::lock_guard<std::mutex> lock(Lock);
        const Schedule schedule = View();
        const double now = LocalNow();
        std::optional<std::uint64_t> due;
        if (!schedule.stopping && !(schedule.state & core::kStateSuspended) && schedule.moment > now)
            due = LocalMomentToUtc(schedule.moment);
        if (due == ArmedDue) return;
        if (due) {
            LARGE_INTEGER when{};
            when.QuadPart = static_cast<LONGLONG>(*due);
            ::SetLastError(ERROR_SUCCESS);  // a success leaves the code of an earlier failure
            // Absolute, so that the time spent asleep counts; resume wakes the machine.
            const bool set = Platform().SetWaitableTimer(Timer.get(), &when, 0, nullptr, nullptr, TRUE) != FALSE;
            const DWORD error = ::GetLastError();
            if (set && WarnedFor != schedule.moment && (schedule.moment - now) * 24 * 60 > kWarnAheadMinutes &&
                !WillWake(error)) {
                WarnedFor = schedule.moment;
                warnFor = schedule.moment;
            }
        } else {
            Platform().CancelWaitableTimer(Timer.get());
        }
        ArmedDue = due;
    }
    // Outside the lock: the owner's routine may set the timer again.
    if (warnFor && Warn) Warn(*warnFor);
}

void TWakeTimer::TimeChanged() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        ArmedDue.reset();  // set again even when the UTC instant came out the same
    }
    Arm();
}

}  // namespace vrln
