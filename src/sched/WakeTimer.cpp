#include "sched/WakeTimer.h"

#include "core/DateTime.h"
#include "sched/LocalTime.h"
#include "win/Platform.h"

#include <utility>

namespace vrln {

TWakeTimer::TWakeTimer(ScheduleView view)
    : View(std::move(view)), Timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr)) {}

void TWakeTimer::Arm() {
    if (!Timer) return;
    std::lock_guard<std::mutex> lock(Lock);
    const Schedule schedule = View();
    std::optional<std::uint64_t> due;
    if (!schedule.stopping && !(schedule.state & core::kStateSuspended) && schedule.moment > LocalNow())
        due = LocalMomentToUtc(schedule.moment);
    if (due == ArmedDue) return;
    if (due) {
        LARGE_INTEGER when{};
        when.QuadPart = static_cast<LONGLONG>(*due);
        // Absolute, so that the time spent asleep counts; resume wakes the machine.
        Platform().SetWaitableTimer(Timer.get(), &when, 0, nullptr, nullptr, TRUE);
    } else {
        Platform().CancelWaitableTimer(Timer.get());
    }
    ArmedDue = due;
}

void TWakeTimer::TimeChanged() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        ArmedDue.reset();  // set again even when the UTC instant came out the same
    }
    Arm();
}

}  // namespace vrln
