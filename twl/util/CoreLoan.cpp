#include "twl/util/CoreLoan.h"

#include <algorithm>
#include <thread>

#include <sched.h>
#include <unistd.h>

namespace twl {

std::atomic<int> CoreLoan::lent_{0};

int CoreLoan::coresToRunOn() {
    static const int cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        // The main thread's: worker threads may be kept off one of them.
        if (sched_getaffinity(::getpid(), sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
        return std::max(1, int(std::thread::hardware_concurrency()));
    }();
    return cores;
}

} // namespace twl
