#include "twl/uvc/HuffmanDecoder.h"

#include <algorithm>
#include <cstdio> // jpeglib.h needs FILE
#include <cstring>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h: the entropy decoder's interface, which libjpeg installs
// for programs that extend it.
#include <jerror.h>
#include <jpegint.h>

namespace twl {

namespace {

// Look-ups of this many bits decode most symbols at once (11: tables of
// 8 and 4 KiB for each of the four a colour picture has; 10 and 12 were no
// faster).
constexpr int kLookupBits = 11;
constexpr unsigned kEndOfBlock = 64; // the run of an end-of-block: past any block
// Bytes of zeros after the coded data: more than an MCU of ten blocks can
// read past its end, however damaged, so reads need no test.
constexpr size_t kZeroTail = 4096;

// Natural order of the coefficients in zig-zag order; positions past the
// block (a run that overshoots it, or an end-of-block) go to its last one,
// as libjpeg's own table sends them.
struct NaturalOrder {
    uint8_t at[128];
    constexpr NaturalOrder() : at() {
        const uint8_t zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
        for (int k = 0; k < 128; ++k)
            at[k] = k < 64 ? zigzag[k] : 63;
    }
};
constexpr NaturalOrder kNatural;

// What a symbol means: the zeros before the coefficient (kEndOfBlock for
// an end-of-block) and the size of its value in bits. A DC symbol is a size.
void meaning(int symbol, bool ac, unsigned &run, int &size) {
    if (!ac) {
        run = 0;
        size = symbol & 15;
        return;
    }
    run = unsigned(symbol >> 4);
    size = symbol & 15;
    // Size 0 is sixteen zeros with run 15; libjpeg ends the block on any other.
    if (size == 0 && run != 15) run = kEndOfBlock;
}

// The value of `size` bits: the lower half of the range stands for negatives.
int extend(uint32_t bits, int size) {
    return size == 0 ? 0 : bits < (1u << (size - 1)) ? int(bits) - int((1u << size) - 1) : int(bits);
}

// One Huffman table in look-ups of kLookupBits.
struct Table {
    // Codes whose value fits in the look-up too: bits 0-7 the bits used,
    // 8-15 the run, 16-31 the value. 0 where it does not fit.
    uint32_t whole[1 << kLookupBits];
    // Codes of at most kLookupBits: bits 0-4 the code's length, 5-8 the
    // value's size, 9-15 the run. 0 for longer codes.
    uint16_t code[1 << kLookupBits];
    // AC symbols two at a time where the second fits in the bits the first
    // leaves: bits 0-7 the bits the first uses, 8-15 the bits both use,
    // 16-23 the first's run, 24-31 the second's run plus one (0 where there
    // is none, or the first ends the block), 32-47 the first's value, 48-63
    // the second's (the first's again where there is none, so that storing
    // it changes nothing). 0 where `whole` is 0.
    uint64_t pair[1 << kLookupBits];
    // The longer codes, canonically: codes of length l run from first[l] to last[l].
    int first[17], last[17], index[17];
    uint8_t symbols[256];
    bool ac;
    // The most bits one symbol and its value can read: 17 for a code that
    // does not exist.
    int longest;

    // libjpeg has checked the table (no more codes of a length than fit).
    void build(const JHUFF_TBL &table, bool isAc) {
        ac = isAc;
        std::memset(whole, 0, sizeof whole);
        std::memset(code, 0, sizeof code);
        int next = 0, k = 0;
        longest = 17;
        for (int length = 1; length <= 16; ++length) {
            const int count = table.bits[length];
            first[length] = next;
            index[length] = k;
            last[length] = next + count - 1;
            for (int i = 0; i < count; ++i, ++next, ++k) {
                const int symbol = table.huffval[k];
                symbols[k] = uint8_t(symbol);
                unsigned run;
                int size;
                meaning(symbol, ac, run, size);
                longest = std::max(longest, length + size);
                if (length > kLookupBits) continue;
                const int spare = kLookupBits - length;
                for (int low = 0; low < 1 << spare; ++low) {
                    const int at = next << spare | low;
                    code[at] = uint16_t(length | size << 5 | run << 9);
                    if (length + size <= kLookupBits) {
                        const uint32_t bits = uint32_t(low >> (spare - size)) & ((1u << size) - 1);
                        whole[at] =
                            uint32_t(length + size) | run << 8 | uint32_t(uint16_t(extend(bits, size))) << 16;
                    }
                }
            }
            next <<= 1;
        }
        if (!ac) return;
        for (unsigned at = 0; at < 1u << kLookupBits; ++at) {
            const uint32_t one = whole[at];
            const unsigned used = one & 0xFF, run = (one >> 8) & 0xFF;
            const uint64_t value = one >> 16;
            uint32_t two = 0;
            if (one && run != kEndOfBlock && used < unsigned(kLookupBits)) {
                two = whole[(at << used) & ((1u << kLookupBits) - 1)];
                if ((two & 0xFF) > kLookupBits - used) two = 0;
            }
            pair[at] = !one  ? 0
                       : two ? used | uint64_t(used + (two & 0xFF)) << 8 | uint64_t(run) << 16 |
                                   uint64_t(((two >> 8) & 0xFF) + 1) << 24 | value << 32 |
                                   uint64_t(two >> 16) << 48
                             : used | uint64_t(used) << 8 | uint64_t(run) << 16 | value << 32 | value << 48;
        }
    }
};

} // namespace

struct HuffmanDecoder::Scan {
    Table tables[2][NUM_HUFF_TBLS]; // DC, AC; those the scan uses built for it
    const Table *dcOf[D_MAX_BLOCKS_IN_MCU] = {}, *acOf[D_MAX_BLOCKS_IN_MCU] = {};
    std::vector<uint8_t> coded; // the coded data without stuffed bytes, then kZeroTail zeros
    size_t codedBits = 0;
    int blocks = 0;
    int component[D_MAX_BLOCKS_IN_MCU] = {};
    int dc[MAX_COMPS_IN_SCAN] = {};
    bool ranOut = false;
    // Whether two steps of `Reader::acStep` always fit in what one refill
    // leaves (56 bits): a step reads 11 bits, or one symbol of at most the
    // table's longest; with the tables cameras use, 26 at most.
    bool pairs = false;

    // The coded data up to the marker that ends it, each stuffed 0xFF 0x00
    // a byte 0xFF. Fill bytes (0xFF) before a marker are skipped, as libjpeg
    // skips them.
    void unstuff(const uint8_t *data, size_t bytes) {
        coded.resize(bytes + kZeroTail);
        uint8_t *out = coded.data();
        const uint8_t *p = data, *end = data + bytes;
        while (p < end) {
            const auto *ff = static_cast<const uint8_t *>(std::memchr(p, 0xFF, size_t(end - p)));
            const uint8_t *stop = ff ? ff : end;
            std::memcpy(out, p, size_t(stop - p));
            out += stop - p;
            if (!ff) break;
            p = ff + 1;
            while (p < end && *p == 0xFF)
                ++p;
            if (p >= end || *p != 0) break; // a marker: the end of the scan
            *out++ = 0xFF;
            ++p;
        }
        codedBits = size_t(out - coded.data()) * 8;
        std::memset(out, 0, kZeroTail);
    }

    // The bit reader, held in locals while an MCU is decoded (in the
    // object, its fields went to memory and back for every coefficient).
    struct Reader {
        const uint8_t *at;
        uint64_t bits; // `count` bits at its top
        unsigned count;
        bool badCode;

        // At least 56 bits in `bits`: a symbol and its value use at most 31.
        // The next word's load depends on how many bits the last symbol
        // used, so every refill lengthens the chain from symbol to symbol.
        inline void refill() {
            uint64_t word;
            std::memcpy(&word, at, 8);
            bits |= __builtin_bswap64(word) >> count;
            at += (63 - count) >> 3;
            count |= 56;
        }

        // The next symbol of `table`: its run (kEndOfBlock to end the block) and value.
        inline unsigned symbol(const Table &table, int &value) {
            const unsigned look = unsigned(bits >> (64 - kLookupBits));
            const uint32_t whole = table.whole[look];
            unsigned used, run;
            if (__builtin_expect(whole != 0, 1)) {
                used = whole & 0xFF;
                run = (whole >> 8) & 0xFF;
                value = int32_t(whole) >> 16;
            } else {
                int length, size;
                if (const unsigned entry = table.code[look]) {
                    length = int(entry & 31);
                    size = int(entry >> 5 & 15);
                    run = entry >> 9;
                } else {
                    length = kLookupBits + 1;
                    int code = int(bits >> (64 - length));
                    while (length <= 16 && code > table.last[length])
                        code = int(bits >> (64 - ++length));
                    if (length > 16) {
                        // No such code: libjpeg warns and takes the symbol for 0,
                        // having read 17 bits.
                        badCode = true;
                        code = -1;
                    }
                    const int symbol =
                        code < 0 ? 0 : table.symbols[table.index[length] + code - table.first[length]];
                    meaning(symbol, table.ac, run, size);
                }
                used = unsigned(length + size);
                value = extend(size ? uint32_t(bits << length >> (64 - size)) : 0u, size);
            }
            bits <<= used;
            count -= used;
            return run;
        }

        // Decodes the AC coefficients of `block` from position `k` on: two
        // from one look-up where they fit in its 11 bits, else one symbol.
        // Returns the position after them.
        inline unsigned acStep(const Table &table, unsigned k, JCOEF *block) {
            const uint64_t two = table.pair[bits >> (64 - kLookupBits)];
            if (__builtin_expect(two != 0, 1)) {
                const unsigned k1 = k + unsigned(two >> 16 & 0xFF);
                block[kNatural.at[k1]] = JCOEF(int16_t(two >> 32));
                unsigned used = unsigned(two >> 8 & 0xFF), step = unsigned(two >> 24 & 0xFF);
                JCOEF second = JCOEF(int16_t(two >> 48));
                // The first filled the block's last place or ran past it:
                // the second symbol belongs to the next block.
                if (__builtin_expect(k1 >= 63 && step != 0, 0)) {
                    used = unsigned(two & 0xFF);
                    step = 0;
                    second = JCOEF(int16_t(two >> 32));
                }
                bits <<= used;
                count -= used;
                block[kNatural.at[k1 + step]] = second;
                return k1 + step + 1;
            }
            int value;
            k += symbol(table, value);
            block[kNatural.at[k]] = JCOEF(value);
            return k + 1;
        }
    };
    Reader reader{};

    // Refilling once for two steps took a tenth off the decode where they
    // fit. The choice is made once a scan: a test in the loop cost as much
    // as it saved.
    template <bool Pairs> void decode(JBLOCKROW *mcu) {
        Reader r = reader;
        for (int b = 0; b < blocks; ++b) {
            JCOEF *block = mcu[b][0];
            const Table &dcTable = *dcOf[b], &acTable = *acOf[b];
            int value;
            r.refill();
            r.symbol(dcTable, value);
            // Wrapping, as damaged data can make the sum any size; libjpeg's coefficients are 16 bits.
            int &predicted = dc[component[b]];
            predicted = int(unsigned(predicted) + unsigned(value));
            block[0] = JCOEF(predicted);
            for (unsigned k = 1; k < 64;) {
                r.refill();
                k = r.acStep(acTable, k, block);
                if (Pairs && k < 64) k = r.acStep(acTable, k, block);
            }
        }
        reader = r;
    }
};

namespace {

template <bool Pairs> boolean decodeMcu(j_decompress_ptr info, JBLOCKROW *mcu) {
    auto &scan = *static_cast<HuffmanDecoder::Scan *>(info->client_data);
    // Past the end of the data, libjpeg leaves the blocks at zero; the
    // first MCU that reaches past it is decoded with zeros for the bits it lacks.
    if (scan.ranOut) return TRUE;
    // libjpeg skipping rows asks for MCUs it throws away.
    JBLOCK discarded[D_MAX_BLOCKS_IN_MCU];
    JBLOCKROW into[D_MAX_BLOCKS_IN_MCU];
    if (!mcu) {
        for (int b = 0; b < D_MAX_BLOCKS_IN_MCU; ++b)
            into[b] = &discarded[b];
        mcu = into;
    }
    scan.decode<Pairs>(mcu);
    if (scan.reader.badCode) {
        scan.reader.badCode = false;
        WARNMS(info, JWRN_HUFF_BAD_CODE);
    }
    const size_t used = size_t(scan.reader.at - scan.coded.data()) * 8 - scan.reader.count;
    if (used > scan.codedBits) {
        scan.ranOut = true;
        info->entropy->insufficient_data = TRUE;
        WARNMS(info, JWRN_HIT_MARKER);
    }
    return TRUE;
}

} // namespace

HuffmanDecoder::HuffmanDecoder() : scan_(new Scan) {}

HuffmanDecoder::~HuffmanDecoder() = default;

bool HuffmanDecoder::takeOver(jpeg_decompress_struct &info) {
    // A picture of several scans has been decoded whole by the time rows are read.
    if (info.progressive_mode || info.arith_code || info.buffered_image || !info.inputctl ||
        info.inputctl->has_multiple_scans || info.restart_interval != 0 || info.data_precision != 8 ||
        info.Ss != 0 || info.Se != DCTSIZE2 - 1 || info.Ah != 0 || info.Al != 0 || !info.entropy ||
        !info.src || info.output_scanline != 0 || info.blocks_in_MCU < 1 ||
        info.blocks_in_MCU > D_MAX_BLOCKS_IN_MCU || info.comps_in_scan < 1 ||
        info.comps_in_scan != info.num_components || info.comps_in_scan > MAX_COMPS_IN_SCAN)
        return false;
    Scan &scan = *scan_;
    scan.blocks = info.blocks_in_MCU;
    bool built[2][NUM_HUFF_TBLS] = {};
    scan.pairs = true;
    for (int b = 0; b < scan.blocks; ++b) {
        const int c = info.MCU_membership[b];
        if (c < 0 || c >= info.comps_in_scan || !info.cur_comp_info[c]) return false;
        const int number[2] = {info.cur_comp_info[c]->dc_tbl_no, info.cur_comp_info[c]->ac_tbl_no};
        const Table **of[2] = {scan.dcOf, scan.acOf};
        for (int ac = 0; ac < 2; ++ac) {
            const int n = number[ac];
            const JHUFF_TBL *table = n < 0 || n >= NUM_HUFF_TBLS ? nullptr
                                     : ac                        ? info.ac_huff_tbl_ptrs[n]
                                                                 : info.dc_huff_tbl_ptrs[n];
            if (!table) return false;
            if (!built[ac][n]) scan.tables[ac][n].build(*table, ac);
            built[ac][n] = true;
            of[ac][b] = &scan.tables[ac][n];
        }
        scan.pairs = scan.pairs && 2 * scan.acOf[b]->longest <= 56;
        scan.component[b] = c;
    }
    scan.unstuff(info.src->next_input_byte, info.src->bytes_in_buffer);
    scan.reader = Scan::Reader{scan.coded.data(), 0, 0, false};
    std::memset(scan.dc, 0, sizeof scan.dc);
    scan.ranOut = false;
    info.client_data = &scan;
    info.entropy->decode_mcu = scan.pairs ? decodeMcu<true> : decodeMcu<false>;
    return true;
}

} // namespace twl
