#pragma once
// cv::parallel_for_ with its fork and join made visible to the thread
// sanitizer. OpenCV hands the bodies to TBB workers and waits for them inside
// uninstrumented libraries, so without these marks every buffer a body wrote
// and its caller read afterwards would be reported as a race. Outside a
// ThreadSanitizer build this is cv::parallel_for_ itself.

#include <opencv2/core/utility.hpp>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define TWL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TWL_TSAN 1
#endif
#endif
#ifdef TWL_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace twl {

template <typename Body> void parallelFor(const cv::Range &range, Body &&body) {
#ifdef TWL_TSAN
    char fork = 0, join = 0;
    __tsan_release(&fork);
    cv::parallel_for_(range, [&](const cv::Range &part) {
        __tsan_acquire(&fork);
        body(part);
        __tsan_release(&join);
    });
    __tsan_acquire(&join);
#else
    cv::parallel_for_(range, std::forward<Body>(body));
#endif
}

} // namespace twl
