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
#include <vector>

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

// The points of the worker between which a test may hold it.
enum class TSchedulerStep {
    DueTested,   // the moment was found due; nothing consumed yet
    Consuming,   // the moment is cleared in memory, not yet stored as used
    Consumed,    // the moment is stored as used; the launch comes next
    CycleEnded,  // a cycle is over; the worker waits for its next cause
};

// What the tray shows, as the worker last knew it: handed to the window whole.
struct TTraySnapshot {
    std::uint8_t State = 0;
    double StartupDate = 0.0;
    // A due moment waits for a network before the main application is started.
    bool WaitingForNetwork = false;
    // What became of the latest moment consumed, as stored (also by an earlier run).
    std::optional<core::LastLaunch> LastLaunch;
    bool operator==(const TTraySnapshot& other) const;
    bool operator!=(const TTraySnapshot& other) const { return !(*this == other); }
};

// Something the icon tells once, as a notification.
struct TTrayNotice {
    enum class TKind {
        LaunchFailed,  // WinExecResult says why
        LaunchedLate,  // Launch says when
        MayNotWake,    // for the launch at Moment
    };
    TKind Kind = TKind::LaunchFailed;
    UINT WinExecResult = 0;
    core::LastLaunch Launch{};
    double Moment = 0.0;
};

// The schedule has one owner, the worker thread: it alone takes part in the
// exchange, reads and writes the record, decides about a moment and keeps
// the last launch. Other threads hand it requests and take from it what the
// tray shows; both cross under the one lock of the hand-over, so no field of
// the schedule is shared. Before the worker runs and after it ended, the
// thread that constructs or destroys the scheduler stands in for it.
class TScheduler {
public:
    using WakeUp = std::function<void(TScheduler& sender)>;
    using StepHook = std::function<void(TSchedulerStep step)>;

    // Creates the synchroniser (participant 0), loads the state, then lets the
    // worker run unless createSuspended is set (Resume starts it then).
    explicit TScheduler(bool createSuspended = false);
    // Stops the worker at once (a launch whose moment is already stored as
    // used is completed first); the worker saves the state under write access
    // when it gets that within the exchange's time-out.
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

    struct THandOver {
        TTraySnapshot Snapshot;
        std::vector<TTrayNotice> Notices;  // oldest first, each handed over once
    };
    THandOver TakeHandOver();
    // The latest snapshot, with the flags the user asked for and the worker
    // has not taken yet.
    TTraySnapshot Snapshot() const;

    // Requests to the worker; none waits for it. SetState changes the bits in
    // which newState differs from the snapshot: at once in the snapshot, and
    // then stored under write access and announced to the main application.
    void SetState(std::uint8_t newState);
    // "Load Vorlane...": a moment that waits for a network is consumed by this
    // start; a main application that runs, or that the worker has just
    // started, is not started again; a failed start is told.
    void LoadMainApp();
    // The zone or the clock changed: the wake timer is set again.
    void TimeChanged();

    // Of the snapshot.
    std::uint8_t State() const { return Snapshot().State; }
    double StartupDate() const { return Snapshot().StartupDate; }
    bool WaitingForNetwork() const { return Snapshot().WaitingForNetwork; }
    std::optional<core::LastLaunch> LastLaunch() const { return Snapshot().LastLaunch; }
    // The next launch as text with the locale's names; empty when none is pending.
    std::string NextLaunchText() const;

    // The worker's own (or its stand-in's, see above). LoadState takes in the
    // stored values: bits the user set that are not stored yet stay as the
    // user set them, and a moment used here whose save failed is not brought
    // back. SaveState writes both values.
    void LoadState();
    void SaveState();

    DWORD ThreadID() const { return ThreadId_; }
    HANDLE ThreadHandle() const { return Thread_.get(); }
    void SetPriority(int priority);
    bool StopRequested() const { return Terminated_.load(); }

    // The pace of whatever needs the worker to look again while it waits: a
    // network, the end of the hold, a moment when no wake timer could be set.
    static constexpr DWORD Period = 1000;

    // For tests, set before the worker runs: called at each step, so that a
    // test can hold the worker there.
    StepHook StepHookForTest;
    // For tests, before the worker runs: as if the stop event could not be made.
    void DropStopEventForTest() { StopEvent.reset(); }

private:
    struct TRequest {
        enum class TKind { SetState, Load, TimeChanged } Kind;
        std::uint8_t Mask = 0;
        std::uint8_t Bits = 0;
    };
    // Waits for a store that needs write access: a second, doubled at each
    // failure up to a minute; another participant's notice ends the wait.
    class TRetry {
    public:
        bool Due() const;
        DWORD RemainingMs() const;
        void Failed();
        void Succeeded() { DelayMs = 0; }
        void Now() { NextTick = 0; }

    private:
        DWORD DelayMs = 0;
        ULONGLONG NextTick = 0;
    };

    static DWORD WINAPI ThreadMain(LPVOID self);
    void Execute();
    // The cycles, each at a cause, until the stop.
    void RunCycles();
    // One cycle: the requests, a notice, the stores that wait, the due moment.
    void RunCycle(bool woken, TDueDecision& due);
    // Waits for the next cause; false when the worker is to stop. woken tells
    // whether the wake timer ended the wait.
    bool WaitForCause(DWORD ms, bool& woken);
    // How long the worker may wait before it must look again by itself.
    DWORD NextWaitMs(const TDueDecision& due) const;
    std::vector<TRequest> TakeRequests();
    void ApplyStateRequest(const TRequest& request);
    // Loads the values when this participant has a notice; true when it had one.
    bool ReadAnnouncedChange();
    // Completion, flags and last launch that are still to be stored, under
    // one write access; force ignores the retry's wait.
    void StorePending(bool force);
    bool SomethingToStore() const;
    // The due path: the moment found due, waited for, consumed and launched.
    void RunDuePath(bool onTheDot, TDueDecision& due);
    void Load(TDueDecision& due);
    // Starts the main application by a command line made before the moment
    // was consumed; true when it started.
    bool Start(const std::string& commandLine, UINT showCommand, UINT& result);
    // Keeps and tells what became of a consumed moment.
    void NoteLaunch(const core::LastLaunch& launch);
    void Tell(const TTrayNotice& notice);
    // Hands the tray what changed since the last hand-over.
    void Publish();
    void SaveAtStop();
    void Step(TSchedulerStep step);
    bool Terminated() const { return Terminated_.load(); }
    // Whether a launch moment is pending and not withheld.
    bool MomentPending() const;
    // Waits until the local clock shows a moment that is at most two seconds
    // ahead: the timer may fire a little before it does.
    void AwaitMoment(double moment);
    // Stores the tested moment as used, under write access when that comes
    // within the time-out, and tests whether the main application runs;
    // false when it is no longer the moment to launch.
    bool ConsumeMoment(double moment, bool& mainAppRuns);
    // With the moment cleared in memory: tests the presence, then saves.
    void StoreAsUsed(double moment, bool& mainAppRuns);
    // Completes the record under the write access the caller holds; true once done.
    bool Complete();
    // SaveState's result: whether the moment was written.
    bool Save();

    // ---- The worker's own -------------------------------------------------
    std::uint8_t State_ = 0;
    double StartupDate_ = 0.0;
    // The moment as this participant last read or wrote it: a stored moment
    // that differs from it was changed by another participant.
    double LastStoredDate = 0.0;
    std::uint8_t UnsavedBits = 0;  // set by the user, not stored yet
    std::optional<core::LastLaunch> LastLaunch_;
    bool LastLaunchUnsaved = false;
    double WaitingMoment = 0.0;  // the due decision's answer of the last cycle
    std::optional<ULONGLONG> StartedAt;  // the worker's latest start of the main application
    TRetry Retry;
    bool CycleFailed = false;
    TSchedulerRecord Record;
    std::unique_ptr<TDataSynchronizer> Synchronizer;
    std::unique_ptr<TWakeTimer> WakeTimer_;
    TTraySnapshot LastPublished;
    bool PublishedOnce = false;

    // ---- The hand-over, under its lock ---------------------------------------
    mutable std::mutex HandOverLock;
    std::vector<TRequest> Requests;
    TTraySnapshot Published;
    std::vector<TTrayNotice> Notices;
    WakeUp OnWakeUp;
    bool WakeUpCalled = false;  // and not taken since

    std::atomic<bool> Terminated_{false};
    UniqueHandle StopEvent;
    UniqueHandle RequestEvent;
    UniqueHandle Thread_;
    DWORD ThreadId_ = 0;
};

}  // namespace vrln
