#pragma once
// A core lent to work that runs beside a caller's loops and that the caller
// will soon wait for: a camera's decode of the next frame. Where that leaves
// the loops fewer than two cores, parallelFor runs them on the calling thread
// while the loan lasts, and the decode has the other core to itself.
//
// On two cores a loop split in two while the decode runs makes three threads
// for two cores. The decode runs at a lower priority, so that it does not
// stretch one of the matcher's bands while the other waits, and got little
// of them; it finished late, and the caller then waited for it with a core
// idle. With an MJPG camera at HD1080 through ULTRA, in four pairs of runs
// (vantaro-bench input), the process kept 1.81 to 1.83 of the two cores busy
// and lost 17 to 38 of 300 frames without loans, 1.84 to 1.85 and 12 to 28
// with them, fewer in each pair. The matcher keeps both of its threads (its
// two bands meet and each waits for the other), but gives the caller's the
// larger band while a core is lent.

#include <atomic>

namespace twl {

class CoreLoan {
public:
    CoreLoan() { lent_.fetch_add(1, std::memory_order_relaxed); }
    ~CoreLoan() { lent_.fetch_sub(1, std::memory_order_relaxed); }
    CoreLoan(const CoreLoan &) = delete;
    CoreLoan &operator=(const CoreLoan &) = delete;

    /// Cores lent now.
    static int lent() { return lent_.load(std::memory_order_relaxed); }
    /// Whether loops should run on their calling thread alone: the loans
    /// leave them fewer than two of `cores`.
    static bool loopsAlone(int cores = coresToRunOn()) {
        const int out = lent();
        return out > 0 && cores - out < 2;
    }
    /// The cores this process may run on (its main thread's affinity), read once.
    static int coresToRunOn();

private:
    static std::atomic<int> lent_;
};

} // namespace twl
