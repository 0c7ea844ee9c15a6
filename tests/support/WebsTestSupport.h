// Shared by the DDE, browser and local-web tests: temporary folders and files,
// environment, win.ini and registry values restored on exit, the stand-in
// browser, and a recorder that takes the place of WinExec; also keys made
// unwritable as a standard user meets them.
#pragma once

#include "win/Handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace vrln::test {

// The folder of this test program, with its trailing backslash.
std::string ProgramDir();
// The stand-in browser beside the tests (service BROWSE).
std::string StandinBrowserPath();

// A fresh folder under the temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder with its trailing backslash.
    const std::string& Path() const { return path_; }
    // Path() + relative, creating the folders on the way.
    std::string Make(const std::string& relative) const;

private:
    std::string path_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
// The head of a web file as the main application writes it (version 1), titled title.
std::string WebHead(const std::string& title);
std::string ReadBytes(const std::string& path);
std::string ShortPathOf(const std::string& path);

// Sets an environment variable (inherited by started programs) for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// Sets (or, for nullptr, removes) a win.ini value and puts the old one back.
class ScopedProfileString {
public:
    ScopedProfileString(const char* section, const char* key, const char* value);
    ~ScopedProfileString();
    ScopedProfileString(const ScopedProfileString&) = delete;
    ScopedProfileString& operator=(const ScopedProfileString&) = delete;

private:
    std::string section_, key_, old_;
    bool had_ = false;
};

// Points ".htm" at the class className, whose shell\open\command is command
// (no command key for nullptr), and puts the old association back: the class
// key is deleted, the default value of ".htm" restored.
class ScopedHtmAssociation {
public:
    ScopedHtmAssociation(const std::string& className, const char* command);
    ~ScopedHtmAssociation();
    ScopedHtmAssociation(const ScopedHtmAssociation&) = delete;
    ScopedHtmAssociation& operator=(const ScopedHtmAssociation&) = delete;

private:
    std::string className_;
    std::string old_;
    bool keyExisted_ = false;
    bool had_ = false;
};

// Gives the class className the shell\open\command command and deletes the
// class again; Ok() tells whether it was written.
class ScopedOpenCommand {
public:
    ScopedOpenCommand(const std::string& className, const std::string& command);
    ~ScopedOpenCommand();
    ScopedOpenCommand(const ScopedOpenCommand&) = delete;
    ScopedOpenCommand& operator=(const ScopedOpenCommand&) = delete;
    bool Ok() const { return ok_; }

private:
    std::string className_;
    bool ok_ = false;
};

// Sets (for an empty progId: removes) the value "ProgId" of a key under
// HKEY_CURRENT_USER, where Windows' settings keep the user's choice of an
// application, and puts the old value back.
class ScopedUserChoice {
public:
    ScopedUserChoice(const std::string& key, const std::string& progId);
    ~ScopedUserChoice();
    ScopedUserChoice(const ScopedUserChoice&) = delete;
    ScopedUserChoice& operator=(const ScopedUserChoice&) = delete;
    bool Ok() const { return ok_; }

private:
    std::string key_;
    std::string old_;
    bool had_ = false;
    bool ok_ = false;
};

// Denies Everyone the given rights on an existing key, as a standard user
// finds the machine's keys, and puts the key's old access list back.
class ScopedDeniedKey {
public:
    ScopedDeniedKey(HKEY root, const std::string& subkey, DWORD deniedRights);
    ~ScopedDeniedKey();
    ScopedDeniedKey(const ScopedDeniedKey&) = delete;
    ScopedDeniedKey& operator=(const ScopedDeniedKey&) = delete;
    bool Ok() const { return ok_; }

private:
    UniqueHkey key_;
    PSECURITY_DESCRIPTOR old_ = nullptr;
    PACL oldDacl_ = nullptr;  // inside old_
    bool ok_ = false;
};

// The scheduler's record as the user's own classes hold it
// (HKCU\Software\Classes\Vorlane\Scheduler); Read is false when a value is missing.
bool UserRecordExists();
bool ReadUserRecord(DWORD& state, double& startupDate);
void WriteUserRecord(DWORD state, double startupDate);  // fails the test when it cannot
void DeleteUserRecord();

// The log lines of a stand-in browser, without line ends.
std::vector<std::string> LogLines(const std::string& logPath);
// Waits (up to timeoutMs, pumping messages) until the log holds the line.
bool WaitForLogLine(const std::string& logPath, const std::string& line, DWORD timeoutMs = 20000);

// A stand-in browser in a process of its own, ended with WM_CLOSE when the object goes.
class StandinBrowser {
public:
    // mode: normal, refuse, late, nonul or disconnect; exe: which copy to run.
    StandinBrowser(const std::string& mode, const std::string& logPath,
                   const std::string& exe = StandinBrowserPath());
    ~StandinBrowser();
    StandinBrowser(const StandinBrowser&) = delete;
    StandinBrowser& operator=(const StandinBrowser&) = delete;
    // True once it serves its DDE name.
    bool Started() const { return ready_; }

private:
    UniqueHandle process_;
    bool ready_ = false;
};

// Ends every stand-in browser of this prefix, also those that a test's code started.
void StopAllStandinBrowsers();

struct WinExecCall {
    std::string commandLine;
    UINT show;
};

// Puts a recorder in place of WinExec for its lifetime. With passThrough the
// real WinExec runs as well and its result is returned; otherwise result is.
class WinExecRecorder {
public:
    explicit WinExecRecorder(bool passThrough = false, UINT result = ERROR_FILE_NOT_FOUND);
    ~WinExecRecorder();
    WinExecRecorder(const WinExecRecorder&) = delete;
    WinExecRecorder& operator=(const WinExecRecorder&) = delete;
    const std::vector<WinExecCall>& Calls() const;
};

}  // namespace vrln::test
