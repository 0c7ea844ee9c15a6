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

TDueDecision::TDueDecision(PresenceTest mainAppRuns) : MainAppRuns(std::move(mainAppRuns)) {}

TDueDecision::~TDueDecision() { Release(); }

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
            if (!ConsumedAt) Release();
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
    if (networkSeenAhead || MainAppRuns() || NetworkIsUp()) return TAnswer::Launch;
    return awake - DueSince >= NetworkWaitMs ? TAnswer::LaunchWithoutNetwork : TAnswer::WaitForNetwork;
}

void TDueDecision::Report(TOutcome outcome) {
    Pending = false;
    DueMoment.reset();
    if (outcome == TOutcome::StartFailed) {
        Release();
        return;
    }
    ConsumedAt = AwakeMs();
}

void TDueDecision::Hold(ULONGLONG awake) {
    // After a wake by the timer nobody is at the computer, and Windows would
    // sleep again within minutes, in the middle of the capture.
    if (!Holding) Platform().SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
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
    if (personCame || captureOver || awake - HeldSince >= MaximumAwakeMs) Release();
}

void TDueDecision::Release() {
    if (!Holding) return;
    Platform().SetThreadExecutionState(ES_CONTINUOUS);
    Holding = false;
    ConsumedAt.reset();
}

}  // namespace vrln
