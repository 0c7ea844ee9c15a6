#include "app/Settings.h"

#include "win/AnsiFiles.h"

#include <windows.h>

namespace vrln {

std::string ReadWorkPath() {
    char buffer[256] = {};
    const DWORD length = ::GetProfileStringA("VORLANE", "WORKPATH", "", buffer, 255);
    return std::string(buffer, length);
}

std::string ReadIniBrowser() {
    const std::string workPath = ReadWorkPath();
    if (workPath.empty()) return {};
    const std::string iniFile = workPath + "Vorlane.ini";
    if (!FileExists(iniFile)) return {};
    char buffer[1024] = {};
    const DWORD length =
        ::GetPrivateProfileStringA("Browser", "ExeName", "", buffer, sizeof buffer, iniFile.c_str());
    return std::string(buffer, length);
}

}  // namespace vrln
