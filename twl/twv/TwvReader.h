#pragma once
// Reads a .twv recording. Every size and offset in the file is checked
// against the header and the file's real length before anything is read or
// allocated, so a damaged or hostile file yields an error code, never a crash
// or a huge allocation. A recording cut short (no index, or a partial last
// frame) opens with the frames that are complete.

#include "twl/twv/TwvFormat.h"

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace twl {

class TwvFrameCodec;

class TwvReader {
public:
    TwvReader();
    ~TwvReader();
    TwvReader(const TwvReader &) = delete;
    TwvReader &operator=(const TwvReader &) = delete;

    /// FILE_NOT_FOUND, NOT_A_RECORDING (foreign file), UNSUPPORTED_VERSION or
    /// DAMAGED_RECORDING (header, index or trailer corrupt) on failure.
    ERROR_CODE open(const std::string &path);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    const TwvHeader &header() const { return header_; }
    int frameCount() const { return int(offsets_.size()); }
    /// The file had no index (it was not closed properly) and its frames
    /// were found by scanning.
    bool isRecovered() const { return recovered_; }
    uint64_t fileSize() const { return fileSize_; }

    /// Decodes frame `index` into two CV_8UC4 BGRA pictures, reusing the
    /// outputs' memory when they already have the size (as OpenCV's create()
    /// does). They are written only on success. DAMAGED_RECORDING when the
    /// frame is corrupt, INVALID_ARGUMENT for an index out of range.
    ERROR_CODE readFrame(int index, cv::Mat &left, cv::Mat &right, uint64_t *timestampNs = nullptr);
    /// Timestamp of frame `index` without decoding its pictures.
    ERROR_CODE readTimestamp(int index, uint64_t *timestampNs);
    /// The stored bytes of frame `index` as they are, the left picture's then
    /// the right one's, after checking their lengths and checksum; nothing is
    /// decoded. DAMAGED_RECORDING and INVALID_ARGUMENT as for readFrame().
    ERROR_CODE readEncodedFrame(int index, twv::FrameHeader *frame, std::vector<unsigned char> *payload);

private:
    bool readAt(uint64_t offset, void *data, size_t size) const;
    ERROR_CODE loadIndex(const twv::Trailer &trailer);
    void scanFrames();
    ERROR_CODE readFrameHeader(int index, twv::FrameHeader *frame);

    int fd_ = -1;
    uint64_t fileSize_ = 0;
    TwvHeader header_;
    std::vector<uint64_t> offsets_;
    uint64_t dataEnd_ = 0; // where the last frame must end (index or end of file)
    bool recovered_ = false;
    std::unique_ptr<TwvFrameCodec> codec_;
    std::unique_ptr<TwvFrameCodec> rightCodec_; // the two pictures decode in parallel
    std::vector<unsigned char> payload_;
    cv::Mat leftBgr_, rightBgr_;
};

} // namespace twl
