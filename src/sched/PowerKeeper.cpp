#include "sched/PowerKeeper.h"

#include "core/DateTime.h"
#include "core/Network.h"
#include "sched/LocalTime.h"
#include "sched/ThreadWakeUp.h"
#include "win/Platform.h"

#include <ws2tcpip.h>

#include <memory>
#include <utility>

namespace vrln {

namespace {

bool RoutableAddress(const SOCKET_ADDRESS& address) {
    const sockaddr* socket = address.lpSockaddr;
    if (!socket) return false;
    if (socket->sa_family == AF_INET && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in))) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(socket);
        return core::IsRoutableUnicast(reinterpret_cast<const std::uint8_t*>(&in->sin_addr), 4);
    }
    if (socket->sa_family == AF_INET6 && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in6))) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(socket);
        return core::IsRoutableUnicast(reinterpret_cast<const std::uint8_t*>(&in6->sin6_addr), 16);
    }
    return false;
}

bool UsableInterface(const IP_ADAPTER_ADDRESSES& adapter) {
    if (adapter.OperStatus != IfOperStatusUp || adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
        adapter.IfType == IF_TYPE_TUNNEL || !adapter.FirstGatewayAddress)
        return false;
    for (auto* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        if (RoutableAddress(unicast->Address)) return true;
    }
    return false;
}

}  // namespace

bool NetworkIsUp() {
    constexpr ULONG kFlags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                             GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The size the platform's documentation suggests; an interface added
    // between two calls may need one more try.
    ULONG size = 15000;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // ULONGLONG, so that the records in the buffer are aligned as the platform lays them out.
        std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[size / sizeof(ULONGLONG) + 1]);
        auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
        const ULONG result = Platform().GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr, adapters, &size);
        if (result == ERROR_BUFFER_OVERFLOW) continue;
        if (result != ERROR_SUCCESS) return false;  // ERROR_NO_DATA: no interface at all
        for (auto* adapter = adapters; adapter; adapter = adapter->Next) {
            if (UsableInterface(*adapter)) return true;
        }
        return false;
    }
    return false;
}

TPowerKeeper::TPowerKeeper(ScheduleView view)
    : View(std::move(view)), Timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr)) {}

// ---- The wake timer --------------------------------------------------------------

void TPowerKeeper::ArmWakeTimer() {
    if (!Timer) return;
    std::lock_guard<std::mutex> lock(TimerLock);
    const Schedule schedule = View();
    std::optional<std::uint64_t> due;
    if (!schedule.stopping && !(schedule.state & core::kStateSuspended) && schedule.moment > LocalNow())
        due = LocalMomentToUtc(schedule.moment);
    if (due == ArmedDue) return;
    if (due) {
        LARGE_INTEGER when{};
        when.QuadPart = static_cast<LONGLONG>(*due);
        // Absolute, so that the time spent asleep counts; resume wakes the machine.
        Platform().SetWaitableTimer(Timer.get(), &when, 0, nullptr, nullptr, TRUE);
    } else {
        Platform().CancelWaitableTimer(Timer.get());
    }
    ArmedDue = due;
}

void TPowerKeeper::TimeChanged() {
    {
        std::lock_guard<std::mutex> lock(TimerLock);
        ArmedDue.reset();  // set again even when the UTC instant came out the same
    }
    ArmWakeTimer();
}

// ---- The due moment and the machine's sleep -------------------------------------------

void TPowerKeeper::Hold() {
    // After a wake by the timer nobody is at the computer, and Windows would
    // sleep again within minutes, in the middle of the capture.
    if (!Holding) Platform().SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    Holding = true;
    HeldSince = Platform().GetTickCount64();
}

bool TPowerKeeper::DueMayLaunch(double moment, bool mainAppRuns) {
    const ULONGLONG now = Platform().GetTickCount64();
    // A moment withheld for a while and then due again keeps its first time.
    if (!DueMoment || *DueMoment != moment) {
        DueMoment = moment;
        DueSince = now;
    }
    if (!Pending) Hold();
    Pending = true;
    // A capture started before Wi-Fi is back after a wake fails every download.
    const bool mayLaunch = mainAppRuns || now - DueSince >= NetworkWaitMs || NetworkIsUp();
    Waiting = !mayLaunch;
    return mayLaunch;
}

void TPowerKeeper::NothingDue() {
    Waiting = false;
    if (!Pending) return;
    Pending = false;
    // A moment suspended, replaced or consumed elsewhere while it waited starts
    // no capture; one launched before it may still be running.
    if (!ConsumedAt) Release();
}

void TPowerKeeper::Consumed(bool started) {
    Waiting = false;
    Pending = false;
    DueMoment.reset();
    if (!started) {
        Release();
        return;
    }
    ConsumedAt = Platform().GetTickCount64();
}

void TPowerKeeper::ReleaseWhenDone() {
    if (!Holding) return;
    const ULONGLONG now = Platform().GetTickCount64();
    LASTINPUTINFO input{sizeof input, 0};
    // The tick counts of input are 32 bits wide and wrap after 49 days.
    const bool personCame = Platform().GetLastInputInfo(&input) &&
                            static_cast<LONG>(input.dwTime - static_cast<DWORD>(HeldSince)) > 0;
    // The main application takes a moment to claim its mutex after the start.
    const bool captureOver =
        !Pending && ConsumedAt && now - *ConsumedAt >= MinimumAwakeMs && MainAppNotRunning();
    if (personCame || captureOver || now - HeldSince >= MaximumAwakeMs) Release();
}

void TPowerKeeper::Release() {
    if (!Holding) return;
    Platform().SetThreadExecutionState(ES_CONTINUOUS);
    Holding = false;
    ConsumedAt.reset();
}

}  // namespace vrln
