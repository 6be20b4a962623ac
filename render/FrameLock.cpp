#include "render/FrameLock.h"

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#define VANTARO_RENDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VANTARO_RENDER_TSAN 1
#endif
#endif
#ifdef VANTARO_RENDER_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

FrameLock::FrameLock(QMutex *mutex) : mutex_(mutex) {
    if (!mutex_) return;
    mutex_->lock();
#ifdef VANTARO_RENDER_TSAN
    __tsan_acquire(mutex_);
#endif
}

FrameLock::~FrameLock() {
    unlock();
}

void FrameLock::unlock() {
    if (!mutex_) return;
#ifdef VANTARO_RENDER_TSAN
    __tsan_release(mutex_);
#endif
    mutex_->unlock();
    mutex_ = nullptr;
}
