// What an unattended launch needs of the machine: the timer that wakes it for
// the next moment, a network before the capture starts, and the machine kept
// awake until the capture is over.
#pragma once

#include "win/Handles.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace vrln {

// True when some interface that is up, neither loopback nor a tunnel, has an
// address beyond its own link and a default gateway.
bool NetworkIsUp();

class TPowerKeeper {
public:
    // What the wake timer follows: the pending moment and the flags, and
    // whether the worker is stopping.
    struct Schedule {
        double moment = 0.0;
        std::uint8_t state = 0;
        bool stopping = false;
    };
    using ScheduleView = std::function<Schedule()>;

    explicit TPowerKeeper(ScheduleView view);
    TPowerKeeper(const TPowerKeeper&) = delete;
    TPowerKeeper& operator=(const TPowerKeeper&) = delete;

    // ---- The wake timer: any thread ----

    // Null when the timer could not be made. Auto-reset, so that a wait on it
    // returns once when it fires.
    HANDLE WakeTimer() const { return Timer.get(); }
    // Sets the timer to the moment the view gives, or cancels it while nothing
    // is pending, the moment has passed, launches are suspended or the worker
    // stops. The view is read under the timer's lock, so the last caller's
    // view of moment and flags is what the timer keeps.
    void ArmWakeTimer();
    // The zone or the clock changed: the same moment may be another UTC instant.
    void TimeChanged();

    // ---- The due moment and the machine's sleep: the worker only, since the
    // platform keeps a machine awake per thread ----

    // A scheduled moment is due: keeps the machine awake from now on, and
    // tells whether it may be consumed: the main application runs already, a
    // network is up, or none came within NetworkWaitMs since this moment was
    // first found due.
    bool DueMayLaunch(double moment, bool mainAppRuns);
    // No moment is due: a wait for the network is over, and a hold for a
    // moment that was withdrawn before it was consumed ends.
    void NothingDue();
    // The due moment was consumed: started is false when the start failed.
    void Consumed(bool started);
    // Lets the machine sleep again once the capture is over: the main
    // application gone at least MinimumAwakeMs after the moment was consumed,
    // a person's input since the moment was found due (the person's power plan
    // applies again), or MaximumAwakeMs passed.
    void ReleaseWhenDone();
    void Release();

    // Read by the tooltip on any thread.
    bool WaitingForNetwork() const { return Waiting.load(); }

    // Tests shorten these before the worker runs.
    ULONGLONG MinimumAwakeMs = 60000;
    ULONGLONG MaximumAwakeMs = 8ull * 60 * 60 * 1000;
    ULONGLONG NetworkWaitMs = 120000;

private:
    void Hold();

    const ScheduleView View;
    UniqueHandle Timer;
    std::mutex TimerLock;
    std::optional<std::uint64_t> ArmedDue;  // what the timer is set to

    std::atomic<bool> Waiting{false};
    // The worker's own: the moment last found due, since when, and whether it
    // is still due and not yet consumed.
    std::optional<double> DueMoment;
    ULONGLONG DueSince = 0;
    bool Pending = false;
    bool Holding = false;
    ULONGLONG HeldSince = 0;
    std::optional<ULONGLONG> ConsumedAt;
};

}  // namespace vrln
