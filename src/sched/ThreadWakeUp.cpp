#include "sched/ThreadWakeUp.h"

#include "core/DateTime.h"
#include "core/Paths.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vrln {

namespace {

UniqueHandle InstanceMutex;

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

// Compared as stored bytes, so that a moment that does not compare (NaN) still
// counts as unchanged when it is the same.
bool SameBytes(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A start of the worker's that the main application may not yet show by its
// mutex: a "Load" within this time counts as taken by it.
constexpr ULONGLONG kJustStartedMs = 10000;
// Without a wake timer the worker looks at a pending moment at least this often,
// so that a clock set forward is followed.
constexpr DWORD kMomentCheckMs = 60 * 60 * 1000;
constexpr DWORD kLongestRetryMs = 64000;

}  // namespace

// ---- Single instance ----------------------------------------------------

std::string InstanceMutexName() {
    return MutexNameFor(core::FileNamePart(OwnExePath(), ::IsDBCSLeadByte));
}

bool ClaimSingleInstance() {
    InstanceMutex.reset();
    const std::string name = InstanceMutexName();
    InstanceMutex.reset(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    if (InstanceMutex) return false;
    InstanceMutex.reset(::CreateMutexA(nullptr, FALSE, name.c_str()));
    // Two copies started at once can both miss the open: the later creation then
    // opens the other's mutex and says so.
    if (InstanceMutex && ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
    return InstanceMutex.valid();
}

void ReleaseSingleInstance() { InstanceMutex.reset(); }

// ---- What crosses between the threads ------------------------------------------

bool TTraySnapshot::operator==(const TTraySnapshot& other) const {
    return State == other.State && SameBytes(StartupDate, other.StartupDate) &&
           WaitingForNetwork == other.WaitingForNetwork && LastLaunch == other.LastLaunch;
}

// ---- The retry of a store ---------------------------------------------------------

// The real tick count: tests choose the platform table's clocks for the power rules.
bool TScheduler::TRetry::Due() const { return ::GetTickCount64() >= NextTick; }

DWORD TScheduler::TRetry::RemainingMs() const {
    const ULONGLONG now = ::GetTickCount64();
    return now >= NextTick ? 0 : static_cast<DWORD>(NextTick - now);
}

void TScheduler::TRetry::Failed() {
    DelayMs = DelayMs == 0 ? Period : std::min<DWORD>(DelayMs * 2, kLongestRetryMs);
    NextTick = ::GetTickCount64() + DelayMs;
}

// ---- The scheduler thread -------------------------------------------------

TScheduler::TScheduler(bool createSuspended)
    : Synchronizer(std::make_unique<TDataSynchronizer>(kSyncName, 0)),
      WakeTimer_(std::make_unique<TWakeTimer>(
          [this] { return TWakeTimer::Schedule{StartupDate_, State_, Terminated()}; },
          [this](double moment) { Tell({TTrayNotice::TKind::MayNotWake, 0, {}, moment}); })),
      StopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      RequestEvent(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    // Where another participant writes right now (both programs start at
    // logon), the worker tries again; the machine's values stand in meanwhile.
    if (Record.CompletionPending() && Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        Complete();
        Synchronizer->EndWrite();
    }
    LastLaunch_ = Record.ReadLastLaunch();
    LoadState();
    Publish();  // also where no record could be read
    // The thread starts suspended so that its first cycle cannot begin before
    // the object is complete.
    Thread_.reset(::CreateThread(nullptr, 0, &TScheduler::ThreadMain, this, CREATE_SUSPENDED, &ThreadId_));
    if (!createSuspended) Resume();
}

TScheduler::~TScheduler() {
    Terminated_ = true;
    if (StopEvent) ::SetEvent(StopEvent.get());
    if (Thread_) {
        ::ResumeThread(Thread_.get());  // a worker created suspended must run to end
        ::WaitForSingleObject(Thread_.get(), INFINITE);
    } else {
        SaveAtStop();  // no worker ever ran: this thread is the owner
    }
}

void TScheduler::Resume() {
    if (Thread_) ::ResumeThread(Thread_.get());
}

void TScheduler::SetPriority(int priority) {
    if (Thread_) ::SetThreadPriority(Thread_.get(), priority);
}

void TScheduler::Step(TSchedulerStep step) {
    if (StepHookForTest) StepHookForTest(step);
}

// ---- The hand-over ----------------------------------------------------------------

void TScheduler::AttachWakeUp(WakeUp routine) {
    std::lock_guard<std::mutex> lock(HandOverLock);
    OnWakeUp = std::move(routine);
    // What was made ready before the attach (the warning of the start-up load) comes with it.
    WakeUpCalled = OnWakeUp != nullptr;
    if (OnWakeUp) OnWakeUp(*this);
}

void TScheduler::DetachWakeUp() {
    std::lock_guard<std::mutex> lock(HandOverLock);
    OnWakeUp = nullptr;
}

TScheduler::THandOver TScheduler::TakeHandOver() {
    std::lock_guard<std::mutex> lock(HandOverLock);
    WakeUpCalled = false;
    THandOver handOver{Published, std::move(Notices)};
    Notices.clear();
    return handOver;
}

TTraySnapshot TScheduler::Snapshot() const {
    std::lock_guard<std::mutex> lock(HandOverLock);
    return Published;
}

void TScheduler::Publish() {
    TTraySnapshot snapshot{State_, StartupDate_, WaitingMoment != 0.0, LastLaunch_};
    if (PublishedOnce && snapshot == LastPublished) return;
    LastPublished = snapshot;
    PublishedOnce = true;
    std::lock_guard<std::mutex> lock(HandOverLock);
    // The user's flags that the worker has not taken yet stay as the user set them.
    for (const TRequest& request : Requests)
        if (request.Kind == TRequest::TKind::SetState)
            snapshot.State = static_cast<std::uint8_t>((snapshot.State & ~request.Mask) | request.Bits);
    Published = snapshot;
    if (OnWakeUp && !WakeUpCalled) {
        WakeUpCalled = true;
        OnWakeUp(*this);
    }
}

void TScheduler::Tell(const TTrayNotice& notice) {
    std::lock_guard<std::mutex> lock(HandOverLock);
    Notices.push_back(notice);
    if (OnWakeUp && !WakeUpCalled) {
        WakeUpCalled = true;
        OnWakeUp(*this);
    }
}

void TScheduler::SetState(std::uint8_t newState) {
    std::lock_guard<std::mutex> lock(HandOverLock);
    const auto mask = static_cast<std::uint8_t>(newState ^ Published.State);
    if (mask == 0) return;
    Published.State = newState;
    Requests.push_back({TRequest::TKind::SetState, mask, static_cast<std::uint8_t>(newState & mask)});
    if (RequestEvent) ::SetEvent(RequestEvent.get());
}

void TScheduler::LoadMainApp() {
    std::lock_guard<std::mutex> lock(HandOverLock);
    Requests.push_back({TRequest::TKind::Load});
    if (RequestEvent) ::SetEvent(RequestEvent.get());
}

void TScheduler::TimeChanged() {
    std::lock_guard<std::mutex> lock(HandOverLock);
    Requests.push_back({TRequest::TKind::TimeChanged});
    if (RequestEvent) ::SetEvent(RequestEvent.get());
}

std::vector<TScheduler::TRequest> TScheduler::TakeRequests() {
    std::lock_guard<std::mutex> lock(HandOverLock);
    std::vector<TRequest> taken;
    taken.swap(Requests);
    return taken;
}

std::string TScheduler::NextLaunchText() const {
    return core::FormatLaunchMoment(StartupDate(), UserLocaleNames());
}

// ---- The worker ---------------------------------------------------------------------

DWORD WINAPI TScheduler::ThreadMain(LPVOID self) {
    try {
        static_cast<TScheduler*>(self)->Execute();
    } catch (...) {
        // Nothing may leave a thread routine; the worker just ends.
    }
    return 0;
}

void TScheduler::Execute() {
    RunCycles();
    try {
        SaveAtStop();
    } catch (...) {
        // Memory for the save ran short: the values stay as the main application stored them.
    }
}

void TScheduler::RunCycles() {
    // The Network List Manager lives in the apartment that needs no message loop.
    const ComApartment com(COINIT_MULTITHREADED);
    // On the worker's stack: the machine is kept awake per thread, and only
    // this thread may ask or change what the decision keeps.
    TDueDecision due([] { return !MainAppNotRunning(); });
    bool woken = false;
    // The first cycle comes a second after the start, or at a cause before: a
    // main application that ends as this program starts has let go of its mutex by then.
    if (!WaitForCause(Period, woken)) return;
    while (!Terminated()) {
        try {
            RunCycle(woken, due);
            CycleFailed = false;
        } catch (...) {
            // One failing cycle (memory for a text, a lock that could not be
            // taken) must not end the launches: the next one tries again.
            CycleFailed = true;
        }
        Step(TSchedulerStep::CycleEnded);
        if (Terminated() || !WaitForCause(NextWaitMs(due), woken)) return;
    }
}

bool TScheduler::WaitForCause(DWORD ms, bool& woken) {
    woken = false;
    // Without a stop event the worker keeps a pace all the same; a stop then waits out the pause.
    if (!StopEvent) {
        ::Sleep(std::min(ms, Period));
        return !Terminated();
    }
    HANDLE causes[4] = {StopEvent.get()};
    DWORD count = 1;
    if (RequestEvent) causes[count++] = RequestEvent.get();
    const DWORD timerAt = WakeTimer_->Handle() ? count : MAXIMUM_WAIT_OBJECTS;
    if (WakeTimer_->Handle()) causes[count++] = WakeTimer_->Handle();
    if (HANDLE notice = Synchronizer->Notice()) causes[count++] = notice;
    const DWORD ended = ::WaitForMultipleObjects(count, causes, FALSE, ms);
    if (ended == WAIT_FAILED) ::Sleep(std::min(ms, Period));
    woken = ended == WAIT_OBJECT_0 + timerAt;
    return !Terminated();
}

bool TScheduler::MomentPending() const { return StartupDate_ > 0 && !(State_ & core::kStateSuspended); }

DWORD TScheduler::NextWaitMs(const TDueDecision& due) const {
    DWORD wait = INFINITE;
    // A network awaited, a hold to end, a moment waiting in vain for write access.
    if (due.Busy() || WaitingMoment != 0.0 || CycleFailed) wait = Period;
    if (SomethingToStore()) wait = std::min(wait, Retry.RemainingMs());
    if (MomentPending()) {
        const double ahead = (StartupDate_ - LocalNow()) * 86400000.0;
        if (!(ahead > 0)) {
            wait = std::min(wait, Period);
        } else if (!WakeTimer_->Armed()) {
            wait = std::min<DWORD>(wait, ahead < kMomentCheckMs ? static_cast<DWORD>(ahead) + 1 : kMomentCheckMs);
        } else {
            // The timer fires at the moment, asleep or not; this only guards against one that never does.
            wait = std::min(wait, kMomentCheckMs);
        }
    }
    return wait;
}

void TScheduler::RunCycle(bool woken, TDueDecision& due) {
    const std::vector<TRequest> requests = TakeRequests();
    bool stateChanged = false, load = false;
    for (const TRequest& request : requests) {
        switch (request.Kind) {
            case TRequest::TKind::SetState: {
                const std::uint8_t before = State_;
                ApplyStateRequest(request);
                stateChanged = stateChanged || State_ != before;
                break;
            }
            case TRequest::TKind::Load: load = true; break;
            case TRequest::TKind::TimeChanged: WakeTimer_->TimeChanged(); break;
        }
    }
    if (stateChanged) WakeTimer_->Arm();
    Publish();  // the user sees the flags at once, stored or not
    // Another participant's write ended: write access is likely free now.
    if (ReadAnnouncedChange()) Retry.Now();
    if (Terminated()) return;
    StorePending(stateChanged);
    RunDuePath(woken, due);
    if (load) Load(due);
    Publish();
}

void TScheduler::ApplyStateRequest(const TRequest& request) {
    State_ = static_cast<std::uint8_t>((State_ & ~request.Mask) | request.Bits);
    UnsavedBits |= request.Mask;
}

bool TScheduler::ReadAnnouncedChange() {
    const HANDLE notice = Synchronizer->Notice();
    if (notice && ::WaitForSingleObject(notice, 0) == WAIT_TIMEOUT) return false;
    if (!Synchronizer->BeginRead(kSyncTimeoutMs, StopEvent.get())) return notice != nullptr;
    ScopeExit endRead([this] { Synchronizer->EndRead(); });
    LoadState();
    return true;
}

bool TScheduler::SomethingToStore() const {
    return Record.CompletionPending() || UnsavedBits != 0 || LastLaunchUnsaved;
}

bool TScheduler::Complete() {
    if (!Record.CompleteUnderWriteAccess()) return false;
    // The machine's last launch may have come with the completion.
    if (!LastLaunch_) LastLaunch_ = Record.ReadLastLaunch();
    return true;
}

void TScheduler::StorePending(bool force) {
    if (!SomethingToStore() || (!force && !Retry.Due())) return;
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        Retry.Failed();
        return;
    }
    // The main application hears of a completion and of the flags; the last
    // launch is this program's own, and no reason for it to reload.
    bool announce = false;
    {
        ScopeExit endWrite([&] { announce ? Synchronizer->EndWrite() : Synchronizer->EndWriteUnannounced(); });
        // A completion that failed changed nothing the main application reads.
        if (Record.CompletionPending()) announce = Complete();
        if (UnsavedBits != 0) {
            // What another participant stored meanwhile comes first; the user's bits stay.
            LoadState();
            if (Save()) UnsavedBits = 0;
            announce = true;
        }
        if (LastLaunchUnsaved && LastLaunch_ && Record.WriteLastLaunch(*LastLaunch_)) LastLaunchUnsaved = false;
    }
    if (SomethingToStore()) {
        Retry.Failed();
    } else {
        Retry.Succeeded();
    }
}

void TScheduler::AwaitMoment(double moment) {
    // The local clock may run in steps of 16 ms behind the timer's.
    constexpr double kStepsAhead = 2.0 / 86400;
    const double ahead = moment - LocalNow();
    if (!(ahead > 0 && ahead < kStepsAhead) || !StopEvent) return;
    ::WaitForSingleObject(StopEvent.get(), static_cast<DWORD>(ahead * 86400000.0) + 1);
}

void TScheduler::RunDuePath(bool onTheDot, TDueDecision& due) {
    const double moment = StartupDate_;
    if (onTheDot) AwaitMoment(moment);
    // An idle cycle reads no clock: it costs a call into the system under Wine.
    const bool isDue = MomentPending() && core::IsLaunchDue(State_, moment, LocalNow());
    if (isDue) {
        Step(TSchedulerStep::DueTested);
        // A stop before the moment is stored as used leaves it for the next start.
        if (Terminated()) return;
    }
    const TDueDecision::TAnswer answer = due.Ask(isDue ? std::optional<double>(moment) : std::nullopt);
    WaitingMoment = answer == TDueDecision::TAnswer::WaitForNetwork ? moment : 0.0;
    if (answer == TDueDecision::TAnswer::NothingDue || answer == TDueDecision::TAnswer::WaitForNetwork) return;
    // Made before the moment is consumed: once it is stored as used, nothing
    // may fail before the start.
    const std::string commandLine = StartCommandLine(MainAppPath());
    bool mainAppRuns = false;
    if (!ConsumeMoment(moment, mainAppRuns)) return;
    Step(TSchedulerStep::Consumed);
    // The moment is consumed whether or not the main application runs, so
    // it is never retried; once stored as used it is launched, even when a
    // stop came meanwhile.
    if (mainAppRuns) {
        due.Report(TDueDecision::TOutcome::FoundRunning);
        NoteLaunch({moment, LocalNow(), core::LaunchOutcome::AlreadyRunning});
        return;
    }
    UINT result = 0;
    const double startedAt = LocalNow();
    const bool started =
        Start(commandLine, (State_ & core::kStateMinimized) ? SW_SHOWMINIMIZED : SW_SHOWNORMAL, result);
    due.Report(started ? TDueDecision::TOutcome::Started : TDueDecision::TOutcome::StartFailed);
    const core::LaunchOutcome outcome = !started ? core::LaunchOutcome::NotStarted
                                        : answer == TDueDecision::TAnswer::LaunchWithoutNetwork
                                            ? core::LaunchOutcome::StartedWithoutNetwork
                                            : core::LaunchOutcome::Started;
    const core::LastLaunch launch{moment, startedAt, outcome};
    NoteLaunch(launch);
    if (!started) Tell({TTrayNotice::TKind::LaunchFailed, result});
    if (core::StartedLate(launch)) Tell({TTrayNotice::TKind::LaunchedLate, 0, launch});
}

bool TScheduler::Start(const std::string& commandLine, UINT showCommand, UINT& result) {
    const bool started = StartCommand(commandLine.c_str(), showCommand, &result);
    if (started) StartedAt = ::GetTickCount64();
    return started;
}

void TScheduler::Load(TDueDecision& due) {
    const std::string commandLine = StartCommandLine(MainAppPath());
    UINT result = 0;
    // A moment that waits for a network is this start's: the worker starts
    // nothing more for it, and the machine is not held for a user's own start.
    if (WaitingMoment != 0.0) {
        const double moment = WaitingMoment;
        bool mainAppRuns = false;
        if (ConsumeMoment(moment, mainAppRuns)) {
            WaitingMoment = 0.0;
            due.Ask(std::nullopt);
            if (mainAppRuns) {
                NoteLaunch({moment, LocalNow(), core::LaunchOutcome::AlreadyRunning});
                return;
            }
            const double startedAt = LocalNow();
            const bool started = Start(commandLine, SW_SHOWNORMAL, result);
            NoteLaunch({moment, startedAt, started ? core::LaunchOutcome::Started : core::LaunchOutcome::NotStarted});
            if (!started) Tell({TTrayNotice::TKind::LaunchFailed, result});
            return;
        }
    }
    // A main application that runs, or that this worker has just started and
    // that may not show its mutex yet, is not started a second time.
    if (!MainAppNotRunning() || (StartedAt && ::GetTickCount64() - *StartedAt < kJustStartedMs)) return;
    if (!Start(commandLine, SW_SHOWNORMAL, result)) Tell({TTrayNotice::TKind::LaunchFailed, result});
}

void TScheduler::NoteLaunch(const core::LastLaunch& launch) {
    LastLaunch_ = launch;
    LastLaunchUnsaved = true;
    // Stored under write access, so that it never lands between another
    // participant's reads and writes of the key.
    StorePending(true);
}

bool TScheduler::ConsumeMoment(double moment, bool& mainAppRuns) {
    // The presence is tested before the moment is stored as used, so that
    // whoever sees it stored as 0 knows that the test has been made.
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        // Without write access the moment is stored as used all the same.
        if (Terminated()) return false;
        StoreAsUsed(moment, mainAppRuns);
        return true;
    }
    // The other participants learn that the moment is now 0.
    ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
    if (Record.CompletionPending()) Complete();
    // What was stored since this cycle's read comes first: a new moment is
    // kept and tested in the next cycle, a suspension stops the launch.
    LoadState();
    const bool stillDue = !Terminated() && SameBytes(StartupDate_, moment) &&
                          core::IsLaunchDue(State_, moment, LocalNow());
    if (stillDue) StoreAsUsed(moment, mainAppRuns);
    return stillDue;
}

void TScheduler::StoreAsUsed(double moment, bool& mainAppRuns) {
    // A failure before the save leaves the moment pending for the next cycle.
    StartupDate_ = 0.0;
    bool saving = false;
    ScopeExit keepPending([&] {
        if (!saving) StartupDate_ = moment;
    });
    Step(TSchedulerStep::Consuming);
    mainAppRuns = !MainAppNotRunning();
    saving = true;
    SaveState();
    WakeTimer_->Arm();
}

void TScheduler::LoadState() {
    const std::optional<TStoredValues> stored = Record.Read();
    if (!stored) return;
    if (stored->state) {
        // The bits the user set that are not stored yet stay as the user set them.
        State_ = static_cast<std::uint8_t>((State_ & UnsavedBits) | (*stored->state & ~UnsavedBits));
    }
    if (stored->startupDate) {
        // A moment that this process stored as used but could not save stays used.
        if (!SameBytes(*stored->startupDate, LastStoredDate)) StartupDate_ = *stored->startupDate;
        LastStoredDate = *stored->startupDate;
    }
    // Handed over before the timer's warning, so that the window shows the new moment with it.
    Publish();
    WakeTimer_->Arm();
}

void TScheduler::SaveState() { Save(); }

bool TScheduler::Save() {
    if (!Record.Write(State_, StartupDate_)) return false;
    LastStoredDate = StartupDate_;
    return true;
}

void TScheduler::SaveAtStop() {
    // The user's last toggles count, also those the worker had no cycle for.
    for (const TRequest& request : TakeRequests())
        if (request.Kind == TRequest::TKind::SetState) ApplyStateRequest(request);
    // Under write access what another participant stored meanwhile is taken
    // in first, so the save cannot write older values over it.
    if (Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
        if (Record.CompletionPending()) Complete();
        LoadState();
        SaveState();
        if (LastLaunchUnsaved && LastLaunch_) Record.WriteLastLaunch(*LastLaunch_);
    } else {
        SaveState();
    }
    WakeTimer_->Arm();  // cancels it: nobody is left to launch
}

}  // namespace vrln
