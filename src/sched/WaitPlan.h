// When the scheduler's worker must look again by itself, without a cause that
// wakes it (a request, a change notice, the wake timer, the stop): each reason
// is a deadline of its own, and the wait runs to the nearest.
#pragma once

#include "sched/WakeTimer.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <optional>

namespace vrln {

enum class TLookAgain {
    FirstSecond,         // no moment is decided on before a second after the start
    Network,             // a due moment waits for a network
    Hold,                // the machine is held awake until the capture is over
    StoreRetry,          // something waits for write access to be stored
    FailedCycle,         // the last cycle failed
    WakeUpRetry,         // the window could not be told that something waits for it
    MomentCome,          // a pending moment has come and is still to be decided on
    MomentWithoutTimer,  // no wake timer is set for the pending moment: a little before it, then at it
    GuardHour,           // the wake timer is set, and looked after once an hour in case it never fires
    Count
};

// What the worker knows at the end of a cycle; ticks in milliseconds.
struct TWaitFacts {
    ULONGLONG Now = 0;
    ULONGLONG Started = 0;  // when the worker began
    bool FirstDecisionMade = false;
    bool NetworkAwaited = false;
    bool Holding = false;
    std::optional<ULONGLONG> StoreRetryAt;  // something waits to be stored, to be tried then
    bool CycleFailed = false;
    bool WakeUpOwed = false;
    std::optional<double> MsToMoment;  // a moment pending and not withheld: how far ahead
    bool TimerArmed = false;
};

class TWaitPlan {
public:
    // The pace of whatever needs a look while it lasts.
    static constexpr DWORD PaceMs = 1000;
    static constexpr DWORD GuardMs = 60 * 60 * 1000;
    // What can be known before a moment is made ready this long before it.
    static constexpr DWORD AheadMs = TWakeTimer::kAheadMs;

    explicit TWaitPlan(const TWaitFacts& facts);

    // Until the nearest deadline; INFINITE when there is none.
    DWORD NextWaitMs() const;
    std::optional<TLookAgain> NextReason() const;
    std::optional<ULONGLONG> Deadline(TLookAgain reason) const { return Deadlines[Index(reason)]; }

    // Whether a moment may be decided on now: a main application that stored
    // it as this program started may still show its mutex while it ends.
    static bool MayDecide(ULONGLONG now, ULONGLONG started) { return now - started >= PaceMs; }

private:
    static std::size_t Index(TLookAgain reason) { return static_cast<std::size_t>(reason); }
    void Set(TLookAgain reason, ULONGLONG at) { Deadlines[Index(reason)] = at; }

    ULONGLONG Now;
    std::array<std::optional<ULONGLONG>, static_cast<std::size_t>(TLookAgain::Count)> Deadlines{};
};

}  // namespace vrln
