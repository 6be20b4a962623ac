#pragma once
// The Huffman decoding of a baseline JPEG scan, done for libjpeg in place of
// its own: libjpeg still reads the headers, transforms the blocks and
// upsamples, and this hands it each MCU's coefficients, the same to the bit.
// In an MJPG camera's frame the Huffman decoding is most of the decode
// (about three fifths at HD720), and libjpeg's, a chain of table look-ups
// each waiting on the bits the one before used, takes about a third longer
// than this one: here a single look-up gives most coefficients' length, run
// and value at once, the bits are read from a copy of the scan with its
// stuffed bytes taken out (so refilling them needs no test), and the only
// branches the data decides are a block's end and the rare long code.
// With the fast DCT, the pictures cameras send are decoded a row of MCUs at
// a time in the place of libjpeg's coefficient controller, their blocks
// transformed two or four at once, as libjpeg's SSE2 transform would one at
// a time.

#include <memory>

struct jpeg_decompress_struct;

namespace twl {

class HuffmanDecoder {
public:
    HuffmanDecoder();
    ~HuffmanDecoder();
    HuffmanDecoder(const HuffmanDecoder &) = delete;
    HuffmanDecoder &operator=(const HuffmanDecoder &) = delete;

    /// Called after jpeg_start_decompress, before any row is read: takes
    /// over the Huffman decoding of `info`'s scan where it is one this class
    /// decodes as libjpeg does (a single baseline scan, 8-bit, without
    /// restart markers), reading its coded data from libjpeg's source. False,
    /// with libjpeg left to decode it, elsewhere. This object must stay
    /// until the decode ends; `info.client_data` points into it meanwhile.
    bool takeOver(jpeg_decompress_struct &info);

    /// How many blocks at once the picture taken over last has its inverse
    /// transform done: 4 or 2 where this does it, 1 where libjpeg does.
    int blocksTransformedAtOnce() const;

    struct Scan;

private:
    // With the fast DCT on a picture of the layout cameras send, the MCUs
    // are decoded and transformed a row at a time in libjpeg's place, two
    // or four blocks at once, where this CPU runs a transform that gives
    // libjpeg's samples to the bit.
    void transformInGroupsWhereExact(jpeg_decompress_struct &info);

    std::unique_ptr<Scan> scan_; // kept from one picture to the next, with its buffers
};

} // namespace twl
