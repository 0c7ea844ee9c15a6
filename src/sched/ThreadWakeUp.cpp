#include "sched/ThreadWakeUp.h"

#include "core/Browser.h"
#include "core/DateTime.h"
#include "core/Paths.h"
#include "win/Platform.h"

#include <cstring>
#include <utility>

namespace vrln {

namespace {

UniqueHandle InstanceMutex;

constexpr const char* kMainAppFileName = "VRLN98.EXE";
constexpr const char* kMainAppName = "Vorlane 98";

core::LocaleNames ReadLocaleNames() {
    core::LocaleNames names;
    char buffer[96];
    auto read = [&buffer](LCTYPE type) {
        const int n = ::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer) : std::string();
    };
    // LOCALE_SDAYNAME1 is Monday; the portable rules count from Sunday.
    names.longDayNames[0] = read(LOCALE_SDAYNAME7);
    for (int i = 0; i < 6; ++i) names.longDayNames[i + 1] = read(LOCALE_SDAYNAME1 + i);
    for (int i = 0; i < 12; ++i) names.shortMonthNames[i] = read(LOCALE_SABBREVMONTHNAME1 + i);
    names.timeSeparator = read(LOCALE_STIME);
    if (names.timeSeparator.empty()) names.timeSeparator = ":";
    return names;
}

const core::LocaleNames& LocaleNames() {
    static const core::LocaleNames names = ReadLocaleNames();
    return names;
}

// HKEY_CLASSES_ROOT shows the user's key instead of the machine's when both
// exist; Wine does not merge the two, so the user's key is opened by name first.
UniqueHkey OpenRecordForReading() {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS ||
        ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        return key;
    }
    return UniqueHkey();
}

// Windows writes a value through HKCR into the user's key when that exists; a
// new key goes to the machine's classes, which a standard user may not write:
// then the record moves to the user's classes, where the main application's
// writes through HKCR follow it.
UniqueHkey OpenRecordForWriting() {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS ||
        ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS ||
        ::RegCreateKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, key.put(), nullptr) == ERROR_SUCCESS ||
        ::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                          nullptr, key.put(), nullptr) == ERROR_SUCCESS) {
        return key;
    }
    return UniqueHkey();
}

// Whether HKCR could make the record anew, in the machine's classes, without
// making it: the nearest existing parent lets a subkey be made.
bool MachineClassesTakeANewRecord() {
    const std::pair<HKEY, const char*> parents[] = {{HKEY_CLASSES_ROOT, "Vorlane"},
                                                    {HKEY_LOCAL_MACHINE, "Software\\Classes"}};
    for (const auto& [root, parent] : parents) {
        UniqueHkey key;
        const LONG opened = ::RegOpenKeyExA(root, parent, 0, KEY_CREATE_SUB_KEY, key.put());
        if (opened != ERROR_FILE_NOT_FOUND) return opened == ERROR_SUCCESS;
    }
    return false;
}

// The machine's own record, not HKCR's view, which shows the user's key once that exists.
constexpr const char* kMachineSchedulerKey = "Software\\Classes\\Vorlane\\Scheduler";

// At start-up the user's key is made at once where the machine's key can be
// neither written nor made, so that the main application's next write through
// HKCR lands there too. Where the machine's key is writable nothing is made.
// The user's key hides the machine's in the HKCR view of both programs, so a
// value it lacks is taken from the machine's record: a pending launch and the
// flags are kept, also in a key that an earlier start made and left empty.
void PrepareRecord(TDataSynchronizer& exchange) {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        const LONG opened = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_WRITE, key.put());
        if (opened == ERROR_SUCCESS || (opened == ERROR_FILE_NOT_FOUND && MachineClassesTakeANewRecord())) return;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
            return;
    }
    UniqueHkey machine;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMachineSchedulerKey, 0, KEY_QUERY_VALUE, machine.put()) != ERROR_SUCCESS)
        return;
    // Without write access the main application is writing its record right
    // now, into the user's key, which it then completes itself.
    if (!exchange.BeginWrite(kSyncTimeoutMs)) return;
    for (const char* name : {kStateValue, kStartupDateValue}) {
        if (::RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND) continue;
        BYTE data[16];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (::RegQueryValueExA(machine.get(), name, nullptr, &type, data, &size) == ERROR_SUCCESS)
            ::RegSetValueExA(key.get(), name, 0, type, data, size);
    }
    exchange.EndWrite();
}

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

// ---- Own path and single instance -------------------------------------

std::string OwnExePath() {
    char buffer[256];
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    // A longer path is cut, and older systems then leave the buffer without its NUL.
    return std::string(buffer, n < 256 ? n : 255);
}

std::string MutexNameFor(const std::string& programName) {
    std::string name = core::InstanceMutexBaseName(programName);
    if (!name.empty()) ::CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

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

// ---- The main application ------------------------------------------------

std::string MainAppMutexName() { return MutexNameFor(kMainAppName); }

bool MainAppNotRunning() {
    const std::string name = MainAppMutexName();
    UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    return !mutex && ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string MainAppPath() { return core::DirectoryPart(OwnExePath(), ::IsDBCSLeadByte) + kMainAppFileName; }

std::string StartCommandLine(const std::string& path) { return core::QuoteIfBlank(path); }

bool StartCommand(const char* commandLine, UINT showCommand, UINT* result) {
    const UINT started = Platform().WinExec(commandLine, showCommand);
    if (result) *result = started;
    return started > 31;
}

bool StartProgram(const std::string& path, UINT showCommand, UINT* result) {
    return StartCommand(StartCommandLine(path).c_str(), showCommand, result);
}

// ---- The scheduler thread -------------------------------------------------

TScheduler::TScheduler(bool createSuspended)
    : Synchronizer(std::make_unique<TDataSynchronizer>(kSyncName, 0)),
      StopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      Power_(std::make_unique<TPowerKeeper>(
          [this] { return TPowerKeeper::Schedule{StartupDate(), State(), Terminated()}; })) {
    PrepareRecord(*Synchronizer);
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
        LoadState();
        SaveState();
        Synchronizer->EndWrite();
    } else {
        SaveState();
    }
    Power_->ArmWakeTimer();  // cancels it: nobody is left to launch
}

void TScheduler::Resume() {
    if (Thread_) ::ResumeThread(Thread_.get());
}

void TScheduler::SetPriority(int priority) {
    if (Thread_) ::SetThreadPriority(Thread_.get(), priority);
}

void TScheduler::AttachWakeUp(WakeUp routine, LaunchFailed failed) {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    OnWakeUp = std::move(routine);
    OnLaunchFailed = std::move(failed);
}

void TScheduler::DetachWakeUp() {
    std::lock_guard<std::mutex> lock(WakeUpLock);
    OnWakeUp = nullptr;
    OnLaunchFailed = nullptr;
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
    const HANDLE events[] = {StopEvent.get(), Power_->WakeTimer()};
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
    // The machine is kept awake per thread: the worker gives it back before it ends.
    ScopeExit endAwake([this] { Power_->Release(); });
    bool woken = false;
    while (Pause(PauseMs, woken)) {
        try {
            if (!RunCycle(woken)) break;
        } catch (...) {
            // One failing cycle (memory for the tooltip's texts, a lock that could
            // not be taken) must not end the launches: the next one tries again.
        }
    }
}

bool TScheduler::RunCycle(bool woken) {
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
    Power_->ReleaseWhenDone();
    const double moment = StartupDate();
    if (onTheDot) AwaitMoment(moment);
    if (!MomentDue(moment)) {
        Power_->NothingDue();
        return true;
    }
    Step(TSchedulerStep::DueTested);
    // A stop before the moment is stored as used leaves it for the next start.
    if (Terminated()) return false;
    // Made before the moment is consumed: once it is stored as used, nothing
    // may fail before the start.
    const std::string commandLine = StartCommandLine(MainAppPath());
    if (!Power_->DueMayLaunch(moment, !MainAppNotRunning())) return true;
    bool mainAppRuns = false;
    if (!ConsumeMoment(moment, mainAppRuns)) return true;
    Step(TSchedulerStep::Consumed);
    // The moment is consumed whether or not the main application runs, so
    // it is never retried; once stored as used it is launched, even when a
    // stop came meanwhile.
    if (mainAppRuns)
        Power_->Consumed(true);
    else
        LaunchMainApp(commandLine);
    return !Terminated();
}

void TScheduler::LaunchMainApp(const std::string& commandLine) {
    UINT result = 0;
    const bool started = StartCommand(commandLine.c_str(),
                                      (State() & core::kStateMinimized) ? SW_SHOWMINIMIZED : SW_SHOWNORMAL, &result);
    Power_->Consumed(started);
    if (started) return;
    std::lock_guard<std::mutex> lock(WakeUpLock);
    if (OnLaunchFailed) OnLaunchFailed(result);
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
    Power_->ArmWakeTimer();
}

bool TScheduler::ReadStored(bool& stateRead, std::uint8_t& state, bool& dateRead, double& date) const {
    const UniqueHkey key = OpenRecordForReading();
    if (!key) return false;
    // A state shorter than its buffer leaves zeros in the missing bytes.
    BYTE stateBytes[4] = {};
    DWORD size = sizeof stateBytes;
    stateRead = ::RegQueryValueExA(key.get(), kStateValue, nullptr, nullptr, stateBytes, &size) == ERROR_SUCCESS;
    state = stateBytes[0];
    BYTE dateBytes[8] = {};
    size = sizeof dateBytes;
    // A moment is exactly 8 bytes: a shorter value would read as a tiny moment
    // long past and launch at once.
    dateRead = ::RegQueryValueExA(key.get(), kStartupDateValue, nullptr, nullptr, dateBytes, &size) ==
                   ERROR_SUCCESS &&
               size == sizeof dateBytes;
    std::memcpy(&date, dateBytes, sizeof date);
    return true;
}

namespace {
// Compared as stored bytes, so that a moment that does not compare (NaN) still
// counts as unchanged when it is the same.
bool SameBytes(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

void TScheduler::LoadState() {
    bool stateRead = false, dateRead = false;
    std::uint8_t state = 0;
    double date = 0;
    if (!ReadStored(stateRead, state, dateRead, date)) return;

    {
        std::lock_guard<std::mutex> lock(StateLock);
        if (stateRead) {
            // The bits the user is setting right now stay as the user set them.
            State_ = static_cast<std::uint8_t>((State_.load() & BitsBeingSet) | (state & ~BitsBeingSet));
        }
        if (dateRead) {
            // A moment that this process stored as used but could not save stays used.
            if (!SameBytes(date, LastStoredDate)) StartupDate_ = date;
            LastStoredDate = date;
        }
    }
    Power_->ArmWakeTimer();
}

void TScheduler::SaveState() {
    std::lock_guard<std::mutex> lock(SaveLock);
    const UniqueHkey key = OpenRecordForWriting();
    if (!key) return;
    std::uint8_t stateByte;
    double date;
    {
        std::lock_guard<std::mutex> stateLock(StateLock);
        stateByte = State();
        date = StartupDate();
    }
    const DWORD state = stateByte;
    ::RegSetValueExA(key.get(), kStateValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&state), sizeof state);
    const bool dateSaved = ::RegSetValueExA(key.get(), kStartupDateValue, 0, REG_BINARY,
                                            reinterpret_cast<const BYTE*>(&date), sizeof date) == ERROR_SUCCESS;
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
    Power_->ArmWakeTimer();
}

std::string TScheduler::NextLaunchText() const {
    return core::FormatLaunchMoment(StartupDate(), LocaleNames());
}

}  // namespace vrln
