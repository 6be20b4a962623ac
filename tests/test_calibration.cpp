// Stereo calibration: chessboard calibration, damaged calibration files named and refused, rectified depth.
#include "TestSupport.h"

#include "twl/Camera.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoCalibrator.h"
#include "twl/core/FrameSource.h"
#include "twl/source/VirtualScene.h"

#include <QtTest>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>

using namespace twl;
using TestSupport::runTwv;

namespace {

const QString kBoard = qEnvironmentVariable("VANTARO_TEST_SOURCE_DATA") + "/chessboard";

// Serves one fixed pair for ever, as a live camera with the virtual rig's nominal intrinsics.
struct PairSource : FrameSource {
    PairSource(cv::Mat l, cv::Mat r, bool rectified) : left(l), right(r), rectified(rectified) {}
    ERROR_CODE grab(StereoFrame &frame) override {
        left.copyTo(frame.left);
        right.copyTo(frame.right);
        return SUCCESS;
    }
    Resolution resolution() const override { return Resolution(size_t(left.cols), size_t(left.rows)); }
    CameraInformation information() const override {
        CameraInformation info;
        info.serial_number = 4242;
        info.calibration_parameters = VirtualScene::calibration(resolution());
        return info;
    }
    float fps() const override { return 15; }
    bool isLive() const override { return true; }
    bool isRectified() const override { return rectified; }
    cv::Mat left, right;
    bool rectified;
};

cv::Mat rotation(cv::Vec3d v) {
    cv::Mat r;
    cv::Rodrigues(v, r);
    return r;
}

// Two distorted, turned cameras that rectify exactly to the virtual rig (R splits into half turns +-h).
const cv::Vec3d kHalfTurn(0.012, -0.02, 0.006);

StereoCalibration distortedRig(cv::Size size, double f) {
    StereoCalibration c;
    c.imageSize = size;
    const double cx = size.width / 2.0, cy = size.height / 2.0;
    c.M1 = (cv::Mat_<double>(3, 3) << f * 0.97, 0, cx + 6, 0, f * 0.97, cy - 4, 0, 0, 1);
    c.M2 = (cv::Mat_<double>(3, 3) << f * 0.97, 0, cx - 5, 0, f * 0.97, cy + 3, 0, 0, 1);
    c.D1 = (cv::Mat_<double>(1, 5) << -0.12, 0.03, 0, 0, 0);
    c.D2 = (cv::Mat_<double>(1, 5) << -0.10, 0.02, 0, 0, 0);
    c.R = rotation(2 * kHalfTurn);
    c.T = -rotation(kHalfTurn) * (cv::Mat_<double>(3, 1) << twl::kNominalBaselineMetres, 0, 0);
    return c;
}

// What one camera of the rig sees: each raw pixel looks up where its ray meets the ideal camera.
cv::Mat throughLens(const cv::Mat &ideal, const cv::Mat &M, const cv::Mat &D, const cv::Mat &rawToIdeal,
                    float focal) {
    std::vector<cv::Point2f> raw, seen;
    for (int y = 0; y < ideal.rows; ++y)
        for (int x = 0; x < ideal.cols; ++x)
            raw.emplace_back(float(x), float(y));
    const cv::Mat K =
        (cv::Mat_<double>(3, 3) << focal, 0, ideal.cols / 2.0, 0, focal, ideal.rows / 2.0, 0, 0, 1);
    cv::undistortPoints(raw, seen, M, D, rawToIdeal, K);
    cv::Mat map = cv::Mat(seen).reshape(2, ideal.rows), out;
    cv::remap(ideal, out, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return out;
}

// Share of pixels whose depth is missing or over 5 % off the truth along each pixel's reported ray.
double badShare(Camera &camera, const cv::Mat &truth, float focal) {
    Mat depth;
    if (camera.grab() != SUCCESS || camera.retrieveMeasure(depth, MEASURE_DEPTH) != SUCCESS) return 1.0;
    const CameraParameters c = camera.getCameraInformation().calibration_parameters.left_cam;
    int bad = 0, total = 0;
    for (int v = 0; v < int(depth.getHeight()); ++v)
        for (int u = 0; u < int(depth.getWidth()); ++u) {
            const int x = int(std::lround(focal * (u - c.cx) / c.fx + truth.cols / 2.0));
            const int y = int(std::lround(focal * (v - c.cy) / c.fy + truth.rows / 2.0));
            if (x < 0 || y < 0 || x >= truth.cols || y >= truth.rows) continue;
            const float z = depth.getPtr<float>(MEM_CPU)[size_t(v) * depth.getStep(MEM_CPU) + size_t(u)];
            const float t = truth.at<float>(y, x);
            ++total;
            if (!(std::fabs(z - t) <= 0.05f * t)) ++bad;
        }
    return total ? double(bad) / total : 1.0;
}

} // namespace

class TestCalibration : public QObject {
    Q_OBJECT
private slots:
    void chessboardPairsCalibrateTheRig() {
        const QDir data(kBoard);
        const QStringList lefts = data.entryList({"left*.jpg"}, QDir::Files, QDir::Name);
        QCOMPARE(lefts.size(), 13);
        StereoCalibrator calibrator(cv::Size(9, 6), 0.025);
        for (const QString &name : lefts)
            QVERIFY2(calibrator.addPair(cv::imread(data.filePath(name).toStdString()),
                                        cv::imread(data.filePath("right" + name.mid(4)).toStdString())),
                     qPrintable(name));
        StereoCalibrator::Result result;
        std::string error;
        QVERIFY2(calibrator.calibrate(&result, &error), error.c_str());
        qInfo("RMS %.3f px, rectified row error mean %.3f px, worst %.3f px, baseline %.4f m", result.rms,
              result.meanRowError, result.worstRowError, result.calibration.baseline());
        QVERIFY(result.rms < 1.0 && result.meanRowError < 0.5);
        StereoCalibration doubled;
        QVERIFY(result.calibration.scaledTo(cv::Size(1280, 960), &doubled, &error));
        QCOMPARE(doubled.M1.at<double>(0, 0), 2 * result.calibration.M1.at<double>(0, 0));
        QVERIFY(!result.calibration.scaledTo(cv::Size(1280, 720), &doubled, &error));
        QVERIFY(error.find("aspect ratio") != std::string::npos);
        // The tool: from two folders a file that reads back the same, from one pair a refusal.
        QDir pairs(TestSupport::dataDir() + "/pairs");
        pairs.removeRecursively();
        QVERIFY(pairs.mkpath("l") && pairs.mkpath("r"));
        for (const QString &name : lefts) {
            QFile::copy(data.filePath(name), pairs.filePath("l/" + name.mid(4)));
            QFile::copy(data.filePath("right" + name.mid(4)), pairs.filePath("r/" + name.mid(4)));
        }
        const QString out = pairs.filePath("rig.yml");
        const TestSupport::ToolRun all = runTwv({"calibrate", "--left", pairs.filePath("l"), "--right",
                                                 pairs.filePath("r"), "--square", "0.025", "--out", out});
        QVERIFY2(all.exitCode == 0, qPrintable(all.err));
        StereoCalibration loaded;
        QVERIFY2(StereoCalibration::load(out.toStdString(), &loaded, &error), error.c_str());
        QVERIFY(cv::norm(loaded.M1, result.calibration.M1) < 1e-6 &&
                std::fabs(loaded.baseline() - result.calibration.baseline()) < 1e-9);
        const TestSupport::ToolRun one =
            runTwv({"calibrate", "--left", data.filePath("left01.jpg"), "--right",
                    data.filePath("right01.jpg"), "--square", "0.025", "--out", out + "2"});
        QVERIFY2(one.exitCode == 1 && one.err.contains("only 1 pair(s)") && !QFile::exists(out + "2"),
                 qPrintable(one.err));
    }
    void damagedFilesAreNamedAndRefused() {
        const QString dir = TestSupport::dataDir();
        const auto matrix = [](const char *key, int rows, int cols, const char *data) {
            return std::string(key) + ": !!opencv-matrix\n  rows: " + std::to_string(rows) +
                   "\n  cols: " + std::to_string(cols) + "\n  dt: d\n  data: [" + data + "]\n";
        };
        const std::string good = "%YAML:1.0\nimage_width: 640\nimage_height: 480\n" +
                                 matrix("M1", 3, 3, "500, 0, 320, 0, 500, 240, 0, 0, 1") +
                                 matrix("D1", 1, 5, "0, 0, 0, 0, 0");
        const std::string turn = matrix("R", 3, 3, "1, 0, 0, 0, 1, 0, 0, 0, 1");
        const std::string pose = turn + matrix("T", 3, 1, "-120, 0, 0") + "T_unit: mm\n";
        std::string right = good.substr(good.find("M1:"));
        right.replace(right.find("M1"), 2, "M2");
        right.replace(right.find("D1"), 2, "D2");
        // The sample's two files are read as one.
        std::ofstream((dir + "/intrinsics.yml").toStdString()) << good + right;
        std::ofstream((dir + "/extrinsics.yml").toStdString()) << "%YAML:1.0\n" + pose;
        StereoCalibration c;
        std::string error;
        QVERIFY2(StereoCalibration::load((dir + "/intrinsics.yml").toStdString(), &c, &error), error.c_str());
        QVERIFY(std::fabs(c.baseline() - 0.12) < 1e-9);
        struct Case {
            const char *name;
            std::string text, key;
        } cases[] = {
            {"missing", good + pose, "'M2'"},
            {"size", good + right + turn + matrix("T", 2, 1, "1, 2"), "'T' must be"},
            {"nan", good + right + turn + matrix("T", 3, 1, ".nan, 0, 0"), "'T'"},
            {"unit", good + right + turn + matrix("T", 3, 1, "-120, 0, 0"), "'T_unit'"}, // 120 m
            {"other", "%YAML:1.0\nwidth: 3\n", "none of the keys"},
            {"garbage", "\x89PNG\r\n\x1a\n{{{", "not a calibration"},
        };
        for (const Case &k : cases) {
            const QString file = dir + "/damaged-" + k.name + ".yml";
            std::ofstream(file.toStdString()) << k.text;
            QVERIFY2(!StereoCalibration::load(file.toStdString(), &c, &error), k.name);
            QVERIFY2(error.find(file.toStdString()) != std::string::npos &&
                         error.find(k.key) != std::string::npos,
                     error.c_str());
        }
        // The camera still opens, uncalibrated, and says why; twv refuses to work with it.
        const cv::Mat grey(376, 672, CV_8UC4, cv::Scalar(128, 128, 128, 255));
        Camera camera;
        InitParameters init;
        init.calibrationFile = (dir + "/damaged-missing.yml").toStdString();
        QCOMPARE(camera.openSource(std::make_unique<PairSource>(grey, grey, false), init), SUCCESS);
        QVERIFY(!camera.isCalibrated() &&
                std::string(camera.getCalibrationError().c_str()).find("'M2'") != std::string::npos);
        TestSupport::ToolRun r =
            runTwv({"import", dir + "/x.twv", "--left", kBoard + "/left01.jpg", "--right",
                    kBoard + "/right01.jpg", "--calibration", dir + "/damaged-nan.yml"});
        QVERIFY2(r.exitCode == 1 && r.err.contains("'T'") && !QFile::exists(dir + "/x.twv"),
                 qPrintable(r.err));
        r = runTwv(
            {"record", dir + "/x.twv", "--virtual", "--frames", "1", "--calibration", dir + "/nowhere.yml"});
        QVERIFY2(r.exitCode == 1 && r.err.contains("no such file"), qPrintable(r.err));
    }
    void rectifiedDepthMatchesAnIdealRig() {
        const Resolution vga(672, 376);
        const float focal = VirtualScene::calibration(vga).left_cam.fx;
        VirtualScene scene(vga);
        cv::Mat left, right, truth;
        scene.render(1.0, left, right, &truth);
        const StereoCalibration rig = distortedRig(cv::Size(672, 376), focal);
        const cv::Mat rawLeft = throughLens(left, rig.M1, rig.D1, rotation(kHalfTurn), focal);
        const cv::Mat rawRight = throughLens(right, rig.M2, rig.D2, rotation(-kHalfTurn), focal);
        std::string error; // the camera's own file in the calibration folder
        QVERIFY(rig.save((TestSupport::dataDir() + "/4242.yml").toStdString(), &error));
        Camera camera;
        InitParameters init;
        init.depthStabilization = 0;
        const auto open = [&](cv::Mat l, cv::Mat r, bool rectified) {
            return camera.openSource(std::make_unique<PairSource>(l, r, rectified), init) == SUCCESS;
        };
        QVERIFY(open(left, right, true));
        const double ideal = badShare(camera, truth, focal);
        init.calibrationDirectory = TestSupport::dataDir().toStdString();
        QVERIFY(open(rawLeft, rawRight, false));
        QVERIFY2(camera.isCalibrated(), camera.getCalibrationError().c_str());
        QVERIFY(std::fabs(camera.getCameraInformation().calibration_parameters.baseline -
                          twl::kNominalBaselineMetres) < 1e-4);
        const double rectified = badShare(camera, truth, focal);
        init.calibrationDirectory = String();
        QVERIFY(open(rawLeft, rawRight, false));
        QVERIFY(!camera.isCalibrated() && camera.getCalibrationError().empty());
        const double raw = badShare(camera, truth, focal);
        qInfo("bad depth share: ideal %.3f, rectified %.3f (%.2fx), uncalibrated %.3f (%.2fx)", ideal,
              rectified, rectified / ideal, raw, raw / ideal);
        QVERIFY(rectified <= 1.5 * ideal && raw >= 2.0 * ideal);
    }
};

QTEST_GUILESS_MAIN(TestCalibration)
#include "test_calibration.moc"
