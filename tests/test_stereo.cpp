// The stereo engine against exact virtual depth: accuracy per mode, FILL, confidence, search range
// and its narrowing to the depths in view.
#include "support/DisparityScore.h"
#include "twl/source/VirtualScene.h"
#include "twl/stereo/AreaReduction.h"
#include "twl/stereo/NearestResize.h"
#include "twl/stereo/SemiGlobalMatcher.h"
#include "twl/stereo/StereoEngine.h"
#include "twl/stereo/kernels/ConfidenceKernels.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>

using namespace twl;

namespace {

// Only the pixels whose confidence lies in [minConfidence, maxConfidence] take part.
DisparityScore score(const StereoResult &r, const cv::Mat &depth, float fb, float minConfidence = 0,
                     float maxConfidence = INFINITY) {
    return scoreDisparity(r.disparity, disparityFromDepth(depth, fb, r.disparity.size()), [&](int y, int x) {
        const float c = r.confidence.at<float>(y, x);
        return !(c < minConfidence || c > maxConfidence);
    });
}

int countNaN(const cv::Mat &m) {
    return int(m.total()) - cv::countNonZero(m == m);
}

} // namespace

class TestStereo : public QObject {
    Q_OBJECT
private slots:
    void areaReductionsAreOpenCvsToTheBit() {
        // Widths that reach the vector loops and leave tails; flat white (the largest sums) and random
        // images (ties that round half to even).
        cv::RNG rng(25);
        std::vector<uint16_t> column;
        for (int i = 0; i < 60; ++i) {
            const int w = 1 + rng.uniform(0, 260), h = 1 + rng.uniform(0, 12);
            for (bool flat : {false, true}) {
                cv::Mat src(12 * h, 12 * w, CV_8U), ours, ref;
                if (flat)
                    src.setTo(255);
                else
                    rng.fill(src, cv::RNG::UNIFORM, 0, 256);
                quarterArea(src, ours, column);
                cv::resize(src, ref, cv::Size(3 * w, 3 * h), 0, 0, cv::INTER_AREA);
                QVERIFY2(cv::norm(ours, ref, cv::NORM_INF) == 0, qPrintable(QString("quarter %1").arg(w)));
                ours.create(8 * h, 8 * w, CV_8U);
                twoThirdsArea(src, ours, 0, 4 * h);
                cv::resize(src, ref, ours.size(), 0, 0, cv::INTER_AREA);
                QVERIFY2(cv::norm(ours, ref, cv::NORM_INF) == 0, qPrintable(QString("two thirds %1").arg(w)));
            }
            // From colour: the grey is made a few rows at a time, the rows taken in two parts.
            cv::Mat colour(12 * h, 12 * w, i % 2 ? CV_8UC4 : CV_8UC3), grey, ref, ours(8 * h, 8 * w, CV_8U),
                scratch;
            rng.fill(colour, cv::RNG::UNIFORM, 0, 256);
            cv::cvtColor(colour, grey, i % 2 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
            cv::resize(grey, ref, ours.size(), 0, 0, cv::INTER_AREA);
            const int split = rng.uniform(0, 4 * h + 1);
            twoThirdsAreaOfColour(colour, ours, 0, split, scratch);
            twoThirdsAreaOfColour(colour, ours, split, 4 * h, scratch);
            QVERIFY2(cv::norm(ours, ref, cv::NORM_INF) == 0, qPrintable(QString("from colour %1").arg(w)));
        }
        // The grey of every colour, with any alpha.
        cv::Mat colours(4096, 4096, CV_8UC4), ours(colours.size(), CV_8U), ref;
        for (int y = 0; y < colours.rows; ++y)
            for (int x = 0; x < colours.cols; ++x) {
                const uint32_t c = uint32_t(y) << 12 | uint32_t(x);
                colours.at<cv::Vec4b>(y, x) =
                    cv::Vec4b(uchar(c), uchar(c >> 8), uchar(c >> 16), uchar(c * 37));
            }
        greyRows(colours, ours, 0, colours.rows);
        cv::cvtColor(colours, ref, cv::COLOR_BGRA2GRAY);
        QCOMPARE(cv::norm(ours, ref, cv::NORM_INF), 0.0);

        // Nearest-neighbour scaling picks OpenCV's pixels, NaN included: the display sizes of the
        // working images, odd ratios both ways, and a window into a larger image (halved, with
        // a column left over).
        cv::Mat depth(720, 1280, CV_32F), scaled, reference;
        rng.fill(depth, cv::RNG::UNIFORM, 0.0f, 50.0f);
        depth.row(7).setTo(std::numeric_limits<float>::quiet_NaN());
        for (const cv::Size size :
             {cv::Size(960, 540), cv::Size(640, 360), cv::Size(1104, 621), cv::Size(1000, 333),
              cv::Size(1281, 721), cv::Size(3, 1700), cv::Size(385, 201), cv::Size(578, 302)}) {
            for (const cv::Mat &src : {depth, depth(cv::Rect(5, 3, 771, 402))}) {
                resizeNearest(src, scaled, size);
                cv::resize(src, reference, size, 0, 0, cv::INTER_NEAREST);
                QVERIFY2(
                    scaled.size() == size && !std::memcmp(scaled.data, reference.data, 4 * size.area()),
                    qPrintable(QString("%1 x %2 from %3").arg(size.width).arg(size.height).arg(src.cols)));
            }
        }
    }

    void searchRangeFollowsTheGeometry() {
        // A quarter of the width of disparity, but never nearer than half a metre.
        QCOMPARE(StereoEngine::minimumDepth(366.7f, 0.12f, 672), 0.5f);
        QVERIFY(std::fabs(StereoEngine::minimumDepth(2000.0f, 0.12f, 672) - 240.0f / 168.0f) < 1e-4f);
        QCOMPARE(StereoEngine::minimumDepth(100.0f, 0.12f, 0), 0.5f);

        // Working sizes keep the aspect ratio and stay between 336 and 1280 columns (or the camera's own).
        for (int mode = DEPTH_MODE_PERFORMANCE; mode <= DEPTH_MODE_ULTRA; ++mode)
            for (int r = 0; r < 4; ++r) {
                const Resolution in = resolutionSize(r);
                const cv::Size s = StereoEngine::workingSizeFor(mode, in);
                QVERIFY(s.width >= std::min(336, int(in.width)) && s.width <= 1280);
                QVERIFY(std::abs(s.height - double(in.height) * s.width / in.width) <= 1.0);
            }
        QCOMPARE(StereoEngine::workingSizeFor(DEPTH_MODE_ULTRA, Resolution(672, 376)), cv::Size(672, 376));

        // The range reaches the nearest depth in steps of 16 and no further.
        const Resolution hd(1280, 720);
        const float f = VirtualScene::calibration(hd).left_cam.fx;
        for (int width : {336, 640})
            for (float zmin : {0.5f, 2.0f}) {
                const int range = StereoEngine::disparityRangeFor(width, hd, f, 0.12f, zmin);
                const double need = width / 1280.0 * f * 0.12 / zmin;
                QVERIFY2(range % 16 == 0 && range >= need && range < need + 16,
                         qPrintable(QString::number(range)));
            }
        QVERIFY(StereoEngine::disparityRangeFor(336, hd, f, 0.12f, 0.01f) < 336);

        // A non-positive minimum depth takes the geometry's own.
        StereoEngine engine;
        engine.configure(DEPTH_MODE_PERFORMANCE, hd, f, 0.12f, -1.0f);
        QCOMPARE(engine.disparityRange(),
                 StereoEngine::disparityRangeFor(engine.workingSize().width, hd, f, 0.12f,
                                                 StereoEngine::minimumDepth(f, 0.12f, 1280)));
    }

    void accuracyPerModeAgainstGroundTruth() {
        // Measured bad2 0.07-1.2 %, density 0.97 in every mode; limits about two to three times the error.
        struct Case {
            Resolution size;
            int mode;
            double maxBad2;
        } cases[] = {
            {Resolution(672, 376), DEPTH_MODE_PERFORMANCE, 0.012},
            {Resolution(672, 376), DEPTH_MODE_MEDIUM, 0.012},
            {Resolution(672, 376), DEPTH_MODE_QUALITY, 0.012},
            {Resolution(672, 376), DEPTH_MODE_ULTRA, 0.004},
            {Resolution(1280, 720), DEPTH_MODE_PERFORMANCE, 0.025},
            {Resolution(1280, 720), DEPTH_MODE_QUALITY, 0.006},
            {Resolution(1920, 1080), DEPTH_MODE_PERFORMANCE, 0.02}, // two halvings, then linear
        };
        std::unique_ptr<VirtualScene> scene;
        for (const Case &c : cases) {
            if (!scene || scene->size() != c.size) scene.reset(new VirtualScene(c.size));
            StereoEngine engine;
            engine.configure(
                c.mode, c.size, scene->focal(), scene->baseline(),
                StereoEngine::minimumDepth(scene->focal(), scene->baseline(), int(c.size.width)));
            for (double t : {0.5, 3.1}) {
                cv::Mat left, right, depth;
                scene->render(t, left, right, &depth);
                StereoResult result;
                engine.compute(left, right, false, result);
                QVERIFY(result.disparity.size() == engine.workingSize() &&
                        result.confidence.size() == engine.workingSize());
                const DisparityScore s = score(result, depth, scene->focal() * scene->baseline());
                QVERIFY2(
                    s.bad2 <= c.maxBad2 && s.density >= 0.95,
                    qPrintable(QString::asprintf("%zux%zu mode %d t %.1f: bad2 %f density %f", c.size.width,
                                                 c.size.height, c.mode, t, s.bad2, s.density)));
            }
        }
    }

    void greyPairsMatchAsTheirColourPairs() {
        // Sources hand over the eyes' grey where they make it as they decode: the depth must be the
        // colour pair's to the bit, through each way to the working size (two thirds, halving, none).
        const struct {
            int mode, width, height;
        } cases[] = {{DEPTH_MODE_ULTRA, 1920, 1080},
                     {DEPTH_MODE_PERFORMANCE, 1280, 720},
                     {DEPTH_MODE_ULTRA, 672, 376}};
        for (const auto &c : cases) {
            cv::Mat left(c.height, c.width, CV_8UC4), right, greyL, greyR;
            cv::randu(left, 0, 256);
            cv::GaussianBlur(left, left, cv::Size(5, 5), 1.2);
            right = cv::Mat::zeros(left.size(), left.type());
            left.colRange(c.width / 20, c.width).copyTo(right.colRange(0, c.width - c.width / 20));
            cv::cvtColor(left, greyL, cv::COLOR_BGRA2GRAY);
            cv::cvtColor(right, greyR, cv::COLOR_BGRA2GRAY);
            StereoEngine engine;
            engine.configure(c.mode, Resolution(size_t(c.width), size_t(c.height)), 700, 0.12f, 0.5f);
            StereoResult colour, grey;
            engine.compute(left, right, false, colour);
            engine.compute(greyL, greyR, false, grey);
            auto same = [](const cv::Mat &a, const cv::Mat &b) {
                return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
                       !std::memcmp(a.data, b.data, a.total() * a.elemSize());
            };
            QVERIFY(countNaN(colour.disparity) < int(colour.disparity.total()) / 4);
            QVERIFY2(same(colour.disparity, grey.disparity) && same(colour.confidence, grey.confidence),
                     qPrintable(QString::asprintf("%dx%d", c.width, c.height)));
        }
    }

    void wideSearchesCoverWhatIsInView() {
        // The real pair at about 0.8 to 2.4 m inside a range that reaches 0.5 m: the search narrows to
        // the depths in view and finds what the whole range finds.
        const QString data = qEnvironmentVariable("VANTARO_TEST_SOURCE_DATA");
        const cv::Mat greyL = cv::imread(qPrintable(data + "/aloe-left.jpg"), cv::IMREAD_GRAYSCALE),
                      greyR = cv::imread(qPrintable(data + "/aloe-right.jpg"), cv::IMREAD_GRAYSCALE);
        QVERIFY(!greyL.empty() && greyL.size() == greyR.size());
        const Resolution size(size_t(greyL.cols), size_t(greyL.rows));
        auto bgra = [](const cv::Mat &grey) {
            cv::Mat out;
            cv::cvtColor(grey, out, cv::COLOR_GRAY2BGRA);
            return out;
        };
        StereoEngine engine;
        engine.configure(DEPTH_MODE_ULTRA, size, 700, 0.08f, 0.5f);
        StereoResult result;
        engine.compute(bgra(greyL), bgra(greyR), false, result);
        const cv::Range searched = engine.searchedRange();
        QVERIFY2(searched.size() < engine.disparityRange() && searched.start > 0,
                 qPrintable(QString::asprintf("%d..%d of %d", searched.start, searched.end,
                                              engine.disparityRange())));
        SemiGlobalMatcher whole;
        SemiGlobalMatcher::Parameters p;
        p.disparities = engine.disparityRange();
        p.speckleWindow = 200;
        whole.setParameters(p);
        cv::Mat disp16, full;
        whole.compute(greyL, greyR, disp16);
        disp16.convertTo(full, CV_32F, 1.0 / 16);
        full.setTo(NAN, disp16 <= 0);
        const int both = cv::countNonZero((full == full) & (result.disparity == result.disparity));
        const int apart = cv::countNonZero(cv::abs(full - result.disparity) > 1.0f); // NaN compares false
        QVERIFY2(apart < both / 200 && both > cv::countNonZero(full == full) * 99 / 100,
                 qPrintable(QString::asprintf("%d of %d apart", apart, both)));

        // A small near object before a far wall is kept in the search, in the rows it lies in; a
        // pair with nothing to go by searches the whole range.
        cv::Mat wall(360, 640, CV_8U), face(60, 60, CV_8U), left, right;
        cv::randu(wall, 0, 256);
        cv::randu(face, 0, 256);
        cv::copyMakeBorder(wall, left, 0, 0, 12, 0, cv::BORDER_REPLICATE);
        left = left.colRange(0, 640).clone();
        right = wall.clone();
        face.copyTo(left(cv::Rect(300, 150, 60, 60)));
        face.copyTo(right(cv::Rect(200, 150, 60, 60)));
        engine.configure(DEPTH_MODE_ULTRA, Resolution(640, 360), 500, 0.12f, 0.45f);
        engine.compute(bgra(left), bgra(right), false, result);
        QVERIFY(engine.searchedRange().start <= 12 && engine.searchedRange().end > 100 &&
                engine.searchedRange().size() < engine.disparityRange());
        QVERIFY(engine.searchedInRow(20) <= 32 && engine.searchedInRow(180) == engine.searchedRange().size());
        const cv::Mat box = result.disparity(cv::Rect(305, 155, 50, 50));
        QVERIFY(cv::countNonZero(cv::abs(box - 100.0f) < 1.0f) > int(box.total() * 9 / 10));
        const cv::Mat flat(360, 640, CV_8UC4, cv::Scalar(90, 90, 90, 255));
        engine.compute(flat, flat, false, result);
        QCOMPARE(engine.searchedRange(), cv::Range(0, engine.disparityRange()));
    }

    void confidenceRanksTheErrors() {
        VirtualScene scene(Resolution(672, 376));
        cv::Mat left, right, depth;
        scene.render(2.2, left, right, &depth);
        StereoEngine engine;
        engine.configure(DEPTH_MODE_PERFORMANCE, scene.size(), scene.focal(), scene.baseline(), 0.5f);
        StereoResult r, narrow;
        engine.compute(left, right, false, r);
        // The baseline build's vectors give the same confidence as the widest the CPU has.
        qputenv("VANTARO_SIMD", "baseline");
        StereoEngine baseline;
        qunsetenv("VANTARO_SIMD");
        baseline.configure(DEPTH_MODE_PERFORMANCE, scene.size(), scene.focal(), scene.baseline(), 0.5f);
        baseline.compute(left, right, false, narrow);
        QCOMPARE(cv::norm(r.confidence, narrow.confidence, cv::NORM_INF), 0.0);
        // Confidence 0 exactly where there is no disparity, otherwise in (0, 100].
        const cv::Mat matched = r.disparity == r.disparity;
        QCOMPARE(cv::countNonZero(matched != (r.confidence > 0)), 0);
        QVERIFY(cv::checkRange(r.confidence, true, nullptr, 0.0, 100.0001));
        std::vector<float> values;
        r.confidence.reshape(1, 1).copyTo(values);
        values.erase(std::remove(values.begin(), values.end(), 0.0f), values.end());
        std::sort(values.begin(), values.end());
        // The most confident half is more accurate than all pixels, without removing nearly all of
        // them; the least confident tenth holds more than its share of the errors.
        const float fb = scene.focal() * scene.baseline();
        const DisparityScore all = score(r, depth, fb),
                             confident = score(r, depth, fb, values[values.size() / 2]);
        QVERIFY2(confident.bad2 < 0.7 * all.bad2,
                 qPrintable(QString("%1 vs %2").arg(confident.bad2).arg(all.bad2)));
        QVERIFY(confident.density > 0.3 * all.density);
        const DisparityScore low = score(r, depth, fb, 0, values[values.size() / 10]);
        QVERIFY(low.density > 0 && low.bad2 > 2.0 * all.bad2);
    }

    void everyCueRowBuildGivesTheScalarFloats() {
        // Smooth stretches, jumps of up to 200 pixels within a vector, no match (NaN, negative),
        // matches past either end of the row; widths that leave a tail to the scalar code.
        cv::RNG rng(7);
        for (int w : {1, 17, 64, 333}) {
            std::vector<uint8_t> l(size_t(w) + 1), r(size_t(w) + 1);
            std::vector<float> disparity(static_cast<size_t>(w)), expected(5 * size_t(w)), got(5 * size_t(w));
            rng.fill(l, cv::RNG::UNIFORM, 0, 256);
            rng.fill(r, cv::RNG::UNIFORM, 0, 256);
            float d = 20.0f;
            for (float &v : disparity) {
                d = rng.uniform(0, 8) == 0 ? rng.uniform(-10.0f, 200.0f) : d + rng.uniform(-0.7f, 0.7f);
                v = rng.uniform(0, 20) == 0 ? NAN : d;
            }
            float *e = expected.data();
            for (int x = 0; x < w; ++x)
                cuePixel(l.data(), r.data(), disparity.data(), 0.75f, w, x, e, e + w, e + 2 * w, e + 3 * w,
                         e + 4 * w);
            for (const ConfidenceKernels *k : {avx2ConfidenceKernels(), avx512ConfidenceKernels()}) {
                if (!k) continue;
                float *g = got.data();
                k->cueRow(l.data(), r.data(), disparity.data(), 0.75f, w, g, g + w, g + 2 * w, g + 3 * w,
                          g + 4 * w);
                QVERIFY2(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)) == 0,
                         qPrintable(QString("%1 at width %2").arg(k->name).arg(w)));
            }
        }
    }

    void fillLeavesNoHoles() {
        VirtualScene scene(Resolution(672, 376));
        cv::Mat left, right, depth;
        scene.render(0.9, left, right, &depth);
        StereoEngine engine;
        engine.configure(DEPTH_MODE_QUALITY, scene.size(), scene.focal(), scene.baseline(), 0.5f);
        StereoResult standard, filled;
        double lo, hi;
        engine.compute(left, right, false, standard);
        engine.compute(left, right, true, filled);
        QVERIFY(countNaN(standard.disparity) > 0);
        QCOMPARE(countNaN(filled.disparity), 0);
        cv::minMaxLoc(filled.disparity, &lo, &hi);
        QVERIFY(lo > 0 && std::isfinite(hi));
        // Matched pixels keep their values; holes take a neighbour's with some confidence.
        QVERIFY(score(filled, depth, scene.focal() * scene.baseline()).bad2 < 0.06);
        const cv::Mat matched = standard.disparity == standard.disparity;
        QCOMPARE(cv::norm(filled.disparity, standard.disparity, cv::NORM_INF, matched), 0.0);
        QCOMPARE(cv::countNonZero(~matched & (filled.confidence <= 0)), 0);

        // A flat grey pair has nothing to match: STANDARD (nearly) empty, FILL still dense and finite.
        cv::Mat flat(376, 672, CV_8UC4, cv::Scalar(90, 90, 90, 255));
        engine.compute(flat, flat, false, standard);
        QVERIFY(countNaN(standard.disparity) > int(standard.disparity.total() * 19 / 20));
        engine.compute(flat, flat, true, filled);
        QCOMPARE(countNaN(filled.disparity), 0);
        cv::minMaxLoc(filled.disparity, &lo, &hi);
        QVERIFY(lo > 0 && std::isfinite(hi));

        // Frames of the wrong size give an empty answer, not garbage.
        cv::Mat small(100, 100, CV_8UC4, cv::Scalar(1, 2, 3, 255));
        engine.compute(small, small, false, standard);
        QCOMPARE(countNaN(standard.disparity), int(standard.disparity.total()));
        QCOMPARE(cv::countNonZero(standard.confidence), 0);
    }
};

QTEST_GUILESS_MAIN(TestStereo)
#include "test_stereo.moc"
