#include "sched/DueDecision.h"

#include "sched/Connectivity.h"
#include "win/Platform.h"

#include <cstring>
#include <utility>

namespace vrln {

namespace {

// Milliseconds of time awake.
ULONGLONG AwakeMs() {
    ULONGLONG units = 0;  // of 100 ns
    if (!Platform().QueryUnbiasedInterruptTime(&units)) return Platform().GetTickCount64();
    return units / 10000;
}

// A sleep shows as a tick count that ran on this much further than the time awake.
constexpr ULONGLONG kSleepShowsMs = 2000;

bool SameMoment(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::optional<DWORD> LastInputTick() {
    LASTINPUTINFO input{sizeof input, 0};
    if (!Platform().GetLastInputInfo(&input)) return std::nullopt;
    return input.dwTime;
}

}  // namespace

TDueDecision::TDueDecision(PresenceTest mainAppRuns, TLogQueue* log) : MainAppRuns(std::move(mainAppRuns)), Log(log) {}

TDueDecision::~TDueDecision() { Release(core::HoldEnd::Stopped); }

bool TDueDecision::SleptSinceLastAsked(ULONGLONG awake) {
    const ULONGLONG tick = Platform().GetTickCount64();
    const bool slept = LastAskedTick && tick - *LastAskedTick > awake - *LastAskedAwake + kSleepShowsMs;
    LastAskedTick = tick;
    LastAskedAwake = awake;
    return slept;
}

TDueDecision::TAnswer TDueDecision::Ask(std::optional<double> dueMoment, bool networkSeenAhead) {
    // An idle cycle reads no clock: each costs a call into the system under Wine.
    if (!dueMoment && !Pending && !Holding) {
        LastAskedTick.reset();
        return TAnswer::NothingDue;
    }
    const ULONGLONG awake = AwakeMs();
    const bool slept = SleptSinceLastAsked(awake);
    ReleaseWhenDone(awake);
    if (!dueMoment) {
        if (Pending) {
            Pending = false;
            // A moment suspended, replaced or consumed elsewhere while it waited
            // starts no capture; one launched before it may still be running.
            if (!ConsumedAt) Release(core::HoldEnd::MomentWithdrawn);
        }
        return TAnswer::NothingDue;
    }
    // A moment withheld for a while and then due again keeps its first time.
    if (!DueMoment || !SameMoment(*DueMoment, *dueMoment) || slept) {
        DueMoment = dueMoment;
        DueSince = awake;
    }
    if (!Pending) Hold(awake);
    Pending = true;
    LastNetwork.reset();
    DueFor = awake - DueSince;
    if (networkSeenAhead || MainAppRuns()) return TAnswer::Launch;
    LastNetwork = AskForNetwork();
    if (LastNetwork->Up) return TAnswer::Launch;
    return DueFor >= NetworkWaitMs ? TAnswer::LaunchWithoutNetwork : TAnswer::WaitForNetwork;
}

void TDueDecision::Report(TOutcome outcome) {
    Pending = false;
    DueMoment.reset();
    if (outcome == TOutcome::StartFailed) {
        Release(core::HoldEnd::StartFailed);
        return;
    }
    ConsumedAt = AwakeMs();
}

void TDueDecision::Hold(ULONGLONG awake) {
    // After a wake by the timer nobody is at the computer, and Windows would
    // sleep again within minutes, in the middle of the capture.
    if (!Holding) {
        Platform().SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        Note(Log, [] { return core::AwakeHeldLine(); });
    }
    Holding = true;
    HeldSince = awake;
    InputAtHold = LastInputTick();
}

bool TDueDecision::PersonCame() {
    const std::optional<DWORD> input = LastInputTick();
    if (!input) return false;
    // Compared for change, not by difference: the 32-bit tick of an input
    // long before the hold (24.9 days make it look newer, 49.7 wrap it) tells
    // nothing by its size, while any new input changes it.
    if (!InputAtHold) {
        InputAtHold = input;
        return false;
    }
    return *input != *InputAtHold;
}

void TDueDecision::ReleaseWhenDone(ULONGLONG awake) {
    if (!Holding) return;
    const bool personCame = PersonCame();
    const bool captureOver = !Pending && ConsumedAt && awake - *ConsumedAt >= MinimumAwakeMs && !MainAppRuns();
    if (personCame) {
        Release(core::HoldEnd::PersonCame);
    } else if (captureOver) {
        Release(core::HoldEnd::MainAppEnded);
    } else if (awake - HeldSince >= MaximumAwakeMs) {
        Release(core::HoldEnd::TimeLimit);
    }
}

void TDueDecision::Release(core::HoldEnd why) {
    if (!Holding) return;
    Platform().SetThreadExecutionState(ES_CONTINUOUS);
    Holding = false;
    ConsumedAt.reset();
    const ULONGLONG heldMs = AwakeMs() - HeldSince;
    Note(Log, [&] { return core::AwakeReleasedLine(why, heldMs); });
}

}  // namespace vrln
