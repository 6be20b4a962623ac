#include "twl/uvc/HuffmanDecoder.h"

#include "twl/stereo/kernels/IdctKernels.h"

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
    // What the next kLookupBits bits start with, for every code that fits
    // in them (0 for longer codes): one symbol, or two where the second and
    // its value fit in what the first and its value leave. Bits 0-5 the
    // bits the entry's symbols use, 6-11 the length of the first's code,
    // 12-17 63 less the size of its value, 18-24 its run, 25-31 the runs of
    // both and 1 (the first's run where there is no second), 32-47 the
    // second's value (anything where there is none: it is stored first, in
    // the first's place), 48-63 1 - 2^size, what the first's value is moved
    // by where its top bit is clear. The first's value is always read from
    // the bits: a value that reached past the look-up and took the slow way
    // was a miss of the branch predictor about one block in two, and one
    // chosen between two ways without a branch took more instructions than
    // the loop's chain leaves room for.
    uint64_t entry[1 << kLookupBits];
    // The longer codes, canonically: codes of length l run from first[l] to last[l].
    int first[17], last[17], index[17];
    uint8_t symbols[256];
    bool ac;
    // The most bits one symbol and its value can read: 17 for a code that
    // does not exist.
    int longest;

    // The table this was built from, and whether it was built: a camera
    // sends the same tables with every picture, and building one took as
    // long as decoding about 200 blocks.
    uint8_t counts[17], values[256];
    bool built = false;

    // libjpeg has checked the table (no more codes of a length than fit).
    void build(const JHUFF_TBL &table, bool isAc) {
        if (built && ac == isAc && !std::memcmp(counts, table.bits, sizeof counts) &&
            !std::memcmp(values, table.huffval, sizeof values))
            return;
        std::memcpy(counts, table.bits, sizeof counts);
        std::memcpy(values, table.huffval, sizeof values);
        built = true;
        ac = isAc;
        // Each look-up's first symbol: bits 0-7 its code's length, 8-15
        // its value's size, 16-23 its run; 0 for longer codes.
        uint32_t one[1 << kLookupBits] = {};
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
                for (int low = 0; low < 1 << spare; ++low)
                    one[next << spare | low] = uint32_t(length) | uint32_t(size) << 8 | run << 16;
            }
            next <<= 1;
        }
        // Whether a look-up's first symbol has its value inside it: its
        // bits used and the value.
        auto whole = [&](unsigned at, unsigned &used, int &value) {
            const unsigned length = one[at] & 0xFF, size = one[at] >> 8 & 0xFF;
            used = length + size;
            if (!one[at] || used > unsigned(kLookupBits)) return false;
            value = extend((at >> (kLookupBits - used)) & ((1u << size) - 1), int(size));
            return true;
        };
        for (unsigned at = 0; at < 1u << kLookupBits; ++at) {
            if (!one[at]) {
                entry[at] = 0;
                continue;
            }
            const unsigned length = one[at] & 0xFF, size = one[at] >> 8 & 0xFF, run = one[at] >> 16;
            const unsigned used = length + size, after = (at << used) & ((1u << kLookupBits) - 1);
            unsigned used2 = 0;
            int value2 = 0;
            const bool second = ac && run != kEndOfBlock && used < unsigned(kLookupBits) &&
                                whole(after, used2, value2) && used2 <= kLookupBits - used;
            const unsigned last = second ? run + (one[after] >> 16) + 1 : run;
            entry[at] = uint64_t(second ? used + used2 : used) | uint64_t(length) << 6 |
                        uint64_t(63 - size) << 12 | uint64_t(run) << 18 | uint64_t(last) << 25 |
                        uint64_t(uint16_t(value2)) << 32 | uint64_t(uint16_t(1 - (1 << size))) << 48;
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
    // Whether two steps of `Reader::step` always fit in what one refill
    // leaves (56 bits): a step reads 11 bits, or one symbol of at most the
    // table's longest; with the tables cameras use, 26 at most.
    bool pairs = false;

    // The fast inverse transform two or four blocks at a time, where
    // transformInGroupsWhereExact found it exact: the MCUs are then decoded
    // into `own` and transformed here, a row of them at a time.
    IdctBlocks pair = nullptr, quad = nullptr; // quad null where pairs are the widest
    alignas(64) JBLOCK own[D_MAX_BLOCKS_IN_MCU] = {};
    JBLOCKROW ownRows[D_MAX_BLOCKS_IN_MCU];

    Scan() {
        for (int b = 0; b < D_MAX_BLOCKS_IN_MCU; ++b)
            ownRows[b] = &own[b];
    }
    Scan(const Scan &) = delete; // ownRows points into itself
    Scan &operator=(const Scan &) = delete;

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

        // A symbol whose code is longer than the look-up: its run
        // (kEndOfBlock to end the block) and value.
        unsigned longSymbol(const Table &table, int &value) {
            int length = kLookupBits + 1;
            int code = int(bits >> (64 - length));
            while (length <= 16 && code > table.last[length])
                code = int(bits >> (64 - ++length));
            if (length > 16) {
                // No such code: libjpeg warns and takes the symbol for 0, having read 17 bits.
                badCode = true;
                code = -1;
            }
            const int symbol = code < 0 ? 0 : table.symbols[table.index[length] + code - table.first[length]];
            unsigned run;
            int size;
            meaning(symbol, table.ac, run, size);
            value = extend(size ? uint32_t(bits << length >> (64 - size)) : 0u, size);
            const unsigned used = unsigned(length + size);
            bits <<= used;
            count -= used;
            return run;
        }

        // Decodes the coefficients of `block` from position `k` on (the DC
        // difference at 0, which the caller turns into its value): two from
        // one look-up where they fit in its bits, else one symbol. Returns
        // the position after them.
        inline unsigned step(const Table &table, unsigned k, JCOEF *block) {
            const uint64_t e = table.entry[bits >> (64 - kLookupBits)];
            if (__builtin_expect(e == 0, 0)) {
                int value;
                k += longSymbol(table, value);
                block[kNatural.at[k]] = JCOEF(value);
                return k + 1;
            }
            // The first's value: its bits at the top of `top`, then at the
            // bottom; where the top one is clear, moved below zero.
            const uint64_t top = bits << (e >> 6 & 63);
            const int64_t low = int64_t(top >> (e >> 12 & 63) >> 1);
            const int first = int(low + ((int64_t(~top) >> 63) & (int64_t(e) >> 48)));
            const unsigned k1 = k + unsigned(e >> 18 & 127);
            unsigned last = k + unsigned(e >> 25 & 127), used = unsigned(e & 63);
            // The first filled the block's last place or ran past it (as an
            // end-of-block does): a second symbol belongs to the next block.
            // Whether there is one is not tested first: that was a branch
            // the predictor missed half the time.
            if (k1 >= 63) {
                used = unsigned((e >> 6 & 63) + 63 - (e >> 12 & 63));
                last = k1;
            }
            bits <<= used;
            count -= used;
            // The second first: where there is none, the first's store replaces it.
            block[kNatural.at[last]] = JCOEF(uint16_t(e >> 32));
            block[kNatural.at[k1]] = JCOEF(first);
            return last + 1;
        }
    };
    Reader reader{};

    // Refilling once for two steps took a tenth off the decode where they
    // fit. The choice is made once a scan: a test in the loop cost as much
    // as it saved. At the start of a cache line: placed 32 bytes past one
    // (as a link may put it), the loop took a sixth longer on Zen 5.
    template <bool Pairs> __attribute__((aligned(64))) void decode(JBLOCKROW *mcu) {
        Reader r = reader;
        for (int b = 0; b < blocks; ++b) {
            JCOEF *block = mcu[b][0];
            const Table &dcTable = *dcOf[b], &acTable = *acOf[b];
            r.refill();
            r.step(dcTable, 0, block);
            // Wrapping, as damaged data can make the sum any size; libjpeg's coefficients are 16 bits.
            int &predicted = dc[component[b]];
            predicted = int(unsigned(predicted) + unsigned(int16_t(block[0])));
            block[0] = JCOEF(predicted);
            for (unsigned k = 1; k < 64;) {
                r.refill();
                k = r.step(acTable, k, block);
                if (Pairs && k < 64) k = r.step(acTable, k, block);
            }
        }
        reader = r;
    }
};

namespace {

IdctBlock idctBlock(const jpeg_component_info *component, JCOEFPTR coefficients, JSAMPARRAY rows,
                    JDIMENSION column) {
    return {coefficients, static_cast<const int16_t *>(component->dct_table), rows, column};
}

// Whether a kernel gives libjpeg's own transform's samples, to the bit, on
// blocks from flat to wildly out of range, dequantised by the picture's
// tables: its SSE2 form is what the kernels copy, and a libjpeg built
// without it (or with another) rounds otherwise.
bool transformIsLibjpegs(j_decompress_ptr info, IdctBlocks kernel, int n) {
    alignas(32) JCOEF blocks[4][DCTSIZE2];
    JSAMPLE ours[4][DCTSIZE2], theirs[4][DCTSIZE2];
    JSAMPROW ourRows[4][DCTSIZE], theirRows[4][DCTSIZE];
    IdctBlock group[4];
    for (int b = 0; b < n; ++b) {
        for (int r = 0; r < DCTSIZE; ++r) {
            ourRows[b][r] = ours[b] + r * DCTSIZE;
            theirRows[b][r] = theirs[b] + r * DCTSIZE;
        }
        group[b] = idctBlock(&info->comp_info[b % 3], blocks[b], ourRows[b], 0);
    }
    uint32_t random = 12345;
    for (int trial = 0; trial < 48; ++trial) {
        const int range = 1 << (trial % 12); // up to far past what dequantises within 16 bits
        for (int b = 0; b < n; ++b)
            for (int k = 0; k < DCTSIZE2; ++k) {
                random = random * 1664525u + 1013904223u;
                const bool kept = k == 0 || (random >> 8) % 64 < unsigned(trial % 8) * 9;
                blocks[b][k] = kept ? JCOEF(int(random >> 16) % (2 * range + 1) - range) : 0;
            }
        kernel(group);
        for (int b = 0; b < n; ++b)
            info->idct->inverse_DCT[b % 3](info, &info->comp_info[b % 3], blocks[b], theirRows[b], 0);
        if (std::memcmp(ours, theirs, size_t(n) * sizeof ours[0])) return false;
    }
    return true;
}

// One MCU's coefficients into `mcu`, which starts at zero. Past the end of
// the data, libjpeg leaves the blocks at zero; the first MCU that reaches
// past it is decoded with zeros for the bits it lacks.
template <bool Pairs>
inline __attribute__((always_inline)) void decodeInto(j_decompress_ptr info, HuffmanDecoder::Scan &scan,
                                                      JBLOCKROW *mcu) {
    if (scan.ranOut) return;
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
}

template <bool Pairs> boolean decodeMcu(j_decompress_ptr info, JBLOCKROW *mcu) {
    auto &scan = *static_cast<HuffmanDecoder::Scan *>(info->client_data);
    // libjpeg skipping rows asks for MCUs it throws away.
    JBLOCK discarded[D_MAX_BLOCKS_IN_MCU];
    JBLOCKROW into[D_MAX_BLOCKS_IN_MCU];
    if (!mcu) {
        for (int b = 0; b < D_MAX_BLOCKS_IN_MCU; ++b)
            into[b] = &discarded[b];
        mcu = into;
    }
    decodeInto<Pairs>(info, scan, mcu);
    return TRUE;
}

// A row of MCUs decoded and transformed, in place of libjpeg's one-pass
// coefficient controller, for the pictures whose blocks go in whole groups:
// libjpeg clears each MCU's blocks with a call of its own and hands the
// transform one block at a time through another, which took about a
// twentieth of the decode. The blocks' samples go where libjpeg's would.
template <bool Pairs> int decompressRow(j_decompress_ptr info, JSAMPIMAGE output) {
    auto &scan = *static_cast<HuffmanDecoder::Scan *>(info->client_data);
    const jpeg_component_info *c = info->comp_info;
    // The luma's rows of blocks below the picture's last are decoded, not transformed.
    const bool bottom = info->input_iMCU_row + 1 >= info->total_iMCU_rows;
    const int lumaRows = bottom ? c[0].last_row_height : c[0].MCU_height;
    IdctBlock group[D_MAX_BLOCKS_IN_MCU];
    unsigned step[D_MAX_BLOCKS_IN_MCU], at[D_MAX_BLOCKS_IN_MCU];
    int n = 0;
    for (int y = 0; y < lumaRows; ++y)
        for (int x = 0; x < 2; ++x, ++n) {
            group[n] = idctBlock(&c[0], scan.own[2 * y + x], output[0] + y * DCTSIZE, 0);
            at[n] = unsigned(x * DCTSIZE);
            step[n] = 2 * DCTSIZE;
        }
    for (int i = 1; i < 3; ++i, ++n) {
        group[n] = idctBlock(&c[i], scan.own[scan.blocks - 3 + i], output[i], 0);
        at[n] = 0;
        step[n] = DCTSIZE;
    }
    for (JDIMENSION column = 0; column < info->MCUs_per_row; ++column) {
        decodeInto<Pairs>(info, scan, scan.ownRows);
        for (int b = 0; b < n; ++b)
            group[b].column = at[b] + column * step[b];
        for (int b = 0; b < n;) {
            const bool four = scan.quad && n - b >= 4;
            (four ? scan.quad : scan.pair)(group + b);
            b += four ? 4 : 2;
        }
        std::memset(scan.own, 0, size_t(scan.blocks) * sizeof(JBLOCK));
    }
    ++info->output_iMCU_row;
    if (++info->input_iMCU_row < info->total_iMCU_rows) return JPEG_ROW_COMPLETED;
    info->inputctl->finish_input_pass(info);
    return JPEG_SCAN_COMPLETED;
}

} // namespace

HuffmanDecoder::HuffmanDecoder() : scan_(new Scan) {}

HuffmanDecoder::~HuffmanDecoder() = default;

int HuffmanDecoder::blocksTransformedAtOnce() const {
    return scan_->quad ? 4 : scan_->pair ? 2 : 1;
}

void HuffmanDecoder::transformInGroupsWhereExact(jpeg_decompress_struct &info) {
    Scan &scan = *scan_;
    scan.pair = scan.quad = nullptr;
    // Whole groups from every MCU: luma at twice the chroma's width (each
    // row of an MCU two blocks, all of them transformed where the picture's
    // width is whole MCUs), and a block of each chroma. At the bottom a row
    // of luma blocks is left out whole.
    const jpeg_component_info *c = info.comp_info;
    const bool layout = info.num_components == 3 && info.comps_in_scan == 3 && c[0].h_samp_factor == 2 &&
                        (c[0].v_samp_factor == 1 || c[0].v_samp_factor == 2) && c[1].h_samp_factor == 1 &&
                        c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1 &&
                        info.image_width % 16 == 0 && info.output_width == info.image_width;
    // libjpeg's one-pass coefficient controller, the one a single scan has, keeps no coefficients.
    if (!layout || info.dct_method != JDCT_IFAST || !info.idct || !info.coef || info.coef->coef_arrays ||
        info.MCUs_per_row != info.image_width / 16 || info.blocks_in_MCU != 2 * c[0].v_samp_factor + 2)
        return;
    for (int i = 0; i < 3; ++i)
        if (!c[i].component_needed || c[i].DCT_scaled_size != DCTSIZE || !c[i].dct_table ||
            !info.idct->inverse_DCT[i] || info.cur_comp_info[i] != &c[i] || c[i].component_index != i)
            return;
    static const IdctBlocks pair = avx2IdctPair(), quad = avx512IdctQuad();
    static const bool pairExact = pair && transformIsLibjpegs(&info, pair, 2);
    static const bool quadExact = pairExact && quad && transformIsLibjpegs(&info, quad, 4);
    if (!pairExact) return;
    scan.pair = pair;
    scan.quad = quadExact ? quad : nullptr;
    std::memset(scan.own, 0, sizeof scan.own);
    info.coef->decompress_data = scan.pairs ? decompressRow<true> : decompressRow<false>;
}

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
    transformInGroupsWhereExact(info);
    return true;
}

} // namespace twl
