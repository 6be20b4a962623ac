#include "render/FrameLock.h"

#include "common/LockAnnotation.h"

#include <QMutex>

FrameLock::FrameLock(QMutex *mutex) : mutex_(mutex) {
    if (!mutex_) return;
    if (!mutex_->tryLock(kWaitMs)) {
        mutex_ = nullptr;
        locked_ = false;
        return;
    }
    LockAnnotation::taken(mutex_);
}

FrameLock::~FrameLock() {
    unlock();
}

void FrameLock::unlock() {
    if (!mutex_) return;
    LockAnnotation::given(mutex_);
    mutex_->unlock();
    mutex_ = nullptr;
}
