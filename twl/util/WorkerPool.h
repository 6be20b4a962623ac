#pragma once
// Threads kept for the life of their owner, for work split the same way frame
// after frame. Starting and joining a thread costs ~70 us on a small VM, and
// the matcher did it twice a frame: several percent of its time. Waiting
// workers sleep on a condition variable (no spinning: idle cores stay idle),
// and the mutex and condition variables are what the race detector sees.
// Only the caller, done with its own task, spins a little for the others:
// they are about to finish, and a wake-up took ~0.1 ms.
// The workers are kept off the core the caller runs on. On a virtual machine
// whose other cores have idled (the caller waited for a camera frame, say),
// the scheduler takes them for preempted and queues a woken worker behind
// the caller, where it waited ~1.5 ms or ran after it: the matcher at 640 x
// 360 took 6.7 ms instead of 3.5 after each 13 ms sleep.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace twl {

class WorkerPool {
public:
    WorkerPool() = default;
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    /// Runs body(i, n) for i in [0, n), body(0, n) on the calling thread, the
    /// others on the pool's threads (started on first need), and returns when
    /// all are done. One run at a time: the caller must not call it again
    /// from inside a body.
    template <class Body> void run(int n, const Body &body) {
        runTasks(
            n, [](const void *b, int i, int count) { (*static_cast<const Body *>(b))(i, count); }, &body);
    }

private:
    using Task = void (*)(const void *, int, int);
    void runTasks(int n, Task task, const void *body);
    void loop(int index);
    // Lets the workers run anywhere the caller may, except on the core it runs on.
    void keepOffCallersCpu();

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    uint64_t generation_ = 0; // of the latest run
    int active_ = 0;          // tasks in the latest run
    // Of its tasks on the pool's threads, not yet done (changed under the mutex).
    std::atomic<int> pending_{0};
    Task task_ = nullptr;
    const void *body_ = nullptr;
    bool stopping_ = false;
    int excludedCpu_ = -1; // the core the workers were last kept off
    size_t placed_ = 0;    // of the workers, how many were
};

} // namespace twl
