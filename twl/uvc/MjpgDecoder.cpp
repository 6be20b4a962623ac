#include "twl/uvc/MjpgDecoder.h"

#include "twl/stereo/AreaReduction.h"
#include "twl/stereo/kernels/YccKernels.h"
#include "twl/uvc/HuffmanDecoder.h"

#include "twl/util/CoreLoan.h"
#include "twl/util/SteadyClock.h"
#include "twl/util/WorkerPool.h"

#include <turbojpeg.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <jpeglib.h>

namespace twl {

namespace {

// Whether the eyes are already the two halves of one BGRA picture of the
// frame's size, so that the decoder can write into them as they are.
bool halvesOfOnePicture(const cv::Mat &left, const cv::Mat &right, int w, int h) {
    const size_t pitch = size_t(w) * 2 * 4;
    return left.type() == CV_8UC4 && right.type() == CV_8UC4 && left.cols == w && right.cols == w &&
           left.rows == h && right.rows == h && left.step[0] == pitch && right.step[0] == pitch && left.u &&
           left.u == right.u && right.data == left.data + size_t(w) * 4;
}

// The grey eyes as the two halves of one picture with room for the luma as
// libjpeg writes it, so that it writes there and nothing is copied out:
// its rows padded to whole blocks, and whole rows of blocks at the bottom.
void greyHalves(cv::Mat &left, cv::Mat &right, int w, int h) {
    const int pitch = (2 * w + 15) / 16 * 16, rows = (h + 15) / 16 * 16;
    const bool halves = left.type() == CV_8U && right.type() == CV_8U && left.cols == w && right.cols == w &&
                        left.rows == h && right.rows == h && left.step[0] == size_t(pitch) && left.u &&
                        left.u == right.u && left.data == left.datastart && right.data == left.data + w &&
                        size_t(left.dataend - left.datastart) >= size_t(pitch) * size_t(rows);
    if (halves) return;
    const cv::Mat picture(rows, pitch, CV_8U);
    left = picture(cv::Rect(0, 0, w, h));
    right = picture(cv::Rect(w, 0, w, h));
}

// Where a baseline picture with restart markers can be cut in two: at the
// marker that ends the restart interval closest to the middle row of MCUs
// (an interval that ends inside a row gives no cut there). Each part is then
// a picture of its own: the header with that part's height, and that part of
// the scan, the second one's markers numbered again from 0.
struct RestartCut {
    size_t heightAt = 0;           // offset of the frame header's height field
    size_t scanAt = 0;             // first byte of the scan's coded data
    size_t cutAt = 0;              // offset of the restart marker the picture is cut at
    int height = 0;                // of the whole picture
    int rows = 0;                  // picture rows above the cut
    int renumber = 0;              // taken from each later marker's number (modulo 8)
    bool verticalSampling = false; // chroma at half the rows: smooth upsampling reads across the cut
};

int word(const uchar *p) {
    return p[0] << 8 | p[1];
}

bool findRestartCut(const uchar *data, size_t length, RestartCut &cut) {
    int width = 0, components = 0, hmax = 1, vmax = 1, interval = 0;
    // The segments before the scan: a marker, its length, its content.
    for (size_t at = 2; !cut.scanAt;) {
        if (at + 4 > length || data[at] != 0xFF) return false;
        const uchar marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        const size_t size = size_t(word(data + at + 2));
        if (size < 2 || at + 2 + size > length) return false;
        const uchar *p = data + at + 4;
        if (marker == 0xC0 || marker == 0xC1) { // sequential, Huffman-coded
            if (size < 8 || (components = p[5]) < 1 || size < 8 + 3 * size_t(components)) return false;
            cut.heightAt = at + 5;
            cut.height = word(p + 1);
            width = word(p + 3);
            for (int c = 0; c < components; ++c) {
                hmax = std::max(hmax, p[7 + 3 * c] >> 4);
                vmax = std::max(vmax, p[7 + 3 * c] & 15);
            }
        } else if (marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            return false; // progressive, lossless or arithmetic-coded: decoded whole
        } else if (marker == 0xDD && size >= 4) {
            interval = word(p);
        } else if (marker == 0xDA) {
            // One scan with every component in it; the height must be known (no DNL).
            if (!cut.heightAt || size < 3 || p[0] != components || interval <= 0 || cut.height <= 0 ||
                width <= 0)
                return false;
            cut.scanAt = at + 2 + size;
        }
        at += 2 + size;
    }
    const int mcuWidth = components == 1 ? 8 : 8 * hmax, mcuHeight = components == 1 ? 8 : 8 * vmax;
    const long perRow = (width + mcuWidth - 1) / mcuWidth, mcuRows = (cut.height + mcuHeight - 1) / mcuHeight;
    long middle = -1;
    for (long r = 1; r < mcuRows; ++r)
        if (r * perRow % interval == 0 &&
            (middle < 0 || std::labs(2 * r - mcuRows) < std::labs(2 * middle - mcuRows)))
            middle = r;
    if (middle < 0) return false;
    // The markers before the cut: the last of them is where it lies.
    const long markers = middle * perRow / interval;
    long seen = 0;
    for (size_t at = cut.scanAt;;) {
        const auto *ff = static_cast<const uchar *>(std::memchr(data + at, 0xFF, length - at));
        if (!ff || size_t(ff - data) + 1 >= length) return false;
        at = size_t(ff - data);
        const uchar marker = data[at + 1];
        if (marker >= 0xD0 && marker <= 0xD7) {
            if (++seen == markers) {
                // A marker out of sequence: damaged data, left to the whole decode.
                if ((marker & 7) != (markers - 1) % 8) return false;
                cut.cutAt = at;
                break;
            }
            at += 2;
        } else if (marker == 0x00 || marker == 0xFF) { // a stuffed 0xFF, or fill
            at += 1;
        } else {
            return false; // the picture ends before the cut
        }
    }
    cut.rows = int(middle) * mcuHeight;
    cut.renumber = int(markers % 8);
    cut.verticalSampling = components > 1 && vmax > 1;
    return true;
}

// The header of `data` with the height `rows`, then `scan` (with its restart
// markers numbered `renumber` lower), then the end-of-image marker.
void makePart(const uchar *data, const RestartCut &cut, int rows, const uchar *scan, size_t bytes,
              int renumber, std::vector<uchar> &part) {
    part.resize(cut.scanAt + bytes + 2);
    std::memcpy(part.data(), data, cut.scanAt);
    part[cut.heightAt] = uchar(rows >> 8);
    part[cut.heightAt + 1] = uchar(rows);
    uchar *out = part.data() + cut.scanAt;
    std::memcpy(out, scan, bytes);
    if (renumber)
        for (uchar *p = out, *end = out + bytes;
             (p = static_cast<uchar *>(std::memchr(p, 0xFF, size_t(end - p))));) {
            if (p + 1 >= end) break;
            if (p[1] >= 0xD0 && p[1] <= 0xD7) p[1] = uchar(0xD0 | ((p[1] - renumber) & 7));
            p += p[1] == 0xFF ? 1 : 2;
        }
    part[part.size() - 2] = 0xFF;
    part[part.size() - 1] = 0xD9;
}

// Pictures whose fast colour decode our own row conversion makes to the bit:
// YCbCr with the chroma at half the width and the full or half height, as
// cameras send them.
bool chromaAtHalfWidth(const jpeg_decompress_struct &info) {
    const jpeg_component_info *c = info.comp_info;
    return info.jpeg_color_space == JCS_YCbCr && info.num_components == 3 && c[0].h_samp_factor == 2 &&
           (c[0].v_samp_factor == 1 || c[0].v_samp_factor == 2) && c[1].h_samp_factor == 1 &&
           c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
}

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// CPU time of the calling thread: what a decode costs, without the time
// other threads took the core from it.
double threadSeconds() {
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

} // namespace

// One of libjpeg's decompressors, for a band of rows of a picture. libjpeg
// reports an error by calling error_exit, which must not return: it jumps
// back out of the decode. Warnings (damaged data) are counted: a split
// decode takes them for a failure, and the picture is decoded whole.
struct MjpgDecoder::Skipper {
    struct Errors {
        jpeg_error_mgr manager; // first: libjpeg hands back a pointer to it
        std::jmp_buf back;
        int warnings = 0;
    };
    jpeg_decompress_struct info{};
    Errors errors;
    bool usable = false;
    HuffmanDecoder huffman;
    bool ownHuffman = true;

    static void failed(j_common_ptr info) { std::longjmp(reinterpret_cast<Errors *>(info->err)->back, 1); }
    static void message(j_common_ptr info, int level) {
        if (level < 0) ++reinterpret_cast<Errors *>(info->err)->warnings;
    }

    Skipper() {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = failed;
        errors.manager.emit_message = message;
        if (setjmp(errors.back)) return;
        jpeg_create_decompress(&info);
        usable = true;
    }
    ~Skipper() {
        if (usable) jpeg_destroy_decompress(&info);
    }

    // Rows [from, to) of a width x height picture into `picture`, the rows
    // above skipped: only entropy-decoded, for whole rows of MCUs. `band`,
    // where given, is handed each few rows as they are decoded. A fast
    // decode of the whole of a picture whose chroma is at half its width
    // puts its luma in `lumaLeft` and `lumaRight` where given, each eye's
    // columns (else in a picture of its own), and calls no `band`. Without
    // the grey too: in the input benchmark, where each decode follows
    // another's, that took the fast decode from 0.51-0.52 of OpenCV's time
    // to 0.48-0.49 (libjpeg's own conversion writes its rows past the
    // caches); decoding one picture over and over, it made no difference.
    bool decodeRows(const uchar *data, size_t length, bool fast, int width, int height, int from, int to,
                    uchar *picture, int pitch, const Band &band = {}, cv::Mat *lumaLeft = nullptr,
                    cv::Mat *lumaRight = nullptr) {
        if (!usable) return false;
        if (setjmp(errors.back)) {
            jpeg_abort_decompress(&info);
            return false;
        }
        errors.warnings = 0;
        jpeg_mem_src(&info, data, static_cast<unsigned long>(length));
        if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
            jpeg_abort_decompress(&info);
            return false;
        }
        if (fast && from == 0 && to == height && chromaAtHalfWidth(info)) {
            const bool given = lumaLeft && lumaRight;
            if (!given) greyHalves(luma[0], luma[1], width / 2, height);
            const bool ok = decodePlanes(width, height, picture, pitch, given ? *lumaLeft : luma[0],
                                         given ? *lumaRight : luma[1]);
            jpeg_abort_decompress(&info);
            return ok;
        }
        // As libjpeg-turbo's own interface sets them for the whole decode.
        info.out_color_space = JCS_EXT_BGRA;
        info.dct_method = fast ? JDCT_IFAST : JDCT_ISLOW;
        info.do_fancy_upsampling = fast ? FALSE : TRUE;
        jpeg_start_decompress(&info);
        if (ownHuffman) huffman.takeOver(info);
        bool ok = int(info.output_width) == width && int(info.output_height) == height &&
                  (from == 0 || int(jpeg_skip_scanlines(&info, JDIMENSION(from))) == from);
        while (ok && int(info.output_scanline) < to) {
            JSAMPROW rows[16];
            const int first = int(info.output_scanline), count = std::min(16, to - first);
            for (int i = 0; i < count; ++i)
                rows[i] = picture + size_t(first + i) * size_t(pitch);
            const int read = int(jpeg_read_scanlines(&info, rows, JDIMENSION(count)));
            ok = read > 0;
            if (ok && band) band(first, first + read);
        }
        jpeg_abort_decompress(&info);
        return ok;
    }

    // The luma and chroma planes as libjpeg leaves them before its colour
    // conversion, a row of MCUs at a time: the luma straight into the grey
    // eyes (which greyHalves gave the room libjpeg writes), the chroma into
    // `planes`, where both are still in cache when each row is converted.
    // The grey costs no conversion and no copy of its own.
    bool decodePlanes(int width, int height, uchar *picture, int pitch, cv::Mat &lumaLeft,
                      cv::Mat &lumaRight) {
        info.raw_data_out = TRUE;
        info.dct_method = JDCT_IFAST;
        jpeg_start_decompress(&info);
        if (int(info.output_width) != width || int(info.output_height) != height) return false;
        if (ownHuffman) huffman.takeOver(info);
        const int vertical = info.max_v_samp_factor, band = DCTSIZE * vertical, eye = lumaLeft.cols;
        const size_t lumaStride = size_t(info.comp_info[0].width_in_blocks) * DCTSIZE;
        const size_t chromaStride = size_t(info.comp_info[1].width_in_blocks) * DCTSIZE;
        const size_t greyPitch = lumaLeft.step[0];
        if (lumaRight.u != lumaLeft.u || lumaRight.data != lumaLeft.data + eye || greyPitch < lumaStride ||
            size_t(lumaLeft.dataend - lumaLeft.data) < greyPitch * size_t((height + band - 1) / band * band))
            return false;
        planes.resize(2 * chromaStride * DCTSIZE);
        JSAMPROW rows[2 * DCTSIZE + 2 * DCTSIZE];
        for (int i = 0; i < 2 * DCTSIZE; ++i)
            rows[band + i] = planes.data() + size_t(i) * chromaStride;
        JSAMPARRAY components[3] = {rows, rows + band, rows + band + DCTSIZE};
        static const YccRow avx512 = avx512YccRow(), avx2 = avx2YccRow();
        const YccRow convert = avx512 ? avx512 : avx2 ? avx2 : yccRow;
        while (int(info.output_scanline) < height) {
            const int first = int(info.output_scanline);
            for (int i = 0; i < band; ++i)
                rows[i] = lumaLeft.data + size_t(first + i) * greyPitch;
            if (jpeg_read_raw_data(&info, components, JDIMENSION(band)) == 0) return false;
            for (int i = 0; i < band && first + i < height; ++i) {
                const int y = first + i;
                convert(rows[i], components[1][i / vertical], components[2][i / vertical], width,
                        picture + size_t(y) * size_t(pitch));
            }
        }
        return true;
    }

    std::vector<uchar> planes;
    cv::Mat luma[2]; // where the decode is not asked for the grey
};

MjpgDecoder::MjpgDecoder(Precision precision)
    : handle_(tjInitDecompress()), second_(tjInitDecompress()),
      flags_(precision == Precision::Fast ? TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE : TJFLAG_ACCURATEDCT),
      cores_(CoreLoan::coresToRunOn()), pool_(new WorkerPool) {}

MjpgDecoder::~MjpgDecoder() {
    if (handle_) tjDestroy(handle_);
    if (second_) tjDestroy(second_);
}

bool MjpgDecoder::decodeSkipping(const uchar *data, size_t length, uchar *picture, int width, int height,
                                 int pitch) {
    // The first decoder decodes the top rows; the second entropy-decodes
    // them only to skip them and decodes the rest. They finish together
    // where the first has about three quarters of the rows; the share
    // follows their times, since how much of a decode is entropy decoding
    // depends on the picture. Cut at a row of MCUs (16 rows at most).
    for (auto &skipper : skippers_)
        if (!skipper) skipper.reset(new Skipper);
    const int cut = std::clamp(int(skipShare_ * height) / 16 * 16, 16, std::max(16, height - 16));
    if (cut >= height) return false;
    const bool fast = flags_ & TJFLAG_FASTDCT;
    bool ok[2] = {false, false};
    double took[2] = {0, 0};
    pool_->run(2, [&](int i, int) {
        const double start = threadSeconds();
        skippers_[i]->ownHuffman = ownHuffman_;
        ok[i] = skippers_[i]->decodeRows(data, length, fast, width, height, i ? cut : 0, i ? height : cut,
                                         picture, pitch) &&
                skippers_[i]->errors.warnings == 0;
        took[i] = threadSeconds() - start;
    });
    ownSeconds_ += took[1]; // the caller's thread counts its own part
    if (took[0] > 0 && took[1] > 0)
        skipShare_ = std::clamp(skipShare_ + 0.3 * (took[1] - took[0]) / (took[0] + took[1]), 0.5, 0.9);
    return ok[0] && ok[1];
}

bool MjpgDecoder::decodeInTwo(const uchar *data, size_t length, uchar *picture, int width, int height,
                              int pitch) {
    RestartCut cut;
    if (!second_ || !findRestartCut(data, length, cut) || cut.height != height) return false;
    // Smooth chroma upsampling reads the rows either side of the cut: only
    // the fast one, or chroma on every row, gives the same picture cut.
    if (cut.verticalSampling && !(flags_ & TJFLAG_FASTUPSAMPLE)) return false;
    makePart(data, cut, cut.rows, data + cut.scanAt, cut.cutAt - cut.scanAt, 0, parts_[0]);
    makePart(data, cut, height - cut.rows, data + cut.cutAt + 2, length - 2 - (cut.cutAt + 2), cut.renumber,
             parts_[1]);
    bool ok[2] = {false, false};
    double secondTook = 0;
    pool_->run(2, [&](int i, int) {
        const double start = i ? threadSeconds() : 0;
        void *handle = i ? second_ : handle_;
        const std::vector<uchar> &part = parts_[i];
        const int top = i ? cut.rows : 0, rows = i ? height - cut.rows : cut.rows;
        ok[i] = tjDecompress2(handle, part.data(), static_cast<unsigned long>(part.size()),
                              picture + size_t(top) * size_t(pitch), width, pitch, rows, TJPF_BGRA,
                              flags_) == 0 ||
                tjGetErrorCode(handle) == TJERR_WARNING;
        if (i) secondTook = threadSeconds() - start;
    });
    ownSeconds_ += secondTook;
    return ok[0] && ok[1];
}

void MjpgDecoder::noteOthersWork() {
    const double now = 1e-9 * double(steadyNowNs()), process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    if (lastStart_ > 0 && now > lastStart_) {
        const double interval = now - lastStart_;
        const double others = std::max(0.0, process - lastProcess_ - ownSeconds_) / interval;
        // Over the last few frames: one slow frame should not flip the choice.
        const double weight = interval_ > 0 ? 0.25 : 1.0;
        interval_ += weight * (interval - interval_);
        othersBusy_ += weight * (others - othersBusy_);
    }
    lastStart_ = now;
    lastProcess_ = process;
    ownSeconds_ = 0;
}

// Splitting a picture without markers only helps where a core is left for
// its second half: where the caller's threads keep the cores busy, its
// extra CPU time is taken from them and the decode gains nothing. With an
// MJPG camera at HD720 and 60 fps on two cores whose whole decodes took
// more than 0.8 of the period, recording as `twv record` does lost 556 of
// about 2400 frames when every picture was split, and 60 with this test
// (four runs, alternating); 139 and 105 of those shown.
bool MjpgDecoder::roomToSplit() const {
    if (busiest_ > 1) return true;
    if (!(interval_ > 0)) return false;
    return othersBusy_ + 1.5 * wholeSeconds_ / interval_ <= busiest_ * cores_;
}

size_t MjpgDecoder::pictureLength(const uchar *data, size_t bytes) {
    // Drivers and cameras pad after the end-of-image marker, with zeros or
    // whatever the buffer held. Inside the coded data a 0xFF byte is always
    // stuffed, so the last 0xFF 0xD9 is the marker; a picture cut short has none.
    // memrchr skips long padding (a buffer's whole size, with some drivers) quickly.
    if (!data || bytes < 4) return 0;
    for (size_t end = bytes; end >= 4;) {
        const auto *marker = static_cast<const uchar *>(::memrchr(data + 1, 0xD9, end - 1));
        if (!marker) return 0;
        end = size_t(marker - data) + 1;
        if (marker[-1] == 0xFF && end >= 4) return end;
        --end;
    }
    return 0;
}

bool MjpgDecoder::decode(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right,
                         cv::Mat *greyLeft, cv::Mat *greyRight) {
    noteOthersWork();
    struct OwnTime {
        double &seconds;
        const double start = threadSeconds();
        ~OwnTime() { seconds += threadSeconds() - start; }
    } own{ownSeconds_};
    const int w = int(eye.width), h = int(eye.height);
    if (!handle_ || w <= 0 || h <= 0) return false;
    // A cut-short picture would still decode (grey at the bottom); only one
    // that ends with its end-of-image marker is whole.
    const size_t length = pictureLength(data, bytes);
    if (length == 0) return false;
    int jw = 0, jh = 0, subsampling = 0, colourspace = 0;
    // The declared size is checked before anything is decoded: the decoder
    // would otherwise scale whatever it finds to the eyes' size.
    if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(length), &jw, &jh, &subsampling,
                            &colourspace) != 0 ||
        jw != 2 * w || jh != h)
        return false;
    // A decode into a new picture pays for mapping its pages: not a time to
    // judge whole decodes by.
    const bool fresh = !halvesOfOnePicture(left, right, w, h);
    if (fresh) {
        const cv::Mat picture(h, 2 * w, CV_8UC4);
        left = picture.colRange(0, w);
        right = picture.colRange(w, 2 * w);
    }
    const bool grey = greyLeft && greyRight;
    if (grey) greyHalves(*greyLeft, *greyRight, w, h);
    auto greyOfRows = [&](int y0, int y1) {
        greyRows(left, *greyLeft, y0, y1);
        greyRows(right, *greyRight, y0, y1);
    };
    // BGRA straight from the decoder (alpha comes out opaque). A warning
    // (damaged data inside a whole picture) still leaves every pixel
    // decoded, as the old decoder accepted it; an error does not. A picture
    // whose cut halves do not both decode is decoded whole after all.
    split_ = decodeInTwo(data, length, left.data, 2 * w, h, int(left.step[0]));
    if (!split_ && splitAbove_ > 0 && wholeSeconds_ > splitAbove_ && roomToSplit() && ++sinceWhole_ < 64)
        split_ = decodeSkipping(data, length, left.data, 2 * w, h, int(left.step[0]));
    if (split_) {
        // Both threads, each on half the rows the decode left in memory.
        if (grey) pool_->run(2, [&](int i, int) { greyOfRows(i ? h / 2 : 0, i ? h : h / 2); });
        return true;
    }
    sinceWhole_ = 0;
    const double start = threadSeconds();
    bool ok;
    if (grey || ownHuffman_) {
        // libjpeg's own interface, for the same decode a few rows at a time,
        // with our Huffman decoding: the grey of each few rows is made while
        // they are in this core's cache, or in the fast decode of what
        // cameras send, is its luma.
        if (!skippers_[0]) skippers_[0].reset(new Skipper);
        skippers_[0]->ownHuffman = ownHuffman_;
        ok = grey ? skippers_[0]->decodeRows(data, length, flags_ & TJFLAG_FASTDCT, 2 * w, h, 0, h, left.data,
                                             int(left.step[0]), greyOfRows, greyLeft, greyRight)
                  : skippers_[0]->decodeRows(data, length, flags_ & TJFLAG_FASTDCT, 2 * w, h, 0, h, left.data,
                                             int(left.step[0]));
    } else {
        ok = tjDecompress2(handle_, data, static_cast<unsigned long>(length), left.data, 2 * w,
                           int(left.step[0]), h, TJPF_BGRA, flags_) == 0 ||
             tjGetErrorCode(handle_) == TJERR_WARNING;
    }
    if (ok && !fresh) wholeSeconds_ = threadSeconds() - start;
    return ok;
}

} // namespace twl
