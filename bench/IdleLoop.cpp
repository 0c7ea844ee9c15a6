// Helpers for the idle measurement, which run.sh samples from /proc:
//   bench_idle_loop window SECONDS [WITH...]
//                                   the baseline: a hidden window of its own
//                                   class and a message loop that only ever
//                                   blocks, as a tray program's window thread
//                                   does with nothing to do, until --stop or
//                                   SECONDS have passed. Each WITH adds one
//                                   thing the program may keep, so that its
//                                   memory can be told apart (run.sh reads
//                                   /proc): load=DLL (a system DLL loaded
//                                   and kept), used=DLL (loaded and freed),
//                                   thread (a second thread that only
//                                   waits), com (that thread in COM's
//                                   multithreaded apartment for its life),
//                                   nlm (and the Network List Manager asked
//                                   once in it), nlm-scoped[=N] (the manager
//                                   asked N times, each in an apartment of
//                                   its own with COM's DLL loaded for it
//                                   only), dde (a DDEML instance with a
//                                   registered service name), tray (an icon
//                                   in the notification area)
//   bench_idle_loop cycle SECONDS   the idle cycle of the scheduler before its
//                                   worker waited for its causes only: a 1000 ms
//                                   wait on two handles (the stop event and a
//                                   wake timer not set) and a 258 ms wait, in a
//                                   loop; for comparison with earlier figures
//   bench_idle_loop --hold          keeps the prefix's desktop and system
//                                   processes up for the whole run with one
//                                   window and a message loop that only ever
//                                   blocks, so every measurement sees the same
//                                   surroundings
//   bench_idle_loop --stop          ends the idle wait of this program or of
//                                   "bench_outside idle"
#include "win/Handles.h"

#include <netlistmgr.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

// Auto-reset: one --stop ends exactly one waiting program.
constexpr const char* kStopEvent = "VrlnBenchIdleStop";

void Ready() {
    std::printf("IDLE-READY\n");
    std::fflush(stdout);
}

int Hold() {
    // A window of our own makes Wine start the desktop, as the tray program does.
    const HWND wnd = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    Ready();
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
    if (wnd) ::DestroyWindow(wnd);
    return 0;
}

int Stop() {
    const vrln::UniqueHandle stop(::OpenEventA(EVENT_MODIFY_STATE, FALSE, kStopEvent));
    return stop && ::SetEvent(stop.get()) ? 0 : 1;
}

// Every call of a DLL that the bare window does not load goes through
// GetProcAddress: an import would load that DLL into the baseline too.
template <typename Function>
Function Find(const vrln::UniqueModule& module, const char* name) {
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module.get(), name)))
                  : nullptr;
}

// What the extra thread does before it waits: nothing, or it enters COM's
// multithreaded apartment for its life and asks the Network List Manager
// once in it, or it asks the manager several times, each in an apartment of
// its own that ends with the question, with COM's DLL loaded for it only.
struct Extras {
    bool thread = false, apartmentForLife = false, askInLifeApartment = false;
    int scopedQuestions = 0;
};
const Extras* g_extras = nullptr;
HANDLE g_quit = nullptr;  // ends the extra thread

void AskNetworkList(const vrln::UniqueModule& ole32) {
    const auto create = Find<decltype(&::CoCreateInstance)>(ole32, "CoCreateInstance");
    INetworkListManager* manager = nullptr;
    if (!create || FAILED(create(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                 reinterpret_cast<void**>(&manager))))
        return;
    NLM_CONNECTIVITY connectivity{};
    manager->GetConnectivity(&connectivity);
    manager->Release();
}

// In the apartment while the returned module lives; none when it could not be entered.
vrln::UniqueModule EnterApartment() {
    vrln::UniqueModule ole32 = vrln::LoadSystemModule("ole32.dll");
    const auto enter = Find<decltype(&::CoInitializeEx)>(ole32, "CoInitializeEx");
    if (!enter || FAILED(enter(nullptr, COINIT_MULTITHREADED))) ole32.reset();
    return ole32;
}

void LeaveApartment(vrln::UniqueModule ole32) {
    if (const auto leave = Find<decltype(&::CoUninitialize)>(ole32, "CoUninitialize")) leave();
}

DWORD WINAPI ExtraThread(LPVOID) {
    for (int i = 0; i < g_extras->scopedQuestions; ++i) {
        vrln::UniqueModule ole32 = EnterApartment();
        AskNetworkList(ole32);
        LeaveApartment(std::move(ole32));
    }
    vrln::UniqueModule forLife = g_extras->apartmentForLife ? EnterApartment() : vrln::UniqueModule();
    if (g_extras->askInLifeApartment) AskNetworkList(forLife);
    ::WaitForSingleObject(g_quit, INFINITE);
    if (forLife) LeaveApartment(std::move(forLife));
    return 0;
}

HDDEDATA CALLBACK RefuseEverything(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

bool AddTrayIcon(HWND wnd) {
    vrln::UniqueModule shell32 = vrln::LoadSystemModule("shell32.dll");
    const auto notify = Find<decltype(&::Shell_NotifyIconA)>(shell32, "Shell_NotifyIconA");
    NOTIFYICONDATAA icon{};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = wnd;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP;
    icon.hIcon = ::LoadIconA(nullptr, IDI_APPLICATION);
    std::strcpy(icon.szTip, "bench");
    if (!notify || !notify(NIM_ADD, &icon)) return false;
    shell32.release();  // kept, as the program keeps it while its icon shows
    return true;
}

// Adds what the arguments name; false for one it does not know or cannot add.
bool AddExtras(int argc, char** argv, HWND wnd, Extras& extras) {
    for (int i = 0; i < argc; ++i) {
        const std::string with = argv[i];
        const std::size_t equals = with.find('=');
        const std::string name = with.substr(0, equals), value = equals == std::string::npos ? "" : with.substr(equals + 1);
        if (name == "load" || name == "used") {
            vrln::UniqueModule module = vrln::LoadSystemModule(value.c_str());
            if (!module) return false;
            if (name == "load") module.release();
        } else if (name == "thread" || name == "com" || name == "nlm") {
            extras.thread = true;
            extras.apartmentForLife = extras.apartmentForLife || name != "thread";
            extras.askInLifeApartment = extras.askInLifeApartment || name == "nlm";
        } else if (name == "nlm-scoped") {
            extras.thread = true;
            extras.scopedQuestions = value.empty() ? 1 : std::atoi(value.c_str());
        } else if (name == "dde") {
            DWORD instance = 0;
            if (::DdeInitializeA(&instance, &RefuseEverything, 0, 0) != DMLERR_NO_ERROR) return false;
            ::DdeNameService(instance, ::DdeCreateStringHandleA(instance, "BenchIdle", CP_WINANSI), nullptr,
                             DNS_REGISTER);
        } else if (name == "tray") {
            if (!AddTrayIcon(wnd)) return false;
        } else {
            std::fprintf(stderr, "unknown: %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

int Window(DWORD seconds, int argc, char** argv) {
    const vrln::UniqueHandle stop(::CreateEventA(nullptr, FALSE, FALSE, kStopEvent));
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &::DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "VrlnBenchIdleWindow";
    if (!::RegisterClassA(&windowClass)) return 1;
    const HWND wnd = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance,
                                       nullptr);
    if (!wnd) return 1;
    ::ShowWindow(wnd, SW_HIDE);
    Extras extras;
    if (!AddExtras(argc, argv, wnd, extras)) return 1;
    const vrln::UniqueHandle quit(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_quit = quit.get();
    g_extras = &extras;
    vrln::UniqueHandle thread;
    if (extras.thread) thread.reset(::CreateThread(nullptr, 0, &ExtraThread, nullptr, 0, nullptr));
    Ready();
    // The stop event is one more handle in the same wait: it costs nothing while it is not set.
    const HANDLE stopHandle = stop.get();
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= seconds * 1000) break;
        const DWORD ended = ::MsgWaitForMultipleObjects(1, &stopHandle, FALSE, seconds * 1000 - elapsed, QS_ALLINPUT);
        if (ended == WAIT_OBJECT_0 || ended == WAIT_FAILED) break;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    if (thread) {
        ::SetEvent(g_quit);
        ::WaitForSingleObject(thread.get(), INFINITE);
    }
    ::DestroyWindow(wnd);
    return 0;
}

int Cycle(DWORD seconds) {
    const vrln::UniqueHandle stop(::CreateEventA(nullptr, FALSE, FALSE, kStopEvent));
    const vrln::UniqueHandle timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr));
    const HANDLE pause[] = {stop.get(), timer.get()};
    Ready();
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < seconds * 1000) {
        if (::WaitForMultipleObjects(2, pause, FALSE, 1000) == WAIT_OBJECT_0) break;
        if (::WaitForSingleObject(stop.get(), 258) == WAIT_OBJECT_0) break;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--hold") == 0) return Hold();
    if (argc > 1 && std::strcmp(argv[1], "--stop") == 0) return Stop();
    const DWORD seconds = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 65;
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) return Window(seconds, argc - 3, argv + 3);
    if (argc > 1 && std::strcmp(argv[1], "cycle") == 0) return Cycle(seconds);
    std::fprintf(stderr, "usage: bench_idle_loop window SECONDS [WITH...] | cycle SECONDS | --hold | --stop\n");
    return 3;
}
