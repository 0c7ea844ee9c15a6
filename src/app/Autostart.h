// The program's entry in the autostart list: the machine's, or the user's
// when the machine's may not be written.
#pragma once

#include <string>

namespace vrln {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kAutostartValue = "Plandrel";

// Writes the value under HKLM's Run key (opened, never created); when that
// cannot be opened for writing (a standard user's rights), under HKCU's Run
// key. A path with blanks is stored in double quotes, or Windows could start
// C:\Program.exe. True when one of the keys was opened for writing.
bool RegisterAutostart(const std::string& valueName, const std::string& path);
// Deletes the value from both keys where they may be written; true when one was opened.
bool UnregisterAutostart(const std::string& valueName);

}  // namespace vrln
