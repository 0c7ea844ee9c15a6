#include "sched/ThreadWakeUp.h"

#include "core/DateTime.h"
#include "core/Paths.h"

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

// ---- The scheduler thread -------------------------------------------------

TScheduler::TScheduler(bool createSuspended)
    : Synchronizer(std::make_unique<TDataSynchronizer>(kSyncName, 0)),
      StopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      WakeTimer_(std::make_unique<TWakeTimer>(
          [this] { return TWakeTimer::Schedule{StartupDate(), State(), Terminated()}; },
          [this](double moment) { TellMayNotWake(moment); })) {
    // Where another participant writes right now (both programs start at
    // logon), the worker's cycles try again; the machine's values stand in meanwhile.
    Record.TryComplete(*Synchronizer, kSyncTimeoutMs);
    LastLaunch_ = Record.ReadLastLaunch();
    LoadState();
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
    }
    // Under write access what another participant stored meanwhile is taken
    // in first, so the save cannot write older values over it.
    if (Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        Record.CompleteUnderWriteAccess();
        LoadState();
        SaveState();
        Synchronizer->EndWrite();
    } else {
        SaveState();
    }
    WakeTimer_->Arm();  // cancels it: nobody is left to launch
}

void TScheduler::Resume() {
    if (Thread_) ::ResumeThread(Thread_.get());
}

void TScheduler::SetPriority(int priority) {
    if (Thread_) ::SetThreadPriority(Thread_.get(), priority);
}

void TScheduler::AttachWakeUp(WakeUp routine, LaunchFailed failed, LaunchedLate late, MayNotWake mayNotWake) {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    OnWakeUp = std::move(routine);
    OnLaunchFailed = std::move(failed);
    OnLaunchedLate = std::move(late);
    OnMayNotWake = std::move(mayNotWake);
    // The moment loaded at construction was set before anyone could hear of it.
    if (OnMayNotWake && UntoldWakeWarning) OnMayNotWake(*std::exchange(UntoldWakeWarning, std::nullopt));
}

void TScheduler::DetachWakeUp() {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    OnWakeUp = nullptr;
    OnLaunchFailed = nullptr;
    OnLaunchedLate = nullptr;
    OnMayNotWake = nullptr;
}

void TScheduler::TellMayNotWake(double moment) {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    if (OnMayNotWake) {
        OnMayNotWake(moment);
    } else {
        UntoldWakeWarning = moment;
    }
}

void TScheduler::CallWakeUp() {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    if (OnWakeUp) OnWakeUp(*this);
}

void TScheduler::Step(TSchedulerStep step) {
    if (StepHookForTest) StepHookForTest(step);
}

DWORD WINAPI TScheduler::ThreadMain(LPVOID self) {
    try {
        static_cast<TScheduler*>(self)->Execute();
    } catch (...) {
        // Nothing may leave a thread routine; the worker just ends.
    }
    return 0;
}

bool TScheduler::Pause(DWORD ms, bool& woken) {
    // The wake timer ends the pause too, so that the launch follows the wake at once.
    const HANDLE events[] = {StopEvent.get(), WakeTimer_->Handle()};
    const DWORD count = events[1] ? 2 : 1;
    woken = false;
    // Without a stop event the worker keeps its pace all the same; a stop then waits out the pause.
    if (!StopEvent) {
        ::Sleep(ms);
        return !Terminated();
    }
    const DWORD ended = ::WaitForMultipleObjects(count, events, FALSE, ms);
    if (ended == WAIT_FAILED) ::Sleep(ms);
    woken = ended == WAIT_OBJECT_0 + 1;
    return !Terminated();
}

bool TScheduler::MomentComesWithin(DWORD ms) const {
    // An idle cycle does not read the clock: it costs a call into the system under Wine.
    const double moment = StartupDate();
    if (!(moment > 0) || (State() & core::kStateSuspended)) return false;
    const double ahead = moment - LocalNow();
    return ahead > 0 && ahead * 86400000.0 < ms;
}

bool TScheduler::MomentDue(double moment) const {
    return moment > 0 && !(State() & core::kStateSuspended) && core::IsLaunchDue(State(), moment, LocalNow());
}

void TScheduler::AwaitMoment(double moment) {
    // The local clock may run in steps of 16 ms behind the timer's.
    constexpr double kStepsAhead = 2.0 / 86400;
    const double ahead = moment - LocalNow();
    if (!(ahead > 0 && ahead < kStepsAhead) || !StopEvent) return;
    ::WaitForSingleObject(StopEvent.get(), static_cast<DWORD>(ahead * 86400000.0) + 1);
}

void TScheduler::Execute() {
    // The Network List Manager lives in the apartment that needs no message loop.
    const ComApartment com(COINIT_MULTITHREADED);
    // On the worker's stack: the machine is kept awake per thread, and only
    // this thread may ask or change what the decision keeps.
    TDueDecision due([] { return !MainAppNotRunning(); });
    bool woken = false;
    while (Pause(PauseMs, woken)) {
        try {
            if (!RunCycle(woken, due)) break;
        } catch (...) {
            // One failing cycle (memory for the tooltip's texts, a lock that could
            // not be taken) must not end the launches: the next one tries again.
        }
    }
}

bool TScheduler::RunCycle(bool woken, TDueDecision& due) {
    CallWakeUp();
    // After a wake by the timer, or with the moment coming before the read wait
    // would end (the timer then fires where no wait looks at it), the launch
    // does not wait out the read wait; a notice already there is still taken in.
    const bool onTheDot = woken || MomentComesWithin(kSyncTimeoutMs);
    if (Synchronizer->BeginRead(onTheDot ? 0 : kSyncTimeoutMs, StopEvent.get())) {
        ScopeExit endRead([this] { Synchronizer->EndRead(); });
        LoadState();
    }
    if (Terminated()) return false;
    Record.TryComplete(*Synchronizer, kSyncTimeoutMs);  // where it could not be done at the start
    SaveLastLaunch();  // one that did not get write access in time
    const double moment = StartupDate();
    if (onTheDot) AwaitMoment(moment);
    const bool isDue = MomentDue(moment);
    if (isDue) {
        Step(TSchedulerStep::DueTested);
        // A stop before the moment is stored as used leaves it for the next start.
        if (Terminated()) return false;
    }
    const TDueDecision::TAnswer answer = due.Ask(isDue ? std::optional<double>(moment) : std::nullopt);
    WaitingMoment_ = answer == TDueDecision::TAnswer::WaitForNetwork ? moment : 0.0;
    if (answer == TDueDecision::TAnswer::NothingDue || answer == TDueDecision::TAnswer::WaitForNetwork) return true;
    // Made before the moment is consumed: once it is stored as used, nothing
    // may fail before the start.
    const std::string commandLine = StartCommandLine(MainAppPath());
    bool mainAppRuns = false;
    {
        std::lock_guard<std::mutex> lock(LaunchLock);
        if (!ConsumeMoment(moment, mainAppRuns)) return true;
        Launching = !mainAppRuns;
    }
    ScopeExit launched([this] { Launching = false; });
    Step(TSchedulerStep::Consumed);
    // The moment is consumed whether or not the main application runs, so
    // it is never retried; once stored as used it is launched, even when a
    // stop came meanwhile.
    if (mainAppRuns) {
        due.Report(TDueDecision::TOutcome::FoundRunning);
        NoteLaunch({moment, LocalNow(), core::LaunchOutcome::AlreadyRunning});
    } else {
        LaunchMainApp(moment, commandLine, answer, due);
    }
    return !Terminated();
}

void TScheduler::LaunchMainApp(double moment, const std::string& commandLine, TDueDecision::TAnswer answer,
                               TDueDecision& due) {
    UINT result = 0;
    const double startedAt = LocalNow();
    const bool started = StartCommand(commandLine.c_str(),
                                      (State() & core::kStateMinimized) ? SW_SHOWMINIMIZED : SW_SHOWNORMAL, &result);
    due.Report(started ? TDueDecision::TOutcome::Started : TDueDecision::TOutcome::StartFailed);
    const core::LaunchOutcome outcome = !started ? core::LaunchOutcome::NotStarted
                                        : answer == TDueDecision::TAnswer::LaunchWithoutNetwork
                                            ? core::LaunchOutcome::StartedWithoutNetwork
                                            : core::LaunchOutcome::Started;
    const core::LastLaunch launch{moment, startedAt, outcome};
    NoteLaunch(launch);
    std::lock_guard<std::mutex> lock(WakeUpLock);
    if (!started && OnLaunchFailed) OnLaunchFailed(result);
    if (core::StartedLate(launch) && OnLaunchedLate) OnLaunchedLate();
}

std::optional<core::LastLaunch> TScheduler::LastLaunch() const {
    std::lock_guard<std::mutex> lock(LastLaunchLock);
    return LastLaunch_;
}

void TScheduler::NoteLaunch(const core::LastLaunch& launch) {
    {
        std::lock_guard<std::mutex> lock(LastLaunchLock);
        LastLaunch_ = launch;
        LastLaunchUnsaved = true;
    }
    SaveLastLaunch();
}

void TScheduler::SaveLastLaunch() {
    core::LastLaunch launch;
    {
        std::lock_guard<std::mutex> lock(LastLaunchLock);
        if (!LastLaunchUnsaved || !LastLaunch_) return;
        launch = *LastLaunch_;
    }
    // Under write access, so that it never lands between another participant's
    // reads and writes of the key; unannounced, since nobody else reads it.
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) return;
    bool written;
    {
        ScopeExit endWrite([this] { Synchronizer->EndWriteUnannounced(); });
        Record.CompleteUnderWriteAccess();
        written = Record.WriteLastLaunch(launch);
    }
    std::lock_guard<std::mutex> lock(LastLaunchLock);
    if (written && LastLaunch_ == launch) LastLaunchUnsaved = false;
}

TScheduler::TTakeResult TScheduler::TakeWaitingMoment(double& moment) {
    std::lock_guard<std::mutex> lock(LaunchLock);
    if (Launching) return TTakeResult::LaunchUnderWay;
    moment = WaitingMoment_.exchange(0.0);
    if (moment == 0.0) return TTakeResult::NoneWaiting;
    // Stored as used the way the worker stores its moments: one replaced or
    // suspended meanwhile is no longer this start's.
    bool mainAppRuns = false;
    return ConsumeMoment(moment, mainAppRuns) ? TTakeResult::Taken : TTakeResult::NoneWaiting;
}

bool TScheduler::ConsumeMoment(double moment, bool& mainAppRuns) {
    // The presence is tested before the moment is stored as used, so that
    // whoever sees it stored as 0 knows that the test has been made.
    if (!Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        // Without write access the moment is stored as used all the same, as
        // long as nothing in this process took in another one meanwhile.
        if (Terminated() || !StartupDate_.compare_exchange_strong(moment, 0.0)) return false;
        StoreAsUsed(moment, mainAppRuns);
        return true;
    }
    // The other participants learn that the moment is now 0.
    ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
    Record.CompleteUnderWriteAccess();
    // What was stored since this cycle's read comes first: a new moment is
    // kept and tested in the next cycle, a suspension stops the launch.
    LoadState();
    const bool stillDue = !Terminated() && StartupDate() == moment && core::IsLaunchDue(State(), moment, LocalNow());
    if (stillDue) {
        StartupDate_ = 0.0;
        StoreAsUsed(moment, mainAppRuns);
    }
    return stillDue;
}

void TScheduler::StoreAsUsed(double moment, bool& mainAppRuns) {
    // A failure before the save leaves the moment pending for the next cycle.
    bool saving = false;
    ScopeExit keepPending([&] {
        double used = 0.0;
        if (!saving) StartupDate_.compare_exchange_strong(used, moment);
    });
    Step(TSchedulerStep::Consuming);
    mainAppRuns = !MainAppNotRunning();
    saving = true;
    SaveState();
    WakeTimer_->Arm();
}

namespace {
// Compared as stored bytes, so that a moment that does not compare (NaN) still
// counts as unchanged when it is the same.
bool SameBytes(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

void TScheduler::LoadState() {
    const std::optional<TStoredValues> stored = Record.Read();
    if (!stored) return;
    {
        std::lock_guard<std::mutex> lock(StateLock);
        if (stored->state) {
            // The bits the user is setting right now stay as the user set them.
            State_ = static_cast<std::uint8_t>((State_.load() & BitsBeingSet) | (*stored->state & ~BitsBeingSet));
        }
        if (stored->startupDate) {
            // A moment that this process stored as used but could not save stays used.
            if (!SameBytes(*stored->startupDate, LastStoredDate)) StartupDate_ = *stored->startupDate;
            LastStoredDate = *stored->startupDate;
        }
    }
    WakeTimer_->Arm();
}

void TScheduler::SaveState() {
    std::lock_guard<std::mutex> lock(SaveLock);
    std::uint8_t state;
    double date;
    {
        std::lock_guard<std::mutex> stateLock(StateLock);
        state = State();
        date = StartupDate();
    }
    const bool dateSaved = Record.Write(state, date);
    std::lock_guard<std::mutex> stateLock(StateLock);
    if (dateSaved) LastStoredDate = date;
}

void TScheduler::SetState(std::uint8_t newState) {
    {
        std::lock_guard<std::mutex> lock(StateLock);
        const std::uint8_t changed = static_cast<std::uint8_t>(newState ^ State_.load());
        if (changed == 0) return;
        State_ = newState;
        BitsBeingSet = changed;
    }
    if (Synchronizer->BeginWrite(kSyncTimeoutMs)) {
        ScopeExit endWrite([this] { Synchronizer->EndWrite(); });
        Record.CompleteUnderWriteAccess();
        // Always read first: the worker may have taken this participant's
        // notice already and be waiting to read, so a pending notice is no
        // sign that the store holds nothing newer than memory.
        LoadState();
        SaveState();
    }
    {
        std::lock_guard<std::mutex> lock(StateLock);
        BitsBeingSet = 0;
    }
    WakeTimer_->Arm();
}

std::string TScheduler::NextLaunchText() const {
    return core::FormatLaunchMoment(StartupDate(), UserLocaleNames());
}

}  // namespace vrln
