// The program's entry in the machine's autostart list.
#pragma once

#include <string>

namespace vrln {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kAutostartValue = "Plandrel";

// Writes the value under HKLM's Run key (opened, never created). A path with
// blanks is stored in double quotes, or Windows could start C:\Program.exe.
// True when the key was opened for writing.
bool RegisterAutostart(const std::string& valueName, const std::string& path);
// Deletes the value; true when the key was opened.
bool UnregisterAutostart(const std::string& valueName);

}  // namespace vrln
