// The schedule as this program keeps it: the flags and the moment, the record
// they are stored in, the exchange with the main application around every
// access, and what is not stored yet (the user's flags, the completion of the
// user's record, the last launch) with the pause before the next try.
#pragma once

#include "core/LastLaunch.h"
#include "core/LogLines.h"
#include "sched/DecisionLog.h"
#include "sched/SchedulerRecord.h"
#include "sched/ThreadSync.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vrln {

constexpr const char* kSyncName = "VorlaneSyncExchange";
constexpr DWORD kSyncTimeoutMs = 258;

class TScheduleStore {
public:
    // Whether the main application runs; asked with the moment cleared, before it is stored as used.
    using PresenceTest = std::function<bool()>;
    // Called with the moment cleared in memory, before the presence test (a test holds the worker there).
    using BeforePresence = std::function<void()>;

    // Takes part in the exchange (participant 0), completes the user's record
    // where it can, and loads the values. What it finds later goes to the log.
    explicit TScheduleStore(TLogQueue* log = nullptr);
    TScheduleStore(const TScheduleStore&) = delete;
    TScheduleStore& operator=(const TScheduleStore&) = delete;

    std::uint8_t State() const { return State_; }
    double StartupDate() const { return StartupDate_; }
    const std::optional<core::LastLaunch>& LastLaunch() const { return LastLaunch_; }
    // Which record the values were read from at the start.
    core::RecordRead RecordReadAtStart() const { return RecordReadAtStart_; }
    // Whether the last moment stored as used was written.
    bool UsedMomentWritten() const { return UsedMomentWritten_; }
    // This participant's change notice, to wait on with other causes.
    HANDLE Notice() const { return Synchronizer->Notice(); }

    // Takes in the stored values: flags the user set that are not stored yet
    // stay as the user set them, and a moment used here whose save failed is
    // not brought back. False when no record could be read.
    bool Load();
    // Writes both values; true only when both were written.
    bool Save();

    // The user's flags, at once in memory; stored by StorePending.
    void ApplyToggles(std::uint8_t mask, std::uint8_t bits) noexcept;
    // Loads the values when this participant has a notice (the stop event ends
    // the waits); true when it took one. A notice means that another
    // participant's write ended, so what waits to be stored is tried at once.
    bool ReadAnnouncedChange(HANDLE stopEvent);

    // Completion, flags and last launch that are still to be stored, under one
    // write access; when that is not had, tried again after a pause that
    // doubles up to a minute. force ignores the pause.
    void StorePending(bool force);
    bool SomethingToStore() const;
    // When the next try of StorePending is due, on the real tick count.
    ULONGLONG RetryAt() const { return NextTryTick; }

    // Keeps what became of a consumed moment and stores it under write access.
    void NoteLaunch(const core::LastLaunch& launch);

    enum class TConsumed { No, MainAppRuns, MainAppAbsent };
    // Stores the moment as used, under write access when that comes within the
    // exchange's time-out, and tests meanwhile whether the main application
    // runs. No when the moment is no longer the one to launch: another one
    // was stored, launches were suspended, or stopping holds before it was
    // stored as used. Without write access it is stored as used all the same.
    TConsumed Consume(double moment, const std::function<bool()>& stopping, const PresenceTest& mainAppRuns,
                      const BeforePresence& beforePresence);

    // The last store at the stop, under write access: what another participant
    // stored meanwhile comes first. When access is not had within waitMs,
    // nothing is written over a value of the record: a user's record still to
    // be completed takes the values it lacks, and the last launch is stored.
    void StoreAtStop(DWORD waitMs);

    // For tests: the exchange as the store takes part in it.
    TDataSynchronizer& ExchangeForTest() { return *Synchronizer; }

private:
    // Completes the record under the write access the caller holds; true once done.
    bool Complete();
    void RetryFailed();

    TLogQueue* const Log;
    TSchedulerRecord Record;
    std::unique_ptr<TDataSynchronizer> Synchronizer;
    core::RecordRead RecordReadAtStart_ = core::RecordRead::None;
    bool UsedMomentWritten_ = false;
    bool Started = false;  // what Load finds from now on was stored by another participant
    std::uint8_t State_ = 0;
    double StartupDate_ = 0.0;
    // The moment as this participant last read or wrote it: a stored moment
    // that differs from it was changed by another participant.
    double LastStoredDate = 0.0;
    std::uint8_t UnsavedBits = 0;  // set by the user, not stored yet
    std::optional<core::LastLaunch> LastLaunch_;
    bool LastLaunchUnsaved = false;
    DWORD RetryDelayMs = 0;
    ULONGLONG NextTryTick = 0;
};

}  // namespace vrln
