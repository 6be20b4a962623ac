#pragma once
// Semi-global matching on census costs: a sparse 7 x 7 census, Hamming
// costs, aggregation along 4 paths in bytes, winner take all with
// parabola refinement, uniqueness and left-right checks, speckle removal.
// The image is processed in horizontal bands (one per thread, more where the
// buffers would grow too large). Two bands matched at once hand each other
// their vertical paths where they meet; elsewhere the paths enter a band
// through a margin of extra rows so that the seams do not show. Where two
// bands make the whole image, the faster thread takes more rows.

#include "twl/stereo/BandBalance.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace twl {

struct MatcherKernels;
class HugePageBuffer;
class SpeckleFilter;
class WorkerPool;

class SemiGlobalMatcher {
public:
    struct Parameters {
        int disparities = 64; ///< searched: minDisparity .. minDisparity + disparities - 1
        int minDisparity = 0;
        int P1 = 9, P2 = 23; ///< P2 at most kMaxP2 (sums stay in bytes)
        int uniqueness = 5;  ///< percent the second-best cost must exceed the best by
        int speckleWindow = 100;
        int speckleRange = 2; ///< pixels
    };

    SemiGlobalMatcher();
    ~SemiGlobalMatcher();
    SemiGlobalMatcher(const SemiGlobalMatcher &) = delete;
    SemiGlobalMatcher &operator=(const SemiGlobalMatcher &) = delete;

    void setParameters(const Parameters &parameters);
    const Parameters &parameters() const { return params_; }
    /// The kernels to run (by default those the CPU and VANTARO_SIMD choose);
    /// set here, they run as set, but for ranges they would pad further.
    void setKernels(const MatcherKernels &kernels);
    const MatcherKernels &kernels() const { return *kernels_; }
    /// The build the last compute() ran: AVX-512's instructions on 32-byte
    /// vectors for ranges that 64-byte ones would pad further.
    const MatcherKernels &kernelsInUse() const { return *active_; }
    /// Bytes the bands in work at once may hold (tests lower it to force many bands).
    void setBandBudget(size_t bytes) { bandBudget_ = bytes; }
    /// The widest search that later frames may ask for (0: none said). The
    /// next compute() backs the band buffers for it at once, so that the
    /// first frame whose search grows does not wait for fresh pages.
    void reserveSearch(int disparities) { widest_ = std::max(0, disparities); }
    /// How many disparities (from minDisparity) each row searches, at most
    /// `disparities`: rows that see only far surfaces need not look as deep
    /// as the nearest in the image. Used while it holds a count for every
    /// row of the images matched; empty, every row searches them all. Rows
    /// that search fewer see fewer of the rival matches that make a
    /// repeating texture fail the uniqueness test: they take `uniqueness`.
    void setRowDisparities(const std::vector<int> &counts, int uniqueness) {
        rowDisparities_ = counts; // its room kept from frame to frame
        narrowerUniqueness_ = std::clamp(uniqueness, 0, 99);
    }
    /// Where the two bands of a lone pair meet: moved after each frame (tests set it).
    BandBalance &bandBalance() { return balance_; }

    /// Left and right CV_8U images of one size; CV_16S disparity in 1/16
    /// pixel, -16 where invalid (always in the leftmost minDisparity columns).
    void compute(const cv::Mat &left, const cv::Mat &right, cv::Mat &disparity16);

private:
    struct Band;
    struct Seam;
    // Matches carry `offset` added (a search that starts past 0).
    void match(const cv::Mat &left, const cv::Mat &right, cv::Mat &disparity16, int16_t offset = 0);
    static void blurRow(const cv::Mat &grey, int y, uint16_t *sums, uint8_t *out);
    void censusRows(const cv::Mat &grey, bool mirrored, int y0, int y1, std::vector<uint16_t> &sums,
                    cv::Mat &padded, uint8_t *planes) const;
    int rowsPerBand(size_t keptRowBytes, int threads) const;
    int disparitiesOf(int y) const { return rowD_.empty() ? D_ : rowD_[size_t(y)]; }
    int paddedOf(int y) const { return rowDp_.empty() ? Dp_ : rowDp_[size_t(y)]; }
    void matchBand(Band &band, int b, int y0, int y1, Seam *pair, uint8_t *sharedKept,
                   cv::Mat &disparity16) const;

    Parameters params_;
    const MatcherKernels *kernels_, *active_;
    bool narrowUpToFour_; // 32-byte vectors for ranges of up to four of them (see match())
    size_t bandBudget_ = size_t(128) << 20;
    size_t bandShare_ = 0; // of the budget, for each worker's band
    int widest_ = 0;
    int widestDp_ = 0;  // the widest search padded to whole vectors
    size_t backed_ = 0; // bytes of each band's buffers to back for the widest search
    int width_ = 0, height_ = 0, D_ = 0, Dp_ = 0, planeStride_ = 0;
    std::vector<int> rowDisparities_;
    int narrowerUniqueness_ = 0;
    std::vector<int> rowD_, rowDp_; // this frame's, where rows differ (Dp_ is their widest)
    // Of each piece of the census (the two images' top and bottom rows).
    cv::Mat censusPadded_[4];
    std::vector<uint16_t> censusSums_[4]; // a row of the blur's column sums
    // On 64-byte boundaries, as is each plane's row (`planeStride_`): the
    // census is stored past the caches in whole lines.
    std::unique_ptr<HugePageBuffer> censusL_, censusR_;
    std::vector<std::unique_ptr<Band>> bands_;
    std::vector<std::unique_ptr<Seam[]>> seams_; // two per pair of bands
    BandBalance balance_;
    // A lone pair's kept paths, both bands' in one buffer: however the rows
    // are split, it holds the image's rows once.
    std::unique_ptr<HugePageBuffer> pairKept_;
    std::unique_ptr<SpeckleFilter> speckles_;
    std::unique_ptr<WorkerPool> pool_;
};

} // namespace twl
