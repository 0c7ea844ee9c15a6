#include "sched/MainApp.h"

#include "core/Browser.h"
#include "core/Paths.h"
#include "win/Handles.h"
#include "win/Platform.h"

namespace vrln {

namespace {
constexpr const char* kMainAppFileName = "VRLN98.EXE";
constexpr const char* kMainAppName = "Vorlane 98";
}  // namespace

std::string OwnExePath() {
    char buffer[256];
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    // A longer path is cut, and older systems then leave the buffer without its NUL.
    return std::string(buffer, n < 256 ? n : 255);
}

std::string MutexNameFor(const std::string& programName) {
    std::string name = core::InstanceMutexBaseName(programName);
    if (!name.empty()) ::CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

std::string MainAppMutexName() { return MutexNameFor(kMainAppName); }

bool MainAppNotRunning() {
    const std::string name = MainAppMutexName();
    UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    return !mutex && ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string MainAppPath() { return core::DirectoryPart(OwnExePath(), ::IsDBCSLeadByte) + kMainAppFileName; }

std::string StartCommandLine(const std::string& path) { return core::QuoteIfBlank(path); }

bool StartCommand(const char* commandLine, UINT showCommand, UINT* result) {
    const UINT started = Platform().WinExec(commandLine, showCommand);
    if (result) *result = started;
    return started > 31;
}

bool StartProgram(const std::string& path, UINT showCommand, UINT* result) {
    return StartCommand(StartCommandLine(path).c_str(), showCommand, result);
}

}  // namespace vrln
