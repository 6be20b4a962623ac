#pragma once
// The clock of frame time stamps and deadlines: monotonic, in nanoseconds
// from an arbitrary start.

#include <chrono>
#include <cstdint>

namespace twl {

inline int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace twl
