#pragma once
// Holds the capture thread's frame lock (when there is one) while a view
// reads a device matrix. Qt's mutexes live in an uninstrumented library, so
// a race detector cannot see the ordering they give; the lock tells it where
// it was taken and given back, keyed by the mutex's address like the
// capture side does.

class QMutex;

class FrameLock {
public:
    /// Locks `mutex`; a null mutex holds nothing.
    explicit FrameLock(QMutex *mutex);
    ~FrameLock();
    FrameLock(const FrameLock &) = delete;
    FrameLock &operator=(const FrameLock &) = delete;

    /// Gives the lock back before the end of the scope.
    void unlock();

private:
    QMutex *mutex_;
};
