// The application object in this process, its shell calls recorded.
#include "app/Autostart.h"
#include "app/VrlnSchdMain.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "sched/ThreadSync.h"
#include "win/Platform.h"
#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 20000;

struct ShellCall {
    DWORD message;
    NOTIFYICONDATAA record;
    std::string Tip() const { return record.szTip; }
};

std::vector<ShellCall> g_calls;
int g_answer = IDNO;
int g_questions = 0;
std::string g_question;
std::function<void(HMENU, HWND)> g_onMenu;
int g_menus = 0;

BOOL WINAPI RecordShell(DWORD message, PNOTIFYICONDATAA data) {
    g_calls.push_back({message, *data});
    return TRUE;
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
};

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = Platform();
        Platform().ShellNotifyIcon = &RecordShell;
        Platform().MessageBox = &AnswerQuestion;
        Platform().TrackPopupMenu = &RecordMenu;
        g_calls.clear();
        g_questions = 0;
        g_menus = 0;
        g_onMenu = nullptr;
        DeleteSchedulerKey();
        peer = std::make_unique<TDataSynchronizer>(kSyncName, 1);
        ResetNotice(1);
    }
    void TearDown() override {
        plandrel.reset();
        Plandrel = nullptr;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        Platform() = saved;
        DeleteSchedulerKey();
    }

    void Create() {
        plandrel = std::make_unique<TPlandrel>();
        Plandrel = plandrel.get();
        ASSERT_TRUE(plandrel->CreateTrayWindow());
    }
    MenuSeen OpenMenu() {
        MenuSeen seen;
        g_onMenu = [&seen](HMENU menu, HWND) {
            seen.items = ::GetMenuItemCount(menu);
            seen.load = ::GetMenuState(menu, IDM_LOAD, MF_BYCOMMAND);
            seen.suspend = ::GetMenuState(menu, IDM_SUSPEND, MF_BYCOMMAND);
            seen.webs = ::GetMenuState(menu, 1, MF_BYPOSITION);
            seen.defaultItem = ::GetMenuDefaultItem(menu, TRUE, 0);
        };
        ::SendMessageA(plandrel->Wnd, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
        g_onMenu = nullptr;
        return seen;
    }
    void Command(WPARAM id) { ::SendMessageA(plandrel->Wnd, WM_COMMAND, id, 0); }

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
    EXPECT_EQ(add.record.hWnd, plandrel->Wnd);
    EXPECT_EQ(add.record.uID, plandrel->Scheduler->ThreadID());
    EXPECT_EQ(add.record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(add.record.uCallbackMessage, 1408u);
    EXPECT_NE(add.record.hIcon, nullptr);
    EXPECT_EQ(add.Tip(), "<No task is waiting to run>");
    EXPECT_EQ(plandrel->IconOffset, 0);
}

TEST_F(TrayTest, SteadyRefreshesMakeNoShellCall) {
    Create();
    PumpFor(3000);
    EXPECT_EQ(g_calls.size(), 1u);
}

TEST_F(TrayTest, SuspendedAtStartTurnsIntoTheCrossedOutIconAtTheFirstRefresh) {
    WriteSchedulerValues(1, 0.0);
    Create();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset, 0);
    ASSERT_TRUE(PumpUntil([] { return g_calls.size() >= 2; }, kGenerous));
    PumpFor(1500);
    // One modification with the new icon; the tooltip did not change, so no second call.
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(g_calls[1].record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(plandrel->IconOffset, 8);
}

TEST_F(TrayTest, AnAnnouncedMomentChangesOnlyTheTooltip) {
    Create();
    core::DateTimeParts parts;
    parts.year = 2031;
    parts.month = 9;
    parts.day = 30;
    parts.hour = 14;
    parts.minute = 5;
    ASSERT_TRUE(peer->BeginWrite(1000));
    WriteSchedulerValues(0, core::EncodeDateTime(parts));
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

TEST_F(TrayTest, DestroyDeletesTheIconAndNoRefreshFollows) {
    Create();
    const UINT id = plandrel->Scheduler->ThreadID();
    ::DestroyWindow(plandrel->Wnd);
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(g_calls.back().record.uID, id);
    const std::size_t calls = g_calls.size();
    PumpFor(2000);
    EXPECT_EQ(g_calls.size(), calls);
    EXPECT_EQ(plandrel->Scheduler, nullptr);
}

TEST_F(TrayTest, OnlyTheRightButtonGoingDownOpensTheMenu) {
    Create();
    for (LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_MOUSEMOVE}) {
        ::SendMessageA(plandrel->Wnd, WM_TRAYNOTIFY, 0, mouse);
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
    EXPECT_EQ(plandrel->Scheduler->State(), 3);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset, 8);
    DWORD state = 0;
    double date = 0;
    ASSERT_TRUE(ReadSchedulerValues(state, date));
    EXPECT_EQ(state, 3u);
    EXPECT_TRUE(NoticeSet(1));

    Command(IDM_SUSPEND);
    EXPECT_EQ(plandrel->Scheduler->State(), 2);
    EXPECT_EQ(plandrel->IconOffset, 0);
    ASSERT_TRUE(ReadSchedulerValues(state, date));
    EXPECT_EQ(state, 2u);
}

TEST_F(TrayTest, UnloadAnsweredNoChangesNothing) {
    Create();
    ASSERT_TRUE(RegisterAutostart(kAutostartValue, "C:\\Tools\\VrlnSchd.exe"));
    g_answer = IDNO;
    Command(IDM_UNLOAD);
    EXPECT_EQ(g_questions, 1);
    EXPECT_EQ(g_question, "Exit|Do you want to stop the Vorlane scheduler?|4");
    EXPECT_TRUE(::IsWindow(plandrel->Wnd));
    UniqueHkey run;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, run.put()), ERROR_SUCCESS);
    EXPECT_EQ(::RegQueryValueExA(run.get(), kAutostartValue, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

TEST_F(TrayTest, UnloadAnsweredYesRemovesTheEntryTheIconAndTheWindow) {
    Create();
    g_answer = IDYES;
    Command(IDM_UNLOAD);
    EXPECT_FALSE(::IsWindow(plandrel->Wnd));
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    UniqueHkey run;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, run.put()), ERROR_SUCCESS);
    EXPECT_EQ(::RegQueryValueExA(run.get(), kAutostartValue, nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    MSG msg;
    EXPECT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(TrayTest, UnusedCommandIdsDoNothing) {
    Create();
    for (WPARAM id : {101, 102, 105, 150, 199, 200, 260, 0xFFFF}) Command(id);
    EXPECT_EQ(g_questions, 0);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(::IsWindow(plandrel->Wnd));
    EXPECT_EQ(plandrel->Scheduler->State(), 0);
}

TEST_F(TrayTest, ARestartedTaskbarGetsTheIconBackWithTheCurrentPictureAndTip) {
    WriteSchedulerValues(1, 0.0);
    Create();
    Command(IDM_SUSPEND);  // resumed
    Command(IDM_SUSPEND);  // suspended again: the icon now shows offset 8
    g_calls.clear();
    ::SendMessageA(plandrel->Wnd, ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_calls[0].Tip(), "<Suspended>");
    EXPECT_EQ(plandrel->IconOffset, 8);
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
    ::SendMessageA(plandrel->Wnd, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
    EXPECT_EQ(websState & MF_GRAYED, 0u);
    EXPECT_EQ(items, (std::vector<std::string>{"200 &1 Site One", "201 &2 Site Two"}));

    ASSERT_TRUE(PumpUntil([&] { return ReadBytes(browserLog).find("request") != std::string::npos; }, kGenerous));
    EXPECT_NE(ReadBytes(browserLog).find("request \"" + work.Path() + "Two\\_home.htm\",,0xffffffff,0x00000000,,,"),
              std::string::npos)
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
    EXPECT_FALSE(::IsWindow(plandrel->Wnd));
    EXPECT_EQ(g_calls.back().message, static_cast<DWORD>(NIM_DELETE));
    StopAllStandinBrowsers();
}

namespace {
// The unload question as a modal loop that takes WM_QUIT from the queue and
// drops it, as nested loops may; a close arrives while it is open.
int WINAPI AskWhileClosedAndEatingQuit(HWND owner, LPCSTR, LPCSTR, UINT) {
    ++g_questions;
    ::PostMessageA(owner, WM_CLOSE, 0, 0);
    PumpFor(500);
    return IDNO;
}
}  // namespace

TEST_F(TrayTest, TheProgramEndsWhenACloseArrivesDuringTheUnloadQuestion) {
    Platform().MessageBox = &AskWhileClosedAndEatingQuit;
    std::atomic<bool> ended{false};
    std::thread program([&] {
        TPlandrel plandrel;
        Plandrel = &plandrel;
        plandrel.Run();
        Plandrel = nullptr;
        ended = true;
    });
    HWND wnd = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (wnd = ::FindWindowA("TPlandrel", nullptr)) != nullptr; }, kGenerous));
    ::PostMessageA(wnd, WM_COMMAND, IDM_UNLOAD, 0);
    const bool endedInTime = WaitFor([&] { return ended.load(); }, kGenerous);
    EXPECT_TRUE(endedInTime) << "the message loop still runs without its window";
    if (endedInTime) {
        program.join();
    } else {
        program.detach();  // stuck for good; the process ends with the test run
    }
    EXPECT_EQ(g_questions, 1);
}
