#pragma once
// Counts frames over periods of one second of the steady clock; `fps` holds
// the count of the last completed period.

#include <atomic>
#include <cstdint>

class Interval {
public:
    Interval();
    virtual ~Interval();

    /// Counts one frame; when more than a second has passed since the period
    /// began, publishes the count in `fps` and starts a new period.
    void tick();
    /// Same, with an explicit clock reading (nanoseconds of the steady clock).
    void tick(int64_t nowNs);

    static int64_t nowNs();

    /// Read by other threads, written by the counting one.
    std::atomic<int> fps{0};
    int frameCount = 0;
    int64_t periodStart = 0;
};
