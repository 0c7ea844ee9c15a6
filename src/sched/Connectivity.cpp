#include "sched/Connectivity.h"

#include "core/Network.h"
#include "win/Handles.h"
#include "win/Platform.h"

#include <netlistmgr.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <memory>
#include <optional>

namespace vrln {

namespace {

// The address's bytes in network order, or none for a family that is neither IPv4 nor IPv6.
bool AddressBytes(const SOCKET_ADDRESS& address, const std::uint8_t*& bytes, std::size_t& size) {
    const sockaddr* socket = address.lpSockaddr;
    if (!socket) return false;
    if (socket->sa_family == AF_INET && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in))) {
        bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(socket)->sin_addr);
        size = 4;
        return true;
    }
    if (socket->sa_family == AF_INET6 && address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in6))) {
        bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(socket)->sin6_addr);
        size = 16;
        return true;
    }
    return false;
}

bool HasUsableAddress(const IP_ADAPTER_ADDRESSES& adapter) {
    for (auto* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        // A tentative or duplicate address carries nothing yet.
        if (unicast->DadState == IpDadStatePreferred && AddressBytes(unicast->Address, bytes, size) &&
            core::IsRoutableUnicast(bytes, size))
            return true;
    }
    return false;
}

bool HasDefaultGateway(const IP_ADAPTER_ADDRESSES& adapter) {
    for (auto* gateway = adapter.FirstGatewayAddress; gateway; gateway = gateway->Next) {
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        // A VPN over PPP lists 0.0.0.0: its traffic goes wherever the link beneath it leads.
        if (AddressBytes(gateway->Address, bytes, size) && !core::IsUnspecified(bytes, size)) return true;
    }
    return false;
}

// Virtual adapters (VPNs, hypervisors' switches) stay up without any link beneath them.
bool IsConnectedHardware(const IP_ADAPTER_ADDRESSES& adapter) {
    MIB_IF_ROW2 row{};
    row.InterfaceLuid = adapter.Luid;
    row.InterfaceIndex = adapter.IfIndex;
    if (Platform().GetIfEntry2(&row) != NO_ERROR) return false;
    return row.InterfaceAndOperStatusFlags.HardwareInterface && row.MediaConnectState == MediaConnectStateConnected;
}

bool UsableInterface(const IP_ADAPTER_ADDRESSES& adapter) {
    return adapter.OperStatus == IfOperStatusUp && adapter.IfType != IF_TYPE_SOFTWARE_LOOPBACK &&
           HasDefaultGateway(adapter) && HasUsableAddress(adapter) && IsConnectedHardware(adapter);
}

// The Network List Manager's verdict, or nothing where it cannot be had.
std::optional<bool> WindowsSeesTheInternet() {
    // COM, its DLLs and the manager are kept for this question only: a moment
    // falls due seldom, and all of them would stay in memory all day.
    const ComApartment com(COINIT_MULTITHREADED);
    INetworkListManager* created = nullptr;
    if (FAILED(Platform().CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                           reinterpret_cast<void**>(&created))) ||
        !created)
        return std::nullopt;
    const UniqueCom<INetworkListManager> manager(created);
    NLM_CONNECTIVITY connectivity = NLM_CONNECTIVITY_DISCONNECTED;
    if (FAILED(manager.get()->GetConnectivity(&connectivity))) return std::nullopt;
    return (connectivity & (NLM_CONNECTIVITY_IPV4_INTERNET | NLM_CONNECTIVITY_IPV6_INTERNET)) != 0;
}

// A REG_DWORD of the machine's registry, or nothing when it is missing or of another type.
std::optional<DWORD> MachineDword(const char* subkey, const char* name) {
    UniqueHkey key;
    // The 64-bit view, where Windows keeps its own settings: a 32-bit program on
    // 64-bit Windows would otherwise be led to WOW6432Node. 32-bit Windows ignores the flag.
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (::RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

// Where a policy has turned the Network List Manager's probe off, it reports a
// local network only for as long as that holds, so asking it would make every
// launch wait its full time. Read at each call: a policy can change meanwhile.
bool InternetProbeTurnedOff() {
    return MachineDword("SOFTWARE\\Policies\\Microsoft\\Windows\\NetworkConnectivityStatusIndicator",
                        "NoActiveProbe") == 1u ||
           MachineDword("SYSTEM\\CurrentControlSet\\Services\\NlaSvc\\Parameters\\Internet",
                        "EnableActiveProbing") == 0u;
}

}  // namespace

bool AdaptersShowANetwork() {
    // Loaded once for all the calls below, and only for them.
    const UniqueModule ipHelper = LoadSystemModule(kIpHelperDll);
    constexpr ULONG kFlags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                             GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The size the platform's documentation suggests; an interface added
    // between two calls may need one more try.
    ULONG size = 15000;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // ULONGLONG, so that the records in the buffer are aligned as the platform lays them out.
        std::unique_ptr<ULONGLONG[]> buffer(new ULONGLONG[size / sizeof(ULONGLONG) + 1]);
        auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
        const ULONG result = Platform().GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr, adapters, &size);
        if (result == ERROR_BUFFER_OVERFLOW) continue;
        if (result != ERROR_SUCCESS) return false;  // ERROR_NO_DATA: no interface at all
        for (auto* adapter = adapters; adapter; adapter = adapter->Next) {
            if (UsableInterface(*adapter)) return true;
        }
        return false;
    }
    return false;
}

TNetworkAnswer AskForNetwork() {
    if (InternetProbeTurnedOff()) return {AdaptersShowANetwork(), core::NetworkJudge::AdaptersProbeTurnedOff};
    if (const std::optional<bool> internet = WindowsSeesTheInternet())
        return {*internet, core::NetworkJudge::ListManager};
    return {AdaptersShowANetwork(), core::NetworkJudge::AdaptersNoListManager};
}

}  // namespace vrln
