// Helpers for the idle measurement, which run.sh samples from /proc:
//   bench_idle_loop window SECONDS  the baseline: a hidden window of its own
//                                   class and a message loop that only ever
//                                   blocks, as a tray program's window thread
//                                   does with nothing to do, until --stop or
//                                   SECONDS have passed
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

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int Window(DWORD seconds) {
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
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) return Window(seconds);
    if (argc > 1 && std::strcmp(argv[1], "cycle") == 0) return Cycle(seconds);
    std::fprintf(stderr, "usage: bench_idle_loop window|cycle SECONDS | --hold | --stop\n");
    return 3;
}
