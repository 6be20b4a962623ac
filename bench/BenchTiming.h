#pragma once
// Clocks and figures shared by the benchmark families. On a shared machine
// CPU time (all threads of the process) is the steadier figure: unlike wall
// time it does not grow when other programs take the cores, and the load
// average printed beside it says how busy the machine was.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

inline double threadCpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// The same code runs at very different speeds on different cores (the
// matcher's kernels most of all), so every run says what it ran on.
inline std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 10, "model name") == 0) {
            const size_t colon = line.find(':');
            std::string model = colon == std::string::npos ? std::string() : line.substr(colon + 1);
            model.erase(0, std::min(model.size(), model.find_first_not_of(' ')));
            std::string quoted;
            for (const char c : model)
                if (c != '"' && c != '\\' && c >= ' ') quoted += c;
            return quoted;
        }
    return "unknown";
}

inline double loadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = 0;
    in >> one;
    return one;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

/// What the timestamps of a stream at `fps` say about the frames taken from it.
struct StreamFigures {
    long expected = 0;       // frame times from the first timestamp to the last
    long lost = 0;           // expected - taken: frames that never reached the taker
    double largestGapMs = 0; // between successive timestamps
};

inline StreamFigures streamFigures(const std::vector<uint64_t> &stamps, double fps) {
    StreamFigures f;
    if (stamps.empty()) return f;
    for (size_t i = 1; i < stamps.size(); ++i)
        f.largestGapMs = std::max(f.largestGapMs, double(stamps[i] - stamps[i - 1]) / 1e6);
    f.expected = std::lround(double(stamps.back() - stamps.front()) / (1e9 / fps)) + 1;
    f.lost = f.expected - long(stamps.size());
    return f;
}

} // namespace bench
