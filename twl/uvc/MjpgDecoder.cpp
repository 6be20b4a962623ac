#include "twl/uvc/MjpgDecoder.h"

#include "twl/util/WorkerPool.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

} // namespace

MjpgDecoder::MjpgDecoder(Precision precision)
    : handle_(tjInitDecompress()), second_(tjInitDecompress()),
      flags_(precision == Precision::Fast ? TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE : TJFLAG_ACCURATEDCT),
      pool_(new WorkerPool) {}

MjpgDecoder::~MjpgDecoder() {
    if (handle_) tjDestroy(handle_);
    if (second_) tjDestroy(second_);
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
    pool_->run(2, [&](int i, int) {
        void *handle = i ? second_ : handle_;
        const std::vector<uchar> &part = parts_[i];
        const int top = i ? cut.rows : 0, rows = i ? height - cut.rows : cut.rows;
        ok[i] = tjDecompress2(handle, part.data(), static_cast<unsigned long>(part.size()),
                              picture + size_t(top) * size_t(pitch), width, pitch, rows, TJPF_BGRA,
                              flags_) == 0 ||
                tjGetErrorCode(handle) == TJERR_WARNING;
    });
    return ok[0] && ok[1];
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

bool MjpgDecoder::decode(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right) {
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
    if (!halvesOfOnePicture(left, right, w, h)) {
        const cv::Mat picture(h, 2 * w, CV_8UC4);
        left = picture.colRange(0, w);
        right = picture.colRange(w, 2 * w);
    }
    // BGRA straight from the decoder (alpha comes out opaque). A warning
    // (damaged data inside a whole picture) still leaves every pixel
    // decoded, as the old decoder accepted it; an error does not. A picture
    // whose cut halves do not both decode is decoded whole after all.
    split_ = decodeInTwo(data, length, left.data, 2 * w, h, int(left.step[0]));
    if (split_) return true;
    if (tjDecompress2(handle_, data, static_cast<unsigned long>(length), left.data, 2 * w, int(left.step[0]),
                      h, TJPF_BGRA, flags_) == 0)
        return true;
    return tjGetErrorCode(handle_) == TJERR_WARNING;
}

} // namespace twl
