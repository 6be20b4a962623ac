#include "capture/Interval.h"

#include <chrono>

Interval::Interval() : periodStart(nowNs()) {}

Interval::~Interval() = default;

int64_t Interval::nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Interval::tick() {
    tick(nowNs());
}

void Interval::tick(int64_t now) {
    ++frameCount;
    if (now - periodStart > 1000000000LL) {
        fps.store(frameCount);
        frameCount = 0;
        periodStart = now;
    }
}
