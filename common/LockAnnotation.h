#pragma once
// Qt's mutexes live in an uninstrumented library, so a race detector cannot
// see the ordering they give. The capture loop and the views mark where they
// take and give back the frame and grab locks, keyed by the mutex's address.
// Outside a ThreadSanitizer build these compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define VANTARO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VANTARO_TSAN 1
#endif
#endif
#ifdef VANTARO_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace LockAnnotation {

inline void taken([[maybe_unused]] void *mutex) {
#ifdef VANTARO_TSAN
    __tsan_acquire(mutex);
#endif
}

inline void given([[maybe_unused]] void *mutex) {
#ifdef VANTARO_TSAN
    __tsan_release(mutex);
#endif
}

} // namespace LockAnnotation
