#include "Probe.h"

#include "app/VrlnSchdMain.h"

#include <psapi.h>

#include <cstring>
#include <vector>

namespace vrln::soak {

namespace {

struct WindowCount {
    DWORD processId;
    long long count;
    HWND menu;
};

BOOL CALLBACK CountChild(HWND, LPARAM param) {
    ++reinterpret_cast<WindowCount*>(param)->count;
    return TRUE;
}

BOOL CALLBACK VisitTopLevel(HWND wnd, LPARAM param) {
    auto* visit = reinterpret_cast<WindowCount*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(wnd, &owner);
    if (owner != visit->processId) return TRUE;
    ++visit->count;
    ::EnumChildWindows(wnd, &CountChild, param);
    char name[16] = {};
    ::GetClassNameA(wnd, name, sizeof name);
    // "#32768" is the system's class of popup menu windows.
    if (!visit->menu && std::strcmp(name, "#32768") == 0 && ::IsWindowVisible(wnd)) visit->menu = wnd;
    return TRUE;
}

WindowCount VisitWindows(DWORD processId) {
    WindowCount visit{processId, 0, nullptr};
    ::EnumWindows(&VisitTopLevel, reinterpret_cast<LPARAM>(&visit));
    return visit;
}

bool WaitUntil(bool wanted, DWORD processId, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if ((VisibleMenuOf(processId) != nullptr) == wanted) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
}

// The system's list of every open handle, as NtQuerySystemInformation gives it
// (class 16): the one way to count another process's handles that Wine answers.
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct SystemHandleList {
    ULONG count;
    SystemHandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

long long CountHandles(DWORD processId) {
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<char> buffer(256 * 1024);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status =
            query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(needed > buffer.size() ? needed + 64 * 1024 : buffer.size() * 2);
            continue;
        }
        if (status != 0) return -1;
        const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
        long long count = 0;
        for (ULONG i = 0; i < list->count; ++i)
            if (list->entries[i].ownerPid == processId) ++count;
        return count;
    }
    return -1;
}

bool Responds(HWND wnd, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutA(wnd, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

HWND VisibleMenuOf(DWORD processId) { return VisitWindows(processId).menu; }

bool OpenTrayMenu(HWND wnd, DWORD processId, DWORD timeoutMs) {
    // Posted: the handler stays in the menu's modal loop until the menu closes.
    if (!::PostMessageA(wnd, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN)) return false;
    return WaitUntil(true, processId, timeoutMs);
}

bool CloseTrayMenu(HWND wnd, DWORD processId, DWORD timeoutMs) {
    // The default handling of WM_CANCELMODE ends the menu that the window tracks;
    // key presses posted to the popup are the fallback.
    ::PostMessageA(wnd, WM_CANCELMODE, 0, 0);
    if (WaitUntil(false, processId, timeoutMs / 2)) return true;
    if (HWND menu = VisibleMenuOf(processId)) ::PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    return WaitUntil(false, processId, timeoutMs / 2);
}

bool WaitUntilIdle(HWND wnd, DWORD processId, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    // A right click that arrives during a modal wait is dropped: it is made again.
    while (!OpenTrayMenu(wnd, processId, 1000))
        if (::GetTickCount() - start >= timeoutMs) return false;
    return CloseTrayMenu(wnd, processId, timeoutMs);
}

ResourceSample SampleResources(HANDLE process, DWORD processId) {
    ResourceSample sample;
    DWORD handles = 0;
    // Wine answers 0 for another process; only a non-zero count is believed.
    if (::GetProcessHandleCount(process, &handles) && handles > 0) {
        sample.handles = handles;
        sample.handlesSource = "GetProcessHandleCount";
    } else {
        sample.handles = CountHandles(processId);
        sample.handlesSource = "system handle list";
    }

    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        if (memory.PrivateUsage > 0) {
            sample.privateBytes = static_cast<long long>(memory.PrivateUsage);
            sample.privateBytesSource = "PrivateUsage";
        } else {
            // Wine leaves PrivateUsage 0 and reports the process's anonymous
            // (private) resident memory as its page-file usage.
            sample.privateBytes = static_cast<long long>(memory.PagefileUsage);
            sample.privateBytesSource = "PagefileUsage";
        }
    }

    // GetGuiResources is a stub under Wine (0 for every process): 0 means "not reported".
    const DWORD user = ::GetGuiResources(process, GR_USEROBJECTS);
    const DWORD gdi = ::GetGuiResources(process, GR_GDIOBJECTS);
    if (user > 0) sample.userObjects = user;
    if (gdi > 0) sample.gdiObjects = gdi;
    sample.windows = VisitWindows(processId).count;
    return sample;
}

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

}  // namespace vrln::soak
