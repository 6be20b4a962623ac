// Stereo calibration and rectification: chessboard calibration, damaged calibration files, rectified depth.
#include "TestSupport.h"

#include "twl/Camera.h"
#include "twl/FrameSource.h"
#include "twl/StereoCalibration.h"
#include "twl/StereoCalibrator.h"
#include "twl/VirtualScene.h"

#include <QtTest>

#include <QProcess>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>

using namespace twl;

namespace {

QString boardData() {
    return qEnvironmentVariable("VANTARO_TEST_SOURCE_DATA") + "/chessboard";
}

int runTwv(const QStringList &arguments, QString *err = nullptr) {
    QProcess p;
    p.start(TestSupport::twvTool(), arguments);
    if (!p.waitForFinished(120000)) return -1;
    if (err) *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

void writeText(const QString &path, const std::string &text) {
    std::ofstream(path.toStdString()) << text;
}

/// Serves one fixed pair for ever, as a live camera with the virtual rig's nominal intrinsics.
class PairSource : public FrameSource {
public:
    PairSource(cv::Mat left, cv::Mat right, bool rectified)
        : left_(left), right_(right), rectified_(rectified) {}
    ERROR_CODE grab(StereoFrame &frame) override {
        left_.copyTo(frame.left);
        right_.copyTo(frame.right);
        frame.timestamp = 1;
        return SUCCESS;
    }
    Resolution resolution() const override { return Resolution(size_t(left_.cols), size_t(left_.rows)); }
    CameraInformation information() const override {
        CameraInformation info;
        info.serial_number = 4242;
        info.calibration_parameters = VirtualScene::calibration(resolution());
        return info;
    }
    float fps() const override { return 15; }
    bool isLive() const override { return true; }
    bool isRectified() const override { return rectified_; }

private:
    cv::Mat left_, right_;
    bool rectified_;
};

cv::Mat rotation(double x, double y, double z) {
    cv::Mat r;
    cv::Rodrigues(cv::Vec3d(x, y, z), r);
    return r;
}

/// A rig of two distorted, slightly turned cameras whose rectification is
/// exactly the virtual rig: stereoRectify splits R into the half turns h and
/// -h, and T along the turned baseline needs no further turn.
StereoCalibration distortedRig(cv::Size size, float focal) {
    StereoCalibration c;
    c.imageSize = size;
    const double cx = size.width / 2.0, cy = size.height / 2.0;
    c.M1 = (cv::Mat_<double>(3, 3) << focal * 0.97, 0, cx + 6, 0, focal * 0.97, cy - 4, 0, 0, 1);
    c.M2 = (cv::Mat_<double>(3, 3) << focal * 0.97, 0, cx - 5, 0, focal * 0.97, cy + 3, 0, 0, 1);
    c.D1 = (cv::Mat_<double>(1, 5) << -0.12, 0.03, 0, 0, 0);
    c.D2 = (cv::Mat_<double>(1, 5) << -0.10, 0.02, 0, 0, 0);
    const cv::Vec3d h(0.012, -0.02, 0.006);
    c.R = rotation(2 * h[0], 2 * h[1], 2 * h[2]);
    c.T = -rotation(h[0], h[1], h[2]) * (cv::Mat_<double>(3, 1) << VirtualScene::kBaselineMetres, 0, 0);
    return c;
}

/// What camera `eye` of the rig sees of a virtual picture: every raw pixel
/// looks up where its ray meets the ideal camera.
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

/// Share of pixels whose depth is missing or off the truth by more than 5 %.
/// The truth is looked up along each pixel's ray with the intrinsics the
/// camera reports, so a rectified picture is judged on its own grid.
double badShare(Camera &camera, const cv::Mat &truth, float focal) {
    if (camera.grab() != SUCCESS) return 1.0;
    Mat depth;
    if (camera.retrieveMeasure(depth, MEASURE_DEPTH) != SUCCESS) return 1.0;
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
    void chessboardPairsCalibrateTheRig();
    void damagedFilesAreNamedAndRefused();
    void rectifiedDepthMatchesAnIdealRig();
};

void TestCalibration::chessboardPairsCalibrateTheRig() {
    const QDir data(boardData());
    const QStringList lefts = data.entryList({"left*.jpg"}, QDir::Files, QDir::Name);
    QCOMPARE(lefts.size(), 13);
    StereoCalibrator calibrator(cv::Size(9, 6), 0.025);
    for (const QString &name : lefts) {
        QString right = name;
        right.replace("left", "right");
        const cv::Mat l = cv::imread(data.filePath(name).toStdString(), cv::IMREAD_GRAYSCALE);
        const cv::Mat r = cv::imread(data.filePath(right).toStdString(), cv::IMREAD_GRAYSCALE);
        QVERIFY2(calibrator.addPair(l, r), qPrintable(name));
    }
    StereoCalibrator::Result result;
    std::string error;
    QVERIFY2(calibrator.calibrate(&result, &error), error.c_str());
    qInfo("RMS %.3f px, rectified row error mean %.3f px, worst %.3f px, baseline %.4f m", result.rms,
          result.meanRowError, result.worstRowError, result.calibration.baseline());
    QVERIFY(result.rms < 1.0);
    QVERIFY(result.meanRowError < 0.5);

    // What is saved is what is read back, and fits a camera of the same shape at another size.
    const QString file = TestSupport::dataDir() + "/rig.yml";
    QVERIFY(result.calibration.save(file.toStdString(), &error));
    StereoCalibration loaded, doubled;
    QVERIFY2(StereoCalibration::load(file.toStdString(), &loaded, &error), error.c_str());
    QVERIFY(cv::norm(loaded.M1, result.calibration.M1) < 1e-9 &&
            cv::norm(loaded.T, result.calibration.T) < 1e-12);
    QVERIFY(loaded.scaledTo(cv::Size(1280, 960), &doubled, &error));
    QCOMPARE(doubled.M1.at<double>(0, 0), 2 * loaded.M1.at<double>(0, 0));
    QVERIFY(!loaded.scaledTo(cv::Size(1280, 720), &doubled, &error));
    QVERIFY(error.find("aspect ratio") != std::string::npos);

    // The tool, from two folders: a usable file, and a refusal once only 4 pairs are left.
    QDir pairs(TestSupport::dataDir() + "/pairs");
    pairs.removeRecursively();
    pairs.mkpath("l");
    pairs.mkpath("r");
    for (const QString &name : lefts) {
        QFile::copy(data.filePath(name), pairs.filePath("l/" + name.mid(4)));
        QFile::copy(data.filePath("right" + name.mid(4)), pairs.filePath("r/" + name.mid(4)));
    }
    const QString out = pairs.filePath("rig.yml");
    const QStringList args = {
        "calibrate", "--left", pairs.filePath("l"), "--right", pairs.filePath("r"), "--square", "0.025",
        "--out",     out};
    QString err;
    QCOMPARE(runTwv(args, &err), 0);
    QVERIFY2(StereoCalibration::load(out.toStdString(), &loaded, &error), error.c_str());
    QFile::remove(out);
    for (const QString &name : lefts.mid(4)) {
        QFile::remove(pairs.filePath("l/" + name.mid(4)));
        QFile::remove(pairs.filePath("r/" + name.mid(4)));
    }
    QCOMPARE(runTwv(args, &err), 1);
    QVERIFY2(err.contains("only 4 pair(s)") && !QFile::exists(out), qPrintable(err));
}

void TestCalibration::damagedFilesAreNamedAndRefused() {
    const QString dir = TestSupport::dataDir();
    const std::string good =
        "%YAML:1.0\nimage_width: 640\nimage_height: 480\n"
        "M1: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [500, 0, 320, 0, 500, 240, 0, 0, "
        "1]\n"
        "D1: !!opencv-matrix\n   rows: 1\n   cols: 5\n   dt: d\n   data: [0, 0, 0, 0, 0]\n";
    const std::string pose =
        "R: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [1, 0, 0, 0, 1, 0, 0, 0, 1]\n"
        "T: !!opencv-matrix\n   rows: 3\n   cols: 1\n   dt: d\n   data: [-120, 0, 0]\n"
        "T_unit: mm\n";
    std::string right = good.substr(good.find("M1:"));
    right.replace(right.find("M1"), 2, "M2");
    right.replace(right.find("D1"), 2, "D2");
    // The sample's two files are read as one.
    writeText(dir + "/intrinsics.yml", good + right);
    writeText(dir + "/extrinsics.yml", "%YAML:1.0\n" + pose);
    StereoCalibration c;
    std::string error;
    QVERIFY2(StereoCalibration::load((dir + "/intrinsics.yml").toStdString(), &c, &error), error.c_str());
    QVERIFY(std::fabs(c.baseline() - 0.12) < 1e-9);

    struct Case {
        const char *name;
        std::string text, key;
    } cases[] = {
        {"missing", good + pose, "'M2'"},
        {"size",
         good + right + pose.substr(0, pose.find("T:")) +
             "T: !!opencv-matrix\n   rows: 2\n   cols: 1\n"
             "   dt: d\n   data: [1, 2]\n",
         "'T' must be"},
        {"nan", good + right + pose.substr(0, pose.find("T_unit")).replace(pose.find("-120"), 4, ".nan"),
         "'T'"},
        {"unit", good + right + pose.substr(0, pose.find("T_unit")), "'T_unit'"}, // 120 m
        {"other", "%YAML:1.0\nwidth: 3\n", "none of the keys"},
        {"garbage", "\x89PNG\r\n\x1a\n{{{", "not a calibration"},
    };
    for (const Case &k : cases) {
        const QString file = dir + "/damaged-" + k.name + ".yml";
        writeText(file, k.text);
        QVERIFY2(!StereoCalibration::load(file.toStdString(), &c, &error), k.name);
        QVERIFY2(error.find(file.toStdString()) != std::string::npos &&
                     error.find(k.key) != std::string::npos,
                 error.c_str());
    }
    QVERIFY(!StereoCalibration::load((dir + "/nowhere.yml").toStdString(), &c, &error));
    QVERIFY(error.find("no such file") != std::string::npos);

    // The camera still opens, uncalibrated, and says why; twv refuses to work with it.
    const cv::Mat grey(376, 672, CV_8UC4, cv::Scalar(128, 128, 128, 255));
    Camera camera;
    InitParameters init;
    init.calibrationFile = (dir + "/damaged-missing.yml").toStdString();
    QCOMPARE(camera.openSource(std::make_unique<PairSource>(grey, grey, false), init), SUCCESS);
    QVERIFY(!camera.isCalibrated());
    QVERIFY(std::string(camera.getCalibrationError().c_str()).find("'M2'") != std::string::npos);
    QString err;
    QCOMPARE(runTwv({"import", dir + "/x.twv", "--left", boardData() + "/left01.jpg", "--right",
                     boardData() + "/right01.jpg", "--calibration", dir + "/damaged-nan.yml"},
                    &err),
             1);
    QVERIFY2(err.contains("'T'") && !QFile::exists(dir + "/x.twv"), qPrintable(err));
    QCOMPARE(runTwv({"record", dir + "/x.twv", "--virtual", "--frames", "1", "--calibration",
                     dir + "/nowhere.yml"},
                    &err),
             1);
    QVERIFY2(err.contains("no such file"), qPrintable(err));
}

void TestCalibration::rectifiedDepthMatchesAnIdealRig() {
    const Resolution vga(672, 376);
    const cv::Size size(672, 376);
    const float focal = VirtualScene::calibration(vga).left_cam.fx;
    VirtualScene scene(vga);
    cv::Mat left, right, truth;
    scene.render(1.0, left, right, &truth);

    const StereoCalibration rig = distortedRig(size, focal);
    cv::Vec3d om;
    cv::Rodrigues(rig.R, om);
    const cv::Mat leftToIdeal = rotation(om[0] / 2, om[1] / 2, om[2] / 2); // R1 of the rectification
    const cv::Mat rightToIdeal = rotation(-om[0] / 2, -om[1] / 2, -om[2] / 2);
    const cv::Mat rawLeft = throughLens(left, rig.M1, rig.D1, leftToIdeal, focal);
    const cv::Mat rawRight = throughLens(right, rig.M2, rig.D2, rightToIdeal, focal);
    std::string error;
    const QString file = TestSupport::dataDir() + "/distorted-rig.yml";
    QVERIFY(rig.save(file.toStdString(), &error));

    Camera camera;
    InitParameters init;
    init.depthStabilization = 0;
    QCOMPARE(camera.openSource(std::make_unique<PairSource>(left, right, true), init), SUCCESS);
    const double ideal = badShare(camera, truth, focal);

    // Found as the camera's own file in the calibration folder.
    init.calibrationDirectory = TestSupport::dataDir().toStdString();
    QFile::remove(TestSupport::dataDir() + "/4242.yml");
    QVERIFY(QFile::copy(file, TestSupport::dataDir() + "/4242.yml"));
    QCOMPARE(camera.openSource(std::make_unique<PairSource>(rawLeft, rawRight, false), init), SUCCESS);
    QVERIFY2(camera.isCalibrated(), camera.getCalibrationError().c_str());
    const CalibrationParameters p = camera.getCameraInformation().calibration_parameters;
    QVERIFY(std::fabs(p.baseline - VirtualScene::kBaselineMetres) < 1e-4);
    const double rectified = badShare(camera, truth, focal);

    init.calibrationDirectory = String();
    QCOMPARE(camera.openSource(std::make_unique<PairSource>(rawLeft, rawRight, false), init), SUCCESS);
    QVERIFY(!camera.isCalibrated() && camera.getCalibrationError().empty());
    const double raw = badShare(camera, truth, focal);

    qInfo("bad depth share: ideal %.3f, rectified %.3f (%.2fx), uncalibrated %.3f (%.2fx)", ideal, rectified,
          rectified / ideal, raw, raw / ideal);
    QVERIFY(rectified <= 1.5 * ideal);
    QVERIFY(raw >= 2.0 * ideal);
}

QTEST_GUILESS_MAIN(TestCalibration)
#include "test_calibration.moc"
