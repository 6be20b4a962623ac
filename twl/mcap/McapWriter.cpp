#include "twl/mcap/McapWriter.h"

#include "twl/mcap/McapFormat.h"
#include "twl/util/Crc32.h"

#include <zstd.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace twl {

using mcap::Bytes;

McapWriter::McapWriter() = default;

McapWriter::~McapWriter() {
    if (file_) close();
    ZSTD_freeCCtx(cctx_);
}

bool McapWriter::emit(const std::vector<unsigned char> &bytes, uint32_t *crc) {
    if (failed_) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        failed_ = true;
        return false;
    }
    if (crc) *crc = crc32(bytes.data(), bytes.size(), *crc);
    position_ += bytes.size();
    return true;
}

ERROR_CODE McapWriter::open(const std::string &path, const Options &options) {
    if (file_) close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return ERROR_CODE_WRITE_FAILED;
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    options_ = options;
    position_ = 0;
    failed_ = false;
    dataCrc_ = 0;
    schemas_.clear();
    channels_.clear();
    chunkIndexes_.clear();
    messageCount_ = firstTime_ = lastTime_ = 0;
    chunk_.clear();
    chunkMessages_.clear();

    std::vector<unsigned char> head(mcap::kMagic, mcap::kMagic + sizeof mcap::kMagic);
    Bytes b(head);
    const size_t record = b.begin(mcap::kHeader);
    b.string(options.profile);
    b.string(options.library);
    b.finish(record);
    if (emit(head, &dataCrc_)) return SUCCESS;
    // Without its header the file is nothing a reader takes: leave none.
    struct stat st;
    const bool regular = ::fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
    std::fclose(file_);
    file_ = nullptr;
    if (regular) std::remove(path.c_str());
    return ERROR_CODE_WRITE_FAILED;
}

uint16_t McapWriter::addSchema(const std::string &name, const std::string &encoding,
                               const std::string &data) {
    schemas_.push_back({name, encoding, data});
    return uint16_t(schemas_.size());
}

uint16_t McapWriter::addChannel(uint16_t schemaId, const std::string &topic,
                                const std::string &messageEncoding,
                                const std::vector<std::pair<std::string, std::string>> &metadata) {
    Channel c;
    c.schemaId = schemaId;
    c.topic = topic;
    c.encoding = messageEncoding;
    c.metadata = metadata;
    channels_.push_back(c);
    return uint16_t(channels_.size());
}

void McapWriter::schemaRecord(uint16_t id, std::vector<unsigned char> &out) const {
    const Schema &s = schemas_[id - 1u];
    Bytes b(out);
    const size_t record = b.begin(mcap::kSchema);
    b.u16(id);
    b.string(s.name);
    b.string(s.encoding);
    b.string(s.data);
    b.finish(record);
}

void McapWriter::channelRecord(uint16_t id, std::vector<unsigned char> &out) const {
    const Channel &c = channels_[id - 1u];
    Bytes b(out);
    const size_t record = b.begin(mcap::kChannel);
    b.u16(id);
    b.u16(c.schemaId);
    b.string(c.topic);
    b.string(c.encoding);
    const size_t map = b.openLength();
    for (const auto &entry : c.metadata) {
        b.string(entry.first);
        b.string(entry.second);
    }
    b.closeLength(map);
    b.finish(record);
}

ERROR_CODE McapWriter::write(uint16_t channelId, uint64_t logTime, uint64_t publishTime, const void *data,
                             size_t size) {
    if (!file_) return ERROR_CODE_FAILURE;
    if (failed_) return ERROR_CODE_WRITE_FAILED;
    if (channelId == 0 || channelId > channels_.size()) return ERROR_CODE_INVALID_ARGUMENT;
    Channel &channel = channels_[channelId - 1u];
    const uint16_t schemaId = channel.schemaId;
    if (schemaId > schemas_.size()) return ERROR_CODE_INVALID_ARGUMENT;
    // A channel's records precede its first message, inside the same chunk,
    // so that a reader starting at any chunk's beginning can decode it.
    if (schemaId != 0 && !schemas_[schemaId - 1u].written) {
        schemaRecord(schemaId, chunk_);
        schemas_[schemaId - 1u].written = true;
    }
    if (!channel.written) {
        channelRecord(channelId, chunk_);
        channel.written = true;
    }

    const bool firstInChunk = chunkMessages_.empty();
    chunkMessages_[channelId].emplace_back(logTime, chunk_.size());
    Bytes b(chunk_);
    const size_t record = b.begin(mcap::kMessage);
    b.u16(channelId);
    b.u32(channel.sequence++);
    b.u64(logTime);
    b.u64(publishTime);
    b.raw(data, size);
    b.finish(record);
    ++channel.count;

    chunkStart_ = firstInChunk ? logTime : std::min(chunkStart_, logTime);
    chunkEnd_ = firstInChunk ? logTime : std::max(chunkEnd_, logTime);
    firstTime_ = messageCount_ == 0 ? logTime : std::min(firstTime_, logTime);
    lastTime_ = messageCount_ == 0 ? logTime : std::max(lastTime_, logTime);
    ++messageCount_;
    if (chunk_.size() >= options_.chunkSize && !flushChunk()) return ERROR_CODE_WRITE_FAILED;
    return SUCCESS;
}

bool McapWriter::flushChunk() {
    if (failed_) return false;
    if (chunkMessages_.empty()) return true;
    if (!cctx_) cctx_ = ZSTD_createCCtx();
    compressed_.resize(ZSTD_compressBound(chunk_.size()));
    const size_t packed = cctx_ ? ZSTD_compressCCtx(cctx_, compressed_.data(), compressed_.size(),
                                                    chunk_.data(), chunk_.size(), options_.zstdLevel)
                                : size_t(-1);
    if (!cctx_ || ZSTD_isError(packed)) {
        failed_ = true;
        return false;
    }

    ChunkIndex index;
    index.start = chunkStart_;
    index.end = chunkEnd_;
    index.offset = position_;
    index.compressedSize = packed;
    index.uncompressedSize = chunk_.size();

    scratch_.clear();
    Bytes b(scratch_);
    const size_t record = b.begin(mcap::kChunk);
    b.u64(chunkStart_);
    b.u64(chunkEnd_);
    b.u64(chunk_.size());
    b.u32(crc32(chunk_.data(), chunk_.size()));
    b.string("zstd");
    b.u64(packed);
    // The length prefix is written now; the compressed bytes go straight
    // from their own buffer to the file.
    const uint64_t length = scratch_.size() - record - mcap::kRecordPrefix + packed;
    for (int i = 0; i < 8; ++i)
        scratch_[record + 1 + size_t(i)] = static_cast<unsigned char>(length >> (8 * i));
    compressed_.resize(packed);
    if (!emit(scratch_, &dataCrc_) || !emit(compressed_, &dataCrc_)) return false;
    index.length = position_ - index.offset;

    scratch_.clear();
    Bytes m(scratch_);
    for (const auto &channel : chunkMessages_) {
        index.indexOffsets[channel.first] = position_ + scratch_.size();
        const size_t at = m.begin(mcap::kMessageIndex);
        m.u16(channel.first);
        const size_t array = m.openLength();
        for (const auto &entry : channel.second) {
            m.u64(entry.first);
            m.u64(entry.second);
        }
        m.closeLength(array);
        m.finish(at);
    }
    index.indexLength = scratch_.size();
    if (!emit(scratch_, &dataCrc_)) return false;
    chunkIndexes_.push_back(index);
    chunk_.clear();
    chunkMessages_.clear();
    return true;
}

bool McapWriter::writeSummary() {
    std::vector<unsigned char> end;
    Bytes e(end);
    const size_t dataEnd = e.begin(mcap::kDataEnd);
    e.u32(dataCrc_);
    e.finish(dataEnd);
    if (!emit(end, nullptr)) return false;

    // Grouped by opcode, each group found again through a summary offset.
    const uint64_t summaryStart = position_;
    std::vector<unsigned char> summary;
    Bytes s(summary);
    std::vector<std::pair<uint8_t, std::pair<uint64_t, uint64_t>>> groups;
    auto group = [&](uint8_t op, size_t from) {
        if (summary.size() > from) groups.push_back({op, {summaryStart + from, summary.size() - from}});
    };
    size_t from = summary.size();
    for (size_t i = 0; i < schemas_.size(); ++i)
        if (schemas_[i].written) schemaRecord(uint16_t(i + 1), summary);
    group(mcap::kSchema, from);
    from = summary.size();
    uint32_t channelCount = 0;
    uint16_t schemaCount = 0;
    for (size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i].written) {
            channelRecord(uint16_t(i + 1), summary);
            ++channelCount;
        }
    for (const Schema &schema : schemas_)
        schemaCount = uint16_t(schemaCount + (schema.written ? 1 : 0));
    group(mcap::kChannel, from);

    from = summary.size();
    const size_t stats = s.begin(mcap::kStatistics);
    s.u64(messageCount_);
    s.u16(schemaCount);
    s.u32(channelCount);
    s.u32(0); // attachments
    s.u32(0); // metadata
    s.u32(uint32_t(chunkIndexes_.size()));
    s.u64(firstTime_);
    s.u64(lastTime_);
    const size_t counts = s.openLength();
    for (size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i].written) {
            s.u16(uint16_t(i + 1));
            s.u64(channels_[i].count);
        }
    s.closeLength(counts);
    s.finish(stats);
    group(mcap::kStatistics, from);

    from = summary.size();
    for (const ChunkIndex &c : chunkIndexes_) {
        const size_t at = s.begin(mcap::kChunkIndex);
        s.u64(c.start);
        s.u64(c.end);
        s.u64(c.offset);
        s.u64(c.length);
        const size_t map = s.openLength();
        for (const auto &entry : c.indexOffsets) {
            s.u16(entry.first);
            s.u64(entry.second);
        }
        s.closeLength(map);
        s.u64(c.indexLength);
        s.string("zstd");
        s.u64(c.compressedSize);
        s.u64(c.uncompressedSize);
        s.finish(at);
    }
    group(mcap::kChunkIndex, from);

    const uint64_t offsetsStart = summaryStart + summary.size();
    for (const auto &g : groups) {
        const size_t at = s.begin(mcap::kSummaryOffset);
        s.u8(g.first);
        s.u64(g.second.first);
        s.u64(g.second.second);
        s.finish(at);
    }
    const size_t footer = s.begin(mcap::kFooter);
    s.u64(summaryStart);
    s.u64(offsetsStart);
    s.u32(0);
    s.finish(footer);
    // The footer's CRC covers the summary and the footer up to the CRC itself.
    const size_t crcAt = summary.size() - 4;
    const uint32_t crc = crc32(summary.data(), crcAt);
    for (int i = 0; i < 4; ++i)
        summary[crcAt + size_t(i)] = static_cast<unsigned char>(crc >> (8 * i));
    s.raw(mcap::kMagic, sizeof mcap::kMagic);
    return emit(summary, nullptr);
}

ERROR_CODE McapWriter::close() {
    if (!file_) return ERROR_CODE_FAILURE;
    bool ok = flushChunk() && writeSummary();
    ok = std::fflush(file_) == 0 && ok;
    ok = !std::ferror(file_) && ok;
    // The file is renamed into place next: its bytes must be on the disk first.
    ok = ::fsync(fileno(file_)) == 0 && ok;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    chunk_.clear();
    chunk_.shrink_to_fit();
    compressed_.clear();
    compressed_.shrink_to_fit();
    return ok && !failed_ ? SUCCESS : ERROR_CODE_WRITE_FAILED;
}

} // namespace twl
