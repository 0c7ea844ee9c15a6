// Helpers for tests that run real programs under Wine: where the build's
// programs lie, scratch folders, starting and ending processes, reading logs.
#pragma once

#include "win/Handles.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vrln::test {

// The folder of the running test program, with its trailing backslash; the
// product and the stand-ins lie there too.
std::string BinDir();
// A new empty folder under the system's temporary folder, with a trailing backslash.
std::string NewScratchDir(const std::string& hint);
bool CopyInto(const std::string& fromPath, const std::string& toPath);
std::string ReadWholeFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

struct Process {
    UniqueHandle handle;
    DWORD id = 0;
};
// Starts a command line; the child inherits this process's environment. A
// program that cannot be started fails the running test.
Process Start(const std::string& commandLine, const std::string& currentDir = "");
// The hidden window of a started VrlnSchd.exe once it answers a sent message,
// which it does only after its creation has loaded the state; null (and the
// running test fails) when that does not happen in time.
HWND WaitUntilReady(const Process& process, DWORD timeoutMs);
// Waits up to timeoutMs; returns the exit code, or STILL_ACTIVE when it still runs.
DWORD WaitExit(const Process& process, DWORD timeoutMs);
void Kill(Process& process);

// Polls a condition every 20 ms up to timeoutMs; true when it held.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);
// Dispatches this thread's messages (WM_QUIT is dropped) until the condition
// holds or time runs out; true when it held.
bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs);
void PumpFor(DWORD ms);
// A top-level window of the given class that belongs to the process, or null.
HWND FindProcessWindow(DWORD processId, const char* className);
bool MutexExists(const std::string& name);

void SetEnv(const char* name, const std::string& value);
void ClearEnv(const char* name);

// The registry record that the scheduler shares with the main application.
void DeleteSchedulerKey();
// The record under HKEY_CLASSES_ROOT, or under another key (the user's classes).
bool ReadSchedulerValues(DWORD& state, double& startupDate, HKEY root = HKEY_CLASSES_ROOT,
                         const char* subkey = "Vorlane\\Scheduler");
// State and startup date as one value, or nullopt, so that one check compares the record.
std::optional<std::pair<DWORD, double>> ReadRecord(HKEY root = HKEY_CLASSES_ROOT,
                                                   const char* subkey = "Vorlane\\Scheduler");
// Fails the running test when the record cannot be written.
void WriteSchedulerValues(DWORD state, double startupDate, HKEY root = HKEY_CLASSES_ROOT,
                          const char* subkey = "Vorlane\\Scheduler");
// A launch moment from its calendar fields.
double Moment(int year, int month, int day, int hour, int minute, int second);

}  // namespace vrln::test
