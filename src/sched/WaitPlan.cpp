#include "sched/WaitPlan.h"

namespace vrln {

TWaitPlan::TWaitPlan(const TWaitFacts& facts) : Now(facts.Now) {
    const ULONGLONG soon = facts.Now + PaceMs;
    if (!facts.FirstDecisionMade) Set(TLookAgain::FirstSecond, facts.Started + PaceMs);
    if (facts.NetworkAwaited) Set(TLookAgain::Network, soon);
    if (facts.Holding) Set(TLookAgain::Hold, soon);
    if (facts.StoreRetryAt) Set(TLookAgain::StoreRetry, *facts.StoreRetryAt);
    if (facts.CycleFailed) Set(TLookAgain::FailedCycle, soon);
    if (facts.WakeUpOwed) Set(TLookAgain::WakeUpRetry, soon);
    if (facts.MsToMoment) {
        const double ahead = *facts.MsToMoment;
        if (!(ahead > 0)) {
            Set(TLookAgain::MomentCome, soon);
        } else if (!facts.TimerArmed && ahead < GuardMs) {
            // Without a timer the worker itself is there a little before the moment, then at it.
            const double until = ahead > TWakeTimer::kPrepareWindowMs ? ahead - AheadMs : ahead + 1;
            Set(TLookAgain::MomentWithoutTimer, facts.Now + static_cast<ULONGLONG>(until));
        } else {
            // The timer fires at the moment, asleep or not; a clock set forward
            // while no timer could be set is followed within the hour too.
            Set(facts.TimerArmed ? TLookAgain::GuardHour : TLookAgain::MomentWithoutTimer, facts.Now + GuardMs);
        }
    }
}

std::optional<TLookAgain> TWaitPlan::NextReason() const {
    std::optional<TLookAgain> nearest;
    for (std::size_t i = 0; i < Deadlines.size(); ++i) {
        if (Deadlines[i] && (!nearest || *Deadlines[i] < *Deadlines[Index(*nearest)]))
            nearest = static_cast<TLookAgain>(i);
    }
    return nearest;
}

DWORD TWaitPlan::NextWaitMs() const {
    const std::optional<TLookAgain> reason = NextReason();
    if (!reason) return INFINITE;
    const ULONGLONG at = *Deadlines[Index(*reason)];
    if (at <= Now) return 0;
    const ULONGLONG ms = at - Now;
    return ms < INFINITE ? static_cast<DWORD>(ms) : INFINITE - 1;
}

}  // namespace vrln
