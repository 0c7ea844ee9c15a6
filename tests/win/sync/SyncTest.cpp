// The synchroniser as other participants see it: the named kernel objects are
// opened by name and their states read directly; other processes are played by
// sync_participant.exe, which lies beside this test.
#include "sched/ThreadSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace vrln {
namespace {

constexpr DWORD kGenerousMs = 30000;  // upper bound for anything that must happen

// A name of our own per test, so no test sees another's objects.
std::string UniqueName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("SyncTest_") + info->test_suite_name() + "_" + info->name() + "_" +
           std::to_string(::GetCurrentProcessId());
}

// Runs a routine on a thread of its own.
class Worker {
public:
    explicit Worker(std::function<void()> routine) : routine_(std::move(routine)) {
        thread_.reset(::CreateThread(nullptr, 0, &Entry, this, 0, nullptr));
    }
    ~Worker() {
        if (!Finish()) ::TerminateThread(thread_.get(), 1);  // a hung wait must not outlive us
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool Finish(DWORD boundMs = kGenerousMs) {
        return ::WaitForSingleObject(thread_.get(), boundMs) == WAIT_OBJECT_0;
    }

private:
    static DWORD WINAPI Entry(LPVOID self) {
        static_cast<Worker*>(self)->routine_();
        return 0;
    }
    std::function<void()> routine_;
    UniqueHandle thread_;
};

// The eight objects of one name, opened as any other process would open them.
class Objects {
public:
    explicit Objects(const std::string& name) {
        mutex_.reset(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                                  TDataSynchronizer::ObjectName(name, "_MutexNoWriter").c_str()));
        noReader_.reset(::OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                     TDataSynchronizer::ObjectName(name, "_EventNoReader").c_str()));
        count_.reset(::OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE,
                                      TDataSynchronizer::ObjectName(name, "_SemReadCount").c_str()));
        for (int i = 0; i < 5; ++i) {
            const std::string suffix = "_EventDataToRead" + std::to_string(i);
            notices_[i].reset(::OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                           TDataSynchronizer::ObjectName(name, suffix.c_str()).c_str()));
        }
    }

    bool AllOpen() const {
        bool all = mutex_ && noReader_ && count_;
        for (const auto& notice : notices_) all = all && notice;
        return all;
    }
    // Manual-reset events: a zero wait reads the state without changing it.
    bool NoticeSet(int i) const { return ::WaitForSingleObject(notices_[i].get(), 0) == WAIT_OBJECT_0; }
    std::string Notices() const {
        std::string set;
        for (int i = 0; i < 5; ++i) set += NoticeSet(i) ? '1' : '0';
        return set;
    }
    void ClearNotices() const {
        for (const auto& notice : notices_) ::ResetEvent(notice.get());
    }
    bool NoReaderSet() const { return ::WaitForSingleObject(noReader_.get(), 0) == WAIT_OBJECT_0; }
    // Takes every count, then gives them all back.
    LONG Readers() const {
        LONG n = 0;
        while (n < 1000 && ::WaitForSingleObject(count_.get(), 0) == WAIT_OBJECT_0) ++n;
        if (n > 0) ::ReleaseSemaphore(count_.get(), n, nullptr);
        return n;
    }
    HANDLE Count() const { return count_.get(); }
    // How a thread that holds nothing finds the mutex: WAIT_OBJECT_0 when free,
    // WAIT_TIMEOUT when owned, WAIT_ABANDONED when left behind by a dead owner.
    DWORD ProbeMutex() const {
        DWORD result = WAIT_FAILED;
        Worker probe([&] {
            result = ::WaitForSingleObject(mutex_.get(), 0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ::ReleaseMutex(mutex_.get());
        });
        probe.Finish();
        return result;
    }

private:
    UniqueHandle mutex_, noReader_, count_;
    UniqueHandle notices_[5];
};

// A sync_participant.exe run; see that program for its commands.
class Participant {
public:
    explicit Participant(const std::string& arguments) {
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string exe = path;
        exe = exe.substr(0, exe.find_last_of('\\') + 1) + "sync_participant.exe";
        std::string commandLine = "\"" + exe + "\" " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (::CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info)) {
            process_.reset(info.hProcess);
            ::CloseHandle(info.hThread);
        }
    }
    ~Participant() {
        if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(process_.get(), 99);
    }
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

    bool Started() const { return static_cast<bool>(process_); }
    // The exit code; 98 when it did not end within the bound, 97 when it never started.
    DWORD ExitCode() {
        if (!process_) return 97;
        if (::WaitForSingleObject(process_.get(), kGenerousMs) != WAIT_OBJECT_0) return 98;
        DWORD code = 97;
        ::GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    UniqueHandle process_;
};

DWORD RunParticipant(const std::string& arguments) { return Participant(arguments).ExitCode(); }

// A manual-reset event of our own, with a name a participant can open.
struct NamedEvent {
    explicit NamedEvent(const std::string& name_)
        : name(name_), handle(::CreateEventA(nullptr, TRUE, FALSE, name_.c_str())) {}
    std::string name;
    UniqueHandle handle;
};

class SyncExchange : public ::testing::Test {
protected:
    const std::string name = UniqueName();
};

using SyncObjects = SyncExchange;
using SyncRead = SyncExchange;
using SyncWrite = SyncExchange;
using SyncAbandoned = SyncExchange;
using SyncSecondInstance = SyncExchange;
using SyncStop = SyncExchange;

TEST_F(SyncObjects, RealNameCreatesTheEightObjectsOfTheirKinds) {
    TDataSynchronizer sync("VorlaneSyncExchange", 0);
    const char* const events[] = {"VorlaneSyncExchange_EventNoReader", "VorlaneSyncExchange_EventDataToRead0",
                                  "VorlaneSyncExchange_EventDataToRead1", "VorlaneSyncExchange_EventDataToRead2",
                                  "VorlaneSyncExchange_EventDataToRead3", "VorlaneSyncExchange_EventDataToRead4"};
    EXPECT_TRUE(UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, "VorlaneSyncExchange_MutexNoWriter")));
    EXPECT_TRUE(UniqueHandle(::OpenSemaphoreA(SYNCHRONIZE, FALSE, "VorlaneSyncExchange_SemReadCount")));
    for (const char* event : events) EXPECT_TRUE(UniqueHandle(::OpenEventA(SYNCHRONIZE, FALSE, event))) << event;
}

TEST_F(SyncObjects, EmptyNameUsesSyncPrefixAndStartsWithNoReaderNoWriterNoNotice) {
    TDataSynchronizer sync("", 2);
    const Objects objects("");
    ASSERT_TRUE(UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, "Sync__MutexNoWriter")));
    ASSERT_TRUE(UniqueHandle(::OpenEventA(SYNCHRONIZE, FALSE, "Sync__EventDataToRead4")));
    ASSERT_TRUE(objects.AllOpen());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
    EXPECT_TRUE(objects.NoReaderSet());
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_EQ(objects.Notices(), "00000");
}

TEST_F(SyncObjects, HandlesAreInheritable) {
    TDataSynchronizer sync(name, 0);
    for (HANDLE handle : sync.HandlesForTest()) {
        DWORD flags = 0;
        ASSERT_TRUE(::GetHandleInformation(handle, &flags));
        EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
    }
}

TEST_F(SyncObjects, ReaderCountReachesTheLargestPositiveLong) {
    TDataSynchronizer sync(name, 0);
    const Objects objects(name);
    EXPECT_TRUE(::ReleaseSemaphore(objects.Count(), 0x7FFFFFFF, nullptr));
    EXPECT_FALSE(::ReleaseSemaphore(objects.Count(), 1, nullptr));
}

TEST_F(SyncRead, WithoutNoticeReturnsFalseAndChangesNothing) {
    TDataSynchronizer p0(name, 0), p2(name, 2);
    const Objects objects(name);
    EXPECT_FALSE(p0.BeginRead(258));
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());

    // Again while another participant is registered: its registration stays.
    ASSERT_TRUE(p0.BeginWrite(kGenerousMs));
    p0.EndWrite();
    ASSERT_TRUE(p2.BeginRead(0));
    EXPECT_FALSE(p0.BeginRead(50));
    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_FALSE(objects.NoReaderSet());
    EXPECT_EQ(objects.Notices(), "01011");
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
    p2.EndRead();
}

TEST_F(SyncRead, AnotherParticipantsWriteIsReadAtOnceAndItsNoticeTaken) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    EXPECT_EQ(objects.Notices(), "10111");

    ASSERT_TRUE(p0.BeginRead(0));
    EXPECT_EQ(objects.Notices(), "00111");
    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_FALSE(objects.NoReaderSet());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);  // readers hold it only to register

    p0.EndRead();
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
}

TEST_F(SyncRead, TwoWritesBeforeReadingGiveOneRead) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
        p1.EndWrite();
    }
    ASSERT_TRUE(p0.BeginRead(0));
    p0.EndRead();
    EXPECT_FALSE(p0.BeginRead(0));
}

TEST_F(SyncRead, NoReaderEventIsSetOnlyByTheLastReadersEnd) {
    TDataSynchronizer p0(name, 0), p1(name, 1), p2(name, 2);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(0));
    ASSERT_TRUE(p2.BeginRead(0));
    EXPECT_EQ(objects.Readers(), 2);

    p0.EndRead();
    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_FALSE(objects.NoReaderSet());
    EXPECT_FALSE(p1.BeginWrite(50));

    p2.EndRead();
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());
}

TEST_F(SyncRead, ReaderBlockedByAWriterKeepsNothingAndIsNotifiedAgainByItsEnd) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));

    bool read = true;
    Worker reader([&] { read = p0.BeginRead(50); });  // the mutex belongs to this thread's writer
    ASSERT_TRUE(reader.Finish());
    EXPECT_FALSE(read);
    EXPECT_FALSE(objects.NoticeSet(0));
    EXPECT_EQ(objects.Readers(), 0);

    p1.EndWrite();
    EXPECT_TRUE(p0.BeginRead(0));
    p0.EndRead();
}

TEST_F(SyncWrite, EndWriteNotifiesEveryParticipantButItself) {
    for (int index = 0; index < 5; ++index) {
        const std::string slotName = name + "_" + std::to_string(index);
        TDataSynchronizer writer(slotName, index);
        const Objects objects(slotName);
        ASSERT_TRUE(writer.BeginWrite(kGenerousMs));
        EXPECT_EQ(objects.ProbeMutex(), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(objects.Notices(), "00000");
        writer.EndWrite();
        std::string expected = "11111";
        expected[index] = '0';
        EXPECT_EQ(objects.Notices(), expected);
        EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
    }
}

TEST_F(SyncWrite, TimesOutWhileAReaderIsRegisteredWithoutKeepingTheMutex) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(0));

    EXPECT_FALSE(p1.BeginWrite(50));
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);

    p0.EndRead();
    ASSERT_TRUE(p1.BeginWrite(0));
    p1.EndWrite();
}

TEST_F(SyncWrite, WaitsUntilTheLastReaderInAnotherProcessEnds) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    const NamedEvent ready(name + "_ready"), go(name + "_go");
    Participant other("hold-read " + name + " 2 " + ready.name + " " + go.name);
    ASSERT_EQ(::WaitForSingleObject(ready.handle.get(), kGenerousMs), WAIT_OBJECT_0);
    ASSERT_TRUE(p0.BeginRead(0));
    EXPECT_EQ(objects.Readers(), 2);

    std::atomic<bool> wrote{false};
    Worker writer([&] {
        if (p1.BeginWrite(kGenerousMs)) {
            wrote = true;
            p1.EndWrite();  // on the thread that owns the mutex
        }
    });
    p0.EndRead();  // not the last reader: the writer keeps waiting
    EXPECT_FALSE(objects.NoReaderSet());
    EXPECT_FALSE(wrote);

    ::SetEvent(go.handle.get());
    EXPECT_EQ(other.ExitCode(), 0u);
    ASSERT_TRUE(writer.Finish());
    EXPECT_TRUE(wrote);
    EXPECT_EQ(objects.Readers(), 0);
}

TEST_F(SyncAbandoned, ReaderTakesTheMutexOfADeadWriterAsItsOwn) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_EQ(RunParticipant("write-and-die " + name + " 3 30000"), 0u);

    ASSERT_TRUE(p0.BeginRead(kGenerousMs));
    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);  // taken over, then released normally
    p0.EndRead();
    EXPECT_TRUE(objects.NoReaderSet());
}

TEST_F(SyncAbandoned, ReaderUnregistersThroughAMutexLeftByADeadProcess) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(0));
    ASSERT_EQ(RunParticipant("lock-and-die " + name + " 3 30000"), 0u);

    p0.EndRead();
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
}

TEST_F(SyncAbandoned, WriterTakesTheMutexOfADeadWriterAsItsOwn) {
    TDataSynchronizer p1(name, 1);
    const Objects objects(name);
    ASSERT_EQ(RunParticipant("write-and-die " + name + " 3 30000"), 0u);

    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    EXPECT_EQ(objects.ProbeMutex(), static_cast<DWORD>(WAIT_TIMEOUT));
    p1.EndWrite();
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
    EXPECT_EQ(objects.Notices(), "10111");
}

TEST_F(SyncAbandoned, ReaderThatDiedRegisteredBlocksEveryLaterWriter) {
    TDataSynchronizer p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_EQ(RunParticipant("read-and-die " + name + " 0 30000"), 0u);

    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_FALSE(objects.NoReaderSet());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
    EXPECT_FALSE(p1.BeginWrite(50));
    TDataSynchronizer latecomer(name, 4);
    EXPECT_FALSE(latecomer.BeginWrite(50));
}

TEST_F(SyncSecondInstance, InTheSameProcessOpensTheSameObjectsWithoutResettingThem) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(0));

    TDataSynchronizer again(name, 3);
    EXPECT_EQ(objects.Notices(), "00111");
    EXPECT_EQ(objects.Readers(), 1);
    EXPECT_FALSE(objects.NoReaderSet());
    ASSERT_TRUE(again.BeginRead(0));
    EXPECT_EQ(objects.Notices(), "00101");
    EXPECT_EQ(objects.Readers(), 2);
    again.EndRead();
    p0.EndRead();
    EXPECT_TRUE(objects.NoReaderSet());
}

TEST_F(SyncSecondInstance, InAnotherProcessOpensTheSameObjectsWithoutResettingThem) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(0));

    EXPECT_EQ(RunParticipant("write " + name + " 4 100"), 1u);  // our reader still counts there
    EXPECT_EQ(RunParticipant("read " + name + " 2 0"), 0u);     // our write's notice survived
    EXPECT_EQ(objects.Notices(), "00011");

    p0.EndRead();
    EXPECT_EQ(RunParticipant("write " + name + " 4 30000"), 0u);
    EXPECT_EQ(objects.Notices(), "11111");  // its own notice 4 still set from p1's write
    EXPECT_TRUE(p0.BeginRead(0));
    p0.EndRead();
}

TEST_F(SyncStop, StopEndsTheWaitForANoticeWithNothingChanged) {
    TDataSynchronizer p0(name, 0);
    const Objects objects(name);
    UniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    bool read = true;
    Worker reader([&] { read = p0.BeginRead(INFINITE, stop.get()); });
    ::SetEvent(stop.get());
    ASSERT_TRUE(reader.Finish());
    EXPECT_FALSE(read);
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);
}

TEST_F(SyncStop, StopEndsTheWaitForTheMutexWithNothingHeld) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    UniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle held(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    Worker writer([&] {
        if (!p1.BeginWrite(kGenerousMs)) return;
        ::SetEvent(held.get());
        ::WaitForSingleObject(release.get(), kGenerousMs);
        p1.EndWrite();
    });
    ASSERT_EQ(::WaitForSingleObject(held.get(), kGenerousMs), WAIT_OBJECT_0);

    bool read = true;
    Worker reader([&] { read = p0.BeginRead(INFINITE, stop.get()); });
    ::SetEvent(stop.get());
    ASSERT_TRUE(reader.Finish());
    EXPECT_FALSE(read);
    EXPECT_FALSE(objects.NoticeSet(0));  // taken by the first wait
    EXPECT_EQ(objects.Readers(), 0);
    EXPECT_TRUE(objects.NoReaderSet());

    ::SetEvent(release.get());
    ASSERT_TRUE(writer.Finish());
    EXPECT_EQ(objects.ProbeMutex(), WAIT_OBJECT_0);  // not abandoned by the ended reader thread
}

TEST_F(SyncStop, PendingNoticeIsStillReadWhenAccessIsFree) {
    TDataSynchronizer p0(name, 0), p1(name, 1);
    const Objects objects(name);
    UniqueHandle stop(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    ASSERT_TRUE(p0.BeginRead(kGenerousMs, stop.get()));
    EXPECT_EQ(objects.Readers(), 1);
    p0.EndRead();
    EXPECT_FALSE(p0.BeginRead(kGenerousMs, stop.get()));
}

TEST_F(SyncExchange, IndexOutsideTheFiveSlotsNeverReadsAndNotifiesEveryone) {
    TDataSynchronizer p1(name, 1), stray(name, 5);
    const Objects objects(name);
    ASSERT_TRUE(p1.BeginWrite(kGenerousMs));
    p1.EndWrite();
    EXPECT_FALSE(stray.BeginRead(0));
    EXPECT_EQ(objects.Readers(), 0);

    objects.ClearNotices();
    ASSERT_TRUE(stray.BeginWrite(kGenerousMs));
    stray.EndWrite();
    EXPECT_EQ(objects.Notices(), "11111");
}

}  // namespace
}  // namespace vrln
