#include "win/Platform.h"

#include "win/Handles.h"

namespace vrln {

PlatformCalls& Platform() {
    static PlatformCalls calls;
    return calls;
}

namespace {

// The function of a system DLL, with the DLL loaded for as long as module holds it.
FARPROC FindLoaded(UniqueModule& module, const char* dll, const char* name) {
    module = LoadSystemModule(dll);
    return module ? ::GetProcAddress(module.get(), name) : nullptr;
}

// Calls the function of a system DLL with the DLL loaded for the call. It
// stays mapped after the call only while another owner holds it.
template <typename Function, typename Result, typename... Args>
Result CallLoaded(const char* dll, const char* name, Result unavailable, Args... args) {
    UniqueModule module;
    // Through void*: GCC warns about casting FARPROC to another function type.
    const auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(FindLoaded(module, dll, name)));
    return function ? function(args...) : unavailable;
}

constexpr HRESULT kComUnavailable = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);

}  // namespace

namespace loaded {

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD model) {
    return CallLoaded<decltype(&::CoInitializeEx)>(kComDll, "CoInitializeEx", kComUnavailable, reserved, model);
}

void WINAPI CoUninitialize() {
    UniqueModule module;
    if (const FARPROC function = FindLoaded(module, kComDll, "CoUninitialize"))
        reinterpret_cast<decltype(&::CoUninitialize)>(reinterpret_cast<void*>(function))();
}

HRESULT WINAPI CoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId,
                                LPVOID* object) {
    if (object) *object = nullptr;
    return CallLoaded<decltype(&::CoCreateInstance)>(kComDll, "CoCreateInstance", kComUnavailable, classId, outer,
                                                     context, interfaceId, object);
}

DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** scheme) {
    return CallLoaded<decltype(&::PowerGetActiveScheme)>(kPowerDll, "PowerGetActiveScheme",
                                                         DWORD{ERROR_PROC_NOT_FOUND}, root, scheme);
}

DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   LPDWORD index) {
    return CallLoaded<decltype(&::PowerReadACValueIndex)>(kPowerDll, "PowerReadACValueIndex",
                                                          DWORD{ERROR_PROC_NOT_FOUND}, root, scheme, subgroup,
                                                          setting, index);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   LPDWORD index) {
    return CallLoaded<decltype(&::PowerReadDCValueIndex)>(kPowerDll, "PowerReadDCValueIndex",
                                                          DWORD{ERROR_PROC_NOT_FOUND}, root, scheme, subgroup,
                                                          setting, index);
}

BOOLEAN WINAPI GetPwrCapabilities(PSYSTEM_POWER_CAPABILITIES capabilities) {
    return CallLoaded<decltype(&::GetPwrCapabilities)>(kPowerDll, "GetPwrCapabilities", BOOLEAN{FALSE},
                                                       capabilities);
}

ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                  PULONG size) {
    return CallLoaded<decltype(&::GetAdaptersAddresses)>(kIpHelperDll, "GetAdaptersAddresses",
                                                         ULONG{ERROR_PROC_NOT_FOUND}, family, flags, reserved,
                                                         addresses, size);
}

NETIO_STATUS WINAPI GetIfEntry2(PMIB_IF_ROW2 row) {
    return CallLoaded<decltype(&::GetIfEntry2)>(kIpHelperDll, "GetIfEntry2", NETIO_STATUS{ERROR_PROC_NOT_FOUND},
                                                row);
}

}  // namespace loaded

ComApartment::ComApartment(DWORD model) noexcept
    : ole32_(LoadSystemModule(kComDll)), entered_(SUCCEEDED(Platform().CoInitializeEx(nullptr, model))) {}

ComApartment::~ComApartment() {
    if (entered_) Platform().CoUninitialize();
}

}  // namespace vrln
