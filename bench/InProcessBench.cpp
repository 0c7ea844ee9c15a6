// The application object in this process, its shell calls, popup menu and
// program starts replaced by recorders that take the time of each call:
//   start-up   TPlandrel construction to the first NIM_ADD
//   tooltip    another participant stores a moment with notice; time until
//              the tooltip that shows it is handed to the shell (the
//              notifications that come with a moment, such as the warning
//              that the machine may not wake for it, are counted apart)
//   menu       the whole right-click handling (WM_TRAYNOTIFY) with 1, 100 and
//              1,000 local webs, the popup returning at once, and the first
//              opening with each list on its own; then the parts
//              of that handling one by one, each over the 1,000 webs
// Prints RESULT lines; not a test.
#include "app/VrlnSchdMain.h"
#include "core/DateTime.h"
#include "core/Texts.h"
#include "core/WebsList.h"
#include "sched/ThreadSync.h"
#include "sched/ThreadWakeUp.h"
#include "win/Handles.h"
#include "win/Platform.h"
#include "BenchCommon.h"
#include "TestSupport.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vrln;
using namespace vrln::bench;
using vrln::test::PumpFor;
using vrln::test::PumpUntil;

namespace {

constexpr int kStartRuns = 10;
constexpr int kTooltipChanges = 24;
constexpr int kMenuRuns = 9;
constexpr DWORD kSettleMs = 4000;

struct ShellCall {
    DWORD message;
    UINT flags;
    double atMs;
    FILETIME atTime;
    std::string tip;
};

std::vector<ShellCall> g_shell;
int g_menus = 0;

BOOL WINAPI RecordShell(DWORD message, PNOTIFYICONDATAA data) {
    ShellCall call{message, data->uFlags, NowMs(), {}, (data->uFlags & NIF_TIP) ? data->szTip : ""};
    ::GetSystemTimeAsFileTime(&call.atTime);
    g_shell.push_back(call);
    return TRUE;
}
BOOL WINAPI ReturnAtOnce(HMENU, UINT, int, int, int, HWND, const RECT*) {
    ++g_menus;
    return TRUE;
}
UINT WINAPI RefuseStart(LPCSTR, UINT) { return ERROR_FILE_NOT_FOUND; }
int WINAPI AnswerNo(HWND, LPCSTR, LPCSTR, UINT) { return IDNO; }


double FileTimeMs(const FILETIME& t) {
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 10000.0;
}

class Application {
public:
    Application() {
        plandrel_ = std::make_unique<TPlandrel>();
        Plandrel = plandrel_.get();
    }
    ~Application() {
        plandrel_.reset();
        Plandrel = nullptr;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    TPlandrel& operator*() { return *plandrel_; }
    TPlandrel* operator->() { return plandrel_.get(); }

private:
    std::unique_ptr<TPlandrel> plandrel_;
};

bool StartUp() {
    std::vector<double> times;
    std::vector<double> constructing;
    double fromProcessCreation = -1;
    for (int run = 0; run < kStartRuns; ++run) {
        g_shell.clear();
        const double start = NowMs();
        Application app;
        constructing.push_back(NowMs() - start);
        if (!app->CreateTrayWindow()) {
            std::printf("start-up: the window could not be created\n");
            return false;
        }
        if (g_shell.empty() || g_shell[0].message != NIM_ADD) {
            std::printf("start-up: no NIM_ADD\n");
            return false;
        }
        times.push_back(g_shell[0].atMs - start);
        if (run == 0) {
            FILETIME created, exited, kernel, user;
            ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
            fromProcessCreation = FileTimeMs(g_shell[0].atTime) - FileTimeMs(created);
        }
    }
    PrintValue("startup.inproc.first", std::to_string(times[0]) + " ms (first object in the process, of it " +
                                           std::to_string(constructing[0]) + " ms in the constructor)");
    times.erase(times.begin());
    constructing.erase(constructing.begin());
    PrintFigures("startup.inproc.again", times);
    PrintFigures("startup.inproc.again.constructor", constructing);
    PrintValue("startup.inproc.from_process", std::to_string(fromProcessCreation) +
                                                  " ms (process creation to first NIM_ADD, includes this "
                                                  "program's own start)");
    return true;
}

bool Tooltip() {
    test::DeleteSchedulerKey();
    g_shell.clear();
    Application app;
    if (!app->CreateTrayWindow()) return false;
    TDataSynchronizer peer(kSyncName, 1);
    PumpFor(3000);  // the first refreshes pass

    // Moments a day ahead, a minute apart: never due, every tooltip different.
    const double base = std::floor(LocalNow()) + 1.0 + 12.0 / 24;
    Spread spread(1300);
    std::vector<double> delays;
    int notificationsFirst = 0;  // handed to the shell before the tooltip of their change
    const std::size_t seriesStart = g_shell.size();
    for (int i = 0; i < kTooltipChanges; ++i) {
        PumpFor(spread.Next());
        const std::size_t before = g_shell.size();
        const double moment = base + i / 1440.0;
        const std::string shown = core::FormatLaunchMoment(moment, UserLocaleNames());
        if (!peer.BeginWrite(5000)) {
            std::printf("tooltip: no write access\n");
            return false;
        }
        test::WriteSchedulerValues(0, moment);
        // Taken before the notices are set: the worker may take its own while this thread sets the others'.
        const double stored = NowMs();
        peer.EndWrite();
        // The tooltip that shows the new moment; a notification may come before it.
        std::size_t tip = before;
        const bool reached = PumpUntil(
            [&] {
                for (; tip < g_shell.size(); ++tip) {
                    const ShellCall& call = g_shell[tip];
                    if (call.message != NIM_MODIFY) return true;
                    if (call.flags & NIF_TIP) return true;
                }
                return false;
            },
            10000);
        if (!reached) {
            std::printf("tooltip: change %d never reached the tooltip\n", i);
            return false;
        }
        const ShellCall& call = g_shell[tip];
        if (call.message != NIM_MODIFY || call.tip.find(shown) == std::string::npos) {
            std::printf("tooltip: change %d: unexpected shell call %lu \"%s\", waited for \"%s\"\n", i,
                        call.message, call.tip.c_str(), shown.c_str());
            return false;
        }
        for (std::size_t n = before; n < tip; ++n)
            if (g_shell[n].flags & NIF_INFO) ++notificationsFirst;
        delays.push_back(call.atMs - stored);
    }
    PrintFigures("tooltip.notice_to_tip", delays);
    PumpFor(500);
    int notifications = 0;
    for (std::size_t n = seriesStart; n < g_shell.size(); ++n)
        if (g_shell[n].flags & NIF_INFO) ++notifications;
    PrintValue("tooltip.notifications", std::to_string(notifications) + " in " + std::to_string(kTooltipChanges) +
                                            " changes, " + std::to_string(notificationsFirst) +
                                            " of them before the tooltip of their change");
    test::DeleteSchedulerKey();
    return true;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    test::WriteWholeFile(path, bytes);
}
std::string Str(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

// Each part of a right click with 1,000 webs, timed alone over kMenuRuns runs.
void MenuParts(const std::string& root, const std::vector<std::string>& files) {
    auto series = [](const char* name, const std::function<void()>& part) {
        std::vector<double> times;
        for (int run = 0; run < kMenuRuns; ++run) {
            const double start = NowMs();
            part();
            times.push_back(NowMs() - start);
        }
        PrintFigures(name, times);
    };
    const std::string websDat = root + "webs.dat";
    series("menu.part.resource", [] {
        UniqueHmenu menu(::LoadMenuA(::GetModuleHandleA(nullptr), "PLANDRELMENU"));
        ::SetMenuDefaultItem(::GetSubMenu(menu.get(), 0), 0, TRUE);
    });
    series("menu.part.presence", [] { MainAppNotRunning(); });
    series("menu.part.webs_dat", [&] {
        UniqueFile file(::CreateFileA(websDat.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        std::string text(64 * 1024, '\0');
        DWORD got = 0;
        ::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
        text.resize(got);
        core::SplitWebsLines(text, 1000);
    });
    series("menu.part.find_first", [&] {
        for (const auto& path : files) {
            WIN32_FIND_DATAA found;
            UniqueFind search(::FindFirstFileA(path.c_str(), &found));
        }
    });
    series("menu.part.open_read_close", [&] {
        for (const auto& path : files) {
            UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            char head[core::kMaxWebHeadBytes];
            DWORD got = 0;
            ::ReadFile(file.get(), head, sizeof head, &got, nullptr);
        }
    });
    series("menu.part.attributes", [&] {
        for (const auto& path : files) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            ::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
        }
    });
    series("menu.part.append_menu", [&] {
        UniqueHmenu menu(::CreatePopupMenu());
        for (std::size_t n = 0; n < files.size(); ++n) {
            const std::string text = core::WebMenuItemText(n, "The web site number " + std::to_string(n));
            ::AppendMenuA(menu.get(), MF_STRING, 200 + n, text.c_str());
        }
    });
}

bool Menu() {
    const std::string root = test::NewScratchDir("menu-bench");
    char oldWorkPath[256] = {};
    const DWORD oldLength = ::GetProfileStringA("VORLANE", "WORKPATH", "\x01", oldWorkPath, sizeof oldWorkPath);
    const bool hadWorkPath = !(oldLength == 1 && oldWorkPath[0] == '\x01');
    ::WriteProfileStringA("VORLANE", "WORKPATH", root.c_str());

    // Each web in a folder of its own with a version 512 head, as the main application keeps them.
    std::vector<std::string> files;
    for (int n = 0; n < 1000; ++n) {
        const std::string dir = root + "Web " + std::to_string(n) + "\\";
        ::CreateDirectoryA(dir.c_str(), nullptr);
        const std::string file = dir + "site.vrl";
        WriteBytes(file, Str("http://www.example.com/" + std::to_string(n) + "/") + std::string("\x00\x02", 2) +
                             Str("second string") + Str("The web site number " + std::to_string(n)) +
                             std::string(4096, 'x'));
        files.push_back(file);
    }
    // A user's webs were stored well before the menu opens; titles read within a
    // few seconds of a web's last write are read again at the next opening.
    ::Sleep(kSettleMs);

    bool ok = true;
    {
        Application app;
        ok = app->CreateTrayWindow();
        for (const int count : {1, 100, 1000}) {
            if (!ok) break;
            std::string websDat;
            for (int n = 0; n < count; ++n) websDat += files[n] + "\r\n";
            WriteBytes(root + "webs.dat", websDat);
            std::vector<double> times;
            for (int run = 0; run < kMenuRuns; ++run) {
                const int menusBefore = g_menus;
                const double start = NowMs();
                ::SendMessageA(app->Wnd, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
                times.push_back(NowMs() - start);
                PumpFor(0);
                if (g_menus != menusBefore + 1 || app->Webs.size() != static_cast<std::size_t>(count)) {
                    std::printf("menu: %d webs gave %u entries\n", count, static_cast<unsigned>(app->Webs.size()));
                    ok = false;
                }
            }
            const std::string name = "menu.traynotify." + std::to_string(count);
            PrintFigures(name.c_str(), times);
            PrintValue((name + ".first").c_str(), std::to_string(times[0]) + " ms (first opening with this list)");
        }
    }
    if (ok) MenuParts(root, files);

    ::WriteProfileStringA("VORLANE", "WORKPATH", hadWorkPath ? oldWorkPath : nullptr);
    for (const auto& file : files) {
        ::DeleteFileA(file.c_str());
        ::RemoveDirectoryA(file.substr(0, file.rfind('\\')).c_str());
    }
    ::DeleteFileA((root + "webs.dat").c_str());
    ::RemoveDirectoryA(root.c_str());
    return ok;
}

}  // namespace

// Without arguments runs every part; else the parts named (startup, tooltip, menu).
int main(int argc, char** argv) {
    auto wanted = [&](const char* part) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == part) return true;
        return false;
    };
    Platform().ShellNotifyIcon = &RecordShell;
    Platform().TrackPopupMenu = &ReturnAtOnce;
    Platform().WinExec = &RefuseStart;
    Platform().MessageBox = &AnswerNo;
    test::DeleteSchedulerKey();
    bool ok = false;
    try {
        ok = (!wanted("startup") || StartUp()) && (!wanted("tooltip") || Tooltip()) && (!wanted("menu") || Menu());
    } catch (...) {
        // Only the DDE library failing to start throws here.
        std::printf("the application object could not be made\n");
    }
    test::DeleteSchedulerKey();
    return ok ? 0 : 1;
}
