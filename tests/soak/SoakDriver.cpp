// Soak run: the real VrlnSchd.exe for a bounded time under steady load, then
// a verdict on what it must have kept true throughout.
//
// usage: soak_driver [SECONDS] [--seed=N]      (default 600 seconds)
//
// One console process drives everything, with one thread per role:
//   writer    participant 1, as the main application: about ten times a
//             second it takes write access, stores the state byte and, while
//             a moment is being planned, the launch moment, and notifies.
//   reader    participant 2: reads both values under the protocol after
//             every notice; its observations tell when a moment was consumed.
//   user      every few seconds opens the tray menu and closes it again, or
//             toggles "&Suspend" (WM_COMMAND 104), sometimes while the menu
//             is open, or opens the page of a local web (WM_COMMAND 200+n)
//             in the stand-in browser that the work path's Vorlane.ini names.
//             That browser (a process of its own) answers each request after
//             about 3 s and, while it waits, sends the program a pick of
//             another web, as a user's click does.
//   prober    sends WM_NULL every 100 ms and wants an answer within 1000 ms
//             (outside page openings: see check 6).
//   sampler   every 2 s: the program's handles, private bytes, USER and GDI
//             objects and windows.
//   conductor (main thread) plans one launch moment after the other, a few
//             seconds ahead, and decides for each whether the stand-in main
//             application is running when it falls due (started here with
//             --hold) or absent; the stand-in's start log tells which starts
//             the program made.
//
// The checks and why they are what the program guarantees:
//   1. A moment that falls due while the main application is absent starts it
//      exactly once, with the show command that bit 1 of the state asks for;
//      one that falls due while it runs starts nothing. The writer stops
//      writing a moment 1 s before it is due and never writes 0, so only the
//      program clears it, and a second start could only come from the program.
//   2. No moment is cleared before it is due, and none while launches are
//      certainly suspended (from the return of a toggle that stored bit 0 set
//      until the next toggle begins). Every moment is consumed in the end.
//   3. Every toggle reaches the registry. The command only asks the
//      scheduler's worker, which stores the bit under write access, trying
//      again while the writer holds it; the toggle counts from the command
//      until the registry shows the new bit, within kToggleStoredWithinMs.
//      The writer keeps bit 0 as the registry holds it (it reads it under
//      write access), so no write of the main application can undo a toggle,
//      and bit 0 never changes except by a toggle.
//   4. No deadlock: every probe outside page openings is answered within
//      1000 ms, every toggle returns, every menu opens and closes, and the
//      program ends with exit code 0 when its window is closed at the end.
//   5. Handles, USER and GDI objects, windows and private bytes stay flat
//      after a warm-up (the first minute, or a third of a shorter run): the
//      median of the last window may exceed the median of the first window
//      after the warm-up by a small tolerance only (see kTolerance*). A figure
//      that the platform does not report is shown as "n/a" and not judged.
//      Handles are judged less what the platform's own WinExec leaves behind
//      per start (measured at set-up with the same call; 0 where it leaks none).
//   6. Every page asked for reaches the browser as exactly one request for
//      that web: a pick that arrives during the request is dropped, never
//      made a second request. The program is idle again after each opening
//      (its menu opens).
//      While a request waits, the platform's DDE wait may leave sent
//      messages unanswered until the reply (Wine does), so probes that
//      overlap a page opening are counted on their own, not judged.
// Also counted, not judged: writes of the main application that the program
// overwrote with an older value it still held in memory (see the report).
#include "Probe.h"
#include "TestSupport.h"

#include "app/VrlnSchdMain.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "sched/ThreadSync.h"
#include "sched/ThreadWakeUp.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace vrln;
using namespace vrln::test;
using vrln::soak::NowMs;

namespace {

constexpr double kMsPerDay = 86400.0 * 1000.0;
constexpr DWORD kWriterPeriodMs = 100;
constexpr DWORD kWriterAccessMs = 1000;
constexpr DWORD kProbePeriodMs = 100;
constexpr DWORD kProbeLimitMs = 1000;
constexpr DWORD kSamplePeriodMs = 2000;
constexpr double kLastMomentWriteMs = 1000;  // the writer leaves a moment alone this long before it is due
constexpr DWORD kLaunchedLifetimeMs = 700;   // STANDIN_MAINAPP_LIFETIME of the starts the program makes
constexpr double kConsumeLimitMs = 120000;
constexpr DWORD kSettleMs = 500;
constexpr double kUncertainAfterLostToggleMs = 4000;  // > 3 scheduler cycles with a writer notice each
constexpr double kToggleStoredWithinMs = 10000;
constexpr int kWebs = 3;
constexpr DWORD kBrowserReplyMs = 3000;
constexpr DWORD kPageBackMs = 25000;  // from the pick until the program is idle again

// Tolerances of the flatness check, on medians (transients such as a start in
// progress or an open menu rarely reach a median, but may): a handle or two,
// a window, and for memory the granularity at which the heap grows.
constexpr long long kToleranceHandles = 2;
constexpr long long kToleranceObjects = 2;
constexpr long long kToleranceWindows = 1;
constexpr long long kTolerancePrivateBytes = 256 * 1024;

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool ReadState(DWORD& state, double* moment = nullptr) {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegQueryValueExA(key.get(), kStateValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        value = 0;
    state = value;
    if (moment) {
        double date = 0;
        size = sizeof date;
        if (::RegQueryValueExA(key.get(), kStartupDateValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&date),
                               &size) != ERROR_SUCCESS)
            date = 0;
        *moment = date;
    }
    return true;
}

// The show commands of the starts that the program made: the stand-in's log
// lines without the --hold of the starts made here.
std::vector<int> ProgramStarts(const std::string& log) {
    std::vector<int> shows;
    for (const std::string& line : ReadLines(log)) {
        if (line.find("cmd=") == std::string::npos || line.find("--hold") != std::string::npos) continue;
        const std::size_t at = line.find("show=");
        shows.push_back(at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 5));
    }
    return shows;
}

struct Plan {
    int index = -1;
    double due = 0;               // local date-time
    double lastMomentWrite = 0;   // local date-time
    bool minimized = false;
};

struct ToggleRecord {
    double startMs = 0;
    double endMs = 0;
    bool answered = false;
    bool bitBefore = false;
    bool bitAfter = false;
    bool saved = false;
};

struct MomentRecord {
    int index = 0;
    bool present = false;
    bool minimized = false;
    double due = 0;
    bool consumed = false;
    double lastNonZeroMs = -1;  // the last read that still found the moment
    double zeroSeenMs = -1;     // the first read that found it cleared
    std::vector<int> shows;     // starts the program made for it
};

struct Sample {
    double atMs;
    soak::ResourceSample figures;
    long long starts;            // starts the program had made by then
    long long programHandles;    // handles less what the platform's starts left behind
};

class Soak {
public:
    Soak(DWORD seconds, unsigned seed) : seconds_(seconds), random_(seed), seed_(seed) {}
    int Run();

private:
    bool Prepare();
    void CalibrateStartLeak();
    void Finish();
    void Writer();
    void Reader();
    void User();
    void Prober();
    void Sampler();
    void Conduct();
    void RunMoment(int index);
    bool Toggle();
    void OpenAndCloseMenu(bool toggleWhileOpen);
    bool StartBrowser();
    std::vector<std::string> BrowserRequests() const;
    void OpenPage(int web);
    bool StartHeld();
    void StopHeld();
    bool ProgramAlive() const {
        return program_.handle && ::WaitForSingleObject(program_.handle.get(), 0) == WAIT_TIMEOUT;
    }
    void Fail(const char* format, ...);
    bool SleepUnlessStopped(DWORD ms);
    int Report();

    const DWORD seconds_;
    std::mt19937 random_;
    const unsigned seed_;
    std::string dir_;
    std::string log_;
    std::string savedWorkPath_;
    bool hadWorkPath_ = false;
    Process program_;
    HWND wnd_ = nullptr;
    UniqueHandle watched_;
    UniqueHandle held_;  // the stand-in started here with --hold
    Process browser_;
    std::string browserLog_;
    DWORD heldThreadId_ = 0;
    std::atomic<bool> stop_{false};
    // Odd while a page opens: a probe that saw it odd or saw it change overlapped one.
    std::atomic<unsigned> pageEdges_{0};
    double startMs_ = 0;
    double startLeak_ = 0;  // handles that one start leaves in the starting process

    std::mutex lock_;  // guards everything below
    Plan plan_;
    int writtenFor_ = -1;  // the last plan whose moment the writer stored
    std::vector<MomentRecord> moments_;
    std::vector<std::string> failures_;
    // Writer
    long writes_ = 0, momentWrites_ = 0, writeTimeouts_ = 0, longestTimeoutRun_ = 0, timeoutRun_ = 0;
    // Suspension as the registry shows it, for the writer's bit-0 check.
    bool expectedBit0_ = false;
    bool toggleInFlight_ = false;
    unsigned toggleGeneration_ = 0;
    double uncertainUntilMs_ = 0;
    std::vector<ToggleRecord> toggles_;
    long lostToggles_ = 0;
    double slowestToggleMs_ = 0;
    // Reader
    long reads_ = 0;
    long staleMomentOverwrites_ = 0;
    long staleStateOverwrites_ = 0;
    bool lastReadHadMoment_ = false;
    bool lastReadBit1Right_ = true;
    // User
    long menusAsked_ = 0, menusOpened_ = 0, menusClosed_ = 0;
    long pagesAsked_ = 0, pagesBack_ = 0;
    // Prober
    long probes_ = 0, unanswered_ = 0, slowProbes_ = 0, pageProbes_ = 0, pageProbesUnanswered_ = 0;
    double slowestProbeMs_ = 0;
    // Sampler
    std::vector<Sample> samples_;
};

void Soak::Fail(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Say("FAIL at %.1f s: %s", (NowMs() - startMs_) / 1000.0, text);
    std::lock_guard<std::mutex> lock(lock_);
    failures_.push_back(text);
}

bool Soak::SleepUnlessStopped(DWORD ms) {
    const double end = NowMs() + ms;
    while (!stop_) {
        const double left = end - NowMs();
        if (left <= 0) return true;
        ::Sleep(static_cast<DWORD>(std::min(left, 50.0)) + 1);
    }
    return false;
}

// ---- Set-up ------------------------------------------------------------------

bool Soak::Prepare() {
    dir_ = NewScratchDir("soak");
    if (dir_.empty() || !CopyInto(BinDir() + "VrlnSchd.exe", dir_ + "VrlnSchd.exe") ||
        !CopyInto(BinDir() + "VRLN98.EXE", dir_ + "VRLN98.EXE")) {
        Say("cannot prepare %s with VrlnSchd.exe and VRLN98.EXE from %s", dir_.c_str(), BinDir().c_str());
        return false;
    }
    log_ = dir_ + "starts.log";
    SetEnv("STANDIN_MAINAPP_LOG", log_);
    SetEnv("STANDIN_MAINAPP_LIFETIME", std::to_string(kLaunchedLifetimeMs));

    // A work path with three local webs, each in its own folder, so that every
    // menu opening reads files and each page request names its web.
    char saved[256] = {};
    hadWorkPath_ = ::GetProfileStringA("VORLANE", "WORKPATH", "\x01", saved, sizeof saved) > 0 && saved[0] != '\x01';
    savedWorkPath_ = saved;
    std::string lines;
    for (int i = 1; i <= kWebs; ++i) {
        const std::string title = "Soak web " + std::to_string(i);
        std::string head;
        head += '\x01';
        head += 'A';
        head += '\x01';
        head += '\x00';  // version 1: the title follows at once
        head += static_cast<char>(title.size());
        head += title;
        const std::string folder = dir_ + "web" + std::to_string(i);
        const std::string web = folder + "\\web.dat";
        ::CreateDirectoryA(folder.c_str(), nullptr);
        WriteWholeFile(web, head);
        lines += web + "\r\n";
    }
    WriteWholeFile(dir_ + "webs.dat", lines);
    ::WriteProfileStringA("VORLANE", "WORKPATH", dir_.c_str());
    if (!StartBrowser()) {
        Say("the stand-in browser did not start from %s", dir_.c_str());
        return false;
    }

    CalibrateStartLeak();
    DeleteSchedulerKey();
    WriteSchedulerValues(0, 0.0);
    program_ = Start("\"" + dir_ + "VrlnSchd.exe\"", dir_);
    if (!program_.handle || (wnd_ = WaitUntilReady(program_, 30000)) == nullptr) {
        Say("VrlnSchd.exe did not start or shows no window");
        return false;
    }
    watched_.reset(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, program_.id));
    if (!watched_) {
        Say("cannot open VrlnSchd.exe for its figures");
        return false;
    }
    return true;
}

// The browser that Vorlane.ini in the work path names, started before the
// program reads that file; the program then talks to it over DDE only.
bool Soak::StartBrowser() {
    browserLog_ = dir_ + "browser.log";
    if (!CopyInto(BinDir() + "browse.exe", dir_ + "browse.exe") ||
        !WriteWholeFile(dir_ + "Vorlane.ini", "[Browser]\r\nExeName=" + dir_ + "browse.exe\r\n"))
        return false;
    const std::pair<const char*, std::string> settings[] = {
        {"STANDIN_BROWSER_MODE", "late"},
        {"STANDIN_BROWSER_REPLY_MS", std::to_string(kBrowserReplyMs)},
        // A pick of the second web, sent as the shell hands on a click.
        {"STANDIN_BROWSER_POST", "!" + std::to_string(WM_COMMAND) + ":" + std::to_string(IDM_WEB_BASE + 1)},
        {"STANDIN_BROWSER_LOG", browserLog_},
        {"STANDIN_BROWSER_LIFETIME", std::to_string(seconds_ + 900)},
    };
    for (const auto& setting : settings) SetEnv(setting.first, setting.second);
    browser_ = Start("\"" + dir_ + "browse.exe\"", dir_);
    for (const auto& setting : settings) ClearEnv(setting.first);
    return browser_.handle &&
           WaitFor([this] { return FindProcessWindow(browser_.id, "VrlnStandinBrowser") != nullptr; }, 15000);
}

std::vector<std::string> Soak::BrowserRequests() const {
    std::vector<std::string> requests;
    for (const std::string& line : ReadLines(browserLog_))
        if (line.rfind("request ", 0) == 0) requests.push_back(line.substr(8));
    return requests;
}

// Wine's WinExec leaves one event handle in the calling process for every
// start (from its wait until the started program is idle). The program makes
// one WinExec per start, so the handle check takes off what the same call
// leaves here, measured with the program's own StartProgram.
void Soak::CalibrateStartLeak() {
    SetEnv("STANDIN_MAINAPP_LOG", dir_ + "calibration.log");
    auto handles = [] { return soak::SampleResources(::GetCurrentProcess(), ::GetCurrentProcessId()).handles; };
    // The first starts also load and open what every later one reuses: the
    // median of the increments of the last few is the cost of one start.
    std::vector<long long> steps;
    long long last = handles();
    for (int i = 0; i < 7; ++i) {
        StartProgram(dir_ + "VRLN98.EXE", SW_SHOWMINNOACTIVE);
        WaitFor([] { return !MutexExists(MainAppMutexName()); }, 15000);
        const long long now = handles();
        if (i >= 2 && last >= 0 && now >= 0) steps.push_back(now - last);
        last = now;
    }
    SetEnv("STANDIN_MAINAPP_LOG", log_);
    std::sort(steps.begin(), steps.end());
    if (!steps.empty()) startLeak_ = static_cast<double>(std::max(0LL, steps[steps.size() / 2]));
    std::string increments;
    for (long long step : steps) increments += " " + std::to_string(step);
    Say("set-up: one start leaves %.0f handle(s) in the starting process (increments:%s)", startLeak_,
        increments.c_str());
}

void Soak::Finish() {
    StopHeld();
    if (wnd_) ::PostMessageA(wnd_, WM_CLOSE, 0, 0);
    if (program_.handle) {
        const DWORD code = WaitExit(program_, 30000);
        if (code == STILL_ACTIVE)
            Fail("VrlnSchd.exe did not end within 30 s of WM_CLOSE");
        else if (code != 0)
            Fail("VrlnSchd.exe ended with exit code %lu", code);
        Kill(program_);
    }
    if (browser_.handle) {
        if (HWND window = FindProcessWindow(browser_.id, "VrlnStandinBrowser"))
            ::PostMessageA(window, WM_CLOSE, 0, 0);
        if (WaitExit(browser_, 10000) == STILL_ACTIVE) Kill(browser_);
    }
    ::WriteProfileStringA("VORLANE", "WORKPATH", hadWorkPath_ ? savedWorkPath_.c_str() : nullptr);
    ClearEnv("STANDIN_MAINAPP_LOG");
    ClearEnv("STANDIN_MAINAPP_LIFETIME");
    DeleteSchedulerKey();
}

// ---- The main application's two participants ----------------------------------

void Soak::Writer() {
    TDataSynchronizer sync(kSyncName, 1);
    unsigned sequence = 0;
    double next = NowMs();
    std::uniform_int_distribution<int> jitterMs(0, 300);
    std::mt19937 random(seed_ + 1);
    while (!stop_) {
        next += kWriterPeriodMs;
        const double wait = next - NowMs();
        if (wait > 0) ::Sleep(static_cast<DWORD>(wait));
        Plan plan;
        unsigned generation;
        {
            std::lock_guard<std::mutex> lock(lock_);
            plan = plan_;
            generation = toggleGeneration_;
        }
        if (!sync.BeginWrite(kWriterAccessMs)) {
            std::lock_guard<std::mutex> lock(lock_);
            ++writeTimeouts_;
            longestTimeoutRun_ = std::max(longestTimeoutRun_, ++timeoutRun_);
            continue;
        }
        DWORD stored = 0;
        ReadState(stored);
        const bool bit0 = (stored & core::kStateSuspended) != 0;
        // Bit 0 as stored, bit 1 as planned, bits 2 to 7 a count of the writes.
        const DWORD state = (stored & core::kStateSuspended) | (plan.minimized ? core::kStateMinimized : 0) |
                            ((++sequence & 0x3Fu) << 2);
        bool wroteMoment = false;
        UniqueHkey key;
        if (::RegCreateKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr) == ERROR_SUCCESS) {
            ::RegSetValueExA(key.get(), kStateValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&state),
                             sizeof state);
            if (plan.index >= 0 && LocalNow() < plan.lastMomentWrite) {
                // A fresh value each time, never earlier than the planned moment.
                const double moment = plan.due + jitterMs(random) / kMsPerDay;
                ::RegSetValueExA(key.get(), kStartupDateValue, 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(&moment), sizeof moment);
                wroteMoment = true;
            }
        }
        key.reset();
        sync.EndWrite();

        std::lock_guard<std::mutex> lock(lock_);
        ++writes_;
        timeoutRun_ = 0;
        if (wroteMoment) {
            ++momentWrites_;
            writtenFor_ = std::max(writtenFor_, plan.index);
        }
        // Only a toggle changes bit 0. Skipped when a toggle began or ended
        // since the plan was taken, or while suspension is uncertain.
        if (generation == toggleGeneration_ && !toggleInFlight_ && NowMs() >= uncertainUntilMs_ &&
            bit0 != expectedBit0_) {
            failures_.push_back("State bit 0 changed in the registry without a toggle");
            Say("FAIL at %.1f s: State bit 0 is %d in the registry, the last toggle left %d",
                (NowMs() - startMs_) / 1000.0, bit0, expectedBit0_);
            expectedBit0_ = bit0;
        }
    }
}

void Soak::Reader() {
    TDataSynchronizer sync(kSyncName, 2);
    while (!stop_) {
        if (!sync.BeginRead(258)) continue;
        int writtenFor;
        {
            std::lock_guard<std::mutex> lock(lock_);
            writtenFor = writtenFor_;
        }
        const double before = NowMs();
        const double localBefore = LocalNow();
        DWORD state = 0;
        double moment = 0;
        const bool read = ReadState(state, &moment);
        const double after = NowMs();
        const double localAfter = LocalNow();
        sync.EndRead();
        if (!read) continue;

        std::lock_guard<std::mutex> lock(lock_);
        ++reads_;
        if (plan_.index < 0 || writtenFor != plan_.index || moments_.empty()) continue;
        MomentRecord& record = moments_.back();
        if (moment != 0) {
            if (record.consumed) {
                failures_.push_back("a consumed moment came back");
                Say("FAIL: moment %d is stored again after it was consumed", record.index);
            } else {
                record.lastNonZeroMs = before;
            }
            lastReadHadMoment_ = true;
        } else if (!record.consumed) {
            if (localAfter >= plan_.due) {
                record.consumed = true;
                record.zeroSeenMs = after;
            } else if (localBefore < plan_.lastMomentWrite) {
                // The writer still writes this moment: the program stored an
                // older moment over it (see the report); the next write restores it.
                if (lastReadHadMoment_) ++staleMomentOverwrites_;
            } else {
                failures_.push_back("a moment was cleared before it was due");
                Say("FAIL: moment %d was cleared %.0f ms before it was due", record.index,
                    (plan_.due - localAfter) * kMsPerDay);
                record.consumed = true;
                record.zeroSeenMs = after;
            }
            lastReadHadMoment_ = false;
        }
        const bool bit1Right = ((state & core::kStateMinimized) != 0) == plan_.minimized;
        if (!bit1Right && lastReadBit1Right_) ++staleStateOverwrites_;
        lastReadBit1Right_ = bit1Right;
    }
}

// ---- The user -------------------------------------------------------------------

bool Soak::Toggle() {
    ToggleRecord toggle;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (NowMs() < uncertainUntilMs_) return false;
        toggleInFlight_ = true;
        ++toggleGeneration_;
    }
    DWORD before = 0;
    ReadState(before);
    toggle.bitBefore = (before & core::kStateSuspended) != 0;
    toggle.startMs = NowMs();
    DWORD_PTR result = 0;
    toggle.answered =
        ::SendMessageTimeoutA(wnd_, WM_COMMAND, IDM_SUSPEND, 0, SMTO_NORMAL, 10000, &result) != 0;
    // The worker stores it after the command has returned.
    DWORD after = before;
    while (toggle.answered && NowMs() - toggle.startMs < kToggleStoredWithinMs) {
        ReadState(after);
        if (((after & core::kStateSuspended) != 0) != toggle.bitBefore) break;
        ::Sleep(5);
    }
    toggle.endMs = NowMs();
    toggle.bitAfter = (after & core::kStateSuspended) != 0;
    toggle.saved = toggle.answered && toggle.bitAfter != toggle.bitBefore;

    std::lock_guard<std::mutex> lock(lock_);
    toggleInFlight_ = false;
    ++toggleGeneration_;
    expectedBit0_ = toggle.bitAfter;
    toggles_.push_back(toggle);
    const double took = toggle.endMs - toggle.startMs;
    if (!toggle.answered) {
        failures_.push_back("a toggle got no answer within 10 s");
        Say("FAIL at %.1f s: WM_COMMAND 104 got no answer within 10 s", (toggle.endMs - startMs_) / 1000.0);
        uncertainUntilMs_ = NowMs() + kUncertainAfterLostToggleMs;
    } else if (!toggle.saved) {
        ++lostToggles_;
        uncertainUntilMs_ = NowMs() + kUncertainAfterLostToggleMs;
        failures_.push_back("a toggle did not reach the registry");
        Say("FAIL at %.1f s: a toggle was not in the registry %.0f ms after the command",
            (toggle.endMs - startMs_) / 1000.0, took);
    }
    slowestToggleMs_ = std::max(slowestToggleMs_, took);
    return true;
}

void Soak::OpenAndCloseMenu(bool toggleWhileOpen) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        ++menusAsked_;
    }
    const bool opened = soak::OpenTrayMenu(wnd_, program_.id, 10000);
    if (opened) {
        SleepUnlessStopped(200);
        if (toggleWhileOpen) Toggle();
    }
    const bool closed = soak::CloseTrayMenu(wnd_, program_.id, 10000);
    std::lock_guard<std::mutex> lock(lock_);
    if (opened) ++menusOpened_;
    if (opened && closed) ++menusClosed_;
    if (!opened) {
        failures_.push_back("the menu did not open");
        Say("FAIL at %.1f s: the tray menu did not open within 10 s", (NowMs() - startMs_) / 1000.0);
    } else if (!closed) {
        failures_.push_back("the menu did not close");
        Say("FAIL at %.1f s: the tray menu did not close within 10 s", (NowMs() - startMs_) / 1000.0);
    }
}

// One pick of a web; the browser holds the request for kBrowserReplyMs and
// sends a pick of the second web meanwhile, which must come to nothing.
void Soak::OpenPage(int web) {
    const std::size_t requestsBefore = BrowserRequests().size();
    {
        std::lock_guard<std::mutex> lock(lock_);
        ++pagesAsked_;
    }
    ++pageEdges_;
    // A right click posted behind the pick opens the menu only once the opening is over.
    const bool back = ::PostMessageA(wnd_, WM_COMMAND, IDM_WEB_BASE + web, 0) != 0 &&
                      soak::WaitUntilIdle(wnd_, program_.id, kPageBackMs);
    ++pageEdges_;

    const std::vector<std::string> requests = BrowserRequests();
    const std::string folder = "\\web" + std::to_string(web + 1) + "\\";
    std::lock_guard<std::mutex> lock(lock_);
    pagesBack_ += back;
    if (!back) {
        failures_.push_back("the program was not idle again after a page opening");
        Say("FAIL at %.1f s: the program was not idle within %lu s of a pick of web %d",
            (NowMs() - startMs_) / 1000.0, kPageBackMs / 1000, web + 1);
    }
    if (requests.size() != requestsBefore + 1) {
        failures_.push_back("a page opening did not make exactly one request");
        Say("FAIL at %.1f s: a pick of web %d made %zu browser requests", (NowMs() - startMs_) / 1000.0, web + 1,
            requests.size() - std::min(requests.size(), requestsBefore));
    } else if (requests.back().find(folder) == std::string::npos) {
        failures_.push_back("a page opening asked for another web");
        Say("FAIL at %.1f s: a pick of web %d asked the browser for %s", (NowMs() - startMs_) / 1000.0, web + 1,
            requests.back().c_str());
    }
}

void Soak::User() {
    std::mt19937 random(seed_ + 2);
    std::uniform_int_distribution<int> pauseMs(1500, 2500);
    // Round 0 opens the menu, which reads the list that the picks choose from.
    // The pick is never of the second web: the browser picks that one.
    for (unsigned round = 0; !stop_; ++round) {
        if (!SleepUnlessStopped(pauseMs(random))) break;
        switch (round % 5) {
            case 0: OpenAndCloseMenu(false); break;
            case 1: Toggle(); break;
            case 2: OpenPage(round % 2 ? 0 : 2); break;
            case 3: OpenAndCloseMenu(true); break;
            default: Toggle(); break;
        }
    }
}

// ---- Watching the program --------------------------------------------------------

void Soak::Prober() {
    while (!stop_) {
        const unsigned edges = pageEdges_;
        const double start = NowMs();
        const bool answered = soak::Responds(wnd_, kProbeLimitMs);
        const double took = NowMs() - start;
        const bool duringPage = (edges & 1u) != 0 || pageEdges_ != edges;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (duringPage) {
                ++pageProbes_;
                pageProbesUnanswered_ += !answered;
            } else {
                ++probes_;
                slowestProbeMs_ = std::max(slowestProbeMs_, took);
                if (took > 250) ++slowProbes_;
                if (!answered) {
                    ++unanswered_;
                    failures_.push_back("a probe got no answer within 1000 ms");
                }
            }
        }
        if (!answered && !duringPage)
            Say("FAIL at %.1f s: no answer to WM_NULL within %lu ms", (start - startMs_) / 1000.0, kProbeLimitMs);
        const double left = kProbePeriodMs - (NowMs() - start);
        if (left > 0) ::Sleep(static_cast<DWORD>(left));
    }
}

void Soak::Sampler() {
    double nextLineMs = 0;
    while (!stop_) {
        Sample sample{NowMs() - startMs_, soak::SampleResources(watched_.get(), program_.id), 0, -1};
        sample.starts = static_cast<long long>(ProgramStarts(log_).size());
        if (sample.figures.handles >= 0)
            sample.programHandles =
                sample.figures.handles - static_cast<long long>(startLeak_ * static_cast<double>(sample.starts) + 0.5);
        std::size_t moments;
        {
            std::lock_guard<std::mutex> lock(lock_);
            samples_.push_back(sample);
            moments = moments_.size();
        }
        if (sample.atMs >= nextLineMs) {
            // One line a minute, so that a long run shows its trend as it goes.
            Say("%4.0f s: %zu moments, %lld starts, handles %lld (less the platform's: %lld), windows %lld, "
                "private bytes %lld", sample.atMs / 1000, moments, sample.starts, sample.figures.handles,
                sample.programHandles, sample.figures.windows, sample.figures.privateBytes);
            nextLineMs += 60000;
        }
        SleepUnlessStopped(kSamplePeriodMs);
    }
}

// ---- The launches -----------------------------------------------------------------

bool Soak::StartHeld() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string line = "\"" + dir_ + "VRLN98.EXE\" --hold=600000";
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(), &startup, &info))
        return false;
    UniqueHandle thread(info.hThread);
    held_.reset(info.hProcess);
    heldThreadId_ = info.dwThreadId;
    return WaitFor([] { return MutexExists(MainAppMutexName()); }, 15000);
}

void Soak::StopHeld() {
    if (!held_) return;
    // The stand-in ends its loop on WM_QUIT.
    ::PostThreadMessageA(heldThreadId_, WM_QUIT, 0, 0);
    if (::WaitForSingleObject(held_.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(held_.get(), 1);
    held_.reset();
}

void Soak::RunMoment(int index) {
    std::uniform_int_distribution<int> aheadMs(4000, 7000);
    std::uniform_int_distribution<int> coin(0, 2);
    MomentRecord record;
    record.index = index;
    record.present = coin(random_) == 0;  // a third of the moments fall due while it runs
    record.minimized = coin(random_) != 0;
    const std::size_t startsBefore = ProgramStarts(log_).size();
    // Running before the moment is even planned, so its presence is certain
    // whenever the moment falls due.
    if (record.present && !StartHeld()) Fail("the held stand-in did not start for moment %d", index);
    {
        std::lock_guard<std::mutex> lock(lock_);
        record.due = LocalNow() + aheadMs(random_) / kMsPerDay;
        plan_.index = index;
        plan_.due = record.due;
        plan_.lastMomentWrite = record.due - kLastMomentWriteMs / kMsPerDay;
        plan_.minimized = record.minimized;
        moments_.push_back(record);
        lastReadHadMoment_ = false;
        lastReadBit1Right_ = true;
    }

    const double waitStart = NowMs();
    bool consumed = false;
    while (!consumed && ProgramAlive() && NowMs() - waitStart < kConsumeLimitMs) {
        ::Sleep(20);
        std::lock_guard<std::mutex> lock(lock_);
        consumed = moments_.back().consumed;
    }
    if (!consumed) {
        Fail(ProgramAlive() ? "moment %d was not consumed within %.0f s" : "VrlnSchd.exe ended (moment %d, %.0f s)",
             index, kConsumeLimitMs / 1000);
        StopHeld();
        return;
    }

    if (record.present) {
        StopHeld();
    } else {
        WaitFor([&] { return ProgramStarts(log_).size() > startsBefore; }, 15000);
    }
    // The started stand-in ends after its lifetime; then a quiet moment for late starts.
    // (Only now is the presence mutex tested: opening it makes it exist, which
    // near a due moment would make the program believe the main application runs.)
    if (!WaitFor([] { return !MutexExists(MainAppMutexName()); }, 15000))
        Fail("the main application still runs 15 s after moment %d", index);
    ::Sleep(kSettleMs);
    const std::vector<int> shows = ProgramStarts(log_);

    std::lock_guard<std::mutex> lock(lock_);
    MomentRecord& done = moments_.back();
    done.shows.assign(shows.begin() + static_cast<std::ptrdiff_t>(std::min(startsBefore, shows.size())), shows.end());
    const std::size_t wanted = done.present ? 0 : 1;
    if (done.shows.size() != wanted) {
        failures_.push_back("wrong number of starts for a moment");
        Say("FAIL: moment %d (%s) made %zu starts, not %zu", index,
            done.present ? "main application running" : "main application absent", done.shows.size(), wanted);
    } else if (!done.present && done.shows[0] != (done.minimized ? SW_SHOWMINIMIZED : SW_SHOWNORMAL)) {
        failures_.push_back("a start with the wrong show command");
        Say("FAIL: moment %d started the main application with show command %d", index, done.shows[0]);
    }
    // Certainly suspended: from the return of a toggle that stored bit 0 set
    // until the next toggle began. Was the moment cleared inside such a span?
    const double from = done.lastNonZeroMs;
    const double to = done.zeroSeenMs;
    for (std::size_t i = 0; i < toggles_.size(); ++i) {
        const ToggleRecord& t = toggles_[i];
        if (!t.saved || !t.bitAfter || t.endMs > from) continue;
        const double until = i + 1 < toggles_.size() ? toggles_[i + 1].startMs : NowMs();
        if (from >= 0 && until >= to) {
            failures_.push_back("a moment was consumed while launches were suspended");
            Say("FAIL: moment %d was consumed while launches were suspended", index);
        }
    }
}

void Soak::Conduct() {
    const double endMs = startMs_ + seconds_ * 1000.0;
    int index = 0;
    while (NowMs() < endMs && ProgramAlive()) {
        RunMoment(index++);
    }
    if (!ProgramAlive()) Fail("VrlnSchd.exe ended during the run");
    std::lock_guard<std::mutex> lock(lock_);
    plan_ = Plan{};
}

int Soak::Run() {
    Say("soak: VrlnSchd.exe for %lu s, seed %u", seconds_, seed_);
    if (!Prepare()) {
        Finish();
        return 2;
    }
    startMs_ = NowMs();
    {
        DWORD state = 0;
        ReadState(state);
        expectedBit0_ = (state & core::kStateSuspended) != 0;
    }
    std::vector<std::thread> threads;
    threads.emplace_back([this] { Writer(); });
    threads.emplace_back([this] { Reader(); });
    threads.emplace_back([this] { User(); });
    threads.emplace_back([this] { Prober(); });
    threads.emplace_back([this] { Sampler(); });
    Conduct();
    // Stray starts after the last moment would show here.
    const std::size_t starts = ProgramStarts(log_).size();
    ::Sleep(2000);
    if (ProgramStarts(log_).size() != starts) Fail("the program started the main application without a moment");
    stop_ = true;
    for (std::thread& thread : threads) thread.join();
    Finish();
    return Report();
}

// ---- The verdict ---------------------------------------------------------------------

struct Flatness {
    bool reported = false;
    long long first = 0, baseline = 0, end = 0, highest = 0;
    bool flat = true;
};

long long Median(std::vector<long long> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Flatness Judge(const std::vector<Sample>& samples, const std::function<long long(const Sample&)>& figure,
               double warmupMs, double windowMs, long long tolerance) {
    Flatness result;
    std::vector<long long> early, late;
    const double lastMs = samples.empty() ? 0 : samples.back().atMs;
    for (const Sample& sample : samples) {
        const long long value = figure(sample);
        if (value < 0) return result;
        if (!result.reported) result.first = value;
        result.reported = true;
        if (sample.atMs < warmupMs) continue;
        result.highest = std::max(result.highest, value);
        if (sample.atMs < warmupMs + windowMs) early.push_back(value);
        if (sample.atMs >= lastMs - windowMs) late.push_back(value);
    }
    if (early.empty() || late.empty()) return result;
    result.baseline = Median(early);
    result.end = Median(late);
    result.flat = result.end <= result.baseline + tolerance;
    return result;
}

int Soak::Report() {
    std::lock_guard<std::mutex> lock(lock_);
    const double runMs = samples_.empty() ? 0 : samples_.back().atMs;
    const double warmupMs = std::min(60000.0, runMs / 3);
    const double windowMs = std::max(10000.0, std::min(60000.0, (runMs - warmupMs) / 3));

    long absent = 0, absentOnce = 0, present = 0, presentNone = 0, consumed = 0, showsRight = 0;
    for (const MomentRecord& m : moments_) {
        consumed += m.consumed;
        if (m.present) {
            ++present;
            presentNone += m.shows.empty();
        } else {
            ++absent;
            absentOnce += m.shows.size() == 1;
            showsRight += m.shows.size() == 1 && m.shows[0] == (m.minimized ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
        }
    }
    long saved = 0;
    for (const ToggleRecord& t : toggles_) saved += t.saved;

    Say("");
    Say("== soak figures (%.0f s, seed %u)", runMs / 1000.0, seed_);
    Say("moments: %zu planned, %ld consumed", moments_.size(), consumed);
    Say("  main application absent when due: %ld, started exactly once: %ld, with the planned show command: %ld",
        absent, absentOnce, showsRight);
    Say("  main application running when due: %ld, nothing started: %ld", present, presentNone);
    Say("suspend toggles: %zu, reached the registry: %ld, not within %.0f ms: %ld, slowest %.0f ms", toggles_.size(),
        saved, kToggleStoredWithinMs, lostToggles_, slowestToggleMs_);
    Say("menu: asked %ld, opened %ld, closed again %ld", menusAsked_, menusOpened_, menusClosed_);
    Say("responsiveness outside page openings: %ld probes, %ld unanswered within %lu ms, %ld slower than 250 ms, "
        "slowest %.0f ms", probes_, unanswered_, kProbeLimitMs, slowProbes_, slowestProbeMs_);
    const std::size_t requests = BrowserRequests().size();
    Say("page openings (browser replies after %lu ms, picks another web meanwhile): asked %ld, requests the browser "
        "saw %zu, idle again after %ld; probes during page openings %ld (%ld unanswered within %lu ms, "
        "not judged)", kBrowserReplyMs, pagesAsked_, requests, pagesBack_, pageProbes_, pageProbesUnanswered_,
        kProbeLimitMs);
    if (requests != static_cast<std::size_t>(pagesAsked_))
        failures_.push_back("the browser saw another number of requests than pages were asked");
    if (pagesAsked_ == 0) failures_.push_back("no page was opened");
    Say("main application (participant 1): %ld writes, %ld with a moment, %ld write-access time-outs "
        "(longest run %ld)", writes_, momentWrites_, writeTimeouts_, longestTimeoutRun_);
    Say("second participant (participant 2): %ld reads under the protocol", reads_);
    Say("overwritten by the program with older values it held (not judged): moment %ld times, state bit 1 %ld times",
        staleMomentOverwrites_, staleStateOverwrites_);

    Say("resources (warm-up %.0f s; medians of the first and the last %.0f s after it):", warmupMs / 1000,
        windowMs / 1000);
    bool flat = true;
    auto show = [&](const char* name, const char* source, const std::function<long long(const Sample&)>& figure,
                    long long tolerance) {
        const Flatness f = Judge(samples_, figure, warmupMs, windowMs, tolerance);
        if (!f.reported) {
            Say("  %-14s n/a (not reported by the platform)", name);
            return;
        }
        if (tolerance < 0) {
            Say("  %-14s at start %lld, after warm-up %lld, at the end %lld, highest %lld: not judged  [%s]", name,
                f.first, f.baseline, f.end, f.highest, source);
            return;
        }
        Say("  %-14s at start %lld, after warm-up %lld, at the end %lld, highest %lld, tolerance %lld: %s  [%s]",
            name, f.first, f.baseline, f.end, f.highest, tolerance, f.flat ? "flat" : "GROWING", source);
        flat = flat && f.flat;
    };
    const char* handleSource = samples_.empty() ? "" : samples_.back().figures.handlesSource;
    const char* memorySource = samples_.empty() ? "" : samples_.back().figures.privateBytesSource;
    show("handles", handleSource, [](const Sample& s) { return s.figures.handles; }, -1);
    char leakSource[96];
    std::snprintf(leakSource, sizeof leakSource, "less %.2f per start, the platform's own", startLeak_);
    show("handles, own", leakSource, [](const Sample& s) { return s.programHandles; }, kToleranceHandles);
    show("USER objects", "GetGuiResources", [](const Sample& s) { return s.figures.userObjects; }, kToleranceObjects);
    show("GDI objects", "GetGuiResources", [](const Sample& s) { return s.figures.gdiObjects; }, kToleranceObjects);
    show("windows", "EnumWindows", [](const Sample& s) { return s.figures.windows; }, kToleranceWindows);
    show("private bytes", memorySource, [](const Sample& s) { return s.figures.privateBytes; },
         kTolerancePrivateBytes);
    if (!flat) failures_.push_back("a resource figure grew after the warm-up");
    if (moments_.empty()) failures_.push_back("no moment was planned");

    Say("");
    if (failures_.empty()) {
        Say("soak PASSED");
        return 0;
    }
    Say("soak FAILED: %zu failed checks, the first: %s", failures_.size(), failures_.front().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    DWORD seconds = 600;
    unsigned seed = ::GetTickCount();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--seed=", 0) == 0) {
            seed = static_cast<unsigned>(std::strtoul(arg.c_str() + 7, nullptr, 10));
        } else if (!arg.empty() && arg[0] >= '0' && arg[0] <= '9') {
            seconds = static_cast<DWORD>(std::strtoul(arg.c_str(), nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: soak_driver [SECONDS] [--seed=N]\n");
            return 2;
        }
    }
    if (seconds < 30) seconds = 30;
    try {
        Soak soak(seconds, seed);
        return soak.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "soak_driver: %s\n", e.what());
        return 2;
    }
}
