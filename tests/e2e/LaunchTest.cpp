// VrlnSchd.exe and the stand-in main application, each a real process, in a
// folder of their own as on a user's machine.
#include "app/Autostart.h"
#include "app/res/resource.h"
#include "core/Browser.h"
#include "core/DateTime.h"
#include "core/LastLaunch.h"
#include "sched/DecisionLog.h"
#include "sched/ThreadSync.h"
#include "sched/ThreadWakeUp.h"
#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 20000;

// The autostart value under the root's Run key, or what is missing.
std::string RunValue(HKEY root) {
    UniqueHkey run;
    if (::RegOpenKeyExA(root, kRunKey, 0, KEY_QUERY_VALUE, run.put()) != ERROR_SUCCESS) return "<no key>";
    char data[300] = {};
    DWORD size = sizeof data - 1;
    if (::RegQueryValueExA(run.get(), kAutostartValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return data;
}

void DeleteRunValues() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        UniqueHkey run;
        if (::RegOpenKeyExA(root, kRunKey, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS)
            ::RegDeleteValueA(run.get(), kAutostartValue);
    }
}

// The decision log's folder taken by a file of the same name, so that no line can be written.
class ScopedLogFolderTaken {
public:
    ScopedLogFolderTaken() {
        ::MoveFileA(folder.c_str(), aside.c_str());
        taken = WriteWholeFile(folder, "not a folder");
    }
    ~ScopedLogFolderTaken() {
        ::DeleteFileA(folder.c_str());
        ::MoveFileA(aside.c_str(), folder.c_str());
    }
    bool taken = false;

private:
    const std::string folder = DefaultLogFolder().substr(0, DefaultLogFolder().size() - 1);
    const std::string aside = folder + ".aside";
};

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileA((DefaultLogFolder() + TDecisionLog::kFileName).c_str());
        DeleteSchedulerKey();
        DeleteUserRecord();
        dir = NewScratchDir("launch");
        ASSERT_TRUE(CopyInto(BinDir() + "VrlnSchd.exe", dir + "VrlnSchd.exe"));
        ASSERT_TRUE(CopyInto(BinDir() + "VRLN98.EXE", dir + "VRLN98.EXE"));
        log = dir + "starts.log";
        SetEnv("STANDIN_MAINAPP_LOG", log);
        SetEnv("STANDIN_MAINAPP_LIFETIME", "500");
    }
    void TearDown() override {
        StopScheduler();
        ClearEnv("STANDIN_MAINAPP_LOG");
        ClearEnv("STANDIN_MAINAPP_LIFETIME");
        DeleteSchedulerKey();
        DeleteUserRecord();
    }

    // Stores through the stand-in as participant 1, as the main application does.
    void Store(const std::string& options) {
        Process store = Start("\"" + dir + "VRLN98.EXE\" --store --timeout=5000 " + options);
        ASSERT_EQ(WaitExit(store, kGenerous), 0u) << options;
    }
    void StartScheduler() {
        scheduler = Start("\"" + dir + "VrlnSchd.exe\"", dir);
        wnd = WaitUntilReady(scheduler, kGenerous);
        ASSERT_NE(wnd, nullptr);
    }
    void StopScheduler() {
        if (wnd) ::PostMessageA(wnd, WM_CLOSE, 0, 0);
        if (scheduler.handle) {
            EXPECT_EQ(WaitExit(scheduler, kGenerous), 0u);
        }
        Kill(scheduler);
        wnd = nullptr;
    }
    std::size_t Starts() { return ReadLines(log).size(); }
    double StoredMoment() {
        DWORD state = 0;
        double date = -1;
        ReadSchedulerValues(state, date);
        return date;
    }

    std::string dir;
    std::string log;
    Process scheduler;
    HWND wnd = nullptr;
};

}  // namespace

TEST_F(LaunchTest, AnAnnouncedMomentStartsTheMainApplicationOnceAndIsConsumed) {
    StartScheduler();
    Store("--state=0 --in=1");
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    const std::string line = ReadLines(log).at(0);
    EXPECT_NE(line.find("\tshow=1\t"), std::string::npos) << line;
    EXPECT_NE(line.find("cmd=" + dir + "VRLN98.EXE"), std::string::npos) << line;
    EXPECT_TRUE(WaitFor([&] { return StoredMoment() == 0.0; }, kGenerous));
    // The log tells the decisions in their order, the start with its command line.
    const std::string logPath = DefaultLogFolder() + TDecisionLog::kFileName;
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(logPath).find("Main application started") != std::string::npos; },
                        kGenerous));
    const std::string told = ReadWholeFile(logPath);
    std::size_t at = 0;
    const std::string steps[] = {"Started: version ", "New moment ", " is due", "Network up",
                                 "Main application started, shown normally", dir + "VRLN98.EXE"};
    for (const std::string& step : steps) {
        at = told.find(step, at);
        EXPECT_NE(at, std::string::npos) << step << " in\n" << told;
    }
    ::Sleep(3000);
    EXPECT_EQ(Starts(), 1u);
}

TEST_F(LaunchTest, Bit1StartsTheMainApplicationMinimisedAlsoWhereNoLogCanBeWritten) {
    ScopedLogFolderTaken noLog;
    ASSERT_TRUE(noLog.taken);
    StartScheduler();
    Store("--state=2 --in=1");
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    EXPECT_NE(ReadLines(log).at(0).find("\tshow=2\t"), std::string::npos);
}

TEST_F(LaunchTest, AMomentThatFallsDueWhileTheMainApplicationRunsIsConsumedWithoutAStart) {
    Process running = Start("\"" + dir + "VRLN98.EXE\" --hold=60000");
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    StartScheduler();
    Store("--state=0 --in=1");
    EXPECT_TRUE(WaitFor([&] { return StoredMoment() == 0.0; }, kGenerous));
    Kill(running);
    ::Sleep(2500);
    EXPECT_EQ(Starts(), 1u);
}

TEST_F(LaunchTest, NothingStartsWhileSuspendedUntilTheBitIsCleared) {
    StartScheduler();
    Store("--state=1 --in=1");
    ::Sleep(4000);
    EXPECT_EQ(Starts(), 0u);
    EXPECT_NE(StoredMoment(), 0.0);
    Store("--state=0");
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
}

TEST_F(LaunchTest, APastMomentAtStartUpLaunchesInTheFirstCycleAndIsKeptAsTheLastPlannedLaunch) {
    const double planned = LocalNow() - 1.0 / 24;
    WriteSchedulerValues(0, planned);
    StartScheduler();
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
    EXPECT_EQ(StoredMoment(), 0.0);
    // Beside the record, for the menu of this run and the next: the stop keeps it.
    StopScheduler();
    UniqueHkey key;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_QUERY_VALUE, key.put()), ERROR_SUCCESS);
    char bytes[64];
    DWORD size = sizeof bytes, type = 0;
    ASSERT_EQ(::RegQueryValueExA(key.get(), kLastLaunchValue, nullptr, &type, reinterpret_cast<BYTE*>(bytes), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    const std::optional<core::LastLaunch> launch = core::DecodeLastLaunch(std::string(bytes, size));
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->planned, planned);
    EXPECT_EQ(launch->outcome, core::LaunchOutcome::Started);
    EXPECT_TRUE(core::StartedLate(*launch));
}

TEST_F(LaunchTest, TheKeyIsCreatedAtTheFirstSaveAndTheRunValueNamesTheProgram) {
    StartScheduler();
    EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), dir + "VrlnSchd.exe");
    StopScheduler();
    DWORD state = 7;
    double date = -1;
    EXPECT_TRUE(ReadSchedulerValues(state, date));
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(date, 0.0);
}

TEST_F(LaunchTest, AToggleWaitingForItsRetryIsStoredWhenTheSessionEndsAndTheNextSessionStartsTheProgramAgain) {
    StartScheduler();
    TDataSynchronizer mainApp(kSyncName, 1);
    ASSERT_TRUE(mainApp.BeginWrite(kGenerous));
    DWORD_PTR answered = 0;
    ASSERT_NE(::SendMessageTimeoutA(wnd, WM_COMMAND, IDM_SUSPEND, 0, SMTO_NORMAL, kGenerous, &answered), 0);
    // Held until the store's retry has backed off to seconds (tries at 0, 1 and 3 s, the next at 7), then let go
    // without a notice: only the session's end can store the toggle now.
    ::Sleep(5000);
    mainApp.EndWriteUnannounced();
    Process endSession = Start("wineboot.exe --end-session");
    ASSERT_EQ(WaitExit(endSession, kGenerous), 0u);
    ASSERT_NE(WaitExit(scheduler, kGenerous), static_cast<DWORD>(STILL_ACTIVE));  // Wine ends it after WM_ENDSESSION
    scheduler = Process{};
    wnd = nullptr;
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{core::kStateSuspended}, 0.0));
    // The autostart value stays: wineboot begins the next session with it.
    EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), dir + "VrlnSchd.exe");
    HWND again = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (again = ::FindWindowA("TPlandrel", nullptr)) != nullptr; }, kGenerous));
    ::PostMessageA(again, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([] { return ::FindWindowA("TPlandrel", nullptr) == nullptr; }, kGenerous));
}

TEST_F(LaunchTest, AStandardUserGetsTheRecordAndTheAutostartEntryInItsOwnKeysAndEachMomentLaunchesOnce) {
    // The machine's keys as an installation left them, closed to the user's writes.
    DeleteRunValues();
    // A minimised launch planned by an administrator's start, a few seconds ahead.
    const double planned = LocalNow() + 5.0 / 86400;
    WriteSchedulerValues(2, planned);
    {
        ScopedDeniedKey record(HKEY_CLASSES_ROOT, kSchedulerKey, KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
        ScopedDeniedKey run(HKEY_LOCAL_MACHINE, kRunKey, KEY_SET_VALUE);
        ASSERT_TRUE(record.Ok());
        ASSERT_TRUE(run.Ok());

        StartScheduler();
        EXPECT_EQ(RunValue(HKEY_CURRENT_USER), core::QuoteIfBlank(dir + "VrlnSchd.exe"));
        EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), "<none>");
        ASSERT_TRUE(UserRecordExists());

        // The user's record starts with the machine's values, which it hides.
        ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kGenerous));
        EXPECT_NE(ReadLines(log).at(0).find("\tshow=2\t"), std::string::npos);
        EXPECT_TRUE(WaitFor([&] { return ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey) ==
                                         std::make_pair(DWORD{2}, 0.0); }, kGenerous));
        Store("--state=0 --in=1");
        ASSERT_TRUE(WaitFor([&] { return Starts() == 2; }, kGenerous));
        EXPECT_TRUE(WaitFor([&] { return ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey) ==
                                         std::make_pair(DWORD{0}, 0.0); }, kGenerous));
        StopScheduler();

        StartScheduler();
        ::Sleep(3000);
        EXPECT_EQ(Starts(), 2u);
        StopScheduler();
    }
    EXPECT_EQ(ReadRecord(), std::make_pair(DWORD{2}, planned));
    DeleteRunValues();
}
