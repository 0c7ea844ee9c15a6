// The real VrlnSchd.exe and the stand-in main application, run as processes.
#include "app/Autostart.h"
#include "sched/ThreadWakeUp.h"
#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr DWORD kGenerous = 20000;

std::string ReadRunValue(HKEY root = HKEY_LOCAL_MACHINE) {
    UniqueHkey key;
    if (::RegOpenKeyExA(root, kRunKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return "<no key>";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    if (::RegQueryValueExA(key.get(), kAutostartValue, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return std::string(data);  // the stored size counts the NUL
}

// One copy of the program, started from its own file and ended by the test.
class ProgramCopy {
public:
    ProgramCopy(const std::string& dir, const std::string& fileName) : path_(dir + fileName) {
        CopyInto(BinDir() + "VrlnSchd.exe", path_);
    }
    ~ProgramCopy() { Kill(process_); }

    const std::string& Path() const { return path_; }
    Process& Proc() { return process_; }

    void Start() { process_ = vrln::test::Start("\"" + path_ + "\"", core_dir()); }
    // Running means: its hidden window answers.
    HWND WaitForWindow() { return WaitUntilReady(process_, kGenerous); }

private:
    std::string core_dir() const { return path_.substr(0, path_.find_last_of('\\') + 1); }
    std::string path_;
    Process process_;
};

}  // namespace

TEST(InstanceMutexName, IsTheFileNameUpperCasedByTheLocaleRule) {
    EXPECT_EQ(MutexNameFor("VrlnSchd.exe"), "APPLICATION-VRLNSCHD.EXE");
    EXPECT_EQ(MutexNameFor("a\\b.exe"), "APPLICATION-A_B.EXE");
    // e acute and its capital in the ANSI code page of the pinned locale.
    EXPECT_EQ(MutexNameFor("schd\xE9.exe"), "APPLICATION-SCHD\xC9.EXE");
    EXPECT_EQ(MainAppMutexName(), "APPLICATION-VORLANE 98");
    EXPECT_EQ(InstanceMutexName(), "APPLICATION-FRAME_TESTS.EXE");
}

TEST(SingleInstance, SecondCopyEndsAtOnceWhateverItsFolderAndLetterCase) {
    const std::string dirA = NewScratchDir("first");
    const std::string dirB = NewScratchDir("second");
    ProgramCopy first(dirA, "VrlnSchd.exe");
    ProgramCopy sameFolder(dirA, "VrlnSchd.exe");
    ProgramCopy otherCase(dirB, "vrlnschd.EXE");
    first.Start();
    const HWND wnd = first.WaitForWindow();
    ASSERT_NE(wnd, nullptr);
    ASSERT_TRUE(MutexExists("APPLICATION-VRLNSCHD.EXE"));

    for (ProgramCopy* second : {&sameFolder, &otherCase}) {
        second->Start();
        EXPECT_EQ(WaitExit(second->Proc(), kGenerous), 0u) << second->Path();
    }
    EXPECT_EQ(WaitExit(first.Proc(), 0), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_TRUE(::IsWindow(wnd));

    ::PostMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(first.Proc(), kGenerous), 0u);
    EXPECT_FALSE(MutexExists("APPLICATION-VRLNSCHD.EXE"));
}

TEST(SingleInstance, NonAsciiNamesMeetUnderTheLocalesUpperCase) {
    ProgramCopy first(NewScratchDir("accent1"), "schd\xE9.exe");
    ProgramCopy second(NewScratchDir("accent2"), "SCHD\xC9.EXE");
    first.Start();
    const HWND wnd = first.WaitForWindow();
    ASSERT_NE(wnd, nullptr);
    second.Start();
    EXPECT_EQ(WaitExit(second.Proc(), kGenerous), 0u);
    ::PostMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(first.Proc(), kGenerous), 0u);
}

TEST(SingleInstance, CopiesUnderDifferentNamesBothRun) {
    const std::string dir = NewScratchDir("names");
    ProgramCopy one(dir, "VrlnSchd.exe");
    ProgramCopy other(dir, "Other.exe");
    one.Start();
    other.Start();
    const HWND wndOne = one.WaitForWindow();
    const HWND wndOther = other.WaitForWindow();
    ASSERT_NE(wndOne, nullptr);
    ASSERT_NE(wndOther, nullptr);
    ::PostMessageA(wndOne, WM_CLOSE, 0, 0);
    ::PostMessageA(wndOther, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(one.Proc(), kGenerous), 0u);
    EXPECT_EQ(WaitExit(other.Proc(), kGenerous), 0u);
}

TEST(MessageLoop, WmQuitPostedToTheThreadEndsTheProgramCleanly) {
    ProgramCopy copy(NewScratchDir("quit"), "VrlnSchd.exe");
    copy.Start();
    const HWND wnd = copy.WaitForWindow();
    ASSERT_NE(wnd, nullptr);
    const DWORD thread = ::GetWindowThreadProcessId(wnd, nullptr);
    ASSERT_TRUE(::PostThreadMessageA(thread, WM_QUIT, 0, 0));
    EXPECT_EQ(WaitExit(copy.Proc(), kGenerous), 0u);
    EXPECT_FALSE(MutexExists("APPLICATION-VRLNSCHD.EXE"));
}

TEST(Autostart, EveryStartWritesItsPathAndASecondCopyLeavesItAlone) {
    const std::string dir = NewScratchDir("with blanks");
    ProgramCopy copy(dir, "VrlnSchd.exe");
    copy.Start();
    const HWND wnd = copy.WaitForWindow();
    ASSERT_NE(wnd, nullptr);
    // The folder has a blank: the entry is quoted so that nothing else is started.
    EXPECT_EQ(ReadRunValue(), "\"" + copy.Path() + "\"");

    ASSERT_TRUE(RegisterAutostart(kAutostartValue, "C:\\Elsewhere\\Old.exe"));
    ProgramCopy second(NewScratchDir("again"), "VrlnSchd.exe");
    second.Start();
    EXPECT_EQ(WaitExit(second.Proc(), kGenerous), 0u);
    EXPECT_EQ(ReadRunValue(), "C:\\Elsewhere\\Old.exe");

    // Ending without the unload command keeps the entry.
    ::PostMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(copy.Proc(), kGenerous), 0u);
    EXPECT_EQ(ReadRunValue(), "C:\\Elsewhere\\Old.exe");
    EXPECT_TRUE(UnregisterAutostart(kAutostartValue));
    EXPECT_EQ(ReadRunValue(), "<none>");
    EXPECT_TRUE(UnregisterAutostart(kAutostartValue));
}

TEST(Autostart, APathWithoutBlanksIsStoredAsItIsWithItsNul) {
    ASSERT_TRUE(RegisterAutostart(kAutostartValue, "C:\\Tools\\VrlnSchd.exe"));
    UniqueHkey key;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, key.put()), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(::RegQueryValueExA(key.get(), kAutostartValue, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, std::string("C:\\Tools\\VrlnSchd.exe").size() + 1);
    EXPECT_EQ(ReadRunValue(), "C:\\Tools\\VrlnSchd.exe");
    UnregisterAutostart(kAutostartValue);
}

TEST(Autostart, AStandardUserIsEnteredInTheUsersListAndUnloadEmptiesBothWhereItMay) {
    const std::string machinePath = "C:\\Machine\\VrlnSchd.exe";
    const std::string userPath = "C:\\Program Files\\Vorlane\\VrlnSchd.exe";
    ASSERT_TRUE(RegisterAutostart(kAutostartValue, machinePath));
    {
        ScopedDeniedKey machine(HKEY_LOCAL_MACHINE, kRunKey, KEY_SET_VALUE);
        ASSERT_TRUE(machine.Ok());
        EXPECT_TRUE(RegisterAutostart(kAutostartValue, userPath));
        EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), "\"" + userPath + "\"");
        // The machine's entry stays: the user may not remove it.
        EXPECT_TRUE(UnregisterAutostart(kAutostartValue));
        EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), "<none>");
        EXPECT_EQ(ReadRunValue(), machinePath);
        ASSERT_TRUE(RegisterAutostart(kAutostartValue, userPath));
    }
    // With the rights back, a start writes the machine's list only, and unload empties both.
    EXPECT_TRUE(RegisterAutostart(kAutostartValue, machinePath));
    EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), "\"" + userPath + "\"");
    EXPECT_TRUE(UnregisterAutostart(kAutostartValue));
    EXPECT_EQ(ReadRunValue(), "<none>");
    EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER), "<none>");
}

// What Wine honours: a deny ACE on an existing key fails its opening and its
// "creation" for writing; a missing key is made whatever its parent's list
// says, so the start-up test looks at the parent's right to make subkeys.
namespace {
// Gone before and after: every later scheduler of this prefix reads the user's key first.
struct NoRecords {
    NoRecords() { Delete(); }
    ~NoRecords() { Delete(); }
    static void Delete() {
        DeleteUserRecord();
        DeleteSchedulerKey();
    }
};
}  // namespace

TEST(Record, IsKeptInTheUsersClassesWhereTheMachinesMayNotBeWritten) {
    NoRecords noRecords;
    {
        TScheduler scheduler(true);
        EXPECT_FALSE(UserRecordExists());  // writable: nothing changes
    }
    ASSERT_FALSE(UserRecordExists());

    // The key as an installer left it, values included, not writable for the user.
    WriteSchedulerValues(1, 1234.5);
    {
        ScopedDeniedKey denied(HKEY_CLASSES_ROOT, kSchedulerKey, KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
        ASSERT_TRUE(denied.Ok());
        TScheduler scheduler(true);
        // Made at start-up with the machine's values, since it hides the machine's
        // key as Windows' merged view does.
        EXPECT_EQ(ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey), std::make_pair(DWORD{1}, 1234.5));
        EXPECT_EQ(scheduler.State(), 1);
        EXPECT_EQ(scheduler.StartupDate(), 1234.5);
        WriteUserRecord(2, 4321.0);  // the main application's write through HKCR
        scheduler.LoadState();
        EXPECT_EQ(scheduler.State(), 2);
        EXPECT_EQ(scheduler.StartupDate(), 4321.0);
        WriteUserRecord(0, 0.0);
        scheduler.SaveState();
    }
    DWORD state = 0;
    double date = 0;
    ASSERT_TRUE(ReadUserRecord(state, date));
    EXPECT_EQ(state, 2u);
    EXPECT_EQ(date, 4321.0);
    ASSERT_TRUE(ReadSchedulerValues(state, date));
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(date, 1234.5);

    // No machine key, and the machine's classes take no new one.
    DeleteUserRecord();
    DeleteSchedulerKey();
    {
        ScopedDeniedKey parent(HKEY_CLASSES_ROOT, "Vorlane", KEY_CREATE_SUB_KEY);
        ASSERT_TRUE(parent.Ok());
        TScheduler scheduler(true);
        EXPECT_TRUE(UserRecordExists());
    }
    EXPECT_TRUE(ReadUserRecord(state, date));

    // A user's key that an earlier start made and left empty, or that lacks a
    // value, is completed from the machine's record; what it holds is kept.
    WriteSchedulerValues(1, 1234.5);
    for (const std::optional<DWORD> userState : {std::optional<DWORD>(), std::optional<DWORD>(3)}) {
        DeleteUserRecord();
        UniqueHkey user;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    user.put(), nullptr),
                  ERROR_SUCCESS);
        if (userState) {
            ASSERT_EQ(::RegSetValueExA(user.get(), kStateValue, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&*userState), sizeof(DWORD)),
                      ERROR_SUCCESS);
        }
        TScheduler scheduler(true);
        EXPECT_EQ(ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey), std::make_pair(userState.value_or(1), 1234.5));
        EXPECT_EQ(scheduler.StartupDate(), 1234.5);
    }
}

// Both programs start at logon: the main application may hold write access
// across this program's start. The user's empty key, as an older build left it,
// must not then hide the machine's pending launch for good.
TEST(Record, IsCompletedLaterWhenAnotherParticipantWritesAcrossTheStart) {
    const double future = LocalNow() + 30;
    for (const bool stopWhileHeld : {false, true}) {
        SCOPED_TRACE(stopWhileHeld ? "the stop comes while the other participant writes" : "a later cycle completes it");
        NoRecords noRecords;
        WriteSchedulerValues(2, future);
        const core::LastLaunch earlier{future - 10, future - 10, core::LaunchOutcome::Started};
        const std::string earlierBytes = core::EncodeLastLaunch(earlier);
        {
            UniqueHkey machine;
            ASSERT_EQ(::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSchedulerKey, 0, KEY_SET_VALUE, machine.put()),
                      ERROR_SUCCESS);
            ASSERT_EQ(::RegSetValueExA(machine.get(), kLastLaunchValue, 0, REG_BINARY,
                                       reinterpret_cast<const BYTE*>(earlierBytes.data()), 20),
                      ERROR_SUCCESS);
        }
        UniqueHkey user;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    user.put(), nullptr),
                  ERROR_SUCCESS);
        ScopedDeniedKey denied(HKEY_CLASSES_ROOT, kSchedulerKey, KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
        ASSERT_TRUE(denied.Ok());
        // Write access is a mutex of the thread that takes it: the other participant's is another thread.
        const UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> held{-1};
        std::thread other([&] {
            TDataSynchronizer writer(kSyncName, 1);
            held = writer.BeginWrite(kGenerous);
            ::WaitForSingleObject(release.get(), kGenerous);
            if (held == 1) writer.EndWrite();
        });
        const bool tookAccess = WaitFor([&] { return held != -1; }, kGenerous) && held == 1;
        auto scheduler = std::make_unique<TScheduler>(true);
        std::atomic<int> cycles{0};
        scheduler->StepHookForTest = [&cycles](TSchedulerStep step) { cycles += step == TSchedulerStep::CycleEnded; };
        scheduler->Resume();
        EXPECT_TRUE(tookAccess);
        EXPECT_EQ(ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey), std::nullopt);
        EXPECT_EQ(scheduler->State(), 2);  // the machine's values stand in meanwhile
        EXPECT_EQ(scheduler->StartupDate(), future);
        EXPECT_EQ(scheduler->LastLaunch(), earlier);
        if (stopWhileHeld) scheduler.reset();
        ::SetEvent(release.get());
        other.join();
        EXPECT_TRUE(WaitFor([&] { return ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey) ==
                                         std::make_pair(DWORD{2}, future); },
                            kGenerous));
        if (stopWhileHeld) continue;
        // Done once: a completion tried again at every cycle would notify the main application each time.
        const UniqueHandle notice(::OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                                               TDataSynchronizer::ObjectName(kSyncName, "_EventDataToRead1").c_str()));
        ASSERT_TRUE(notice);
        ::ResetEvent(notice.get());
        const int after = cycles;
        scheduler->TimeChanged();  // any cause of a cycle
        ASSERT_TRUE(WaitFor([&] { return cycles > after; }, kGenerous));
        EXPECT_EQ(::WaitForSingleObject(notice.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    // A completion that fails (the machine's record cannot be read just then)
    // is tried again later, not counted as done.
    NoRecords noRecords;
    WriteSchedulerValues(2, future);
    auto denied = std::make_unique<ScopedDeniedKey>(HKEY_CLASSES_ROOT, kSchedulerKey,
                                                    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_QUERY_VALUE);
    ASSERT_TRUE(denied->Ok());
    TScheduler scheduler(true);
    std::atomic<int> cycles{0};
    scheduler.StepHookForTest = [&cycles](TSchedulerStep step) { cycles += step == TSchedulerStep::CycleEnded; };
    scheduler.Resume();
    ASSERT_TRUE(WaitFor([&] { return cycles >= 1; }, kGenerous));
    EXPECT_NE(ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey), std::make_pair(DWORD{2}, future));
    denied.reset();
    EXPECT_TRUE(WaitFor(
        [&] { return ReadRecord(HKEY_CURRENT_USER, kUserSchedulerKey) == std::make_pair(DWORD{2}, future); },
        kGenerous));
}

TEST(MainAppNotRunning, FollowsTheStandInsPresenceAndLeavesNoMutex) {
    EXPECT_TRUE(MainAppNotRunning());
    EXPECT_FALSE(MutexExists(MainAppMutexName()));

    Process standin = Start("\"" + BinDir() + "VRLN98.EXE\" --hold=60000");
    ASSERT_TRUE(WaitFor([] { return MutexExists("APPLICATION-VORLANE 98"); }, kGenerous));
    EXPECT_FALSE(MainAppNotRunning());
    EXPECT_FALSE(MainAppNotRunning());
    EXPECT_TRUE(MutexExists("APPLICATION-VORLANE 98"));

    Kill(standin);
    EXPECT_TRUE(MainAppNotRunning());
    EXPECT_FALSE(MutexExists(MainAppMutexName()));
}

TEST(MainAppNotRunning, CreatesNothingThatAStartingMainApplicationCouldFindTaken) {
    // Presence tests on one thread while the main application is absent; on
    // another, looks for its mutex. A mutex seen there would make a main
    // application starting at that instant believe another copy runs, and quit.
    std::atomic<bool> done{false};
    std::thread tests([&] {
        for (int i = 0; i < 3000; ++i) EXPECT_TRUE(MainAppNotRunning());
        done = true;
    });
    int looks = 0, seen = 0;
    while (!done) {
        UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, MainAppMutexName().c_str()));
        seen += mutex.valid();
        ++looks;
    }
    tests.join();
    EXPECT_EQ(seen, 0) << "of " << looks << " looks";
}

TEST(MainAppPath, IsVrln98BesideTheProgram) {
    EXPECT_EQ(MainAppPath(), BinDir() + "VRLN98.EXE");
}

TEST(StartProgram, StartsTheStandInFromAFolderWithBlanksWithTheAskedShowCommand) {
    const std::string dir = NewScratchDir("Program Files");
    const std::string path = dir + "VRLN98.EXE";
    ASSERT_TRUE(CopyInto(BinDir() + "VRLN98.EXE", path));
    const std::string log = dir + "starts.log";
    SetEnv("STANDIN_MAINAPP_LOG", log);
    SetEnv("STANDIN_MAINAPP_LIFETIME", "200");

    EXPECT_TRUE(StartProgram(path, SW_SHOWMINIMIZED));
    ASSERT_TRUE(WaitFor([&] { return ReadLines(log).size() == 1; }, kGenerous));
    const std::string line = ReadLines(log).at(0);
    EXPECT_NE(line.find("\tshow=2\t"), std::string::npos) << line;
    EXPECT_NE(line.find("\tcmd=\"" + path + "\""), std::string::npos) << line;

    ClearEnv("STANDIN_MAINAPP_LOG");
    ClearEnv("STANDIN_MAINAPP_LIFETIME");
}

TEST(StartProgram, AMissingFileReturnsFalse) {
    EXPECT_FALSE(StartProgram(NewScratchDir("empty") + "VRLN98.EXE", SW_SHOWNORMAL));
    EXPECT_FALSE(StartProgram("C:\\No Such Folder\\VRLN98.EXE", SW_SHOWNORMAL));
}
