// Real side-by-side UVC cameras through a scripted stand-in device: discovery, eyes and colours, modes, rate
// changes, loss and leaks.
#include "TestSupport.h"
#include "twl/Camera.h"
#include "twl/FakeV4l2Device.h"
#include "twl/UvcCamera.h"
#include "twl/UvcStereoSource.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <linux/videodev2.h>

#include <chrono>

using namespace twl;

namespace {
double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

FakeV4l2Device::Camera onlyFormat(uint32_t format,
                                  FakeV4l2Device::Camera c = FakeV4l2Device::stereoCamera()) {
    std::vector<FakeV4l2Device::Mode> kept;
    for (const auto &m : c.modes)
        if (m.pixelFormat == format) kept.push_back(m);
    c.modes = kept;
    return c;
}

/// Two halves of different colours per eye, so that a swapped eye, a
/// swapped half or a wrong colour conversion all show.
cv::Mat eyePattern(cv::Size size, cv::Vec4b a, cv::Vec4b b) {
    cv::Mat m(size, CV_8UC4, a);
    m(cv::Rect(size.width / 2, 0, size.width - size.width / 2, size.height)).setTo(b);
    return m;
}

int openFiles() {
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}
} // namespace

class TestUvcCamera : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeV4l2Device> fake;

    std::unique_ptr<FrameSource> open(int resolution, int fps, ERROR_CODE expected = SUCCESS) {
        ERROR_CODE e = ERROR_CODE_LAST;
        auto source = UvcCamera::open(std::string(), resolution, fps, &e);
        [&]() { QCOMPARE(e, expected); }();
        return source;
    }

private slots:
    void initTestCase() { qunsetenv("VANTARO_VIRTUAL_CAMERA"); }
    void init() {
        fake = std::make_unique<FakeV4l2Device>();
        setDeviceBackend(fake.get());
    }
    void cleanup() {
        setDeviceBackend(nullptr);
        fake.reset();
    }

    void discoveryListsOnlyStereoCaptureNodes() {
        QVERIFY(Camera::getDeviceList().empty());
        FakeV4l2Device::Camera metadata = FakeV4l2Device::stereoCamera("/dev/video1");
        metadata.metadataOnly = true;
        FakeV4l2Device::Camera webcam = FakeV4l2Device::stereoCamera("/dev/video2");
        webcam.modes = {{V4L2_PIX_FMT_YUYV, 1280, 720, {30}}, {V4L2_PIX_FMT_MJPEG, 1920, 1080, {30}}};
        FakeV4l2Device::Camera named =
            onlyFormat(V4L2_PIX_FMT_MJPEG, FakeV4l2Device::stereoCamera("/dev/video3"));
        named.serial = "SN-A7";
        named.bcdDevice = "0210";
        fake->addCamera(FakeV4l2Device::stereoCamera("/dev/video0"));
        fake->addCamera(metadata);
        fake->addCamera(webcam);
        fake->addCamera(named);

        const auto list = Camera::getDeviceList();
        QCOMPARE(int(list.size()), 2);
        QCOMPARE(list[0].path.str(), std::string("/dev/video0"));
        QCOMPARE(list[0].serial_number, 17042u);
        QCOMPARE(list[1].path.str(), std::string("/dev/video3"));
        const auto found = UvcCamera::scan();
        QCOMPARE(found[1].serialText, std::string("SN-A7"));
        QCOMPARE(found[1].serialNumber, UvcCamera::serialNumberOf("SN-A7"));
        QCOMPARE(found[1].firmwareVersion, 210u);
        QCOMPARE(int(found[0].modes.size()), 8); // four sizes in two formats
        QCOMPARE(fake->openDescriptors(), 0);

        // Numbers as themselves; anything else (a number too big included) hashed, stably and distinctly.
        QCOMPARE(UvcCamera::serialNumberOf("0017042"), 17042u);
        QVERIFY(UvcCamera::serialNumberOf("4294967296") != 0u);
        QVERIFY(UvcCamera::serialNumberOf("SN-A7") != UvcCamera::serialNumberOf("SN-A8"));

        fake->unplug("/dev/video0");
        fake->unplug("/dev/video3");
        QVERIFY(Camera::getDeviceList().empty());
        // The virtual camera, when asked for, stands in for every real one.
        fake->replug("/dev/video0");
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        const auto virtualList = Camera::getDeviceList();
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
        QVERIFY(virtualList.size() == 1 && virtualList[0].path.str() == "virtual");
    }

    void eyesAndColoursSurviveBothFormats_data() {
        QTest::addColumn<uint32_t>("format");
        QTest::addColumn<int>("tolerance");
        QTest::newRow("YUYV") << uint32_t(V4L2_PIX_FMT_YUYV) << 6;
        QTest::newRow("MJPG") << uint32_t(V4L2_PIX_FMT_MJPEG) << 12;
    }
    void eyesAndColoursSurviveBothFormats() {
        QFETCH(uint32_t, format);
        QFETCH(int, tolerance);
        fake->addCamera(onlyFormat(format));
        const cv::Size eye(672, 376);
        const cv::Vec4b red(0, 0, 255, 255), green(0, 200, 0, 255), blue(255, 0, 0, 255),
            grey(90, 90, 90, 255);
        fake->setEyes(eyePattern(eye, red, green), eyePattern(eye, blue, grey));
        auto source = open(RESOLUTION_VGA, 100);
        QVERIFY(source && !source->isRectified());
        QCOMPARE(static_cast<UvcStereoSource &>(*source).pixelFormat(), format);
        StereoFrame frame;
        uint64_t previous = 0;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(source->grab(frame), SUCCESS);
            QVERIFY(frame.timestamp > previous); // the driver's, in nanoseconds
            previous = frame.timestamp;
        }
        const uint64_t now = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        QVERIFY(now - frame.timestamp < 1000000000ULL);
        auto expect = [&](const cv::Mat &m, int x, cv::Vec4b want, const char *what) {
            const cv::Vec4b got = m.at<cv::Vec4b>(eye.height / 2, x);
            for (int c = 0; c < 4; ++c)
                QVERIFY2(
                    std::abs(int(got[c]) - int(want[c])) <= tolerance,
                    qPrintable(QString("%1: got %2 %3 %4").arg(what).arg(got[0]).arg(got[1]).arg(got[2])));
        };
        expect(frame.left, eye.width / 4, red, "left eye, left half");
        expect(frame.left, eye.width * 3 / 4, green, "left eye, right half");
        expect(frame.right, eye.width / 4, blue, "right eye, left half");
        expect(frame.right, eye.width * 3 / 4, grey, "right eye, right half");
    }

    void damagedMjpgFramesAreSkipped() {
        fake->addCamera(onlyFormat(V4L2_PIX_FMT_MJPEG));
        fake->setPaced(false);
        const cv::Mat plain(376, 672, CV_8UC4, cv::Scalar(40, 120, 200, 255));
        fake->setEyes(plain, plain);
        auto source = open(RESOLUTION_VGA, 0);
        QVERIFY(source);
        StereoFrame frame;
        fake->damageNextFrames(2, FakeV4l2Device::Damage::Short);
        QCOMPARE(source->grab(frame), SUCCESS);
        fake->damageNextFrames(2, FakeV4l2Device::Damage::Garbage);
        QCOMPARE(source->grab(frame), SUCCESS);
        QCOMPARE(frame.left.size(), cv::Size(672, 376));
        // Frames that keep coming damaged are a failure, not a lost camera.
        fake->setPaced(true);
        fake->damageNextFrames(1 << 20, FakeV4l2Device::Damage::Garbage);
        QCOMPARE(source->grab(frame), ERROR_CODE_FAILURE);
        QCOMPARE(fake->openDescriptors(), 1);
        fake->damageNextFrames(0, FakeV4l2Device::Damage::Garbage);
        QCOMPARE(source->grab(frame), SUCCESS);
    }

    void sizesAndRatesFallBackAsDocumented() {
        FakeV4l2Device::Camera small = FakeV4l2Device::stereoCamera();
        small.modes = {{V4L2_PIX_FMT_YUYV, 1344, 376, {15, 30}}, {V4L2_PIX_FMT_YUYV, 2560, 720, {15}}};
        fake->addCamera(small);
        QVERIFY(!open(RESOLUTION_HD2K, 15, ERROR_CODE_LOW_USB_BANDWIDTH));
        QCOMPARE(fake->openDescriptors(), 0);
        auto source = open(RESOLUTION_VGA, 100);
        QCOMPARE(source->fps(), 30.0f);
        QCOMPARE(fake->currentRate(), 30.0f);
        source = open(RESOLUTION_VGA, 20);
        QCOMPARE(source->fps(), 15.0f);
        source.reset();
        // A size the driver lists but then will not set is refused the same way.
        fake->refuseSize(2560, 720);
        QVERIFY(!open(RESOLUTION_HD720, 15, ERROR_CODE_LOW_USB_BANDWIDTH));
        QVERIFY(fake->openDescriptors() == 0 && fake->liveMappings() == 0);
        // Through the camera layer, as the viewer sees it.
        Camera camera;
        InitParameters init;
        init.cameraResolution = RESOLUTION_HD2K;
        QCOMPARE(camera.open(init), ERROR_CODE_LOW_USB_BANDWIDTH);
        init.cameraResolution = RESOLUTION_VGA;
        init.cameraFps = 60;
        QCOMPARE(camera.open(init), SUCCESS);
        QCOMPARE(camera.getCameraFPS(), 30.0f);
        QCOMPARE(camera.getCameraInformation().serial_number, 17042u);
    }

    void rateChangesKeepTheStreamWhenTheDriverAllows() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        auto source = open(RESOLUTION_VGA, 100);
        StereoFrame frame;
        QCOMPARE(source->grab(frame), SUCCESS);
        QCOMPARE(fake->streamStarts(), 1);
        QCOMPARE(source->setFps(30), SUCCESS);
        QCOMPARE(fake->streamStarts(), 1);
        QCOMPARE(source->fps(), 30.0f);
        fake->setRateLockedWhileStreaming(true);
        QCOMPARE(source->setFps(0), SUCCESS); // the highest
        QCOMPARE(fake->streamStarts(), 2);
        QCOMPARE(source->fps(), 100.0f);
        QCOMPARE(fake->currentRate(), 100.0f);
        QCOMPARE(source->grab(frame), SUCCESS);
        QCOMPARE(fake->liveMappings(), 4);
    }

    void silentCameraCountsAsGoneWithinTwoSeconds() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        auto source = open(RESOLUTION_VGA, 100);
        StereoFrame frame;
        QCOMPARE(source->grab(frame), SUCCESS);
        fake->setStalled(true);
        const auto t0 = std::chrono::steady_clock::now();
        QCOMPARE(source->grab(frame), ERROR_CODE_CAMERA_NOT_DETECTED);
        const double waited = msSince(t0);
        QVERIFY2(waited >= 1900 && waited < 2600, qPrintable(QString::number(waited)));
        QCOMPARE(fake->openDescriptors(), 0);
        QCOMPARE(fake->liveMappings(), 0);
        const auto t1 = std::chrono::steady_clock::now();
        QCOMPARE(source->grab(frame), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t1) < 50);
    }

    void unplugEndsTheStreamAndReplugIsFound() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        Camera camera;
        InitParameters init;
        init.cameraResolution = RESOLUTION_VGA;
        QCOMPARE(camera.open(init), SUCCESS);
        RuntimeParameters runtime;
        runtime.enableDepth = false;
        QCOMPARE(camera.grab(runtime), SUCCESS);
        fake->unplug();
        const auto t0 = std::chrono::steady_clock::now();
        QCOMPARE(camera.grab(runtime), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t0) < 500);
        QCOMPARE(fake->openDescriptors(), 0);
        QCOMPARE(fake->liveMappings(), 0);
        QVERIFY(Camera::getDeviceList().empty());
        camera.close();
        fake->replug();
        QCOMPARE(int(Camera::getDeviceList().size()), 1);
        QCOMPARE(camera.open(init), SUCCESS);
        QCOMPARE(camera.grab(runtime), SUCCESS);
    }

    void hundredOpenCloseCyclesLeaveNothingBehind() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        fake->setPaced(false);
        const int before = openFiles();
        StereoFrame frame;
        for (int i = 0; i < 100; ++i) {
            auto source = open(i % 2 ? RESOLUTION_VGA : RESOLUTION_HD720, 0);
            QVERIFY(source);
            if (i % 10 == 0) QCOMPARE(source->grab(frame), SUCCESS);
        }
        QCOMPARE(fake->openDescriptors(), 0);
        QCOMPARE(fake->liveMappings(), 0);
        QCOMPARE(openFiles(), before);
    }

    void realBackendWithoutNodesAnswersAtOnce() {
        setDeviceBackend(nullptr);
        if (!deviceBackend().listNodes().empty()) QSKIP("this machine has video nodes");
        const auto t0 = std::chrono::steady_clock::now();
        QVERIFY(Camera::getDeviceList().empty());
        Camera camera;
        QCOMPARE(camera.open(InitParameters()), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t0) < 50);
        // twv says so and succeeds, at once.
        QProcess twv;
        twv.start(TestSupport::twvTool(), {"devices"});
        QVERIFY(twv.waitForFinished(5000));
        QCOMPARE(twv.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(twv.readAllStandardOutput()).trimmed(), QString("no stereo camera found"));
    }
};

QTEST_GUILESS_MAIN(TestUvcCamera)
#include "test_uvc_camera.moc"
