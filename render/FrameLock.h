#pragma once
// Holds the capture thread's frame lock (when there is one) while a view
// reads a device matrix. Qt's mutexes live in an uninstrumented library, so
// a race detector cannot see the ordering they give; the lock tells it where
// it was taken and given back, keyed by the mutex's address like the
// capture side does.

class QMutex;

class FrameLock {
public:
    /// Takes `mutex`, waiting at most `kWaitMs`: a paint must never freeze
    /// the window behind a capture step that hangs (or behind a lock the GUI
    /// thread itself holds). A null mutex counts as taken.
    explicit FrameLock(QMutex *mutex);
    /// Whether the matrices may be read (the lock was had, or there is none).
    bool locked() const { return locked_; }
    static constexpr int kWaitMs = 100;
    ~FrameLock();
    FrameLock(const FrameLock &) = delete;
    FrameLock &operator=(const FrameLock &) = delete;

    /// Gives the lock back before the end of the scope.
    void unlock();

private:
    QMutex *mutex_;
    bool locked_ = true;
};
