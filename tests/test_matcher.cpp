// Our stereo matcher: each vector kernel bit-exact to the scalar reference, the whole matcher on known
// shifts and against StereoSGBM.
#include "support/DisparityScore.h"
#include "twl/source/VirtualScene.h"
#include "twl/stereo/BandBalance.h"
#include "twl/stereo/SemiGlobalMatcher.h"
#include "twl/stereo/SpeckleFilter.h"
#include "twl/stereo/kernels/MatcherKernels.h"
#include "twl/util/CoreLoan.h"
#include "twl/util/HugePageBuffer.h"
#include "twl/util/WorkerPool.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

using namespace twl;

namespace {

std::vector<const MatcherKernels *> vectorBuilds() {
    std::vector<const MatcherKernels *> builds = {&baselineMatcherKernels()};
    for (const MatcherKernels *k :
         {avx2MatcherKernels(), avx512MatcherKernels(), avx512NarrowMatcherKernels()})
        if (k) builds.push_back(k);
    return builds;
}

template <class T> std::vector<T> randomBytes(std::mt19937 &rng, size_t n, int lo, int hi) {
    std::uniform_int_distribution<int> u(lo, hi);
    std::vector<T> v(n);
    for (T &x : v)
        x = T(u(rng));
    return v;
}

double disagreement(const cv::Mat &a, const cv::Mat &b) {
    return double(cv::countNonZero(a != b)) / double(a.total());
}

// A pixel a build leaves undecided must not pass for the run before's.
void computeAfresh(SemiGlobalMatcher &matcher, const cv::Mat &left, const cv::Mat &right, cv::Mat &out) {
    out.create(left.size(), CV_16S);
    out.setTo(12345);
    matcher.compute(left, right, out);
}

void greyPair(VirtualScene &scene, double t, cv::Mat &greyL, cv::Mat &greyR, cv::Mat *depth = nullptr) {
    cv::Mat left, right;
    scene.render(t, left, right, depth);
    cv::cvtColor(left, greyL, cv::COLOR_BGRA2GRAY);
    cv::cvtColor(right, greyR, cv::COLOR_BGRA2GRAY);
}

} // namespace

class TestMatcher : public QObject {
    Q_OBJECT
private slots:
    void kernelsEqualTheReference() {
        const MatcherKernels &ref = scalarMatcherKernels();
        std::mt19937 rng(7);
        // Widths around the vector widths (tails at both ends), ranges that are and are not multiples of
        // 16, 32.
        for (const MatcherKernels *k : vectorBuilds())
            for (int width : {1, 15, 33, 70})
                for (int D : {1, 5, 16, 37, 48, 64, 96, 128, 150, 176}) {
                    const QByteArray what =
                        QString("%1 width %2 D %3").arg(k->name).arg(width).arg(D).toUtf8();
                    const int Dp = paddedDisparities(D, k->lanes), height = 5, ps = width + Dp + 32;
                    const int stride = width + 2 * kCensusRadiusX;
                    const auto grey =
                        randomBytes<uint8_t>(rng, size_t(stride) * (height + 2 * kCensusRadiusY), 0, 255);
                    const uint8_t *origin = grey.data() + kCensusRadiusY * stride + kCensusRadiusX;
                    for (bool mirrored : {false, true}) {
                        std::vector<uint8_t> a(size_t(ps) * kCensusPlanes * height), b(a.size());
                        ref.census(origin, stride, width, 0, height, mirrored, a.data(), ps,
                                   ps * kCensusPlanes);
                        k->census(origin, stride, width, 0, height, mirrored, b.data(), ps,
                                  ps * kCensusPlanes);
                        QVERIFY2(a == b, what.constData());
                    }
                    const auto left = randomBytes<uint8_t>(rng, size_t(ps) * kCensusPlanes, 0, 255);
                    const auto right = randomBytes<uint8_t>(rng, left.size(), 0, 255);
                    std::vector<uint8_t> cost(size_t(width) * Dp), cost2(cost.size());
                    ref.costRow(left.data(), right.data(), ps, width, D, Dp, cost.data());
                    k->costRow(left.data(), right.data(), ps, width, D, Dp, cost2.data());
                    QVERIFY2(cost == cost2, what.constData());

                    // Path steps from a random previous row (lanes past D at 255, as in the matcher; the
                    // bytes around the row and between pixels' ranges random: they must never count),
                    // added to random sums. Rows start one byte into their buffers.
                    const size_t rowBytes = size_t(width) * Dp + 2;
                    auto rowOf = [&](int hi) {
                        std::vector<uint8_t> row = randomBytes<uint8_t>(rng, rowBytes, 0, 255);
                        for (int x = 0; x < width; ++x)
                            for (int d = 0; d < Dp; ++d)
                                row[1 + size_t(x) * Dp + d] = d < D ? uint8_t(rng() % (hi + 1)) : 255;
                        return row;
                    };
                    const std::vector<uint8_t> prev = rowOf(kCensusBits + kMaxP2);
                    const std::vector<uint8_t> down = rowOf(kCensusBits + kMaxP2);
                    std::vector<uint8_t> prevMin(size_t(width), 0);
                    for (int x = 0; x < width; ++x) {
                        const uint8_t *p = prev.data() + 1 + size_t(x) * Dp;
                        prevMin[size_t(x)] = *std::min_element(p, p + Dp);
                    }
                    for (int step : {0, 1, 2}) // with and without sums; 2: no previous row
                        for (int P2 : {9, kMaxP2}) {
                            std::vector<uint8_t> a(rowBytes, 7), b(a), ma(size_t(width), 0), mb(ma);
                            std::vector<uint8_t> ta = rowOf(2 * (kCensusBits + kMaxP2)), tb(ta);
                            const uint8_t *from = step == 2 ? nullptr : prev.data() + 1;
                            uint8_t *totalA = step == 1 ? nullptr : ta.data() + 1;
                            uint8_t *totalB = step == 1 ? nullptr : tb.data() + 1;
                            // The vector build also keeps a copy, on a line of its own.
                            std::vector<uint8_t> kept(rowBytes + 64, 3);
                            uint8_t *keep = kept.data() + (-reinterpret_cast<uintptr_t>(kept.data()) & 63);
                            ref.pathRow(cost.data(), from, prevMin.data(), width, Dp, 7, P2, a.data() + 1,
                                        ma.data(), nullptr, down.data() + 1, totalA);
                            k->pathRow(cost.data(), from, prevMin.data(), width, Dp, 7, P2, b.data() + 1,
                                       mb.data(), keep, down.data() + 1, totalB);
                            QVERIFY2(a == b && ma == mb && ta == tb, what.constData());
                            QVERIFY2(std::equal(b.begin() + 1, b.end() - 1, keep), what.constData());
                            if (!k->costPathRow || !from) continue;
                            // The same step making its costs from the census: kept as the first pass
                            // keeps it, or summed with its costs stored as the second pass does (and
                            // kept too: neither may be dropped for the other).
                            const bool sum = step == 0;
                            std::vector<uint8_t> c(rowBytes, 7), mc(ma.size()), made(cost.size()),
                                tc(rowBytes);
                            std::fill(kept.begin(), kept.end(), 3);
                            k->costPathRow(left.data(), right.data(), ps, D, sum ? made.data() : nullptr,
                                           from, prevMin.data(), width, Dp, 7, P2, c.data() + 1, mc.data(),
                                           keep, down.data() + 1, sum ? tc.data() + 1 : nullptr);
                            QVERIFY2(c == a && mc == ma, what.constData());
                            QVERIFY2(std::equal(c.begin() + 1, c.end() - 1, keep), what.constData());
                            if (sum)
                                QVERIFY2(made == cost &&
                                             std::equal(tc.begin() + 1, tc.end() - 1, ta.begin() + 1),
                                         what.constData());
                        }
                    // The paths along the row and the decisions, on vertical sums with many ties.
                    for (int uniqueness : {0, 5, 15, 99})
                        for (int hi : {2, 2 * (kCensusBits + kMaxP2)}) {
                            std::vector<uint8_t> ta = rowOf(hi), tb(ta), along = rowOf(255),
                                                 along2 = rowOf(255), tc = ta;
                            std::vector<uint32_t> scratch(size_t(3 * width));
                            std::vector<int16_t> da(size_t(width), 0), db(da);
                            ref.finishRow(cost.data(), ta.data() + 1, width, D, Dp, 5, 31, uniqueness,
                                          along.data() + 1, along2.data() + 1, scratch.data(), da.data());
                            k->finishRow(cost.data(), tb.data() + 1, width, D, Dp, 5, 31, uniqueness,
                                         along.data() + 1, along2.data() + 1, scratch.data(), db.data());
                            QVERIFY2(da == db && ta == tb, what.constData());
                            if (!k->finishRowPair) continue;
                            // Two rows at once: the reference's row, and a second one of other sums.
                            std::vector<uint8_t> t2 = rowOf(hi / 2 + 1), t2ref(t2);
                            std::vector<int16_t> dc(da.size(), 0), d2(da.size(), 0), d2ref(d2);
                            ref.finishRow(cost.data(), t2ref.data() + 1, width, D, Dp, 5, 31, uniqueness,
                                          along.data() + 1, along2.data() + 1, scratch.data(), d2ref.data());
                            const uint8_t *const costs[2] = {cost.data(), cost.data()};
                            uint8_t *const totals[2] = {tc.data() + 1, t2.data() + 1};
                            int16_t *const rows[2] = {dc.data(), d2.data()};
                            k->finishRowPair(costs, totals, width, D, Dp, 5, 31, uniqueness, along.data() + 1,
                                             along2.data() + 1, scratch.data(), rows);
                            QVERIFY2(dc == da && tc == ta && d2 == d2ref && t2 == t2ref, what.constData());
                        }
                }
    }

    void wholeMatcherIsTheSameOnEveryBuildAndBandSize() {
        VirtualScene scene(Resolution(333, 187));
        cv::Mat greyL, greyR, reference, other;
        greyPair(scene, 1.7, greyL, greyR);
        // The scalar reference's result at D disparities into `reference`, and every build's the same.
        auto sameOnEveryBuild = [&](SemiGlobalMatcher &matcher, int D) {
            SemiGlobalMatcher::Parameters p = matcher.parameters();
            p.disparities = D;
            matcher.setParameters(p);
            matcher.setKernels(scalarMatcherKernels());
            matcher.compute(greyL, greyR, reference);
            for (const MatcherKernels *k : vectorBuilds()) {
                matcher.setKernels(*k);
                computeAfresh(matcher, greyL, greyR, other);
                QCOMPARE(disagreement(reference, other), 0.0);
            }
        };
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        {
            SemiGlobalMatcher matcher;
            matcher.reserveSearch(200); // backed at every budget below, and wider than any search
            // 130 and 90: ranges 64-byte vectors would pad further (their instructions run on 32-byte
            // ones; at three of them the second pass decides pixels in its own loop); 200, 120: four
            // and two 64-byte vectors; 40: one, two rows at a time.
            for (int D : {200, 130, 120, 90, 40})
                sameOnEveryBuild(matcher, D);
            // Two threads hand each other the paths where their bands meet: exactly one band's result.
            // Thinner bands (in pairs, or on three threads none paired) leave the margins to keep the
            // other seams nearly invisible.
            const struct {
                int threads, rows;
                bool exact;
            } cases[] = {{2, 1000, true}, {2, 80, false}, {4, 170, false}, {3, 80, false}};
            for (const auto &c : cases) {
                cv::setNumThreads(c.threads);
                matcher.setBandBudget(size_t(333) * 24 * 3 * size_t(c.rows));
                computeAfresh(matcher, greyL, greyR, other);
                const double off = disagreement(reference, other);
                QVERIFY2(c.exact ? off == 0 : off < 0.01,
                         qPrintable(QString("%1 threads, %2: %3").arg(c.threads).arg(c.rows).arg(off)));
                // Wherever the balance has a lone pair's bands meet.
                for (double share : {BandBalance::kLeast, BandBalance::kMost}) {
                    if (!c.exact) break;
                    matcher.bandBalance().setUpperShare(share);
                    computeAfresh(matcher, greyL, greyR, other);
                    QCOMPARE(disagreement(reference, other), 0.0);
                }
                // A frame while a core is lent to a decode (its bands split apart from the balance)
                // leaves the balance where it was.
                if (c.exact) {
                    matcher.bandBalance().setUpperShare(BandBalance::kLeast);
                    CoreLoan loan;
                    computeAfresh(matcher, greyL, greyR, other);
                    QCOMPARE(disagreement(reference, other), 0.0);
                    QCOMPARE(matcher.bandBalance().upperShare(), BandBalance::kLeast);
                }
            }
        }
        {
            // Rows longer than the nibble planes of the AVX2 build hold take its other passes.
            cv::setNumThreads(1);
            cv::repeat(greyL.rowRange(0, 40), 1, 7, greyL);
            cv::repeat(greyR.rowRange(0, 40), 1, 7, greyR);
            SemiGlobalMatcher matcher;
            sameOnEveryBuild(matcher, 96);
        }
        cv::setNumThreads(threads);
    }

    void lastDisparityOfTheRangeIsTheReferences() {
        // Noise shifted by D - 1: every pixel past the left band wins at the range's last lane, where
        // no parabola is fitted (the lane after it is padding). The virtual camera's pairs rarely win
        // there. Widths leave pixels both in whole groups of sixteen and after the last one, which
        // are decided apart.
        for (int D : {90, 130, 40, 200}) {
            cv::Mat right(24, 333 + D % 7, CV_8U), left, reference, other;
            cv::randu(right, 0, 256);
            cv::copyMakeBorder(right, left, 0, 0, D - 1, 0, cv::BORDER_REPLICATE);
            left = left.colRange(0, right.cols).clone();
            SemiGlobalMatcher matcher;
            SemiGlobalMatcher::Parameters p;
            p.disparities = D;
            matcher.setParameters(p);
            matcher.setKernels(scalarMatcherKernels());
            matcher.compute(left, right, reference);
            QVERIFY(cv::countNonZero(reference == (D - 1) * 16) > right.rows * (right.cols - D) / 2);
            for (const MatcherKernels *k : vectorBuilds()) {
                matcher.setKernels(*k);
                computeAfresh(matcher, left, right, other);
                QVERIFY2(disagreement(reference, other) == 0.0,
                         qPrintable(QString("%1 at %2").arg(k->name).arg(D)));
            }
        }
    }

    void theFasterThreadTakesMoreRows() {
        BandBalance balance;
        QCOMPARE(balance.upperRows(300, 32), 150);
        // The lower thread takes twice as long a row: the split moves half way to two thirds of the
        // rows above at each frame, the times measured on the rows each band had.
        for (int frame = 0; frame < 12; ++frame) {
            const int upper = balance.upperRows(300, 32);
            balance.measured(upper, upper * 1e-4, 300 - upper, (300 - upper) * 2e-4);
            if (frame == 0) QCOMPARE(balance.upperRows(300, 32), 175);
        }
        QCOMPARE(balance.upperRows(300, 32), 200);
        // A stalled thread moves the split only so far, each band keeps its least, and a frame
        // without a measure leaves it.
        balance.measured(150, 0.001, 150, 1.0);
        QCOMPARE(balance.upperShare(), BandBalance::kMost);
        QCOMPARE(balance.upperRows(100, 40), 60);
        QCOMPARE(balance.upperRows(60, 40), 30);
        for (double bad : {0.0, -1.0, std::nan("")})
            balance.measured(150, bad, 150, 0.01);
        balance.measured(0, 0.01, 300, 0.01);
        QCOMPARE(balance.upperShare(), BandBalance::kMost);
    }

    void bandBuffersAreBackedAtOnceKeepingTheirBytes() {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), MiB = size_t(1) << 20;
        HugePageBuffer buffer;
        auto resident = [&](size_t from, size_t to) {
            std::vector<unsigned char> pages((to - from) / page);
            if (mincore(buffer.data() + from, to - from, pages.data()) != 0) return size_t(-1);
            return size_t(std::count_if(pages.begin(), pages.end(), [](unsigned char c) { return c & 1; }));
        };
        buffer.reserve(16 * MiB);
        buffer.data()[0] = 7;
        buffer.data()[5 * MiB] = 9;
        buffer.back(6 * MiB);
        QCOMPARE(resident(0, 6 * MiB), 6 * MiB / page);
        QCOMPARE(resident(8 * MiB, 16 * MiB), size_t(0));
        QCOMPARE(int(buffer.data()[0]), 7);
        QCOMPARE(int(buffer.data()[5 * MiB]), 9);
        buffer.back(64 * MiB); // only as far as there is
        QCOMPARE(resident(0, 16 * MiB), 16 * MiB / page);
    }

    void forcedBaselineIsUsed() {
        qputenv("VANTARO_SIMD", "baseline");
        QCOMPARE(QByteArray(selectMatcherKernels().name), QByteArray("sse2"));
        QCOMPARE(QByteArray(SemiGlobalMatcher().kernels().name), QByteArray("sse2"));
        qputenv("VANTARO_SIMD", "avx2");
        QCOMPARE(QByteArray(selectMatcherKernels().name), QByteArray(avx2MatcherKernels() ? "avx2" : "sse2"));
        qunsetenv("VANTARO_SIMD");
        QCOMPARE(QByteArray(selectMatcherKernels().name), QByteArray(avx512MatcherKernels() ? "avx512"
                                                                     : avx2MatcherKernels() ? "avx2"
                                                                                            : "sse2"));
    }

    // The default may take 32-byte vectors where 64-byte ones pad no further
    // (on cores that split 64-byte operations); a build set by hand, as the
    // cases above set each build, must still be the one that runs.
    void aBuildSetByHandRunsAsSet() {
        if (!avx512MatcherKernels()) QSKIP("the CPU lacks AVX-512");
        cv::Mat grey(24, 160, CV_8U), disparity;
        cv::randu(grey, 0, 256);
        SemiGlobalMatcher matcher;
        SemiGlobalMatcher::Parameters p;
        p.disparities = 64;
        matcher.setParameters(p);
        matcher.setKernels(*avx512MatcherKernels());
        matcher.compute(grey, grey, disparity);
        QCOMPARE(QByteArray(matcher.kernelsInUse().name), QByteArray("avx512"));
    }

    void speckleFilterMatchesOpenCV() {
        // Random maps of few levels (so that regions of every size occur, with invalid holes), odd sizes,
        // thread counts that leave seams in regions: the same pixels cleared as cv::filterSpeckles.
        std::mt19937 rng(11);
        SpeckleFilter filter;
        for (int trial = 0; trial < 120; ++trial) {
            cv::Mat d(1 + int(rng() % 70), 1 + int(rng() % 90), CV_16S), expected, ours;
            // Every eighth map spans the whole 16-bit range, where a difference taken in 16 bits wraps.
            const bool wide = trial % 8 == 7;
            const int levels = 1 + int(rng() % 6), maxSize = int(rng() % 12);
            const int maxDiff = wide ? int(rng() % 70000) : int(rng() % 24);
            for (auto it = d.begin<int16_t>(); it != d.end<int16_t>(); ++it)
                *it = int16_t(rng() % 5 == 0 ? -16
                              : wide         ? int(rng() % 65536) - 32768
                                             : int(rng() % levels) * 20 + int(rng() % 3) * (trial % 2));
            cv::filterSpeckles(expected = d.clone(), -16, maxSize, maxDiff);
            for (int threads : {1, 3}) {
                filter.apply(ours = d.clone(), -16, maxSize, maxDiff, threads);
                QVERIFY2(cv::countNonZero(ours != expected) == 0, qPrintable(QString::number(trial)));
            }
        }
    }

    void workerPoolRunsEveryTaskOncePerRun() {
        // Runs of changing size on one pool (threads started on demand, some sitting a run out); each
        // task sees the counts of the runs before it, as after a join.
        WorkerPool pool;
        std::vector<int> counts(6, 0);
        for (int run = 0; run < 300; ++run) {
            const int n = 1 + run % 6;
            pool.run(n, [&](int i, int count) { counts[size_t(i)] += count == n ? 1 : 1000; });
        }
        for (int i = 0; i < 6; ++i)
            QCOMPARE(counts[size_t(i)], 50 * (6 - i));

        // The workers may run wherever the caller may, except on the core it ran on.
        cpu_set_t callers, workers;
        QCOMPARE(sched_getaffinity(0, sizeof callers, &callers), 0);
        pool.run(2, [&](int i, int) {
            if (i == 1) sched_getaffinity(0, sizeof workers, &workers);
        });
        CPU_AND(&workers, &workers, &callers);
        QCOMPARE(CPU_COUNT(&workers),
                 CPU_COUNT(&callers) > 1 ? CPU_COUNT(&callers) - 1 : CPU_COUNT(&callers));
    }

    void findsAKnownShift() {
        // Noise shifted by 9 px: pixels whose match lies in the right image get 9 (within the sub-pixel
        // step); none in the left band has more than its column allows.
        cv::Mat right(61, 97, CV_8U), left, disp;
        cv::randu(right, 0, 256);
        cv::copyMakeBorder(right, left, 0, 0, 9, 0, cv::BORDER_REPLICATE);
        SemiGlobalMatcher matcher;
        SemiGlobalMatcher::Parameters p;
        p.disparities = 21;
        matcher.setParameters(p);
        matcher.compute(left.colRange(0, 97).clone(), right, disp);
        const cv::Mat band = disp.colRange(0, 9), beyond = disp.colRange(9, 97);
        QCOMPARE(cv::countNonZero((band >= 9 * 16) & (band != -16)), 0);
        const int exact = cv::countNonZero((beyond >= 9 * 16 - 4) & (beyond <= 9 * 16 + 4));
        QVERIFY2(exact >= int(0.98 * 61 * 88), qPrintable(QString::number(exact)));

        // A search from 6 to 13 finds the same shift in absolute terms; the first 6 columns have no
        // match that far.
        p.minDisparity = 6;
        p.disparities = 8;
        matcher.setParameters(p);
        cv::Mat narrow;
        matcher.compute(left.colRange(0, 97).clone(), right, narrow);
        QCOMPARE(cv::countNonZero(narrow.colRange(0, 6) != -16), 0);
        const cv::Mat narrowBeyond = narrow.colRange(9, 97);
        QVERIFY(cv::countNonZero((narrowBeyond >= 9 * 16 - 4) & (narrowBeyond <= 9 * 16 + 4)) >= exact - 61);
    }

    void rowsSearchAsDeepAsTheyAreTold() {
        // Stripes of noise shifted by 12, 70 and 45 px, told to search 32, all 96 and 64: the paths
        // change layout going down and up and across the seam of two threads' bands, wherever the
        // balance puts it. Inside each stripe the result is the whole search's (but for a few
        // pixels: paths from the other stripes run differently), no row finds a match past its
        // search, and every build gives the reference's bytes.
        const int rows = 120, cols = 333, stripe = rows / 3;
        const int shifts[3] = {12, 70, 45}, searches[3] = {32, 96, 64};
        cv::Mat right(rows, cols, CV_8U), left(rows, cols, CV_8U), whole, reference, other;
        cv::randu(right, 0, 256);
        std::vector<int> counts(rows);
        for (int y = 0; y < rows; ++y) {
            const int s = shifts[y / stripe];
            right.row(y).colRange(0, cols - s).copyTo(left.row(y).colRange(s, cols));
            right.row(y).colRange(0, s).copyTo(left.row(y).colRange(0, s));
            counts[size_t(y)] = searches[y / stripe];
        }
        SemiGlobalMatcher matcher;
        SemiGlobalMatcher::Parameters p;
        p.disparities = 96;
        matcher.setParameters(p);
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        matcher.setKernels(scalarMatcherKernels());
        matcher.compute(left, right, whole);
        matcher.setRowDisparities(counts, p.uniqueness);
        matcher.compute(left, right, reference);
        for (int i = 0; i < 3; ++i) {
            const cv::Range inside(i * stripe + 4, (i + 1) * stripe - 4);
            QVERIFY2(disagreement(whole.rowRange(inside), reference.rowRange(inside)) < 0.005,
                     qPrintable(QString("stripe %1").arg(i)));
            QCOMPARE(cv::countNonZero(reference.rowRange(i * stripe, (i + 1) * stripe) >= searches[i] * 16),
                     0);
        }
        // Rows that search less take their own uniqueness test; the others keep the frame's.
        matcher.setRowDisparities(counts, 99);
        matcher.compute(left, right, other);
        for (const cv::Range narrower : {cv::Range(0, stripe), cv::Range(2 * stripe, rows)})
            QVERIFY(cv::countNonZero(other.rowRange(narrower) >= 0) <
                    0.95 * cv::countNonZero(reference.rowRange(narrower) >= 0));
        const cv::Range wide(stripe + 4, 2 * stripe - 4);
        QCOMPARE(disagreement(reference.rowRange(wide), other.rowRange(wide)), 0.0);
        matcher.setRowDisparities(counts, p.uniqueness);
        for (int t : {1, 2})
            for (double share : {BandBalance::kLeast, BandBalance::kMost})
                for (const MatcherKernels *k : vectorBuilds()) {
                    cv::setNumThreads(t);
                    matcher.bandBalance().setUpperShare(share);
                    matcher.setKernels(*k);
                    computeAfresh(matcher, left, right, other);
                    QVERIFY2(disagreement(reference, other) == 0.0,
                             qPrintable(QString("%1 on %2 threads").arg(k->name).arg(t)));
                }
        cv::setNumThreads(threads);
    }

    void asAccurateAsStereoSGBMOnTheVirtualCameraAndOnRealTexture() {
        // `densityShare`: the share of StereoSGBM's density ours must reach.
        auto compare = [](const cv::Mat &greyL, const cv::Mat &greyR, const DisparityTruth &truth,
                          const char *what, int disparities = 64, double densityShare = 1.0,
                          const std::function<bool(int, int)> &considered = {}) {
            SemiGlobalMatcher ours;
            SemiGlobalMatcher::Parameters p;
            p.disparities = disparities;
            ours.setParameters(p);
            auto sgbm = cv::StereoSGBM::create(0, disparities, 5, 200, 800, 1, 0, 10, 100, 2,
                                               cv::StereoSGBM::MODE_SGBM_3WAY);
            cv::Mat a, b;
            ours.compute(greyL, greyR, a);
            sgbm->compute(greyL, greyR, b);
            const DisparityScore mine = scoreDisparity(a, truth, considered),
                                 theirs = scoreDisparity(b, truth, considered);
            QVERIFY2(mine.bad2 <= theirs.bad2 && mine.density >= densityShare * theirs.density,
                     qPrintable(QString::asprintf("%s: bad2 %f vs %f, density %f vs %f", what, mine.bad2,
                                                  theirs.bad2, mine.density, theirs.density)));
        };
        // A real pair with its measured disparities (full-size pixels, 0 where unknown), past the
        // columns StereoSGBM leaves empty. Ours matches a few percent fewer pixels there and gets
        // fewer of them wrong (2.7 against 3.7 %).
        const QString data = qEnvironmentVariable("VANTARO_TEST_SOURCE_DATA");
        const cv::Mat aloeL = cv::imread(qPrintable(data + "/aloe-left.jpg"), cv::IMREAD_GRAYSCALE),
                      aloeR = cv::imread(qPrintable(data + "/aloe-right.jpg"), cv::IMREAD_GRAYSCALE),
                      aloeTruth = cv::imread(qPrintable(data + "/aloe-truth.png"), cv::IMREAD_GRAYSCALE);
        QVERIFY(!aloeL.empty() && aloeL.size() == aloeTruth.size());
        compare(
            aloeL, aloeR, [&](int y, int x) { return aloeTruth.at<uint8_t>(y, x) / 2.0f; }, "real pair", 112,
            0.95, [&](int y, int x) { return x >= 112 && aloeTruth.at<uint8_t>(y, x) > 0; });
        VirtualScene scene(Resolution(640, 360));
        const float fb = scene.focal() * scene.baseline();
        for (double t : {0.4, 2.9}) {
            cv::Mat depth, greyL, greyR;
            greyPair(scene, t, greyL, greyR, &depth);
            compare(greyL, greyR, disparityFromDepth(depth, fb, depth.size()), "virtual camera");
        }
        // A real photograph seen through a known disparity field (a slanted plane and a nearer box), with
        // sensor noise and another gain in the right eye: flat walls must not fall apart.
        const cv::Mat left = cv::imread(qPrintable(data + "/chessboard/left03.jpg"), cv::IMREAD_GRAYSCALE);
        QVERIFY(!left.empty());
        auto truth = [&](int y, int x) {
            const bool box =
                x > left.cols / 3 && x < left.cols / 2 && y > left.rows / 4 && y < 3 * left.rows / 4;
            return 8 + 20.0f * y / left.rows + 6.0f * x / left.cols + (box ? 14 : 0);
        };
        cv::Mat mapX(left.size(), CV_32F), mapY(left.size(), CV_32F), right, noise(left.size(), CV_16S);
        for (int y = 0; y < left.rows; ++y)
            for (int xr = 0; xr < left.cols; ++xr) {
                float x = float(xr);
                for (int i = 0; i < 5; ++i)
                    x = float(xr) + truth(y, std::clamp(int(x), 0, left.cols - 1));
                mapX.at<float>(y, xr) = x;
                mapY.at<float>(y, xr) = float(y);
            }
        cv::remap(left, right, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        cv::randn(noise, 0, 3);
        right.convertTo(right, CV_16S, 0.9, 8);
        cv::Mat(right + noise).convertTo(right, CV_8U);
        compare(left, right, truth, "real texture");
    }
};

QTEST_GUILESS_MAIN(TestMatcher)
#include "test_matcher.moc"
