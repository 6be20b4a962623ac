#include "twl/twv/TwvWriter.h"

#include "twl/twv/TwvFrameCodec.h"
#include "twl/util/Crc32.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace twl {

TwvWriter::TwvWriter() : codecState_(new TwvFrameCodec) {}

TwvWriter::~TwvWriter() {
    if (fd_ >= 0) close();
}

bool TwvWriter::writeAll(const void *const *data, const size_t *sizes, int count) {
    if (failed_) return false;
    // Our own writes, unbuffered and at known offsets: when one fails we know
    // which record it cut, so the file can be put back to its last whole one.
    iovec pieces[4];
    int n = 0;
    for (int i = 0; i < count && n < 4; ++i)
        if (sizes[i]) pieces[n++] = {const_cast<void *>(data[i]), sizes[i]};
    uint64_t written = 0;
    iovec *p = pieces;
    while (n > 0) {
        const ssize_t done = ::pwritev(fd_, p, n, off_t(position_ + written));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            systemError_ = done < 0 ? errno : EIO;
            failed_ = true;
            return false;
        }
        written += uint64_t(done);
        size_t left = size_t(done);
        for (; n > 0 && left >= p->iov_len; --n, ++p)
            left -= p->iov_len;
        if (n > 0) { // the system took part of a piece: go on from there
            p->iov_base = static_cast<unsigned char *>(p->iov_base) + left;
            p->iov_len -= left;
        }
    }
    position_ += written;
    return true;
}

ERROR_CODE TwvWriter::open(const std::string &path, const TwvHeader &header, TwvCodec codec) {
    if (fd_ >= 0) close();
    TwvHeader h = header;
    h.version = twv::kVersion;
    h.codec = codec;
    if (!twv::isPlausible(h)) return ERROR_CODE_INVALID_ARGUMENT;
    systemError_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        systemError_ = errno;
        return ERROR_CODE_WRITE_FAILED;
    }
    header_ = h;
    codec_ = codec;
    position_ = 0;
    writebackFrom_ = 0;
    failed_ = false;
    offsets_.clear();
    unsigned char bytes[twv::kHeaderSize];
    twv::encodeHeader(h, bytes);
    const void *data[] = {bytes};
    const size_t sizes[] = {sizeof bytes};
    if (writeAll(data, sizes, 1)) return SUCCESS;
    // A file without its header is no recording: leave nothing for close()
    // to finish with an index, nor for anyone to mistake for one.
    struct stat st;
    const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd_);
    fd_ = -1;
    if (regular) ::unlink(path.c_str());
    return ERROR_CODE_WRITE_FAILED;
}

ERROR_CODE TwvWriter::writeFrame(const cv::Mat &left, const cv::Mat &right, uint64_t timestampNs) {
    if (fd_ < 0) return ERROR_CODE_FAILURE;
    if (failed_) return ERROR_CODE_WRITE_FAILED;
    const cv::Size size(int(header_.width), int(header_.height));
    for (const cv::Mat *m : {&left, &right})
        if (m->size() != size || (m->type() != CV_8UC4 && m->type() != CV_8UC3))
            return ERROR_CODE_INVALID_ARGUMENT;
    if (!codecState_->encode(left, codec_, leftBlob_) || !codecState_->encode(right, codec_, rightBlob_))
        return ERROR_CODE_FAILURE;

    twv::FrameHeader f;
    f.codec = codec_;
    f.timestamp = timestampNs;
    f.leftSize = leftBlob_.size();
    f.rightSize = rightBlob_.size();
    f.payloadCrc = crc32(rightBlob_.data(), rightBlob_.size(), crc32(leftBlob_.data(), leftBlob_.size()));
    return append(f, leftBlob_.data(), rightBlob_.data());
}

ERROR_CODE TwvWriter::writeEncodedFrame(TwvCodec codec, uint64_t timestampNs, const unsigned char *payload,
                                        uint64_t leftSize, uint64_t rightSize) {
    if (fd_ < 0) return ERROR_CODE_FAILURE;
    if (failed_) return ERROR_CODE_WRITE_FAILED;
    const uint64_t limit = twv::maxBlobSize(codec, header_.width, header_.height);
    if (!twv::isKnownCodec(uint32_t(codec)) || leftSize == 0 || rightSize == 0 || leftSize > limit ||
        rightSize > limit)
        return ERROR_CODE_INVALID_ARGUMENT;
    twv::FrameHeader f;
    f.codec = codec;
    f.timestamp = timestampNs;
    f.leftSize = leftSize;
    f.rightSize = rightSize;
    f.payloadCrc = crc32(payload, size_t(leftSize + rightSize));
    return append(f, payload, payload + leftSize);
}

ERROR_CODE TwvWriter::append(const twv::FrameHeader &f, const unsigned char *left,
                             const unsigned char *right) {
    unsigned char bytes[twv::kFrameHeaderSize];
    twv::encodeFrameHeader(f, bytes);
    const uint64_t offset = position_;
    const void *data[] = {bytes, left, right};
    const size_t sizes[] = {sizeof bytes, size_t(f.leftSize), size_t(f.rightSize)};
    if (!writeAll(data, sizes, 3)) return ERROR_CODE_WRITE_FAILED;
    offsets_.push_back(offset);
    // A long recording must not pile up gigabytes of unwritten pages (the
    // system then stalls everything to catch up, and the sync at close
    // waits for all of it): start the disk on them as they come.
    constexpr uint64_t kWritebackBytes = 32ULL << 20;
    if (position_ - writebackFrom_ >= kWritebackBytes) {
        if (::sync_file_range(fd_, off_t(writebackFrom_), off_t(position_ - writebackFrom_),
                              SYNC_FILE_RANGE_WRITE) != 0) {
            // A file system without it writes back on its own schedule.
        }
        writebackFrom_ = position_;
    }
    return SUCCESS;
}

ERROR_CODE TwvWriter::close() {
    if (fd_ < 0) return ERROR_CODE_FAILURE;
    bool ok = !failed_;
    // A frame that did not fit is cut off: the file then ends with a whole
    // frame, and the room that frame took may hold the index.
    if (failed_) {
        cutAt(position_);
        failed_ = false;
    }
    const uint64_t indexOffset = position_;
    std::vector<unsigned char> index(twv::kIndexHeaderSize + offsets_.size() * 8 + twv::kIndexFooterSize, 0);
    std::copy(twv::kIndexMagic, twv::kIndexMagic + 4, index.begin());
    twv::putU64(&index[8], offsets_.size());
    for (size_t i = 0; i < offsets_.size(); ++i)
        twv::putU64(&index[twv::kIndexHeaderSize + 8 * i], offsets_[i]);
    const size_t crcAt = index.size() - twv::kIndexFooterSize;
    twv::putU32(&index[crcAt], crc32(index.data(), crcAt));

    unsigned char trailer[twv::kTrailerSize];
    twv::encodeTrailer({indexOffset, offsets_.size()}, trailer);

    const int firstError = systemError_;
    const void *data[] = {index.data(), trailer};
    const size_t sizes[] = {index.size(), sizeof trailer};
    if (!writeAll(data, sizes, 2)) {
        // No room even for the index: the reader finds the frames by scanning.
        cutAt(indexOffset);
        position_ = indexOffset;
        if (firstError) systemError_ = firstError;
        ok = false;
    }
    // Finished recordings are renamed over older ones: their bytes must be
    // on the disk before the name moves.
    if (::fsync(fd_) != 0 && ok) {
        systemError_ = errno;
        ok = false;
    }
    if (::close(fd_) != 0 && ok) {
        systemError_ = errno;
        ok = false;
    }
    fd_ = -1;
    failed_ = false;
    return ok ? SUCCESS : ERROR_CODE_WRITE_FAILED;
}

void TwvWriter::cutAt(uint64_t size) {
    if (::ftruncate(fd_, off_t(size)) != 0 && !systemError_) systemError_ = errno;
}

} // namespace twl
