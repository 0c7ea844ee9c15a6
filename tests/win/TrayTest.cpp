// The application object in this process, its shell calls recorded.
#include "app/Autostart.h"
#include "app/VrlnSchdMain.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "core/Texts.h"
#include "sched/DecisionLog.h"
#include "sched/ThreadSync.h"
#include "win/Platform.h"
#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 20000;

struct ShellCall {
    DWORD message;
    NOTIFYICONDATAA record;
    bool accepted = false;
    int iconSize = 0;  // of the icon handed over, read during the call: the caller frees it after
    int iconBits = 0;
    std::string Tip() const { return record.szTip; }
};

std::vector<ShellCall> g_calls;
// The shell's side: the icons it shows, and whether its taskbar is up yet.
std::set<std::pair<HWND, UINT>> g_icons;
bool g_taskbarUp = true;
bool g_noticesRefused = false;  // the shell too busy for notifications
// The taskbar's answer to a notification came too late: the call says FALSE,
// with ERROR_TIMEOUT or, as some versions do, after its whole time-out with nothing.
enum class LateAnswer { None, SaysTimeout, TakesTheTimeOut } g_noticesAnsweredLate = LateAnswer::None;
std::atomic<ULONGLONG> g_ticks{0};
ULONGLONG WINAPI TestTicks() { return g_ticks; }
int g_answer = IDNO;
int g_questions = 0;
std::string g_question;
std::function<void(HMENU, HWND)> g_onMenu;
int g_menus = 0;
// Called once, during the next notification's shell call, as the messages sent meanwhile are.
std::function<void()> g_duringNotice;
// The worker's hand-overs that reached the window.
std::atomic<int> g_refreshes{0};

BOOL WINAPI RecordShell(DWORD message, PNOTIFYICONDATAA data) {
    ShellCall call{message, *data};
    ICONINFO info{};
    if (data->hIcon && ::GetIconInfo(data->hIcon, &info)) {
        BITMAP bitmap{};
        ::GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
        call.iconSize = bitmap.bmWidth;
        call.iconBits = bitmap.bmBitsPixel;
        if (info.hbmColor) ::DeleteObject(info.hbmColor);
        ::DeleteObject(info.hbmMask);
    }
    const auto icon = std::make_pair(data->hWnd, data->uID);
    switch (message) {
        case NIM_ADD: call.accepted = g_taskbarUp && g_icons.insert(icon).second; break;
        case NIM_MODIFY: call.accepted = g_icons.count(icon) != 0 && !(g_noticesRefused && (data->uFlags & NIF_INFO)); break;
        case NIM_DELETE: call.accepted = g_icons.erase(icon) != 0; break;
        default: break;
    }
    const bool late = (data->uFlags & NIF_INFO) && g_noticesAnsweredLate != LateAnswer::None;
    if (late) {
        call.accepted = false;
        if (g_noticesAnsweredLate == LateAnswer::TakesTheTimeOut) g_ticks += 4000;
    }
    g_calls.push_back(call);
    if ((data->uFlags & NIF_INFO) && g_duringNotice) std::exchange(g_duringNotice, nullptr)();
    ::SetLastError(late && g_noticesAnsweredLate == LateAnswer::SaysTimeout ? ERROR_TIMEOUT : ERROR_SUCCESS);
    return call.accepted;
}
// How often the shell was handed a notification, taken or not.
std::size_t NoticeHandOvers() {
    return static_cast<std::size_t>(std::count_if(g_calls.begin(), g_calls.end(),
                                                  [](const ShellCall& call) { return call.record.uFlags & NIF_INFO; }));
}
// The notifications that the shell took, in order.
std::vector<ShellCall> ShownNotices() {
    std::vector<ShellCall> shown;
    for (const ShellCall& call : g_calls)
        if ((call.record.uFlags & NIF_INFO) && call.accepted) shown.push_back(call);
    return shown;
}
int WINAPI AnswerQuestion(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    ++g_questions;
    g_question = std::string(caption) + "|" + text + "|" + std::to_string(type);
    return g_answer;
}
BOOL WINAPI RecordMenu(HMENU menu, UINT, int, int, int, HWND owner, const RECT*) {
    ++g_menus;
    if (g_onMenu) g_onMenu(menu, owner);
    return TRUE;
}


// The decision log of the program in this process, emptied at the start of a test that reads it.
std::string DecisionLogPath() { return DefaultLogFolder() + TDecisionLog::kFileName; }
std::string DecisionLog() { return ReadWholeFile(DecisionLogPath()); }

bool NoticeSet(int index) {
    UniqueHandle event(::OpenEventA(SYNCHRONIZE, FALSE,
                                    (std::string(kSyncName) + "_EventDataToRead" + std::to_string(index)).c_str()));
    return event && ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}
void ResetNotice(int index) {
    UniqueHandle event(::OpenEventA(EVENT_MODIFY_STATE, FALSE,
                                    (std::string(kSyncName) + "_EventDataToRead" + std::to_string(index)).c_str()));
    if (event) ::ResetEvent(event.get());
}

struct MenuSeen {
    UINT load = 0;
    UINT suspend = 0;
    UINT webs = 0;
    UINT defaultItem = 0;
    int items = 0;
    std::string first;  // the text of the top item, and its state and the next one's
    UINT firstState = 0;
    UINT secondState = 0;
};

// Sets the timer as the real call does, on a machine that can be woken by it:
// Wine's own answer (722) would make every moment a day ahead a warning.
BOOL WINAPI TimerThatWakes(HANDLE timer, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE routine,
                           LPVOID argument, BOOL resume) {
    const BOOL set = ::SetWaitableTimer(timer, due, period, routine, argument, resume);
    ::SetLastError(ERROR_SUCCESS);
    return set;
}

class CountingPlandrel : public TPlandrel {
    void WindowProc(TMessage& message) override {
        if (message.Msg == WM_REFRESHTRAY) ++g_refreshes;
        TPlandrel::WindowProc(message);
    }
};

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = Platform();
        Platform().ShellNotifyIcon = &RecordShell;
        Platform().MessageBox = &AnswerQuestion;
        Platform().TrackPopupMenu = &RecordMenu;
        Platform().GetTickCount64 = &TestTicks;
        Platform().SetWaitableTimer = &TimerThatWakes;
        g_calls.clear();
        g_icons.clear();
        g_taskbarUp = true;
        g_noticesRefused = false;
        g_noticesAnsweredLate = LateAnswer::None;
        g_ticks = 1000000;
        g_questions = 0;
        g_menus = 0;
        g_onMenu = nullptr;
        g_duringNotice = nullptr;
        g_refreshes = 0;
        DeleteSchedulerKey();
        peer = std::make_unique<TDataSynchronizer>(kSyncName, 1);
        ResetNotice(1);
    }
    void TearDown() override {
        plandrel.reset();
        Plandrel = nullptr;
        TWebsReader::StepHookForTest = nullptr;  // only once no reader runs
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        Platform() = saved;
        DeleteSchedulerKey();
    }

    void Create() {
        plandrel = std::make_unique<CountingPlandrel>();
        Plandrel = plandrel.get();
        ASSERT_TRUE(plandrel->CreateTrayWindow());
    }
    MenuSeen OpenMenu() {
        MenuSeen seen;
        g_onMenu = [&seen](HMENU menu, HWND) {
            seen.items = ::GetMenuItemCount(menu);
            seen.load = ::GetMenuState(menu, IDM_LOAD, MF_BYCOMMAND);
            seen.suspend = ::GetMenuState(menu, IDM_SUSPEND, MF_BYCOMMAND);
            seen.webs = ::GetMenuState(menu, seen.items - 4, MF_BYPOSITION);  // counted from the end: Unload is last
            seen.defaultItem = ::GetMenuDefaultItem(menu, TRUE, 0);
            char text[128] = {};
            ::GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
            seen.first = text;
            seen.firstState = ::GetMenuState(menu, 0, MF_BYPOSITION);
            seen.secondState = ::GetMenuState(menu, 1, MF_BYPOSITION);
        };
        ::SendMessageA(plandrel->Window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
        g_onMenu = nullptr;
        return seen;
    }
    void Command(WPARAM id) { ::SendMessageA(plandrel->Window(), WM_COMMAND, id, 0); }
    // The items of "&Local webs" as the next opening shows them.
    std::vector<std::string> OpenWebsMenu() {
        std::vector<std::string> items;
        g_onMenu = [&items](HMENU menu, HWND) {
            const HMENU webs = ::GetSubMenu(menu, 1);
            for (int i = 0; i < ::GetMenuItemCount(webs); ++i) {
                char text[64] = {};
                ::GetMenuStringA(webs, i, text, sizeof text, MF_BYPOSITION);
                items.push_back(text);
            }
        };
        ::SendMessageA(plandrel->Window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
        g_onMenu = nullptr;
        return items;
    }

    PlatformCalls saved;
    std::unique_ptr<TDataSynchronizer> peer;
    std::unique_ptr<TPlandrel> plandrel;
};

}  // namespace

TEST_F(TrayTest, TheFirstAddCarriesTheActiveIconTheCallbackAndTheTooltip) {
    Create();
    ASSERT_EQ(g_calls.size(), 1u);
    const ShellCall& add = g_calls[0];
    EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(add.record.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(add.record.cbSize, 88u);
    }
    EXPECT_EQ(add.record.hWnd, plandrel->Window());
    EXPECT_EQ(add.record.uID, 1u);
    EXPECT_EQ(add.record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(add.record.uCallbackMessage, 1408u);
    EXPECT_EQ(add.iconSize, 16);  // the small-icon size at 96 DPI, not LoadIconA's 32
    EXPECT_EQ(add.iconBits, 32);
    EXPECT_EQ(add.Tip(), "<No task is waiting to run>");
    EXPECT_EQ(plandrel->IconOffset(), 0);
}

TEST_F(TrayTest, SteadyRefreshesMakeNoShellCall) {
    Create();
    PumpFor(3000);
    EXPECT_EQ(g_calls.size(), 1u);
    // Nor does the worker hand anything over while nothing changes: the attach's one call.
    EXPECT_EQ(g_refreshes, 1);
}

TEST_F(TrayTest, SuspendedAtStartTurnsIntoTheCrossedOutIconAtTheFirstRefresh) {
    WriteSchedulerValues(1, 0.0);
    Create();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset(), 0);
    ASSERT_TRUE(PumpUntil([] { return g_calls.size() >= 2; }, kGenerous));
    PumpFor(1500);
    // One modification with the new icon; the tooltip did not change, so no second call.
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(g_calls[1].record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(plandrel->IconOffset(), 8);
}

TEST_F(TrayTest, AnAnnouncedMomentChangesOnlyTheTooltip) {
    Create();
    ASSERT_TRUE(peer->BeginWrite(1000));
    WriteSchedulerValues(0, Moment(2031, 9, 30, 14, 5, 0));
    peer->EndWrite();
    ASSERT_TRUE(PumpUntil([] { return g_calls.size() >= 2; }, kGenerous));
    const ShellCall& modify = g_calls[1];
    EXPECT_EQ(modify.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(modify.record.uFlags, static_cast<UINT>(NIF_TIP));
    EXPECT_EQ(modify.record.hIcon, nullptr);
    EXPECT_EQ(modify.record.uCallbackMessage, 0u);
    EXPECT_EQ(modify.Tip(), "<Next launch at Tuesday 30 Sep 2031,14:05:00>");
    PumpFor(1500);
    EXPECT_EQ(g_calls.size(), 2u);
}

namespace {
std::atomic<int> g_timerSets{0};
// Set, on a machine that will not wake for it.
BOOL WINAPI CountTimerSet(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL) {
    ++g_timerSets;
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return TRUE;
}
ULONG WINAPI NoNetwork(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG) { return ERROR_NO_DATA; }
HRESULT WINAPI NoNetworkList(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* object) {
    *object = nullptr;
    return REGDB_E_CLASSNOTREG;
}
}  // namespace

TEST_F(TrayTest, ATimeChangeSetsTheWakeTimerAgainAndTheTooltipTellsOfTheWaitForANetworkWhichLoadEnds) {
    Platform().SetWaitableTimer = &CountTimerSet;
    Platform().GetAdaptersAddresses = &NoNetwork;
    Platform().CoCreateInstance = &NoNetworkList;
    WinExecRecorder winExec(false, 33);
    g_timerSets = 0;
    const double tomorrow = LocalNow() + 1.0;
    WriteSchedulerValues(0, tomorrow);
    Create();
    EXPECT_EQ(g_timerSets, 1);
    // A timer that will not wake the machine is told through the icon.
    ASSERT_TRUE(PumpUntil([] { return !ShownNotices().empty(); }, kGenerous));
    EXPECT_STREQ(ShownNotices()[0].record.szInfoTitle, "The computer may not wake for the launch");
    const std::string planned = "Planned for " + core::FormatLaunchMoment(tomorrow, UserLocaleNames());
    EXPECT_EQ(std::string(ShownNotices()[0].record.szInfo).rfind(planned, 0), 0u);
    ::SendMessageA(plandrel->Window(), WM_TIMECHANGE, 0, 0);
    EXPECT_TRUE(WaitFor([] { return g_timerSets == 2; }, kGenerous));
    const double due = LocalNow() - 1.0 / 24 / 60;
    ASSERT_TRUE(peer->BeginWrite(1000));
    WriteSchedulerValues(0, due);
    peer->EndWrite();
    ASSERT_TRUE(PumpUntil([] { return g_calls.back().Tip() == "<Waiting for a network connection>"; }, kGenerous));
    // "Load Vorlane..." takes the waiting moment: used, told as started, and not started again.
    Command(IDM_LOAD);
    ASSERT_TRUE(PumpUntil([] { return g_calls.back().Tip() == "<No task is waiting to run>"; }, kGenerous));
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{0}, 0.0));
    EXPECT_EQ(OpenMenu().first,
              "Last planned launch: " + core::FormatLaunchMoment(due, UserLocaleNames()) + ", started");
    PumpFor(2500);
    EXPECT_EQ(winExec.Calls().size(), 1u);
}

TEST_F(TrayTest, DestroyDeletesTheIconAndNoRefreshFollows) {
    Create();
    ::DestroyWindow(plandrel->Window());
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_TRUE(g_icons.empty());
    const std::size_t calls = g_calls.size();
    PumpFor(2000);
    EXPECT_EQ(g_calls.size(), calls);
    EXPECT_EQ(plandrel->Scheduler(), nullptr);
}

TEST_F(TrayTest, OnlyTheRightButtonGoingDownOpensTheMenu) {
    Create();
    for (LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_MOUSEMOVE}) {
        ::SendMessageA(plandrel->Window(), WM_TRAYNOTIFY, 0, mouse);
    }
    EXPECT_EQ(g_menus, 0);
    OpenMenu();
    EXPECT_EQ(g_menus, 1);
}

TEST_F(TrayTest, TheMenuShowsTheMainApplicationsPresenceAndTheSuspension) {
    WriteSchedulerValues(2, 0.0);
    Create();
    MenuSeen seen = OpenMenu();
    EXPECT_EQ(seen.items, 5);
    EXPECT_EQ(seen.defaultItem, 0u);
    EXPECT_EQ(seen.load & (MF_GRAYED | MF_DISABLED), 0u);
    EXPECT_EQ(seen.suspend & MF_CHECKED, 0u);
    EXPECT_NE(seen.webs & MF_GRAYED, 0u);

    Process standin = Start("\"" + BinDir() + "VRLN98.EXE\" --hold=60000");
    ASSERT_TRUE(WaitFor([] { return MutexExists("APPLICATION-VORLANE 98"); }, kGenerous));
    Command(IDM_SUSPEND);
    seen = OpenMenu();
    EXPECT_NE(seen.load & MF_GRAYED, 0u);
    EXPECT_NE(seen.suspend & MF_CHECKED, 0u);
    Kill(standin);
}

TEST_F(TrayTest, SuspendTogglesBitZeroOnlyAndReachesIconRegistryAndNotice) {
    WriteSchedulerValues(2, 0.0);
    Create();
    g_calls.clear();
    Command(IDM_SUSPEND);
    EXPECT_EQ(plandrel->Scheduler()->State(), 3);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset(), 8);
    // Stored by the worker, which the window's thread does not wait for.
    EXPECT_TRUE(WaitFor([] { return ReadRecord() == std::make_pair(DWORD{3}, 0.0); }, kGenerous));
    EXPECT_TRUE(NoticeSet(1));

    Command(IDM_SUSPEND);
    EXPECT_EQ(plandrel->Scheduler()->State(), 2);
    EXPECT_EQ(plandrel->IconOffset(), 0);
    EXPECT_TRUE(WaitFor([] { return ReadRecord() == std::make_pair(DWORD{2}, 0.0); }, kGenerous));
}

TEST_F(TrayTest, UnloadAnsweredNoChangesNothing) {
    Create();
    ASSERT_TRUE(RegisterAutostart(kAutostartValue, "C:\\Tools\\VrlnSchd.exe"));
    g_answer = IDNO;
    Command(IDM_UNLOAD);
    EXPECT_EQ(g_questions, 1);
    EXPECT_EQ(g_question, "Exit|Do you want to stop the Vorlane scheduler?|4");
    EXPECT_TRUE(::IsWindow(plandrel->Window()));
    UniqueHkey run;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, run.put()), ERROR_SUCCESS);
    EXPECT_EQ(::RegQueryValueExA(run.get(), kAutostartValue, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

TEST_F(TrayTest, UnloadAnsweredYesRemovesTheEntryTheIconAndTheWindow) {
    Create();
    g_answer = IDYES;
    Command(IDM_UNLOAD);
    EXPECT_FALSE(::IsWindow(plandrel->Window()));
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    UniqueHkey run;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, run.put()), ERROR_SUCCESS);
    EXPECT_EQ(::RegQueryValueExA(run.get(), kAutostartValue, nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    MSG msg;
    EXPECT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(TrayTest, TheSessionsEndStoresTheToggleThatWaitsAndTheRestartManagersCloseEndsTheProgram) {
    ::DeleteFileA(DecisionLogPath().c_str());
    WriteSchedulerValues(0, 0.0);
    Create();
    ASSERT_TRUE(peer->BeginWrite(1000));
    Command(IDM_SUSPEND);
    PumpFor(300);  // the worker's store finds no write access and waits to try again
    peer->EndWriteUnannounced();
    const HWND wnd = plandrel->Window();
    EXPECT_EQ(::SendMessageA(wnd, WM_QUERYENDSESSION, 0, 0), TRUE);
    // After this the process may be ended at once: the toggle is stored by then.
    ::SendMessageA(wnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{1}, 0.0));
    const std::string told = DecisionLog();
    EXPECT_LT(told.find("Session ends: logoff"), told.find("Stopped")) << told;
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_TRUE(::IsWindow(wnd));
    ::SendMessageA(wnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    EXPECT_FALSE(::IsWindow(wnd));
}

TEST_F(TrayTest, AStartOfTheMainApplicationThatFailsIsToldByANotification) {
    WinExecRecorder winExec(false, ERROR_PATH_NOT_FOUND);
    // A scheduled launch: the worker posts it to the window's thread.
    const double moment = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, moment);
    Create();
    ASSERT_TRUE(PumpUntil([&] { return ShownNotices().size() == 1; }, kGenerous));
    // "Load" right after it: started again, and its failure told too.
    Command(IDM_LOAD);
    ASSERT_TRUE(PumpUntil([&] { return ShownNotices().size() == 2; }, kGenerous));
    for (const ShellCall& call : ShownNotices()) {
        EXPECT_EQ(call.message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(call.record.uFlags, static_cast<UINT>(NIF_INFO));
        EXPECT_EQ(call.record.dwInfoFlags, static_cast<DWORD>(NIIF_WARNING));
        EXPECT_GE(call.record.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
        EXPECT_STREQ(call.record.szInfoTitle, "Vorlane was not started");
        EXPECT_EQ(std::string(call.record.szInfo), "The folder was not found:\n" + MainAppPath());
    }
    EXPECT_EQ(winExec.Calls().size(), 2u);
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{0}, 0.0));  // consumed all the same
    // The menu keeps it too, after the notification has gone; the user's own start changes nothing there.
    EXPECT_EQ(OpenMenu().first, "Last planned launch: " + core::FormatLaunchMoment(moment, UserLocaleNames()) +
                                    ", not started");

    // WinExec's 11 stands for many failures: only a file whose bytes are no program is called one.
    TempDir dir;
    WriteBytes(dir.Path() + "VRLN98.EXE", "MZ and nothing more");
    const struct Case { std::string path; const char* reason; } cases[] = {
        {dir.Path() + "VRLN98.EXE", "This is not a valid program:"},
        {BinDir() + "VRLN98.EXE", "The program could not be started:"},
        {dir.Path() + "gone.exe", "The program could not be started:"}};
    for (const Case& c : cases) {
        plandrel->ShowLaunchFailure(c.path, ERROR_BAD_FORMAT);
        EXPECT_EQ(std::string(ShownNotices().back().record.szInfo), c.reason + ("\n" + c.path));
    }
}

namespace {
// "Last launch" as the README lays it out: two doubles and a 32-bit outcome, little-endian.
std::string LastLaunchBytes(double planned, double started, std::uint32_t outcome) {
    std::string bytes(20, '\0');
    std::memcpy(&bytes[0], &planned, 8);
    std::memcpy(&bytes[8], &started, 8);
    std::memcpy(&bytes[16], &outcome, 4);
    return bytes;
}
void StoreLastLaunch(DWORD type, const std::string& bytes) {
    UniqueHkey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.get(), "Last launch", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}
}  // namespace

TEST_F(TrayTest, TheMenuOpensWithWhatBecameOfTheLastPlannedLaunchAsAnEarlierRunStoredIt) {
    const double planned = Moment(2026, 12, 8, 3, 0, 0), minute = 1.0 / 24 / 60;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::string at = "Last planned launch: Tuesday 8 Dec 2026,03:00:00, ";
    const struct Case { DWORD type; std::string bytes; std::string item; } cases[] = {
        {REG_BINARY, LastLaunchBytes(planned, planned + 2 * minute, 1), at + "started"},
        {REG_BINARY, LastLaunchBytes(planned, planned + 5 * minute, 1), at + "started"},
        {REG_BINARY, LastLaunchBytes(planned, Moment(2026, 12, 8, 7, 42, 10), 1), at + "started late at 07:42:10"},
        {REG_BINARY, LastLaunchBytes(planned, Moment(2026, 12, 9, 7, 42, 10), 1),
         at + "started late at Wednesday 9 Dec 2026,07:42:10"},
        {REG_BINARY, LastLaunchBytes(planned, planned + 2 * minute, 2), at + "started without a network"},
        {REG_BINARY, LastLaunchBytes(planned, planned, 3), at + "Vorlane was already running"},
        {REG_BINARY, LastLaunchBytes(planned, planned, 4), at + "not started"},
        {REG_BINARY, LastLaunchBytes(planned, planned, 4).substr(0, 19), ""},
        {REG_BINARY, LastLaunchBytes(planned, planned, 4) + "x", ""},
        {REG_DWORD, LastLaunchBytes(planned, planned, 4), ""},
        {REG_BINARY, LastLaunchBytes(nan, planned, 1), ""},
        {REG_BINARY, LastLaunchBytes(0, planned, 1), ""},
        {REG_BINARY, LastLaunchBytes(1.5, planned, 1), ""},  // 31 December 1899
        {REG_BINARY, LastLaunchBytes(planned, inf, 1), ""},
        {REG_BINARY, LastLaunchBytes(planned, planned, 5), ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item.empty() ? "no item, from " + std::to_string(c.bytes.size()) + " bytes" : c.item);
        DeleteSchedulerKey();
        StoreLastLaunch(c.type, c.bytes);
        Create();
        const MenuSeen seen = OpenMenu();
        const bool item = !c.item.empty();
        EXPECT_EQ(seen.first, item ? c.item : "&Load Vorlane...");
        if (item) {
            EXPECT_NE(seen.firstState & MF_GRAYED, 0u);
            EXPECT_NE(seen.secondState & MF_SEPARATOR, 0u);
        }
        // The default item, the load item's state and the webs submenu stay where they belong.
        EXPECT_EQ(seen.items, item ? 7 : 5);
        EXPECT_EQ(seen.defaultItem, item ? 2u : 0u);
        EXPECT_EQ(seen.load & MF_GRAYED, 0u);
        EXPECT_EQ(seen.webs & (MF_POPUP | MF_GRAYED), static_cast<UINT>(MF_POPUP | MF_GRAYED));
        plandrel.reset();
        Plandrel = nullptr;
    }

    // A scheduled start an hour after its moment is told once, and kept for the next run.
    WinExecRecorder winExec(false, 33);
    DeleteSchedulerKey();
    const double late = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, late);
    Create();
    ASSERT_TRUE(PumpUntil([] { return !ShownNotices().empty(); }, kGenerous));
    const std::string when = core::FormatLaunchMoment(late, UserLocaleNames());
    EXPECT_STREQ(ShownNotices()[0].record.szInfoTitle, "Vorlane was started late");
    EXPECT_EQ(std::string(ShownNotices()[0].record.szInfo).rfind("The launch planned for " + when + " was made at ", 0),
              0u)
        << ShownNotices()[0].record.szInfo;
    const std::string item = OpenMenu().first;
    EXPECT_EQ(item.rfind("Last planned launch: " + when + ", started late at ", 0), 0u) << item;
    // The same late launch heard of again is not told again.
    plandrel->ShowTrayNotice({TTrayNotice::TKind::LaunchedLate, 0, *plandrel->Scheduler()->LastLaunch()});
    PumpFor(1500);
    EXPECT_EQ(ShownNotices().size(), 1u);
    plandrel.reset();
    Create();
    EXPECT_EQ(OpenMenu().first, item);
}

TEST_F(TrayTest, UnusedCommandIdsDoNothing) {
    Create();
    for (WPARAM id : {101, 102, 105, 150, 199, 200, 260, 0xFFFF}) Command(id);
    EXPECT_EQ(g_questions, 0);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(::IsWindow(plandrel->Window()));
    EXPECT_EQ(plandrel->Scheduler()->State(), 0);
}

TEST_F(TrayTest, ARestartedTaskbarGetsTheIconBackWithTheCurrentPictureAndTip) {
    WriteSchedulerValues(1, 0.0);
    Create();
    Command(IDM_SUSPEND);  // resumed
    Command(IDM_SUSPEND);  // suspended again: the icon now shows offset 8
    g_calls.clear();
    g_icons.clear();  // Explorer restarted
    ::SendMessageA(plandrel->Window(), ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset(), 8);
}

TEST_F(TrayTest, AnIconTheTaskbarCouldNotTakeYetIsAddedAtALaterRefresh) {
    g_taskbarUp = false;  // at logon
    Create();
    ASSERT_EQ(g_calls.size(), 2u);  // the add, then a modification that finds no icon
    EXPECT_EQ(g_calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(plandrel->IconOffset(), -1);
    ASSERT_TRUE(PumpUntil([] { return g_calls.size() >= 4; }, kGenerous));
    EXPECT_EQ(g_calls[2].message, static_cast<DWORD>(NIM_ADD));
    g_taskbarUp = true;
    ASSERT_TRUE(PumpUntil([] { return !g_icons.empty(); }, kGenerous));
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_calls.back().record.uID, 1u);
    EXPECT_EQ(g_calls.back().Tip(), "<No task is waiting to run>");
    EXPECT_EQ(plandrel->IconOffset(), 0);
    const std::size_t calls = g_calls.size();
    PumpFor(2500);
    EXPECT_EQ(g_calls.size(), calls);
}

TEST_F(TrayTest, ANotificationWhileTheIconIsMissingIsShownOnceTheIconIsThere) {
    ::DeleteFileA(DecisionLogPath().c_str());
    g_taskbarUp = false;  // at logon
    Create();
    plandrel->ShowLaunchFailure(MainAppPath(), ERROR_FILE_NOT_FOUND);
    g_taskbarUp = true;
    ASSERT_TRUE(PumpUntil([] { return !ShownNotices().empty(); }, kGenerous));
    // The window's decision reaches the log that the worker writes.
    EXPECT_TRUE(WaitFor([] { return DecisionLog().find(std::string("Notice shown: ") + core::kLaunchFailureTitle) !=
                                    std::string::npos; }, kGenerous));
    Command(IDM_SUSPEND);  // a refresh that hands the shell the icon again
    ASSERT_EQ(ShownNotices().size(), 1u);
    EXPECT_EQ(std::string(ShownNotices()[0].record.szInfo), "The file was not found:\n" + MainAppPath());
    g_icons.clear();  // Explorer ended; its restart is told later
    plandrel->ShowLaunchFailure(MainAppPath(), ERROR_PATH_NOT_FOUND);
    ::SendMessageA(plandrel->Window(), ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    ASSERT_EQ(ShownNotices().size(), 2u);
    EXPECT_EQ(std::string(ShownNotices()[1].record.szInfo), "The folder was not found:\n" + MainAppPath());
    // Refused while the icon is there (the shell busy): tried again soon, not at the next change of the icon.
    g_noticesRefused = true;
    plandrel->ShowLaunchFailure(MainAppPath(), ERROR_ACCESS_DENIED);
    g_noticesRefused = false;
    ASSERT_TRUE(PumpUntil([] { return ShownNotices().size() == 3; }, kGenerous));
    EXPECT_EQ(std::string(ShownNotices()[2].record.szInfo), "Access was denied to\n" + MainAppPath());
    // An answer that came after the shell's time-out may still be shown: never handed over again.
    const std::size_t handOvers = NoticeHandOvers();
    for (const LateAnswer late : {LateAnswer::SaysTimeout, LateAnswer::TakesTheTimeOut}) {
        g_noticesAnsweredLate = late;
        plandrel->ShowLaunchFailure(MainAppPath(), 1234);
        g_noticesAnsweredLate = LateAnswer::None;
    }
    PumpFor(2500);
    EXPECT_EQ(NoticeHandOvers(), handOvers + 2);
    // A minute after its event it is dropped, also at the icon's next add; none is shown twice.
    g_noticesRefused = true;
    plandrel->ShowLaunchFailure(MainAppPath(), ERROR_NOT_ENOUGH_MEMORY);
    g_ticks += 60001;
    g_noticesRefused = false;
    g_icons.clear();
    ::SendMessageA(plandrel->Window(), ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    PumpFor(2500);
    EXPECT_EQ(ShownNotices().size(), 3u);
    // Told while the shell shows another, with a later time: each is shown, none pushed out.
    g_duringNotice = [this] {
        g_ticks += 10;
        for (const UINT code : {2u, 3u, 5u, 8u}) plandrel->ShowLaunchFailure(MainAppPath(), code);
    };
    plandrel->ShowLaunchFailure(MainAppPath(), 1234);
    EXPECT_EQ(ShownNotices().size(), 8u);
}

TEST_F(TrayTest, DpiAndDisplayChangesHandTheShellTheIconAgain) {
    Create();
    g_calls.clear();
    RECT suggested{0, 0, 0, 0};
    ::SendMessageA(plandrel->Window(), WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
    ::SendMessageA(plandrel->Window(), WM_DISPLAYCHANGE, 24, MAKELPARAM(1024, 768));
    // Windows 10 sends this on a DPI change too, with the icon still in place.
    ::SendMessageA(plandrel->Window(), ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    std::vector<DWORD> messages;
    for (const ShellCall& call : g_calls) {
        messages.push_back(call.message);
        EXPECT_EQ(call.record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
        EXPECT_EQ(call.iconSize, 16);
    }
    EXPECT_EQ(messages, (std::vector<DWORD>{NIM_MODIFY, NIM_MODIFY, NIM_ADD, NIM_MODIFY}));
    EXPECT_EQ(plandrel->IconOffset(), 0);
    PumpFor(1500);
    EXPECT_EQ(g_calls.size(), 4u);
}

TEST_F(TrayTest, AtOneHundredAndFiftyPercentTheShellGetsTheTwentyFourPixelIcon) {
    if (std::getenv("VRLN_TRAY_AT_144_DPI")) {  // the second run, below
        Create();
        ASSERT_FALSE(g_calls.empty());
        EXPECT_EQ(g_calls[0].iconSize, 24);
        EXPECT_EQ(g_calls[0].iconBits, 32);
        return;
    }
    // Wine reads the DPI when a process starts: a second run of this test sees it.
    UniqueHkey desktop;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              desktop.put()),
              ERROR_SUCCESS);
    DWORD dpi = 0;
    DWORD size = sizeof dpi;
    const bool had = ::RegQueryValueExA(desktop.get(), "LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&dpi),
                                        &size) == ERROR_SUCCESS;
    const DWORD wanted = 144;
    ASSERT_EQ(::RegSetValueExA(desktop.get(), "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&wanted), 4),
              ERROR_SUCCESS);
    ScopedEnv second("VRLN_TRAY_AT_144_DPI", "1");
    Process run = Start("\"" + BinDir() + "tray_tests.exe\" --gtest_filter=TrayTest." +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const DWORD exitCode = WaitExit(run, kGenerous);
    if (exitCode == STILL_ACTIVE) Kill(run);
    if (had) {
        ::RegSetValueExA(desktop.get(), "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), 4);
    } else {
        ::RegDeleteValueA(desktop.get(), "LogPixels");  // a new prefix has none: 96
    }
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(TrayTest, TheUnloadQuestionHasTheButtonsOfCommonControlsSix) {
    Create();
    Platform().MessageBox = ::MessageBoxA;
    std::atomic<LRESULT> answered{-1};
    std::thread user([&answered] {
        HWND box = nullptr;
        if (!WaitFor([&box] { return (box = ::FindWindowA("#32770", "Exit")) != nullptr; }, kGenerous)) return;
        SIZE ideal{};
        // Only the buttons of Common Controls 6 know this message; user32's answer 0.
        answered = ::SendMessageA(::GetDlgItem(box, IDNO), BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
        ::PostMessageA(box, WM_COMMAND, IDNO, 0);
    });
    Command(IDM_UNLOAD);
    user.join();
    EXPECT_EQ(answered, TRUE);
}

namespace {
BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}
BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}
std::string ResourceBytes(HMODULE module, LPCSTR type, LPCSTR name) {
    const HRSRC found = ::FindResourceA(module, name, type);
    const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    return loaded ? std::string(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, found))
                  : "";
}
// An icon group's images as "<size>x<bits>", in the group's order.
std::string IconImages(HMODULE module, LPCSTR name) {
    const std::string group = ResourceBytes(module, RT_GROUP_ICON, name);
    std::string images;
    for (std::size_t at = 6; at + 14 <= group.size(); at += 14) {  // packed GRPICONDIRENTRY
        const int size = static_cast<unsigned char>(group[at]);
        images += (at == 6 ? "" : " ") + std::to_string(size == 0 ? 256 : size) + "x" + std::to_string(group[at + 6]);
    }
    return images;
}
}  // namespace

TEST(ProgramFileTest, HoldsOneManifestAndIconsForEveryDisplayScaling) {
    std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> exe(
        ::LoadLibraryExA((BinDir() + "VrlnSchd.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), &::FreeLibrary);
    ASSERT_TRUE(exe);
    std::vector<ULONG_PTR> names;
    ::EnumResourceNamesA(exe.get(), RT_MANIFEST, &CountName, reinterpret_cast<LONG_PTR>(&names));
    int languages = 0;
    ::EnumResourceLanguagesA(exe.get(), RT_MANIFEST, MAKEINTRESOURCEA(1), &CountLanguage,
                             reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(names, std::vector<ULONG_PTR>{1});
    EXPECT_EQ(languages, 1);
    const std::string manifest = ResourceBytes(exe.get(), RT_MANIFEST, MAKEINTRESOURCEA(1));
    EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
    // Any execution level would end the virtualization that the main application gets.
    EXPECT_EQ(manifest.find("requestedExecutionLevel"), std::string::npos);

    // The two icons that are shown come in every size; the others are carried as they always were.
    for (int id = IDI_TRAY_BASE; id <= IDI_TRAY_SUSPENDED; ++id) {
        const bool shown = id == IDI_TRAY_BASE || id == IDI_TRAY_SUSPENDED;
        EXPECT_EQ(IconImages(exe.get(), MAKEINTRESOURCEA(id)),
                  shown ? "16x4 16x32 20x32 24x32 32x32 40x32 48x32" : "16x4")
            << id;
    }
    EXPECT_EQ(IconImages(exe.get(), "MAINICON"), "32x4 16x4 48x32 256x32");
}

namespace {
// Where the next kernel handle and GDI object would land. The lowest free
// slot is taken first, so a leak shows as a climbing slot even where the
// counters (GetGuiResources, GetProcessHandleCount) are not kept, as under
// Wine. USER objects have no such probe: their free slots are reused last-freed first.
struct NextSlots {
    UINT_PTR kernel;
    unsigned gdi;
};
NextSlots ProbeNextSlots() {
    UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const HBRUSH brush = ::CreateSolidBrush(RGB(1, 2, 3));
    NextSlots slots{reinterpret_cast<UINT_PTR>(event.get()), LOWORD(reinterpret_cast<UINT_PTR>(brush))};
    ::DeleteObject(brush);
    return slots;
}
}  // namespace

TEST_F(TrayTest, FiveHundredMenuOpeningsLeakNoHandlesOrObjects) {
    Create();
    OpenMenu();
    const DWORD userBefore = ::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS);
    const DWORD gdiBefore = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    DWORD handlesBefore = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handlesBefore);
    const NextSlots before = ProbeNextSlots();
    for (int i = 0; i < 500; ++i) OpenMenu();
    const NextSlots after = ProbeNextSlots();
    DWORD handlesAfter = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS), userBefore);
    EXPECT_EQ(::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS), gdiBefore);
    // The worker may hold a wait handle or two at either moment.
    EXPECT_LE(handlesAfter, handlesBefore + 2);
    EXPECT_LE(after.kernel, before.kernel + 8 * sizeof(HANDLE));
    EXPECT_LE(after.gdi, before.gdi + 8);
    EXPECT_EQ(g_menus, 501);
}

TEST_F(TrayTest, TheLocalWebsSubmenuListsTheWebsAndOpensTheChosenOneInTheBrowser) {
    TempDir work;
    const std::string browserLog = work.Path() + "browser.log";
    ScopedEnv logEnv("STANDIN_BROWSER_LOG", browserLog);
    ScopedEnv lifeEnv("STANDIN_BROWSER_LIFETIME", "30");
    std::string webs;
    for (const char* name : {"One", "Two"}) {
        const std::string file = work.Make(std::string(name) + "\\site.vrl");
        const std::string title = std::string("Site ") + name;
        WriteBytes(file, std::string("\x01x\x10\x00", 4) + static_cast<char>(title.size()) + title);
        webs += file + "\r\n";
    }
    WriteBytes(work.Path() + "webs.dat", webs);
    WriteBytes(work.Path() + "Vorlane.ini", "[Browser]\r\nExeName=" + StandinBrowserPath() + "\r\n");
    ScopedProfileString workPath("VORLANE", "WORKPATH", work.Path().c_str());

    Create();
    std::vector<std::string> items;
    UINT websState = 0;
    g_onMenu = [&](HMENU menu, HWND owner) {
        websState = ::GetMenuState(menu, 1, MF_BYPOSITION);
        const HMENU sub = ::GetSubMenu(menu, 1);
        for (int i = 0; i < ::GetMenuItemCount(sub); ++i) {
            char text[64] = {};
            ::GetMenuStringA(sub, i, text, sizeof text, MF_BYPOSITION);
            items.push_back(std::to_string(::GetMenuItemID(sub, i)) + " " + text);
        }
        ::PostMessageA(owner, WM_COMMAND, IDM_WEB_BASE + 1, 0);  // the user picks the second web
    };
    ::SendMessageA(plandrel->Window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
    EXPECT_EQ(websState & MF_GRAYED, 0u);
    EXPECT_EQ(items, (std::vector<std::string>{"200 &1 Site One", "201 &2 Site Two"}));

    // No browser runs: the chosen one is started with the page.
    ASSERT_TRUE(PumpUntil([&] { return ReadBytes(browserLog).find("start ") != std::string::npos; }, kGenerous));
    EXPECT_NE(ReadBytes(browserLog).find(" " + work.Path() + "Two\\_home.htm"), std::string::npos)
        << ReadBytes(browserLog);
    StopAllStandinBrowsers();
}

TEST_F(TrayTest, WhileAPageOpensRightClicksAndPicksAreDroppedAndACloseWaitsForTheRequest) {
    TempDir work;
    const std::string browserLog = work.Path() + "browser.log";
    std::string webs;
    for (const char* name : {"One", "Two"}) {
        const std::string file = work.Make(std::string(name) + "\\site.vrl");
        WriteBytes(file, std::string("\x01x\x10\x00\x03", 5) + name);
        webs += file + "\r\n";
    }
    WriteBytes(work.Path() + "webs.dat", webs);
    WriteBytes(work.Path() + "Vorlane.ini", "[Browser]\r\nExeName=" + StandinBrowserPath() + "\r\n");
    ScopedProfileString workPath("VORLANE", "WORKPATH", work.Path().c_str());
    // While it holds the request, the browser stands in for a user who right-clicks,
    // picks the second web (both as sent and as posted messages) and ends the program.
    ScopedEnv reply("STANDIN_BROWSER_REPLY_MS", "3000");
    ScopedEnv post("STANDIN_BROWSER_POST", "!1408:0:516,!273:201,1408:0:516,273:201,!16");
    StandinBrowser browser("late", browserLog);
    ASSERT_TRUE(browser.Started());

    Create();
    OpenMenu();  // reads the list behind the commands
    ASSERT_EQ(g_menus, 1);
    Command(IDM_WEB_BASE);
    PumpFor(500);
    EXPECT_EQ(g_menus, 1);
    const std::string log = ReadBytes(browserLog);
    EXPECT_NE(log.find("One\\_home.htm"), std::string::npos) << log;
    EXPECT_EQ(log.find("Two\\_home.htm"), std::string::npos) << log;
    EXPECT_FALSE(::IsWindow(plandrel->Window()));
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    StopAllStandinBrowsers();
}

namespace {
using Items = std::vector<std::string>;

// Stands between the read-ahead and the window: holds the reader where it
// would hand over a list with the items asked for, and keeps the items of
// each list it handed. Shared with the reader's hook, which the fixture
// removes only once no reader runs.
class ReaderGate {
public:
    static std::shared_ptr<ReaderGate> Install() {
        auto gate = std::make_shared<ReaderGate>();
        TWebsReader::StepHookForTest = [gate](TWebsReader::TStep step, const TWebsList& list) { gate->Step(step, list); };
        return gate;
    }
    ~ReaderGate() { Release(); }
    void HoldAt(const Items& items) {
        std::lock_guard<std::mutex> hold(lock_);
        holdAt_ = items;
    }
    // Waits until the reader is held; true when it is.
    bool Held() { return WaitFor([this] { return holding_.load(); }, kGenerous); }
    // Still held: a window that waited for the reader would have met the time-out below.
    bool Holding() const { return holding_; }
    void Release() { ::SetEvent(release_.get()); }
    // Waits until a list with these items was handed over.
    bool Handed(const Items& items) {
        return WaitFor(
            [&] {
                std::lock_guard<std::mutex> hold(lock_);
                return std::find(handed_.begin(), handed_.end(), items) != handed_.end();
            },
            kGenerous);
    }

private:
    void Step(TWebsReader::TStep step, const TWebsList& list) {
        Items items;
        for (const TWebsList::TItem& item : list.Items) items.push_back(item.Text);
        std::unique_lock<std::mutex> hold(lock_);
        if (step == TWebsReader::TStep::Handed) {
            handed_.push_back(items);
        } else if (holdAt_ && *holdAt_ == items) {
            holdAt_.reset();
            ::ResetEvent(release_.get());
            hold.unlock();
            holding_ = true;
            ::WaitForSingleObject(release_.get(), kGenerous);
            holding_ = false;
        }
    }

    std::mutex lock_;
    std::optional<Items> holdAt_;
    std::vector<Items> handed_;
    std::atomic<bool> holding_{false};
    UniqueHandle release_{::CreateEventA(nullptr, TRUE, TRUE, nullptr)};
};

bool SetLastWrite(const std::string& path, const FILETIME& time) {
    UniqueFile file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid() && ::SetFileTime(file.get(), nullptr, nullptr, &time);
}
}  // namespace

TEST_F(TrayTest, TheLocalWebsAreReadAheadAtEachChangeAndAMenuNeverWaitsForTheRead) {
    TempDir work;
    const std::string one = work.Make("One\\site.vrl"), two = work.Make("Two\\site.vrl");
    const std::string websDat = work.Path() + "webs.dat";
    WriteBytes(one, WebHead("Site One"));
    WriteBytes(two, WebHead("Site Two"));
    WriteBytes(websDat, one + "\r\n");
    ScopedProfileString workPath("VORLANE", "WORKPATH", work.Path().c_str());
    const auto gate = ReaderGate::Install();
    gate->HoldAt({"&1 Site One"});
    Create();

    // Opened before the first list: read as the menu opens, not waiting for the reader.
    ASSERT_TRUE(gate->Held());
    EXPECT_EQ(OpenWebsMenu(), (Items{"&1 Site One"}));
    EXPECT_TRUE(gate->Holding());
    gate->Release();

    // webs.dat changes: its notification brings the list, and the menu shows
    // it without the file, which a read now would find held.
    WriteBytes(websDat, one + "\r\n" + two + "\r\n");
    ASSERT_TRUE(gate->Handed({"&1 Site One", "&2 Site Two"}));
    {
        UniqueFile held(::CreateFileA(websDat.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(OpenWebsMenu(), (Items{"&1 Site One", "&2 Site Two"}));
    }

    // A web in a subfolder is renamed while the menu opens: it shows what is
    // known, and its commands refer to that list, until the new one comes.
    gate->HoldAt({"&1 Site One", "&2 Renamed"});
    WriteBytes(two, WebHead("Renamed"));
    ASSERT_TRUE(gate->Held());
    EXPECT_EQ(OpenWebsMenu(), (Items{"&1 Site One", "&2 Site Two"}));
    EXPECT_TRUE(gate->Holding());
    EXPECT_EQ(plandrel->Webs(), (Items{one, two}));
    gate->Release();
    ASSERT_TRUE(gate->Handed({"&1 Site One", "&2 Renamed"}));
    EXPECT_EQ(OpenWebsMenu(), (Items{"&1 Site One", "&2 Renamed"}));

    // Another work path, unannounced: the menu reads there as it opens, and the reader follows.
    TempDir moved;
    WriteBytes(moved.Path() + "webs.dat", two + "\r\n");
    ScopedProfileString movedPath("VORLANE", "WORKPATH", moved.Path().c_str());
    EXPECT_EQ(OpenWebsMenu(), (Items{"&1 Renamed"}));
    EXPECT_TRUE(gate->Handed({"&1 Renamed"}));
}

TEST_F(TrayTest, AWebBeyondTheFoldersThatCanBeWatchedIsComparedWithTheDiskAtEachOpening) {
    TempDir work;
    // A folder of its own under a folder of its own for every web: one group
    // more than the wait can watch beside the list's folder.
    const std::string list = work.Make("List\\");
    const std::size_t count = TWebsReader::kMaxWatchedFolders;
    Items files;
    const SYSTEMTIME stored{2020, 1, 3, 1, 12, 0, 0, 0};
    FILETIME longAgo;
    ASSERT_TRUE(::SystemTimeToFileTime(&stored, &longAgo));
    // Written long ago as far as the times tell, so that a title read is trusted as long as size and times stay.
    const auto write = [&](const std::string& file, const std::string& title) {
        WriteBytes(file, WebHead(title));
        return SetLastWrite(file, longAgo);
    };
    const auto writeList = [&](std::size_t first) {
        std::string lines;
        for (std::size_t n = first; n < count; ++n) lines += files[n] + "\r\n";
        WriteBytes(list + "webs.dat", lines);
    };
    const auto shown = [&](std::size_t first, const std::string& lastTitle) {
        Items items;
        for (std::size_t n = first; n < count; ++n)
            items.push_back("&" + std::to_string(n - first + 1) + " " +
                            (n + 1 == count ? lastTitle : "Web " + std::to_string(n)));
        return items;
    };
    for (std::size_t n = 0; n < count; ++n) {
        files.push_back(work.Make("Group" + std::to_string(n) + "\\Web\\site.vrl"));
        ASSERT_TRUE(write(files.back(), "Web " + std::to_string(n)));
    }
    writeList(0);
    ScopedProfileString workPath("VORLANE", "WORKPATH", list.c_str());
    const auto gate = ReaderGate::Install();
    Create();
    ASSERT_TRUE(gate->Handed(shown(0, "Web " + std::to_string(count - 1))));

    // No notification tells of the last one: the opening finds it renamed,
    // and has the reader look again.
    ASSERT_TRUE(write(files.back(), "Renamed"));
    EXPECT_EQ(OpenWebsMenu(), shown(0, "Renamed"));
    ASSERT_TRUE(gate->Handed(shown(0, "Renamed")));

    // With one web fewer its folder is watched from now on, its title still
    // known: the next rename reaches the reader by itself.
    writeList(1);
    ASSERT_TRUE(gate->Handed(shown(1, "Renamed")));
    ASSERT_TRUE(write(files.back(), "Renamed again"));
    EXPECT_TRUE(gate->Handed(shown(1, "Renamed again")));
}

namespace {
// The unload question as a modal loop that takes WM_QUIT from the queue and
// drops it, as nested loops may; a close arrives while it is open.
bool g_windowGoesInQuestion = false;
bool g_windowAtAnswer = false;
int WINAPI AskWhileClosedAndEatingQuit(HWND owner, LPCSTR, LPCSTR, UINT) {
    ++g_questions;
    ::PostMessageA(owner, WM_CLOSE, 0, 0);
    PumpFor(500);
    if (g_windowGoesInQuestion) {  // then the quit of the window's end is the one this loop drops
        ::DestroyWindow(owner);
        PumpFor(500);
    }
    g_windowAtAnswer = ::IsWindow(owner) != FALSE;
    return IDNO;
}
}  // namespace

TEST_F(TrayTest, TheProgramEndsWhenACloseArrivesDuringTheUnloadQuestion) {
    Platform().MessageBox = &AskWhileClosedAndEatingQuit;
    for (const bool goesInQuestion : {false, true}) {
        SCOPED_TRACE(goesInQuestion ? "the window goes inside the question's loop" : "the close waits for the answer");
        g_windowGoesInQuestion = goesInQuestion;
        g_questions = 0;
        // Shared, since a program thread that is stuck outlives its row.
        const auto ended = std::make_shared<std::atomic<bool>>(false);
        std::thread program([ended] {
            TPlandrel plandrel;
            Plandrel = &plandrel;
            plandrel.Run();
            Plandrel = nullptr;
            *ended = true;
        });
        HWND wnd = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (wnd = ::FindWindowA("TPlandrel", nullptr)) != nullptr; }, kGenerous));
        ::PostMessageA(wnd, WM_COMMAND, IDM_UNLOAD, 0);
        const bool endedInTime = WaitFor([&] { return ended->load(); }, kGenerous);
        EXPECT_TRUE(endedInTime) << "the message loop still runs";
        if (endedInTime) {
            program.join();
        } else {
            program.detach();  // stuck for good; the process ends with the test run
        }
        EXPECT_EQ(g_questions, 1);
        EXPECT_EQ(g_windowAtAnswer, !goesInQuestion);  // the close was put off while the question was open
    }
}
