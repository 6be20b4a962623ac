#pragma once
// Motion-JPEG side-by-side frames (both eyes in one picture, left eye on the
// left) decoded by libjpeg-turbo straight into the two BGRA eyes: the eyes
// are the two halves of one picture that the decoder writes, so no frame is
// copied or converted after the decode. A picture whose scan carries restart
// markers is cut in two at one of them and its halves decoded on two threads
// (the entropy decoding, most of the time, cannot be split otherwise). One
// without them can be split too, where one thread decoding it whole would
// fall behind the camera: a second decoder skips the rows the first decodes,
// which costs the entropy decoding of those rows once more. In whole
// decodes and in both decoders of that split (all but the halves cut at
// restart markers), the Huffman decoding, most of a decode's time, is
// HuffmanDecoder's. One object per stream (one thread at a time); it keeps
// its decoders and its second thread between frames.

#include "twl/core/Types.h"

#include <opencv2/core.hpp>

#include <functional>
#include <memory>
#include <vector>

namespace twl {

class WorkerPool;

class MjpgDecoder {
public:
    /// Accurate: libjpeg's exact integer inverse DCT and smooth chroma
    /// upsampling. Fast: its faster DCT and chroma upsampling (a little less
    /// exact; see docs/real-cameras.md for what it costs and saves).
    enum class Precision { Accurate, Fast };

    explicit MjpgDecoder(Precision precision = Precision::Accurate);
    ~MjpgDecoder();
    MjpgDecoder(const MjpgDecoder &) = delete;
    MjpgDecoder &operator=(const MjpgDecoder &) = delete;

    /// Decodes a JPEG of 2 * eye.width x eye.height into `left` and `right`,
    /// which end up as the two halves of one CV_8UC4 picture (reused when
    /// they already are). False, with the eyes' contents undefined but their
    /// size kept, for a buffer that is not one whole JPEG picture of that
    /// size: cut short, damaged beyond decoding or another size. Zero bytes
    /// after the end-of-image marker (drivers pad frames) are allowed.
    /// With `greyLeft` and `greyRight`, the eyes' grey too, the two halves
    /// of one CV_8U picture (reused when they already are). A whole fast
    /// decode of a picture whose chroma is at half its width, as cameras
    /// send them, hands the picture's own luma, with no conversion; the
    /// others OpenCV's conversion of the colour, made as the rows come,
    /// while they are in this core's cache. The two differ by at most a
    /// level where no colour channel clips.
    bool decode(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right,
                cv::Mat *greyLeft = nullptr, cv::Mat *greyRight = nullptr);

    /// Length of the picture without the padding after its end-of-image
    /// marker; 0 when the data holds no such marker (cut short).
    static size_t pictureLength(const uchar *data, size_t bytes);

    /// Once a whole decode of a picture without restart markers, into eyes
    /// decoded into before, has taken more than `seconds` of CPU time (0:
    /// never), such pictures are split between two threads, at about half
    /// again the CPU time, while that leaves room on the cores: this
    /// process's work between two decodes, the split decode's included, at
    /// most `busiest` of all the cores' time (above 1: always split). One
    /// in 64 is still decoded whole, to see whether whole decodes keep up
    /// again.
    void splitAbove(double seconds, double busiest = 0.8) {
        splitAbove_ = seconds;
        busiest_ = busiest;
    }

    /// Whether the last successful decode was split between two threads.
    bool lastDecodeWasSplit() const { return split_; }

    /// Whether the Huffman decoding is HuffmanDecoder's where it can be (the
    /// default) or libjpeg's own (to compare).
    void setOwnHuffman(bool own) { ownHuffman_ = own; }

private:
    struct Skipper;
    // Handed rows [y0, y1) of the picture once they are decoded.
    using Band = std::function<void(int y0, int y1)>;
    bool decodeInTwo(const uchar *data, size_t length, uchar *picture, int width, int height, int pitch);
    bool decodeSkipping(const uchar *data, size_t length, uchar *picture, int width, int height, int pitch);
    /// Called as a decode starts: what the rest of the process kept busy since the last one.
    void noteOthersWork();
    bool roomToSplit() const;

    void *handle_; // libjpeg-turbo's decompressor
    void *second_; // and the second thread's
    int flags_;
    bool split_ = false;
    double splitAbove_ = 0;
    double busiest_ = 0.8;
    int cores_;
    // Measured from one decode's start to the next: the wall time between
    // them, the CPU time the rest of the process took in it (as cores kept
    // busy; both averaged over the last few), and the decode's own CPU time.
    double interval_ = 0, othersBusy_ = 0;
    double lastStart_ = 0, lastProcess_ = 0, ownSeconds_ = 0;
    double wholeSeconds_ = 0; // the last whole decode's CPU time
    int sinceWhole_ = 0;      // split decodes since it
    bool ownHuffman_ = true;
    double skipShare_ = 0.72; // of the rows, for the decoder that does not skip
    std::unique_ptr<Skipper> skippers_[2];
    std::unique_ptr<WorkerPool> pool_;
    std::vector<uchar> parts_[2]; // the two pictures a cut makes
};

} // namespace twl
