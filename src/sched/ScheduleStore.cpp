#include "sched/ScheduleStore.h"

#include "core/DateTime.h"
#include "sched/LocalTime.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vrln {

namespace {

// Gives back what an exchange call obtained also when an exception leaves the scope.
template <typename Release>
class ScopeExit {
public:
    explicit ScopeExit(Release release) : release_(std::move(release)) {}
    ~ScopeExit() { release_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Release release_;
};

bool SameBytes(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

constexpr DWORD kFirstRetryMs = 1000;
constexpr DWORD kLongestRetryMs = 64000;

}  // namespace

TScheduleStore::TScheduleStore(TLogQueue* log)
    : Log(log), Synchronizer(std::make_unique<TDataSynchronizer>(kSyncName, 0)) {
    // Where another participant writes right now (both programs start at
    // logon), the worker tries again; the machine's values stand in meanwhile.
    bool completed = false;
    if (Record.CompletionPending() && Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
        completed = Complete();
    }
    LastLaunch_ = Record.ReadLastLaunch();
    const bool read = Load();
    RecordReadAtStart_ = !read                        ? core::RecordRead::None
                         : completed                  ? core::RecordRead::UserCompleted
                         : Record.CompletionPending() ? core::RecordRead::MachineStandingIn
                         : Record.UserKeyExists()     ? core::RecordRead::User
                                                      : core::RecordRead::Machine;
    Started = true;
}

bool TScheduleStore::Load() {
    const std::optional<TStoredValues> stored = Record.Read();
    if (!stored) return false;
    const std::uint8_t before = State_;
    if (stored->state) {
        // The bits the user set that are not stored yet stay as the user set them.
        State_ = static_cast<std::uint8_t>((State_ & UnsavedBits) | (*stored->state & ~UnsavedBits));
    }
    if (stored->startupDate) {
        // A moment that this process stored as used but could not save stays used.
        if (!SameBytes(*stored->startupDate, LastStoredDate)) {
            const double moment = *stored->startupDate;
            if (Started && !SameBytes(moment, StartupDate_))
                Note(Log, [&] { return core::MomentReadLine(moment, core::MomentSource::AnnouncedByMainApp); });
            StartupDate_ = moment;
        }
        LastStoredDate = *stored->startupDate;
    }
    if (Started && State_ != before)
        Note(Log, [&] { return core::FlagsChangedLine(before, State_, core::ChangedBy::MainApp); });
    return true;
}

bool TScheduleStore::Save() {
    if (!Record.Write(State_, StartupDate_)) return false;
    LastStoredDate = StartupDate_;
    return true;
}

void TScheduleStore::ApplyToggles(std::uint8_t mask, std::uint8_t bits) noexcept {
    State_ = static_cast<std::uint8_t>((State_ & ~mask) | (bits & mask));
    UnsavedBits |= mask;
}

bool TScheduleStore::ReadAnnouncedChange(HANDLE stopEvent) {
    const HANDLE notice = Synchronizer->Notice();
    if (notice && ::WaitForSingleObject(notice, 0) == WAIT_TIMEOUT) return false;
    // Another participant's write ended: write access is likely free now.
    NextTryTick = 0;
    if (!Synchronizer->BeginRead(kSyncTimeoutMs, stopEvent)) return notice != nullptr;
    ScopeExit endRead([this] { Synchronizer->EndRead(); });
    Load();
    return true;
}

bool TScheduleStore::SomethingToStore() const {
    return Record.CompletionPending() || UnsavedBits != 0 || LastLaunchUnsaved;
}

bool TScheduleStore::Complete() {
    if (!Record.CompleteUnderWriteAccess()) return false;
    // The machine's last launch may have come with the completion.
    if (!LastLaunch_) LastLaunch_ = Record.ReadLastLaunch();
    return true;
}

void TScheduleStore::RetryFailed() {
    RetryDelayMs = RetryDelayMs == 0 ? kFirstRetryMs : std::min(RetryDelayMs * 2, kLongestRetryMs);
    // The real tick count: tests choose the platform table's clocks for the power rules.
    NextTryTick = ::GetTickCount64() + RetryDelayMs;
}

void TScheduleStore::StorePending(bool force) {
    if (!SomethingToStore() || (!force && ::GetTickCount64() < NextTryTick)) return;
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        RetryFailed();
        return;
    }
    // The main application hears of a completion and of the flags; the last
    // launch is this program's own, and no reason for it to reload.
    bool announce = false;
    {
        ScopeExit endWrite([&] { announce ? Synchronizer->EndWrite() : Synchronizer->EndWriteUnannounced(); });
        // A completion that failed changed nothing the main application reads.
        if (Record.CompletionPending() && (announce = Complete()))
            Note(Log, [] { return core::RecordCompletedLine(); });
        if (UnsavedBits != 0) {
            // What another participant stored meanwhile comes first; the user's bits stay.
            Load();
            if (Save()) UnsavedBits = 0;
            announce = true;
        }
        if (LastLaunchUnsaved && LastLaunch_ && Record.WriteLastLaunch(*LastLaunch_)) LastLaunchUnsaved = false;
    }
    if (SomethingToStore()) {
        RetryFailed();
    } else {
        RetryDelayMs = 0;
        NextTryTick = 0;
    }
}

void TScheduleStore::NoteLaunch(const core::LastLaunch& launch) {
    LastLaunch_ = launch;
    LastLaunchUnsaved = true;
    // Stored under write access, so that it never lands between another
    // participant's reads and writes of the key.
    StorePending(true);
}

TScheduleStore::TConsumed TScheduleStore::Consume(double moment, const std::function<bool()>& stopping,
                                                   const PresenceTest& mainAppRuns,
                                                   const BeforePresence& beforePresence) {
    // The presence is tested before the moment is stored as used, so that
    // whoever sees it stored as 0 knows that the test has been made.
    const auto storeAsUsed = [&] {
        // A failure before the save leaves the moment pending for the next cycle.
        StartupDate_ = 0.0;
        bool saving = false;
        ScopeExit keepPending([&] {
            if (!saving) StartupDate_ = moment;
        });
        if (beforePresence) beforePresence();
        const bool runs = mainAppRuns();
        saving = true;
        UsedMomentWritten_ = Save();
        return runs ? TConsumed::MainAppRuns : TConsumed::MainAppAbsent;
    };
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        // Without write access the moment is stored as used all the same.
        if (stopping()) return TConsumed::No;
        return storeAsUsed();
    }
    // The other participants learn that the moment is now 0.
    ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
    if (Record.CompletionPending()) Complete();
    // What was stored since this cycle's read comes first: a new moment is
    // kept and tested in the next cycle, a suspension stops the launch.
    Load();
    const bool stillDue =
        !stopping() && SameBytes(StartupDate_, moment) && core::IsLaunchDue(State_, moment, LocalNow());
    return stillDue ? storeAsUsed() : TConsumed::No;
}

void TScheduleStore::StoreAtStop(DWORD waitMs) {
    if (Synchronizer->BeginWrite(waitMs)) {
        ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
        if (Record.CompletionPending()) Complete();
        Load();
        if (Save()) UnsavedBits = 0;
        if (LastLaunchUnsaved && LastLaunch_ && Record.WriteLastLaunch(*LastLaunch_)) LastLaunchUnsaved = false;
        return;
    }
    // Another participant holds the record: writing the flags and the moment
    // now could undo what it is storing, so they stay as it leaves them. A
    // user's key still to be completed would hide the machine's record until
    // the next start: it takes the values it lacks, and only those. The last
    // launch is a value of this program's own that no participant writes.
    if (Record.CompletionPending()) Complete();
    if (LastLaunchUnsaved && LastLaunch_ && Record.WriteLastLaunch(*LastLaunch_)) LastLaunchUnsaved = false;
}

}  // namespace vrln
