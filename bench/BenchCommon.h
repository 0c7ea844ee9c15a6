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
