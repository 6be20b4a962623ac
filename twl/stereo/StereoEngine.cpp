#include "twl/stereo/StereoEngine.h"

#include "twl/stereo/AreaReduction.h"
#include "twl/stereo/SemiGlobalMatcher.h"
#include "twl/stereo/kernels/ConfidenceKernels.h"
#include "twl/stereo/kernels/MatcherKernels.h"
#include "twl/util/Parallel.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace twl {

namespace {

constexpr int kMinimumWorkingWidth = 336;
constexpr int kMaximumWorkingWidth = 1280;
// Ranges wider than this are first scouted at a quarter of the working size.
constexpr int kScoutedRange = 64;
// The scout's rows are told apart in stripes of this many, and a working
// row searches as deep as every stripe within this many working rows of it.
constexpr int kScoutStripe = 8;
constexpr int kScoutRowMargin = 8;
constexpr int kNarrowedUniqueness = 8;
// Rows that search less than the frame (see scoutRange()) lose more of their
// rivals: stricter again, the benchmark's error rates at all three sizes
// stay at or below those of the frame's search alone, with 3-4 pixels in a
// hundred thousand fewer matched.
constexpr int kNarrowerRowUniqueness = 11;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Settings per depth mode.
struct ModeSettings {
    float scale;       // working width over camera width (before the limits)
    int speckleWindow; // largest blob (working pixels) removed as a speckle
    bool padLeft;      // reference matcher: match the left band too (it runs off the right image's edge)
};

ModeSettings settingsFor(int depthMode) {
    switch (depthMode) {
    case DEPTH_MODE_MEDIUM:
        return {1.0f / 3.0f, 100, true};
    case DEPTH_MODE_QUALITY:
        return {0.5f, 150, true};
    case DEPTH_MODE_ULTRA:
        return {1.0f, 200, true};
    case DEPTH_MODE_PERFORMANCE:
    default:
        return {0.25f, 100, false};
    }
}

// VANTARO_STEREO=sgbm selects OpenCV's semi-global matcher (3-way) instead of
// ours, for comparison.
bool referenceMatcherRequested() {
    const char *choice = std::getenv("VANTARO_STEREO");
    return choice && !std::strcmp(choice, "sgbm");
}

// Fixed-point disparities (16ths of a working pixel) to full-image pixels,
// NaN where there is none; matches that reach past the right image's left
// edge are impossible. In vectors: this runs over every working pixel.
void disparityRow(const short *src, int width, float toFull, float *dst) {
    int x = 0;
#if CV_SIMD128
    const cv::v_int32x4 zero = cv::v_setzero_s32(), step = cv::v_setall_s32(64);
    const cv::v_float32x4 scale = cv::v_setall_f32(toFull), nan = cv::v_setall_f32(kNaN);
    cv::v_int32x4 reach = cv::v_int32x4(0, 16, 32, 48); // 16 x at x, x + 1, ...
    for (; x + 8 <= width; x += 8) {
        cv::v_int32x4 half[2];
        cv::v_expand(cv::v_load(src + x), half[0], half[1]);
        for (int i = 0; i < 2; ++i, reach += step) {
            const cv::v_float32x4 valid = cv::v_reinterpret_as_f32((half[i] > zero) & (half[i] <= reach));
            cv::v_store(dst + x + 4 * i, cv::v_select(valid, cv::v_cvt_f32(half[i]) * scale, nan));
        }
    }
#endif
    for (; x < width; ++x)
        dst[x] = src[x] > 0 && src[x] <= 16 * x ? float(src[x]) * toFull : kNaN;
}

// The cues of one row (see ConfidenceKernels.h) with the x86-64 baseline's vectors.
void cueRow(const uchar *l, const uchar *r, const float *disparity, float scale, int w, float *residual,
            float *texture, float *dis, float *squared, float *valid) {
    auto one = [&](int x) { cuePixel(l, r, disparity, scale, w, x, residual, texture, dis, squared, valid); };
    int x = 0;
    if (w > 0) one(x++);
#if CV_SIMD128
    using F = cv::v_float32x4;
    using I = cv::v_int32x4;
    // Four bytes as floats (OpenCV's v_load_expand_q reads them as one unaligned int).
    auto bytes = [](const uchar *p) { return F(float(p[0]), float(p[1]), float(p[2]), float(p[3])); };
    const F zero = cv::v_setzero_f32(), unit = cv::v_setall_f32(1.0f), half = cv::v_setall_f32(0.5f);
    const F vscale = cv::v_setall_f32(scale), lanes(0.0f, 1.0f, 2.0f, 3.0f);
    const I last = cv::v_setall_s32(w - 1), izero = cv::v_setzero_s32(), ione = cv::v_setall_s32(1);
    for (; x + 5 <= w; x += 4) { // x + 4 is read for the gradient
        cv::v_store(texture + x, cv::v_abs(bytes(l + x + 1) - bytes(l + x - 1)) * half);
        const F dw = cv::v_load(disparity + x) * vscale;
        const F ok = dw >= zero;
        const F dv = cv::v_select(ok, dw, zero);
        const F xr = cv::v_setall_f32(float(x)) + lanes - dv;
        const I x0 = cv::v_max(izero, cv::v_min(last, cv::v_trunc(xr)));
        const I x1 = cv::v_min(last, x0 + ione);
        const F a = cv::v_max(zero, cv::v_min(unit, xr - cv::v_cvt_f32(x0)));
        int i0[4], i1[4];
        cv::v_store(i0, x0);
        cv::v_store(i1, x1);
        const F r0(r[i0[0]], r[i0[1]], r[i0[2]], r[i0[3]]), r1(r[i1[0]], r[i1[1]], r[i1[2]], r[i1[3]]);
        const F diff = cv::v_abs(bytes(l + x) - (r0 + (r1 - r0) * a));
        cv::v_store(residual + x, cv::v_select(ok, diff, zero));
        cv::v_store(dis + x, dv);
        cv::v_store(squared + x, dv * dv);
        cv::v_store(valid + x, cv::v_select(ok, unit, zero));
    }
#endif
    for (; x < w; ++x)
        one(x);
}

// out[x] = the sum of rows[0..4][offset + x].
void addRows(const float *const *rows, int offset, int w, float *out) {
    const float *a = rows[0] + offset, *b = rows[1] + offset, *c = rows[2] + offset, *d = rows[3] + offset,
                *e = rows[4] + offset;
    int x = 0;
#if CV_SIMD128
    for (; x + 4 <= w; x += 4)
        cv::v_store(out + x, cv::v_load(a + x) + cv::v_load(b + x) + cv::v_load(c + x) + cv::v_load(d + x) +
                                 cv::v_load(e + x));
#endif
    for (; x < w; ++x)
        out[x] = a[x] + b[x] + c[x] + d[x] + e[x];
}

// out[x] = in[x] + ... + in[x + 4].
void windowSums(const float *in, int w, float *out) {
    int x = 0;
#if CV_SIMD128
    for (; x + 4 <= w; x += 4)
        cv::v_store(out + x, cv::v_load(in + x) + cv::v_load(in + x + 1) + cv::v_load(in + x + 2) +
                                 cv::v_load(in + x + 3) + cv::v_load(in + x + 4));
#endif
    for (; x < w; ++x)
        out[x] = in[x] + in[x + 1] + in[x + 2] + in[x + 3] + in[x + 4];
}

void scoreRow(const float *sums, int w, const float *disparity, float *confidence) {
    const float *residual = sums, *texture = sums + w, *dis = sums + 2 * w, *squared = sums + 3 * w,
                *valid = sums + 4 * w;
    int x = 0;
#if CV_SIMD128
    using V = cv::v_float32x4;
    const V zero = cv::v_setzero_f32(), one = cv::v_setall_f32(1.0f), half = cv::v_setall_f32(0.5f);
    for (; x + 4 <= w; x += 4) {
        const V count = cv::v_max(cv::v_load(valid + x), one), inv = one / count;
        const V meanCost = cv::v_load(residual + x) * inv;
        const V meanTexture = cv::v_load(texture + x) * cv::v_setall_f32(1.0f / 25.0f);
        const V mean = cv::v_load(dis + x) * inv;
        const V spread = cv::v_sqrt(cv::v_max(zero, cv::v_load(squared + x) * inv - mean * mean));
        const V qc = meanCost * cv::v_setall_f32(1.0f / 12.0f), qs = spread * cv::v_setall_f32(1.0f / 1.5f);
        const V photometric = one / (one + qc + half * qc * qc);
        const V coherent = one / (one + qs + half * qs * qs);
        const V textured = meanTexture / (meanTexture + cv::v_setall_f32(2.0f));
        const V support = half + half * count * cv::v_setall_f32(1.0f / 25.0f);
        const V hundred = cv::v_setall_f32(100.0f);
        const V product = hundred * photometric * textured * coherent * support;
        const V value = cv::v_max(one, cv::v_min(hundred, product));
        const V d = cv::v_load(disparity + x);
        cv::v_store(confidence + x, cv::v_select(d >= zero, value, zero));
    }
#endif
    for (; x < w; ++x)
        confidence[x] = disparity[x] >= 0.0f
                            ? confidenceScore(residual[x], texture[x], dis[x], squared[x], valid[x])
                            : 0.0f;
}

} // namespace

struct StereoEngine::Impl {
    int mode = DEPTH_MODE_PERFORMANCE;
    Resolution camera;
    float focal = 0, baseline = 0, minDepth = 0.5f;
    cv::Size work;
    float scale = 1; // working width / camera width
    int range = 16;
    ModeSettings settings = settingsFor(DEPTH_MODE_PERFORMANCE);
    bool configured = false;
    SemiGlobalMatcher matcher, scout;
    // The confidence's row loops: those with AVX2's vectors where the matcher
    // runs AVX2 or wider (VANTARO_SIMD chooses for both), the baseline's otherwise.
    ConfidenceKernels confidenceKernels{"baseline", cueRow, addRows, windowSums, scoreRow};
    cv::Range searched{0, 16};
    cv::Ptr<cv::StereoSGBM> reference; // set when VANTARO_STEREO=sgbm

    // Per-frame buffers, kept between frames.
    cv::Mat greyFullL, greyFullR, greyL, greyR, paddedL, paddedR, disp16;
    cv::Mat scoutL, scoutR, scoutDisp16;
    std::vector<int> histogram;    // of each stripe of the scout's rows, then of all
    std::vector<int> stripeValid;  // matches in each stripe
    std::vector<int> stripeSearch; // disparities each stripe's own matches call for
    std::vector<int> rowSearch;    // disparities each working row searches (empty: all the searched range)
    std::vector<uint16_t> quarterSums;     // column sums of four rows
    std::vector<cv::Mat> levelsL, levelsR; // halvings of each eye
    std::vector<char> rowDone;

    void downsample(const cv::Mat &full, std::vector<cv::Mat> &levels, cv::Mat &out);
    cv::Range scoutRange();
    void computeConfidence(const cv::Mat &disparity, cv::Mat &confidence);
    void fillHoles(cv::Mat &disparity, cv::Mat &confidence);
};

StereoEngine::StereoEngine() : impl_(new Impl) {
    const char *matcher = impl_->matcher.kernels().name;
    if (!std::strncmp(matcher, "avx512", 6) && avx512ConfidenceKernels())
        impl_->confidenceKernels = *avx512ConfidenceKernels();
    else if (!std::strncmp(matcher, "avx", 3) && avx2ConfidenceKernels())
        impl_->confidenceKernels = *avx2ConfidenceKernels();
}
StereoEngine::~StereoEngine() {
    delete impl_;
}

float StereoEngine::minimumDepth(float focalPixels, float baselineMetres, int widthPixels) {
    if (widthPixels <= 0) return 0.5f;
    return std::max(0.5f, focalPixels * baselineMetres / (float(widthPixels) / 4.0f));
}

cv::Size StereoEngine::workingSizeFor(int depthMode, Resolution cameraSize) {
    const int w = int(cameraSize.width), h = int(cameraSize.height);
    if (w <= 0 || h <= 0) return cv::Size();
    int ww = int(std::lround(float(w) * settingsFor(depthMode).scale));
    ww = std::max(ww, std::min(w, kMinimumWorkingWidth));
    ww = std::min(ww, std::max(kMaximumWorkingWidth, kMinimumWorkingWidth));
    ww = std::min(ww, w);
    const int wh = std::max(1, int(std::lround(double(h) * ww / w)));
    return cv::Size(ww, wh);
}

int StereoEngine::disparityRangeFor(int workingWidth, Resolution cameraSize, float focalPixels,
                                    float baselineMetres, float minDepthMetres) {
    if (cameraSize.width == 0 || minDepthMetres <= 0) return 16;
    const float s = float(workingWidth) / float(cameraSize.width);
    const int d = int(std::ceil(s * focalPixels * baselineMetres / minDepthMetres));
    const int range = std::max(16, (d + 15) / 16 * 16);
    // The search cannot usefully exceed the image.
    return std::min(range, std::max(16, (workingWidth - 1) / 16 * 16));
}

void StereoEngine::configure(int depthMode, Resolution cameraSize, float focalPixels, float baselineMetres,
                             float minDepthMetres) {
    Impl &d = *impl_;
    if (depthMode < DEPTH_MODE_PERFORMANCE || depthMode > DEPTH_MODE_ULTRA)
        depthMode = DEPTH_MODE_PERFORMANCE;
    d.mode = depthMode;
    d.camera = cameraSize;
    d.focal = focalPixels;
    d.baseline = baselineMetres;
    d.minDepth = minDepthMetres > 0 ? minDepthMetres
                                    : minimumDepth(focalPixels, baselineMetres, int(cameraSize.width));
    d.settings = settingsFor(depthMode);
    d.work = workingSizeFor(depthMode, cameraSize);
    d.scale = cameraSize.width ? float(d.work.width) / float(cameraSize.width) : 1.0f;
    d.range = disparityRangeFor(d.work.width, cameraSize, focalPixels, baselineMetres, d.minDepth);
    d.configured = true;
    SemiGlobalMatcher::Parameters p;
    p.disparities = d.range;
    p.speckleWindow = d.settings.speckleWindow;
    d.matcher.setParameters(p);
    // The searched range follows the scene; the first frame of a wider one
    // took 30 ms longer while its pages were faulted in, and a camera at 30
    // frames a second lost a frame to it.
    d.matcher.reserveSearch(d.range);
    d.searched = cv::Range(0, d.range);
    d.rowSearch.clear();
    p.disparities = (d.range + 3) / 4;
    p.speckleWindow = std::max(4, d.settings.speckleWindow / 8);
    d.scout.setParameters(p);
    d.reference.release();
    if (referenceMatcherRequested()) {
        const int bs = 5;
        d.reference = cv::StereoSGBM::create(0, d.range, bs, 8 * bs * bs, 32 * bs * bs, 1, 31, 10,
                                             d.settings.speckleWindow, 2, cv::StereoSGBM::MODE_SGBM_3WAY);
    }
}

cv::Size StereoEngine::workingSize() const {
    return impl_->work;
}
float StereoEngine::workingScale() const {
    return impl_->scale;
}
int StereoEngine::disparityRange() const {
    return impl_->range;
}
cv::Range StereoEngine::searchedRange() const {
    return impl_->searched;
}
int StereoEngine::searchedInRow(int y) const {
    const Impl &d = *impl_;
    return y >= 0 && size_t(y) < d.rowSearch.size() ? d.rowSearch[size_t(y)] : d.searched.size();
}
int StereoEngine::depthMode() const {
    return impl_->mode;
}

void StereoEngine::compute(const cv::Mat &leftBGRA, const cv::Mat &rightBGRA, bool fill, StereoResult &out) {
    Impl &d = *impl_;
    const cv::Size cameraSize(int(d.camera.width), int(d.camera.height));
    if (!d.configured || leftBGRA.size() != cameraSize || rightBGRA.size() != cameraSize ||
        leftBGRA.type() != rightBGRA.type()) {
        out.disparity.create(d.work.empty() ? cv::Size(1, 1) : d.work, CV_32F);
        out.disparity.setTo(fill ? std::max(0.25f, d.focal * d.baseline / 20.0f) : kNaN);
        out.confidence.create(out.disparity.size(), CV_32F);
        out.confidence.setTo(0);
        return;
    }
    if (leftBGRA.channels() == 1) {
        d.downsample(leftBGRA, d.levelsL, d.greyL);
        d.downsample(rightBGRA, d.levelsR, d.greyR);
    } else if (cameraSize.width * 2 == d.work.width * 3 && cameraSize.height * 2 == d.work.height * 3) {
        d.greyL.create(d.work, CV_8U);
        d.greyR.create(d.work, CV_8U);
        parallelFor(cv::Range(0, d.work.height / 2), [&](const cv::Range &rows) {
            thread_local cv::Mat grey;
            twoThirdsAreaOfColour(leftBGRA, d.greyL, rows.start, rows.end, grey);
            twoThirdsAreaOfColour(rightBGRA, d.greyR, rows.start, rows.end, grey);
        });
    } else {
        // Straight into the working images where the camera's size is theirs.
        const bool working = cameraSize == d.work;
        cv::Mat &greyL = working ? d.greyL : d.greyFullL, &greyR = working ? d.greyR : d.greyFullR;
        greyL.create(cameraSize, CV_8U);
        greyR.create(cameraSize, CV_8U);
        parallelFor(cv::Range(0, cameraSize.height), [&](const cv::Range &rows) {
            greyRows(leftBGRA, greyL, rows.start, rows.end);
            greyRows(rightBGRA, greyR, rows.start, rows.end);
        });
        if (!working) {
            d.downsample(d.greyFullL, d.levelsL, d.greyL);
            d.downsample(d.greyFullR, d.levelsR, d.greyR);
        }
    }

    int pad = 0;
    if (d.reference) {
        // Without padding OpenCV's matcher leaves the leftmost `range` columns
        // empty; with it, pixels there whose match lies inside the right image
        // are found.
        pad = d.settings.padLeft ? d.range : 0;
        if (pad > 0) {
            cv::copyMakeBorder(d.greyL, d.paddedL, 0, 0, pad, 0, cv::BORDER_REPLICATE);
            cv::copyMakeBorder(d.greyR, d.paddedR, 0, 0, pad, 0, cv::BORDER_REPLICATE);
            d.reference->compute(d.paddedL, d.paddedR, d.disp16);
        } else {
            d.reference->compute(d.greyL, d.greyR, d.disp16);
        }
    } else {
        if (d.range > kScoutedRange) {
            d.searched = d.scoutRange();
        } else {
            d.searched = cv::Range(0, d.range);
            d.rowSearch.clear();
        }
        SemiGlobalMatcher::Parameters p = d.matcher.parameters();
        p.minDisparity = d.searched.start;
        p.disparities = d.searched.size();
        // A narrowed search no longer sees the rival matches beyond it that
        // made ambiguous pixels (repeating texture) fail the uniqueness test;
        // a stricter test keeps the whole search's error rate (its density
        // within 0.02 %: measured on the virtual camera at HD720 to HD2K).
        p.uniqueness =
            d.searched.size() < d.range ? kNarrowedUniqueness : SemiGlobalMatcher::Parameters().uniqueness;
        d.matcher.setParameters(p);
        d.matcher.setRowDisparities(d.rowSearch, kNarrowerRowUniqueness);
        d.matcher.compute(d.greyL, d.greyR, d.disp16);
    }
    const cv::Mat disp16 = d.disp16(cv::Rect(pad, 0, d.work.width, d.work.height));

    out.disparity.create(d.work, CV_32F);
    const float toFull = 1.0f / (16.0f * d.scale);
    parallelFor(cv::Range(0, d.work.height), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y)
            disparityRow(disp16.ptr<short>(y), d.work.width, toFull, out.disparity.ptr<float>(y));
    });
    d.computeConfidence(out.disparity, out.confidence);
    if (fill) d.fillHoles(out.disparity, out.confidence);
}

// Area averaging to the working size. OpenCV's area resize is fast only for
// integer factors, so halve while the image stays at least as large as the
// working size, then take the remaining factor (below two) linearly; two
// thirds has a pass of its own.
void StereoEngine::Impl::downsample(const cv::Mat &full, std::vector<cv::Mat> &levels, cv::Mat &out) {
    if (full.cols * 2 == work.width * 3 && full.rows * 2 == work.height * 3) {
        out.create(work, CV_8U);
        parallelFor(cv::Range(0, work.height / 2),
                    [&](const cv::Range &rows) { twoThirdsArea(full, out, rows.start, rows.end); });
        return;
    }
    // Grow the list first: its elements must not move while one is the source.
    size_t count = 0;
    for (int w = full.cols, h = full.rows; w >= 2 * work.width && h >= 2 * work.height; w /= 2, h /= 2)
        ++count;
    if (levels.size() < count) levels.resize(count);
    const cv::Mat *src = &full;
    for (size_t level = 0; level < count; ++level) {
        cv::resize(*src, levels[level], cv::Size(src->cols / 2, src->rows / 2), 0, 0, cv::INTER_AREA);
        src = &levels[level];
    }
    if (src->size() == work)
        src->copyTo(out);
    else
        cv::resize(*src, out, work, 0, 0, src != &full ? cv::INTER_LINEAR : cv::INTER_AREA);
}

// A wide search spends most of its time on depths that no surface in view
// has (ULTRA at HD720 looks 176 disparities deep; a room seen from 1 m fills
// 100 of them). A match at a quarter of the size, a sixty-fourth of the work,
// finds the disparities in view; the full search then covers those, with a
// margin for the quarter size's error and for what it could not see. A few
// stray matches do not widen it; where the quarter size finds too little to
// go by, the whole range is searched. Rows that see only farther surfaces
// than the nearest in view search less (`rowSearch`).
cv::Range StereoEngine::Impl::scoutRange() {
    const cv::Range whole(0, range);
    rowSearch.clear();
    const cv::Size small(work.width / 4, work.height / 4);
    if (small.width < 32 || small.height < 16) return whole;
    if (work == cv::Size(4 * small.width, 4 * small.height)) {
        quarterArea(greyL, scoutL, quarterSums);
        quarterArea(greyR, scoutR, quarterSums);
    } else {
        cv::resize(greyL, scoutL, small, 0, 0, cv::INTER_AREA);
        cv::resize(greyR, scoutR, small, 0, 0, cv::INTER_AREA);
    }
    scout.compute(scoutL, scoutR, scoutDisp16);
    const int bins = scout.parameters().disparities;
    const int stripes = (small.height + kScoutStripe - 1) / kScoutStripe;
    histogram.assign(size_t(bins) * size_t(stripes + 1), 0);
    stripeValid.assign(size_t(stripes), 0);
    int *const all = histogram.data() + size_t(stripes) * size_t(bins);
    int valid = 0;
    for (int y = 0; y < small.height; ++y) {
        const int16_t *row = scoutDisp16.ptr<int16_t>(y);
        int *const stripe = histogram.data() + size_t(y / kScoutStripe) * size_t(bins);
        int &stripeMatches = stripeValid[size_t(y / kScoutStripe)];
        for (int x = 0; x < small.width; ++x)
            if (row[x] > 0) { // as in the result, zero is no match (flat surfaces give it)
                const int bin = std::min(bins - 1, (row[x] + 8) >> 4);
                ++all[bin];
                ++stripe[bin];
                ++stripeMatches;
                ++valid;
            }
    }
    if (valid < int(small.area()) / 5) return whole;
    // The disparities seen, less a few stray matches at either end.
    auto extent = [&](const int *seenAt, int matches) {
        const int stray = std::max(16, matches / 400);
        int lo = 0, hi = bins - 1;
        for (int seen = 0; lo < bins && (seen += seenAt[lo]) < stray;)
            ++lo;
        for (int seen = 0; hi > 0 && (seen += seenAt[hi]) < stray;)
            --hi;
        return std::make_pair(lo, hi);
    };
    const auto [lo, hi] = extent(all, valid);
    const float toWork = float(work.width) / float(small.width);
    // Three times the quarter size's error at full size. With 16, four of
    // the benchmark's twenty HD720 frames searched a third vector for
    // nothing: with 12 its error rates moved by a pixel in a hundred
    // thousand, and on the real pair in the tests the search (from 8 rather
    // than 4) differed from the whole range's in 21 pixels rather than 193.
    const int margin = 12;
    auto endOf = [&](int highest, int after) { return int(std::ceil(float(highest) * toWork)) + after + 1; };
    int start = std::max(0, int(std::floor(float(lo) * toWork)) - margin);
    // Whole vectors of 32 cost no more than part ones: the search grows to fill them.
    const int count = paddedDisparities(endOf(hi, margin) - start);
    if (count >= range) return whole;
    start = std::min(start, range - count);

    // Rows see different depths: a floor comes nearer towards the bottom of
    // the picture, while a ceiling or the sky stays far. Each stripe of rows
    // searches as deep as the scout saw in it and in the stripes that come
    // within kScoutRowMargin of its rows, where a near surface's edge may
    // lie. A stripe with too few matches to go by searches the whole image's.
    // Their margin is twice the quarter size's error, not three times: with
    // three, rows whose nearest match lies 16-31 disparities deep (more than
    // half of the benchmark's at HD1080) searched 64 rather than 32, and the
    // error rates were no lower.
    const int rowMargin = 8;
    stripeSearch.resize(size_t(stripes));
    for (int i = 0; i < stripes; ++i) {
        const int rows = std::min(small.height, (i + 1) * kScoutStripe) - i * kScoutStripe;
        const int matches = stripeValid[size_t(i)];
        int &search = stripeSearch[size_t(i)];
        search = count;
        if (matches >= rows * small.width / 5) {
            const int nearest = extent(histogram.data() + size_t(i) * bins, matches).second;
            search = std::clamp(paddedDisparities(endOf(nearest, rowMargin) - start), 32, count);
        }
    }
    rowSearch.resize(size_t(work.height));
    bool narrower = false;
    auto stripeOf = [&](int workRow) { // the stripe of the scout's row that holds it
        return std::clamp(workRow * small.height / work.height, 0, small.height - 1) / kScoutStripe;
    };
    for (int y = 0; y < work.height; ++y) {
        int &search = rowSearch[size_t(y)];
        search = 0;
        for (int i = stripeOf(std::max(0, y - kScoutRowMargin)); i <= stripeOf(y + kScoutRowMargin); ++i)
            search = std::max(search, stripeSearch[size_t(i)]);
        narrower |= search < count;
    }
    if (!narrower) rowSearch.clear();
    return cv::Range(start, start + count);
}

// Confidence combines three cues, each in (0, 1]:
//  - the photometric residual of the chosen match (mean absolute difference
//    between the left window and the right window at the found disparity);
//  - horizontal texture in the left window (flat windows match anywhere);
//  - agreement with the neighbourhood (spread of the valid disparities around).
//
// The cues lie in five planes side by side in each row; the 5 x 5 window
// sums are taken row by row inside the scoring loop (float sums of five
// terms: OpenCV's box filter sums floats in double, which made it the costliest
// step of the engine after the matcher). Each stripe of rows makes its cue
// rows as the window reaches them, into a ring of five that stays in cache:
// a whole image of cues (18 MiB at 1280 x 720) was written out and read back
// five times. A stripe makes the two rows on either side of it again, so the
// stripes are few.
void StereoEngine::Impl::computeConfidence(const cv::Mat &disparity, cv::Mat &confidence) {
    const int w = work.width, h = work.height;
    const int Planes = 5, radius = 2, window = 2 * radius + 1, pitch = w + 2 * radius;
    const ConfidenceKernels &k = confidenceKernels;
    confidence.create(work, CV_32F);
    const double stripes = std::min(h, 4 * std::max(1, cv::getNumThreads()));
    parallelFor(
        cv::Range(0, h),
        [&](const cv::Range &rows) {
            thread_local std::vector<float> ring, column, sums;
            ring.resize(size_t(window) * Planes * w);
            column.resize(size_t(Planes) * pitch);
            sums.resize(size_t(Planes) * w);
            auto cues = [&](int y) { return ring.data() + size_t(y % window) * Planes * w; };
            // Rows y - 2 .. y + 2 reflect into [y - 2, y + 2]: five rows, each in a slot of its own.
            int next = std::max(0, rows.start - radius);
            for (int y = rows.start; y < rows.end; ++y) {
                for (; next <= std::min(h - 1, y + radius); ++next) {
                    float *plane = cues(next);
                    k.cueRow(greyL.ptr<uchar>(next), greyR.ptr<uchar>(next), disparity.ptr<float>(next),
                             scale, w, plane, plane + w, plane + 2 * w, plane + 3 * w, plane + 4 * w);
                }
                // Column sums of each plane over the window's rows, reflected at the
                // left and right ends, then the window sums along the row.
                const float *src[window];
                for (int i = 0; i < window; ++i)
                    src[i] = cues(cv::borderInterpolate(y - radius + i, h, cv::BORDER_REFLECT));
                for (int p = 0; p < Planes; ++p) {
                    float *col = column.data() + p * pitch + radius;
                    const int offset = p * w;
                    k.addRows(src, offset, w, col);
                    for (int i = 1; i <= radius; ++i) {
                        col[-i] = col[cv::borderInterpolate(-i, w, cv::BORDER_REFLECT)];
                        col[w - 1 + i] = col[cv::borderInterpolate(w - 1 + i, w, cv::BORDER_REFLECT)];
                    }
                    k.windowSums(col - radius, w, sums.data() + offset);
                }
                k.scoreRow(sums.data(), w, disparity.ptr<float>(y), confidence.ptr<float>(y));
            }
        },
        stripes);
}

// Holes take the farther (smaller) of the disparities on their two sides along
// the row, so that occlusion shadows are filled with the background rather
// than smeared from the object that casts them; rows with no match at all take
// the column's values, and an image without any match the farthest depth.
void StereoEngine::Impl::fillHoles(cv::Mat &disparity, cv::Mat &confidence) {
    const int w = work.width, h = work.height;
    const float filledConfidence = 1.0f;
    float farthest = std::numeric_limits<float>::infinity();
    rowDone.assign(size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        float *dsp = disparity.ptr<float>(y);
        float *conf = confidence.ptr<float>(y);
        int x = 0;
        bool any = false;
        while (x < w) {
            if (!std::isnan(dsp[x])) {
                any = true;
                farthest = std::min(farthest, dsp[x]);
                ++x;
                continue;
            }
            const int start = x;
            while (x < w && std::isnan(dsp[x]))
                ++x;
            const float leftValue = start > 0 ? dsp[start - 1] : kNaN;
            const float rightValue = x < w ? dsp[x] : kNaN;
            float value = kNaN;
            if (!std::isnan(leftValue) && !std::isnan(rightValue))
                value = std::min(leftValue, rightValue);
            else if (!std::isnan(leftValue))
                value = leftValue;
            else if (!std::isnan(rightValue))
                value = rightValue;
            if (std::isnan(value)) break; // the whole row is empty
            for (int i = start; i < x; ++i) {
                dsp[i] = value;
                conf[i] = filledConfidence;
            }
        }
        rowDone[size_t(y)] = any;
    }
    if (!std::isfinite(farthest))
        farthest = std::max(0.25f, focal * baseline / 20.0f); // nothing matched: 20 m
    // Empty rows copy the nearest filled row above, or below for the top rows.
    int lastDone = -1;
    for (int y = 0; y < h; ++y) {
        if (rowDone[size_t(y)]) {
            lastDone = y;
            continue;
        }
        if (lastDone >= 0) {
            disparity.row(lastDone).copyTo(disparity.row(y));
            confidence.row(y).setTo(filledConfidence);
        }
    }
    int nextDone = -1;
    for (int y = h - 1; y >= 0; --y) {
        if (rowDone[size_t(y)]) {
            nextDone = y;
            continue;
        }
        if (std::isnan(disparity.at<float>(y, 0))) {
            if (nextDone >= 0)
                disparity.row(nextDone).copyTo(disparity.row(y));
            else
                disparity.row(y).setTo(farthest);
            confidence.row(y).setTo(filledConfidence);
        }
    }
}

} // namespace twl
