#pragma once
// cv::parallel_for_, except under the thread sanitizer. OpenCV hands the
// bodies to TBB workers and joins them inside uninstrumented libraries, so the
// detector sees neither the fork nor the join and takes every buffer a body
// wrote and its caller read for a race (marks inside our bodies come too late:
// OpenCV's wrapper is read before them). There the loop runs on the calling
// thread; our bodies work on disjoint rows and share nothing else. It also
// runs there while a core is lent to a decode the caller will wait for (see
// CoreLoan).

#include "twl/util/CoreLoan.h"

#include <opencv2/core/utility.hpp>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define TWL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TWL_TSAN 1
#endif
#endif

namespace twl {

/// `stripes`: as cv::parallel_for_'s nstripes (-1: as many as it likes).
template <typename Body> void parallelFor(const cv::Range &range, Body &&body, double stripes = -1) {
#ifdef TWL_TSAN
    (void)stripes;
    body(range);
#else
    if (CoreLoan::loopsAlone()) {
        body(range);
        return;
    }
    cv::parallel_for_(range, std::forward<Body>(body), stripes);
#endif
}

} // namespace twl
