// The camera session on a textured wall at a known distance: depth, point cloud, range, FILL, images.
#include "twl/CameraSession.h"
#include "twl/io/Export.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <cmath>

using namespace twl;

namespace {

constexpr int kW = 672, kH = 376;
constexpr float kFocal = 350.0f, kBaseline = 0.12f;

// A wall at `depth` metres: the right image is the left one shifted by the disparity.
class WallSource : public FrameSource {
public:
    explicit WallSource(float depth, int frames = 1000) : frames_(frames) {
        cv::Mat noise(kH, kW + 200, CV_8UC1);
        cv::RNG rng(7);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 255);
        cv::GaussianBlur(noise, noise, cv::Size(3, 3), 0.8);
        disparity_ = int(std::lround(kFocal * kBaseline / depth));
        cv::cvtColor(noise(cv::Rect(0, 0, kW, kH)), left_, cv::COLOR_GRAY2BGRA);
        cv::cvtColor(noise(cv::Rect(disparity_, 0, kW, kH)), right_, cv::COLOR_GRAY2BGRA);
        // A pure colour patch to follow the colour through the point cloud.
        left_(cv::Rect(300, 180, 8, 8)).setTo(cv::Scalar(32, 64, 160, 255));
    }
    ERROR_CODE grab(StereoFrame &f) override {
        if (position_ + 1 >= frames_) return ERROR_CODE_END_OF_FILE;
        ++position_;
        f.left = left_;
        f.right = right_;
        f.timestamp = uint64_t(position_ + 1) * 1000000;
        return SUCCESS;
    }
    Resolution resolution() const override { return Resolution(kW, kH); }
    CameraInformation information() const override {
        CameraInformation i;
        CameraParameters &c = i.calibration_parameters.left_cam;
        c.fx = c.fy = kFocal;
        c.cx = (kW - 1) * 0.5f;
        c.cy = (kH - 1) * 0.5f;
        c.image_size = Resolution(kW, kH);
        i.calibration_parameters.right_cam = c;
        i.calibration_parameters.baseline = kBaseline;
        return i;
    }
    float fps() const override { return 30.0f; }
    bool isLive() const override { return false; }
    int frameCount() const override { return frames_; }
    int position() const override { return std::max(position_, 0); }
    void setPosition(int p) override { position_ = p - 1; }
    int disparity_ = 0;

private:
    cv::Mat left_, right_;
    int frames_;
    int position_ = -1;
};

InitParameters parameters(int mode) {
    InitParameters p;
    p.depthMode = mode;
    p.depthStabilization = 0;
    return p;
}

struct Stats {
    int valid = 0, total = 0;
    double meanDepth = 0;
};

Stats depthStats(const Mat &depth) {
    Stats s;
    for (size_t y = 0; y < depth.getHeight(); ++y)
        for (size_t x = 0; x < depth.getWidth(); ++x, ++s.total) {
            float z;
            depth.getValue(x, y, &z, MEM_CPU);
            s.valid += std::isfinite(z);
            s.meanDepth += std::isfinite(z) ? z : 0.0;
        }
    if (s.valid) s.meanDepth /= s.valid;
    return s;
}

} // namespace

class TestCamera : public QObject {
    Q_OBJECT
private slots:
    void wallDepthAndPointCloudGeometry() {
        auto source = std::make_unique<WallSource>(2.0f);
        const float trueDepth = kFocal * kBaseline / float(source->disparity_);
        CameraSession s(std::move(source), parameters(DEPTH_MODE_QUALITY));
        QCOMPARE(s.grab(RuntimeParameters()), SUCCESS);
        Mat depth;
        QCOMPARE(s.retrieveMeasure(depth, MEASURE_DEPTH, MEM_CPU, 0, 0), SUCCESS);
        QCOMPARE(depth.getWidth(), size_t(kW));
        const Stats st = depthStats(depth);
        QVERIFY2(st.valid > st.total * 0.6, qPrintable(QString::number(st.valid)));
        QVERIFY(std::fabs(st.meanDepth - trueDepth) < 0.05 * trueDepth);
        // Point cloud at half size in device memory: right-handed, Y up, looking along -Z.
        Mat cloud;
        QCOMPARE(s.retrieveMeasure(cloud, MEASURE_XYZRGBA, MEM_GPU, kW / 2, kH / 2), SUCCESS);
        Vector4<float> topLeft, bottomRight, patch;
        cloud.getValue(40, 30, &topLeft, MEM_GPU);
        cloud.getValue(kW / 2 - 20, kH / 2 - 20, &bottomRight, MEM_GPU);
        QVERIFY(std::isfinite(topLeft.z + bottomRight.z) && topLeft.z < 0 && bottomRight.z < 0);
        QVERIFY(topLeft.x < 0 && topLeft.y > 0);         // upper left of the picture
        QVERIFY(bottomRight.x > 0 && bottomRight.y < 0); // lower right
        // X follows the pinhole model: x = (u - cx) z / fx at the full size.
        const float u = (40 + 0.5f) * 2 - 0.5f;
        QVERIFY(std::fabs(topLeft.x - (u - (kW - 1) * 0.5f) * -topLeft.z / kFocal) < 0.01f);
        cloud.getValue(151, 91, &patch, MEM_GPU);
        unsigned char r, g, b;
        unpackColor(patch.w, &r, &g, &b);
        QVERIFY2(r == 160 && g == 64 && b == 32, qPrintable(QString("%1 %2 %3").arg(r).arg(g).arg(b)));
    }

    void rangeConfidenceAndFill() {
        CameraSession s(std::make_unique<WallSource>(3.0f), parameters(DEPTH_MODE_PERFORMANCE));
        const auto grabbed = [&](const RuntimeParameters &runtime) {
            Mat depth;
            [&]() { QCOMPARE(s.grab(runtime), SUCCESS); }();
            s.retrieveMeasure(depth, MEASURE_DEPTH, MEM_CPU, 0, 0);
            return depthStats(depth);
        };
        const Stats all = grabbed(RuntimeParameters());
        QVERIFY(all.valid > 0);
        // A maximum range in front of the wall removes it.
        s.maxDepth = 2.0f;
        QCOMPARE(grabbed(RuntimeParameters()).valid, 0);
        Mat picture;
        QCOMPARE(s.retrieveImage(picture, VIEW_DEPTH, MEM_CPU, 0, 0), SUCCESS);
        Vector4<float> px;
        picture.getValue(kW / 2, kH / 2, &px);
        QVERIFY(px.x == 0.f && px.w == 255.f); // no depth is black
        // A lower confidence threshold keeps fewer pixels.
        s.maxDepth = 20.0f;
        s.confidenceThreshold = 20;
        QVERIFY(grabbed(RuntimeParameters()).valid < all.valid);
        // FILL is dense whatever the threshold.
        RuntimeParameters fill;
        fill.sensingMode = SENSING_MODE_FILL;
        const Stats dense = grabbed(fill);
        QCOMPARE(dense.valid, dense.total);
    }

    void imagesAtAnySizeAndEndOfRecording() {
        CameraSession s(std::make_unique<WallSource>(2.0f, 2), parameters(DEPTH_MODE_PERFORMANCE));
        Mat image;
        QCOMPARE(s.retrieveImage(image, VIEW_LEFT, MEM_CPU, 0, 0), ERROR_CODE_CAMERA_NOT_OPENED);
        QCOMPARE(s.grab(RuntimeParameters()), SUCCESS);
        QCOMPARE(s.retrieveImage(image, VIEW_SIDE_BY_SIDE, MEM_GPU, 0, 0), SUCCESS);
        QCOMPARE(image.getWidth(), size_t(2 * kW));
        Vector4<float> a;
        image.getValue(303, 183, &a, MEM_GPU);
        QCOMPARE(a.z, 160.f); // BGRA: red is the third byte
        QCOMPARE(s.retrieveImage(image, VIEW_RIGHT, MEM_GPU, kW / 2, kH / 2), SUCCESS);
        QCOMPARE(image.getHeight(), size_t(kH / 2));
        QCOMPARE(s.timestamp(), uint64_t(1000000));
        QCOMPARE(s.grab(RuntimeParameters()), SUCCESS);
        QCOMPARE(s.grab(RuntimeParameters()), ERROR_CODE_END_OF_FILE);
        QCOMPARE(s.retrieveImage(image, VIEW(5), MEM_CPU, 0, 0), ERROR_CODE_INVALID_ARGUMENT);
    }
};

QTEST_GUILESS_MAIN(TestCamera)
#include "test_camera.moc"
