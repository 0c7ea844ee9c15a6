// TScheduler against the real registry and the real named objects of the exchange.
#include "core/DateTime.h"
#include "sched/ThreadSync.h"
#include "sched/Connectivity.h"
#include "sched/DecisionLog.h"
#include "sched/ThreadWakeUp.h"
#include "win/Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <netlistmgr.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 20000;

// Writes one value with a given type and raw bytes.
void WriteRaw(const char* name, DWORD type, const void* bytes, DWORD size) {
    UniqueHkey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(bytes), size), ERROR_SUCCESS);
}

struct StoredValue {
    DWORD type = 0;
    std::string bytes;
};

StoredValue ReadRaw(const char* name) {
    StoredValue value;
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return value;
    char data[64];
    DWORD size = sizeof data;
    if (::RegQueryValueExA(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size) ==
        ERROR_SUCCESS)
        value.bytes.assign(data, size);
    return value;
}

bool KeyExists() {
    UniqueHkey key;
    return ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

bool EventSet(const std::string& name) {
    UniqueHandle event(::OpenEventA(SYNCHRONIZE, FALSE, name.c_str()));
    return event && ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

std::string Notice(int index) {
    return std::string(kSyncName) + "_EventDataToRead" + std::to_string(index);
}

void ResetNotices() {
    for (int i = 0; i < 5; ++i) {
        UniqueHandle event(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Notice(i).c_str()));
        if (event) ::ResetEvent(event.get());
    }
}

// Starts of the main application, counted instead of made; called on the worker.
std::atomic<int> g_launches{0};
UINT WINAPI CountLaunch(LPCSTR, UINT) {
    ++g_launches;
    return 33;
}

// What the scheduler asked of the wake timer and of the machine's sleep, in order:
// "timer set <due> <resume>", "timer cancel", "awake <flags> <thread>".
std::mutex g_powerLock;
std::vector<std::string> g_power;
void RecordPower(const std::string& call) {
    std::lock_guard<std::mutex> lock(g_powerLock);
    g_power.push_back(call);
}
std::vector<std::string> PowerCalls(const std::string& prefix = "") {
    std::lock_guard<std::mutex> lock(g_powerLock);
    std::vector<std::string> calls;
    std::copy_if(g_power.begin(), g_power.end(), std::back_inserter(calls),
                 [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
    return calls;
}
BOOL WINAPI RecordSetTimer(HANDLE, const LARGE_INTEGER* due, LONG, PTIMERAPCROUTINE, LPVOID, BOOL resume) {
    RecordPower("timer set " + std::to_string(due->QuadPart) + " " + std::to_string(resume));
    return TRUE;
}
BOOL WINAPI RecordCancelTimer(HANDLE) {
    RecordPower("timer cancel");
    return TRUE;
}
EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE flags) {
    RecordPower("awake " + std::to_string(flags) + " " + std::to_string(::GetCurrentThreadId()));
    return ES_CONTINUOUS;
}
// Set a little before a moment further ahead than that, so that the worker asks for the network then.
std::string WakeAt(double moment) {
    return "timer set " + std::to_string(LocalMomentToUtc(moment).value_or(0) - TWakeTimer::kAheadMs * 10000ull) + " 1";
}

// The clocks of the power rules, apart as a sleep sets them (the tick count
// goes on, the time awake does not), and a person's last input, all moved by the test.
std::atomic<ULONGLONG> g_ticks{0}, g_awake{0}, g_lastInput{0};
ULONGLONG WINAPI TestTicks() { return g_ticks; }
BOOL WINAPI TestAwake(PULONGLONG units) {
    *units = g_awake * 10000;
    return TRUE;
}
BOOL WINAPI TestLastInput(PLASTINPUTINFO info) {
    info->dwTime = static_cast<DWORD>(g_lastInput);
    return TRUE;
}
// Time awake passes; the tick count is left alone, so that no reading between
// two steps could look like a sleep. A sleep moves the tick count only.
void AwakeFor(ULONGLONG ms) { g_awake += ms; }
void AsleepFor(ULONGLONG ms) { g_ticks += ms; }

// The machine's interfaces as the network test sees them: the state, the
// type, the addresses in the order listed (4 or 16 bytes), the gateway (none
// when empty), and what GetIfEntry2 and the address's duplicate test say.
struct Interface {
    IF_OPER_STATUS status;
    IFTYPE type;
    std::vector<std::vector<std::uint8_t>> addresses;
    std::vector<std::uint8_t> gateway;
    bool hardware = true;
    bool connected = true;
    NL_DAD_STATE dad = IpDadStatePreferred;
};
const std::vector<std::uint8_t> kGateway4 = {192, 0, 2, 1};
const Interface kWired{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{192, 0, 2, 5}}, kGateway4};
std::mutex g_interfacesLock;
std::vector<Interface> g_interfaces;
bool g_overflowOnce = false;  // the first call finds the buffer too small, as when an interface came meanwhile
void SetInterfaces(std::vector<Interface> interfaces) {
    std::lock_guard<std::mutex> lock(g_interfacesLock);
    g_interfaces = std::move(interfaces);
}
union SocketAddress {
    sockaddr_in v4;
    sockaddr_in6 v6;
};
INT Fill(SocketAddress& to, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() == 4) {
        to.v4.sin_family = AF_INET;
        std::memcpy(&to.v4.sin_addr, bytes.data(), 4);
        return sizeof(sockaddr_in);
    }
    to.v6.sin6_family = AF_INET6;
    std::memcpy(&to.v6.sin6_addr, bytes.data(), 16);
    return sizeof(sockaddr_in6);
}
ULONG WINAPI TestAdapters(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES out, PULONG size) {
    std::lock_guard<std::mutex> lock(g_interfacesLock);
    if (g_interfaces.empty()) return ERROR_NO_DATA;
    struct Record {
        IP_ADAPTER_ADDRESSES adapter;
        IP_ADAPTER_UNICAST_ADDRESS unicast[2];
        IP_ADAPTER_GATEWAY_ADDRESS gateway;
        SocketAddress addresses[2], gatewayAddress;
    };
    const ULONG needed = static_cast<ULONG>(sizeof(Record) * g_interfaces.size());
    if (*size < needed || std::exchange(g_overflowOnce, false)) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    auto* records = reinterpret_cast<Record*>(out);
    std::memset(records, 0, needed);
    for (std::size_t i = 0; i < g_interfaces.size(); ++i) {
        const Interface& from = g_interfaces[i];
        Record& to = records[i];
        to.adapter.Next = i + 1 < g_interfaces.size() ? &records[i + 1].adapter : nullptr;
        to.adapter.IfIndex = static_cast<DWORD>(i + 1);
        to.adapter.OperStatus = from.status;
        to.adapter.IfType = from.type;
        for (std::size_t a = 0; a < from.addresses.size() && a < 2; ++a) {
            IP_ADAPTER_UNICAST_ADDRESS& unicast = to.unicast[a];
            unicast.Next = a + 1 < from.addresses.size() ? &to.unicast[a + 1] : nullptr;
            unicast.DadState = from.dad;
            unicast.Address.lpSockaddr = reinterpret_cast<sockaddr*>(&to.addresses[a]);
            unicast.Address.iSockaddrLength = Fill(to.addresses[a], from.addresses[a]);
        }
        to.adapter.FirstUnicastAddress = from.addresses.empty() ? nullptr : &to.unicast[0];
        if (!from.gateway.empty()) {
            to.adapter.FirstGatewayAddress = &to.gateway;
            to.gateway.Address.lpSockaddr = reinterpret_cast<sockaddr*>(&to.gatewayAddress);
            to.gateway.Address.iSockaddrLength = Fill(to.gatewayAddress, from.gateway);
        }
    }
    return ERROR_SUCCESS;
}
NETIO_STATUS WINAPI TestInterfaceRow(PMIB_IF_ROW2 row) {
    std::lock_guard<std::mutex> lock(g_interfacesLock);
    if (row->InterfaceIndex == 0 || row->InterfaceIndex > g_interfaces.size()) return ERROR_FILE_NOT_FOUND;
    const Interface& from = g_interfaces[row->InterfaceIndex - 1];
    row->InterfaceAndOperStatusFlags.HardwareInterface = from.hardware;
    row->MediaConnectState = from.connected ? MediaConnectStateConnected : MediaConnectStateDisconnected;
    return NO_ERROR;
}

// Windows' Network List Manager, where a row makes it available, with the connectivity it reports.
std::optional<NLM_CONNECTIVITY> g_windowsSees;
class TestNetworkList : public INetworkListManager {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetNetworks(NLM_ENUM_NETWORK, IEnumNetworks**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNetwork(GUID, INetwork**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNetworkConnections(IEnumNetworkConnections**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNetworkConnection(GUID, INetworkConnection**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsConnectedToInternet(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsConnected(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectivity(NLM_CONNECTIVITY* connectivity) override {
        *connectivity = *g_windowsSees;
        return S_OK;
    }
} g_networkList;
HRESULT WINAPI TestCreateInstance(REFCLSID classId, LPUNKNOWN, DWORD, REFIID interfaceId, LPVOID* object) {
    *object = nullptr;
    if (!g_windowsSees || classId != CLSID_NetworkListManager || interfaceId != IID_INetworkListManager)
        return REGDB_E_CLASSNOTREG;
    *object = static_cast<INetworkListManager*>(&g_networkList);
    return S_OK;
}

// A value that turns Windows' probe off or leaves it on, put where the product reads it (the machine's
// 64-bit registry) for one row and removed after it, as a fresh prefix has neither. No key: nothing.
constexpr const char *kNcsiKey = "SOFTWARE\\Policies\\Microsoft\\Windows\\NetworkConnectivityStatusIndicator",
                     *kNlaKey = "SYSTEM\\CurrentControlSet\\Services\\NlaSvc\\Parameters\\Internet";
struct Policy { const char* key = nullptr; const char* name = nullptr; DWORD type = REG_DWORD, value = 0; };
struct ScopedPolicy {
    explicit ScopedPolicy(const Policy& policy) : name(policy.name) {
        const REGSAM access = KEY_SET_VALUE | KEY_WOW64_64KEY;
        if (!policy.key) return;
        // A row whose policy is not in place would test the machine without it.
        EXPECT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, policy.key, 0, nullptr, 0, access, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS) << policy.key;
        EXPECT_EQ(::RegSetValueExA(key.get(), name, 0, policy.type, reinterpret_cast<const BYTE*>(&policy.value),
                                   sizeof policy.value),
                  ERROR_SUCCESS) << policy.name;
    }
    ~ScopedPolicy() {
        if (key) ::RegDeleteValueA(key.get(), name);
    }
    UniqueHkey key;
    const char* name;
};

// Holds the worker at chosen steps of its due path, each once, until released.
class WorkerGate {
public:
    WorkerGate(TScheduler& scheduler, std::initializer_list<TSchedulerStep> steps) {
        for (TSchedulerStep step : steps) {
            auto& events = state_->events[static_cast<int>(step)];
            events.reached.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
            events.release.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
            EXPECT_TRUE(events.reached && events.release);
        }
        // The state is shared with the hook, which the worker may call after the gate is gone.
        scheduler.StepHookForTest = [state = state_](TSchedulerStep step) {
            auto& events = state->events[static_cast<int>(step)];
            if (!events.reached || ::WaitForSingleObject(events.reached.get(), 0) == WAIT_OBJECT_0) return;
            ::SetEvent(events.reached.get());
            ::WaitForSingleObject(events.release.get(), INFINITE);
        };
    }
    ~WorkerGate() {
        for (auto& events : state_->events)
            if (events.release) ::SetEvent(events.release.get());
    }
    bool Reached(TSchedulerStep step) {
        return ::WaitForSingleObject(state_->events[static_cast<int>(step)].reached.get(), kGenerous) ==
               WAIT_OBJECT_0;
    }
    void Release(TSchedulerStep step) { ::SetEvent(state_->events[static_cast<int>(step)].release.get()); }

private:
    struct Events {
        UniqueHandle reached, release;
    };
    struct State {
        Events events[static_cast<int>(TSchedulerStep::Count)];
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = Platform();
        Platform().WinExec = &CountLaunch;
        Platform().SetWaitableTimer = &RecordSetTimer;
        Platform().CancelWaitableTimer = &RecordCancelTimer;
        Platform().SetThreadExecutionState = &RecordExecutionState;
        Platform().GetTickCount64 = &TestTicks;
        Platform().QueryUnbiasedInterruptTime = &TestAwake;
        Platform().GetLastInputInfo = &TestLastInput;
        Platform().GetAdaptersAddresses = &TestAdapters;
        Platform().GetIfEntry2 = &TestInterfaceRow;
        Platform().CoCreateInstance = &TestCreateInstance;
        g_ticks = 5000000000;  // past 32 bits, as input ticks wrap
        g_awake = 3000000000;
        g_lastInput = 0;
        SetInterfaces({kWired});
        g_windowsSees.reset();
        g_power.clear();
        g_launches = 0;
        DeleteSchedulerKey();
        // A participant of the exchange that outlives the schedulers of a test,
        // so the named objects keep their state between them.
        peer = std::make_unique<TDataSynchronizer>(kSyncName, 1);
        ResetNotices();
    }
    void TearDown() override {
        Platform() = saved;
        DeleteSchedulerKey();
    }

    // A write as the main application makes it: under write access, then the notices.
    void MainAppStores(DWORD state, double moment) {
        ASSERT_TRUE(peer->BeginWrite(5000));
        WriteSchedulerValues(state, moment);
        peer->EndWrite();
    }
    // Counts the worker's cycles; before it runs, after any gate.
    void CountCycles(TScheduler& scheduler) {
        scheduler.StepHookForTest = [this, gate = scheduler.StepHookForTest](TSchedulerStep step) {
            if (gate) gate(step);
            if (step == TSchedulerStep::CycleEnded) ++cycles;
        };
    }
    // Waits until the worker has ended n more cycles than when it was called.
    bool CyclesPass(int n) {
        const int target = cycles + n;
        return WaitFor([&] { return cycles >= target; }, kGenerous);
    }
    // Waits for the cycle that a cause (a start, a request) brings about; the
    // worker may end it before the cause returns.
    template <typename Cause>
    bool CycleAfter(Cause cause) {
        const int target = cycles + 1;
        cause();
        return WaitFor([&] { return cycles >= target; }, kGenerous);
    }
    double StoredMoment() {
        DWORD state = 0;
        double date = -1;
        EXPECT_TRUE(ReadSchedulerValues(state, date));
        return date;
    }

    PlatformCalls saved;
    std::unique_ptr<TDataSynchronizer> peer;
    std::atomic<int> cycles{0};
};

}  // namespace

TEST_F(SchedulerTest, FirstStartWithoutTheKeyHasNothingPendingAndCreatesTheKeyOnSave) {
    {
        TScheduler scheduler(true);
        EXPECT_EQ(scheduler.State(), 0);
        EXPECT_EQ(scheduler.StartupDate(), 0.0);
        EXPECT_EQ(scheduler.NextLaunchText(), "");
        EXPECT_FALSE(KeyExists());
    }
    const StoredValue state = ReadRaw(kStateValue);
    const StoredValue date = ReadRaw(kStartupDateValue);
    EXPECT_EQ(state.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(state.bytes, std::string(4, '\0'));
    EXPECT_EQ(date.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(date.bytes, std::string(8, '\0'));
}

TEST_F(SchedulerTest, LoadsTheLowByteOfStateAndCarriesTheOtherBits) {
    const DWORD stored = 0x103;
    WriteRaw(kStateValue, REG_DWORD, &stored, sizeof stored);
    TScheduler scheduler(true);
    EXPECT_EQ(scheduler.State(), 3);
    scheduler.SaveState();
    EXPECT_EQ(ReadRaw(kStateValue).bytes, std::string("\x03\0\0\0", 4));
}

TEST_F(SchedulerTest, ValuesOfOtherSizesNeverLeaveGarbage) {
    // A state shorter than its buffer: the missing bytes read as zero.
    const char oneByte = 0x05;
    WriteRaw(kStateValue, REG_BINARY, &oneByte, 1);
    const double date = Moment(2030, 1, 2, 3, 4, 5);
    WriteRaw(kStartupDateValue, REG_BINARY, &date, 8);
    TScheduler scheduler(true);
    EXPECT_EQ(scheduler.State(), 5);
    ASSERT_EQ(scheduler.StartupDate(), date);
    // A moment of any other size than 8 bytes is not loaded: a shorter one would
    // read as a tiny moment long past and launch at once.
    const char tooLong[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const DWORD dword = 7;
    const struct Case { DWORD type; const void* bytes; DWORD size; } cases[] = {
        {REG_BINARY, tooLong, 0}, {REG_BINARY, tooLong, 1}, {REG_BINARY, tooLong, 4},
        {REG_DWORD, &dword, 4},   {REG_BINARY, tooLong, 6}, {REG_BINARY, tooLong, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + ", " + std::to_string(c.size) + " bytes");
        WriteRaw(kStartupDateValue, c.type, c.bytes, c.size);
        scheduler.LoadState();
        EXPECT_EQ(scheduler.StartupDate(), date);
    }
    // A state longer than its buffer: the query fails and the field keeps its value.
    WriteRaw(kStateValue, REG_BINARY, tooLong, 5);
    scheduler.LoadState();
    EXPECT_EQ(scheduler.State(), 5);
}

TEST_F(SchedulerTest, MomentsThatCannotBeShownGiveNoTextAndNeverFallDue) {
    const double values[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), 1e300, -1e300};
    for (double value : values) {
        WriteSchedulerValues(0, value);
        TScheduler scheduler(true);
        EXPECT_EQ(scheduler.NextLaunchText(), "") << value;
        EXPECT_FALSE(core::IsLaunchDue(scheduler.State(), scheduler.StartupDate(), LocalNow())) << value;
    }
    WriteSchedulerValues(0, Moment(1998, 9, 30, 14, 5, 0));
    TScheduler scheduler(true);
    EXPECT_EQ(scheduler.NextLaunchText(), "Wednesday 30 Sep 1998,14:05:00");
}

TEST_F(SchedulerTest, SetStateSavesUnderWriteAccessAndNotifiesTheOthers) {
    WriteSchedulerValues(2, 0.0);
    TScheduler scheduler(true);
    scheduler.SetState(3);
    EXPECT_EQ(scheduler.State(), 3);  // shown at once, before the worker stores it
    scheduler.Resume();
    // The others are told once the write is over, so the value is there by the time all four notices are.
    ASSERT_TRUE(WaitFor([] { return EventSet(Notice(1)) && EventSet(Notice(2)) && EventSet(Notice(3)) &&
                                    EventSet(Notice(4)); }, kGenerous));
    EXPECT_EQ(ReadRaw(kStateValue).bytes, std::string("\x03\0\0\0", 4));
    EXPECT_FALSE(EventSet(Notice(0)));
}

TEST_F(SchedulerTest, SetStateWithoutWriteAccessIsShownAtOnceAndStoredWhenAccessComes) {
    WriteSchedulerValues(0, 0.0);
    TScheduler scheduler(true);
    CountCycles(scheduler);
    ASSERT_TRUE(peer->BeginWrite(1000));
    scheduler.SetState(1);
    ASSERT_TRUE(CycleAfter([&] { scheduler.Resume(); }));
    EXPECT_EQ(scheduler.State(), 1);
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{0}, 0.0));
    peer->EndWrite();
    EXPECT_TRUE(WaitFor([] { return ReadRecord() == std::make_pair(DWORD{1}, 0.0); }, kGenerous));
}

TEST_F(SchedulerTest, AReloadDoesNotBringBackTheOldByteWhileTheUsersChangeIsBeingSaved) {
    WriteSchedulerValues(0, 0.0);
    TScheduler scheduler(true);
    // A registered reader keeps the user's write waiting for write access.
    TDataSynchronizer reader(kSyncName, 2);
    ::SetEvent(UniqueHandle(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Notice(2).c_str())).get());
    ASSERT_TRUE(reader.BeginRead(1000));
    scheduler.SetState(1);
    scheduler.Resume();
    // Meanwhile the store says "minimised" and not suspended: the reload takes
    // the other bit but keeps the user's.
    WriteSchedulerValues(2, 0.0);
    ::SetEvent(UniqueHandle(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Notice(0).c_str())).get());
    EXPECT_TRUE(WaitFor([&] { return scheduler.State() == 3; }, kGenerous));
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{2}, 0.0));
    reader.EndRead();
    EXPECT_TRUE(WaitFor([] { return ReadRecord() == std::make_pair(DWORD{3}, 0.0); }, kGenerous));
}

TEST_F(SchedulerTest, TheCallbackRunsOnTheWorkerOnceForWhatWaitsUntilTakenAndNotAfterTheDetach) {
    TScheduler scheduler(true);
    CountCycles(scheduler);
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    scheduler.AttachWakeUp([&](TScheduler& sender) {
        EXPECT_EQ(&sender, &scheduler);
        thread = ::GetCurrentThreadId();
        ++calls;
        return true;
    });
    ASSERT_TRUE(CycleAfter([&] { scheduler.Resume(); }));
    scheduler.TakeHandOver();
    const int before = calls;
    const double moment = Moment(2031, 5, 6, 7, 8, 9);
    MainAppStores(2, moment);
    ASSERT_TRUE(WaitFor([&] { return calls > before; }, kGenerous));
    EXPECT_EQ(thread.load(), scheduler.ThreadID());
    MainAppStores(0, moment);
    ASSERT_TRUE(WaitFor([&] { return scheduler.State() == 0; }, kGenerous));
    EXPECT_EQ(calls, before + 1);
    const TScheduler::THandOver handOver = scheduler.TakeHandOver();
    EXPECT_EQ(handOver.Snapshot.State, 0);
    EXPECT_EQ(handOver.Snapshot.StartupDate, moment);
    scheduler.DetachWakeUp();
    MainAppStores(2, moment);
    ASSERT_TRUE(WaitFor([&] { return scheduler.State() == 2; }, kGenerous));
    EXPECT_EQ(calls, before + 1);
}

TEST_F(SchedulerTest, AnAnnouncedChangeIsReloadedByTheNextCycle) {
    TScheduler scheduler(false);
    const double moment = Moment(2031, 5, 6, 7, 8, 9);
    ASSERT_TRUE(peer->BeginWrite(1000));
    WriteSchedulerValues(2, moment);
    peer->EndWrite();
    EXPECT_TRUE(WaitFor([&] { return scheduler.StartupDate() == moment && scheduler.State() == 2; }, kGenerous));
}

TEST_F(SchedulerTest, DestructionIsPromptAndLeavesTheExchangeFree) {
    auto scheduler = std::make_unique<TScheduler>(false);
    ::Sleep(1100);  // let it enter a cycle's wait for a notice
    scheduler.reset();
    // Nobody is left registered as a reader or holding the no-writer mutex.
    EXPECT_TRUE(peer->BeginWrite(0));
    peer->EndWrite();
}

TEST_F(SchedulerTest, DestructionKeepsAChangeAnnouncedSinceTheLastCycle) {
    auto scheduler = std::make_unique<TScheduler>(true);
    const double moment = Moment(2032, 1, 1, 0, 0, 0);
    ASSERT_TRUE(peer->BeginWrite(1000));
    WriteSchedulerValues(0, moment);
    peer->EndWrite();
    scheduler.reset();
    DWORD state = 9;
    double date = 0;
    ASSERT_TRUE(ReadSchedulerValues(state, date));
    EXPECT_EQ(date, moment);
    EXPECT_EQ(state, 0u);
}

// ---- The due path against things that happen at the same time ------------------

TEST_F(SchedulerTest, TheDuePathStoresTheMomentAsUsedUnderWriteAccessAndNotifiesTheOthers) {
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduler scheduler(false);
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    EXPECT_EQ(StoredMoment(), 0.0);
    EXPECT_TRUE(EventSet(Notice(1)));
    EXPECT_FALSE(EventSet(Notice(0)));
}

TEST_F(SchedulerTest, AMomentStoredWhileTheDuePathRunsIsKeptAndTestedInTheNextCycle) {
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduler scheduler(true);
    WorkerGate gate(scheduler, {TSchedulerStep::DueTested});
    CountCycles(scheduler);
    scheduler.Resume();
    ASSERT_TRUE(gate.Reached(TSchedulerStep::DueTested));
    const double later = LocalNow() + 30.0;
    MainAppStores(0, later);
    ASSERT_TRUE(CycleAfter([&] { gate.Release(TSchedulerStep::DueTested); }));
    EXPECT_EQ(g_launches, 0);
    EXPECT_EQ(StoredMoment(), later);
    EXPECT_EQ(scheduler.StartupDate(), later);
}

TEST_F(SchedulerTest, SuspendTogglesWhileTheDuePathStoresCannotBringTheUsedMomentBack) {
    const double moment = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, moment);
    TScheduler scheduler(true);
    WorkerGate gate(scheduler, {TSchedulerStep::DueTested, TSchedulerStep::Consuming});
    CountCycles(scheduler);
    scheduler.Resume();
    ASSERT_TRUE(gate.Reached(TSchedulerStep::DueTested));
    // The main application announces a new bit; the moment stays the same.
    MainAppStores(core::kStateMinimized, moment);
    gate.Release(TSchedulerStep::DueTested);
    ASSERT_TRUE(gate.Reached(TSchedulerStep::Consuming));
    // Suspend and resume while the worker stores the moment as used.
    scheduler.SetState(scheduler.State() ^ core::kStateSuspended);
    scheduler.SetState(scheduler.State() ^ core::kStateSuspended);
    gate.Release(TSchedulerStep::Consuming);
    ASSERT_TRUE(WaitFor([] { return g_launches >= 1; }, kGenerous));
    ASSERT_TRUE(CyclesPass(2));
    EXPECT_EQ(g_launches, 1);
    EXPECT_EQ(StoredMoment(), 0.0);
    EXPECT_EQ(scheduler.State(), core::kStateMinimized);
}

namespace {
// Holds the worker at the step, stops the scheduler meanwhile, then lets it go on.
void StopWhileHeldAt(TSchedulerStep step) {
    auto scheduler = std::make_unique<TScheduler>(true);
    TScheduler* const raw = scheduler.get();
    WorkerGate gate(*raw, {step});
    raw->Resume();
    ASSERT_TRUE(gate.Reached(step));
    std::thread stopper([&] { scheduler.reset(); });
    EXPECT_TRUE(WaitFor([&] { return raw->StopRequested(); }, kGenerous));
    gate.Release(step);
    stopper.join();
}
}  // namespace

TEST_F(SchedulerTest, AMomentStoredAsUsedIsLaunchedEvenWhenTheStopComesBeforeTheLaunch) {
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    StopWhileHeldAt(TSchedulerStep::Consumed);
    EXPECT_EQ(g_launches, 1);
    EXPECT_EQ(StoredMoment(), 0.0);
}

TEST_F(SchedulerTest, AStopBeforeTheMomentIsConsumedLeavesItStoredForTheNextStart) {
    const double moment = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, moment);
    StopWhileHeldAt(TSchedulerStep::DueTested);
    EXPECT_EQ(g_launches, 0);
    EXPECT_EQ(StoredMoment(), moment);
}

TEST_F(SchedulerTest, ASuspendToggleAfterTheWorkerTookTheNoticeKeepsWhatTheMainApplicationStored) {
    WriteSchedulerValues(0, 0.0);
    TScheduler scheduler(true);
    const double moment = LocalNow() + 30.0;
    MainAppStores(core::kStateMinimized, moment);
    // As if the worker had taken its notice and then failed to get read access.
    ::ResetEvent(UniqueHandle(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Notice(0).c_str())).get());
    scheduler.SetState(scheduler.State() ^ core::kStateSuspended);
    scheduler.Resume();
    EXPECT_TRUE(WaitFor([&] {
        return ReadRecord() == std::make_pair(DWORD{core::kStateMinimized | core::kStateSuspended}, moment);
    }, kGenerous));
}

TEST_F(SchedulerTest, TheWorkerKeepsCyclingWhenItsStopEventCouldNotBeMade) {
    TScheduler scheduler(true);
    scheduler.DropStopEventForTest();
    CountCycles(scheduler);
    scheduler.Resume();
    EXPECT_TRUE(CyclesPass(2));
}

TEST_F(SchedulerTest, ACycleThatFailsWhileStoringTheMomentFreesTheExchangeAndTheNextCycleLaunches) {
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduler scheduler(true);
    std::atomic<int> failures{0};
    scheduler.StepHookForTest = [&failures](TSchedulerStep step) {
        if (step == TSchedulerStep::Consuming && failures++ == 0) throw std::bad_alloc();
    };
    scheduler.Resume();
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(StoredMoment(), 0.0);
    EXPECT_TRUE(peer->BeginWrite(1000));
    peer->EndWrite();
}

namespace {
// Memory runs short on the worker from the step the test names on, until the start.
std::atomic<DWORD> g_allocationsFailOn{0};
UINT WINAPI CountLaunchWithMemoryBack(LPCSTR, UINT) {
    g_allocationsFailOn = 0;
    ++g_launches;
    return 33;
}
}  // namespace

// On the thread of g_allocationsFailOn, this many allocations succeed before every next one fails.
std::atomic<long> g_allocationsBeforeFailure{0};
void* operator new(std::size_t size) {
    if (g_allocationsFailOn != 0 && g_allocationsFailOn == ::GetCurrentThreadId() && g_allocationsBeforeFailure-- <= 0)
        throw std::bad_alloc();
    if (void* block = ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

TEST_F(SchedulerTest, AMomentStoredAsUsedIsLaunchedAlsoWhenMemoryRunsShortBeforeTheStart) {
    Platform().WinExec = &CountLaunchWithMemoryBack;
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduler scheduler(true);
    scheduler.StepHookForTest = [](TSchedulerStep step) {
        if (step == TSchedulerStep::Consumed) g_allocationsFailOn = ::GetCurrentThreadId();
    };
    scheduler.Resume();
    const bool launched = WaitFor([] { return g_launches == 1; }, kGenerous);
    g_allocationsFailOn = 0;
    EXPECT_TRUE(launched);
    EXPECT_EQ(StoredMoment(), 0.0);
}

// ---- Sleep and wake ------------------------------------------------------------

TEST_F(SchedulerTest, TheWakeTimerFollowsTheMomentAndIsCancelledWhileNothingIsToLaunch) {
    const double first = LocalNow() + 600.0 / 86400, later = first + 600.0 / 86400;
    WriteSchedulerValues(0, first);
    TScheduler scheduler(true);
    EXPECT_EQ(PowerCalls(), std::vector<std::string>{WakeAt(first)});
    CountCycles(scheduler);
    scheduler.Resume();
    MainAppStores(0, later);  // reloaded by the worker
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 2; }, kGenerous));
    // Each toggle stored before the main application writes again, which would otherwise come first.
    scheduler.SetState(core::kStateSuspended);
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 3 && ReadRecord() == std::make_pair(DWORD{1}, later); },
                        kGenerous));
    scheduler.SetState(0);
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 4 && ReadRecord() == std::make_pair(DWORD{0}, later); },
                        kGenerous));
    MainAppStores(core::kStateSuspended, later);
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 5; }, kGenerous));
    MainAppStores(0, later);
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 6; }, kGenerous));
    // Another zone may make the same local moment another instant.
    scheduler.TimeChanged();
    ASSERT_TRUE(WaitFor([&] { return PowerCalls().size() == 7; }, kGenerous));
    // A moment already past is launched at once and consumed.
    MainAppStores(0, LocalNow() - 1.0 / 24);
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    ASSERT_TRUE(CyclesPass(1));
    const std::string cancel = "timer cancel";
    EXPECT_EQ(PowerCalls("timer"), (std::vector<std::string>{WakeAt(first), WakeAt(later), cancel, WakeAt(later),
                                                             cancel, WakeAt(later), WakeAt(later), cancel}));
}

namespace {
// What the timer's set says, the power source, the active scheme and its
// "Allow wake timers", and the machine's sleep states, as a row chooses them.
struct PowerSetup {
    DWORD timerError = ERROR_SUCCESS;
    BYTE acLine = 1;
    DWORD scheme = ERROR_SUCCESS;
    DWORD allowOnMains = 1;  // "Allow wake timers" for each power source
    DWORD allowOnBattery = 1;
    bool aoac = false;
    bool s3 = true;
};
PowerSetup g_setup;
std::atomic<int> g_settingReads{0};
BOOL WINAPI SetTimerSaying(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL) {
    ::SetLastError(g_setup.timerError);
    return TRUE;
}
BOOL WINAPI TestPowerStatus(LPSYSTEM_POWER_STATUS status) {
    *status = SYSTEM_POWER_STATUS{};
    status->ACLineStatus = g_setup.acLine;
    return TRUE;
}
DWORD WINAPI TestActiveScheme(HKEY, GUID** scheme) {
    if (g_setup.scheme != ERROR_SUCCESS) return g_setup.scheme;
    *scheme = static_cast<GUID*>(::LocalAlloc(LPTR, sizeof(GUID)));
    return ERROR_SUCCESS;
}
DWORD ReadSetting(const GUID* subgroup, const GUID* setting, LPDWORD index, bool battery) {
    ++g_settingReads;
    const GUID wakeTimers = {0xbd3b718a, 0x0680, 0x4d9d, {0x8a, 0xb2, 0xe1, 0xd2, 0xb4, 0xac, 0x80, 0x6d}};
    const GUID sleep = {0x238c9fa8, 0x0aad, 0x41ed, {0x83, 0xf4, 0x97, 0xbe, 0x24, 0x2c, 0x8f, 0x20}};
    if (*subgroup != sleep || *setting != wakeTimers) return ERROR_INVALID_PARAMETER;
    *index = battery ? g_setup.allowOnBattery : g_setup.allowOnMains;
    return ERROR_SUCCESS;
}
DWORD WINAPI TestReadAC(HKEY, const GUID*, const GUID* subgroup, const GUID* setting, LPDWORD index) {
    return ReadSetting(subgroup, setting, index, false);
}
DWORD WINAPI TestReadDC(HKEY, const GUID*, const GUID* subgroup, const GUID* setting, LPDWORD index) {
    return ReadSetting(subgroup, setting, index, true);
}
BOOLEAN WINAPI TestCapabilities(PSYSTEM_POWER_CAPABILITIES capabilities) {
    *capabilities = SYSTEM_POWER_CAPABILITIES{};
    capabilities->SystemS3 = g_setup.s3;
    capabilities->spare2[2] = g_setup.aoac;  // AoAc in Windows' own header
    return TRUE;
}
}  // namespace

TEST_F(SchedulerTest, AWakeThatWillProbablyNotHappenIsToldOnceForAMomentMoreThanTenMinutesAhead) {
    Platform().SetWaitableTimer = &SetTimerSaying;
    Platform().GetSystemPowerStatus = &TestPowerStatus;
    Platform().PowerGetActiveScheme = &TestActiveScheme;
    Platform().PowerReadACValueIndex = &TestReadAC;
    Platform().PowerReadDCValueIndex = &TestReadDC;
    Platform().GetPwrCapabilities = &TestCapabilities;
    PowerSetup plugged, resumeIgnored, notSupported, battery, batteryOff, importantOnly, noScheme, standby, standbyS3;
    resumeIgnored.timerError = 722;  // what Wine says
    notSupported.timerError = ERROR_NOT_SUPPORTED;
    // Each power source's own reading decides: the other one says the opposite.
    battery.acLine = 0;
    battery.allowOnMains = 0;
    batteryOff.acLine = 0;
    batteryOff.allowOnBattery = 0;
    plugged.allowOnBattery = 0;
    importantOnly.allowOnMains = 2;
    noScheme.scheme = ERROR_CALL_NOT_IMPLEMENTED;  // Wine: then a reading would end the program
    noScheme.allowOnMains = noScheme.allowOnBattery = 0;
    standby.aoac = true;
    standby.s3 = false;
    standbyS3.aoac = true;
    const struct Case { PowerSetup setup; double minutesAhead; std::uint8_t state; bool told; const char* what; } cases[] = {
        {plugged, 60, 0, false, "plugged in, wake timers allowed there"},
        {resumeIgnored, 60, 0, true, "the set says the machine cannot resume"},
        {notSupported, 60, 0, true, "the set says resume is not supported"},
        {battery, 60, 0, false, "on battery, wake timers allowed there"},
        {batteryOff, 60, 0, true, "on battery, wake timers off there"},
        {importantOnly, 60, 0, true, "important wake timers only"},
        {noScheme, 60, 0, false, "no active scheme to be had"},
        {standby, 60, 0, true, "Modern Standby without S3"},
        {standbyS3, 60, 0, false, "Modern Standby with S3"},
        {resumeIgnored, 9, 0, false, "less than ten minutes ahead"},
        {resumeIgnored, 60, core::kStateSuspended, false, "launches suspended"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_setup = c.setup;
        g_settingReads = 0;
        const double moment = LocalNow() + c.minutesAhead / (24 * 60);
        WriteSchedulerValues(c.state, moment);
        TScheduler scheduler(true);
        CountCycles(scheduler);
        const auto told = [&scheduler] {
            std::vector<double> moments;
            for (const TTrayNotice& notice : scheduler.TakeHandOver().Notices)
                if (notice.Kind == TTrayNotice::TKind::MayNotWake) moments.push_back(notice.Moment);
            return moments;
        };
        // The warning of the start-up load waits for the window.
        EXPECT_EQ(told(), c.told ? std::vector<double>{moment} : std::vector<double>{});
        ASSERT_TRUE(CycleAfter([&] { scheduler.Resume(); }));
        // Set again for the same moment: not told again.
        ASSERT_TRUE(CycleAfter([&] { scheduler.TimeChanged(); }));
        EXPECT_EQ(told(), std::vector<double>{});
        if (c.setup.scheme != ERROR_SUCCESS) {
            EXPECT_EQ(g_settingReads, 0);
        }
    }
}

TEST_F(SchedulerTest, TheWakeTimerAloneEndsTheWorkersWaitForTheMoment) {
    Platform().SetWaitableTimer = saved.SetWaitableTimer;
    Platform().CancelWaitableTimer = saved.CancelWaitableTimer;
    WriteSchedulerValues(0, LocalNow() + 5.0 / 86400);
    TScheduler scheduler(true);
    std::atomic<int> cyclesBeforeDue{-1};
    scheduler.StepHookForTest = [&](TSchedulerStep step) {
        if (step == TSchedulerStep::CycleEnded) ++cycles;
        if (step == TSchedulerStep::DueTested && cyclesBeforeDue < 0) cyclesBeforeDue = cycles.load();
    };
    scheduler.Resume();
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    // The start's and the timer's a little before the moment, at most: no polling.
    EXPECT_LE(cyclesBeforeDue, 2);
    EXPECT_EQ(StoredMoment(), 0.0);
}

TEST_F(SchedulerTest, TheWakeTimerWakesAtTheFirstOccurrenceInAutumnAndAtTheEndOfTheSkippedHourInSpring) {
    // Central European time: UTC+1, summer time UTC+2 from the last Sunday in
    // March, 2:00, to the last Sunday in October, 3:00 (29 March and 25 October 2026).
    TIME_ZONE_INFORMATION europe{};
    europe.Bias = europe.DaylightBias = -60;
    europe.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    europe.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    // Eastern Australia: UTC+10, summer time UTC+11 from the first Sunday in
    // October, 2:00, to the first Sunday in April, 3:00. India: UTC+5:30 all year.
    TIME_ZONE_INFORMATION australia{};
    australia.Bias = -600;
    australia.DaylightBias = -60;
    australia.StandardDate = {0, 4, 0, 1, 3, 0, 0, 0};
    australia.DaylightDate = {0, 10, 0, 1, 2, 0, 0, 0};
    TIME_ZONE_INFORMATION india{};
    india.Bias = -330;
    const TIME_ZONE_INFORMATION utc{};
    const struct Case { const TIME_ZONE_INFORMATION* zone; double local, utc; const char* what; } cases[] = {
        {&europe, Moment(2026, 1, 15, 12, 0, 0), Moment(2026, 1, 15, 11, 0, 0), "winter"},
        {&europe, Moment(2026, 7, 1, 12, 0, 0), Moment(2026, 7, 1, 10, 0, 0), "summer"},
        {&europe, Moment(2026, 10, 25, 2, 0, 0), Moment(2026, 10, 25, 0, 0, 0), "autumn, 2:00: the first"},
        {&europe, Moment(2026, 10, 25, 2, 30, 0), Moment(2026, 10, 25, 0, 30, 0), "twice in autumn: the first"},
        {&europe, Moment(2026, 10, 25, 3, 0, 0), Moment(2026, 10, 25, 2, 0, 0), "autumn, 3:00: after the change"},
        {&europe, Moment(2026, 10, 25, 3, 30, 0), Moment(2026, 10, 25, 2, 30, 0), "after the autumn change"},
        {&europe, Moment(2026, 3, 29, 2, 0, 0), Moment(2026, 3, 29, 1, 0, 0), "spring, 2:00: the change itself"},
        {&europe, Moment(2026, 3, 29, 2, 30, 0), Moment(2026, 3, 29, 1, 0, 0), "skipped in spring: where the hour ends"},
        {&australia, Moment(2026, 1, 15, 12, 0, 0), Moment(2026, 1, 15, 1, 0, 0), "southern summer"},
        {&australia, Moment(2026, 7, 1, 12, 0, 0), Moment(2026, 7, 1, 2, 0, 0), "southern winter"},
        {&australia, Moment(2026, 10, 4, 2, 30, 0), Moment(2026, 10, 3, 16, 0, 0), "southern spring gap"},
        {&australia, Moment(2026, 4, 5, 2, 30, 0), Moment(2026, 4, 4, 15, 30, 0), "southern autumn: the first"},
        {&india, Moment(2026, 3, 29, 2, 30, 0), Moment(2026, 3, 28, 21, 0, 0), "no summer time"}};
    for (const Case& c : cases) EXPECT_EQ(LocalMomentToUtc(c.local, c.zone), LocalMomentToUtc(c.utc, &utc)) << c.what;
}

TEST_F(SchedulerTest, ANetworkIsWhatWindowsCallsTheInternetElseAConnectedHardwareInterfaceWithAGateway) {
    const std::vector<std::uint8_t> global6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5},
                                    link6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
                                    loop6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
                                    none6(16, 0);
    const Interface loopback{IfOperStatusUp, IF_TYPE_SOFTWARE_LOOPBACK, {{127, 0, 0, 1}}, kGateway4},
        linkLocal{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{169, 254, 7, 9}}, kGateway4},
        noGateway{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{192, 0, 2, 5}}, {}},
        down{IfOperStatusDown, IF_TYPE_ETHERNET_CSMACD, {{192, 0, 2, 5}}, kGateway4},
        loopAddress{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{127, 0, 0, 2}}, kGateway4},
        wireless6{IfOperStatusUp, IF_TYPE_IEEE80211, {global6}, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}},
        link6Only{IfOperStatusUp, IF_TYPE_IEEE80211, {link6}, kGateway4},
        loop6Only{IfOperStatusUp, IF_TYPE_IEEE80211, {loop6}, kGateway4},
        // WireGuard's adapter is virtual; TAP and the like say Ethernet but are no hardware either.
        wireGuard{IfOperStatusUp, IF_TYPE_PROP_VIRTUAL, {{10, 8, 0, 2}}, {10, 8, 0, 1}, false},
        tap{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{10, 8, 0, 2}}, {10, 8, 0, 1}, false},
        ppp{IfOperStatusUp, IF_TYPE_PPP, {{10, 9, 0, 2}}, {0, 0, 0, 0}},
        ppp6{IfOperStatusUp, IF_TYPE_PPP, {global6}, none6},
        unplugged{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{192, 0, 2, 5}}, kGateway4, true, false},
        tentative{IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{192, 0, 2, 5}}, kGateway4, true, true, IpDadStateTentative},
        linkLocalFirst{IfOperStatusUp, IF_TYPE_IEEE80211, {link6, {192, 0, 2, 7}}, kGateway4};
    const auto internet = static_cast<NLM_CONNECTIVITY>(NLM_CONNECTIVITY_IPV4_INTERNET | NLM_CONNECTIVITY_IPV6_LOCALNETWORK);
    const auto local = static_cast<NLM_CONNECTIVITY>(NLM_CONNECTIVITY_IPV4_LOCALNETWORK | NLM_CONNECTIVITY_IPV6_NOTRAFFIC);
    const struct Case {
        std::vector<Interface> interfaces;
        std::optional<NLM_CONNECTIVITY> windowsSees;
        bool overflowFirst;
        bool up;
        const char* what;
        Policy policy{};
    } cases[] = {
        {{}, std::nullopt, false, false, "no interface"},
        {{loopback}, std::nullopt, false, false, "loopback"},
        {{linkLocal, link6Only, loop6Only, loopAddress}, std::nullopt, false, false, "link-local and loopback addresses"},
        {{noGateway}, std::nullopt, false, false, "no gateway"},
        {{down}, std::nullopt, false, false, "down"},
        {{wireGuard, tap}, std::nullopt, false, false, "virtual adapters with a gateway"},
        {{ppp, ppp6}, std::nullopt, false, false, "PPP with the gateway 0.0.0.0 or ::"},
        {{unplugged}, std::nullopt, false, false, "medium disconnected"},
        {{tentative}, std::nullopt, false, false, "an address still tentative"},
        {{kWired}, std::nullopt, false, true, "wired IPv4"},
        {{loopback, wireGuard, wireless6}, std::nullopt, false, true, "wireless IPv6 after others"},
        {{linkLocalFirst}, std::nullopt, false, true, "link-local listed before the global address"},
        {{kWired}, std::nullopt, true, true, "the buffer too small at the first call"},
        {{kWired}, local, false, false, "Windows sees a local network only"},
        {{}, internet, false, true, "Windows sees the Internet"},
        {{}, NLM_CONNECTIVITY_IPV6_INTERNET, false, true, "Windows sees the Internet over IPv6"},
        {{kWired}, local, false, true, "probe off by policy", {kNcsiKey, "NoActiveProbe", REG_DWORD, 1}},
        {{kWired}, local, false, true, "probe off in the service", {kNlaKey, "EnableActiveProbing", REG_DWORD, 0}},
        {{}, internet, false, false, "probe off: the adapters alone", {kNcsiKey, "NoActiveProbe", REG_DWORD, 1}},
        {{kWired}, local, false, false, "NoActiveProbe = 0", {kNcsiKey, "NoActiveProbe", REG_DWORD, 0}},
        {{kWired}, local, false, false, "EnableActiveProbing = 1", {kNlaKey, "EnableActiveProbing", REG_DWORD, 1}},
        {{kWired}, local, false, false, "a REG_BINARY 0", {kNlaKey, "EnableActiveProbing", REG_BINARY, 0}}};
    for (const Case& c : cases) {
        const ScopedPolicy policy(c.policy);
        SetInterfaces(c.interfaces);
        g_windowsSees = c.windowsSees;
        g_overflowOnce = c.overflowFirst;
        EXPECT_EQ(NetworkIsUp(), c.up) << c.what;
    }
}

// The entries that load their DLL only for the call, with the real calls: each
// reaches its function, and the DLL is not left loaded after it. COM's DLLs go
// with the apartment; entered again, COM still makes the manager.
TEST(PlatformTable, ASeldomNeededDllIsLoadedForTheCallAndFreedAfterIt) {
    const auto ipHelperAnswers = [] {
        ULONG size = 0;
        return Platform().GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size) == ERROR_BUFFER_OVERFLOW &&
               size > 0;
    };
    const auto powerPlanAnswers = [] {
        SYSTEM_POWER_CAPABILITIES capabilities{};
        return Platform().GetPwrCapabilities(&capabilities) != FALSE;
    };
    const auto comMakesTheManager = [] {
        const ComApartment com(COINIT_MULTITHREADED);
        INetworkListManager* created = nullptr;
        if (FAILED(Platform().CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                               reinterpret_cast<void**>(&created))))
            return false;
        const UniqueCom<INetworkListManager> manager(created);
        NLM_CONNECTIVITY connectivity{};
        return SUCCEEDED(manager.get()->GetConnectivity(&connectivity));
    };
    // Wine keeps the manager's own DLL, which imports the IP helper: COM comes last.
    const struct Case { const char* dll; std::function<bool()> call; } cases[] = {
        {kIpHelperDll, ipHelperAnswers}, {kPowerDll, powerPlanAnswers}, {kComDll, comMakesTheManager},
        {kComDll, comMakesTheManager}};
    for (const Case& c : cases) {
        const bool loadedBefore = ::GetModuleHandleA(c.dll) != nullptr;
        EXPECT_TRUE(c.call()) << c.dll;
        EXPECT_EQ(::GetModuleHandleA(c.dll) != nullptr, loadedBefore) << c.dll;
    }
}

namespace {
// A started main application claims its presence mutex, as the real one does,
// at once or when the test says; or the start fails.
UniqueHandle g_presence;
std::atomic<bool> g_startsFail{false}, g_claimsLate{false};
void ClaimPresence() { g_presence.reset(::CreateMutexA(nullptr, FALSE, "APPLICATION-VORLANE 98")); }
UINT WINAPI StartClaimingPresence(LPCSTR, UINT) {
    ++g_launches;
    if (g_startsFail) return ERROR_FILE_NOT_FOUND;
    if (!g_claimsLate) ClaimPresence();
    return 33;
}
}  // namespace

TEST_F(SchedulerTest, ADueLaunchWaitsForANetworkUntilOneComesUpOrTwoMinutesAwakePass) {
    Platform().WinExec = &StartClaimingPresence;
    SetInterfaces({});
    const double moment = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, moment);
    TScheduler scheduler(true);
    WorkerGate gate(scheduler, {TSchedulerStep::Consumed});
    CountCycles(scheduler);
    scheduler.Resume();
    const auto waiting = [&](bool is) { return WaitFor([&] { return scheduler.WaitingForNetwork() == is; }, kGenerous); };
    ASSERT_TRUE(waiting(true));
    // A suspension withholds the moment, and the wait with it.
    scheduler.SetState(core::kStateSuspended);
    ASSERT_TRUE(waiting(false));
    AwakeFor(60000);
    scheduler.SetState(0);
    ASSERT_TRUE(waiting(true));
    EXPECT_EQ(g_launches, 0);
    EXPECT_EQ(StoredMoment(), moment);
    SetInterfaces({kWired});
    // "Load" from a menu opened before the worker's start would be a second
    // start, also while the main application has not claimed its mutex yet.
    g_claimsLate = true;
    ASSERT_TRUE(gate.Reached(TSchedulerStep::Consumed));
    scheduler.LoadMainApp();
    gate.Release(TSchedulerStep::Consumed);
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    ASSERT_TRUE(CyclesPass(2));
    EXPECT_EQ(g_launches, 1);
    EXPECT_EQ(StoredMoment(), 0.0);
    g_claimsLate = false;
    // A main application started meanwhile takes the moment without a launch.
    g_presence.reset();
    SetInterfaces({});
    MainAppStores(0, LocalNow() - 1.0 / 24);
    ASSERT_TRUE(waiting(true));
    ClaimPresence();
    ASSERT_TRUE(WaitFor([&] { return StoredMoment() == 0.0; }, kGenerous));
    ASSERT_TRUE(CyclesPass(1));
    EXPECT_EQ(g_launches, 1);
    g_presence.reset();
    // So does the user's own start: the worker starts nothing more for that moment.
    const double loaded = LocalNow() - 1.0 / 24;
    MainAppStores(0, loaded);
    ASSERT_TRUE(waiting(true));
    scheduler.LoadMainApp();
    ASSERT_TRUE(WaitFor([] { return g_launches == 2; }, kGenerous));
    EXPECT_EQ(StoredMoment(), 0.0);
    ASSERT_TRUE(WaitFor([&] { return scheduler.LastLaunch().has_value(); }, kGenerous));
    EXPECT_EQ(scheduler.LastLaunch()->planned, loaded);
    EXPECT_EQ(scheduler.LastLaunch()->outcome, core::LaunchOutcome::Started);
    SetInterfaces({kWired});
    ASSERT_TRUE(CycleAfter([&] { scheduler.TimeChanged(); }));
    EXPECT_EQ(g_launches, 2);
    g_presence.reset();
}

TEST_F(SchedulerTest, TheWorkerHoldsTheMachineFromTheDueMomentLetsGoWhenTheStartFailsAndAtTheStop) {
    Platform().WinExec = &StartClaimingPresence;
    g_startsFail = true;
    const double failing = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, failing);
    auto scheduler = std::make_unique<TScheduler>(true);
    CountCycles(*scheduler);
    // Another participant writes across the first launch: its outcome waits to be stored.
    const UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> writing{false};
    std::thread other([&] {
        TDataSynchronizer writer(kSyncName, 2);
        writing = writer.BeginWrite(kGenerous);
        ::WaitForSingleObject(release.get(), kGenerous);
        if (writing) writer.EndWrite();
    });
    std::shared_ptr<void> endWrite(nullptr, [&](void*) {
        ::SetEvent(release.get());
        other.join();
    });
    ASSERT_TRUE(WaitFor([&] { return writing.load(); }, kGenerous));
    scheduler->Resume();
    const auto awakeCalls = [](std::size_t n) {
        return WaitFor([n] { return PowerCalls("awake").size() == n; }, kGenerous);
    };
    const auto reported = [&] {
        for (const TTrayNotice& notice : scheduler->TakeHandOver().Notices)
            if (notice.Kind == TTrayNotice::TKind::LaunchFailed) return notice.WinExecResult;
        return UINT{0};
    };
    // A start that fails lets the machine go at once, and says why.
    ASSERT_TRUE(WaitFor([&] { return reported() == ERROR_FILE_NOT_FOUND; }, kGenerous));
    EXPECT_EQ(StoredMoment(), 0.0);
    EXPECT_EQ(ReadRaw(kLastLaunchValue).bytes, "");
    ASSERT_TRUE(awakeCalls(2));
    endWrite.reset();
    // A main application that claims its mutex late is not taken for one that has ended.
    g_startsFail = false;
    g_claimsLate = true;
    const double started = LocalNow() - 1.0 / 24;
    MainAppStores(0, started);
    ASSERT_TRUE(WaitFor([] { return g_launches == 2; }, kGenerous));
    // Two outcomes in a row: the later one is what stays stored.
    ASSERT_TRUE(WaitFor([&] {
        const std::optional<core::LastLaunch> stored = core::DecodeLastLaunch(ReadRaw(kLastLaunchValue).bytes);
        return stored && stored->planned == started;
    }, kGenerous));
    // The stop gives back a hold: held from the due test on, since the main application has not claimed its mutex.
    ASSERT_TRUE(awakeCalls(3));
    const std::string worker = " " + std::to_string(scheduler->ThreadID());
    scheduler.reset();
    g_presence.reset();
    const std::string held = "awake " + std::to_string(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) + worker,
                      released = "awake " + std::to_string(ES_CONTINUOUS) + worker;
    std::vector<std::string> expected;
    for (int i = 0; i < 2; ++i) expected.insert(expected.end(), {held, released});
    EXPECT_EQ(PowerCalls("awake"), expected);
    g_claimsLate = false;
}

// ---- The scheduler's parts, each alone on the test's own thread ------------------------

TEST_F(SchedulerTest, TheHandOverChangesOnlyTheFlagsPickedAndWakesTheWindowUntilACallReachesIt) {
    TSchedulerHandOver handOver(TTraySnapshot{});
    std::atomic<int> calls{0};
    std::atomic<bool> reaches{false}, lookedDuringTheCall{false};
    std::thread looker;
    handOver.Attach([&] {
        ++calls;
        // The window may take what waits while the call is still under way.
        if (calls == 1) {
            looker = std::thread([&] {
                handOver.Snapshot();
                lookedDuringTheCall = true;
            });
            WaitFor([&] { return lookedDuringTheCall.load(); }, kGenerous);
        }
        return reaches.load();
    });
    looker.join();
    EXPECT_TRUE(lookedDuringTheCall);
    // The post failed: the next news calls again, and so does the retry, until one reaches the window.
    EXPECT_TRUE(handOver.WakeUpOwed());
    handOver.Publish({core::kStateMinimized, 0.0, false, std::nullopt});
    EXPECT_EQ(calls, 2);
    reaches = true;
    handOver.RetryWakeUp();
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(handOver.WakeUpOwed());
    handOver.Tell({TTrayNotice::TKind::LaunchFailed, 2});
    EXPECT_EQ(calls, 3);  // one call until the window takes what waits
    EXPECT_EQ(handOver.Take().Notices.size(), 1u);

    // The user looked at a snapshot, the main application's flag came meanwhile, then Suspend was picked.
    const std::uint8_t seen = handOver.Snapshot().State;
    handOver.Publish({core::kStateMinimized | 0x40, 0.0, false, std::nullopt});
    handOver.ToggleState(core::kStateSuspended);
    EXPECT_EQ(handOver.Snapshot().State, core::kStateMinimized | 0x40 | core::kStateSuspended);
    const TSchedulerRequests requests = handOver.TakeRequests();
    EXPECT_EQ(requests.Mask, core::kStateSuspended) << "picked against " << int{seen};
    EXPECT_EQ(requests.Bits, core::kStateSuspended);
    // Two toggles before the worker looks leave the flag as it was, still to be stored.
    handOver.ToggleState(core::kStateSuspended);
    handOver.ToggleState(core::kStateSuspended);
    EXPECT_EQ(handOver.TakeRequests().Bits, core::kStateSuspended);
    handOver.SetState(handOver.Snapshot().State);
    EXPECT_FALSE(handOver.TakeRequests().Any());

    handOver.Detach();
    handOver.Publish(TTraySnapshot{});
    EXPECT_EQ(calls, 4);
}

TEST_F(SchedulerTest, TheStoreLeavesTheExchangeFreeWhereverMemoryRunsShortAsItCompletesTheUsersRecord) {
    const double moment = Moment(2031, 1, 2, 3, 4, 5);
    const auto exchangeFree = [] {
        bool free = false;
        std::thread other([&] {
            TDataSynchronizer writer(kSyncName, 2);
            free = writer.BeginWrite(0);
            if (free) writer.EndWrite();
        });
        other.join();
        return free;
    };
    bool made = false;
    for (long allocations = 0; !made && allocations < 1000; ++allocations) {
        SCOPED_TRACE(allocations);
        // The machine's record, and the user's key that hides it still empty: the store completes it.
        WriteSchedulerValues(2, moment);
        ::RegDeleteKeyA(HKEY_CURRENT_USER, kUserSchedulerKey);
        UniqueHkey user;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    user.put(), nullptr),
                  ERROR_SUCCESS);
        g_allocationsBeforeFailure = allocations;
        g_allocationsFailOn = ::GetCurrentThreadId();
        try {
            TScheduleStore store;
            g_allocationsFailOn = 0;
            made = true;
            EXPECT_EQ(ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey), std::make_pair(DWORD{2}, moment));
            EXPECT_EQ(store.StartupDate(), moment);
        } catch (const std::bad_alloc&) {
            g_allocationsFailOn = 0;
        }
        ASSERT_TRUE(exchangeFree());
    }
    EXPECT_TRUE(made);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, kUserSchedulerKey);
}

TEST_F(SchedulerTest, TheWaitRunsToTheNearestReasonToLookAgainAndNoMomentIsDecidedInTheFirstSecond) {
    constexpr ULONGLONG now = 50000000;
    const auto facts = [](auto change) {
        TWaitFacts f;
        f.Now = now;
        f.Started = now - 60000;
        f.FirstDecisionMade = true;
        change(f);
        return f;
    };
    using R = TLookAgain;
    const struct Case { TWaitFacts facts; std::optional<R> reason; DWORD ms; const char* what; } cases[] = {
        {facts([](TWaitFacts&) {}), std::nullopt, INFINITE, "nothing pending: no wake-up at all"},
        {facts([](TWaitFacts& f) { f.Started = now - 300, f.FirstDecisionMade = false; }), R::FirstSecond, 700,
         "woken by a notice right after the start"},
        {facts([](TWaitFacts& f) { f.NetworkAwaited = true; }), R::Network, 1000, "a network awaited"},
        {facts([](TWaitFacts& f) { f.Holding = true; }), R::Hold, 1000, "the machine held"},
        {facts([](TWaitFacts& f) { f.StoreRetryAt = now + 4000; }), R::StoreRetry, 4000, "a store to try again"},
        {facts([](TWaitFacts& f) { f.StoreRetryAt = now - 5; }), R::StoreRetry, 0, "a store overdue"},
        {facts([](TWaitFacts& f) { f.CycleFailed = true; }), R::FailedCycle, 1000, "a failed cycle"},
        {facts([](TWaitFacts& f) { f.WakeUpOwed = true; }), R::WakeUpRetry, 1000, "the window not told"},
        {facts([](TWaitFacts& f) { f.MsToMoment = -10; }), R::MomentCome, 1000, "a moment come"},
        {facts([](TWaitFacts& f) { f.MsToMoment = 5000; }), R::MomentWithoutTimer, 3000, "no timer: before the moment"},
        {facts([](TWaitFacts& f) { f.MsToMoment = 1500; }), R::MomentWithoutTimer, 1501, "no timer: then at it"},
        {facts([](TWaitFacts& f) { f.MsToMoment = 5000, f.TimerArmed = true; }), R::GuardHour, 3600000,
         "the timer brings the moment"},
        {facts([](TWaitFacts& f) { f.MsToMoment = 2 * 86400000.0; }), R::MomentWithoutTimer, 3600000,
         "no timer, days ahead: once an hour"},
        {facts([](TWaitFacts& f) { f.MsToMoment = 5000, f.TimerArmed = true, f.StoreRetryAt = now + 30000; }),
         R::StoreRetry, 30000, "the nearest of two"}};
    for (const Case& c : cases) {
        const TWaitPlan plan(c.facts);
        EXPECT_EQ(plan.NextReason(), c.reason) << c.what;
        EXPECT_EQ(plan.NextWaitMs(), c.ms) << c.what;
    }
    EXPECT_FALSE(TWaitPlan::MayDecide(now + 999, now));
    EXPECT_TRUE(TWaitPlan::MayDecide(now + 1000, now));

    // A timer that fired is set again for a moment still ahead (the clock went back after the wake).
    const double ahead = LocalNow() + 1.0;
    TWakeTimer timer([&] { return TWakeTimer::Schedule{ahead, 0, false}; }, nullptr);
    timer.Arm();
    timer.Fired();
    EXPECT_FALSE(timer.Armed());
    timer.Arm();
    EXPECT_TRUE(timer.Armed());
    EXPECT_EQ(PowerCalls("timer"), (std::vector<std::string>{WakeAt(ahead), WakeAt(ahead)}));
}

TEST_F(SchedulerTest, TheLaunchesStartNothingOnceTheStopCameAndLoadTakesTheMomentThatWaitsForANetwork) {
    Platform().WinExec = &StartClaimingPresence;
    SetInterfaces({});
    const double moment = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, moment);
    TScheduleStore store;
    TDueDecision due([] { return !MainAppNotRunning(); });
    bool stopping = false;
    std::vector<TTrayNotice> told;
    TLaunches launches({store, due, nullptr, [&] { return stopping; },
                        [&](const TTrayNotice& notice) { told.push_back(notice); }, nullptr});
    launches.RunDuePath(false);
    ASSERT_EQ(launches.WaitingMoment(), moment);
    // "Load" picked as the program unloads: neither the moment nor a plain start.
    stopping = true;
    launches.RequestLoad();
    launches.RunLoad();
    EXPECT_EQ(g_launches, 0);
    EXPECT_EQ(StoredMoment(), moment);
    stopping = false;
    launches.RunLoad();
    EXPECT_EQ(g_launches, 1);
    EXPECT_FALSE(launches.LoadRequested());
    EXPECT_EQ(launches.WaitingMoment(), 0.0);
    EXPECT_EQ(StoredMoment(), 0.0);
    ASSERT_TRUE(store.LastLaunch().has_value());
    EXPECT_EQ(store.LastLaunch()->outcome, core::LaunchOutcome::Started);
    EXPECT_TRUE(told.empty());
    g_presence.reset();
}

// ---- The worker's loop, which ties the parts --------------------------------------------

TEST_F(SchedulerTest, AMomentStoredAsThisProgramStartsIsDecidedOnASecondLaterWhenTheEndingMainApplicationHasGone) {
    Platform().WinExec = &StartClaimingPresence;
    ClaimPresence();
    const ULONGLONG start = ::GetTickCount64();
    MainAppStores(0, LocalNow() - 1.0 / 24);  // its notice stays set until this program takes it
    TScheduler scheduler(true);
    WorkerGate gate(scheduler, {TSchedulerStep::DueTested});
    std::atomic<ULONGLONG> decidedAt{0};
    scheduler.StepHookForTest = [gate = scheduler.StepHookForTest, &decidedAt](TSchedulerStep step) {
        if (step == TSchedulerStep::DueTested && decidedAt == 0) decidedAt = ::GetTickCount64();
        gate(step);
    };
    scheduler.Resume();
    ASSERT_TRUE(gate.Reached(TSchedulerStep::DueTested));
    EXPECT_GE(decidedAt - start, ULONGLONG{1000});
    g_presence.reset();
    gate.Release(TSchedulerStep::DueTested);
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    g_presence.reset();
}

TEST_F(SchedulerTest, ALoadAndAToggleTakenByACycleThatFailsAreCarriedOutAndAFailingCycleDoesNotSpin) {
    Platform().WinExec = &StartClaimingPresence;
    SetInterfaces({});
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduler scheduler(true);
    std::atomic<int> failures{0};
    std::atomic<bool> failDueTest{false}, failEveryCycle{false};
    scheduler.StepHookForTest = [&](TSchedulerStep step) {
        if ((step == TSchedulerStep::DueTested && failDueTest.exchange(false)) ||
            (step == TSchedulerStep::CycleBegun && failEveryCycle)) {
            ++failures;
            throw std::bad_alloc();
        }
    };
    scheduler.Resume();
    ASSERT_TRUE(WaitFor([&] { return scheduler.WaitingForNetwork(); }, kGenerous));
    // The cycle that takes these fails in the due path, before the Load would be made.
    failDueTest = true;
    scheduler.SetState(core::kStateMinimized);
    scheduler.LoadMainApp();
    ASSERT_TRUE(WaitFor([] { return g_launches == 1; }, kGenerous));
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(WaitFor([] { return ReadRecord() == std::make_pair(DWORD{core::kStateMinimized}, 0.0); }, kGenerous));
    // Cycles that fail before they take the notice leave it set: the worker still looks once a second.
    failEveryCycle = true;
    MainAppStores(0, 0.0);
    ASSERT_TRUE(WaitFor([&] { return failures >= 2; }, kGenerous));
    const int before = failures;
    ::Sleep(3000);
    EXPECT_LE(failures - before, 5);
    g_presence.reset();
}

TEST_F(SchedulerTest, AToggleMadeAsTheCyclesEndByAFailureIsStoredAtTheStop) {
    WriteSchedulerValues(0, 0.0);
    TScheduler scheduler(true);
    scheduler.StepHookForTest = [&](TSchedulerStep step) {
        if (step != TSchedulerStep::CycleEnded) return;
        scheduler.SetState(core::kStateSuspended);
        throw std::bad_alloc();
    };
    scheduler.Resume();
    ASSERT_EQ(::WaitForSingleObject(scheduler.ThreadHandle(), kGenerous), WAIT_OBJECT_0);
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{core::kStateSuspended}, 0.0));
}

TEST_F(SchedulerTest, ANetworkSeenJustBeforeTheMomentIsTrustedAndNoneSeenThenIsAskedAgainAtTheMoment) {
    Platform().WinExec = &StartClaimingPresence;
    const double moment = LocalNow() - 1.0 / 86400;
    const struct Case { std::vector<Interface> ahead, atTheMoment; double preparedFor; bool launched; const char* what; } cases[] = {
        {{kWired}, {}, moment, true, "a network then, none at the moment: trusted"},
        {{}, {kWired}, moment, true, "none then: asked again, and up"},
        {{}, {}, moment, false, "none then, none now: the wait goes on"},
        {{kWired}, {}, moment - 1.0, false, "seen for another moment: asked again"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_launches = 0;
        WriteSchedulerValues(0, moment);
        TScheduleStore store;
        TDueDecision due([] { return !MainAppNotRunning(); });
        TLaunches launches({store, due, nullptr, [] { return false; }, [](const TTrayNotice&) {}, nullptr});
        SetInterfaces(c.ahead);
        launches.Prepare(c.preparedFor);
        SetInterfaces(c.atTheMoment);
        launches.RunDuePath(false);
        EXPECT_EQ(g_launches, c.launched ? 1 : 0);
        EXPECT_EQ(launches.WaitingMoment(), c.launched ? 0.0 : moment);
        g_presence.reset();
    }
}

TEST_F(SchedulerTest, TheDecisionsReachTheLogInTheirOrderEachOnceAsTheCycleThatMadeThemEnds) {
    Platform().WinExec = &StartClaimingPresence;
    const std::string folder = NewScratchDir("decisions");
    TDecisionLog log(folder);
    TLogQueue queue;
    const double ahead = LocalNow() + 1.0 / 24, due = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, ahead);
    TScheduleStore store(&queue);
    TWakeTimer timer([&] { return TWakeTimer::Schedule{store.StartupDate(), store.State(), false}; }, nullptr, &queue);
    TDueDecision decision([] { return !MainAppNotRunning(); }, &queue);
    TLaunches launches({store, decision, nullptr, [] { return false; }, [](const TTrayNotice&) {}, nullptr, &queue});
    // Set ahead of the moment, fired, set again at it and fired again: told once each.
    timer.Arm();
    timer.Fired();
    timer.Arm();
    timer.Fired();
    MainAppStores(core::kStateSuspended, ahead);
    store.Load();
    SetInterfaces({});
    MainAppStores(0, due);
    store.Load();
    for (int cycle = 0; cycle < 3; ++cycle) launches.RunDuePath(false);  // waits for a network
    EXPECT_EQ(ReadWholeFile(folder + TDecisionLog::kFileName), "") << "written before the cycle ended";
    SetInterfaces({kWired});
    AwakeFor(14000);
    launches.RunDuePath(false);
    queue.Flush(log);
    std::vector<std::string> told;
    for (const std::string& line : ReadLines(folder + TDecisionLog::kFileName))
        told.push_back(line.substr(line.find("  ") + 2));
    const std::vector<std::string> expected = {
        "Wake timer set for ", "Wake timer fired", "Flags changed by the main application: launches suspended",
        "New moment ", "Flags changed by the main application: launches resumed", "Moment ",
        "Computer kept awake for the launch", "Waiting for a network: no hardware adapter",
        "Network up after 14 s: a hardware adapter", "Moment ", "Main application started, shown normally"};
    ASSERT_EQ(told.size(), expected.size()) << ::testing::PrintToString(told);
    for (std::size_t i = 0; i < told.size(); ++i) EXPECT_EQ(told[i].rfind(expected[i], 0), 0u) << told[i];
    EXPECT_NE(told[5].find(" is due"), std::string::npos);
    EXPECT_NE(told[9].find(" used up"), std::string::npos);
    g_presence.reset();
}

TEST_F(SchedulerTest, WithoutANetworkTheLaunchComesTwoMinutesAwakeAfterTheMomentWasDueAndASleepBeginsTheWaitAgain) {
    Platform().WinExec = &StartClaimingPresence;
    SetInterfaces({});
    WriteSchedulerValues(0, LocalNow() - 1.0 / 24);
    TScheduleStore store;
    TDueDecision due([] { return !MainAppNotRunning(); });
    TLaunches launches({store, due, nullptr, [] { return false; }, [](const TTrayNotice&) {}, nullptr});
    constexpr ULONGLONG kHours = 60 * 60 * 1000;
    // The network needs its time after a wake: the hours asleep count for nothing.
    const struct Step { ULONGLONG awake, asleep; int launches; } steps[] = {
        {0, 0, 0}, {100000, 0, 0}, {0, 10 * kHours, 0}, {119999, 0, 0}, {1, 0, 1}};
    for (const Step& step : steps) {
        AwakeFor(step.awake);
        AsleepFor(step.asleep);
        launches.RunDuePath(false);
        EXPECT_EQ(g_launches, step.launches) << step.awake << " awake, " << step.asleep << " asleep";
    }
    ASSERT_TRUE(store.LastLaunch().has_value());
    EXPECT_EQ(store.LastLaunch()->outcome, core::LaunchOutcome::StartedWithoutNetwork);
    g_presence.reset();
}

TEST_F(SchedulerTest, TheHoldEndsOnceTheCaptureIsOverAPersonComesOrEightHoursAwakePass) {
    TDueDecision due([] { return !MainAppNotRunning(); });
    double moment = LocalNow() - 1.0 / 24;
    // Due, and consumed as the outcome says: a new moment each time.
    const auto hold = [&](TDueDecision::TOutcome outcome) {
        moment += 1.0 / 86400;
        EXPECT_EQ(due.Ask(moment), TDueDecision::TAnswer::Launch);
        due.Report(outcome);
        due.Ask(std::nullopt);
        return due.HoldsTheMachine();
    };
    const auto stillHeld = [&] {
        due.Ask(std::nullopt);
        return due.HoldsTheMachine();
    };
    // A main application that claims its mutex late is not taken for one that has ended.
    ASSERT_TRUE(hold(TDueDecision::TOutcome::Started));
    AwakeFor(30000);
    EXPECT_TRUE(stillHeld());
    ClaimPresence();
    AwakeFor(60000);
    EXPECT_TRUE(stillHeld());
    g_presence.reset();  // the capture is over
    EXPECT_FALSE(stillHeld());
    // A person's input lets the person's own power plan apply, though the capture runs.
    ClaimPresence();
    ASSERT_TRUE(hold(TDueDecision::TOutcome::Started));
    g_lastInput = g_ticks + 1;
    EXPECT_FALSE(stillHeld());
    // An input long before the hold is nobody come, whatever its distance from
    // the hold in the 32-bit tick of input.
    for (const ULONGLONG before : {(1ull << 31) - 1, (1ull << 31) + 1, (1ull << 32) - 1, (1ull << 32) + 1}) {
        SCOPED_TRACE(before);
        g_lastInput = g_ticks - before;
        ASSERT_TRUE(hold(TDueDecision::TOutcome::FoundRunning));
        EXPECT_TRUE(stillHeld());
        g_lastInput = g_ticks + 60000;  // a person comes a minute after the hold
        EXPECT_FALSE(stillHeld());
    }
    // Held for eight hours awake at most; hours asleep do not count.
    ASSERT_TRUE(hold(TDueDecision::TOutcome::FoundRunning));
    AsleepFor(9ull * 60 * 60 * 1000);
    AwakeFor(8ull * 60 * 60 * 1000 - 1);
    EXPECT_TRUE(stillHeld());
    AwakeFor(1);
    EXPECT_FALSE(stillHeld());
    g_presence.reset();
    EXPECT_EQ(PowerCalls("awake").size(), 14u);  // each hold given back once
}
