#include "twl/twv/TwvRecorder.h"

#include "twl/twv/TwvWriter.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace twl {

namespace {

int64_t threadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000LL + int64_t(t.tv_nsec);
}

/// Gives `from` the name `to` unless something has that name already (the
/// frames then stay under `from`); 0 or the errno.
int putInPlace(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // Some network and FUSE file systems cannot promise not to replace.
    if (::access(to.c_str(), F_OK) == 0) return EEXIST;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void toBgr(const cv::Mat &picture, cv::Mat &bgr) {
    if (picture.channels() == 4)
        cv::cvtColor(picture, bgr, cv::COLOR_BGRA2BGR);
    else
        picture.copyTo(bgr);
}

} // namespace

std::string partialPathFor(const std::string &path) {
    return path + ".partial";
}

int64_t framesMissingBetween(uint64_t earlierNs, uint64_t laterNs, float fps) {
    if (earlierNs == 0 || laterNs <= earlierNs || !(fps > 0)) return 0;
    const int64_t periods = std::llround(double(laterNs - earlierNs) * double(fps) / 1e9);
    return periods > 1 ? periods - 1 : 0;
}

int64_t freeSpaceAt(const std::string &path) {
    struct statvfs s;
    if (::statvfs(path.c_str(), &s) != 0) {
        // A file not made yet: ask its folder.
        const size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        if (::statvfs(folder.c_str(), &s) != 0) return -1;
    }
    return int64_t(s.f_bavail) * int64_t(s.f_frsize);
}

TwvRecorder::TwvRecorder(size_t maxQueueBytes) : maxQueueBytes_(maxQueueBytes), writer_(new TwvWriter) {}

TwvRecorder::~TwvRecorder() {
    if (active_.load()) finish();
}

ERROR_CODE TwvRecorder::start(const std::string &path, const TwvHeader &header, TwvCodec codec,
                              int *systemError) {
    if (systemError) *systemError = 0;
    if (active_.load()) return ERROR_CODE_FAILURE;
    const std::string partial = partialPathFor(path);
    const ERROR_CODE opened = writer_->open(partial, header, codec);
    if (opened != SUCCESS) {
        if (systemError) *systemError = writer_->systemError();
        if (writer_->isOpen()) {
            writer_->close();
            std::remove(partial.c_str());
        }
        return opened;
    }
    const size_t pairBytes = std::max<size_t>(1, size_t(header.width) * header.height * 3 * 2);
    const int oneSecond = int(std::ceil(header.fps));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path_ = path;
        header_ = writer_->header();
        capacity_ =
            std::max(2, std::min(oneSecond, int(std::min<size_t>(maxQueueBytes_ / pairBytes, 1 << 20))));
        queue_.clear();
        filling_ = 0;
        writing_ = 0;
        lastTimestamp_ = 0;
        result_ = Result();
        offered_ = written_ = dropped_ = missed_ = cpuNs_ = 0;
        bytes_ = writer_->bytesWritten();
        queued_ = queuePeak_ = 0;
        freeBytes_ = freeSpaceAt(partial);
        failed_ = false;
        accepting_ = true;
    }
    active_ = true;
    open_.store(true, std::memory_order_release);
    thread_ = std::thread(&TwvRecorder::run, this);
    return SUCCESS;
}

bool TwvRecorder::push(const cv::Mat &left, const cv::Mat &right, uint64_t timestampNs) {
    if (!open_.load(std::memory_order_acquire)) return false;
    Pair pair;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) return false;
        ++offered_;
        // Frames the camera gave that never reached us lengthen the step
        // between two timestamps: count them too, so that none goes unseen.
        missed_ += framesMissingBetween(lastTimestamp_, timestampNs, header_.fps);
        if (timestampNs) lastTimestamp_ = timestampNs;
        const cv::Size size(int(header_.width), int(header_.height));
        const bool fits = left.size() == size && right.size() == size && left.depth() == CV_8U &&
                          right.depth() == CV_8U && (left.channels() == 3 || left.channels() == 4) &&
                          (right.channels() == 3 || right.channels() == 4);
        if (!fits || int(queue_.size()) + filling_ + writing_ >= capacity_) {
            ++dropped_;
            return false;
        }
        ++filling_;
        if (!spare_.empty()) {
            pair = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    // The copy is made outside the lock, so the writer never waits for it.
    toBgr(left, pair.left);
    toBgr(right, pair.right);
    pair.timestamp = timestampNs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --filling_;
        queue_.push_back(std::move(pair));
        const int queued = int(queue_.size()) + writing_;
        queued_ = queued;
        if (queued > queuePeak_) queuePeak_ = queued;
    }
    wake_.notify_all();
    return true;
}

void TwvRecorder::run() {
    pthread_setname_np(pthread_self(), "twv-writer"); // for top and the benchmarks
    const std::string partial = partialPathFor(path_);
    auto nextProbe = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int failure = 0;
    bool failed = false;
    for (;;) {
        Pair pair;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Woken by a pair or the end; otherwise once a second, to look at the free space.
            wake_.wait_until(lock, nextProbe,
                             [this] { return !queue_.empty() || (!accepting_ && filling_ == 0); });
            if (queue_.empty() && !accepting_ && filling_ == 0) break;
            if (!queue_.empty()) {
                pair = std::move(queue_.front());
                queue_.pop_front();
                writing_ = 1;
            }
        }
        if (!pair.left.empty()) {
            const int64_t before = threadCpuNs();
            const ERROR_CODE e = writer_->writeFrame(pair.left, pair.right, pair.timestamp);
            cpuNs_ += threadCpuNs() - before;
            bytes_ = writer_->bytesWritten();
            std::lock_guard<std::mutex> lock(mutex_);
            writing_ = 0;
            spare_.push_back(std::move(pair));
            queued_ = int(queue_.size());
            if (e == SUCCESS) {
                ++written_;
            } else {
                // The disk is full or refused the frame: stop at once, keep what is written.
                failure = writer_->systemError();
                failed = true;
                accepting_ = false;
                open_ = false;
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= nextProbe) {
            freeBytes_ = freeSpaceAt(partial);
            nextProbe = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
    }
    settle(failed, failure);
    if (failed && onFailure_) onFailure_();
}

void TwvRecorder::settle(bool failed, int failure) {
    const std::string partial = partialPathFor(path_);
    const int frames = writer_->framesWritten();
    const ERROR_CODE closed = writer_->close();
    Result r;
    r.path = path_;
    r.frames = frames;
    r.dropped = dropped_.load();
    r.missed = missed_.load();
    if (failed || closed != SUCCESS) {
        r.error = ERROR_CODE_WRITE_FAILED;
        r.systemError = failed ? failure : writer_->systemError();
    }
    bytes_ = writer_->bytesWritten();
    freeBytes_ = freeSpaceAt(partial);
    if (frames == 0) {
        std::remove(partial.c_str());
        r.path.clear();
    } else {
        // Whatever ended it, the frames written are a recording that plays.
        r.kept = true;
        if (putInPlace(partial, path_) != 0) r.path = partial;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = r;
    }
    failed_ = failed;
}

TwvRecorder::Result TwvRecorder::finish() {
    if (!active_.load()) return Result();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepting_ = false;
        open_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    Result r;
    {
        // A writer stopped by a failure does not wait for the copies under
        // way; they land in the queue after it, and are counted here.
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return filling_ == 0; });
        r = result_;
        // What a failure left in the queue never reached the file.
        r.framesLost = int(queue_.size());
        queue_.clear();
        // A second of frames is a lot of memory to keep between recordings.
        spare_.clear();
        spare_.shrink_to_fit();
        queued_ = 0;
    }
    active_ = false;
    return r;
}

TwvRecorder::Stats TwvRecorder::stats() const {
    Stats s;
    s.offered = offered_.load();
    s.written = written_.load();
    s.dropped = dropped_.load();
    s.missed = missed_.load();
    s.bytes = bytes_.load();
    s.queued = queued_.load();
    s.queuePeak = queuePeak_.load();
    s.queueCapacity = capacity_.load();
    s.writerCpuNs = cpuNs_.load();
    s.freeBytes = freeBytes_.load();
    return s;
}

} // namespace twl
