// The scheduler thread, the state it shares with the main application in the
// registry, and the routines that find, test and start programs by path and
// by presence mutex.
#pragma once

#include "sched/ThreadSync.h"
#include "win/Handles.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vrln {

// ---- Own path and single instance -------------------------------------

// The program's own full file path, at most 255 characters.
std::string OwnExePath();
// "APPLICATION-" + name, backslashes made underscores, upper-cased by the
// locale's ANSI rule, so that every copy on the machine builds the same name.
std::string MutexNameFor(const std::string& programName);
// The mutex that marks a running copy of this program: named after its file name.
std::string InstanceMutexName();
// True when this copy may run. The mutex handle stays held until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();

// ---- The main application ------------------------------------------------

std::string MainAppMutexName();
// True when the main application's presence mutex does not exist and could be
// created (and is gone again at once); false when it exists or neither works.
bool MainAppNotRunning();
// VRLN98.EXE in this program's own directory.
std::string MainAppPath();
// Starts the program at the path; a path with blanks is quoted so that the
// platform cannot pick C:\Program.exe for C:\Program Files\... . True when it started.
bool StartProgram(const std::string& path, UINT showCommand);

// ---- The registry record -------------------------------------------------

constexpr const char* kSchedulerKey = "Vorlane\\Scheduler";
// The same record in the user's own classes under HKEY_CURRENT_USER: kept there
// when the machine's key may not be written (a standard user's rights), and
// read before the machine's key, as Windows' merged view of HKCR does.
constexpr const char* kUserSchedulerKey = "Software\\Classes\\Vorlane\\Scheduler";
constexpr const char* kStateValue = "State";
constexpr const char* kStartupDateValue = "Startup date";
constexpr const char* kSyncName = "VorlaneSyncExchange";
constexpr DWORD kSyncTimeoutMs = 258;

// The local date and time now, as a launch moment.
double LocalNow();

// ---- The scheduler thread -------------------------------------------------

class TScheduler {
public:
    using WakeUp = std::function<void(TScheduler& sender)>;

    // Creates the synchroniser (participant 0), loads the state, then lets the
    // worker run unless createSuspended is set (Resume starts it then).
    explicit TScheduler(bool createSuspended = false);
    // Stops the worker at once, takes a change that the main application
    // announced meanwhile, and saves the state.
    ~TScheduler();
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    void Resume();

    // The callback of every cycle, called on the worker thread. After
    // DetachWakeUp returns, no call is running and none starts.
    void AttachWakeUp(WakeUp routine);
    void DetachWakeUp();

    void LoadState();
    void SaveState();
    // Changes the flags in memory at once, then stores them under write access
    // and notifies the main application.
    void SetState(std::uint8_t newState);

    std::uint8_t State() const { return State_.load(); }
    double StartupDate() const { return StartupDate_.load(); }
    // The next launch as text with the locale's names; empty when none is pending.
    std::string NextLaunchText() const;

    DWORD ThreadID() const { return ThreadId_; }
    HANDLE ThreadHandle() const { return Thread_.get(); }
    void SetPriority(int priority);

    static constexpr DWORD Period = 1000;

private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Execute();
    void CallWakeUp();
    bool Terminated() const { return Terminated_.load(); }

    std::atomic<std::uint8_t> State_{0};
    std::atomic<double> StartupDate_{0.0};
    std::unique_ptr<TDataSynchronizer> Synchronizer;

    std::mutex WakeUpLock;
    WakeUp OnWakeUp;

    // Reads both stored values; false when the key cannot be opened.
    bool ReadStored(bool& stateRead, std::uint8_t& state, bool& dateRead, double& date) const;

    // A reload must not bring back the stored bits over a user's change that
    // is being saved or was made while the reload read the registry.
    std::mutex StateLock;
    unsigned UserChanges = 0;
    unsigned WritesInFlight = 0;
    std::uint8_t UserBits = 0;  // every bit the user has ever changed
    // Each save writes one consistent snapshot of both values.
    std::mutex SaveLock;

    std::atomic<bool> Terminated_{false};
    UniqueHandle StopEvent;
    UniqueHandle Thread_;
    DWORD ThreadId_ = 0;
};

}  // namespace vrln
