#pragma once
// Records a live camera without ever holding it up. The capture thread hands
// each pair to push(), which copies it into a bounded queue and returns at
// once; a writer thread of the recorder's own compresses and writes it. A
// pair that finds the queue full is dropped and counted, never lost unseen.
// The file is written as NAME.partial and takes its NAME when the recording
// ends. A disk that fills or a write that fails ends the recording at once:
// what was written stays, playable, under NAME.
//
// Threads: start(), finish() and the queries from one controlling thread,
// push() from one capture thread; the statistics may be read from anywhere.

#include "twl/twv/TwvFormat.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace twl {

class TwvWriter;

/// Where a recording is written until it was closed properly.
std::string partialPathFor(const std::string &path);
/// Frames a camera running at `fps` made between two it delivered at these
/// times (nanoseconds) that are missing: 0 for consecutive frames; a step
/// is rounded to whole frame periods, so that timing jitter counts nothing.
int64_t framesMissingBetween(uint64_t earlierNs, uint64_t laterNs, float fps);
/// Free bytes for an unprivileged writer on the file system holding `path`
/// (a file or a folder); -1 when that cannot be told.
int64_t freeSpaceAt(const std::string &path);

class TwvRecorder {
public:
    /// The most memory the queue may hold; it holds one second of frames
    /// when that is less.
    static constexpr size_t kDefaultQueueBytes = size_t(256) << 20;

    struct Stats {
        int64_t offered = 0; // pairs pushed while recording
        int64_t written = 0; // pairs in the file
        int64_t dropped = 0; // pairs that found the queue full
        int64_t missed = 0;  // frames missing between the pushed ones by their timestamps
        uint64_t bytes = 0;  // size of the file so far
        int queued = 0;      // pairs waiting or being written
        int queuePeak = 0;
        int queueCapacity = 0;
        int64_t writerCpuNs = 0; // the writer thread's CPU time on frames
        int64_t freeBytes = -1;  // where the file is, probed about once a second; -1 unknown
    };

    struct Result {
        std::string path; // where the frames are: NAME, or NAME.partial if it could not be renamed
        int frames = 0;   // frames in that file
        int64_t dropped = 0, missed = 0;
        ERROR_CODE error = SUCCESS; // WRITE_FAILED: the disk filled or a write failed
        int systemError = 0;        // errno of that failure (ENOSPC, EFBIG, EIO...)
        int framesLost = 0;         // queued pairs the failure kept from the file
        bool kept = false;          // a playable file is at `path`
    };

    explicit TwvRecorder(size_t maxQueueBytes = kDefaultQueueBytes);
    /// Finishes a recording still under way.
    ~TwvRecorder();
    TwvRecorder(const TwvRecorder &) = delete;
    TwvRecorder &operator=(const TwvRecorder &) = delete;

    /// Creates NAME.partial with the header and starts writing. FAILURE when
    /// a recording is under way already, INVALID_ARGUMENT for an implausible
    /// header, WRITE_FAILED (with `systemError`) when the file cannot be made.
    ERROR_CODE start(const std::string &path, const TwvHeader &header, TwvCodec codec,
                     int *systemError = nullptr);
    /// Capture thread: queues a copy of the pair and returns without waiting
    /// for the disk. False when nothing records or the pair was dropped.
    bool push(const cv::Mat &left, const cv::Mat &right, uint64_t timestampNs);
    /// Ends the recording: writes what is queued, closes the file and gives
    /// it its name. Blocks until that is done. A recording without a single
    /// frame leaves no file.
    Result finish();

    /// From start() until finish(), also once a failure stopped the writing.
    bool isActive() const { return active_.load(); }
    /// A failure stopped the writing; the file is closed and in place already.
    bool hasFailed() const { return failed_.load(); }
    Stats stats() const;
    /// Called once on the writer thread when a failure stopped the writing,
    /// after the file was put in place. Set it before start().
    void setFailureCallback(std::function<void()> callback) { onFailure_ = std::move(callback); }

private:
    struct Pair {
        cv::Mat left, right; // BGR
        uint64_t timestamp = 0;
    };
    void run();
    /// Writer thread, at its end: closes the file and puts it in place.
    void settle(bool failed, int failure);

    const size_t maxQueueBytes_;
    std::unique_ptr<TwvWriter> writer_;
    std::string path_;
    TwvHeader header_;
    std::thread thread_;
    std::function<void()> onFailure_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pair> queue_;
    std::vector<Pair> spare_; // buffers to reuse
    int filling_ = 0;         // pairs being copied in by push()
    int writing_ = 0;         // the pair the writer has in hand
    bool accepting_ = false;
    uint64_t lastTimestamp_ = 0;
    Result result_;

    std::atomic<bool> active_{false};
    std::atomic<bool> open_{false}; // push() looks here before taking the lock
    std::atomic<bool> failed_{false};
    std::atomic<int64_t> offered_{0}, written_{0}, dropped_{0}, missed_{0}, cpuNs_{0}, freeBytes_{-1};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int> queued_{0}, queuePeak_{0};
    std::atomic<int> capacity_{0}; // pairs queued, being copied in or written, at most
};

} // namespace twl
