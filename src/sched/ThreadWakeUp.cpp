#include "sched/ThreadWakeUp.h"

#include "core/DateTime.h"
#include "core/LogLines.h"
#include "core/Paths.h"

#include "VrlnVersion.h"

#include <algorithm>
#include <utility>

namespace vrln {

namespace {

UniqueHandle InstanceMutex;

// Resets a pointer when the scope is left, also by an exception.
template <typename T>
class ScopedPointer {
public:
    ScopedPointer(const T*& pointer, const T* value) : pointer_(pointer) { pointer_ = value; }
    ~ScopedPointer() { pointer_ = nullptr; }
    ScopedPointer(const ScopedPointer&) = delete;
    ScopedPointer& operator=(const ScopedPointer&) = delete;

private:
    const T*& pointer_;
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
    : Store(&LogQueue),
      HandOver(TTraySnapshot{Store.State(), Store.StartupDate(), false, Store.LastLaunch()}),
      WakeTimer_(std::make_unique<TWakeTimer>(
          [this] { return TWakeTimer::Schedule{Store.StartupDate(), Store.State(), Terminated()}; },
          [this](double moment) { HandOver.Tell({TTrayNotice::TKind::MayNotWake, 0, {}, moment}); }, &LogQueue)),
      StopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    LogQueue.Note([this] {
        return core::ProgramStartedLine(VRLN_VERSION_TEXT, RunsAsStandardUser(), Store.RecordReadAtStart());
    });
    LogQueue.Note([this] { return core::MomentReadLine(Store.StartupDate(), core::MomentSource::FoundAtStart); });
    WakeTimer_->Arm();
    LogQueue.Flush(Log);
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

void TScheduler::AttachWakeUp(WakeUp routine) {
    if (!routine) {
        HandOver.Detach();
        return;
    }
    HandOver.Attach([this, routine = std::move(routine)] { return routine(*this); });
}

void TScheduler::DetachWakeUp() { HandOver.Detach(); }

std::string TScheduler::NextLaunchText() const {
    return core::FormatLaunchMoment(StartupDate(), UserLocaleNames());
}

void TScheduler::Publish() {
    HandOver.Publish(
        {Store.State(), Store.StartupDate(), Launches && Launches->WaitingMoment() != 0.0, Store.LastLaunch()});
}

void TScheduler::LoadState() {
    Store.Load();
    // Handed over before the timer's warning, so that the window shows the new moment with it.
    Publish();
    WakeTimer_->Arm();
}

void TScheduler::SaveState() { Store.Save(); }

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
    try {
        RunCycles();
    } catch (...) {
        // The cycles ended by a failure outside any one of them: what waits is stored all the same.
    }
    try {
        SaveAtStop();
    } catch (...) {
        // Memory for the save ran short: the values stay as the main application stored them.
    }
}

void TScheduler::RunCycles() {
    // On the worker's stack: the machine is kept awake per thread, and only
    // this thread may ask or change what the decision keeps.
    TDueDecision due([] { return !MainAppNotRunning(); }, &LogQueue);
    TLaunches launches({Store, due, StopEvent.get(), [this] { return Terminated(); },
                        [this](const TTrayNotice& notice) {
                            // The window shows the launch that the notice tells of with it.
                            Publish();
                            HandOver.Tell(notice);
                        },
                        [this](TSchedulerStep step) { Step(step); }, &LogQueue});
    const ScopedPointer<TLaunches> seen(Launches, &launches);
    Started = ::GetTickCount64();
    bool woken = false;
    while (WaitForCause(PlanWait(due, launches).NextWaitMs(), woken)) {
        try {
            RunCycle(woken, launches);
            CycleFailed = false;
        } catch (...) {
            // One failing cycle (memory for a text, a lock that could not be
            // taken) must not end the launches: the next one tries again.
            CycleFailed = true;
        }
        // Written once the cycle is over, so that a launch never waits for the file.
        LogQueue.Flush(Log);
        Step(TSchedulerStep::CycleEnded);
    }
}

bool TScheduler::WaitForCause(DWORD ms, bool& woken) {
    woken = false;
    if (Terminated()) return false;
    // Without a stop event the worker keeps a pace all the same; a stop then waits out the pause.
    if (!StopEvent) {
        ::Sleep(std::min(ms, Period));
        return !Terminated();
    }
    HANDLE causes[4] = {StopEvent.get()};
    DWORD count = 1;
    if (HANDLE requested = HandOver.RequestEvent()) causes[count++] = requested;
    const DWORD timerAt = WakeTimer_->Handle() ? count : MAXIMUM_WAIT_OBJECTS;
    if (WakeTimer_->Handle()) causes[count++] = WakeTimer_->Handle();
    // A cycle that failed may have left the notice untaken: it would end every wait at once.
    if (HANDLE notice = Store.Notice(); notice && !CycleFailed) causes[count++] = notice;
    const DWORD ended = ::WaitForMultipleObjects(count, causes, FALSE, ms);
    if (ended == WAIT_FAILED) ::Sleep(std::min(ms, Period));
    woken = ended == WAIT_OBJECT_0 + timerAt;
    return !Terminated();
}

TWaitPlan TScheduler::PlanWait(const TDueDecision& due, const TLaunches& launches) const {
    TWaitFacts facts;
    facts.Now = ::GetTickCount64();
    facts.Started = Started;
    facts.FirstDecisionMade = FirstDecisionMade;
    facts.NetworkAwaited = launches.WaitingMoment() != 0.0;
    facts.Holding = due.HoldsTheMachine();
    if (Store.SomethingToStore()) facts.StoreRetryAt = Store.RetryAt();
    facts.CycleFailed = CycleFailed;
    facts.WakeUpOwed = HandOver.WakeUpOwed();
    if (Store.StartupDate() > 0 && !(Store.State() & core::kStateSuspended)) {
        facts.MsToMoment = (Store.StartupDate() - LocalNow()) * 86400000.0;
        facts.TimerArmed = WakeTimer_->Armed();
    }
    return TWaitPlan(facts);
}

void TScheduler::RunCycle(bool woken, TLaunches& launches) {
    Step(TSchedulerStep::CycleBegun);
    // Taken whole and kept by the worker before anything can fail: a toggle
    // is applied at once, a Load and a time change stay wanted until done.
    const TSchedulerRequests requests = HandOver.TakeRequests();
    TakeFromTheWindow(requests);
    if (requests.Load) launches.RequestLoad();
    TimeChangeWanted = TimeChangeWanted || requests.TimeChanged;
    // Fired at the moment itself: the local clock may still show a little before it.
    const bool onTheDot = woken && WakeTimer_->Fired() == TWakeTimer::TFired::AtTheMoment;
    if (HandOver.WakeUpOwed()) HandOver.RetryWakeUp();
    Publish();  // the user sees the flags at once, stored or not
    if (TimeChangeWanted) {
        WakeTimer_->TimeChanged();
        TimeChangeWanted = false;
    }
    if (Store.ReadAnnouncedChange(StopEvent.get())) {
        // Handed over before the timer's warning, so that the window shows the new moment with it.
        Publish();
        WakeTimer_->Arm();
    }
    if (Terminated()) return;
    Store.StorePending(requests.Mask != 0);
    if (TWaitPlan::MayDecide(::GetTickCount64(), Started)) {
        FirstDecisionMade = true;
        launches.RunDuePath(onTheDot);
    }
    launches.RunLoad();
    Publish();
    WakeTimer_->Arm();
}

void TScheduler::TakeFromTheWindow(const TSchedulerRequests& requests) {
    const std::uint8_t before = Store.State();
    Store.ApplyToggles(requests.Mask, requests.Bits);
    for (TLogLine& line : HandOver.TakeLogLines()) LogQueue.Add(std::move(line));
    const std::uint8_t after = Store.State();
    if (after != before) LogQueue.Note([&] { return core::FlagsChangedLine(before, after, core::ChangedBy::User); });
}

void TScheduler::SaveAtStop() {
    // The user's last toggles count, also those the worker had no cycle for.
    TakeFromTheWindow(HandOver.TakeRequests());
    Store.StoreAtStop(kStopWriteMs);
    WakeTimer_->Arm();  // cancels it: nobody is left to launch
    LogQueue.Note([] { return core::ProgramStoppedLine(); });
    LogQueue.Flush(Log);
}

}  // namespace vrln
