// Readers/writer exchange between processes over eight named kernel objects.
// Every process that builds a TDataSynchronizer with the same name takes part;
// each participant (index 0 to 4) has its own change notice. The names, kinds
// and initial states of the objects are shared with the main application.
#pragma once

#include "win/Handles.h"

#include <array>
#include <string>

namespace vrln {

class TDataSynchronizer {
public:
    static constexpr int kParticipants = 5;

    // Creates or opens the objects Name + "_MutexNoWriter", "_EventNoReader",
    // "_SemReadCount" and "_EventDataToRead0".."4" ("Sync_" for an empty name).
    TDataSynchronizer(const std::string& name, int index);
    ~TDataSynchronizer();
    TDataSynchronizer(const TDataSynchronizer&) = delete;
    TDataSynchronizer& operator=(const TDataSynchronizer&) = delete;

    // True when this participant had a change notice and is now a registered
    // reader; the caller then reads and calls EndRead. When stopEvent is given
    // and becomes signalled, the waits end at once and the result is false,
    // holding nothing; a notice that is pending while access is free still wins.
    bool BeginRead(DWORD timeoutMs, HANDLE stopEvent = nullptr);
    void EndRead();
    // True when the caller holds write access; EndWrite must follow on the same thread.
    bool BeginWrite(DWORD timeoutMs);
    // Gives up write access and sets the notices of every other participant.
    void EndWrite();
    // Gives up write access without a notice: after a write of values that no
    // other participant reads, which must not make them all reload.
    void EndWriteUnannounced();

    int Index() const { return Index_; }
    // This participant's change notice, for a caller that waits on it with
    // other objects and then takes it by BeginRead; null without a slot.
    HANDLE Notice() const;

    // The full name of one of the objects, as other participants open it.
    static std::string ObjectName(const std::string& name, const char* suffix);

    // For tests: the handles in creation order (mutex, no-reader event,
    // reader count, notices 0 to 4), to inspect their flags.
    std::array<HANDLE, 8> HandlesForTest() const;

private:
    UniqueHandle EventNoReader;
    std::array<UniqueHandle, kParticipants> EventDataToRead;
    UniqueHandle MutexNoWriter;
    UniqueHandle SemReadCount;
    int Index_;
};

}  // namespace vrln
