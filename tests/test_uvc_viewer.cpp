// The whole viewer live on a stand-in UVC camera: automatic open, unplug, replug, resolution and rate.
#include "AppTestSupport.h"
#include "support/FakeV4l2Device.h"

#include <QPointer>
#include <QtTest>

namespace {
twl::FakeV4l2Device *fake = nullptr; // the device layer's only camera, set up by main()
}

class TestUvcViewer : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    bool isLive() {
        return app->inputThread && app->inputThread->isLive && app->inputThread->isRunning() &&
               (app->gui->statusLabel->text() == "LIVE" || app->gui->statusLabel->text() == "UNCALIBRATED") &&
               !app->busy;
    }

private slots:
    void cleanupTestCase() {
        if (app->gui) app->gui->close();
    }
    void runsLiveThroughUnplugReplugAndModeChanges() {
        GUI *gui = app->gui;
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000);
        QCOMPARE(gui->serialField->text(), QString("17042"));
        QCOMPARE(gui->statusLabel->text(), QString("UNCALIBRATED")); // said once, on the first open
        int frames = gui->frameCounter;
        QTRY_VERIFY_WITH_TIMEOUT(gui->frameCounter > frames + 3, 30000);
        fake->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(gui->inputState, 0, 5000);
        QCOMPARE(gui->statusLabel->text(), QString("CAMERA NOT DETECTED"));
        QTRY_VERIFY_WITH_TIMEOUT(!gui->liveButton->isEnabled(), 3000);
        QCOMPARE(fake->openDescriptors(), 0);
        fake->replug();
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 5000);
        gui->resolutionCombo->setCurrentIndex(2);
        QTRY_VERIFY_WITH_TIMEOUT(isLive() && GlobalParams::getInt(PARAM_CAM_WIDTH) == 1280, 8000);
        QCOMPARE(fake->openDescriptors(), 1);
        QPointer<InputThreadModul> before = app->inputThread;
        gui->fpsCombo->setCurrentIndex(0);
        QTRY_COMPARE_WITH_TIMEOUT(fake->currentRate(), 15.0f, 3000);
        QCOMPARE(app->inputThread, before.data()); // no reopen for a new rate
        QCOMPARE(app->inputThread->camera.getCameraFPS(), 15.0f);
        frames = gui->frameCounter;
        QTRY_VERIFY_WITH_TIMEOUT(gui->frameCounter > frames + 2, 30000);
    }
};

int main(int argc, char **argv) {
    twl::FakeV4l2Device device;
    device.addCamera(twl::FakeV4l2Device::stereoCamera());
    // Fixed eyes keep the stand-in cheap under the race detector; a shifted texture gives the matcher work.
    cv::Mat right(376, 672, CV_8UC4);
    cv::randu(right, 0, 255);
    device.setEyes(right(cv::Rect(0, 0, 672 - 12, 376)).clone(),
                   right(cv::Rect(12, 0, 672 - 12, 376)).clone());
    twl::setDeviceBackend(fake = &device);
    const int status = AppTest::runWithApplication<TestUvcViewer>(argc, argv, "uvc", false);
    twl::setDeviceBackend(nullptr);
    return status;
}

#include "test_uvc_viewer.moc"
