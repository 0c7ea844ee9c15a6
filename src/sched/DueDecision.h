// Whether a launch moment that has come may be launched now, and what the
// machine is asked meanwhile: a network before the capture starts (a capture
// started before Wi-Fi is back after a wake fails every download), and the
// machine kept awake from the due moment until the capture is over.
#pragma once

#include "core/LogLines.h"
#include "sched/Connectivity.h"
#include "sched/DecisionLog.h"

#include <windows.h>

#include <functional>
#include <optional>

namespace vrln {

// Made by the worker's thread routine and known to nothing else, so all of
// its state is the worker's: the platform keeps a machine awake per thread,
// and the hold is given back by that thread when the object goes.
class TDueDecision {
public:
    // Whether the main application runs; the owner knows how to tell.
    using PresenceTest = std::function<bool()>;

    enum class TAnswer {
        NothingDue,            // no moment has come, or launches are suspended
        WaitForNetwork,        // a moment has come, but no network is up yet
        Launch,                // with a network, or the main application runs already
        LaunchWithoutNetwork,  // no network came within NetworkWaitMs of time awake
    };
    // What became of a moment that was consumed after a Launch answer.
    enum class TOutcome { Started, StartFailed, FoundRunning };

    // Holds and releases of the machine go to the log.
    explicit TDueDecision(PresenceTest mainAppRuns, TLogQueue* log = nullptr);
    ~TDueDecision();
    TDueDecision(const TDueDecision&) = delete;
    TDueDecision& operator=(const TDueDecision&) = delete;

    // The one question of a cycle: the moment found due in it, or none. A due
    // moment keeps the machine awake from now on. networkSeenAhead: a network
    // was up when asked just before the moment, which is trusted; without it
    // the network is asked now.
    TAnswer Ask(std::optional<double> dueMoment, bool networkSeenAhead = false);
    void Report(TOutcome outcome);
    // Whether it must be asked again without a new cause: while a moment waits
    // and while the machine is held.
    bool Busy() const { return Pending || Holding; }
    bool HoldsTheMachine() const { return Holding; }
    // What the last question found of the network, where it asked (not where
    // the main application ran or a network was seen ahead), and how long,
    // awake, the moment had been due then.
    const std::optional<TNetworkAnswer>& NetworkAnswer() const { return LastNetwork; }
    ULONGLONG DueForMs() const { return DueFor; }

    // Counted in time awake: a sleep neither shortens the wait for a network
    // nor the hold. After a sleep the wait begins again, as the network does.
    static constexpr ULONGLONG NetworkWaitMs = 120000;
    // The machine is held at least this long after a start, until the main
    // application has gone (it takes a moment to claim its mutex), a person
    // has come, or MaximumAwakeMs have passed since the hold began.
    static constexpr ULONGLONG MinimumAwakeMs = 60000;
    static constexpr ULONGLONG MaximumAwakeMs = 8ull * 60 * 60 * 1000;

private:
    void Hold(ULONGLONG awake);
    void ReleaseWhenDone(ULONGLONG awake);
    void Release(core::HoldEnd why);
    bool PersonCame();
    // Whether the machine slept since the last question: the tick count goes
    // on during a sleep, the time awake does not.
    bool SleptSinceLastAsked(ULONGLONG awake);

    const PresenceTest MainAppRuns;
    TLogQueue* const Log;
    std::optional<TNetworkAnswer> LastNetwork;
    ULONGLONG DueFor = 0;
    // The moment last found due, since when, and whether it is still due and not yet consumed.
    std::optional<double> DueMoment;
    ULONGLONG DueSince = 0;
    bool Pending = false;
    bool Holding = false;
    ULONGLONG HeldSince = 0;
    // The tick of the last input when the hold began: any other means someone came.
    std::optional<DWORD> InputAtHold;
    std::optional<ULONGLONG> ConsumedAt;
    std::optional<ULONGLONG> LastAskedTick, LastAskedAwake;
};

}  // namespace vrln
