// The few platform calls whose effects are modal or invisible to a test
// (the shell's notification area, message boxes, popup menus, program starts,
// the timer that wakes the machine and the machine's sleep), and those whose
// answers a test must choose (the network, a person's input, the clocks), go
// through this table. It holds the real calls; tests put recorders in it.
#pragma once

#include <winsock2.h>
#include <windows.h>
// Before iphlpapi.h: its interface rows (GetIfEntry2) come only with the IPv6 definitions.
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <objbase.h>
#include <powrprof.h>
#include <shellapi.h>

namespace vrln {

struct PlatformCalls {
    BOOL(WINAPI* ShellNotifyIcon)(DWORD message, PNOTIFYICONDATAA data) = ::Shell_NotifyIconA;
    int(WINAPI* MessageBox)(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = ::MessageBoxA;
    BOOL(WINAPI* TrackPopupMenu)(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                                 const RECT* rect) = ::TrackPopupMenu;
    UINT(WINAPI* WinExec)(LPCSTR commandLine, UINT showCommand) = ::WinExec;
    BOOL(WINAPI* SetWaitableTimer)(HANDLE timer, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE routine,
                                   LPVOID argument, BOOL resume) = ::SetWaitableTimer;
    BOOL(WINAPI* CancelWaitableTimer)(HANDLE timer) = ::CancelWaitableTimer;
    // What the power plan and the machine allow of a wake timer.
    DWORD(WINAPI* PowerGetActiveScheme)(HKEY root, GUID** scheme) = ::PowerGetActiveScheme;
    DWORD(WINAPI* PowerReadACValueIndex)(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                         LPDWORD index) = ::PowerReadACValueIndex;
    DWORD(WINAPI* PowerReadDCValueIndex)(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                         LPDWORD index) = ::PowerReadDCValueIndex;
    BOOL(WINAPI* GetSystemPowerStatus)(LPSYSTEM_POWER_STATUS status) = ::GetSystemPowerStatus;
    BOOLEAN(WINAPI* GetPwrCapabilities)(PSYSTEM_POWER_CAPABILITIES capabilities) = ::GetPwrCapabilities;
    EXECUTION_STATE(WINAPI* SetThreadExecutionState)(EXECUTION_STATE flags) = ::SetThreadExecutionState;
    ULONG(WINAPI* GetAdaptersAddresses)(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                        PULONG size) = ::GetAdaptersAddresses;
    NETIO_STATUS(WINAPI* GetIfEntry2)(PMIB_IF_ROW2 row) = ::GetIfEntry2;
    // The Network List Manager is made through this.
    HRESULT(WINAPI* CoCreateInstance)(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId,
                                      LPVOID* object) = ::CoCreateInstance;
    BOOL(WINAPI* GetLastInputInfo)(PLASTINPUTINFO info) = ::GetLastInputInfo;
    // Goes on while the machine sleeps.
    ULONGLONG(WINAPI* GetTickCount64)() = ::GetTickCount64;
    // Stops while the machine sleeps or hibernates: a bound on it is one of time awake.
    BOOL(WINAPI* QueryUnbiasedInterruptTime)(PULONGLONG unbiasedTime) = ::QueryUnbiasedInterruptTime;
};

// The process-wide table. Swap entries only while no other thread uses them.
PlatformCalls& Platform();

}  // namespace vrln
