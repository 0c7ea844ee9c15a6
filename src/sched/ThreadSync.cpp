// Readers/writer exchange over named kernel objects shared with the main
// application. The objects' names, kinds, creation parameters and the order
// of every wait and signal are part of the contract with that program.
#include "sched/ThreadSync.h"

namespace vrln {

namespace {

// A wait fails only by timing out: signalled, abandoned and even failed
// waits count as success, as every participant of the exchange assumes.
bool WaitOk(DWORD result) { return result != WAIT_TIMEOUT; }

// Waits for `first`, or with a stop event for whichever comes first. True when
// `first` was obtained (or the wait failed); false on time-out or stop.
bool WaitOrStop(HANDLE first, DWORD timeoutMs, HANDLE stopEvent) {
    if (!stopEvent) return WaitOk(::WaitForSingleObject(first, timeoutMs));
    // Wait-any reports the lowest signalled index, so the notice or mutex wins
    // over a stop: a pending change is still read before the owner shuts down.
    const HANDLE handles[2] = {first, stopEvent};
    const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    return WaitOk(result) && result != WAIT_OBJECT_0 + 1;
}

bool ValidIndex(int index) { return index >= 0 && index < TDataSynchronizer::kParticipants; }

}  // namespace

std::string TDataSynchronizer::ObjectName(const std::string& name, const char* suffix) {
    return (name.empty() ? std::string("Sync_") : name) + suffix;
}

TDataSynchronizer::TDataSynchronizer(const std::string& name, int index) : Index_(index) {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;

    // Creating opens an existing object unchanged: the first participant fixes the states.
    MutexNoWriter.reset(
        ::CreateMutexA(&security, FALSE, ObjectName(name, "_MutexNoWriter").c_str()));
    EventNoReader.reset(
        ::CreateEventA(&security, TRUE, TRUE, ObjectName(name, "_EventNoReader").c_str()));
    SemReadCount.reset(::CreateSemaphoreA(&security, 0, 0x7FFFFFFF,
                                          ObjectName(name, "_SemReadCount").c_str()));
    for (int i = 0; i < kParticipants; ++i) {
        const std::string suffix = "_EventDataToRead" + std::string(1, static_cast<char>('0' + i));
        EventDataToRead[i].reset(
            ::CreateEventA(&security, TRUE, FALSE, ObjectName(name, suffix.c_str()).c_str()));
    }
}

TDataSynchronizer::~TDataSynchronizer() {
    // Only closed, nothing released or signalled first: a reader or writer
    // that is destroyed mid-access leaves the state as a dead process would.
    MutexNoWriter.reset();
    EventNoReader.reset();
    SemReadCount.reset();
    for (auto& notice : EventDataToRead) notice.reset();
}

bool TDataSynchronizer::BeginRead(DWORD timeoutMs, HANDLE stopEvent) {
    if (!ValidIndex(Index_)) {
        // A participant without a slot never gets a notice; it still keeps the caller's pace.
        if (stopEvent)
            ::WaitForSingleObject(stopEvent, timeoutMs);
        else
            ::Sleep(timeoutMs);
        return false;
    }
    HANDLE notice = EventDataToRead[Index_].get();
    if (!WaitOrStop(notice, timeoutMs, stopEvent)) return false;
    // Taken before read access is sought: a write that lands until the read
    // is covered by it, and a write after that sets the notice again.
    ::ResetEvent(notice);

    if (!WaitOrStop(MutexNoWriter.get(), timeoutMs, stopEvent)) return false;
    LONG previous = 0;
    ::ReleaseSemaphore(SemReadCount.get(), 1, &previous);
    if (previous == 0) ::ResetEvent(EventNoReader.get());
    ::ReleaseMutex(MutexNoWriter.get());
    return true;
}

void TDataSynchronizer::EndRead() {
    // Takes the mutex and this reader's count together.
    const HANDLE handles[2] = {MutexNoWriter.get(), SemReadCount.get()};
    ::WaitForMultipleObjects(2, handles, TRUE, INFINITE);
    if (::WaitForSingleObject(SemReadCount.get(), 0) == WAIT_TIMEOUT)
        ::SetEvent(EventNoReader.get());  // that was the last reader
    else
        ::ReleaseSemaphore(SemReadCount.get(), 1, nullptr);  // give back the probed count
    ::ReleaseMutex(MutexNoWriter.get());
}

bool TDataSynchronizer::BeginWrite(DWORD timeoutMs) {
    // Both at once, so a waiting writer never holds the mutex against readers
    // that want to leave. An abandoned mutex (WAIT_ABANDONED_0) is ours as well.
    const HANDLE handles[2] = {MutexNoWriter.get(), EventNoReader.get()};
    return WaitOk(::WaitForMultipleObjects(2, handles, TRUE, timeoutMs));
}

void TDataSynchronizer::EndWrite() {
    ::ReleaseMutex(MutexNoWriter.get());
    for (int i = 0; i < kParticipants; ++i)
        if (i != Index_) ::SetEvent(EventDataToRead[i].get());
}

void TDataSynchronizer::EndWriteUnannounced() { ::ReleaseMutex(MutexNoWriter.get()); }

HANDLE TDataSynchronizer::Notice() const { return ValidIndex(Index_) ? EventDataToRead[Index_].get() : nullptr; }

std::array<HANDLE, 8> TDataSynchronizer::HandlesForTest() const {
    return {MutexNoWriter.get(),      EventNoReader.get(),      SemReadCount.get(),
            EventDataToRead[0].get(), EventDataToRead[1].get(), EventDataToRead[2].get(),
            EventDataToRead[3].get(), EventDataToRead[4].get()};
}

}  // namespace vrln
