#pragma once
// Runs body(i, n) for i in [0, n), each on its own thread (the caller's
// included), and returns when all are done. Plain threads rather than
// OpenCV's pool: their start and join are what the race detector sees.

#include <algorithm>
#include <thread>
#include <vector>

namespace twl {

template <class Body> void runOnThreads(int n, const Body &body) {
    std::vector<std::thread> others;
    others.reserve(size_t(std::max(0, n - 1)));
    for (int i = 1; i < n; ++i)
        others.emplace_back([&body, i, n] { body(i, n); });
    body(0, n);
    for (std::thread &t : others)
        t.join();
}

} // namespace twl
