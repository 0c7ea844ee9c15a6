#include "TestSupport.h"

#include "core/DateTime.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vrln::test {

std::string BinDir() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

std::string NewScratchDir(const std::string& hint) {
    char temp[MAX_PATH];
    ::GetTempPathA(sizeof temp, temp);
    static unsigned counter = 0;
    for (;;) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%svrln-%s-%lu-%u", temp, hint.c_str(), ::GetCurrentProcessId(), ++counter);
        if (::CreateDirectoryA(name, nullptr)) return std::string(name) + "\\";
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
    }
}

bool CopyInto(const std::string& fromPath, const std::string& toPath) {
    return ::CopyFileA(fromPath.c_str(), toPath.c_str(), FALSE) != 0;
}

std::string ReadWholeFile(const std::string& path) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = ReadWholeFile(path);
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

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

Process Start(const std::string& commandLine, const std::string& currentDir) {
    Process process;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string mutableLine = commandLine;
    if (::CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &info)) {
        ::CloseHandle(info.hThread);
        process.handle.reset(info.hProcess);
        process.id = info.dwProcessId;
    } else {
        ADD_FAILURE() << "could not start " << commandLine << " (error " << ::GetLastError() << ")";
    }
    return process;
}

HWND WaitUntilReady(const Process& process, DWORD timeoutMs) {
    HWND wnd = nullptr;
    DWORD_PTR result = 0;
    const bool ready = WaitFor([&] { return (wnd = FindProcessWindow(process.id, "TPlandrel")) != nullptr; },
                               timeoutMs) &&
                       ::SendMessageTimeoutA(wnd, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
    if (!ready) {
        ADD_FAILURE() << "the program's window did not answer within " << timeoutMs << " ms";
        return nullptr;
    }
    return wnd;
}

DWORD WaitExit(const Process& process, DWORD timeoutMs) {
    if (!process.handle) return STILL_ACTIVE;
    if (::WaitForSingleObject(process.handle.get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process.handle.get(), &code);
    return code;
}

void Kill(Process& process) {
    if (process.handle && ::WaitForSingleObject(process.handle.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process.handle.get(), 99);
        ::WaitForSingleObject(process.handle.get(), 10000);
    }
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(20);
    }
}

bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        if (condition()) return true;
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}
void PumpFor(DWORD ms) { PumpUntil([] { return false; }, ms); }

namespace {
struct WindowSearch {
    DWORD processId;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND wnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(wnd, &owner);
    char name[64] = {};
    ::GetClassNameA(wnd, name, sizeof name);
    if (owner == search->processId && std::string(name) == search->className) {
        search->found = wnd;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND FindProcessWindow(DWORD processId, const char* className) {
    WindowSearch search{processId, className, nullptr};
    ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool MutexExists(const std::string& name) {
    UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    return mutex.valid();
}

void SetEnv(const char* name, const std::string& value) { ::SetEnvironmentVariableA(name, value.c_str()); }
void ClearEnv(const char* name) { ::SetEnvironmentVariableA(name, nullptr); }

void DeleteSchedulerKey() { ::RegDeleteKeyA(HKEY_CLASSES_ROOT, "Vorlane\\Scheduler"); }

bool ReadSchedulerValues(DWORD& state, double& startupDate, HKEY root, const char* subkey) {
    UniqueHkey key;
    if (::RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof state;
    if (::RegQueryValueExA(key.get(), "State", nullptr, nullptr, reinterpret_cast<BYTE*>(&state), &size) !=
        ERROR_SUCCESS)
        return false;
    size = sizeof startupDate;
    return ::RegQueryValueExA(key.get(), "Startup date", nullptr, nullptr, reinterpret_cast<BYTE*>(&startupDate),
                              &size) == ERROR_SUCCESS;
}

std::optional<std::pair<DWORD, double>> ReadRecord(HKEY root, const char* subkey) {
    DWORD state = 0;
    double date = 0;
    if (!ReadSchedulerValues(state, date, root, subkey)) return std::nullopt;
    return std::make_pair(state, date);
}

void WriteSchedulerValues(DWORD state, double startupDate, HKEY root, const char* subkey) {
    UniqueHkey key;
    const bool written =
        ::RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
        ::RegSetValueExA(key.get(), "State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&state), sizeof state) ==
            ERROR_SUCCESS &&
        ::RegSetValueExA(key.get(), "Startup date", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&startupDate),
                         sizeof startupDate) == ERROR_SUCCESS;
    if (!written) ADD_FAILURE() << "could not write the scheduler's registry record";
}

double Moment(int year, int month, int day, int hour, int minute, int second) {
    core::DateTimeParts parts;
    parts.year = year;
    parts.month = month;
    parts.day = day;
    parts.hour = hour;
    parts.minute = minute;
    parts.second = second;
    return core::EncodeDateTime(parts);
}

}  // namespace vrln::test
