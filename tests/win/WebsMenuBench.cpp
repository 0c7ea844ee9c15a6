// How long one opening of the tray menu spends on the "&Local webs" submenu:
// FillWebsMenu with 1, 100 and 1,000 local webs, median of several runs.
// Prints one line per size; not a test.
#include "app/LocalWebs.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 9;

std::string Str(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

void WriteBytes(const std::string& path, const std::string& bytes) {
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main() {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(sizeof temp, temp);
    const std::string root = std::string(temp) + "vrln-webs-bench-" + std::to_string(::GetCurrentProcessId()) + "\\";
    ::CreateDirectoryA(root.c_str(), nullptr);

    char oldWorkPath[256] = {};
    const DWORD oldLength = ::GetProfileStringA("VORLANE", "WORKPATH", "\x01", oldWorkPath, sizeof oldWorkPath);
    const bool hadWorkPath = !(oldLength == 1 && oldWorkPath[0] == '\x01');
    ::WriteProfileStringA("VORLANE", "WORKPATH", root.c_str());

    // Each web in a folder of its own, as the main application keeps them; version 512 heads.
    std::vector<std::string> files;
    for (int n = 0; n < 1000; ++n) {
        const std::string dir = root + "Web " + std::to_string(n) + "\\";
        ::CreateDirectoryA(dir.c_str(), nullptr);
        const std::string file = dir + "site.vrl";
        WriteBytes(file, Str("http://www.example.com/" + std::to_string(n) + "/") + std::string("\x00\x02", 2) +
                             Str("second string") + Str("The web site number " + std::to_string(n)) +
                             std::string(4096, 'x'));
        files.push_back(file);
    }
    // Stored well before the menu opens, as a user's webs are: titles read within
    // a few seconds of a web's last write are read again at the next opening.
    ::Sleep(4000);

    std::printf("FillWebsMenu, median of %d runs\n", kRuns);
    for (const int count : {1, 100, 1000}) {
        std::string websDat;
        for (int n = 0; n < count; ++n) websDat += files[n] + "\r\n";
        WriteBytes(root + "webs.dat", websDat);
        std::vector<double> times;
        for (int run = 0; run < kRuns; ++run) {
            const HMENU menu = ::CreatePopupMenu();
            std::vector<std::string> webs;
            const double start = NowMs();
            const int items = vrln::FillWebsMenu(menu, webs);
            times.push_back(NowMs() - start);
            ::DestroyMenu(menu);
            if (items != count) std::printf("  unexpected item count %d\n", items);
        }
        const double first = times[0];
        std::sort(times.begin(), times.end());
        std::printf("%5d webs: %8.2f ms (min %.2f, max %.2f, first opening with this list %.2f)\n", count,
                    times[kRuns / 2], times.front(), times.back(), first);
    }

    ::WriteProfileStringA("VORLANE", "WORKPATH", hadWorkPath ? oldWorkPath : nullptr);
    for (const auto& file : files) {
        ::DeleteFileA(file.c_str());
        ::RemoveDirectoryA(file.substr(0, file.rfind('\\')).c_str());
    }
    ::DeleteFileA((root + "webs.dat").c_str());
    ::RemoveDirectoryA(root.c_str());
    return 0;
}
