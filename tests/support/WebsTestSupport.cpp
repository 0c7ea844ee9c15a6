#include "WebsTestSupport.h"

#include "TestSupport.h"

#include "sched/ThreadWakeUp.h"
#include "win/Handles.h"
#include "win/Platform.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace vrln::test {

namespace {

constexpr const char* kStandinWindowClass = "VrlnStandinBrowser";

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found{};
    UniqueFind search(::FindFirstFileA((dir + "*").c_str(), &found));
    if (search) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = dir + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path + "\\");
            } else {
                ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(path.c_str());
            }
        } while (::FindNextFileA(search.get(), &found));
    }
    ::RemoveDirectoryA(dir.c_str());
}

struct StandinWindows {
    DWORD processId;  // 0: any
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectStandin(HWND window, LPARAM param) {
    auto* found = reinterpret_cast<StandinWindows*>(param);
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    if (std::string(name) != kStandinWindowClass) return TRUE;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (found->processId == 0 || found->processId == pid) found->windows.push_back(window);
    return TRUE;
}

// Asks the process to close and waits for it; ends it by force when it does not.
void EndProcess(HANDLE process, HWND window) {
    if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
    // Generous: a late stand-in sits in its reply for 12 s before it sees WM_CLOSE.
    if (::WaitForSingleObject(process, 20000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 5000);
    }
}

std::vector<WinExecCall> g_calls;
bool g_passThrough = false;
UINT g_result = 0;
decltype(PlatformCalls::WinExec) g_realWinExec = nullptr;

UINT WINAPI RecordWinExec(LPCSTR commandLine, UINT show) {
    g_calls.push_back({commandLine ? commandLine : "", show});
    return g_passThrough ? g_realWinExec(commandLine, show) : g_result;
}

}  // namespace

std::string ProgramDir() { return BinDir(); }

std::string StandinBrowserPath() { return ProgramDir() + "browse.exe"; }

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH] = {};
    ::GetTempPathA(sizeof temp, temp);
    char name[64];
    std::snprintf(name, sizeof name, "vrln-%lu-%d\\", ::GetCurrentProcessId(), counter++);
    path_ = std::string(temp) + name;
    RemoveTree(path_);
    ::CreateDirectoryA(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string TempDir::Make(const std::string& relative) const {
    std::size_t pos = 0;
    while ((pos = relative.find('\\', pos)) != std::string::npos) {
        ::CreateDirectoryA((path_ + relative.substr(0, pos)).c_str(), nullptr);
        ++pos;
    }
    return path_ + relative;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    if (!WriteWholeFile(path, bytes)) ADD_FAILURE() << "could not write " << path;
}

std::string WebHead(const std::string& title) {
    return std::string("\x01X\x01\x00", 4) + static_cast<char>(title.size()) + title;
}

std::string ReadBytes(const std::string& path) { return ReadWholeFile(path); }

std::string ShortPathOf(const std::string& path) {
    char buffer[MAX_PATH] = {};
    const DWORD n = ::GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
    return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : std::string();
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    char buffer[4096];
    const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    had_ = n > 0 && n < sizeof buffer;
    if (had_) old_.assign(buffer, n);
    ::SetEnvironmentVariableA(name, value.c_str());
}

ScopedEnv::~ScopedEnv() { ::SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : nullptr); }

ScopedProfileString::ScopedProfileString(const char* section, const char* key, const char* value)
    : section_(section), key_(key) {
    char buffer[1024] = {};
    const DWORD n = ::GetProfileStringA(section, key, "\x01", buffer, sizeof buffer);
    had_ = !(n == 1 && buffer[0] == '\x01');
    if (had_) old_.assign(buffer, n);
    if (!::WriteProfileStringA(section, key, value)) ADD_FAILURE() << "could not set " << section << "/" << key;
}

ScopedProfileString::~ScopedProfileString() {
    ::WriteProfileStringA(section_.c_str(), key_.c_str(), had_ ? old_.c_str() : nullptr);
}

ScopedHtmAssociation::ScopedHtmAssociation(const std::string& className, const char* command)
    : className_(className) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, ".htm", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        keyExisted_ = true;
        char buffer[1024] = {};
        DWORD size = sizeof buffer - 1;
        DWORD type = 0;
        had_ = ::RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
               ERROR_SUCCESS;
        if (had_) old_ = buffer;
        ::RegCloseKey(key);
    }
    ::RegSetValueA(HKEY_CLASSES_ROOT, ".htm", REG_SZ, className.c_str(), static_cast<DWORD>(className.size()));
    // Step by step: Wine's RegSetValueA refuses a subkey path of more than 255 characters.
    HKEY classKey = nullptr;
    if (::RegCreateKeyA(HKEY_CLASSES_ROOT, className.c_str(), &classKey) != ERROR_SUCCESS) {
        ADD_FAILURE() << "could not create the class " << className;
        return;
    }
    HKEY openKey = nullptr;
    if (::RegCreateKeyA(classKey, command ? "shell\\open\\command" : "shell\\open", &openKey) == ERROR_SUCCESS) {
        if (command) {
            ::RegSetValueExA(openKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                             static_cast<DWORD>(std::strlen(command) + 1));
        }
        ::RegCloseKey(openKey);
    }
    ::RegCloseKey(classKey);
}

ScopedHtmAssociation::~ScopedHtmAssociation() {
    ::RegDeleteTreeA(HKEY_CLASSES_ROOT, className_.c_str());
    ::RegDeleteKeyA(HKEY_CLASSES_ROOT, className_.c_str());
    if (!keyExisted_) {
        ::RegDeleteKeyA(HKEY_CLASSES_ROOT, ".htm");
        return;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, ".htm", 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (had_) {
        ::RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                         static_cast<DWORD>(old_.size() + 1));
    } else {
        ::RegDeleteValueA(key, nullptr);
    }
    ::RegCloseKey(key);
}

ScopedOpenCommand::ScopedOpenCommand(const std::string& className, const std::string& command)
    : className_(className) {
    UniqueHkey key;
    ok_ = ::RegCreateKeyExA(HKEY_CLASSES_ROOT, (className + "\\shell\\open\\command").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
          ::RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                           static_cast<DWORD>(command.size() + 1)) == ERROR_SUCCESS;
}

ScopedOpenCommand::~ScopedOpenCommand() { ::RegDeleteTreeA(HKEY_CLASSES_ROOT, className_.c_str()); }

ScopedUserChoice::ScopedUserChoice(const std::string& key, const std::string& progId) : key_(key) {
    UniqueHkey opened;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                          opened.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    had_ = ::RegQueryValueExA(opened.get(), "ProgId", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
           ERROR_SUCCESS;
    if (had_) old_ = buffer;
    if (progId.empty()) {
        const LONG deleted = ::RegDeleteValueA(opened.get(), "ProgId");
        ok_ = deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
    } else {
        ok_ = ::RegSetValueExA(opened.get(), "ProgId", 0, REG_SZ, reinterpret_cast<const BYTE*>(progId.c_str()),
                               static_cast<DWORD>(progId.size() + 1)) == ERROR_SUCCESS;
    }
}

ScopedUserChoice::~ScopedUserChoice() {
    UniqueHkey opened;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_SET_VALUE, opened.put()) != ERROR_SUCCESS) return;
    if (had_) {
        ::RegSetValueExA(opened.get(), "ProgId", 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                         static_cast<DWORD>(old_.size() + 1));
    } else {
        ::RegDeleteValueA(opened.get(), "ProgId");
    }
}

ScopedDeniedKey::ScopedDeniedKey(HKEY root, const std::string& subkey, DWORD deniedRights) {
    if (::RegOpenKeyExA(root, subkey.c_str(), 0, READ_CONTROL | WRITE_DAC, key_.put()) != ERROR_SUCCESS) return;
    if (::GetSecurityInfo(key_.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldDacl_,
                          nullptr, &old_) != ERROR_SUCCESS) {
        return;
    }
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return;
    EXPLICIT_ACCESSA deny{};
    deny.grfAccessPermissions = deniedRights;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = NO_INHERITANCE;
    deny.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    deny.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL denied = nullptr;
    ok_ = ::SetEntriesInAclA(1, &deny, oldDacl_, &denied) == ERROR_SUCCESS &&
          ::SetSecurityInfo(key_.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, denied,
                            nullptr) == ERROR_SUCCESS;
    ::LocalFree(denied);
    ::FreeSid(everyone);
}

ScopedDeniedKey::~ScopedDeniedKey() {
    if (ok_) {
        ::SetSecurityInfo(key_.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, oldDacl_,
                          nullptr);
    }
    ::LocalFree(old_);
}

bool UserRecordExists() {
    UniqueHkey key;
    return ::RegOpenKeyExA(HKEY_CURRENT_USER, kUserSchedulerKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

bool ReadUserRecord(DWORD& state, double& startupDate) {
    return ReadSchedulerValues(state, startupDate, HKEY_CURRENT_USER, kUserSchedulerKey);
}

void WriteUserRecord(DWORD state, double startupDate) {
    WriteSchedulerValues(state, startupDate, HKEY_CURRENT_USER, kUserSchedulerKey);
}

void DeleteUserRecord() { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Classes\\Vorlane"); }

std::vector<std::string> LogLines(const std::string& logPath) {
    std::vector<std::string> lines;
    const std::string text = ReadBytes(logPath);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool WaitForLogLine(const std::string& logPath, const std::string& line, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const auto lines = LogLines(logPath);
        if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        PumpFor(50);
    }
}

StandinBrowser::StandinBrowser(const std::string& mode, const std::string& logPath, const std::string& exe) {
    ScopedEnv modeEnv("STANDIN_BROWSER_MODE", mode);
    ScopedEnv logEnv("STANDIN_BROWSER_LOG", logPath);
    ScopedEnv lifetimeEnv("STANDIN_BROWSER_LIFETIME", "120");
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info)) {
        ADD_FAILURE() << "could not start the stand-in browser " << exe;
        return;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    // Its window comes after its service is registered. Waiting for input idle
    // is not enough: in a Japanese locale Wine's start-up waits for input earlier.
    ready_ = WaitFor(
        [&] {
            StandinWindows found{info.dwProcessId, {}};
            ::EnumWindows(CollectStandin, reinterpret_cast<LPARAM>(&found));
            return !found.windows.empty();
        },
        30000);
}

StandinBrowser::~StandinBrowser() {
    if (!process_) return;
    StandinWindows found{::GetProcessId(process_.get()), {}};
    ::EnumWindows(CollectStandin, reinterpret_cast<LPARAM>(&found));
    EndProcess(process_.get(), found.windows.empty() ? nullptr : found.windows.front());
}

void StopAllStandinBrowsers() {
    StandinWindows found{0, {}};
    ::EnumWindows(CollectStandin, reinterpret_cast<LPARAM>(&found));
    for (HWND window : found.windows) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
        if (!process) continue;
        EndProcess(process.get(), window);
    }
}

WinExecRecorder::WinExecRecorder(bool passThrough, UINT result) {
    g_calls.clear();
    g_passThrough = passThrough;
    g_result = result;
    g_realWinExec = Platform().WinExec;
    Platform().WinExec = RecordWinExec;
}

WinExecRecorder::~WinExecRecorder() { Platform().WinExec = g_realWinExec; }

const std::vector<WinExecCall>& WinExecRecorder::Calls() const { return g_calls; }

}  // namespace vrln::test
