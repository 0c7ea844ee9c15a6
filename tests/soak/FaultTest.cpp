// Faults from outside: participants of the exchange that die at the worst
// moment, the shared registry key deleted, webs.dat rewritten under the menu,
// a browser that hangs, the main application's file turned into a directory.
// Each scenario runs the real VrlnSchd.exe in a folder of its own, or the
// application object in this process where only that shows the effect.
#include "Probe.h"
#include "TestSupport.h"

#include "app/VrlnSchdMain.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "sched/DecisionLog.h"
#include "sched/ThreadSync.h"
#include "sched/ThreadWakeUp.h"
#include "win/Platform.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 30000;

bool StoredValues(DWORD& state, double& moment) { return ReadSchedulerValues(state, moment); }

DWORD StoredState() {
    DWORD state = 0xFFFF;
    double moment = 0;
    StoredValues(state, moment);
    return state;
}

double StoredMoment() {
    DWORD state = 0;
    double moment = -1;
    StoredValues(state, moment);
    return moment;
}

bool SchedulerKeyExists() {
    UniqueHkey key;
    return ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

// A web file whose head carries the title (version 1: no second string).
std::string WebFileHead(const std::string& title) {
    std::string head = "\x01X";
    head += '\x01';
    head += '\x00';
    head += static_cast<char>(title.size());
    return head + title;
}

// The lines of a text with their line ends kept.
std::vector<std::string> ReadLinesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Restores the work path of win.ini that a test changes.
class WorkPathScope {
public:
    explicit WorkPathScope(const std::string& path) {
        char saved[256] = {};
        had_ = ::GetProfileStringA("VORLANE", "WORKPATH", "\x01", saved, sizeof saved) > 0 && saved[0] != '\x01';
        saved_ = saved;
        ::WriteProfileStringA("VORLANE", "WORKPATH", path.c_str());
    }
    ~WorkPathScope() { ::WriteProfileStringA("VORLANE", "WORKPATH", had_ ? saved_.c_str() : nullptr); }

private:
    bool had_ = false;
    std::string saved_;
};

// ---- The real program in a folder of its own --------------------------------------

class ProgramFault : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteSchedulerKey();
        dir = NewScratchDir("fault");
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(CopyInto(BinDir() + "VrlnSchd.exe", dir + "VrlnSchd.exe"));
        log = dir + "starts.log";
        SetEnv("STANDIN_MAINAPP_LOG", log);
        SetEnv("STANDIN_MAINAPP_LIFETIME", "500");
    }
    void TearDown() override {
        StopScheduler();
        ClearEnv("STANDIN_MAINAPP_LOG");
        ClearEnv("STANDIN_MAINAPP_LIFETIME");
        DeleteSchedulerKey();
    }

    void WithMainApplication() { ASSERT_TRUE(CopyInto(BinDir() + "VRLN98.EXE", dir + "VRLN98.EXE")); }
    void StartScheduler() {
        scheduler = Start("\"" + dir + "VrlnSchd.exe\"", dir);
        wnd = WaitUntilReady(scheduler, kGenerous);
        ASSERT_NE(wnd, nullptr);
    }
    void StopScheduler() {
        if (wnd) ::PostMessageA(wnd, WM_CLOSE, 0, 0);
        if (scheduler.handle) {
            EXPECT_EQ(WaitExit(scheduler, kGenerous), 0u) << "VrlnSchd.exe did not end cleanly";
        }
        Kill(scheduler);
        wnd = nullptr;
    }
    bool SchedulerRuns() const {
        return scheduler.handle && ::WaitForSingleObject(scheduler.handle.get(), 0) == WAIT_TIMEOUT;
    }
    // A command as the menu sends it; true when the window handled it.
    bool Command(WPARAM id) {
        DWORD_PTR result = 0;
        return ::SendMessageTimeoutA(wnd, WM_COMMAND, id, 0, SMTO_NORMAL, kGenerous, &result) != 0;
    }
    // Another participant of the exchange, in a process of its own (see SyncParticipant.cpp).
    DWORD Participant(const std::string& arguments) {
        Process process = Start("\"" + BinDir() + "sync_participant.exe\" " + arguments);
        return WaitExit(process, kGenerous);
    }
    // A write as the main application makes it (exit code 0 stored, 2 no write access).
    DWORD Store(const std::string& options) {
        Process process = Start("\"" + dir + "VRLN98.EXE\" --store " + options);
        return WaitExit(process, kGenerous);
    }
    std::size_t Starts() { return ReadLines(log).size(); }

    std::string dir;
    std::string log;
    Process scheduler;
    HWND wnd = nullptr;
};

TEST_F(ProgramFault, AReaderKilledWhileRegisteredBlocksEveryWriteButTheProgramRunsAndLaunchesOn) {
    WithMainApplication();
    // Suspended, with a moment already past: the program reads both at start-up.
    WriteSchedulerValues(core::kStateSuspended, LocalNow() - 1.0 / 24);
    StartScheduler();
    // Participant 2 writes, so participant 1 has a notice; 1 registers as a reader and dies.
    ASSERT_EQ(Participant(std::string("write ") + kSyncName + " 2 5000"), 0u);
    ASSERT_EQ(Participant(std::string("read-and-die ") + kSyncName + " 1 5000"), 0u);

    // The count stays raised: the main application's writes time out.
    EXPECT_EQ(Store("--timeout=1000 --state=0"), 2u);
    // So does the program's own: the resume is kept in memory...
    ASSERT_TRUE(soak::Responds(wnd, 1000));
    ASSERT_TRUE(Command(IDM_SUSPEND));
    // ...and the moment read at start-up is launched, and stored as consumed
    // by the due path, which does not go through the exchange.
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    EXPECT_TRUE(WaitFor([] { return StoredMoment() == 0.0; }, kGenerous));
    // The resume is stored with the used moment: the due path writes both values.
    EXPECT_EQ(StoredState(), 0u);
    EXPECT_TRUE(soak::Responds(wnd, 1000));
    EXPECT_TRUE(SchedulerRuns());

    // The blockage lasts only as long as the objects: once the program, their
    // last holder, has ended, a write succeeds again.
    StopScheduler();
    EXPECT_EQ(Store("--timeout=1000 --state=0"), 0u);
}

TEST_F(ProgramFault, AWriterKilledHoldingTheNoWriterMutexLeavesItAbandonedAndTheNextWriterTakesIt) {
    WithMainApplication();
    WriteSchedulerValues(0, 0.0);
    StartScheduler();
    ASSERT_EQ(Participant(std::string("write-and-die ") + kSyncName + " 1 5000"), 0u);

    // The program's write takes the abandoned mutex as a normal acquisition.
    ASSERT_TRUE(Command(IDM_SUSPEND));
    EXPECT_TRUE(WaitFor([] { return StoredState() == core::kStateSuspended; }, kGenerous));
    // The exchange works on: the main application stores, the program launches.
    EXPECT_EQ(Store("--timeout=5000 --state=0 --in=1"), 0u);
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    EXPECT_TRUE(soak::Responds(wnd, 1000));
}

TEST_F(ProgramFault, ASchedulerKeyDeletedWhileRunningIsRecreatedAtEachSaveWithTheValuesInMemory) {
    const double moment = LocalNow() + 30.0;  // a month ahead: never due here
    WriteSchedulerValues(core::kStateMinimized, moment);
    StartScheduler();
    DeleteSchedulerKey();
    ::RegDeleteKeyA(HKEY_CLASSES_ROOT, "Vorlane");
    ASSERT_FALSE(SchedulerKeyExists());

    // The cycles go on without the key; the toggle's save creates it again.
    ::Sleep(2500);
    ASSERT_TRUE(soak::Responds(wnd, 1000));
    ASSERT_TRUE(Command(IDM_SUSPEND));
    DWORD state = 0;
    double stored = 0;
    EXPECT_TRUE(WaitFor([&] { return StoredValues(state, stored); }, kGenerous));
    EXPECT_EQ(state, static_cast<DWORD>(core::kStateMinimized | core::kStateSuspended));
    EXPECT_EQ(stored, moment);

    // And so does the save at the end.
    DeleteSchedulerKey();
    StopScheduler();
    ASSERT_TRUE(StoredValues(state, stored));
    EXPECT_EQ(state, static_cast<DWORD>(core::kStateMinimized | core::kStateSuspended));
    EXPECT_EQ(stored, moment);
}

TEST_F(ProgramFault, AMainApplicationFileThatIsADirectoryStartsNothingAndTheMomentIsStillConsumed) {
    const std::string mainApp = dir + "VRLN98.EXE";
    ASSERT_TRUE(::CreateDirectoryA(mainApp.c_str(), nullptr));
    EXPECT_FALSE(StartProgram(mainApp, SW_SHOWNORMAL));

    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    const std::string logPath = DefaultLogFolder() + TDecisionLog::kFileName;
    ::DeleteFileA(logPath.c_str());
    const auto failedStarts = [&] {
        const std::string told = ReadWholeFile(logPath);
        std::size_t count = 0;
        const std::string failed = "Main application not started";
        for (std::size_t at = told.find(failed); at != std::string::npos; at = told.find(failed, at + 1)) ++count;
        return count;
    };
    StartScheduler();
    EXPECT_TRUE(WaitFor([] { return StoredMoment() == 0.0; }, kGenerous));
    EXPECT_TRUE(WaitFor([&] { return failedStarts() == 1; }, kGenerous));
    // The menu's load command fails the same way, as the log tells once the worker tried; the program runs on.
    ASSERT_TRUE(Command(IDM_LOAD));
    EXPECT_TRUE(WaitFor([&] { return failedStarts() == 2; }, kGenerous));
    EXPECT_TRUE(soak::Responds(wnd, 1000));
    EXPECT_TRUE(SchedulerRuns());
    EXPECT_FALSE(MutexExists(MainAppMutexName()));
    EXPECT_EQ(::GetFileAttributesA(mainApp.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(ProgramFault, PicksDuringASlowPageRequestAreDroppedAndACloseThenEndsTheProgram) {
    // Two local webs, and the browser that the main application's settings name.
    ASSERT_TRUE(CopyInto(BinDir() + "browse.exe", dir + "browse.exe"));
    ASSERT_TRUE(WriteWholeFile(dir + "Vorlane.ini", "[Browser]\r\nExeName=" + dir + "browse.exe\r\n"));
    std::string webs;
    for (const std::string name : {"one", "two"}) {
        ASSERT_TRUE(::CreateDirectoryA((dir + name).c_str(), nullptr));
        ASSERT_TRUE(WriteWholeFile(dir + name + "\\web.dat", WebFileHead(name)));
        webs += dir + name + "\\web.dat\r\n";
    }
    ASSERT_TRUE(WriteWholeFile(dir + "webs.dat", webs));
    WorkPathScope workPath(dir);
    // The browser answers each request after 7 s; while it waits, the user picks the second web.
    const std::string browserLog = dir + "browser.log";
    SetEnv("STANDIN_BROWSER_MODE", "late");
    SetEnv("STANDIN_BROWSER_REPLY_MS", "7000");
    SetEnv("STANDIN_BROWSER_POST", "!" + std::to_string(WM_COMMAND) + ":" + std::to_string(IDM_WEB_BASE + 1));
    SetEnv("STANDIN_BROWSER_LOG", browserLog);
    SetEnv("STANDIN_BROWSER_LIFETIME", "120");
    Process browser = Start("\"" + dir + "browse.exe\"");
    for (const char* name : {"STANDIN_BROWSER_MODE", "STANDIN_BROWSER_REPLY_MS", "STANDIN_BROWSER_POST",
                             "STANDIN_BROWSER_LOG", "STANDIN_BROWSER_LIFETIME"})
        ClearEnv(name);
    ASSERT_TRUE(WaitFor([&] { return FindProcessWindow(browser.id, "VrlnStandinBrowser") != nullptr; }, kGenerous));
    auto requests = [&] {
        std::vector<std::string> items;
        for (const std::string& line : ReadLines(browserLog))
            if (line.rfind("request ", 0) == 0) items.push_back(line.substr(8));
        return items;
    };

    StartScheduler();
    // The list behind the commands is read when the menu opens.
    ASSERT_TRUE(soak::OpenTrayMenu(wnd, scheduler.id, kGenerous));
    ASSERT_TRUE(soak::CloseTrayMenu(wnd, scheduler.id, kGenerous));
    ASSERT_TRUE(::PostMessageA(wnd, WM_COMMAND, IDM_WEB_BASE, 0));
    ASSERT_TRUE(WaitFor([&] { return requests().size() == 1; }, kGenerous));
    // Once the page opening is over, the pick that the browser sent during it was dropped.
    ASSERT_TRUE(soak::WaitUntilIdle(wnd, scheduler.id, kGenerous));
    EXPECT_EQ(requests().size(), 1u);

    // A close that arrives during the next request ends the program once it returns.
    // Sent, it is taken inside the page opening, which puts it off; a posted one
    // could wait in the queue until the opening is over.
    ASSERT_TRUE(::PostMessageA(wnd, WM_COMMAND, IDM_WEB_BASE, 0));
    ASSERT_TRUE(WaitFor([&] { return requests().size() == 2; }, kGenerous));
    // The web posted, not the browser's pick.
    EXPECT_NE(requests()[1].find("\\one\\_home.htm"), std::string::npos) << requests()[1];
    ASSERT_TRUE(::SendNotifyMessageA(wnd, WM_CLOSE, 0, 0));
    EXPECT_EQ(WaitExit(scheduler, kGenerous), 0u);
    wnd = nullptr;
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_FALSE(MutexExists("APPLICATION-VRLNSCHD.EXE"));
    TDataSynchronizer mainApp(kSyncName, 1);
    EXPECT_TRUE(mainApp.BeginWrite(1000));
    mainApp.EndWrite();
    Kill(browser);
}

// ---- The application object in this process, with the shell and the menu recorded ----

std::atomic<int> g_menus{0};
std::function<void(HMENU)> g_onMenu;
std::vector<std::string> g_tips;

// The tooltips handed to the shell; a notification's record carries none.
BOOL WINAPI RecordShell(DWORD, PNOTIFYICONDATAA data) {
    if (data->uFlags & NIF_TIP) g_tips.push_back(data->szTip);
    return TRUE;
}
BOOL WINAPI RecordMenu(HMENU menu, UINT, int, int, int, HWND, const RECT*) {
    ++g_menus;
    if (g_onMenu) g_onMenu(menu);
    return TRUE;
}

std::string ItemText(HMENU menu, int position) {
    char text[128] = {};
    ::GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
    return text;
}

class InProcessFault : public ::testing::Test {
protected:
    void SetUp() override {
        saved = Platform();
        Platform().ShellNotifyIcon = &RecordShell;
        Platform().TrackPopupMenu = &RecordMenu;
        g_menus = 0;
        g_onMenu = nullptr;
        g_tips.clear();
        DeleteSchedulerKey();
        dir = NewScratchDir("faultin");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        plandrel.reset();
        Plandrel = nullptr;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        Platform() = saved;
        g_onMenu = nullptr;
        DeleteSchedulerKey();
    }
    void Create() {
        plandrel = std::make_unique<TPlandrel>();
        Plandrel = plandrel.get();
        ASSERT_TRUE(plandrel->CreateTrayWindow());
    }
    void OpenMenu() { ::SendMessageA(plandrel->Window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN); }

    PlatformCalls saved;
    std::string dir;
    std::unique_ptr<TPlandrel> plandrel;
};

TEST_F(InProcessFault, WebsDatRewrittenWhileTheMenuOpensGivesItemsFromOneWholeVersion) {
    // Version A lists three webs titled Alpha, version B five titled Beta.
    std::string versionA, versionB;
    for (int i = 0; i < 3; ++i) {
        const std::string web = dir + "a" + std::to_string(i) + ".dat";
        ASSERT_TRUE(WriteWholeFile(web, WebFileHead("Alpha")));
        versionA += web + "\r\n";
    }
    for (int i = 0; i < 5; ++i) {
        const std::string web = dir + "b" + std::to_string(i) + ".dat";
        ASSERT_TRUE(WriteWholeFile(web, WebFileHead("Beta")));
        versionB += web + "\r\n";
    }
    WorkPathScope workPath(dir);
    Create();

    // The list is rewritten over and over, line by line and with sharing
    // allowed, so only the program's own exclusive hold of the file for the
    // moment of its read keeps it from seeing half a list.
    std::atomic<bool> stop{false};
    std::atomic<long> rewrites{0};
    std::thread rewriter([&] {
        const std::vector<std::string> versions[2] = {ReadLinesOf(versionA), ReadLinesOf(versionB)};
        for (long n = 0; !stop; ++n) {
            UniqueFile file(::CreateFileA((dir + "webs.dat").c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                ::Sleep(0);  // the program holds the file for the moment of its read
                continue;
            }
            for (const std::string& line : versions[n % 2]) {
                DWORD written = 0;
                ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
                ::Sleep(0);
            }
            file.reset();
            ++rewrites;
            ::Sleep(1);
        }
    });

    int sawA = 0, sawB = 0, sawNone = 0, mixed = 0, listMismatch = 0;
    g_onMenu = [&](HMENU popup) {
        const HMENU webs = ::GetSubMenu(popup, 1);
        const int count = ::GetMenuItemCount(webs);
        if (static_cast<std::size_t>(count) != plandrel->Webs().size()) ++listMismatch;
        if (count == 0) {
            ++sawNone;
            return;
        }
        const std::string title = count == 3 ? "Alpha" : count == 5 ? "Beta" : "?";
        for (int i = 0; i < count; ++i) {
            if (ItemText(webs, i) != "&" + std::to_string(i + 1) + " " + title) {
                ++mixed;
                return;
            }
        }
        (count == 3 ? sawA : sawB)++;
    };
    // 300 menus at least, and more while the list has not been rewritten 100
    // times meanwhile: on a busy machine the rewriter can fall behind them.
    int opened = 0;
    const DWORD start = ::GetTickCount();
    while (opened < 300 || (rewrites <= 100 && ::GetTickCount() - start < kGenerous)) {
        OpenMenu();
        ++opened;
    }
    stop = true;
    rewriter.join();

    EXPECT_EQ(g_menus, opened);
    EXPECT_EQ(mixed, 0) << "a menu showed items of two versions, or a cut list";
    EXPECT_EQ(listMismatch, 0) << "the list behind the menu differs from its items";
    EXPECT_GT(sawA, 0);
    EXPECT_GT(sawB, 0);
    EXPECT_GT(rewrites.load(), 100);
    RecordProperty("menus_without_webs", sawNone);
    EXPECT_TRUE(::IsWindow(plandrel->Window()));
}

// The threads of another process, suspended or resumed as a whole.
void FreezeProcess(DWORD processId, bool freeze) {
    // A failed snapshot is INVALID_HANDLE_VALUE, as with files.
    UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != processId) continue;
        UniqueHandle thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        if (!thread) continue;
        if (freeze)
            ::SuspendThread(thread.get());
        else
            ::ResumeThread(thread.get());
    }
}

TEST_F(InProcessFault, ABrowserThatHangsBlocksTheWindowForTheRequestTimeOutOnlyThenMenuAndRefreshComeBack) {
    // The browser that the main application's settings name, and one local web.
    ASSERT_TRUE(CopyInto(BinDir() + "browse.exe", dir + "browse.exe"));
    ASSERT_TRUE(WriteWholeFile(dir + "Vorlane.ini", "[Browser]\r\nExeName=" + dir + "browse.exe\r\n"));
    ASSERT_TRUE(::CreateDirectoryA((dir + "site").c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(dir + "site\\web.dat", WebFileHead("Hanging")));
    ASSERT_TRUE(WriteWholeFile(dir + "webs.dat", dir + "site\\web.dat\r\n"));
    WorkPathScope workPath(dir);
    const std::string browserLog = dir + "browser.log";
    SetEnv("STANDIN_BROWSER_MODE", "late");
    SetEnv("STANDIN_BROWSER_LOG", browserLog);
    SetEnv("STANDIN_BROWSER_LIFETIME", "120");
    Process browser = Start("\"" + dir + "browse.exe\"");
    ClearEnv("STANDIN_BROWSER_MODE");
    ClearEnv("STANDIN_BROWSER_LOG");
    ClearEnv("STANDIN_BROWSER_LIFETIME");
    ASSERT_TRUE(WaitFor([&] { return FindProcessWindow(browser.id, "VrlnStandinBrowser") != nullptr; }, kGenerous));

    Create();
    OpenMenu();  // reads the list that the command below refers to
    ASSERT_EQ(plandrel->Webs().size(), 1u);
    TDataSynchronizer mainApp(kSyncName, 1);
    const HWND wnd = plandrel->Window();

    // Once the browser holds the request, it is frozen: it would answer after
    // 12 s, now it never does. Meanwhile the main application stores a moment,
    // whose refresh falls due while the window is blocked. Should the window
    // stay blocked, the browser is let go after 30 s so that the test ends.
    std::atomic<bool> frozen{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> stuck{false};
    std::atomic<double> frozenAtMs{0};
    std::thread outside([&] {
        if (!WaitFor([&] { return ReadWholeFile(browserLog).find("request ") != std::string::npos; }, kGenerous))
            return;
        FreezeProcess(browser.id, true);
        frozenAtMs = soak::NowMs();
        frozen = true;
        if (mainApp.BeginWrite(5000)) {
            WriteSchedulerValues(0, LocalNow() + 30.0);
            mainApp.EndWrite();
        }
        if (!WaitFor([&] { return returned.load(); }, kGenerous)) {
            stuck = true;
            FreezeProcess(browser.id, false);
        }
    });
    ::SendMessageA(wnd, WM_COMMAND, IDM_WEB_BASE, 0);
    returned = true;
    const double blockedAfterFreezeMs = soak::NowMs() - frozenAtMs;
    outside.join();
    ASSERT_TRUE(frozen.load()) << "the browser never got the request";
    EXPECT_FALSE(stuck.load()) << "a hanging browser kept the window blocked for 30 s";
    RecordProperty("blocked_after_freeze_ms", static_cast<int>(blockedAfterFreezeMs));

    // The menu opens again, and the refresh that waited shows the new moment.
    const int menus = g_menus;
    OpenMenu();
    EXPECT_EQ(g_menus, menus + 1);
    EXPECT_TRUE(PumpUntil(
        [] { return !g_tips.empty() && g_tips.back().rfind("<Next launch at ", 0) == 0; }, kGenerous));

    FreezeProcess(browser.id, false);
    Kill(browser);
}

}  // namespace
