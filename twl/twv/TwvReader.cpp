#include "twl/twv/TwvReader.h"

#include "twl/twv/TwvFrameCodec.h"
#include "twl/util/Crc32.h"
#include "twl/util/Log.h"
#include "twl/util/Parallel.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace twl {

TwvReader::TwvReader() : codec_(new TwvFrameCodec), rightCodec_(new TwvFrameCodec) {}

TwvReader::~TwvReader() {
    close();
}

void TwvReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fileSize_ = 0;
    header_ = TwvHeader();
    offsets_.clear();
    dataEnd_ = 0;
    recovered_ = false;
    payload_.clear();
    payload_.shrink_to_fit();
}

bool TwvReader::readAt(uint64_t offset, void *data, size_t size) const {
    if (offset > fileSize_ || size > fileSize_ - offset) return false;
    unsigned char *p = static_cast<unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd_, p, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false; // I/O error, or the file shrank under us
        p += n;
        offset += uint64_t(n);
        size -= size_t(n);
    }
    return true;
}

ERROR_CODE TwvReader::open(const std::string &path) {
    close();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return ERROR_CODE_FILE_NOT_FOUND;
    // Opening a pipe or a device could block or never end.
    if (!S_ISREG(st.st_mode)) return ERROR_CODE_NOT_A_RECORDING;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return ERROR_CODE_FILE_NOT_FOUND;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return ERROR_CODE_NOT_A_RECORDING;
    }
    fileSize_ = uint64_t(st.st_size);

    unsigned char head[twv::kHeaderSize];
    const size_t headSize = size_t(std::min<uint64_t>(fileSize_, sizeof head));
    if (headSize < sizeof twv::kFileMagic || !readAt(0, head, headSize)) {
        close();
        return ERROR_CODE_NOT_A_RECORDING;
    }
    ERROR_CODE result = twv::decodeHeader(head, headSize, &header_);
    if (result != SUCCESS) {
        close();
        return result;
    }

    twv::Trailer trailer;
    unsigned char tail[twv::kTrailerSize];
    const bool hasTrailer = fileSize_ >= twv::kHeaderSize + twv::kTrailerSize &&
                            readAt(fileSize_ - twv::kTrailerSize, tail, sizeof tail) &&
                            std::memcmp(tail + 24, twv::kTrailerMagic, sizeof twv::kTrailerMagic) == 0;
    if (hasTrailer) {
        result = twv::decodeTrailer(tail, &trailer) ? loadIndex(trailer) : ERROR_CODE_DAMAGED_RECORDING;
        if (result != SUCCESS) {
            close();
            return result;
        }
    } else {
        scanFrames();
        log(LogLevel::Info, path + ": not closed properly; " + std::to_string(offsets_.size()) +
                                " complete frames found by scanning");
    }
    return SUCCESS;
}

ERROR_CODE TwvReader::loadIndex(const twv::Trailer &trailer) {
    const uint64_t indexEnd = fileSize_ - twv::kTrailerSize;
    const uint64_t fixed = twv::kIndexHeaderSize + twv::kIndexFooterSize;
    if (trailer.indexOffset < twv::kHeaderSize || trailer.indexOffset > indexEnd ||
        indexEnd - trailer.indexOffset < fixed)
        return ERROR_CODE_DAMAGED_RECORDING;
    // The index lies right before the trailer, so its length is known from
    // the file itself; the stored count has to agree with it.
    const uint64_t entryBytes = indexEnd - trailer.indexOffset - fixed;
    if (entryBytes % 8 != 0 || entryBytes / 8 != trailer.frameCount) return ERROR_CODE_DAMAGED_RECORDING;
    const uint64_t count = trailer.frameCount;
    if (count > (trailer.indexOffset - twv::kHeaderSize) / twv::kFrameHeaderSize ||
        count > uint64_t(INT32_MAX))
        return ERROR_CODE_DAMAGED_RECORDING;

    std::vector<unsigned char> index(size_t(fixed + entryBytes));
    if (!readAt(trailer.indexOffset, index.data(), index.size())) return ERROR_CODE_DAMAGED_RECORDING;
    const size_t crcAt = index.size() - twv::kIndexFooterSize;
    if (std::memcmp(index.data(), twv::kIndexMagic, sizeof twv::kIndexMagic) != 0 ||
        twv::getU64(&index[8]) != count || twv::getU32(&index[crcAt]) != crc32(index.data(), crcAt))
        return ERROR_CODE_DAMAGED_RECORDING;

    std::vector<uint64_t> offsets(static_cast<size_t>(count));
    uint64_t minimum = twv::kHeaderSize;
    for (size_t i = 0; i < offsets.size(); ++i) {
        const uint64_t offset = twv::getU64(&index[twv::kIndexHeaderSize + 8 * i]);
        if (offset < minimum || offset > trailer.indexOffset ||
            trailer.indexOffset - offset < twv::kFrameHeaderSize)
            return ERROR_CODE_DAMAGED_RECORDING;
        offsets[i] = offset;
        minimum = offset + twv::kFrameHeaderSize;
    }
    offsets_ = std::move(offsets);
    dataEnd_ = trailer.indexOffset;
    recovered_ = false;
    return SUCCESS;
}

void TwvReader::scanFrames() {
    offsets_.clear();
    recovered_ = true;
    uint64_t pos = twv::kHeaderSize;
    unsigned char bytes[twv::kFrameHeaderSize];
    twv::FrameHeader frame;
    while (offsets_.size() < size_t(INT32_MAX) && readAt(pos, bytes, sizeof bytes) &&
           twv::decodeFrameHeader(bytes, &frame)) {
        const uint64_t limit = twv::maxBlobSize(frame.codec, header_.width, header_.height);
        if (frame.leftSize > limit || frame.rightSize > limit) break;
        const uint64_t end = pos + twv::kFrameHeaderSize + frame.leftSize + frame.rightSize;
        if (end > fileSize_) break; // the frame being written when the recording stopped
        offsets_.push_back(pos);
        pos = end;
    }
    dataEnd_ = pos;
}

ERROR_CODE TwvReader::readFrameHeader(int index, twv::FrameHeader *frame) {
    if (fd_ < 0) return ERROR_CODE_FAILURE;
    if (index < 0 || index >= frameCount()) return ERROR_CODE_INVALID_ARGUMENT;
    unsigned char bytes[twv::kFrameHeaderSize];
    if (!readAt(offsets_[size_t(index)], bytes, sizeof bytes) || !twv::decodeFrameHeader(bytes, frame))
        return ERROR_CODE_DAMAGED_RECORDING;
    return SUCCESS;
}

ERROR_CODE TwvReader::readTimestamp(int index, uint64_t *timestampNs) {
    twv::FrameHeader frame;
    const ERROR_CODE result = readFrameHeader(index, &frame);
    if (result == SUCCESS && timestampNs) *timestampNs = frame.timestamp;
    return result;
}

ERROR_CODE TwvReader::readEncodedFrame(int index, twv::FrameHeader *frame,
                                       std::vector<unsigned char> *payload) {
    const ERROR_CODE result = readFrameHeader(index, frame);
    if (result != SUCCESS) return result;
    const size_t i = size_t(index);
    const uint64_t start = offsets_[i] + twv::kFrameHeaderSize;
    const uint64_t end = i + 1 < offsets_.size() ? offsets_[i + 1] : dataEnd_;
    const uint64_t available = end > start ? end - start : 0;
    const uint64_t limit = twv::maxBlobSize(frame->codec, header_.width, header_.height);
    if (frame->leftSize == 0 || frame->rightSize == 0 || frame->leftSize > limit ||
        frame->rightSize > limit || frame->leftSize > available ||
        frame->rightSize > available - frame->leftSize)
        return ERROR_CODE_DAMAGED_RECORDING;
    const size_t total = size_t(frame->leftSize + frame->rightSize);
    payload->resize(total);
    if (!readAt(start, payload->data(), total) || crc32(payload->data(), total) != frame->payloadCrc)
        return ERROR_CODE_DAMAGED_RECORDING;
    return SUCCESS;
}

ERROR_CODE TwvReader::readFrame(int index, cv::Mat &left, cv::Mat &right, uint64_t *timestampNs) {
    twv::FrameHeader frame;
    const ERROR_CODE result = readEncodedFrame(index, &frame, &payload_);
    if (result != SUCCESS) return result;
    // Decoding dominates playback; the two pictures are independent.
    bool decoded[2] = {false, false};
    twl::parallelFor(cv::Range(0, 2), [&](const cv::Range &r) {
        for (int eye = r.start; eye < r.end; ++eye) {
            const unsigned char *data = payload_.data() + (eye == 0 ? 0 : frame.leftSize);
            const size_t size = size_t(eye == 0 ? frame.leftSize : frame.rightSize);
            cv::Mat &bgr = eye == 0 ? leftBgr_ : rightBgr_;
            TwvFrameCodec &codec = eye == 0 ? *codec_ : *rightCodec_;
            decoded[eye] = codec.decode(data, size, frame.codec, header_.width, header_.height, bgr);
            if (decoded[eye])
                cv::cvtColor(bgr, eye == 0 ? left : right, cv::COLOR_BGR2BGRA);
        }
    });
    if (!decoded[0] || !decoded[1])
        return ERROR_CODE_DAMAGED_RECORDING;
    if (timestampNs) *timestampNs = frame.timestamp;
    return SUCCESS;
}

} // namespace twl
