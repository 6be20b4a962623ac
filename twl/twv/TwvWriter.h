#pragma once
// Records stereo pairs into a .twv file. Frames go straight to the file, so a
// recording cut short by a crash still plays up to its last complete frame;
// close() adds the seek index.

#include "twl/twv/TwvFormat.h"

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace twl {

class TwvFrameCodec;

class TwvWriter {
public:
    TwvWriter();
    /// Closes the file (index included) if still open.
    ~TwvWriter();
    TwvWriter(const TwvWriter &) = delete;
    TwvWriter &operator=(const TwvWriter &) = delete;

    /// Creates (or replaces) `path` and writes the header. INVALID_ARGUMENT
    /// for implausible header values, WRITE_FAILED when the file cannot be
    /// created or written.
    ERROR_CODE open(const std::string &path, const TwvHeader &header, TwvCodec codec);
    /// Appends one pair: CV_8UC4 BGRA (or CV_8UC3 BGR) pictures of the
    /// header's size. After a write failure every later call fails too.
    ERROR_CODE writeFrame(const cv::Mat &left, const cv::Mat &right, uint64_t timestampNs);
    /// Appends one pair already encoded with `codec` (as TwvReader's
    /// readEncodedFrame() gives it): the left picture's `leftSize` bytes,
    /// then the right one's, copied as they are. INVALID_ARGUMENT for
    /// lengths no picture of the header's size can have.
    ERROR_CODE writeEncodedFrame(TwvCodec codec, uint64_t timestampNs, const unsigned char *payload,
                                 uint64_t leftSize, uint64_t rightSize);
    /// Writes the index and trailer and closes the file. WRITE_FAILED when
    /// anything written since open() did not reach the file. Even then the
    /// file ends with the last complete frame (a frame half written is cut
    /// off) and, when there was room for it, the index: it plays.
    ERROR_CODE close();

    bool isOpen() const { return fd_ >= 0; }
    int framesWritten() const { return int(offsets_.size()); }
    /// Size of the file as far as complete frames go.
    uint64_t bytesWritten() const { return position_; }
    /// errno of the write that failed (ENOSPC, EFBIG, EIO...); 0 when none did.
    int systemError() const { return systemError_; }
    const TwvHeader &header() const { return header_; }

private:
    /// Writes every byte of the pieces at the end of the file; false (and
    /// systemError_ set) when the file system refused some.
    bool writeAll(const void *const *data, const size_t *sizes, int count);
    void cutAt(uint64_t size);
    ERROR_CODE append(const twv::FrameHeader &frame, const unsigned char *left, const unsigned char *right);

    int fd_ = -1;
    TwvHeader header_;
    TwvCodec codec_ = TwvCodec::Jpeg;
    uint64_t position_ = 0; // end of the last complete record
    bool failed_ = false;
    int systemError_ = 0;
    uint64_t writebackFrom_ = 0; // what is not yet handed to the disk
    std::vector<uint64_t> offsets_;
    std::unique_ptr<TwvFrameCodec> codecState_;
    std::vector<unsigned char> leftBlob_, rightBlob_;
};

} // namespace twl
