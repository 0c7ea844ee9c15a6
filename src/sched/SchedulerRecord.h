// The registry record of the next launch that this program shares with the
// main application: where it lives (the classes of the machine or of the
// user), how the user's copy is completed from the machine's, and how its
// values are read and written.
#pragma once

#include "core/LastLaunch.h"

#include <windows.h>

#include <cstdint>
#include <optional>

namespace vrln {

constexpr const char* kSchedulerKey = "Vorlane\\Scheduler";
// The same record in the user's own classes under HKEY_CURRENT_USER: kept there
// when the machine's key may not be written (a standard user's rights), and
// read before the machine's key, as Windows' merged view of HKCR does.
constexpr const char* kUserSchedulerKey = "Software\\Classes\\Vorlane\\Scheduler";
constexpr const char* kStateValue = "State";
constexpr const char* kStartupDateValue = "Startup date";
// This program's own value beside them, which the main application does not read.
constexpr const char* kLastLaunchValue = "Last launch";

// What one reading found; a value that is missing, or of a size that cannot
// be what the main application stores, is not there.
struct TStoredValues {
    std::optional<std::uint8_t> state;
    std::optional<double> startupDate;
};

class TSchedulerRecord {
public:
    // Finds where the record lives. The user's key is wanted where it exists
    // already, or where the machine's key can be neither written nor made.
    TSchedulerRecord();
    TSchedulerRecord(const TSchedulerRecord&) = delete;
    TSchedulerRecord& operator=(const TSchedulerRecord&) = delete;

    // Nothing when no key can be opened. While the user's key is not yet
    // complete, the machine's values stand in for those it lacks: they are
    // what the main application saw before the user's key hid them.
    std::optional<TStoredValues> Read() const;
    // Writes both values, making the key where needed; true only when both were written.
    bool Write(std::uint8_t state, double startupDate);
    // Nothing where the value is missing, not binary, or not of its layout;
    // the machine's stands in, as for Read.
    std::optional<core::LastLaunch> ReadLastLaunch() const;
    bool WriteLastLaunch(const core::LastLaunch& launch);

    // Whether the user's own key holds the record (else the machine's does).
    bool UserKeyExists() const;
    // Whether the user's key is still to be made or completed.
    bool CompletionPending() const { return Pending; }
    // Makes the user's key where it is wanted and copies into it each value of
    // the machine's record that it lacks. The caller holds write access, so
    // that no participant writes between the test and the copy. True once it
    // is done; until then the machine's values go on standing in.
    bool CompleteUnderWriteAccess();

private:
    bool Pending = false;
};

}  // namespace vrln
