// The stereo engine against the virtual camera's exact depth: accuracy and
// density per mode, dense FILL output, confidence that ranks errors, and the
// geometry rules for the search range.
#include "twl/StereoEngine.h"
#include "twl/VirtualScene.h"

#include <QtTest>

#include <cmath>

using namespace twl;

namespace {

struct Score {
    double bad2 = 0, density = 0;
    size_t valid = 0;
};

// Share of valid pixels more than 2 full-resolution pixels of disparity off,
// optionally counting only pixels at or above a confidence.
Score score(const StereoResult &r, const cv::Mat &depth, float fb, float minConfidence = 0) {
    Score s;
    size_t bad = 0;
    const double sx = double(depth.cols) / r.disparity.cols, sy = double(depth.rows) / r.disparity.rows;
    for (int y = 0; y < r.disparity.rows; ++y)
        for (int x = 0; x < r.disparity.cols; ++x) {
            const float d = r.disparity.at<float>(y, x);
            if (std::isnan(d) || r.confidence.at<float>(y, x) < minConfidence) continue;
            ++s.valid;
            const float z = depth.at<float>(std::min(depth.rows - 1, int((y + 0.5) * sy)),
                                            std::min(depth.cols - 1, int((x + 0.5) * sx)));
            bad += std::fabs(d - fb / z) > 2.0f;
        }
    s.density = double(s.valid) / double(r.disparity.total());
    s.bad2 = s.valid ? double(bad) / double(s.valid) : 1.0;
    return s;
}

int countNaN(const cv::Mat &m) {
    int n = 0;
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x)
            n += std::isnan(m.at<float>(y, x));
    return n;
}

} // namespace

class TestStereo : public QObject {
    Q_OBJECT
private slots:
    void searchRangeFollowsTheGeometry() {
        // A quarter of the width of disparity, but never nearer than half a metre.
        QCOMPARE(StereoEngine::minimumDepth(366.7f, 0.12f, 672), 0.5f);
        QVERIFY(std::fabs(StereoEngine::minimumDepth(2000.0f, 0.12f, 672) - 240.0f / 168.0f) < 1e-4f);
        QCOMPARE(StereoEngine::minimumDepth(100.0f, 0.12f, 0), 0.5f);

        const CalibrationParameters hd = VirtualScene::calibration(Resolution(1280, 720));
        const float f = hd.left_cam.fx;
        QCOMPARE(StereoEngine::workingSizeFor(DEPTH_MODE_PERFORMANCE, Resolution(1280, 720)),
                 cv::Size(336, 189));
        QCOMPARE(StereoEngine::workingSizeFor(DEPTH_MODE_QUALITY, Resolution(1280, 720)), cv::Size(640, 360));
        QCOMPARE(StereoEngine::workingSizeFor(DEPTH_MODE_ULTRA, Resolution(672, 376)), cv::Size(672, 376));
        QCOMPARE(StereoEngine::workingSizeFor(DEPTH_MODE_ULTRA, Resolution(2208, 1242)).width, 1280);
        for (int mode = DEPTH_MODE_PERFORMANCE; mode <= DEPTH_MODE_ULTRA; ++mode)
            for (int r = 0; r < 4; ++r)
                QVERIFY(StereoEngine::workingSizeFor(mode, resolutionSize(r)).width >= 336);

        // ceil16(s * f * B / zmin): 0.2625 * 698.5 * 0.12 / 0.5 = 44.0 -> 48.
        QCOMPARE(StereoEngine::disparityRangeFor(336, Resolution(1280, 720), f, 0.12f, 0.5f), 48);
        QCOMPARE(StereoEngine::disparityRangeFor(640, Resolution(1280, 720), f, 0.12f, 0.5f), 96);
        QCOMPARE(StereoEngine::disparityRangeFor(640, Resolution(1280, 720), f, 0.12f, 2.0f), 32);

        StereoEngine engine;
        engine.configure(DEPTH_MODE_MEDIUM, Resolution(1280, 720), f, 0.12f, 0.5f);
        QCOMPARE(engine.depthMode(), int(DEPTH_MODE_MEDIUM));
        QCOMPARE(engine.workingSize(), cv::Size(427, 240));
        QCOMPARE(engine.disparityRange(), 64);
        QVERIFY(std::fabs(engine.workingScale() - 427.0f / 1280.0f) < 1e-6f);
        // A non-positive minimum depth takes the geometry's own.
        engine.configure(DEPTH_MODE_PERFORMANCE, Resolution(1280, 720), f, 0.12f, -1.0f);
        QCOMPARE(engine.disparityRange(), 48);
    }

    void accuracyPerModeAgainstGroundTruth() {
        // Thresholds: the measured figures (bad2 0.07-1.2 %, density 0.97 in
        // every mode) with a margin of about two to three times the error.
        struct Case {
            Resolution size;
            int mode;
            double maxBad2, minDensity;
        } cases[] = {
            {Resolution(672, 376), DEPTH_MODE_PERFORMANCE, 0.012, 0.95},
            {Resolution(672, 376), DEPTH_MODE_MEDIUM, 0.012, 0.95},
            {Resolution(672, 376), DEPTH_MODE_QUALITY, 0.012, 0.95},
            {Resolution(672, 376), DEPTH_MODE_ULTRA, 0.004, 0.95},
            {Resolution(1280, 720), DEPTH_MODE_PERFORMANCE, 0.025, 0.95},
            {Resolution(1280, 720), DEPTH_MODE_QUALITY, 0.006, 0.95},
            {Resolution(1920, 1080), DEPTH_MODE_PERFORMANCE, 0.02, 0.95}, // two halvings, then linear
        };
        Resolution current;
        std::unique_ptr<VirtualScene> scene;
        for (const Case &c : cases) {
            if (c.size != current) {
                scene.reset(new VirtualScene(c.size));
                current = c.size;
            }
            StereoEngine engine;
            engine.configure(
                c.mode, c.size, scene->focal(), scene->baseline(),
                StereoEngine::minimumDepth(scene->focal(), scene->baseline(), int(c.size.width)));
            for (double t : {0.5, 3.1}) {
                cv::Mat left, right, depth;
                scene->render(t, left, right, &depth);
                StereoResult result;
                engine.compute(left, right, false, result);
                QCOMPARE(result.disparity.size(), engine.workingSize());
                QCOMPARE(result.confidence.size(), engine.workingSize());
                const Score s = score(result, depth, scene->focal() * scene->baseline());
                const QByteArray what = QString("%1x%2 mode %3 t %4: bad2 %5 density %6")
                                            .arg(c.size.width)
                                            .arg(c.size.height)
                                            .arg(c.mode)
                                            .arg(t)
                                            .arg(s.bad2)
                                            .arg(s.density)
                                            .toUtf8();
                QVERIFY2(s.bad2 <= c.maxBad2, what.constData());
                QVERIFY2(s.density >= c.minDensity, what.constData());
            }
        }
    }

    void confidenceRanksTheErrors() {
        VirtualScene scene(Resolution(672, 376));
        cv::Mat left, right, depth;
        scene.render(2.2, left, right, &depth);
        StereoEngine engine;
        engine.configure(DEPTH_MODE_PERFORMANCE, scene.size(), scene.focal(), scene.baseline(), 0.5f);
        StereoResult r;
        engine.compute(left, right, false, r);
        for (int y = 0; y < r.disparity.rows; ++y)
            for (int x = 0; x < r.disparity.cols; ++x) {
                const float d = r.disparity.at<float>(y, x), c = r.confidence.at<float>(y, x);
                if (std::isnan(d))
                    QCOMPARE(c, 0.0f);
                else
                    QVERIFY(c > 0.0f && c <= 100.0f);
            }
        const float fb = scene.focal() * scene.baseline();
        const Score all = score(r, depth, fb);
        // The most confident pixels are more accurate than all of them, and
        // raising the bar removes pixels gradually rather than all at once.
        cv::Mat valid = r.confidence > 0;
        std::vector<float> values;
        for (int y = 0; y < r.confidence.rows; ++y)
            for (int x = 0; x < r.confidence.cols; ++x)
                if (valid.at<uchar>(y, x)) values.push_back(r.confidence.at<float>(y, x));
        std::sort(values.begin(), values.end());
        const float topHalf = values[values.size() / 2];
        const float bottomTenth = values[values.size() / 10];
        const Score confident = score(r, depth, fb, topHalf);
        QVERIFY2(confident.bad2 < 0.7 * all.bad2,
                 qPrintable(QString("%1 vs %2").arg(confident.bad2).arg(all.bad2)));
        QVERIFY(confident.density > 0.3 * all.density);
        // The least confident tenth holds a bigger share of the errors than its size.
        size_t badLow = 0, low = 0;
        for (int y = 0; y < r.disparity.rows; ++y)
            for (int x = 0; x < r.disparity.cols; ++x) {
                const float d = r.disparity.at<float>(y, x), c = r.confidence.at<float>(y, x);
                if (std::isnan(d) || c > bottomTenth) continue;
                ++low;
                const float z = depth.at<float>(std::min(depth.rows - 1, int((y + 0.5) * 2)),
                                                std::min(depth.cols - 1, int((x + 0.5) * 2)));
                badLow += std::fabs(d - fb / z) > 2.0f;
            }
        QVERIFY(low > 0);
        QVERIFY(double(badLow) / double(low) > 2.0 * all.bad2);
    }

    void fillLeavesNoHoles() {
        VirtualScene scene(Resolution(672, 376));
        cv::Mat left, right, depth;
        scene.render(0.9, left, right, &depth);
        StereoEngine engine;
        engine.configure(DEPTH_MODE_QUALITY, scene.size(), scene.focal(), scene.baseline(), 0.5f);
        StereoResult standard, filled;
        engine.compute(left, right, false, standard);
        engine.compute(left, right, true, filled);
        QVERIFY(countNaN(standard.disparity) > 0); // some NaN
        QCOMPARE(countNaN(filled.disparity), 0);
        double lo, hi;
        cv::minMaxLoc(filled.disparity, &lo, &hi);
        QVERIFY(lo > 0 && std::isfinite(hi));
        // Matched pixels keep their values; holes take a neighbour's, the farther one.
        const float fb = scene.focal() * scene.baseline();
        QVERIFY(score(filled, depth, fb).bad2 < 0.06);
        for (int y = 0; y < standard.disparity.rows; ++y)
            for (int x = 0; x < standard.disparity.cols; ++x) {
                const float d = standard.disparity.at<float>(y, x);
                if (!std::isnan(d))
                    QCOMPARE(filled.disparity.at<float>(y, x), d);
                else
                    QVERIFY(filled.confidence.at<float>(y, x) > 0);
            }

        // A flat grey pair has nothing to match: STANDARD is (nearly) empty,
        // FILL still dense and finite.
        cv::Mat flat(376, 672, CV_8UC4, cv::Scalar(90, 90, 90, 255));
        engine.compute(flat, flat, false, standard);
        QVERIFY(countNaN(standard.disparity) > int(standard.disparity.total() * 19 / 20));
        engine.compute(flat, flat, true, filled);
        QCOMPARE(countNaN(filled.disparity), 0);
        cv::minMaxLoc(filled.disparity, &lo, &hi);
        QVERIFY(lo > 0 && std::isfinite(hi));

        // Frames of the wrong size give an empty (or uniformly far) answer, not garbage.
        cv::Mat small(100, 100, CV_8UC4, cv::Scalar(1, 2, 3, 255));
        engine.compute(small, small, false, standard);
        QCOMPARE(countNaN(standard.disparity), int(standard.disparity.total()));
        QCOMPARE(cv::countNonZero(standard.confidence), 0);
    }
};

QTEST_GUILESS_MAIN(TestStereo)
#include "test_stereo.moc"
