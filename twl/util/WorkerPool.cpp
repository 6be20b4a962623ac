#include "twl/util/WorkerPool.h"

#include <chrono>

#include <pthread.h>
#include <sched.h>

namespace twl {

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &t : threads_)
        t.join();
}

void WorkerPool::runTasks(int n, Task task, const void *body) {
    if (n <= 1) {
        task(body, 0, 1);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (int(threads_.size()) < n - 1)
            threads_.emplace_back(&WorkerPool::loop, this, int(threads_.size()) + 1);
        keepOffCallersCpu();
        task_ = task;
        body_ = body;
        active_ = n;
        pending_ = n - 1;
        ++generation_;
    }
    wake_.notify_all();
    task(body, 0, n);
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(500);
    while (pending_.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerPool::loop(int index) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        // A run needs at most `active_` tasks; the threads above sit it out.
        if (index >= active_) continue;
        const Task task = task_;
        const void *body = body_;
        const int n = active_;
        lock.unlock();
        task(body, index, n);
        lock.lock();
        if (--pending_ == 0) done_.notify_one();
    }
}

void WorkerPool::keepOffCallersCpu() {
    const int cpu = sched_getcpu();
    if (cpu < 0 || (cpu == excludedCpu_ && threads_.size() == placed_)) return;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(cpu, &allowed) ||
        CPU_COUNT(&allowed) < 2)
        return;
    CPU_CLR(cpu, &allowed);
    for (std::thread &t : threads_)
        pthread_setaffinity_np(t.native_handle(), sizeof allowed, &allowed);
    excludedCpu_ = cpu;
    placed_ = threads_.size();
}

} // namespace twl
