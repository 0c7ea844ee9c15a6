// The few platform calls whose effects are modal or invisible to a test
// (the shell's notification area, message boxes, popup menus, program starts,
// the timer that wakes the machine and the machine's sleep), and those whose
// answers a test must choose (the network, a person's input, the clocks), go
// through this table. It holds the real calls; tests put recorders in it.
//
// The DLLs that only a due moment or a wake timer needs (COM's, the IP
// helper's, the power plan's) are not imported: their entries load the DLL
// for the call. A caller that makes several calls holds it meanwhile
// (LoadSystemModule, ComApartment), so that it is loaded once.
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

// The entries that load their DLL for the call. Where the DLL or the function
// cannot be had they answer as the function does for a failure: an error
// code (ERROR_PROC_NOT_FOUND, or the HRESULT of it), FALSE or no change.
namespace loaded {
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD model);
void WINAPI CoUninitialize();
HRESULT WINAPI CoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId, LPVOID* object);
DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** scheme);
DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   LPDWORD index);
DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   LPDWORD index);
BOOLEAN WINAPI GetPwrCapabilities(PSYSTEM_POWER_CAPABILITIES capabilities);
ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                  PULONG size);
NETIO_STATUS WINAPI GetIfEntry2(PMIB_IF_ROW2 row);
}  // namespace loaded

// The DLLs that the entries above load.
constexpr const char* kComDll = "ole32.dll";
constexpr const char* kPowerDll = "powrprof.dll";
constexpr const char* kIpHelperDll = "iphlpapi.dll";

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
    DWORD(WINAPI* PowerGetActiveScheme)(HKEY root, GUID** scheme) = loaded::PowerGetActiveScheme;
    DWORD(WINAPI* PowerReadACValueIndex)(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                         LPDWORD index) = loaded::PowerReadACValueIndex;
    DWORD(WINAPI* PowerReadDCValueIndex)(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                         LPDWORD index) = loaded::PowerReadDCValueIndex;
    BOOL(WINAPI* GetSystemPowerStatus)(LPSYSTEM_POWER_STATUS status) = ::GetSystemPowerStatus;
    BOOLEAN(WINAPI* GetPwrCapabilities)(PSYSTEM_POWER_CAPABILITIES capabilities) = loaded::GetPwrCapabilities;
    EXECUTION_STATE(WINAPI* SetThreadExecutionState)(EXECUTION_STATE flags) = ::SetThreadExecutionState;
    ULONG(WINAPI* GetAdaptersAddresses)(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                        PULONG size) = loaded::GetAdaptersAddresses;
    NETIO_STATUS(WINAPI* GetIfEntry2)(PMIB_IF_ROW2 row) = loaded::GetIfEntry2;
    // The Network List Manager is made through this, in an apartment entered through the next two.
    HRESULT(WINAPI* CoCreateInstance)(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId,
                                      LPVOID* object) = loaded::CoCreateInstance;
    HRESULT(WINAPI* CoInitializeEx)(LPVOID reserved, DWORD model) = loaded::CoInitializeEx;
    void(WINAPI* CoUninitialize)() = loaded::CoUninitialize;
    BOOL(WINAPI* GetLastInputInfo)(PLASTINPUTINFO info) = ::GetLastInputInfo;
    // Goes on while the machine sleeps.
    ULONGLONG(WINAPI* GetTickCount64)() = ::GetTickCount64;
    // Stops while the machine sleeps or hibernates: a bound on it is one of time awake.
    BOOL(WINAPI* QueryUnbiasedInterruptTime)(PULONGLONG unbiasedTime) = ::QueryUnbiasedInterruptTime;
};

// The process-wide table. Swap entries only while no other thread uses them.
PlatformCalls& Platform();

}  // namespace vrln
