// Another participant of the exchange, in a process of its own.
//   write NAME INDEX TIMEOUT          BeginWrite, EndWrite
//   read NAME INDEX TIMEOUT           BeginRead, EndRead
//   hold-read NAME INDEX READY GO     BeginRead, set event READY, wait for event GO, EndRead
//   read-and-die NAME INDEX TIMEOUT   BeginRead, then exit still registered
//   write-and-die NAME INDEX TIMEOUT  BeginWrite, then exit owning the mutex
//   lock-and-die NAME INDEX TIMEOUT   take the no-writer mutex alone, then exit owning it
// Exit code 0 when the access was obtained, 1 when it was not, 2 on bad usage.
#include "sched/ThreadSync.h"

#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kHoldLimitMs = 60000;  // never outlive a test that forgot to release us

DWORD ParseTimeout(const char* text) {
    return std::string(text) == "INFINITE" ? INFINITE : std::strtoul(text, nullptr, 10);
}

int Run(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string command = argv[1];
    vrln::TDataSynchronizer sync(argv[2], std::atoi(argv[3]));

    if (command == "write" || command == "write-and-die") {
        if (!sync.BeginWrite(ParseTimeout(argv[4]))) return 1;
        if (command == "write") sync.EndWrite();
        return 0;  // write-and-die: the mutex is abandoned when this thread ends
    }
    if (command == "read" || command == "read-and-die") {
        if (!sync.BeginRead(ParseTimeout(argv[4]))) return 1;
        if (command == "read") sync.EndRead();
        return 0;
    }
    if (command == "lock-and-die") {
        vrln::UniqueHandle mutex(::CreateMutexA(
            nullptr, FALSE, vrln::TDataSynchronizer::ObjectName(argv[2], "_MutexNoWriter").c_str()));
        return ::WaitForSingleObject(mutex.get(), ParseTimeout(argv[4])) == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (command == "hold-read" && argc >= 6) {
        vrln::UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, argv[4]));
        vrln::UniqueHandle go(::CreateEventA(nullptr, TRUE, FALSE, argv[5]));
        if (!ready || !go) return 2;
        if (!sync.BeginRead(kHoldLimitMs)) return 1;
        ::SetEvent(ready.get());
        ::WaitForSingleObject(go.get(), kHoldLimitMs);
        sync.EndRead();
        return 0;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
