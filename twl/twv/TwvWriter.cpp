#include "twl/twv/TwvWriter.h"

#include "twl/twv/TwvFrameCodec.h"
#include "twl/util/Crc32.h"

#include <unistd.h>

namespace twl {

TwvWriter::TwvWriter() : codecState_(new TwvFrameCodec) {}

TwvWriter::~TwvWriter() {
    if (file_) close();
}

bool TwvWriter::writeBytes(const void *data, size_t size) {
    if (failed_) return false;
    if (size && std::fwrite(data, 1, size, file_) != size) {
        failed_ = true;
        return false;
    }
    position_ += size;
    return true;
}

ERROR_CODE TwvWriter::open(const std::string &path, const TwvHeader &header, TwvCodec codec) {
    if (file_) close();
    TwvHeader h = header;
    h.version = twv::kVersion;
    h.codec = codec;
    if (!twv::isPlausible(h)) return ERROR_CODE_INVALID_ARGUMENT;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return ERROR_CODE_WRITE_FAILED;
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    header_ = h;
    codec_ = codec;
    position_ = 0;
    failed_ = false;
    offsets_.clear();
    unsigned char bytes[twv::kHeaderSize];
    twv::encodeHeader(h, bytes);
    return writeBytes(bytes, sizeof bytes) ? SUCCESS : ERROR_CODE_WRITE_FAILED;
}

ERROR_CODE TwvWriter::writeFrame(const cv::Mat &left, const cv::Mat &right, uint64_t timestampNs) {
    if (!file_) return ERROR_CODE_FAILURE;
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
    if (!file_) return ERROR_CODE_FAILURE;
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
    if (!writeBytes(bytes, sizeof bytes) || !writeBytes(left, size_t(f.leftSize)) ||
        !writeBytes(right, size_t(f.rightSize)))
        return ERROR_CODE_WRITE_FAILED;
    offsets_.push_back(offset);
    return SUCCESS;
}

ERROR_CODE TwvWriter::close() {
    if (!file_) return ERROR_CODE_FAILURE;
    // After a failed write the file position is unknown, so no index is
    // written; the reader then rebuilds it by scanning the complete frames.
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

    bool ok = !failed_ && writeBytes(index.data(), index.size()) && writeBytes(trailer, sizeof trailer);
    ok = std::fflush(file_) == 0 && ok;
    ok = !std::ferror(file_) && ok;
    // Finished recordings are renamed over older ones: their bytes must be
    // on the disk before the name moves.
    ok = ::fsync(fileno(file_)) == 0 && ok;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok ? SUCCESS : ERROR_CODE_WRITE_FAILED;
}

} // namespace twl
