// The main application as this program finds, tests and starts it: by its
// presence mutex and by its file beside this program's own.
#pragma once

#include <windows.h>

#include <string>

namespace vrln {

// "APPLICATION-" + name, backslashes made underscores, upper-cased by the
// locale's ANSI rule, so that every copy on the machine builds the same name.
std::string MutexNameFor(const std::string& programName);

std::string MainAppMutexName();
// True when the main application's presence mutex does not exist. The test
// creates nothing: a mutex made here for a moment would make a main
// application starting at that instant believe another copy runs, and quit.
// A mutex that exists but may not be opened (another user's, an elevated
// copy's) means running.
bool MainAppNotRunning();
// VRLN98.EXE in this program's own directory.
std::string MainAppPath();
// Starts the program at the path; a path with blanks is quoted so that the
// platform cannot pick C:\Program.exe for C:\Program Files\... . True when it
// started; result, when given, receives what WinExec returned.
bool StartProgram(const std::string& path, UINT showCommand, UINT* result = nullptr);
// The two halves of StartProgram, for a caller that must not fail between
// deciding to start and starting: the second allocates nothing.
std::string StartCommandLine(const std::string& path);
bool StartCommand(const char* commandLine, UINT showCommand, UINT* result);

// The program's own full file path, at most 255 characters.
std::string OwnExePath();

}  // namespace vrln
