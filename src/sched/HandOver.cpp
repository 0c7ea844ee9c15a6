#include "sched/HandOver.h"

#include <cstring>
#include <utility>

namespace vrln {

namespace {
// Compared as stored bytes, so that a moment that does not compare (NaN) still
// counts as unchanged when it is the same.
bool SameBytes(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

bool TTraySnapshot::operator==(const TTraySnapshot& other) const {
    return State == other.State && SameBytes(StartupDate, other.StartupDate) &&
           WaitingForNetwork == other.WaitingForNetwork && LastLaunch == other.LastLaunch;
}

TSchedulerHandOver::TSchedulerHandOver(const TTraySnapshot& first)
    : Published(first), Requested(::CreateEventA(nullptr, FALSE, FALSE, nullptr)), LastPublished(first) {}

std::uint8_t TSchedulerHandOver::Overlaid(std::uint8_t state, const TSchedulerRequests& requests) {
    return static_cast<std::uint8_t>((state & ~requests.Mask) | requests.Bits);
}

void TSchedulerHandOver::ToggleState(std::uint8_t mask) {
    if (mask == 0) return;
    {
        std::lock_guard<std::mutex> lock(Lock);
        // Published already carries the requests that wait, so the toggle
        // turns over what the user sees, and nothing else.
        Published.State ^= mask;
        Requests.Mask |= mask;
        Requests.Bits = static_cast<std::uint8_t>((Requests.Bits & ~mask) | (Published.State & mask));
    }
    if (Requested) ::SetEvent(Requested.get());
}

void TSchedulerHandOver::SetState(std::uint8_t newState) {
    std::uint8_t mask;
    {
        std::lock_guard<std::mutex> lock(Lock);
        mask = static_cast<std::uint8_t>(newState ^ Published.State);
        if (mask == 0) return;
        Published.State = newState;
        Requests.Mask |= mask;
        Requests.Bits = static_cast<std::uint8_t>((Requests.Bits & ~mask) | (newState & mask));
    }
    if (Requested) ::SetEvent(Requested.get());
}

void TSchedulerHandOver::RequestLoad() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        Requests.Load = true;
    }
    if (Requested) ::SetEvent(Requested.get());
}

void TSchedulerHandOver::RequestTimeChange() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        Requests.TimeChanged = true;
    }
    if (Requested) ::SetEvent(Requested.get());
}

void TSchedulerHandOver::HandOverLogLine(TLogLine line) {
    {
        std::lock_guard<std::mutex> lock(Lock);
        LogLines.push_back(std::move(line));
    }
    if (Requested) ::SetEvent(Requested.get());
}

std::vector<TLogLine> TSchedulerHandOver::TakeLogLines() noexcept {
    std::lock_guard<std::mutex> lock(Lock);
    std::vector<TLogLine> taken;
    taken.swap(LogLines);
    return taken;
}

TSchedulerRequests TSchedulerHandOver::TakeRequests() noexcept {
    std::lock_guard<std::mutex> lock(Lock);
    return std::exchange(Requests, TSchedulerRequests{});
}

TSchedulerHandOver::TTaken TSchedulerHandOver::Take() {
    std::lock_guard<std::mutex> lock(Lock);
    TTaken taken{Published, {}};
    taken.Notices.swap(Notices);
    WakeUpCalled = false;
    return taken;
}

TTraySnapshot TSchedulerHandOver::Snapshot() const {
    std::lock_guard<std::mutex> lock(Lock);
    return Published;
}

void TSchedulerHandOver::Publish(const TTraySnapshot& snapshot) {
    if (LastPublished && *LastPublished == snapshot) return;
    LastPublished = snapshot;
    {
        std::lock_guard<std::mutex> lock(Lock);
        Published = snapshot;
        // The user's flags that the worker has not taken yet stay as the user set them.
        Published.State = Overlaid(snapshot.State, Requests);
    }
    WakeUpWindow();
}

void TSchedulerHandOver::Tell(const TTrayNotice& notice) {
    {
        std::lock_guard<std::mutex> lock(Lock);
        Notices.push_back(notice);
    }
    WakeUpWindow();
}

bool TSchedulerHandOver::WakeUpOwed() const {
    std::lock_guard<std::mutex> lock(Lock);
    return WakeUpFailed && !WakeUpCalled;
}

void TSchedulerHandOver::WakeUpWindow() {
    std::lock_guard<std::mutex> call(CallLock);
    if (!OnWakeUp) return;
    {
        std::lock_guard<std::mutex> lock(Lock);
        if (WakeUpCalled) return;
        WakeUpCalled = true;
    }
    // Outside the data's lock: the routine may take what waits at once.
    const bool told = OnWakeUp();
    std::lock_guard<std::mutex> lock(Lock);
    WakeUpFailed = !told;
    // A call that did not reach the window leaves the latch open for the next one.
    if (!told) WakeUpCalled = false;
}

void TSchedulerHandOver::Attach(WakeUp routine) {
    {
        std::lock_guard<std::mutex> call(CallLock);
        OnWakeUp = std::move(routine);
        std::lock_guard<std::mutex> lock(Lock);
        WakeUpCalled = false;
    }
    // What was made ready before the attach (the warning of the start-up load) comes with it.
    WakeUpWindow();
}

void TSchedulerHandOver::Detach() {
    std::lock_guard<std::mutex> call(CallLock);
    OnWakeUp = nullptr;
}

}  // namespace vrln
