#pragma once
// Reads a whole MCAP file into memory and checks it the way an indexed
// reader relies on it: both magics, every CRC (data section, chunks,
// summary), each message index against the messages of its chunk, each
// chunk index against its chunk, the statistics against what the file holds
// and each summary offset against its group. Meant for files of test size.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace twl {

class McapReader {
public:
    struct Schema {
        std::string name, encoding, data;
        bool operator==(const Schema &o) const {
            return name == o.name && encoding == o.encoding && data == o.data;
        }
    };
    struct Channel {
        uint16_t schemaId = 0;
        std::string topic, encoding;
        std::map<std::string, std::string> metadata;
        bool operator==(const Channel &o) const {
            return schemaId == o.schemaId && topic == o.topic && encoding == o.encoding &&
                   metadata == o.metadata;
        }
    };
    struct Message {
        uint16_t channelId = 0;
        uint32_t sequence = 0;
        uint64_t logTime = 0, publishTime = 0;
        std::vector<unsigned char> data;
    };

    /// False with the first problem found in `error`.
    bool open(const std::string &path, std::string *error);

    const std::string &profile() const { return profile_; }
    const std::map<uint16_t, Schema> &schemas() const { return schemas_; }
    const std::map<uint16_t, Channel> &channels() const { return channels_; }
    /// In file order.
    const std::vector<Message> &messages() const { return messages_; }
    /// The messages on `topic`, in file order.
    std::vector<const Message *> messagesOn(const std::string &topic) const;
    /// The schema of the channel on `topic`; null when there is none.
    const Schema *schemaOf(const std::string &topic) const;
    int chunkCount() const { return int(chunks_.size()); }

private:
    struct Chunk {
        uint64_t offset = 0, length = 0, start = 0, end = 0, compressedSize = 0, uncompressedSize = 0;
        std::string compression;
        std::map<uint64_t, size_t> messageAt; // offset in the records -> index into messages_
        std::map<uint16_t, uint64_t> indexOffsets;
        uint64_t indexLength = 0;
    };

    bool fail(const std::string &why);
    bool readChunk(const unsigned char *content, size_t size, uint64_t offset);
    bool readMessageIndex(const unsigned char *content, size_t size, uint64_t offset);
    bool chunkFullyIndexed();
    bool readInner(uint8_t op, const unsigned char *content, size_t size, uint64_t offset, Chunk *chunk);
    bool readSummary(uint64_t summaryStart, uint64_t offsetStart, uint64_t footerAt);
    bool checkChunkIndex(const unsigned char *content, size_t size);
    bool checkStatistics(const unsigned char *content, size_t size);

    std::vector<unsigned char> file_;
    std::string *error_ = nullptr;
    std::string problem_; // the first one found
    std::string profile_;
    std::map<uint16_t, Schema> schemas_;
    std::map<uint16_t, Channel> channels_;
    std::vector<Message> messages_;
    std::vector<Chunk> chunks_;
    size_t chunksIndexed_ = 0;
};

} // namespace twl
