#include "twl/mcap/McapReader.h"

#include "twl/mcap/McapFormat.h"
#include "twl/util/Crc32.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace twl {

using mcap::Cursor;

namespace {

std::string at(uint64_t offset) {
    return " at offset " + std::to_string(offset);
}

/// A uint32-length-prefixed map of strings.
bool readStringMap(Cursor &c, std::map<std::string, std::string> *out) {
    const uint32_t size = c.u32();
    const unsigned char *bytes = c.take(size);
    Cursor m(bytes, bytes ? size : 0);
    while (c.ok() && m.ok() && m.left() > 0) {
        std::string key = m.string();
        (*out)[key] = m.string();
    }
    return c.ok() && m.ok();
}

} // namespace

bool McapReader::fail(const std::string &why) {
    if (problem_.empty()) problem_ = why;
    if (error_) *error_ = problem_;
    return false;
}

std::vector<const McapReader::Message *> McapReader::messagesOn(const std::string &topic) const {
    std::vector<const Message *> out;
    for (const Message &m : messages_) {
        auto c = channels_.find(m.channelId);
        if (c != channels_.end() && c->second.topic == topic) out.push_back(&m);
    }
    return out;
}

const McapReader::Schema *McapReader::schemaOf(const std::string &topic) const {
    for (const auto &c : channels_)
        if (c.second.topic == topic) {
            auto s = schemas_.find(c.second.schemaId);
            return s == schemas_.end() ? nullptr : &s->second;
        }
    return nullptr;
}

bool McapReader::open(const std::string &path, std::string *error) {
    error_ = error;
    problem_.clear();
    profile_.clear();
    schemas_.clear();
    channels_.clear();
    messages_.clear();
    chunks_.clear();
    chunksIndexed_ = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot open " + path);
    file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const size_t n = file_.size();
    const size_t magic = sizeof mcap::kMagic;
    if (n < 2 * magic + mcap::kFooterRecordSize || std::memcmp(file_.data(), mcap::kMagic, magic) != 0 ||
        std::memcmp(file_.data() + n - magic, mcap::kMagic, magic) != 0)
        return fail("the MCAP magic is missing at the start or the end");

    const size_t footerAt = n - magic - mcap::kFooterRecordSize;
    size_t pos = magic;
    bool dataEnd = false;
    while (!dataEnd) {
        if (footerAt - pos < mcap::kRecordPrefix) return fail("the data section has no Data End record");
        const uint8_t op = file_[pos];
        Cursor prefix(&file_[pos + 1], 8);
        const uint64_t length = prefix.u64();
        if (length > footerAt - pos - mcap::kRecordPrefix)
            return fail("record runs past the footer" + at(pos));
        const unsigned char *content = &file_[pos + mcap::kRecordPrefix];
        if (pos == magic && op != mcap::kHeader) return fail("the first record is not the header");
        if (op != mcap::kMessageIndex && !chunkFullyIndexed()) return false;
        bool ok = true;
        switch (op) {
        case mcap::kHeader: {
            if (pos != magic) return fail("a second header" + at(pos));
            Cursor c(content, size_t(length));
            profile_ = c.string();
            c.string(); // library
            ok = c.ok();
            break;
        }
        case mcap::kChunk:
            ok = readChunk(content, size_t(length), pos);
            break;
        case mcap::kMessageIndex:
            ok = readMessageIndex(content, size_t(length), pos);
            break;
        case mcap::kSchema:
        case mcap::kChannel:
        case mcap::kMessage:
            ok = readInner(op, content, size_t(length), pos, nullptr);
            break;
        case mcap::kDataEnd: {
            Cursor c(content, size_t(length));
            const uint32_t crc = c.u32();
            if (!c.ok() || crc != crc32(file_.data(), pos))
                return fail("the data section's CRC does not match");
            dataEnd = true;
            break;
        }
        case mcap::kFooter:
            return fail("a footer before the Data End record" + at(pos));
        default:
            break; // records this reader does not know are skipped
        }
        if (!ok) return !problem_.empty() ? false : fail("a record is cut short" + at(pos));
        pos += mcap::kRecordPrefix + size_t(length);
    }

    Cursor footer(&file_[footerAt], mcap::kFooterRecordSize);
    const uint8_t op = footer.u8();
    const uint64_t length = footer.u64();
    const uint64_t summaryStart = footer.u64(), offsetStart = footer.u64();
    const uint32_t crc = footer.u32();
    if (op != mcap::kFooter || length != mcap::kFooterRecordSize - mcap::kRecordPrefix)
        return fail("no footer record before the closing magic");
    if (summaryStart != pos)
        return fail("the footer does not point at the summary after the Data End record");
    if (offsetStart != 0 && (offsetStart < summaryStart || offsetStart > footerAt))
        return fail("the footer's summary offset start is outside the summary");
    const size_t covered = footerAt + mcap::kFooterRecordSize - 4 - size_t(summaryStart);
    if (crc != crc32(&file_[size_t(summaryStart)], covered)) return fail("the summary's CRC does not match");
    return readSummary(summaryStart, offsetStart ? offsetStart : footerAt, footerAt);
}

bool McapReader::readChunk(const unsigned char *content, size_t size, uint64_t offset) {
    Cursor c(content, size);
    Chunk chunk;
    chunk.offset = offset;
    chunk.length = mcap::kRecordPrefix + size;
    chunk.start = c.u64();
    chunk.end = c.u64();
    chunk.uncompressedSize = c.u64();
    const uint32_t crc = c.u32();
    chunk.compression = c.string();
    chunk.compressedSize = c.u64();
    const unsigned char *packed = c.take(size_t(chunk.compressedSize));
    if (!c.ok() || c.left() != 0) return fail("chunk" + at(offset) + " is not as long as its fields say");
    if (chunk.uncompressedSize > (1u << 30)) return fail("chunk" + at(offset) + " claims over 1 GiB");
    std::vector<unsigned char> records(size_t(chunk.uncompressedSize));
    if (chunk.compression == "zstd") {
        const unsigned long long declared = ZSTD_getFrameContentSize(packed, size_t(chunk.compressedSize));
        const size_t got =
            ZSTD_decompress(records.data(), records.size(), packed, size_t(chunk.compressedSize));
        if (declared != chunk.uncompressedSize || ZSTD_isError(got) || got != records.size())
            return fail("chunk" + at(offset) + " does not decompress to its stated size");
    } else if (chunk.compression.empty() && chunk.compressedSize == chunk.uncompressedSize) {
        std::copy(packed, packed + records.size(), records.begin());
    } else {
        return fail("chunk" + at(offset) + " has compression '" + chunk.compression + "'");
    }
    if (crc != crc32(records.data(), records.size()))
        return fail("chunk" + at(offset) + ": the CRC of its records does not match");
    chunks_.push_back(chunk);
    for (size_t pos = 0; pos < records.size();) {
        Cursor prefix(&records[pos], records.size() - pos);
        const uint8_t op = prefix.u8();
        const uint64_t length = prefix.u64();
        if (!prefix.ok() || length > prefix.left())
            return fail("a record inside chunk" + at(offset) + " runs past its end");
        if (!readInner(op, records.data() + pos + mcap::kRecordPrefix, size_t(length), pos, &chunks_.back()))
            return !problem_.empty() ? false : fail("a record inside chunk" + at(offset) + " is cut short");
        pos += mcap::kRecordPrefix + size_t(length);
    }
    return true;
}

bool McapReader::readInner(uint8_t op, const unsigned char *content, size_t size, uint64_t offset,
                           Chunk *chunk) {
    Cursor c(content, size);
    if (op == mcap::kSchema) {
        const uint16_t id = c.u16();
        Schema s;
        s.name = c.string();
        s.encoding = c.string();
        s.data = c.string();
        if (!c.ok()) return false;
        if (id == 0) return fail("a schema with id 0");
        auto known = schemas_.find(id);
        if (known != schemas_.end() && !(known->second == s))
            return fail("schema " + std::to_string(id) + " redefined");
        schemas_[id] = s;
    } else if (op == mcap::kChannel) {
        const uint16_t id = c.u16();
        Channel ch;
        ch.schemaId = c.u16();
        ch.topic = c.string();
        ch.encoding = c.string();
        if (!readStringMap(c, &ch.metadata)) return false;
        if (ch.schemaId != 0 && !schemas_.count(ch.schemaId))
            return fail("channel " + ch.topic + " comes before its schema");
        auto known = channels_.find(id);
        if (known != channels_.end() && !(known->second == ch))
            return fail("channel " + std::to_string(id) + " redefined");
        channels_[id] = ch;
    } else if (op == mcap::kMessage) {
        Message m;
        m.channelId = c.u16();
        m.sequence = c.u32();
        m.logTime = c.u64();
        m.publishTime = c.u64();
        if (!c.ok()) return false;
        const unsigned char *data = c.take(c.left());
        m.data.assign(data, data + (size - 22));
        if (!channels_.count(m.channelId)) return fail("a message comes before its channel");
        if (chunk) {
            if (m.logTime < chunk->start || m.logTime > chunk->end)
                return fail("a message's time lies outside its chunk's time range");
            chunk->messageAt[offset] = messages_.size();
        }
        messages_.push_back(std::move(m));
    }
    return c.ok();
}

bool McapReader::readMessageIndex(const unsigned char *content, size_t size, uint64_t offset) {
    if (chunks_.empty() || chunksIndexed_ == chunks_.size())
        return fail("a message index" + at(offset) + " does not follow a chunk");
    Chunk &chunk = chunks_.back();
    Cursor c(content, size);
    const uint16_t channel = c.u16();
    const uint32_t bytes = c.u32();
    const unsigned char *entries = c.take(bytes);
    if (!c.ok() || bytes % 16 != 0) return false;
    if (chunk.indexOffsets.count(channel)) return fail("two message indexes for one channel" + at(offset));
    chunk.indexOffsets[channel] = offset;
    chunk.indexLength += mcap::kRecordPrefix + size;
    Cursor e(entries, bytes);
    size_t indexed = 0;
    std::set<uint64_t> seen;
    while (e.left() > 0) {
        const uint64_t time = e.u64(), where = e.u64();
        auto m = chunk.messageAt.find(where);
        if (m == chunk.messageAt.end() || messages_[m->second].channelId != channel ||
            messages_[m->second].logTime != time || !seen.insert(where).second)
            return fail("message index" + at(offset) + " points at no message of its channel and time");
        ++indexed;
    }
    size_t inChunk = 0;
    for (const auto &m : chunk.messageAt)
        inChunk += messages_[m.second].channelId == channel ? 1 : 0;
    if (indexed != inChunk) return fail("message index" + at(offset) + " leaves messages out");
    return true;
}

bool McapReader::chunkFullyIndexed() {
    if (chunksIndexed_ == chunks_.size()) return true;
    const Chunk &chunk = chunks_.back();
    for (const auto &m : chunk.messageAt)
        if (!chunk.indexOffsets.count(messages_[m.second].channelId))
            return fail("chunk" + at(chunk.offset) + " has no message index for a channel of its messages");
    chunksIndexed_ = chunks_.size();
    return true;
}

bool McapReader::readSummary(uint64_t summaryStart, uint64_t offsetStart, uint64_t footerAt) {
    struct Group {
        uint8_t op;
        uint64_t start, end;
        bool located;
    };
    std::vector<Group> groups;
    std::set<uint16_t> schemas, channels;
    size_t chunkIndexes = 0;
    bool statistics = false;
    for (uint64_t pos = summaryStart; pos < offsetStart;) {
        Cursor prefix(&file_[size_t(pos)], size_t(offsetStart - pos));
        const uint8_t op = prefix.u8();
        const uint64_t length = prefix.u64();
        if (!prefix.ok() || length > prefix.left()) return fail("a summary record runs past its section");
        if (groups.empty() || groups.back().op != op) {
            for (const Group &g : groups)
                if (g.op == op) return fail("the summary's records are not grouped by opcode");
            groups.push_back({op, pos, pos, false});
        }
        groups.back().end = pos + mcap::kRecordPrefix + length;
        const unsigned char *content = &file_[size_t(pos) + mcap::kRecordPrefix];
        Cursor c(content, size_t(length));
        if (op == mcap::kSchema || op == mcap::kChannel) {
            const uint16_t id = c.u16();
            const size_t before = op == mcap::kSchema ? schemas_.size() : channels_.size();
            if (!readInner(op, content, size_t(length), pos, nullptr))
                return !problem_.empty() ? false : fail("a summary record is cut short");
            if ((op == mcap::kSchema ? schemas_.size() : channels_.size()) != before)
                return fail("the summary names a schema or channel the data section does not have");
            (op == mcap::kSchema ? schemas : channels).insert(id);
        } else if (op == mcap::kStatistics) {
            if (statistics || !checkStatistics(content, size_t(length))) return false;
            statistics = true;
        } else if (op == mcap::kChunkIndex) {
            if (!checkChunkIndex(content, size_t(length))) return false;
            ++chunkIndexes;
        }
        pos = groups.back().end;
    }
    if (!statistics) return fail("the summary has no statistics");
    if (chunkIndexes != chunks_.size()) return fail("not every chunk has a chunk index");
    if (schemas.size() != schemas_.size() || channels.size() != channels_.size())
        return fail("the summary does not repeat every schema and channel");

    for (uint64_t pos = offsetStart; pos < footerAt;) {
        Cursor c(&file_[size_t(pos)], size_t(footerAt - pos));
        const uint8_t op = c.u8();
        const uint64_t length = c.u64();
        const uint8_t groupOp = c.u8();
        const uint64_t start = c.u64(), size = c.u64();
        if (!c.ok() || op != mcap::kSummaryOffset || length != 17)
            return fail("the summary offset section holds something else" + at(pos));
        auto g = std::find_if(groups.begin(), groups.end(), [&](const Group &x) {
            return x.op == groupOp && x.start == start && x.end - x.start == size;
        });
        if (g == groups.end()) return fail("a summary offset points at no group of its records");
        g->located = true;
        pos += mcap::kRecordPrefix + length;
    }
    for (const Group &g : groups)
        if (!g.located && offsetStart != footerAt) return fail("a summary group has no summary offset");
    return true;
}

bool McapReader::checkChunkIndex(const unsigned char *content, size_t size) {
    Cursor c(content, size);
    Chunk want;
    want.start = c.u64();
    want.end = c.u64();
    want.offset = c.u64();
    want.length = c.u64();
    const uint32_t bytes = c.u32();
    const unsigned char *map = c.take(bytes);
    Cursor m(map, map ? bytes : 0);
    while (m.ok() && m.left() > 0) {
        const uint16_t channel = m.u16();
        want.indexOffsets[channel] = m.u64();
    }
    want.indexLength = c.u64();
    want.compression = c.string();
    want.compressedSize = c.u64();
    want.uncompressedSize = c.u64();
    if (!c.ok() || !m.ok()) return fail("a chunk index is cut short");
    auto chunk =
        std::find_if(chunks_.begin(), chunks_.end(), [&](const Chunk &x) { return x.offset == want.offset; });
    if (chunk == chunks_.end())
        return fail("a chunk index points" + at(want.offset) + ", where no chunk starts");
    if (chunk->length != want.length || chunk->start != want.start || chunk->end != want.end ||
        chunk->compression != want.compression || chunk->compressedSize != want.compressedSize ||
        chunk->uncompressedSize != want.uncompressedSize)
        return fail("the chunk index of the chunk" + at(want.offset) + " does not describe it");
    if (chunk->indexOffsets != want.indexOffsets || chunk->indexLength != want.indexLength)
        return fail("the chunk index of the chunk" + at(want.offset) + " misplaces its message indexes");
    return true;
}

bool McapReader::checkStatistics(const unsigned char *content, size_t size) {
    Cursor c(content, size);
    const uint64_t messages = c.u64();
    const uint16_t schemas = c.u16();
    const uint32_t channels = c.u32();
    c.u32(); // attachments
    c.u32(); // metadata
    const uint32_t chunks = c.u32();
    const uint64_t start = c.u64(), end = c.u64();
    const uint32_t bytes = c.u32();
    const unsigned char *map = c.take(bytes);
    Cursor m(map, map ? bytes : 0);
    std::map<uint16_t, uint64_t> counts, real;
    while (m.ok() && m.left() > 0) {
        const uint16_t channel = m.u16();
        counts[channel] = m.u64();
    }
    if (!c.ok() || !m.ok()) return fail("the statistics are cut short");
    uint64_t first = messages_.empty() ? 0 : messages_[0].logTime, last = first;
    for (const Message &msg : messages_) {
        ++real[msg.channelId];
        first = std::min(first, msg.logTime);
        last = std::max(last, msg.logTime);
    }
    if (messages != messages_.size() || schemas != schemas_.size() || channels != channels_.size() ||
        chunks != chunks_.size() || start != first || end != last || (!counts.empty() && counts != real))
        return fail("the statistics do not match the file");
    return true;
}

} // namespace twl
