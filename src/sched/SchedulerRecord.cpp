#include "sched/SchedulerRecord.h"

#include "win/Handles.h"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrln {

namespace {

// The machine's own record, not HKCR's view, which shows the user's key once that exists.
constexpr const char* kMachineSchedulerKey = "Software\\Classes\\Vorlane\\Scheduler";

// What the user's key takes over from the machine's.
constexpr const char* kValueNames[] = {kStateValue, kStartupDateValue, kLastLaunchValue};

UniqueHkey OpenKey(HKEY root, const char* subkey, REGSAM access) {
    UniqueHkey key;
    if (::RegOpenKeyExA(root, subkey, 0, access, key.put()) != ERROR_SUCCESS) return UniqueHkey();
    return key;
}

bool HasValue(HKEY key, const char* name) {
    return ::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
}

// One key's values, and which of them it does not hold at all.
struct Reading {
    TStoredValues values;
    bool stateAbsent = false;
    bool dateAbsent = false;
};

Reading ReadValues(HKEY key) {
    Reading reading;
    // A state shorter than its buffer leaves zeros in the missing bytes.
    BYTE stateBytes[4] = {};
    DWORD size = sizeof stateBytes;
    LONG result = ::RegQueryValueExA(key, kStateValue, nullptr, nullptr, stateBytes, &size);
    if (result == ERROR_SUCCESS) reading.values.state = stateBytes[0];
    reading.stateAbsent = result == ERROR_FILE_NOT_FOUND;
    BYTE dateBytes[8] = {};
    size = sizeof dateBytes;
    result = ::RegQueryValueExA(key, kStartupDateValue, nullptr, nullptr, dateBytes, &size);
    // A moment is exactly 8 bytes: a shorter value would read as a tiny moment
    // long past and launch at once.
    if (result == ERROR_SUCCESS && size == sizeof dateBytes) {
        double date;
        std::memcpy(&date, dateBytes, sizeof date);
        reading.values.startupDate = date;
    }
    reading.dateAbsent = result == ERROR_FILE_NOT_FOUND;
    return reading;
}

// HKEY_CLASSES_ROOT shows the user's key instead of the machine's when both
// exist; Wine does not merge the two, so the user's key is opened by name first.
UniqueHkey OpenRecordForReading(bool* userKey = nullptr) {
    UniqueHkey key = OpenKey(HKEY_CURRENT_USER, kUserSchedulerKey, KEY_QUERY_VALUE);
    if (userKey) *userKey = key.valid();
    return key ? std::move(key) : OpenKey(HKEY_CLASSES_ROOT, kSchedulerKey, KEY_QUERY_VALUE);
}

// Windows writes a value through HKCR into the user's key when that exists; a
// new key goes to the machine's classes, which a standard user may not write:
// then the record moves to the user's classes, where the main application's
// writes through HKCR follow it.
UniqueHkey OpenRecordForWriting() {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS ||
        ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS ||
        ::RegCreateKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, key.put(), nullptr) == ERROR_SUCCESS ||
        ::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                          nullptr, key.put(), nullptr) == ERROR_SUCCESS) {
        return key;
    }
    return UniqueHkey();
}

// Whether HKCR could make the record anew, in the machine's classes, without
// making it: the nearest existing parent lets a subkey be made.
bool MachineClassesTakeANewRecord() {
    const std::pair<HKEY, const char*> parents[] = {{HKEY_CLASSES_ROOT, "Vorlane"},
                                                    {HKEY_LOCAL_MACHINE, "Software\\Classes"}};
    for (const auto& [root, parent] : parents) {
        UniqueHkey key;
        const LONG opened = ::RegOpenKeyExA(root, parent, 0, KEY_CREATE_SUB_KEY, key.put());
        if (opened != ERROR_FILE_NOT_FOUND) return opened == ERROR_SUCCESS;
    }
    return false;
}

bool MachineRecordWritable() {
    UniqueHkey key;
    const LONG opened = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_WRITE, key.put());
    return opened == ERROR_SUCCESS || (opened == ERROR_FILE_NOT_FOUND && MachineClassesTakeANewRecord());
}

}  // namespace

// Where the machine's key is writable nothing is made. Elsewhere the user's key
// is made, so that the main application's next write through HKCR lands there
// too; it hides the machine's key in the HKCR view of both programs, so it
// must first hold every value of the machine's record (a pending launch and
// the flags), also where an earlier start made it and left it empty.
TSchedulerRecord::TSchedulerRecord() {
    const UniqueHkey user = OpenKey(HKEY_CURRENT_USER, kUserSchedulerKey, KEY_QUERY_VALUE);
    if (!user) {
        Pending = !MachineRecordWritable();
        return;
    }
    const UniqueHkey machine = OpenKey(HKEY_LOCAL_MACHINE, kMachineSchedulerKey, KEY_QUERY_VALUE);
    if (!machine) return;
    for (const char* name : kValueNames) {
        if (!HasValue(user.get(), name) && HasValue(machine.get(), name)) Pending = true;
    }
}

bool TSchedulerRecord::UserKeyExists() const {
    return OpenKey(HKEY_CURRENT_USER, kUserSchedulerKey, KEY_QUERY_VALUE).valid();
}

std::optional<core::LastLaunch> TSchedulerRecord::ReadLastLaunch() const {
    bool userKey = false;
    UniqueHkey key = OpenRecordForReading(&userKey);
    if (!key) return std::nullopt;
    // Until the user's key is complete, the machine's value is the one that counts.
    if (userKey && Pending && !HasValue(key.get(), kLastLaunchValue)) {
        key = OpenKey(HKEY_LOCAL_MACHINE, kMachineSchedulerKey, KEY_QUERY_VALUE);
        if (!key) return std::nullopt;
    }
    char data[core::kLastLaunchBytes + 1];
    DWORD size = sizeof data;
    DWORD type = 0;
    if (::RegQueryValueExA(key.get(), kLastLaunchValue, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_BINARY)
        return std::nullopt;
    return core::DecodeLastLaunch(std::string_view(data, size));
}

bool TSchedulerRecord::WriteLastLaunch(const core::LastLaunch& launch) {
    const UniqueHkey key = OpenRecordForWriting();
    const std::string bytes = core::EncodeLastLaunch(launch);
    return key && ::RegSetValueExA(key.get(), kLastLaunchValue, 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(bytes.data()),
                                   static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

std::optional<TStoredValues> TSchedulerRecord::Read() const {
    bool userKey = false;
    const UniqueHkey key = OpenRecordForReading(&userKey);
    if (!key) return std::nullopt;
    Reading reading = ReadValues(key.get());
    if (userKey && Pending && (reading.stateAbsent || reading.dateAbsent)) {
        const UniqueHkey machine = OpenKey(HKEY_LOCAL_MACHINE, kMachineSchedulerKey, KEY_QUERY_VALUE);
        if (machine) {
            const TStoredValues machines = ReadValues(machine.get()).values;
            if (reading.stateAbsent) reading.values.state = machines.state;
            if (reading.dateAbsent) reading.values.startupDate = machines.startupDate;
        }
    }
    return reading.values;
}

bool TSchedulerRecord::Write(std::uint8_t state, double startupDate) {
    const UniqueHkey key = OpenRecordForWriting();
    if (!key) return false;
    const DWORD stateValue = state;
    // Both are tried: a moment stored as used must be written even where the flags are not.
    const bool stateWritten = ::RegSetValueExA(key.get(), kStateValue, 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&stateValue),
                                               sizeof stateValue) == ERROR_SUCCESS;
    const bool dateWritten = ::RegSetValueExA(key.get(), kStartupDateValue, 0, REG_BINARY,
                                              reinterpret_cast<const BYTE*>(&startupDate),
                                              sizeof startupDate) == ERROR_SUCCESS;
    return stateWritten && dateWritten;
}

bool TSchedulerRecord::CompleteUnderWriteAccess() {
    if (!Pending) return true;
    UniqueHkey user;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, user.put(), nullptr) != ERROR_SUCCESS)
        return false;
    UniqueHkey machine;
    const LONG opened = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMachineSchedulerKey, 0, KEY_QUERY_VALUE, machine.put());
    // No machine's record: nothing to take over. One that cannot be read now may be later.
    if (opened != ERROR_SUCCESS) {
        Pending = opened != ERROR_FILE_NOT_FOUND;
        return !Pending;
    }
    bool copied = true;
    for (const char* name : kValueNames) {
        if (HasValue(user.get(), name)) continue;
        DWORD size = 0, type = 0;
        LONG result = ::RegQueryValueExA(machine.get(), name, nullptr, &type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) continue;
        // Of whatever size it is: the user's key hides the machine's value from now on.
        std::vector<BYTE> data(size + 1);
        size = static_cast<DWORD>(data.size());
        if (result == ERROR_SUCCESS)
            result = ::RegQueryValueExA(machine.get(), name, nullptr, &type, data.data(), &size);
        if (result != ERROR_SUCCESS || ::RegSetValueExA(user.get(), name, 0, type, data.data(), size) != ERROR_SUCCESS)
            copied = false;
    }
    Pending = !copied;
    return copied;
}

}  // namespace vrln
