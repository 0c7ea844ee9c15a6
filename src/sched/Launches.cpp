#include "sched/Launches.h"

#include "core/DateTime.h"
#include "core/LogLines.h"
#include "sched/LocalTime.h"
#include "sched/Connectivity.h"
#include "sched/MainApp.h"

#include <cstring>
#include <utility>

namespace vrln {

namespace {

// A start of the worker's that the main application may not yet show by its
// mutex: a "Load" within this time counts as taken by it.
constexpr ULONGLONG kJustStartedMs = 10000;
// An answer of the network asked ahead counts for the moment this long after it was had.
constexpr ULONGLONG kPreparedCountsMs = 10000;

bool MainAppRuns() { return !MainAppNotRunning(); }

}  // namespace

TLaunches::TLaunches(TContext context) : Context(std::move(context)) {}

void TLaunches::Step(TSchedulerStep step) const {
    if (Context.Step) Context.Step(step);
}

void TLaunches::AwaitMoment(double moment) {
    // The local clock may run in steps of 16 ms behind the timer's.
    constexpr double kStepsAhead = 2.0 / 86400;
    const double ahead = moment - LocalNow();
    if (!(ahead > 0 && ahead < kStepsAhead) || !Context.StopEvent) return;
    ::WaitForSingleObject(Context.StopEvent, static_cast<DWORD>(ahead * 86400000.0) + 1);
}

const TLaunches::TPrepared* TLaunches::PreparedFor(double moment) const {
    // An answer from before a sleep, or from long before the moment, tells nothing of the network now.
    if (!Prepared || std::memcmp(&Prepared->Moment, &moment, sizeof moment) != 0 ||
        ::GetTickCount64() - Prepared->AskedAt > kPreparedCountsMs)
        return nullptr;
    return &*Prepared;
}

void TLaunches::Prepare(double moment) {
    if (PreparedFor(moment)) return;
    Prepared = TPrepared{moment, StartCommandLine(MainAppPath()), AskForNetwork(), ::GetTickCount64()};
}

void TLaunches::RunDuePath(bool onTheDot) {
    TScheduleStore& store = Context.Store;
    const double moment = store.StartupDate();
    const bool pending = moment > 0 && !(store.State() & core::kStateSuspended);
    if (onTheDot && pending) AwaitMoment(moment);
    // An idle cycle reads no clock: it costs a call into the system under Wine.
    const double now = pending ? LocalNow() : 0.0;
    const bool isDue = pending && core::IsLaunchDue(store.State(), moment, now);
    if (pending && !isDue && (moment - now) * 86400000.0 <= kPrepareMs) Prepare(moment);
    if (isDue) {
        if (DueNotedFor != moment) Note(Context.Log, [&] { return core::MomentDueLine(moment); });
        DueNotedFor = moment;
        Step(TSchedulerStep::DueTested);
        // A stop before the moment is stored as used leaves it for the next start.
        if (Context.Stopping()) return;
    }
    const TPrepared* prepared = isDue ? PreparedFor(moment) : nullptr;
    const TDueDecision::TAnswer answer =
        Context.Due.Ask(isDue ? std::optional<double>(moment) : std::nullopt, prepared && prepared->Network.Up);
    WaitingMoment_ = answer == TDueDecision::TAnswer::WaitForNetwork ? moment : 0.0;
    if (answer == TDueDecision::TAnswer::NothingDue) return;
    NoteNetwork(moment, answer, prepared);
    if (answer == TDueDecision::TAnswer::WaitForNetwork) return;
    // Made before the moment is consumed: once it is stored as used, nothing
    // may fail before the start.
    const std::string commandLine = prepared ? std::move(Prepared->CommandLine) : StartCommandLine(MainAppPath());
    Prepared.reset();
    const TScheduleStore::TConsumed consumed =
        store.Consume(moment, Context.Stopping, &MainAppRuns, [this] { Step(TSchedulerStep::Consuming); });
    if (consumed == TScheduleStore::TConsumed::No) return;
    Note(Context.Log, [&] { return core::MomentConsumedLine(moment, store.UsedMomentWritten()); });
    Step(TSchedulerStep::Consumed);
    // The moment is consumed whether or not the main application runs, so it
    // is never retried; once stored as used it is launched, even when a stop
    // came meanwhile.
    LaunchConsumed(moment, consumed, commandLine,
                   (store.State() & core::kStateMinimized) ? SW_SHOWMINIMIZED : SW_SHOWNORMAL, answer, true);
}

void TLaunches::RunLoad() {
    // The user unloaded the program meanwhile: nothing is started on the way out.
    if (!LoadWanted || Context.Stopping()) return;
    const std::string commandLine = StartCommandLine(MainAppPath());
    // A moment that waits for a network is this start's: the worker starts
    // nothing more for it, and the machine is not held for a user's own start.
    if (WaitingMoment_ != 0.0) {
        const double moment = WaitingMoment_;
        const TScheduleStore::TConsumed consumed = Context.Store.Consume(moment, Context.Stopping, &MainAppRuns, {});
        if (consumed != TScheduleStore::TConsumed::No) {
            LoadWanted = false;
            WaitingMoment_ = 0.0;
            Context.Due.Ask(std::nullopt);
            LaunchConsumed(moment, consumed, commandLine, SW_SHOWNORMAL, TDueDecision::TAnswer::Launch, false);
            return;
        }
        if (Context.Stopping()) return;
    }
    LoadWanted = false;
    // A main application that runs, or that this worker has just started and
    // that may not show its mutex yet, is not started a second time.
    if (MainAppRuns() || JustStarted()) return;
    UINT result = 0;
    const bool started = Start(commandLine, SW_SHOWNORMAL, result);
    NoteStart(commandLine, SW_SHOWNORMAL, started, result);
    if (!started) Context.Tell({TTrayNotice::TKind::LaunchFailed, result});
}

void TLaunches::NoteNetwork(double moment, TDueDecision::TAnswer answer, const TPrepared* prepared) {
    const std::optional<TNetworkAnswer>& asked = Context.Due.NetworkAnswer();
    if (answer == TDueDecision::TAnswer::WaitForNetwork) {
        if (WaitNotedFor != moment && asked) Note(Context.Log, [&] { return core::NetworkWaitLine(asked->Judge); });
        WaitNotedFor = moment;
        return;
    }
    // Not asked at the moment: the main application runs, or the network was seen just before.
    const std::optional<TNetworkAnswer> network =
        asked ? asked : prepared ? std::optional<TNetworkAnswer>(prepared->Network) : std::nullopt;
    if (!network) return;
    const bool up = answer == TDueDecision::TAnswer::Launch;
    const ULONGLONG waited = asked ? Context.Due.DueForMs() : 0;
    Note(Context.Log, [&] { return core::NetworkAwaitedLine(up, network->Judge, waited); });
}

void TLaunches::NoteStart(const std::string& commandLine, UINT showCommand, bool started, UINT result) {
    if (started) {
        Note(Context.Log, [&] { return core::MainAppStartedLine(commandLine, showCommand, ::IsDBCSLeadByte); });
    } else {
        Note(Context.Log, [&] { return core::MainAppNotStartedLine(commandLine, result, false, ::IsDBCSLeadByte); });
    }
}

void TLaunches::LaunchConsumed(double moment, TScheduleStore::TConsumed consumed, const std::string& commandLine,
                               UINT showCommand, TDueDecision::TAnswer answer, bool planned) {
    if (consumed == TScheduleStore::TConsumed::MainAppRuns) {
        Note(Context.Log, [] { return core::MainAppRunningLine(); });
        if (planned) Context.Due.Report(TDueDecision::TOutcome::FoundRunning);
        Context.Store.NoteLaunch({moment, LocalNow(), core::LaunchOutcome::AlreadyRunning});
        return;
    }
    UINT result = 0;
    const double startedAt = LocalNow();
    const bool started = Start(commandLine, showCommand, result);
    NoteStart(commandLine, showCommand, started, result);
    if (planned) Context.Due.Report(started ? TDueDecision::TOutcome::Started : TDueDecision::TOutcome::StartFailed);
    const core::LaunchOutcome outcome = !started ? core::LaunchOutcome::NotStarted
                                        : answer == TDueDecision::TAnswer::LaunchWithoutNetwork
                                            ? core::LaunchOutcome::StartedWithoutNetwork
                                            : core::LaunchOutcome::Started;
    const core::LastLaunch launch{moment, startedAt, outcome};
    Context.Store.NoteLaunch(launch);
    if (!started) Context.Tell({TTrayNotice::TKind::LaunchFailed, result});
    if (planned && core::StartedLate(launch)) Context.Tell({TTrayNotice::TKind::LaunchedLate, 0, launch});
}

bool TLaunches::Start(const std::string& commandLine, UINT showCommand, UINT& result) {
    const bool started = StartCommand(commandLine.c_str(), showCommand, &result);
    if (started) StartedAt = ::GetTickCount64();
    return started;
}

bool TLaunches::JustStarted() const { return StartedAt && ::GetTickCount64() - *StartedAt < kJustStartedMs; }

}  // namespace vrln
