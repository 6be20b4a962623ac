// The virtual live camera: frame rates, pacing, unplugging, frames drawn over
// the last, a pair that agrees with its depth.
#include "twl/source/VirtualCamera.h"
#include "twl/source/VirtualCameraSource.h"
#include "twl/source/VirtualScene.h"
#include "twl/util/SteadyClock.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

using namespace twl;

class TestVirtualCamera : public QObject {
    Q_OBJECT
    static uint64_t steadyNs() { return uint64_t(steadyNowNs()); } // the frames' clock, in nanoseconds
    ERROR_CODE e = ERROR_CODE_LAST;
    StereoFrame frame;

private slots:
    void init() {
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        VirtualCamera::replug();
        VirtualCamera::setFirmwareVersion(1523);
    }
    void cleanupTestCase() { qunsetenv("VANTARO_VIRTUAL_CAMERA"); }

    void sizesAndFrameRates() {
        QVERIFY(!VirtualCamera::open(4, 0, &e));
        QCOMPARE(e, ERROR_CODE_INVALID_RESOLUTION);
        QCOMPARE(VirtualCamera::open(RESOLUTION_VGA, 0, &e)->fps(), 100.0f); // 0: the highest
        QCOMPARE(VirtualCamera::open(RESOLUTION_HD720, 45, &e)->fps(), 30.0f);
        auto cam = VirtualCamera::open(RESOLUTION_HD720, 60, &e);
        QVERIFY(cam->fps() == 60.0f && cam->resolution() == Resolution(1280, 720));
        QCOMPARE(cam->setFps(100), SUCCESS); // not allowed at HD720: the nearest allowed
        QCOMPARE(cam->fps(), 60.0f);
        // The focal length scales with the width: VGA sees the same field.
        const float fx = cam->information().calibration_parameters.left_cam.fx;
        auto vga = VirtualCamera::open(RESOLUTION_VGA, 0, &e);
        QVERIFY(std::fabs(vga->information().calibration_parameters.left_cam.fx - fx * 672.0f / 1280.0f) <
                0.01f);
    }

    void grabsArePacedAndSkipWhenLate() {
        auto cam = VirtualCamera::open(RESOLUTION_VGA, 30, &e);
        const uint64_t period = 1000000000ull / 30;
        // The first grab also renders the static room; the second is at most one period late.
        QCOMPARE(cam->grab(frame), SUCCESS);
        QCOMPARE(cam->grab(frame), SUCCESS);
        uint64_t last = frame.timestamp;
        const uint64_t t0 = steadyNs();
        for (int i = 0; i < 6; ++i, last = frame.timestamp) {
            QCOMPARE(cam->grab(frame), SUCCESS);
            QVERIFY(frame.timestamp > last && frame.timestamp <= steadyNs()); // never before its time
            const uint64_t step = frame.timestamp - last;
            QVERIFY2(step % period < 1000 || period - step % period < 1000, "off the frame clock");
        }
        // Six frames at 30 fps take at least five periods: a slow machine skips frames, never sends early.
        const double elapsed = double(steadyNs() - t0) / 1e6;
        QVERIFY2(elapsed > 150, qPrintable(QString::number(elapsed)));
        // A late caller gets the latest due frame at once, not a burst of old ones.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QCOMPARE(cam->grab(frame), SUCCESS);
        QVERIFY2(frame.timestamp - last >= 8 * period, "late frames were not skipped");
        last = frame.timestamp;
        QCOMPARE(cam->grab(frame), SUCCESS);
        QVERIFY(frame.timestamp > last && (frame.timestamp - last) % period == 0);
        // A new rate takes effect without reopening: from the last frame on, frames sit on a 10 ms clock.
        last = frame.timestamp;
        QCOMPARE(cam->setFps(100), SUCCESS);
        QCOMPARE(cam->fps(), 100.0f);
        for (int i = 0; i < 4; ++i, last = frame.timestamp) {
            QCOMPARE(cam->grab(frame), SUCCESS);
            QVERIFY(frame.timestamp > last && (frame.timestamp - last) % 10000000ull == 0);
        }
    }

    void unplugWakesAWaitingGrabAndReplugRestores() {
        auto cam = VirtualCamera::open(RESOLUTION_VGA, 15, &e);
        bool woken = false;
        // The grab must be waiting when the cable goes; a machine too slow to render in time never waits.
        for (int attempt = 0; attempt < 5 && !woken; ++attempt) {
            VirtualCamera::replug();
            QCOMPARE(cam->grab(frame), SUCCESS);
            const uint64_t nextDue = frame.timestamp + 1000000000ull / 15;
            if (steadyNs() + 20000000ull > nextDue) continue;
            std::atomic<int> result{-1};
            std::atomic<uint64_t> returnedAt{0};
            std::thread grabber([&] {
                StereoFrame f;
                result = cam->grab(f);
                returnedAt = steadyNs();
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const uint64_t unpluggedAt = steadyNs();
            VirtualCamera::unplug();
            grabber.join();
            // Inconclusive when the frame came first or the unplug came too close to the frame time.
            if (result.load() == SUCCESS || unpluggedAt + 2000000ull > nextDue) continue;
            QCOMPARE(result.load(), int(ERROR_CODE_CAMERA_NOT_DETECTED));
            // Woken by the unplug rather than by its frame time.
            QVERIFY2(returnedAt.load() < nextDue, "the waiting grab was not woken");
            woken = true;
        }
        if (!woken) QSKIP("no grab could be caught waiting on this machine");
        QVERIFY(!VirtualCamera::isAvailable());
        QCOMPARE(cam->grab(frame), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(!VirtualCamera::open(RESOLUTION_VGA, 15, &e));
        QCOMPARE(e, ERROR_CODE_CAMERA_NOT_DETECTED);
        VirtualCamera::replug();
        QVERIFY(VirtualCamera::isAvailable());
        QCOMPARE(cam->grab(frame), SUCCESS);
        QVERIFY(VirtualCamera::open(RESOLUTION_VGA, 15, &e));
    }

    // A grab draws over the pair it drew before, only where the objects were
    // and are: no trail may stay, nor a pair changed by the controls, nor one
    // drawn into another buffer in between. Paced, a grab that comes before
    // its frame is due draws it ahead into a second pair; a late one draws
    // the frame it skips to.
    void framesDrawnOverTheLastEqualFreshOnes() {
        for (const bool paced : {false, true}) {
            auto source = VirtualCamera::open(RESOLUTION_VGA, 30, &e);
            QVERIFY(source);
            auto &camera = static_cast<VirtualCameraSource &>(*source);
            camera.setPaced(paced);
            VirtualScene fresh(source->resolution());
            StereoFrame other;
            cv::Mat left, right;
            for (int i = 0; i < 16; ++i) {
                if (i == 4 || i == 6) source->setControl(V4L2_CID_GAIN, i == 4 ? 50 : 0);
                if (paced && i % 5 == 2) std::this_thread::sleep_for(std::chrono::milliseconds(80));
                StereoFrame &into = i % 4 == 3 ? other : frame;
                // A rate change while the grab waits moves its frame to another scene time.
                std::thread rate;
                if (paced && i == 10)
                    rate = std::thread([&] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        source->setFps(100);
                    });
                QCOMPARE(source->grab(into), SUCCESS);
                if (rate.joinable()) rate.join();
                if (i == 4 || i == 5) continue;
                fresh.render(camera.lastSceneTime(), left, right);
                QCOMPARE(cv::norm(into.left, left, cv::NORM_INF), 0.0);
                QCOMPARE(cv::norm(into.right, right, cv::NORM_INF), 0.0);
            }
        }
    }

    void pairAgreesWithGroundTruthDepth() {
        VirtualScene scene(Resolution(672, 376));
        cv::Mat left, right, depth;
        scene.render(1.7, left, right, &depth);
        QCOMPARE(depth.size(), left.size());
        double lo, hi;
        cv::minMaxLoc(depth, &lo, &hi);
        QVERIFY2(lo >= 0.75 && hi <= 10.5, qPrintable(QString("%1 %2").arg(lo).arg(hi)));
        // A textured left pixel reappears in the right image fx * B / Z to the left.
        cv::Mat gl, gr;
        cv::cvtColor(left, gl, cv::COLOR_BGRA2GRAY);
        cv::cvtColor(right, gr, cv::COLOR_BGRA2GRAY);
        const float fb = scene.focal() * scene.baseline();
        auto sampleRight = [&](int y, float x) {
            const int x0 = int(std::floor(x));
            const float a = x - float(x0);
            return float(gr.at<uchar>(y, x0)) * (1 - a) + float(gr.at<uchar>(y, x0 + 1)) * a;
        };
        int checked = 0, agree = 0, agreeShifted = 0;
        for (int y = 4; y < gl.rows - 4; y += 3)
            for (int x = 4; x < gl.cols - 4; x += 3) {
                const float z = depth.at<float>(y, x);
                // Skip depth edges (occlusions) and flat spots.
                if (std::fabs(depth.at<float>(y, x - 2) - z) > 0.05f * z ||
                    std::fabs(depth.at<float>(y, x + 2) - z) > 0.05f * z ||
                    std::abs(int(gl.at<uchar>(y, x + 1)) - int(gl.at<uchar>(y, x - 1))) < 20)
                    continue;
                const float xr = float(x) - fb / z;
                if (xr < 1 || xr > gr.cols - 3) continue;
                ++checked;
                const float v = gl.at<uchar>(y, x);
                agree += std::fabs(sampleRight(y, xr) - v) < 12.0f;
                agreeShifted += std::fabs(sampleRight(y, xr + 2.0f) - v) < 12.0f;
            }
        QVERIFY(checked > 2000);
        QVERIFY2(agree > 0.9 * checked, qPrintable(QString("%1 of %2").arg(agree).arg(checked)));
        QVERIFY2(agreeShifted < 0.6 * checked, "the check does not discriminate");
    }
};

QTEST_GUILESS_MAIN(TestVirtualCamera)
#include "test_virtual_camera.moc"
