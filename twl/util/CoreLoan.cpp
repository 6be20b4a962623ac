#include "twl/util/CoreLoan.h"

#include <algorithm>
#include <thread>

#include <sched.h>

namespace twl {

std::atomic<int> CoreLoan::lent_{0};

int CoreLoan::coresToRunOn() {
    static const int cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
        return std::max(1, int(std::thread::hardware_concurrency()));
    }();
    return cores;
}

} // namespace twl
