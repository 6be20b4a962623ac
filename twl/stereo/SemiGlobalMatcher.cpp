#include "twl/stereo/SemiGlobalMatcher.h"

#include "twl/stereo/SpeckleFilter.h"
#include "twl/stereo/kernels/MatcherKernels.h"
#include "twl/util/CoreLoan.h"
#include "twl/util/HugePageBuffer.h"
#include "twl/util/WorkerPool.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace twl {

namespace {

// Rows a vertical path runs before it reaches a band's own rows: enough for
// it to forget its start (P2 caps what a path can carry).
constexpr int kBandMargin = 32;

// A census plane's row: room for the mirrored right image read past its
// edge by a whole search, on 64-byte boundaries so that the census goes out
// to memory in whole lines.
int censusPlaneStride(int width, int Dp) {
    return (width + Dp + 32 + 63) / 64 * 64;
}
} // namespace

// What one band of a pair hands the other: the path it ran up to the edge
// they share (with a line of room either side, like every path row), with
// each pixel's minimum.
struct SemiGlobalMatcher::Seam {
    std::vector<uint8_t> path, min;
    std::atomic<bool> ready{false};
    std::mutex mutex;
    std::condition_variable handed;
    uint8_t *pathRow() { return path.data() + 64; }

    void hand() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready.store(true, std::memory_order_release);
        }
        handed.notify_one();
    }
    // The other band is mostly a moment from its seam, so the wait spins
    // first; past that it sleeps. A waiter that only yielded kept its core
    // while the other band shared the second one with another busy thread
    // (a tenth of an MJPG frame's CPU time went to yielding). The spin is
    // long enough that a quiet machine seldom pays for a wake-up: with 20 us
    // the matcher took 1 % longer.
    void await() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (!ready.load(std::memory_order_acquire)) {
            if (std::chrono::steady_clock::now() >= until) {
                std::unique_lock<std::mutex> lock(mutex);
                handed.wait(lock, [this] { return ready.load(std::memory_order_relaxed); });
                return;
            }
            std::this_thread::yield();
        }
    }
};

// Buffers of one worker, reused between frames. Only one vertical path of a
// band is kept whole (and its costs, in builds that do not make them again);
// the costs, the other vertical path, the paths along the row and the sums
// live one row at a time, so that they stay in cache.
struct SemiGlobalMatcher::Band {
    int width = 0, Dp = 0;
    HugePageBuffer kept;                  // one vertical path on the band's own rows
    uint8_t *keptRows = nullptr;          // where this frame's are: in `kept` or a lone pair's buffer
    double waited = 0;                    // seconds this frame's band waited at its seam
    HugePageBuffer keptCosts;             // their costs, for builds that do not make them again
    std::vector<uint8_t> cost[3];         // of the row a pass is on; the two being finished
    std::vector<uint8_t> path[2], min[2]; // one row of a vertical path and the last
    std::vector<uint8_t> along[2];
    std::vector<uint8_t> sums[2]; // of all paths for the rows being finished
    std::vector<uint8_t> relaid;  // a path row laid out for a row that searches more or fewer
    std::vector<uint8_t> relaidMin;
    std::vector<uint32_t> scratch;
    std::vector<uint32_t> spread; // two rows' left census, a byte to a word
    std::vector<uint8_t> nibbles; // or two rows' census in nibbles
    uint8_t *nibbleRows() { return nibbles.data() + (-reinterpret_cast<uintptr_t>(nibbles.data()) & 31); }

    // Costs and path rows start on a cache line, so that no vector of them
    // straddles two (a large vector's data sits 16 bytes past a page
    // boundary); path rows have a line of room before and after (the kernels
    // read a few bytes past either end).
    static uint8_t *lineAfter(std::vector<uint8_t> &buffer, size_t room) {
        return buffer.data() + room + (-reinterpret_cast<uintptr_t>(buffer.data() + room) & 63);
    }
    uint8_t *row(std::vector<uint8_t> &buffer) { return lineAfter(buffer, 64); }
    uint8_t *keptRow(int i) { return keptRows + size_t(i) * width * Dp; }
    uint8_t *keptCostRow(int i) { return keptCosts.data() + size_t(i) * width * Dp; }

    // `share`: the bytes of the budget a band may hold. Its buffers are
    // mapped that large at once: growing one maps it anew, and the first
    // frame after a wider range then faulted in all of it again (10-20 ms).
    // Only the pages used are backed, and those of `back` bytes at once.
    void prepare(int w, int dp, int widestDp, int ownRows, bool keepCosts, size_t share, size_t back) {
        width = w;
        Dp = dp;
        // Row buffers only grow: the searched range may change every frame,
        // and memory handed back and forth that often stays with the process.
        // They are made for the widest search at once (growing them later
        // took the first frame at 128 disparities a few ms more).
        const size_t rowBytes = size_t(w) * std::max(dp, widestDp) + 192;
        if (cost[0].size() < rowBytes)
            for (auto *r : {&path[0], &path[1], &along[0], &along[1], &sums[0], &sums[1], &cost[0], &cost[1],
                            &cost[2], &relaid})
                r->assign(rowBytes, 0);
        for (auto *m : {&min[0], &min[1], &relaidMin})
            if (m->size() < size_t(w)) m->assign(size_t(w), 0);
        if (scratch.size() < size_t(4 * w)) scratch.assign(size_t(4 * w), 0);
        const size_t spreadWords = size_t(2 * kCensusPlanes) * ((size_t(w) + 15) & ~size_t(15));
        if (spread.size() < spreadWords) spread.assign(spreadWords, 0);
        const size_t nibbleBytes = 2 * nibbleRowBytes(w) + 32;
        if (nibbles.size() < nibbleBytes) nibbles.assign(nibbleBytes, 0);
        const size_t rows = size_t(ownRows) * w * dp, each = keepCosts ? share / 2 : share;
        kept.reserve(std::max(rows + 128, each));
        kept.back(back + 128);
        keptRows = kept.data() + 64;
        if (keepCosts) {
            keptCosts.reserve(std::max(rows, each));
            keptCosts.back(back);
        }
    }
};

SemiGlobalMatcher::SemiGlobalMatcher()
    : kernels_(&selectMatcherKernels()), active_(kernels_), narrowUpToFour_(splitsWideVectors()),
      censusL_(new HugePageBuffer), censusR_(new HugePageBuffer), pairKept_(new HugePageBuffer),
      speckles_(new SpeckleFilter), pool_(new WorkerPool) {}
SemiGlobalMatcher::~SemiGlobalMatcher() = default;

void SemiGlobalMatcher::setParameters(const Parameters &parameters) {
    params_ = parameters;
    params_.disparities = std::max(1, params_.disparities);
    params_.minDisparity = std::max(0, params_.minDisparity);
    params_.P2 = std::clamp(params_.P2, 1, kMaxP2);
    params_.P1 = std::clamp(params_.P1, 0, params_.P2);
    params_.uniqueness = std::clamp(params_.uniqueness, 0, 99);
}

void SemiGlobalMatcher::setKernels(const MatcherKernels &kernels) {
    kernels_ = &kernels;
    narrowUpToFour_ = false;
}

void SemiGlobalMatcher::blurRow(const cv::Mat &grey, int y, uint16_t *sums, uint8_t *out) {
    // Sensor noise flips the census bits of flat surfaces at random, and no
    // path can then carry a match across them: a light blur and the census
    // threshold keep those bits still. The blur (1 2 1 both ways, edges
    // repeated, rounded: OpenCV's 3 x 3 Gaussian to the bit), the bias and
    // the padding by the census radius are one pass over the row, on the
    // thread taking its census (OpenCV's took twice as long and sent work
    // to the other threads, which were busy with the other image).
    const int w = grey.cols, h = grey.rows, rx = kCensusRadiusX;
    y = std::clamp(y, 0, h - 1); // rows past the edges are its first and last again
    uint16_t *v = sums + 1;
    const uint8_t *a = grey.ptr<uint8_t>(std::max(y - 1, 0)), *b = grey.ptr<uint8_t>(y),
                  *c = grey.ptr<uint8_t>(std::min(y + 1, h - 1));
    out += rx;
    int x = 0;
#if CV_SIMD128
    for (; x + 8 <= w; x += 8)
        cv::v_store(v + x, cv::v_load_expand(a + x) + cv::v_load_expand(c + x) +
                               cv::v_shl<1>(cv::v_load_expand(b + x)));
#endif
    for (; x < w; ++x)
        v[x] = uint16_t(a[x] + 2 * b[x] + c[x]);
    v[-1] = v[0];
    v[w] = v[w - 1];
    x = 0;
#if CV_SIMD128
    const cv::v_uint16x8 half = cv::v_setall_u16(8);
    const cv::v_uint8x16 bias = cv::v_setall_u8(0x80);
    for (; x + 16 <= w; x += 16) {
        auto blurred = [&](int at) {
            return cv::v_shr<4>(cv::v_load(v + at - 1) + cv::v_load(v + at + 1) +
                                cv::v_shl<1>(cv::v_load(v + at)) + half);
        };
        cv::v_store(out + x, cv::v_pack(blurred(x), blurred(x + 8)) ^ bias);
    }
#endif
    for (; x < w; ++x)
        out[x] = uint8_t(((v[x - 1] + 2 * v[x] + v[x + 1] + 8) >> 4) ^ 0x80);
    std::fill(out - rx, out, out[0]);
    std::fill(out + w, out + w + rx, out[w - 1]);
}

void SemiGlobalMatcher::censusRows(const cv::Mat &grey, bool mirrored, int y0, int y1,
                                   std::vector<uint16_t> &sums, cv::Mat &padded, uint8_t *planes) const {
    // A few dozen rows at a time, blurred into a buffer that stays in cache
    // for the census to read (a whole piece's blurred rows would go out to
    // memory and come back), with the rows the census reaches above and below
    // them; those below are moved up for the next rows, not blurred again.
    constexpr int kRows = 32;
    const int ry = kCensusRadiusY;
    padded.create(kRows + 2 * ry, grey.cols + 2 * kCensusRadiusX, CV_8U);
    sums.resize(size_t(grey.cols) + 2);
    const size_t rowStride = size_t(planeStride_) * kCensusPlanes;
    for (int r0 = y0; r0 < y1; r0 += kRows) {
        const int r1 = std::min(y1, r0 + kRows);
        int from = r0 - ry;
        if (r0 > y0) {
            std::copy_n(padded.ptr<uint8_t>(kRows), size_t(2 * ry) * padded.step[0], padded.ptr<uint8_t>(0));
            from = r0 + ry;
        }
        for (int y = from; y < r1 + ry; ++y)
            blurRow(grey, y, sums.data(), padded.ptr<uint8_t>(y - r0 + ry));
        active_->census(padded.ptr<uint8_t>(ry) + kCensusRadiusX, int(padded.step[0]), width_, 0, r1 - r0,
                        mirrored, planes + size_t(r0) * rowStride, planeStride_, int(rowStride));
    }
}

void SemiGlobalMatcher::compute(const cv::Mat &left, const cv::Mat &right, cv::Mat &disparity16) {
    CV_Assert(left.type() == CV_8U && right.type() == CV_8U && left.size() == right.size());
    const int w = left.cols, m = std::min(params_.minDisparity, w);
    if (m == 0) return match(left, right, disparity16);
    // A search that starts at m is one from 0 between the left image less its
    // first m columns (which have no match that far) and the right image less
    // its last m (which no left pixel reaches).
    disparity16.create(left.size(), CV_16S);
    disparity16.colRange(0, m).setTo(-16);
    if (m == w) return;
    cv::Mat shifted = disparity16.colRange(m, w);
    // Each band's threads add m to its matches once it is decided (the
    // speckle filter compares differences, which the offset leaves alone).
    match(left.colRange(m, w), right.colRange(0, w - m), shifted, int16_t(16 * m));
}

void SemiGlobalMatcher::match(const cv::Mat &left, const cv::Mat &right, cv::Mat &disparity16,
                              int16_t offset) {
    width_ = left.cols;
    height_ = left.rows;
    D_ = std::min(params_.disparities, std::max(1, width_));
    // Where 64-byte vectors would pad the range further than 32-byte ones
    // (96 -> 128: up to 20 % more time), the same instructions run on
    // 32-byte vectors. Cores that split a 64-byte operation in two gain
    // nothing from the wider vectors and lose on their permutes across 64
    // bytes: there ranges of up to four 32-byte vectors take those (on Zen
    // 4, 5-6 % less time at 64 and 128 disparities). Past four they are the
    // slower ones there too (at 176 the wider vectors took 0.8-0.9 of their
    // time), a pixel's paths then taking twice as many registers.
    active_ = kernels_;
    const int narrowDp = paddedDisparities(D_);
    if (kernels_->lanes > 32 && avx512NarrowMatcherKernels() &&
        (paddedDisparities(D_, kernels_->lanes) > narrowDp || (narrowDp <= 128 && narrowUpToFour_)))
        active_ = avx512NarrowMatcherKernels();
    Dp_ = paddedDisparities(D_, active_->lanes);
    rowD_.clear();
    rowDp_.clear();
    if (rowDisparities_.size() == size_t(height_) &&
        std::any_of(rowDisparities_.begin(), rowDisparities_.end(), [&](int d) { return d < D_; })) {
        rowD_.resize(size_t(height_));
        rowDp_.resize(size_t(height_));
        for (int y = 0; y < height_; ++y) {
            rowD_[size_t(y)] = std::clamp(rowDisparities_[size_t(y)], 1, D_);
            rowDp_[size_t(y)] = paddedDisparities(rowD_[size_t(y)], active_->lanes);
        }
    }
    planeStride_ = censusPlaneStride(width_, Dp_);
    disparity16.create(left.size(), CV_16S);
    if (left.empty()) return;

    const int threads = std::max(1, cv::getNumThreads());
    const bool keepCosts = !active_->remakesCosts;
    const int bandRows = rowsPerBand(size_t(width_) * Dp_ * (keepCosts ? 2 : 1), threads);
    const int bandCount = (height_ + bandRows - 1) / bandRows;
    const int workers = std::min(threads, bandCount);
    bandShare_ = bandBudget_ / size_t(threads);
    // What a band keeps at the widest search's layout, or at a narrower one's
    // where that cuts fewer bands.
    backed_ = 0;
    widestDp_ = paddedDisparities(std::min(widest_, width_), kernels_->lanes);
    for (int dp = 32; dp <= widestDp_; dp += 32) {
        const size_t row = size_t(width_) * dp;
        backed_ = std::max(backed_, size_t(rowsPerBand(row * (keepCosts ? 2 : 1), threads)) * row);
    }
    while (int(bands_.size()) < workers)
        bands_.emplace_back(new Band);
    const bool speckles = params_.speckleWindow > 0;
    const int speckleRange = 16 * params_.speckleRange;
    if (speckles) speckles_->prepare(disparity16, bandCount);

    // One run of the pool for the whole frame (each run costs a wake-up).
    // First the census of each image, in two pieces: the rows of the first
    // half of the bands and the rest. Any thread takes any piece not yet
    // taken, the calling thread from the top, the others from the bottom:
    // with two threads each first takes the rows its own band needs, with
    // more up to four share the census (two did it while the rest waited),
    // and a piece is not left waiting for a worker that wakes late.
    // All wait for the whole census, then worker w takes bands w, w + workers,
    // ... (each with its own buffers); a band's speckle regions are found by
    // the thread that matched it, while its rows are still in cache, and only
    // joining them up is left for after. With an even number of workers,
    // bands 2i and 2i + 1 are matched at the same time and make a pair.
    auto paired = [&](int b) { return workers % 2 == 0 && (b | 1) < bandCount; };
    while (seams_.size() < size_t(bandCount / 2))
        seams_.emplace_back(new Seam[2]);
    for (auto &pair : seams_)
        pair[0].ready = pair[1].ready = false;
    const int tasks = std::max(workers, std::min(threads, 2));
    // The census is made again for every frame, so nothing in its planes
    // needs keeping or clearing when the layout changes (clearing them wrote
    // megabytes each time the narrowed search changed); sized for the widest
    // search, they are not mapped again in the middle of a stream.
    const size_t censusBytes =
        size_t(std::max(planeStride_, censusPlaneStride(width_, widestDp_))) * kCensusPlanes * height_;
    censusL_->reserve(censusBytes);
    censusR_->reserve(censusBytes);
    // Two bands that make the whole image (a lone pair) meet where the
    // balance puts them, and keep their paths in one buffer. Like the
    // bands' own, it is mapped as large as the budget at once and backed
    // for the widest search.
    //
    // While the caller has lent a core to a decode it will wait for (a
    // camera's next frame, see CoreLoan), its own thread takes the larger
    // band: the other thread shares its core with the decode, and the sooner
    // it is done, the sooner the decode has that core to itself. At its
    // lower priority the decode got about a tenth of that core while two
    // balanced bands ran, and the caller then waited for it with a core
    // idle. With an MJPG camera at HD1080 through ULTRA on two cores, the
    // process kept 1.86-1.92 of them busy rather than 1.79-1.90 and lost
    // fewer frames in seven of eight pairs of runs. Those frames are not
    // measured for the balance: they tell of the decode, not of the cores.
    const bool lonePair = bandCount == 2 && workers == 2 && !keepCosts;
    const bool lent = lonePair && CoreLoan::lent() > 0;
    const int upperRows = !lonePair ? bandRows
                          : lent    ? BandBalance::rowsAt(BandBalance::kMost, height_, kBandMargin)
                                    : balance_.upperRows(height_, kBandMargin);
    auto bandRange = [&](int b) {
        if (lonePair) return b == 0 ? std::make_pair(0, upperRows) : std::make_pair(upperRows, height_);
        return std::make_pair(b * bandRows, std::min(height_, (b + 1) * bandRows));
    };
    uint8_t *sharedKept = nullptr;
    if (lonePair) {
        pairKept_->reserve(std::max(size_t(width_) * height_ * Dp_, bandBudget_) + 192);
        pairKept_->back(2 * backed_ + 192);
        sharedKept = pairKept_->data() + 64;
    }
    // Pieces 0, 1: the right and left images' top rows; 2, 3: their bottom rows.
    const int split = lonePair ? upperRows : std::min(height_, (bandCount + 1) / 2 * bandRows);
    std::atomic<unsigned> censusTaken{0};
    std::atomic<int> censusDone{0};
    auto censusPiece = [&](int piece) {
        const bool mirrored = piece % 2 == 0;
        const int y0 = piece < 2 ? 0 : split, y1 = piece < 2 ? split : height_;
        if (y0 < y1) {
            censusRows(mirrored ? right : left, mirrored, y0, y1, censusSums_[piece], censusPadded_[piece],
                       (mirrored ? censusR_ : censusL_)->data());
        }
        censusDone.fetch_add(1, std::memory_order_acq_rel);
    };
    // Each lone pair's thread's time busy with its band, the wait at the
    // seam left out, for the balance. Not the census: a thread that woke
    // late leaves its pieces to the other, which would then seem slow.
    using Clock = std::chrono::steady_clock;
    double busy[2] = {};
    pool_->run(tasks, [&](int t, int) {
        for (int i = 0; i < 4; ++i) {
            const int piece = t == 0 ? i : 3 - i;
            if (!(censusTaken.fetch_or(1u << piece, std::memory_order_relaxed) & (1u << piece)))
                censusPiece(piece);
        }
        // The wait is short (the pieces take about as long), so it spins.
        while (censusDone.load(std::memory_order_acquire) < 4)
            std::this_thread::yield();
        const Clock::time_point started = Clock::now();
        for (int b = t; b < bandCount && t < workers; b += workers) {
            const auto [y0, y1] = bandRange(b);
            matchBand(*bands_[size_t(t)], b, y0, y1, paired(b) ? seams_[size_t(b / 2)].get() : nullptr,
                      lonePair ? sharedKept + size_t(y0) * width_ * Dp_ : nullptr, disparity16);
            if (offset)
                for (int y = y0; y < y1; ++y)
                    for (int16_t *d = disparity16.ptr<int16_t>(y), *end = d + width_; d < end; ++d)
                        *d = int16_t(*d >= 0 ? *d + offset : *d);
            if (speckles) speckles_->scanBand(disparity16, -16, speckleRange, b, y0, y1);
        }
        if (lonePair && t < 2)
            busy[t] =
                std::chrono::duration<double>(Clock::now() - started).count() - bands_[size_t(t)]->waited;
    });
    if (lonePair && !lent) balance_.measured(upperRows, busy[0], height_ - upperRows, busy[1]);
    if (speckles) speckles_->finish(disparity16, -16, params_.speckleWindow, speckleRange);
}

int SemiGlobalMatcher::rowsPerBand(size_t rowBytes, int threads) const {
    // Bands: one per thread, but not so thin that the margins dominate, and
    // thinner where the workers' kept paths together would pass the budget
    // (a band keeps its own rows only: margins pass through row buffers).
    int bandRows = std::max(2 * kBandMargin, (height_ + threads - 1) / threads);
    const int busy = std::min(threads, (height_ + bandRows - 1) / bandRows);
    if (bandBudget_ / size_t(busy) / rowBytes < size_t(bandRows))
        bandRows = int(std::max(size_t(8), bandBudget_ / size_t(threads) / rowBytes));
    // Equal bands, as many for each worker: with a short last band, one
    // worker had half the rows of the other and the frame waited on it.
    int bandCount = (height_ + bandRows - 1) / bandRows;
    if (bandCount > threads) bandCount = (bandCount + threads - 1) / threads * threads;
    return (height_ + bandCount - 1) / bandCount;
}

void SemiGlobalMatcher::matchBand(Band &band, int b, int y0, int y1, Seam *pair, uint8_t *sharedKept,
                                  cv::Mat &disparity16) const {
    const MatcherKernels &k = *active_;
    // Dp: the widest row's layout, which every row is kept at; each row's
    // own search and layout are disparitiesOf(y) and paddedOf(y).
    const int w = width_, Dp = Dp_, P1 = params_.P1, P2 = params_.P2;
    const bool keepCosts = !k.remakesCosts;
    // A band whose paths go to a lone pair's buffer keeps none of its own.
    band.prepare(w, Dp, widestDp_, sharedKept ? 0 : y1 - y0, keepCosts, bandShare_, sharedKept ? 0 : backed_);
    if (sharedKept) band.keptRows = sharedKept;
    band.waited = 0;
    const size_t rowStride = size_t(planeStride_) * kCensusPlanes, costRow = size_t(w) * Dp;
    // A row's costs are made again by each pass that crosses it: kept for
    // the whole band, they were written out to memory and read back, and
    // that traffic took a third of the matcher's time at 1280 x 720 x 128
    // (making them takes a sixth). The vertical path's step makes them as it
    // goes (`costPathRow`): a row of them made first and read back by the
    // step took 5-13 % longer. The first pass never stores them; the second
    // stores them for the paths along the row unless it runs those itself
    // (below), and as it finishes rows in pairs, it alternates two buffers.
    // The SSE2 and scalar builds keep the costs of the band's own rows.
    auto own = [&](int y) { return y >= y0 && y < y1; };
    auto censusOf = [&](const std::unique_ptr<HugePageBuffer> &census, int y) {
        return census->data() + size_t(y) * rowStride;
    };
    auto makeCosts = [&](int y, uint8_t *row) {
        k.costRow(censusOf(censusL_, y), censusOf(censusR_, y), planeStride_, w, disparitiesOf(y),
                  paddedOf(y), row);
        return row;
    };
    // A vertical path leaves a row in that row's layout. A row that searches
    // more or fewer disparities takes it in its own, where the lanes it adds
    // hold what lanes past a search hold (255): a path reaches them only by
    // a jump, with its penalty. Where it loses lanes, each pixel's minimum
    // is taken again over those it keeps.
    auto relay = [&](const uint8_t *&prev, const uint8_t *&prevMin, int fromDp, int dp) {
        if (!prev || fromDp == dp) return;
        uint8_t *to = band.row(band.relaid), *lowest = band.relaidMin.data();
        const size_t both = size_t(std::min(fromDp, dp));
        for (int x = 0; x < w; ++x) {
            uint8_t *pixel = to + size_t(x) * dp;
            std::memcpy(pixel, prev + size_t(x) * fromDp, both);
            std::memset(pixel + both, 255, size_t(dp) - both);
            if (dp < fromDp) lowest[x] = *std::min_element(pixel, pixel + dp);
        }
        prev = to;
        if (dp < fromDp) prevMin = lowest;
    };
    // The first pass runs one vertical path over the band (down, or up for
    // the lower band of a pair) in two row buffers and keeps a copy of its
    // own rows, sent past the caches: the second pass reads them back only
    // once the whole band is done. In a margin it only passes. Where the
    // build can (`atOnce`), each pass also runs one of the paths along an own
    // row in the same loop over its pixels, from the same costs: the first
    // keeps the sum of its two paths, the second adds its two to that sum.
    // A path along the row is a chain of dependent steps, and the vertical
    // step's independent work fills the time each waits on the one before;
    // the costs are neither stored for the paths along the row nor read
    // back (1280 x 720 x 128 took a sixth less time, 640 x 360 a tenth).
    auto pathOf = [&](int which) { return band.row(band.path[which]); };
    const int step = pair && b % 2 ? -1 : 1;
    const int top = pair && step < 0 ? y0 : std::max(0, y0 - kBandMargin);
    const int bottom = pair && step > 0 ? y1 : std::min(height_, y1 + kBandMargin);
    const int firstFrom = step > 0 ? top : bottom - 1, firstTo = step > 0 ? y1 : y0 - 1;

    auto uniquenessOf = [&](int y) {
        return disparitiesOf(y) < D_ ? narrowerUniqueness_ : params_.uniqueness;
    };
    auto atOnceFor = [&](int dp) { return k.costPathAlongRows ? k.alongRowsAtOnce(dp, planeStride_) : 0; };
    // Own rows for costPathAlongRows from y on, `dy` apart, ending before
    // `end`, that search as far as y.
    auto alongRows = [&](int y, int dy, int end, int atOnce) {
        AlongRows rows;
        rows.count =
            atOnce > 1 && y + dy != end && own(y + dy) && disparitiesOf(y + dy) == disparitiesOf(y) ? 2 : 1;
        rows.spread = band.spread.data();
        rows.nibbles = band.nibbleRows();
        for (int r = 0; r < rows.count; ++r) {
            rows.left[r] = censusOf(censusL_, y + r * dy);
            rows.rightMirrored[r] = censusOf(censusR_, y + r * dy);
        }
        return rows;
    };
    int cur = 0, pathDp = 0; // the layout of the last row's path
    for (int y = firstFrom, done = 1; y != firstTo; y += done * step, cur ^= 1) {
        done = 1;
        const int D = disparitiesOf(y), dp = paddedOf(y), atOnce = atOnceFor(dp);
        const uint8_t *prev = y == firstFrom ? nullptr : pathOf(cur ^ 1), *prevMin = band.min[cur ^ 1].data();
        relay(prev, prevMin, pathDp, dp);
        pathDp = dp;
        uint8_t *keep = own(y) ? band.keptRow(y - y0) : nullptr;
        if (atOnce && keep) {
            AlongRows rows = alongRows(y, step, firstTo, atOnce);
            for (int r = 0; r < rows.count; ++r)
                rows.keep[r] = band.keptRow(y + r * step - y0);
            k.costPathAlongRows(rows, planeStride_, D, prev, prevMin, w, dp, P1, P2, pathOf(cur),
                                band.min[cur].data());
            done = rows.count;
            continue;
        }
        if (k.costPathRow && prev) {
            k.costPathRow(censusOf(censusL_, y), censusOf(censusR_, y), planeStride_, D, nullptr, prev,
                          prevMin, w, dp, P1, P2, pathOf(cur), band.min[cur].data(), keep, nullptr, nullptr);
            continue;
        }
        uint8_t *cost = keepCosts && own(y) ? band.keptCostRow(y - y0) : band.row(band.cost[0]);
        k.pathRow(makeCosts(y, cost), prev, prevMin, w, dp, P1, P2, pathOf(cur), band.min[cur].data(), keep,
                  nullptr, nullptr);
    }
    // Two bands of a pair meet at a seam: each hands the other the path it
    // ran up to its edge there, so the second pass of each goes on with it
    // as if the image were one band (no margin, no seam in the result).
    const uint8_t *entering = nullptr, *enteringMin = nullptr;
    if (pair) {
        Seam &mine = pair[b % 2], &theirs = pair[1 - b % 2];
        mine.path.resize(costRow + 128);
        std::copy_n(pathOf(cur ^ 1), costRow, mine.pathRow());
        mine.min = band.min[cur ^ 1];
        mine.hand();
        const auto waiting = std::chrono::steady_clock::now();
        theirs.await();
        band.waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - waiting).count();
        entering = theirs.pathRow();
        enteringMin = theirs.min.data();
    }
    // The second pass runs the other way; on the band's own rows its path
    // and the kept one are summed into a row that stays in cache (the kept
    // paths are only read back: no dirty lines to write out), the paths
    // along the row join in and the row is decided. Unless they ran in the
    // passes, where the build can rows are finished two at a time (their
    // paths along the row overlap): the first of a pair waits in its own
    // row of sums for the second.
    cur = 0;
    uint8_t *const totals[2] = {band.row(band.sums[0]), band.row(band.sums[1])};
    int slot = 0, waiting = -1;
    const uint8_t *waitingCost = nullptr;
    auto finish = [&](const uint8_t *cost, uint8_t *total, int y) {
        k.finishRow(cost, total, w, disparitiesOf(y), paddedOf(y), P1, P2, uniquenessOf(y),
                    band.row(band.along[0]), band.row(band.along[1]), band.scratch.data(),
                    disparity16.ptr<int16_t>(y));
    };
    const int secondFrom = step > 0 ? bottom - 1 : top, secondTo = step > 0 ? y0 - 1 : y1;
    // The other band's path enters from the row past this band's edge.
    if (entering) pathDp = paddedOf(secondFrom + step);
    for (int y = secondFrom, done = 1; y != secondTo; y -= done * step, cur ^= 1) {
        done = 1;
        const bool mine = own(y);
        const bool first = y == secondFrom;
        const int D = disparitiesOf(y), dp = paddedOf(y), atOnce = atOnceFor(dp);
        const uint8_t *prev = first ? entering : pathOf(cur ^ 1);
        const uint8_t *prevMin = first && entering ? enteringMin : band.min[cur ^ 1].data();
        relay(prev, prevMin, pathDp, dp);
        pathDp = dp;
        uint8_t *total = totals[slot];
        const uint8_t *kept = mine ? band.keptRow(y - y0) : nullptr;
        if (atOnce && mine) {
            AlongRows rows = alongRows(y, -step, secondTo, atOnce);
            for (int r = 0; r < rows.count; ++r) {
                rows.sums[r] = band.keptRow(y - r * step - y0);
                rows.total[r] = totals[r];
                rows.disparity16[r] = disparity16.ptr<int16_t>(y - r * step);
            }
            rows.scratch = band.scratch.data();
            rows.uniqueness = uniquenessOf(y);
            k.costPathAlongRows(rows, planeStride_, D, prev, prevMin, w, dp, P1, P2, pathOf(cur),
                                band.min[cur].data());
            done = rows.count;
            continue;
        }
        const uint8_t *cost;
        if (k.costPathRow && prev) {
            uint8_t *made = mine ? band.row(band.cost[1 + slot]) : nullptr;
            k.costPathRow(censusOf(censusL_, y), censusOf(censusR_, y), planeStride_, D, made, prev, prevMin,
                          w, dp, P1, P2, pathOf(cur), band.min[cur].data(), nullptr, kept,
                          mine ? total : nullptr);
            cost = made;
        } else {
            cost = keepCosts && mine ? band.keptCostRow(y - y0)
                                     : makeCosts(y, band.row(band.cost[mine ? 1 + slot : 0]));
            k.pathRow(cost, prev, prevMin, w, dp, P1, P2, pathOf(cur), band.min[cur].data(), nullptr, kept,
                      mine ? total : nullptr);
        }
        if (!mine) continue;
        if (k.finishRowPair && waiting >= 0 && disparitiesOf(waiting) != D) { // a pair searches as one
            finish(waitingCost, totals[slot ^ 1], waiting);
            waiting = -1;
        }
        if (!k.finishRowPair) {
            finish(cost, total, y);
        } else if (waiting < 0) {
            waiting = y;
            waitingCost = cost;
            slot ^= 1;
        } else {
            const uint8_t *const costs[2] = {waitingCost, cost};
            uint8_t *const sums[2] = {totals[slot ^ 1], total};
            int16_t *const rows[2] = {disparity16.ptr<int16_t>(waiting), disparity16.ptr<int16_t>(y)};
            k.finishRowPair(costs, sums, w, D, dp, P1, P2, uniquenessOf(y), band.row(band.along[0]),
                            band.row(band.along[1]), band.scratch.data(), rows);
            waiting = -1;
            slot ^= 1;
        }
    }
    if (waiting >= 0) finish(waitingCost, totals[slot ^ 1], waiting);
}

} // namespace twl
