// Stands in for the main application, VRLN98.EXE, in tests and the demo.
//
// Started without options (as the scheduler and the menu start it), it holds
// the presence mutex "APPLICATION-VORLANE 98" for STANDIN_MAINAPP_LIFETIME
// milliseconds (default 3000) or until the event "VrlnStandinMainAppQuit" is
// set, and appends one line per start to its log (STANDIN_MAINAPP_LOG, else
// its own path + ".log"): local time, show command, full command line.
//
// Options:
//   --hold=MS          run as above for MS milliseconds
//   --store            store launch moment and state as a participant of the
//                      exchange, notify the others, and end (no mutex, no log);
//                      the values go where Windows puts the real one's HKCR writes:
//     --moment=DAYS    absolute moment (days since 30 Dec 1899), or
//     --in=SECONDS     the moment SECONDS from now (local time), or none: keep
//     --state=N        the state flags (default: keep the stored value)
//     --participant=I  participant index 1 to 4 (default 1)
//     --timeout=MS     time allowed for write access (default 258)
//   Exit code: 0 stored, 2 write access not obtained, 3 bad options.
#include "sched/ThreadSync.h"
#include "sched/ThreadWakeUp.h"
#include "win/Handles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    char buffer[1024];
    const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : fallback;
}

bool Option(const std::string& arg, const char* name, std::string& value) {
    const std::size_t len = std::strlen(name);
    if (arg.compare(0, len, name) != 0) return false;
    value = arg.substr(len);
    return true;
}

void AppendStartLine() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string log = EnvOr("STANDIN_MAINAPP_LOG", std::string(path, n) + ".log");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    vrln::UniqueFile file(::CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    char line[1400];
    const int len = std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u\tshow=%d\tcmd=%s\n",
                                  now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                  now.wMilliseconds, show, ::GetCommandLineA());
    DWORD written = 0;
    if (len > 0) ::WriteFile(file.get(), line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
}

int RunAsMainApplication(DWORD lifetimeMs) {
    vrln::UniqueHandle presence(::CreateMutexA(nullptr, FALSE, vrln::MainAppMutexName().c_str()));
    vrln::UniqueHandle quit(::CreateEventA(nullptr, TRUE, FALSE, "VrlnStandinMainAppQuit"));
    AppendStartLine();
    const DWORD start = ::GetTickCount();
    // The starter waits until this program first waits for input: enter the loop at once.
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= lifetimeMs) break;
        HANDLE handles[] = {quit.get()};
        const DWORD r = ::MsgWaitForMultipleObjects(1, handles, FALSE, lifetimeMs - elapsed, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return 0;
            ::DispatchMessageA(&msg);
        }
    }
    return 0;
}

int Store(bool haveMoment, double moment, int state, int participant, DWORD timeoutMs) {
    vrln::TDataSynchronizer sync(vrln::kSyncName, participant);
    if (!sync.BeginWrite(timeoutMs)) return 2;
    vrln::UniqueHkey key;
    // Windows writes a value through HKCR into the user's classes when the key
    // exists there; Wine does not, so the stand-in does it as the real one gets it.
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, vrln::kUserSchedulerKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS ||
        ::RegCreateKeyExA(HKEY_CLASSES_ROOT, vrln::kSchedulerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                          nullptr) == ERROR_SUCCESS) {
        if (state >= 0) {
            const DWORD value = static_cast<DWORD>(state);
            ::RegSetValueExA(key.get(), vrln::kStateValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value);
        }
        if (haveMoment) {
            ::RegSetValueExA(key.get(), vrln::kStartupDateValue, 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(&moment), sizeof moment);
        }
    }
    key.reset();
    sync.EndWrite();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    bool store = false;
    bool haveMoment = false;
    double moment = 0;
    int state = -1;
    int participant = 1;
    DWORD timeoutMs = 258;
    DWORD lifetimeMs = static_cast<DWORD>(std::atoi(EnvOr("STANDIN_MAINAPP_LIFETIME", "3000").c_str()));

    for (int i = 1; i < __argc; ++i) {
        const std::string arg = __argv[i];
        std::string value;
        if (arg == "--store") {
            store = true;
        } else if (Option(arg, "--hold=", value)) {
            lifetimeMs = static_cast<DWORD>(std::atol(value.c_str()));
        } else if (Option(arg, "--moment=", value)) {
            haveMoment = true;
            moment = std::strtod(value.c_str(), nullptr);
        } else if (Option(arg, "--in=", value)) {
            haveMoment = true;
            moment = vrln::LocalNow() + std::strtod(value.c_str(), nullptr) / 86400.0;
        } else if (Option(arg, "--state=", value)) {
            state = std::atoi(value.c_str());
        } else if (Option(arg, "--participant=", value)) {
            participant = std::atoi(value.c_str());
            if (participant < 1 || participant > 4) return 3;
        } else if (Option(arg, "--timeout=", value)) {
            timeoutMs = static_cast<DWORD>(std::atol(value.c_str()));
        } else {
            return 3;
        }
    }
    return store ? Store(haveMoment, moment, state, participant, timeoutMs) : RunAsMainApplication(lifetimeMs);
}
