#pragma once
// Writes an MCAP file: messages gathered into zstd-compressed chunks, each
// followed by its message indexes, then a summary (schemas, channels,
// statistics and chunk indexes, located by summary offset records) so that
// readers can seek by time and list topics without scanning. Every CRC is
// filled in: data section, chunks and summary.

#include "twl/core/Types.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

typedef struct ZSTD_CCtx_s ZSTD_CCtx;

namespace twl {

class McapWriter {
public:
    struct Options {
        std::string profile = "ros2";
        std::string library = "vantaro";
        /// A chunk is closed once its records reach this many bytes.
        size_t chunkSize = 4u << 20;
        int zstdLevel = 1; // fast: an export is mostly raw pictures
    };

    McapWriter();
    /// Finishes the file (summary included) if still open.
    ~McapWriter();
    McapWriter(const McapWriter &) = delete;
    McapWriter &operator=(const McapWriter &) = delete;

    /// Creates (or replaces) `path` and writes the magic and the header.
    /// WRITE_FAILED when it cannot be created or written.
    ERROR_CODE open(const std::string &path, const Options &options);
    ERROR_CODE open(const std::string &path) { return open(path, Options()); }

    /// Ids for the schemas and channels, numbered from 1. Their records go
    /// into the file with the first message that needs them.
    uint16_t addSchema(const std::string &name, const std::string &encoding, const std::string &data);
    uint16_t addChannel(uint16_t schemaId, const std::string &topic, const std::string &messageEncoding,
                        const std::vector<std::pair<std::string, std::string>> &metadata = {});

    /// One message; its sequence number counts the channel's messages. After
    /// a write failure every later call fails too.
    ERROR_CODE write(uint16_t channelId, uint64_t logTime, uint64_t publishTime, const void *data,
                     size_t size);
    /// Writes the last chunk, the summary and the footer and closes the file.
    /// WRITE_FAILED when anything written since open() did not reach the disk.
    ERROR_CODE close();

    bool isOpen() const { return file_ != nullptr; }
    uint64_t bytesWritten() const { return position_; }

private:
    struct Schema {
        std::string name, encoding, data;
        bool written = false;
    };
    struct Channel {
        uint16_t schemaId = 0;
        std::string topic, encoding;
        std::vector<std::pair<std::string, std::string>> metadata;
        bool written = false;
        uint32_t sequence = 0;
        uint64_t count = 0;
    };
    struct ChunkIndex {
        uint64_t start = 0, end = 0, offset = 0, length = 0;
        std::map<uint16_t, uint64_t> indexOffsets;
        uint64_t indexLength = 0, compressedSize = 0, uncompressedSize = 0;
    };

    bool emit(const std::vector<unsigned char> &bytes, uint32_t *crc);
    void schemaRecord(uint16_t id, std::vector<unsigned char> &out) const;
    void channelRecord(uint16_t id, std::vector<unsigned char> &out) const;
    bool flushChunk();
    bool writeSummary();

    std::FILE *file_ = nullptr;
    Options options_;
    uint64_t position_ = 0;
    bool failed_ = false;
    uint32_t dataCrc_ = 0;
    ZSTD_CCtx *cctx_ = nullptr;

    std::vector<Schema> schemas_;   // id - 1
    std::vector<Channel> channels_; // id - 1
    std::vector<ChunkIndex> chunkIndexes_;
    uint64_t messageCount_ = 0, firstTime_ = 0, lastTime_ = 0;

    // The chunk being filled.
    std::vector<unsigned char> chunk_, compressed_, scratch_;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunkMessages_; // log time, offset
    uint64_t chunkStart_ = 0, chunkEnd_ = 0;
};

} // namespace twl
