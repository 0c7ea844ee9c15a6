// The starts of the main application that the scheduler makes: for a moment
// that has come (the due path) and for the user's "Load Vorlane...", by one
// rule, each giving way to the stop.
#pragma once

#include "sched/DueDecision.h"
#include "sched/HandOver.h"
#include "sched/ScheduleStore.h"
#include "sched/Connectivity.h"
#include "sched/DecisionLog.h"
#include "sched/WakeTimer.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace vrln {

// The points of the worker between which a test may hold it.
enum class TSchedulerStep {
    DueTested,   // the moment was found due; nothing consumed yet
    Consuming,   // the moment is cleared in memory, not yet stored as used
    Consumed,    // the moment is stored as used; the launch comes next
    CycleBegun,  // a cause woke the worker; nothing of it is taken yet
    CycleEnded,  // a cycle is over; the worker waits for its next cause
    Count
};

class TLaunches {
public:
    struct TContext {
        TScheduleStore& Store;
        TDueDecision& Due;
        // Set when the scheduler stops; waits on it end at once.
        HANDLE StopEvent = nullptr;
        std::function<bool()> Stopping;
        std::function<void(const TTrayNotice&)> Tell;
        std::function<void(TSchedulerStep)> Step;
        // The decisions go there, as they fall.
        TLogQueue* Log = nullptr;
    };

    explicit TLaunches(TContext context);
    TLaunches(const TLaunches&) = delete;
    TLaunches& operator=(const TLaunches&) = delete;

    // The moment in the store, when it has come: waited for a network,
    // consumed and launched. onTheDot: the wake timer set at the moment just
    // fired. Within kPrepareMs before the moment, what can be known ahead is
    // made ready instead, so that at the moment only the start is left.
    void RunDuePath(bool onTheDot);
    // Makes the command line and asks for the network for the moment. An
    // answer "network" is trusted at the moment, one "none" is asked again.
    void Prepare(double moment);
    static constexpr double kPrepareMs = TWakeTimer::kPrepareWindowMs;

    // "Load Vorlane...", carried out by RunLoad: a moment that waits for a
    // network is consumed by this start; a main application that runs, or that
    // this worker started a moment ago, is not started again; a failed start
    // is told. A request stays until it is decided, also across a failed cycle.
    void RequestLoad() { LoadWanted = true; }
    bool LoadRequested() const { return LoadWanted; }
    void RunLoad();

    // The moment that waits for a network, 0 when none does.
    double WaitingMoment() const { return WaitingMoment_; }

private:
    // Waits until the local clock shows a moment that is at most two seconds
    // ahead: the timer may fire a little before it does.
    void AwaitMoment(double moment);
    // Starts the main application for a consumed moment, or notes it as found
    // running; keeps what became of it and tells a failure.
    void LaunchConsumed(double moment, TScheduleStore::TConsumed consumed, const std::string& commandLine,
                        UINT showCommand, TDueDecision::TAnswer answer, bool planned);
    // The one start of the main application; true when it started.
    bool Start(const std::string& commandLine, UINT showCommand, UINT& result);
    bool JustStarted() const;
    void NoteStart(const std::string& commandLine, UINT showCommand, bool started, UINT result);
    void Step(TSchedulerStep step) const;

    // The command line, and whether a network was up, made ready for a moment.
    struct TPrepared {
        double Moment = 0.0;
        std::string CommandLine;
        TNetworkAnswer Network;
        ULONGLONG AskedAt = 0;  // on the tick count, which goes on while the machine sleeps
    };
    // What was made ready for the moment, if it is recent enough to count.
    const TPrepared* PreparedFor(double moment) const;
    // Notes what the due decision answered of the network, once a wait began or ended.
    void NoteNetwork(double moment, TDueDecision::TAnswer answer, const TPrepared* prepared);


    TContext Context;
    std::optional<TPrepared> Prepared;
    double WaitingMoment_ = 0.0;
    bool LoadWanted = false;
    std::optional<double> DueNotedFor, WaitNotedFor;
    std::optional<ULONGLONG> StartedAt;  // this worker's latest start of the main application
};

}  // namespace vrln
