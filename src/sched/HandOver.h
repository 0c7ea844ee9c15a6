// What crosses between the scheduler's worker and the window: the user's
// requests one way, what the tray shows and tells the other, under one lock.
#pragma once

#include "core/LastLaunch.h"
#include "sched/DecisionLog.h"
#include "win/Handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace vrln {

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

// What the user asked for since the worker last looked, merged: taking it
// allocates nothing, so no request is lost between its taking and its use.
struct TSchedulerRequests {
    std::uint8_t Mask = 0;  // the flags the user changed
    std::uint8_t Bits = 0;  // and their new values
    bool Load = false;
    bool TimeChanged = false;
    bool Any() const { return Mask != 0 || Load || TimeChanged; }
};

class TSchedulerHandOver {
public:
    // Tells the window that something waits for it; false when that could not
    // be done (a post refused), so that it is tried again.
    using WakeUp = std::function<bool()>;

    struct TTaken {
        TTraySnapshot Snapshot;
        std::vector<TTrayNotice> Notices;  // oldest first, each handed over once
    };

    explicit TSchedulerHandOver(const TTraySnapshot& first);
    TSchedulerHandOver(const TSchedulerHandOver&) = delete;
    TSchedulerHandOver& operator=(const TSchedulerHandOver&) = delete;

    // ---- The window's side ----
    // The flags in mask turn over, from what the snapshot shows with the
    // user's earlier requests: only they change, whatever the worker handed
    // over since the caller last looked.
    void ToggleState(std::uint8_t mask);
    // The flags in which newState differs from the snapshot take its values.
    void SetState(std::uint8_t newState);
    void RequestLoad();
    void RequestTimeChange();
    // A line for the decision log, which the worker alone writes.
    void HandOverLogLine(TLogLine line);
    TTaken Take();
    // The latest snapshot, with the flags the user asked for and the worker has not taken yet.
    TTraySnapshot Snapshot() const;
    // The routine is called at once (for what was made ready before) and then
    // each time something new waits, once until Take takes it. After Detach
    // returns, no call runs and none starts.
    void Attach(WakeUp routine);
    void Detach();

    // ---- The worker's side ----
    // Signalled while a request waits.
    HANDLE RequestEvent() const { return Requested.get(); }
    TSchedulerRequests TakeRequests() noexcept;
    std::vector<TLogLine> TakeLogLines() noexcept;
    // Hands over the worker's snapshot when it differs from the last one.
    void Publish(const TTraySnapshot& snapshot);
    void Tell(const TTrayNotice& notice);
    // A wake-up whose post failed: the worker calls RetryWakeUp after a pause.
    bool WakeUpOwed() const;
    void RetryWakeUp() { WakeUpWindow(); }

private:
    // Calls the routine, outside the lock of the data, unless a call waits untaken.
    void WakeUpWindow();
    static std::uint8_t Overlaid(std::uint8_t state, const TSchedulerRequests& requests);

    mutable std::mutex Lock;  // the data below
    TSchedulerRequests Requests;
    TTraySnapshot Published;
    std::vector<TTrayNotice> Notices;
    std::vector<TLogLine> LogLines;
    bool WakeUpCalled = false;  // and not taken since
    bool WakeUpFailed = false;
    UniqueHandle Requested;

    // Taken for the whole call of the routine, so that Detach waits for one under way.
    std::mutex CallLock;
    WakeUp OnWakeUp;
    // The worker's own: what it handed over last.
    std::optional<TTraySnapshot> LastPublished;
};

}  // namespace vrln
