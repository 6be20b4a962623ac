#include "capture/Interval.h"

#include "twl/util/SteadyClock.h"

Interval::Interval() : periodStart(nowNs()) {}

Interval::~Interval() = default;

int64_t Interval::nowNs() {
    return twl::steadyNowNs();
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
