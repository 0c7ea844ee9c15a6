// Shared by the benchmark programs: a millisecond clock, figures of a series,
// one printed line per figure, and a deterministic spread of waits so that a
// series does not stay in step with the scheduler's cycle.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrln::bench {

inline double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Figures {
    std::size_t count = 0;
    double best = 0;
    double median = 0;
    double worst = 0;
};

inline Figures Summarise(std::vector<double> values) {
    Figures f;
    f.count = values.size();
    if (values.empty()) return f;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    f.best = values.front();
    f.worst = values.back();
    f.median = (n % 2) ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return f;
}

// One line run.sh and the reader can both take apart:
// "RESULT <name> n=<count> median=<ms> worst=<ms> best=<ms>".
inline void PrintFigures(const char* name, const std::vector<double>& values) {
    const Figures f = Summarise(values);
    std::printf("RESULT %-28s n=%-3u median=%9.2f ms  worst=%9.2f ms  best=%9.2f ms\n", name,
                static_cast<unsigned>(f.count), f.median, f.worst, f.best);
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    std::printf("       values:");
    for (const double v : sorted) std::printf(" %.0f", v);
    std::printf("\n");
    std::fflush(stdout);
}

inline void PrintValue(const char* name, const std::string& value) {
    std::printf("RESULT %-28s %s\n", name, value.c_str());
    std::fflush(stdout);
}

// The local webs as the main application keeps them, for the menu benchmarks:
// count webs under root, each in a folder of its own ("Web <n>") with a
// version-512 head and 4 KiB of body; returns the web files' paths.
inline std::vector<std::string> MakeSampleWebs(const std::string& root, int count) {
    const auto str = [](const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; };
    std::vector<std::string> files;
    for (int n = 0; n < count; ++n) {
        const std::string dir = root + "Web " + std::to_string(n) + "\\";
        ::CreateDirectoryA(dir.c_str(), nullptr);
        const std::string file = dir + "site.vrl";
        const std::string bytes = str("http://www.example.com/" + std::to_string(n) + "/") + std::string("\x00\x02", 2) +
                                  str("second string") + str("The web site number " + std::to_string(n)) +
                                  std::string(4096, 'x');
        const HANDLE handle =
            ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(handle);
        files.push_back(file);
    }
    return files;
}

// Removes what MakeSampleWebs made, and webs.dat beside them.
inline void RemoveSampleWebs(const std::string& root, const std::vector<std::string>& files) {
    for (const auto& file : files) {
        ::DeleteFileA(file.c_str());
        ::RemoveDirectoryA(file.substr(0, file.rfind('\\')).c_str());
    }
    ::DeleteFileA((root + "webs.dat").c_str());
    ::RemoveDirectoryA(root.c_str());
}

// The main application's work path in win.ini for the benchmark's lifetime.
class ScopedWorkPath {
public:
    explicit ScopedWorkPath(const std::string& path) {
        char old[256] = {};
        const DWORD length = ::GetProfileStringA("VORLANE", "WORKPATH", "\x01", old, sizeof old);
        had_ = !(length == 1 && old[0] == '\x01');
        old_.assign(old, length);
        ::WriteProfileStringA("VORLANE", "WORKPATH", path.c_str());
    }
    ~ScopedWorkPath() { ::WriteProfileStringA("VORLANE", "WORKPATH", had_ ? old_.c_str() : nullptr); }
    ScopedWorkPath(const ScopedWorkPath&) = delete;
    ScopedWorkPath& operator=(const ScopedWorkPath&) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// Waits in [0, rangeMs) that cover the range evenly over a series (golden-ratio
// steps), the same on every run.
class Spread {
public:
    explicit Spread(double rangeMs) : range_(rangeMs) {}
    DWORD Next() {
        phase_ += 0.6180339887498949;
        phase_ -= static_cast<int>(phase_);
        return static_cast<DWORD>(phase_ * range_);
    }

private:
    double range_;
    double phase_ = 0;
};

}  // namespace vrln::bench
