// The application object in this process, its shell calls, popup menu and
// program starts replaced by recorders that take the time of each call:
//   start-up   TPlandrel construction to the first NIM_ADD
//   tooltip    another participant stores a moment with notice; time until
//              the tooltip that shows it is handed to the shell (the
//              notifications that come with a moment, such as the warning
//              that the machine may not wake for it, are counted apart)
//   due        the scheduler alone: another participant stores a due moment
//              with notice; the time from the notice to each step of the
//              worker and to its call to start the main application (which
//              returns at once), and the time in the network test; then
//              moments stored 1 to 2 s ahead, timed from the moment on the
//              local clock
//   menu       the whole right-click handling (WM_TRAYNOTIFY) with 1, 100 and
//              1,000 local webs, the popup returning at once, once the
//              read-ahead has handed over the list, and the first opening with
//              each list on its own; how long the read-ahead took from the
//              write of webs.dat; then the parts of that handling one by one,
//              each over the 1,000 webs (the heads as read before the read-ahead)
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

#include <atomic>
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
constexpr int kDueLaunches = 24;
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

// The worker's due path, timed by its step hook and by the platform calls it makes.
struct DuePath {
    double dueTested = 0, consumed = 0, startCalled = 0;
    double dueTestedLocal = 0, startCalledLocal = 0;  // as launch moments
    double adaptersMs = 0;  // in the calls of the network test: the adapters and their rows
    double listMs = 0;      // and the creation of the Network List Manager
    HANDLE started = nullptr;
};
DuePath g_due;
PlatformCalls g_real;
UINT WINAPI RecordStart(LPCSTR, UINT) {
    g_due.startCalled = NowMs();
    g_due.startCalledLocal = LocalNow();
    ::SetEvent(g_due.started);
    return 33;  // started
}
template <typename Call>
auto TimedNetworkCall(double& total, Call call) {
    const double start = NowMs();
    auto result = call();
    total += NowMs() - start;
    return result;
}
ULONG WINAPI TimedAdapters(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses, PULONG size) {
    return TimedNetworkCall(g_due.adaptersMs, [&] { return g_real.GetAdaptersAddresses(family, flags, reserved, addresses, size); });
}
NETIO_STATUS WINAPI TimedIfEntry(PMIB_IF_ROW2 row) {
    return TimedNetworkCall(g_due.adaptersMs, [&] { return g_real.GetIfEntry2(row); });
}
HRESULT WINAPI TimedCoCreate(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId, LPVOID* object) {
    return TimedNetworkCall(g_due.listMs, [&] { return g_real.CoCreateInstance(classId, outer, context, interfaceId, object); });
}
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

bool Due() {
    test::DeleteSchedulerKey();
    g_real = Platform();
    Platform().WinExec = &RecordStart;
    Platform().GetAdaptersAddresses = &TimedAdapters;
    Platform().GetIfEntry2 = &TimedIfEntry;
    Platform().CoCreateInstance = &TimedCoCreate;
    UniqueHandle started(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    bool ok = true;
    {
        TScheduler scheduler(true);
        scheduler.StepHookForTest = [](TSchedulerStep step) {
            if (step == TSchedulerStep::DueTested) {
                g_due.dueTested = NowMs();
                g_due.dueTestedLocal = LocalNow();
            }
            if (step == TSchedulerStep::Consumed) g_due.consumed = NowMs();
        };
        scheduler.Resume();
        TDataSynchronizer peer(kSyncName, 1);
        ::Sleep(1000);
        Spread spread(1300);
        // aheadSeconds 0: due when stored, timed from the notice; else timed from the moment.
        auto series = [&](double aheadSeconds, const char* name) {
            std::vector<double> dueTested, adapters, list, consumed, startCalled;
            for (int i = 0; i < kDueLaunches && ok; ++i) {
                ::Sleep(spread.Next());
                g_due = DuePath{};
                g_due.started = started.get();
                ok = peer.BeginWrite(5000);
                if (!ok) break;
                const double moment = LocalNow() + (aheadSeconds > 0 ? aheadSeconds + (i % 11) / 10.0 : 0) / 86400;
                test::WriteSchedulerValues(0, moment);
                const double noticed = NowMs();
                peer.EndWrite();
                ok = ::WaitForSingleObject(started.get(), 10000) == WAIT_OBJECT_0;
                adapters.push_back(g_due.adaptersMs);
                list.push_back(g_due.listMs);
                if (aheadSeconds > 0) {
                    dueTested.push_back((g_due.dueTestedLocal - moment) * 86400000.0);
                    startCalled.push_back((g_due.startCalledLocal - moment) * 86400000.0);
                } else {
                    dueTested.push_back(g_due.dueTested - noticed);
                    consumed.push_back(g_due.consumed - noticed);
                    startCalled.push_back(g_due.startCalled - noticed);
                }
            }
            if (!ok) {
                std::printf("due: no start\n");
                return;
            }
            const std::string prefix = std::string("due.inproc.") + name;
            PrintFigures((prefix + ".to_due_tested").c_str(), dueTested);
            PrintFigures((prefix + ".network.adapters").c_str(), adapters);
            PrintFigures((prefix + ".network.list_manager").c_str(), list);
            if (!consumed.empty()) PrintFigures((prefix + ".to_stored_as_used").c_str(), consumed);
            PrintFigures((prefix + ".to_start_call").c_str(), startCalled);
        };
        series(0, "notice");
        series(1.0, "ahead");
    }
    Platform() = g_real;
    test::DeleteSchedulerKey();
    return ok;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    test::WriteWholeFile(path, bytes);
}

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
    ScopedWorkPath workPath(root);
    const std::vector<std::string> files = MakeSampleWebs(root, 1000);
    // A user's webs were stored well before the menu opens; titles read within a
    // few seconds of a web's last write are read again at the next opening.
    ::Sleep(kSettleMs);

    // The lists the read-ahead hands over, by their length.
    std::atomic<int> handed{-1};
    TWebsReader::StepHookForTest = [&handed](TWebsReader::TStep step, const TWebsList& list) {
        if (step == TWebsReader::TStep::Handed) handed = static_cast<int>(list.Items.size());
    };
    bool ok = true;
    {
        Application app;
        ok = app->CreateTrayWindow();
        for (const int count : {1, 100, 1000}) {
            if (!ok) break;
            std::string websDat;
            for (int n = 0; n < count; ++n) websDat += files[n] + "\r\n";
            const double written = NowMs();
            WriteBytes(root + "webs.dat", websDat);
            // The change notification brings the new list; the menu opens after it, as a user's does.
            ok = PumpUntil([&] { return handed == count; }, 20000);
            PrintValue(("menu.readahead." + std::to_string(count)).c_str(),
                       std::to_string(NowMs() - written) + " ms (webs.dat written to the list handed over)");
            std::vector<double> times;
            for (int run = 0; run < kMenuRuns && ok; ++run) {
                const int menusBefore = g_menus;
                const double start = NowMs();
                ::SendMessageA(app->Window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
                times.push_back(NowMs() - start);
                PumpFor(0);
                if (g_menus != menusBefore + 1 || app->Webs().size() != static_cast<std::size_t>(count)) {
                    std::printf("menu: %d webs gave %u entries\n", count, static_cast<unsigned>(app->Webs().size()));
                    ok = false;
                }
            }
            if (!ok) break;
            const std::string name = "menu.traynotify." + std::to_string(count);
            PrintFigures(name.c_str(), times);
            PrintValue((name + ".first").c_str(), std::to_string(times[0]) + " ms (first opening with this list)");
        }
    }
    TWebsReader::StepHookForTest = nullptr;
    if (ok) MenuParts(root, files);
    RemoveSampleWebs(root, files);
    return ok;
}

}  // namespace

// Without arguments runs every part; else the parts named (startup, tooltip, due, menu).
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
        ok = (!wanted("startup") || StartUp()) && (!wanted("tooltip") || Tooltip()) && (!wanted("due") || Due()) && (!wanted("menu") || Menu());
    } catch (...) {
        // Only the DDE library failing to start throws here.
        std::printf("the application object could not be made\n");
    }
    test::DeleteSchedulerKey();
    return ok ? 0 : 1;
}
