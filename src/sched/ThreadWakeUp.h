// The scheduler thread and the state it shares with the main application in
// the registry; the single-instance rule of this program.
#pragma once

#include "core/LastLaunch.h"
#include "sched/DueDecision.h"
#include "sched/LocalTime.h"
#include "sched/MainApp.h"
#include "sched/SchedulerRecord.h"
#include "sched/ThreadSync.h"
#include "sched/WakeTimer.h"
#include "win/Handles.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vrln {

// ---- Single instance ----------------------------------------------------

// The mutex that marks a running copy of this program: named after its file name.
std::string InstanceMutexName();
// True when this copy may run. The mutex handle stays held until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();

constexpr const char* kSyncName = "VorlaneSyncExchange";
constexpr DWORD kSyncTimeoutMs = 258;

// ---- The scheduler thread -------------------------------------------------

// The points of the due path between which a test may hold the worker.
enum class TSchedulerStep {
    DueTested,  // the moment was found due; nothing consumed yet
    Consuming,  // the moment is cleared in memory, not yet stored as used
    Consumed,   // the moment is stored as used; the launch comes next
};

class TScheduler {
public:
    using WakeUp = std::function<void(TScheduler& sender)>;
    using StepHook = std::function<void(TSchedulerStep step)>;
    using LaunchFailed = std::function<void(UINT winExecResult)>;
    using LaunchedLate = std::function<void()>;
    using MayNotWake = TWakeTimer::MayNotWake;

    // Creates the synchroniser (participant 0), loads the state, then lets the
    // worker run unless createSuspended is set (Resume starts it then).
    explicit TScheduler(bool createSuspended = false);
    // Stops the worker at once (a launch whose moment is already stored as
    // used is completed first), then saves the state under write access when
    // it gets that within the exchange's time-out.
    ~TScheduler();
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    void Resume();

    // The callback of every cycle, and those for a scheduled launch that did
    // not start or started more than five minutes after its moment, called on
    // the worker thread; and the one for a moment the machine will probably
    // not wake for, called on the thread that set the timer (a warning from
    // before the attach comes with it). After DetachWakeUp returns, no call of
    // any is running and none starts.
    void AttachWakeUp(WakeUp routine, LaunchFailed failed = nullptr, LaunchedLate late = nullptr,
                      MayNotWake mayNotWake = nullptr);
    void DetachWakeUp();

    // Takes in the stored values. A bit the user is changing right now stays
    // as the user set it; a moment that is stored as it was when this
    // participant last read or wrote it leaves the one in memory alone, so a
    // moment used here whose save failed is not brought back.
    void LoadState();
    void SaveState();
    // Changes the flags in memory at once, then, under write access, takes in
    // what is stored, saves and notifies the main application.
    void SetState(std::uint8_t newState);

    std::uint8_t State() const { return State_.load(); }
    double StartupDate() const { return StartupDate_.load(); }
    // The next launch as text with the locale's names; empty when none is pending.
    std::string NextLaunchText() const;
    // A due moment waits for a network before the main application is started.
    bool WaitingForNetwork() const { return WaitingMoment_.load() != 0.0; }
    // The zone or the clock changed: the wake timer is set again.
    void TimeChanged() { WakeTimer_->TimeChanged(); }

    // The user starts the main application: a moment that waits for a network
    // is stored as used by that start, so that the worker starts nothing more
    // for it. LaunchUnderWay: the worker is starting it for a moment right now.
    enum class TTakeResult { NoneWaiting, Taken, LaunchUnderWay };
    TTakeResult TakeWaitingMoment(double& moment);

    // What became of the latest moment consumed, as stored (also by an
    // earlier run), or nothing.
    std::optional<core::LastLaunch> LastLaunch() const;
    // Keeps it, and stores it under write access, at a later cycle where that
    // does not come in time.
    void NoteLaunch(const core::LastLaunch& launch);

    DWORD ThreadID() const { return ThreadId_; }
    HANDLE ThreadHandle() const { return Thread_.get(); }
    void SetPriority(int priority);
    bool StopRequested() const { return Terminated_.load(); }

    static constexpr DWORD Period = 1000;
    // The pause that begins each cycle; a test lengthens it before the worker
    // runs, to see the wake timer end it.
    DWORD PauseMs = Period;

    // For tests, set before the worker runs: called at each step of the due
    // path, so that a test can hold it there; on the worker, but for Consuming
    // also on the window's thread when the user's start takes a waiting moment.
    StepHook StepHookForTest;
    // For tests, before the worker runs: as if the stop event could not be made.
    void DropStopEventForTest() { StopEvent.reset(); }

private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Execute();
    // One cycle after its pause, which the wake timer ended when woken is set;
    // false when the worker is to stop.
    bool RunCycle(bool woken, TDueDecision& due);
    // Starts the main application by the command line made before the moment
    // was consumed, then keeps and tells what became of the moment.
    void LaunchMainApp(double moment, const std::string& commandLine, TDueDecision::TAnswer answer,
                       TDueDecision& due);
    void CallWakeUp();
    void TellMayNotWake(double moment);
    void SaveLastLaunch();
    void Step(TSchedulerStep step);
    bool Terminated() const { return Terminated_.load(); }
    // Waits one pause of the cycle; false when the worker is to stop. woken
    // tells whether the wake timer ended it.
    bool Pause(DWORD ms, bool& woken);
    // Whether a launch moment comes within the next ms milliseconds.
    bool MomentComesWithin(DWORD ms) const;
    // The due test, with the clock read only while a moment is pending.
    bool MomentDue(double moment) const;
    // Waits until the local clock shows a moment that is at most two seconds
    // ahead: the timer may fire a little before it does.
    void AwaitMoment(double moment);
    // Stores the tested moment as used, under write access when that comes
    // within the time-out, and tests whether the main application runs;
    // false when it is no longer the moment to launch.
    bool ConsumeMoment(double moment, bool& mainAppRuns);
    // With the moment cleared in memory: tests the presence, then saves.
    void StoreAsUsed(double moment, bool& mainAppRuns);

    std::atomic<std::uint8_t> State_{0};
    std::atomic<double> StartupDate_{0.0};
    std::unique_ptr<TDataSynchronizer> Synchronizer;

    std::mutex WakeUpLock;
    WakeUp OnWakeUp;
    LaunchFailed OnLaunchFailed;
    LaunchedLate OnLaunchedLate;
    MayNotWake OnMayNotWake;
    std::optional<double> UntoldWakeWarning;  // from before the attach

    TSchedulerRecord Record;
    mutable std::mutex LastLaunchLock;
    std::optional<core::LastLaunch> LastLaunch_;
    bool LastLaunchUnsaved = false;

    // The moment as this participant last read or wrote it: a stored moment
    // that differs from it was changed by another participant.
    std::mutex StateLock;
    double LastStoredDate = 0.0;
    std::uint8_t BitsBeingSet = 0;  // the bits of a SetState still under way
    // Each save writes one consistent snapshot of both values.
    std::mutex SaveLock;

    // The moment that waits for a network, 0 when none does: the worker's
    // answer of its last cycle, for the tooltip and the user's own start.
    std::atomic<double> WaitingMoment_{0.0};
    // Between the worker's storing a moment as used and its start on one
    // side, and the user's taking a waiting moment on the other.
    std::mutex LaunchLock;
    std::atomic<bool> Launching{false};

    std::atomic<bool> Terminated_{false};
    UniqueHandle StopEvent;
    std::unique_ptr<TWakeTimer> WakeTimer_;
    UniqueHandle Thread_;
    DWORD ThreadId_ = 0;
};

}  // namespace vrln
