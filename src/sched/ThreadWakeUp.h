// The scheduler thread and the state it shares with the main application in
// the registry; the single-instance rule of this program.
#pragma once

#include "core/LastLaunch.h"
#include "sched/DecisionLog.h"
#include "sched/HandOver.h"
#include "sched/Launches.h"
#include "sched/LocalTime.h"
#include "sched/MainApp.h"
#include "sched/ScheduleStore.h"
#include "sched/WaitPlan.h"
#include "sched/WakeTimer.h"
#include "win/Handles.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vrln {

// ---- Single instance ----------------------------------------------------

// The mutex that marks a running copy of this program: named after its file name.
std::string InstanceMutexName();
// True when this copy may run. The mutex handle stays held until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();

// ---- The scheduler thread -------------------------------------------------

// The schedule has one owner, the worker thread: it alone takes part in the
// exchange, reads and writes the record, decides about a moment and keeps
// the last launch. Other threads hand it requests and take from it what the
// tray shows, through the hand-over; no field of the schedule is shared.
// Before the worker runs and after it ended, the thread that constructs or
// destroys the scheduler stands in for it. The worker's loop ties the parts:
// the hand-over, the store, the wait plan and the launches.
class TScheduler {
public:
    // Tells the owner's thread that something new waits; false when that failed
    // (the call is then made again a second later).
    using WakeUp = std::function<bool(TScheduler& sender)>;
    using StepHook = std::function<void(TSchedulerStep step)>;
    using THandOver = TSchedulerHandOver::TTaken;

    // Creates the synchroniser (participant 0), loads the state, then lets the
    // worker run unless createSuspended is set (Resume starts it then).
    explicit TScheduler(bool createSuspended = false);
    // Stops the worker at once (a launch whose moment is already stored as
    // used is completed first); the worker stores what waits under write
    // access when it gets that within kStopWriteMs, and else leaves the
    // record to the participant that holds it.
    ~TScheduler();
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    void Resume();

    // Called on the worker when it has something new for the tray (a snapshot
    // or a notice), once until TakeHandOver takes it; and once at the attach,
    // for what was made ready before it (the warning of the start-up load).
    // After DetachWakeUp returns, no call is running and none starts.
    void AttachWakeUp(WakeUp routine);
    void DetachWakeUp();
    THandOver TakeHandOver() { return HandOver.Take(); }
    // The latest snapshot, with the flags the user asked for and the worker
    // has not taken yet.
    TTraySnapshot Snapshot() const { return HandOver.Snapshot(); }

    // Requests to the worker; none waits for it. ToggleState turns over the
    // flags in mask as the snapshot shows them, and nothing else; SetState
    // changes the flags in which newState differs from the snapshot. Either
    // shows at once in the snapshot, then is stored under write access and
    // announced to the main application.
    void ToggleState(std::uint8_t mask) { HandOver.ToggleState(mask); }
    void SetState(std::uint8_t newState) { HandOver.SetState(newState); }
    // "Load Vorlane...": a moment that waits for a network is consumed by this
    // start; a main application that runs, or that the worker has just
    // started, is not started again; a failed start is told.
    void LoadMainApp() { HandOver.RequestLoad(); }
    // The zone or the clock changed: the wake timer is set again.
    void TimeChanged() { HandOver.RequestTimeChange(); }
    // A line of what the window decided, for the decision log that the worker writes.
    void HandOverLogLine(TLogLine line) { HandOver.HandOverLogLine(std::move(line)); }

    // Of the snapshot.
    std::uint8_t State() const { return Snapshot().State; }
    double StartupDate() const { return Snapshot().StartupDate; }
    bool WaitingForNetwork() const { return Snapshot().WaitingForNetwork; }
    std::optional<core::LastLaunch> LastLaunch() const { return Snapshot().LastLaunch; }
    // The next launch as text with the locale's names; empty when none is pending.
    std::string NextLaunchText() const;

    // The worker's own (or its stand-in's, see above). LoadState takes in the
    // stored values; SaveState writes both values.
    void LoadState();
    void SaveState();

    DWORD ThreadID() const { return ThreadId_; }
    HANDLE ThreadHandle() const { return Thread_.get(); }
    void SetPriority(int priority);
    bool StopRequested() const { return Terminated_.load(); }

    // The pace of whatever needs the worker to look again while it waits.
    static constexpr DWORD Period = TWaitPlan::PaceMs;
    // How long the stop waits for write access to store what waits.
    static constexpr DWORD kStopWriteMs = 2000;

    // For tests, set before the worker runs: called at each step, so that a
    // test can hold the worker there.
    StepHook StepHookForTest;
    // For tests, before the worker runs: as if the stop event could not be made.
    void DropStopEventForTest() { StopEvent.reset(); }

private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Execute();
    // The cycles, each at a cause, until the stop.
    void RunCycles();
    // One cycle: the requests, a notice, the stores that wait, the due moment, a Load.
    void RunCycle(bool woken, TLaunches& launches);
    // Waits for the next cause; false when the worker is to stop. woken tells
    // whether the wake timer ended the wait.
    bool WaitForCause(DWORD ms, bool& woken);
    TWaitPlan PlanWait(const TDueDecision& due, const TLaunches& launches) const;
    // The user's flags, and the lines the window handed over, into the worker's keeping.
    void TakeFromTheWindow(const TSchedulerRequests& requests);
    // Hands the tray what changed since the last hand-over.
    void Publish();
    void SaveAtStop();
    void Step(TSchedulerStep step);
    bool Terminated() const { return Terminated_.load(); }

    // ---- The worker's own -------------------------------------------------
    TDecisionLog Log;
    TLogQueue LogQueue;  // the lines of the cycle under way
    TScheduleStore Store;
    TSchedulerHandOver HandOver;
    std::unique_ptr<TWakeTimer> WakeTimer_;
    const TLaunches* Launches = nullptr;  // while the cycles run
    ULONGLONG Started = 0;
    bool FirstDecisionMade = false;
    bool CycleFailed = false;
    bool TimeChangeWanted = false;

    std::atomic<bool> Terminated_{false};
    UniqueHandle StopEvent;
    UniqueHandle Thread_;
    DWORD ThreadId_ = 0;
};

}  // namespace vrln
