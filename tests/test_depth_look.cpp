// The depth picture a person can read: colour maps, the range that follows the scene and its scale; on a real
// indoor scene in the viewer, the read-out under the pointer, the two-point measure and twv's picture of a
// frame.
#include "AppTestSupport.h"
#include "render/DepthScale.h"
#include "render/FrameProbe.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/core/ModeTable.h"
#include "twl/palette/DepthColormap.h"
#include "twl/palette/DepthRange.h"

#include <QMouseEvent>
#include <QSlider>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

using twl::Colormap;
using twl::DepthColormap;
using twl::DepthRange;
using twl::DepthRangeFollower;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

/// Spread between the quartiles of the levels (CV_8U, or the first channel) of the pixels that have depth.
int quartileSpread(const cv::Mat &picture) {
    std::vector<int> levels;
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x) {
            const int v = picture.channels() == 1 ? picture.at<uchar>(y, x) : picture.at<cv::Vec4b>(y, x)[0];
            if (v > 0) levels.push_back(v);
        }
    if (levels.size() < 4) return 0;
    std::sort(levels.begin(), levels.end());
    return levels[levels.size() * 3 / 4] - levels[levels.size() / 4];
}

/// A room `d` metres away: a floor and walls running from 0.7 d to 1.4 d, a box at 0.8 d, a few holes.
cv::Mat room(float d) {
    cv::Mat depth(90, 160, CV_32F);
    for (int y = 0; y < depth.rows; ++y)
        for (int x = 0; x < depth.cols; ++x) {
            const float across = std::fabs(float(x) - 80.0f) / 80.0f, down = float(y) / 90.0f;
            depth.at<float>(y, x) = d * (1.4f - 0.7f * std::max(across, down));
        }
    depth(cv::Rect(60, 20, 30, 30)).setTo(0.8f * d);
    for (int x = 0; x < depth.cols; x += 7)
        depth.at<float>(45, x) = kNaN;
    return depth;
}

/// The grey levels of `depth` in `range`.
cv::Mat levels(const cv::Mat &depth, const DepthRange &range) {
    cv::Mat bgra;
    DepthColormap::paint(depth, range, Colormap::Grey, bgra);
    cv::Mat grey;
    cv::extractChannel(bgra, grey, 0);
    return grey;
}

} // namespace

class TestDepthLook : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path(), aloe = dir + "/aloe.twv";
    GUI *gui() { return app->gui; }

    /// The depth view's picture as the loop last made it (BGRA).
    cv::Mat depthPicture() {
        return TestSupport::frameCopy(app->inputThread, app->inputThread->depthViewGPU);
    }
    /// Waits for `count` more frames (a paused loop passes once for each change).
    bool nextFrames(int count = 2) {
        const int from = gui()->frameCounter;
        return QTest::qWaitFor([&] { return gui()->frameCounter >= from + count; },
                               20000 * TestSupport::kSlow);
    }

private slots:
    void initTestCase() {
        const QString data = qEnvironmentVariable("VANTARO_TEST_SOURCE_DATA");
        const auto r = TestSupport::runTwv({"import", aloe, "--left", data + "/aloe-left.jpg", "--right",
                                            data + "/aloe-right.jpg", "--focal", "700", "--baseline", "0.08",
                                            "--codec", "lossless"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    }

    void coloursAreOpenCvsMapsOfTheLevelsAndNoDepthStaysBlack() {
        // Depths from 0.5 to 3 m across, one row without depth, one pixel at 0.
        cv::Mat depth(8, 251, CV_32F);
        for (int x = 0; x < depth.cols; ++x)
            depth.col(x).setTo(0.5f + 0.01f * float(x));
        depth.row(3).setTo(kNaN);
        depth.at<float>(5, 7) = 0.0f;
        const DepthRange range{1.0f, 2.5f};
        // The levels: 255 at the near end and nearer, 20 at the far end and beyond (to rounding), 0 without
        // depth.
        const cv::Mat grey = levels(depth, range);
        for (int y = 0; y < depth.rows; ++y)
            for (int x = 0; x < depth.cols; ++x) {
                const float z = depth.at<float>(y, x);
                const float u = std::clamp((2.5f - z) / 1.5f, 0.0f, 1.0f);
                const int want = z > 0 ? int(20.0f + 235.0f * u) : 0;
                QVERIFY2(std::abs(grey.at<uchar>(y, x) - want) <= (z > 0 ? 1 : 0),
                         qPrintable(QString::number(z)));
            }
        const std::pair<Colormap, int> maps[] = {{Colormap::Turbo, cv::COLORMAP_TURBO},
                                                 {Colormap::Viridis, cv::COLORMAP_VIRIDIS},
                                                 {Colormap::Inferno, cv::COLORMAP_INFERNO},
                                                 {Colormap::Plasma, cv::COLORMAP_PLASMA},
                                                 {Colormap::Jet, cv::COLORMAP_JET}};
        for (const auto &[map, opencv] : maps) {
            cv::Mat bgra, bgr, want;
            DepthColormap::paint(depth, range, map, bgra);
            cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
            cv::applyColorMap(grey, want, opencv);
            want.setTo(cv::Scalar::all(0), grey == 0);
            QVERIFY2(cv::norm(bgr, want, cv::NORM_INF) == 0, DepthColormap::name(map));
            QCOMPARE(bgra.at<cv::Vec4b>(3, 100), cv::Vec4b(0, 0, 0, 255));
        }
        // Near is the warm end: Turbo's nearest depth is red, its farthest blue.
        const cv::Vec3b nearest = DepthColormap::table(Colormap::Turbo).at<cv::Vec3b>(255);
        const cv::Vec3b farthest = DepthColormap::table(Colormap::Turbo).at<cv::Vec3b>(20);
        QVERIFY(nearest[2] > nearest[0] && farthest[0] > farthest[2]);
        // The depth-coloured cloud takes the colour of the point's depth; points without depth keep theirs.
        cv::Mat cloud(1, 2, CV_32FC4);
        cloud.at<cv::Vec4f>(0, 0) = cv::Vec4f(0.1f, 0.2f, -1.75f, twl::packColor(1, 2, 3));
        cloud.at<cv::Vec4f>(0, 1) = cv::Vec4f(kNaN, kNaN, kNaN, twl::packColor(1, 2, 3));
        DepthColormap::colourPoints(cloud, range, Colormap::Jet);
        const cv::Vec3b c =
            DepthColormap::table(Colormap::Jet).at<cv::Vec3b>(DepthColormap::level(1.75f, range));
        QCOMPARE(cloud.at<cv::Vec4f>(0, 0)[3], twl::packColor(c[2], c[1], c[0]));
        QCOMPARE(cloud.at<cv::Vec4f>(0, 1)[3], twl::packColor(1, 2, 3));
    }

    void autoRangeFollowsASceneFrom1To5MetresWithoutPumping() {
        DepthRangeFollower follower;
        uint64_t t = 0;
        const uint64_t frame = 1000000000ULL / 30;
        const auto run = [&](const cv::Mat &depth, int frames) {
            for (int i = 0; i < frames; ++i)
                follower.update(depth, t += frame, 0.3f, 15.0f);
        };
        const cv::Mat nearRoom = room(1.0f), farRoom = room(5.0f);
        run(nearRoom, 1); // the first frame takes its own range
        QVERIFY(follower.range().nearM > 0.65f && follower.range().farM < 1.45f);
        QVERIFY2(quartileSpread(levels(nearRoom, follower.range())) >= 80,
                 qPrintable(QString::number(quartileSpread(levels(nearRoom, follower.range())))));
        // A box passing through the picture every other frame barely moves the range.
        cv::Mat passing = nearRoom.clone();
        passing(cv::Rect(0, 0, 160, 25)).setTo(0.4f);
        const DepthRange steady = follower.range();
        for (int i = 0; i < 10; ++i)
            run(i % 2 ? passing : nearRoom, 1);
        QVERIFY(std::fabs(follower.range().nearM - steady.nearM) < 0.2f * steady.nearM);
        run(nearRoom, 60);
        // Moved to 5 m: it follows without a jump, and arrives within two seconds.
        const DepthRange before = follower.range();
        run(farRoom, 1);
        QVERIFY(follower.range().farM > before.farM && follower.range().farM < 1.5f * before.farM);
        run(farRoom, 60);
        DepthRange own;
        QVERIFY(DepthRangeFollower::estimate(farRoom, 0.3f, 15.0f, &own));
        QVERIFY(std::fabs(follower.range().nearM / own.nearM - 1) < 0.02f &&
                std::fabs(follower.range().farM / own.farM - 1) < 0.02f);
        QVERIFY(own.nearM > 3.4f && own.farM < 7.1f);
        QVERIFY(quartileSpread(levels(farRoom, follower.range())) >= 80);
        // The same frame again (a paused picture) changes nothing; a jump in a recording arrives at once.
        const DepthRange settled = follower.range();
        follower.update(nearRoom, t, 0.3f, 15.0f);
        QCOMPARE(follower.range().farM, settled.farM);
        follower.update(nearRoom, t += 60 * frame * 30, 0.3f, 15.0f);
        QVERIFY(std::fabs(follower.range().farM - 1.3f) < 0.05f);
        // Too few pixels with depth to tell keeps the range; a flat wall still gets a readable span.
        cv::Mat empty(90, 160, CV_32F, cv::Scalar(kNaN));
        const DepthRange kept = follower.range();
        follower.update(empty, t += frame, 0.3f, 15.0f);
        QCOMPARE(follower.range().farM, kept.farM);
        DepthRange wall;
        QVERIFY(DepthRangeFollower::estimate(cv::Mat(90, 160, CV_32F, cv::Scalar(2.0f)), 0.3f, 15.0f, &wall));
        QVERIFY(wall.nearM < 2.0f && wall.farM > 2.0f && wall.farM - wall.nearM >= 0.199f);
    }

    void scaleTicksLabelTheRange() {
        const std::pair<DepthRange, QStringList> cases[] = {
            {{0.81f, 2.44f}, {"1.0", "1.5", "2.0"}},
            {{1.0f, 1.05f}, {"1.00", "1.01", "1.02", "1.03", "1.04"}},
            {{0.5f, 15.0f}, {"5", "10", "15"}},
            {{3.3f, 7.1f}, {"4", "5", "6", "7"}}};
        for (const auto &[range, want] : cases) {
            const std::vector<double> ticks = DepthScale::ticks(range);
            QStringList got;
            for (double t : ticks) {
                QVERIFY(t >= range.nearM - 1e-6 && t <= range.farM + 1e-6);
                got << DepthScale::label(t, ticks[1] - ticks[0]);
            }
            QCOMPARE(got, want);
        }
        QVERIFY(DepthScale::ticks(DepthRange{}).empty());
    }

    void realIndoorSceneInTheViewer() {
        app->CreateTWVInput(aloe);
        QTRY_VERIFY_WITH_TIMEOUT(AppTest::isPlaying(app, aloe) && gui()->frameCounter > 2,
                                 20000 * TestSupport::kSlow);
        gui()->pauseButton->click();
        gui()->maxRangeSlider->setValue(20000); // as twv, which keeps depths to 20 m
        QVERIFY(nextFrames());
        // Grey over the depths in view, the first look: the scene's structure spreads over the levels.
        const int spread = quartileSpread(depthPicture());
        gui()->fixedRangeButton->click();
        // The fixed range: the nearest allowed depth to the maximum range.
        QTRY_COMPARE_WITH_TIMEOUT(GlobalParams::getDouble(PARAM_RANGE_FAR), 20.0, 20000 * TestSupport::kSlow);
        const int fixedSpread = quartileSpread(depthPicture());
        qInfo("aloe scene, grey: quartile spread %d of 255 over the depths in view, %d over the fixed range",
              spread, fixedSpread);
        QVERIFY2(spread >= 80 && spread > 3 * fixedSpread, qPrintable(QString::number(spread)));
        gui()->autoRangeButton->click();
        gui()->colourCombo->setCurrentIndex(int(Colormap::Turbo));
        // Paused, the loop paints once after each change; the pass that saw both may come before this waits.
        const auto coloured = [this] {
            const cv::Mat picture = depthPicture();
            cv::Mat b, r;
            cv::extractChannel(picture, b, 0);
            cv::extractChannel(picture, r, 2);
            return cv::countNonZero(b != r) > int(picture.total() / 4);
        };
        QTRY_VERIFY_WITH_TIMEOUT(GlobalParams::getDouble(PARAM_RANGE_FAR) < 5.0 && coloured(),
                                 20000 * TestSupport::kSlow);
        const DepthRange range{float(GlobalParams::getDouble(PARAM_RANGE_NEAR)),
                               float(GlobalParams::getDouble(PARAM_RANGE_FAR))};
        QVERIFY(range.nearM > 0.6f && range.nearM < 1.2f && range.farM > 1.8f && range.farM < 3.0f);
        const QImage shot = gui()->depthView->grabFramebuffer();
        const QRect ramp = DepthScale::rampRect(gui()->depthView->letterbox());
        const cv::Vec3b top = DepthColormap::table(Colormap::Turbo).at<cv::Vec3b>(255);
        QVERIFY(TestSupport::near(shot.pixel(ramp.center().x(), ramp.top() + 1), top[2], top[1], top[0], 12));

        // twv paints the same frame the same way, at the camera's size (the view shows every second pixel).
        const QString out = dir + "/aloe-turbo.png";
        const auto r = TestSupport::runTwv({"depth", aloe, "--frame", "0", "--mode",
                                            twl::depthModeName(GlobalParams::getInt(PARAM_DEPTH_QUALITY)),
                                            "--colormap", "turbo", "--range", "auto", "--out", out});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const cv::Mat written = cv::imread(out.toStdString(), cv::IMREAD_UNCHANGED);
        const cv::Mat shown = depthPicture();
        QCOMPARE(written.type(), CV_8UC3);
        QCOMPARE(written.cols, 2 * shown.cols);
        cv::Mat halved, bgr;
        cv::resize(written, halved, shown.size(), 0, 0, cv::INTER_NEAREST);
        cv::cvtColor(shown, bgr, cv::COLOR_BGRA2BGR);
        QCOMPARE(cv::norm(halved, bgr, cv::NORM_INF), 0.0);
    }

    void readoutAndTwoPointMeasure() {
        QVERIFY(AppTest::isPlaying(app, aloe) && GlobalParams::getBool(PARAM_PAUSE));
        OGL2DWidget *view = gui()->depthView;
        InputThreadModul *t = app->inputThread;
        const QRect box = view->letterbox();
        const auto widgetAt = [&](int col, int row) {
            return QPoint(box.x() + int((col + 0.5) * box.width() / double(t->pointCloudGPU.getWidth())),
                          box.y() + int((row + 0.5) * box.height() / double(t->pointCloudGPU.getHeight())));
        };
        const auto point = [&](int col, int row) {
            twl::Vector4<float> p;
            t->pointCloudGPU.getValue(size_t(col), size_t(row), &p, twl::MEM_GPU);
            return p;
        };
        // Find two pixels with depth and one without.
        int a = -1, b = -1, hole = -1;
        const int row = int(t->pointCloudGPU.getHeight()) / 2, w = int(t->pointCloudGPU.getWidth());
        for (int col = 10; col < w - 10; ++col) {
            const bool has = point(col, row).z < 0;
            if (has && a < 0) a = col;
            if (has && col > w / 2 && b < 0) b = col;
            if (!has && hole < 0) hole = col;
        }
        QVERIFY(a >= 0 && b >= 0 && hole >= 0);
        // Under the pointer: the point and confidence matrices at the mapped pixel.
        QMouseEvent move(QEvent::MouseMove, widgetAt(a, row), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(view, &move);
        float confidence = 0;
        t->confidenceGPU.getValue(size_t(a), size_t(row), &confidence, twl::MEM_GPU);
        const twl::Vector4<float> pa = point(a, row), pb = point(b, row);
        const QString want = QString("%1 m   X %2  Y %3  Z %4 m   confidence %5")
                                 .arg(-pa.z, 0, 'f', 2)
                                 .arg(pa.x, 0, 'f', 2)
                                 .arg(pa.y, 0, 'f', 2)
                                 .arg(pa.z, 0, 'f', 2)
                                 .arg(int(std::lround(confidence)));
        QTRY_COMPARE(gui()->readoutText(), want);
        // A click, then a Shift+click: the distance of the two points' coordinates, in both views.
        QTest::mouseClick(view, Qt::LeftButton, {}, widgetAt(a, row));
        QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, widgetAt(b, row));
        QVERIFY(GlobalParams::getDouble(PARAM_CLICK2_X) > 0);
        QVERIFY(nextFrames(1));
        gui()->pointCloudView->grabFramebuffer();
        const double length = std::sqrt(double((pa.x - pb.x) * (pa.x - pb.x) + (pa.y - pb.y) * (pa.y - pb.y) +
                                               (pa.z - pb.z) * (pa.z - pb.z)));
        QVERIFY(std::fabs(gui()->pointCloudView->segmentLength() - length) < 1e-5);
        QCOMPARE(gui()->frameProbe->measure().length, float(gui()->pointCloudView->segmentLength()));
        // A point without depth is refused and said so; Escape starts over.
        const double second = GlobalParams::getDouble(PARAM_CLICK2_X);
        QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, widgetAt(hole, row));
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK2_X), second);
        QVERIFY(gui()->readoutText().startsWith("No depth"));
        QVERIFY(AppTest::activate(gui()));
        QTest::keyClick(gui(), Qt::Key_Escape);
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK_X), -1.0);
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK2_X), -1.0);
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestDepthLook>(argc, argv, "depth-look", false);
}

#include "test_depth_look.moc"
