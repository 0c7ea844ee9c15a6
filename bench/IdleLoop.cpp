// Helpers for the idle measurement, which run.sh samples from /proc:
//   bench_idle_loop SECONDS   the baseline: nothing but the scheduler's idle
//                             cycle, a 1000 ms wait on two handles (the stop
//                             event and a wake timer not set) and a 258 ms
//                             wait, until --stop or SECONDS have passed
//   bench_idle_loop --hold    keeps the prefix's desktop and system processes
//                             up for the whole run with one window and a
//                             message loop that only ever blocks, so every
//                             measurement sees the same surroundings
//   bench_idle_loop --stop    ends the idle wait of this program or of
//                             "bench_outside idle"
#include "win/Handles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Auto-reset: one --stop ends exactly one waiting program.
constexpr const char* kStopEvent = "VrlnBenchIdleStop";

int Hold() {
    // A window of our own makes Wine start the desktop, as the tray program does.
    const HWND wnd = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    std::printf("IDLE-READY\n");
    std::fflush(stdout);
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
    if (wnd) ::DestroyWindow(wnd);
    return 0;
}

int Stop() {
    const vrln::UniqueHandle stop(::OpenEventA(EVENT_MODIFY_STATE, FALSE, kStopEvent));
    return stop && ::SetEvent(stop.get()) ? 0 : 1;
}

int Loop(DWORD seconds) {
    const vrln::UniqueHandle stop(::CreateEventA(nullptr, FALSE, FALSE, kStopEvent));
    const vrln::UniqueHandle timer(::CreateWaitableTimerA(nullptr, FALSE, nullptr));
    const HANDLE pause[] = {stop.get(), timer.get()};
    std::printf("IDLE-READY\n");
    std::fflush(stdout);
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
    return Loop(argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 65);
}
