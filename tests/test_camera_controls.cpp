// Image controls of real and virtual cameras: the driver's list, inactive pairs, refusals, restoring in
// any order, a camera that another program holds, the firmware a UVC camera does not report, and twv.
#include "TestSupport.h"
#include "support/FakeV4l2Device.h"
#include "tools/twv/TwvCommands.h"
#include "twl/Camera.h"
#include "twl/source/VirtualCamera.h"
#include "twl/source/VirtualCameraSource.h"
#include "twl/uvc/UvcCamera.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstdio>

using namespace twl;

namespace {

struct Run {
    int status = -1;
    QString out, err;
};

/// Runs a twv command in this process (so that it meets the stand-in device), catching what it prints.
Run twv(int (*command)(int, char **), const QStringList &words) {
    QTemporaryDir dir;
    std::vector<std::string> storage{"twv"};
    for (const QString &w : words)
        storage.push_back(w.toStdString());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    Run run;
    const int saved[2] = {dup(1), dup(2)};
    for (int fd : {1, 2}) {
        std::fflush(fd == 1 ? stdout : stderr);
        const int file = ::open(qPrintable(dir.filePath(QString::number(fd))), O_CREAT | O_WRONLY, 0600);
        dup2(file, fd);
        close(file);
    }
    run.status = command(int(argv.size()), argv.data());
    for (int fd : {1, 2}) {
        std::fflush(fd == 1 ? stdout : stderr);
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
        (fd == 1 ? run.out : run.err) =
            QString::fromUtf8(TestSupport::readFile(dir.filePath(QString::number(fd))));
    }
    return run;
}

QStringList keys(const std::vector<CameraControl> &controls) {
    QStringList list;
    for (const CameraControl &c : controls)
        list << QString::fromStdString(c.key);
    return list;
}

const CameraControl &control(const std::vector<CameraControl> &controls, const char *key) {
    static const CameraControl none;
    const CameraControl *c = findControl(controls, key);
    return c ? *c : none;
}

/// Noise between two pictures of a mostly still scene: the median change of the green channel.
double medianChange(const cv::Mat &a, const cv::Mat &b) {
    cv::Mat diff, green;
    cv::absdiff(a, b, diff);
    cv::extractChannel(diff, green, 1);
    std::vector<uchar> values(green.begin<uchar>(), green.end<uchar>());
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

} // namespace

class TestCameraControls : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeV4l2Device> fake;

    std::unique_ptr<FrameSource> openUvc(ERROR_CODE expected = SUCCESS) {
        ERROR_CODE e = ERROR_CODE_LAST;
        auto source = UvcCamera::open(std::string(), RESOLUTION_VGA, 30, &e);
        [&]() { QCOMPARE(e, expected); }();
        return source;
    }

private slots:
    void init() {
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
        fake = std::make_unique<FakeV4l2Device>(true);
        fake->addCamera(FakeV4l2Device::stereoCamera());
    }
    void cleanup() { fake.reset(); }

    void listIsTheDriversWithMenusAndInactivePairs_data() {
        QTest::addColumn<bool>("extended");
        QTest::newRow("extended calls") << true;
        QTest::newRow("plain calls only") << false;
    }
    void listIsTheDriversWithMenusAndInactivePairs() {
        QFETCH(bool, extended);
        fake->setExtendedControls(extended);
        auto source = openUvc();
        const std::vector<CameraControl> list = source->controls();
        // Headings, the button, the disabled and the read-only control are not shown.
        QCOMPARE(keys(list), QStringList({"brightness", "contrast", "white_balance_temperature_auto", "gain",
                                          "power_line_frequency", "white_balance_temperature",
                                          "auto_exposure", "exposure_time_absolute"}));
        QCOMPARE(controlKey("  (Gain) -- x2!"), std::string("gain_x2")); // as v4l2-ctl names them
        const CameraControl &exposure = control(list, "exposure_time_absolute");
        QVERIFY(exposure.inactive && exposure.value == 250 && exposure.minimum == 3 &&
                exposure.maximum == 2047);
        QCOMPARE(exposure.name, std::string("Exposure Time, Absolute"));
        const CameraControl &autoExposure = control(list, "auto_exposure");
        QCOMPARE(autoExposure.type, CameraControl::Type::Menu);
        QCOMPARE(int(autoExposure.menu.size()), 2); // the driver offers 1 and 3 only
        QVERIFY(autoExposure.menu[0].index == 1 && autoExposure.menu[1].label == "Aperture Priority Mode");
        QCOMPARE(control(list, "white_balance_temperature_auto").type, CameraControl::Type::Boolean);
        QCOMPARE(control(list, "white_balance_temperature").step, 10);

        // Setting an inactive control is refused; switching its master to manual frees it.
        QCOMPARE(source->setControl(exposure.id, 400), EACCES);
        QCOMPARE(source->setControl(autoExposure.id, V4L2_EXPOSURE_MANUAL), 0);
        QVERIFY(!control(source->controls(), "exposure_time_absolute").inactive);
        QCOMPARE(source->setControl(exposure.id, 5000), 0);
        QCOMPARE(fake->controlValue(exposure.id), 2047); // clamped by the camera, and read back so
        QCOMPARE(control(source->controls(), "exposure_time_absolute").value, 2047);
        QCOMPARE(source->setControl(autoExposure.id, 2), EINVAL); // an entry the camera does not offer
        fake->refuseControl(V4L2_CID_GAIN, EIO);
        QCOMPARE(source->setControl(V4L2_CID_GAIN, 10), EIO);
        QCOMPARE(control(source->controls(), "gain").value, 0);
    }

    void storedValuesGoInWhateverTheirOrderAndResetRestoresDefaults() {
        Camera camera;
        QCOMPARE(camera.openSource(openUvc()), SUCCESS);
        // The slave comes first and a key the camera lacks is passed over.
        auto refused = camera.restoreControls({{"exposure_time_absolute", 300},
                                               {"no_such_control", 1},
                                               {"auto_exposure", 1},
                                               {"brightness", 12}});
        QVERIFY(refused.empty());
        QCOMPARE(fake->controlValue(V4L2_CID_EXPOSURE_ABSOLUTE), 300);
        QCOMPARE(fake->controlValue(V4L2_CID_BRIGHTNESS), 12);
        fake->refuseControl(V4L2_CID_CONTRAST, EBUSY);
        // Busy is a refusal; a temperature kept for auto white balance, now on, is not.
        refused = camera.restoreControls({{"contrast", 50}, {"white_balance_temperature", 5000}});
        QCOMPARE(int(refused.size()), 1);
        QVERIFY(refused[0].key == "contrast" && refused[0].error == EBUSY);
        fake->refuseControl(V4L2_CID_CONTRAST, 0);
        // Back to defaults: exposure ends inactive under aperture priority, which is no refusal.
        QVERIFY(camera.resetControls().empty());
        for (const CameraControl &c : camera.getControls())
            QVERIFY2(c.value == c.defaultValue, c.key.c_str());
        QCOMPARE(fake->controlValue(V4L2_CID_EXPOSURE_AUTO), 3);
    }

    void cameraThatAnotherProgramHoldsIsListedButNotOpened() {
        fake->setHeldByOtherProgram(true);
        QVERIFY(!openUvc(ERROR_CODE_CAMERA_IN_USE));
        QVERIFY(fake->openDescriptors() == 0 && fake->liveMappings() == 0);
        QCOMPARE(int(Camera::getDeviceList().size()), 1);
        const Run devices = twv(cmdDevices, {"devices"});
        // Listed, and without a firmware of the family whatever its USB release (bcdDevice) says.
        QVERIFY2(devices.status == 0 && devices.out.contains("/dev/video0") &&
                     devices.out.contains("\n  firmware: unknown\n"),
                 qPrintable(devices.out));
        const Run controls = twv(cmdControls, {"controls", "/dev/video0", "--set", "gain=20"});
        QVERIFY2(controls.status == 0 && controls.out == "gain=20\n", qPrintable(controls.err));
        QTemporaryDir dir;
        const Run record = twv(cmdRecord, {"record", dir.filePath("x.twv"), "--device", "/dev/video0",
                                           "--resolution", "VGA", "--frames", "2"});
        QCOMPARE(record.status, 1);
        QVERIFY2(record.err.contains("camera in use by another program"), qPrintable(record.err));
        fake->setHeldByOtherProgram(false);
        QVERIFY(openUvc());
    }

    void twvListsAndSetsInOrderAndNamesARefusal() {
        const Run list = twv(cmdControls, {"controls", "/dev/video0"});
        QCOMPARE(list.status, 0);
        QVERIFY2(
            list.out.simplified().contains("exposure_time_absolute 0x009a0902 (int) : min=3 max=2047 step=1 "
                                           "default=250 value=250 flags=inactive"),
            qPrintable(list.out));
        QVERIFY(list.out.contains(QRegularExpression("\\n\\s+3: Aperture Priority Mode\\n")));

        const Run set = twv(cmdControls, {"controls", "/dev/video0", "--set", "auto_exposure=1", "--set",
                                          "exposure_time_absolute=9999"});
        QCOMPARE(set.status, 0);
        QCOMPARE(set.out, QString("auto_exposure=1\nexposure_time_absolute=2047\n"));

        fake->refuseControl(V4L2_CID_GAIN, ERANGE);
        const Run refused = twv(cmdControls, {"controls", "/dev/video0", "--set", "gain=50"});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.err.contains("gain") && refused.err.contains("out of range"),
                 qPrintable(refused.err));
        QCOMPARE(twv(cmdControls, {"controls", "/dev/video0", "--set", "zoom=1"}).status, 1);
        QCOMPARE(twv(cmdControls, {"controls", "/dev/video0", "--set", "gain"}).status, 2);

        // A recording sets its controls before the first frame; a refusal leaves no file.
        QTemporaryDir dir;
        const QStringList record =
            QStringList{"record", dir.filePath("r.twv")} +
            QString("--device /dev/video0 --resolution VGA --frames 2 --set brightness=-20").split(' ');
        const Run recorded = twv(cmdRecord, record);
        QVERIFY2(recorded.status == 0, qPrintable(recorded.err));
        QCOMPARE(fake->controlValue(V4L2_CID_BRIGHTNESS), -20);
        QVERIFY(QFile::remove(dir.filePath("r.twv")));
        const Run notRecorded = twv(cmdRecord, record + QStringList{"--set", "gain=1"});
        QCOMPARE(notRecorded.status, 1);
        QVERIFY(notRecorded.err.contains("gain") && !QFile::exists(dir.filePath("r.twv")));
    }

    void virtualCameraControlsChangeItsPictures() {
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        ERROR_CODE e = ERROR_CODE_LAST;
        auto source = VirtualCamera::open(RESOLUTION_VGA, 30, &e);
        static_cast<VirtualCameraSource &>(*source).setPaced(false);
        QCOMPARE(keys(source->controls()), QStringList({"exposure_time_absolute", "gain", "brightness"}));
        StereoFrame frame, previous;
        // Mean green level, and the noise against the frame before with the same settings.
        const auto shot = [&](int exposure, int gain, int brightness) {
            source->setControl(V4L2_CID_EXPOSURE_ABSOLUTE, exposure);
            source->setControl(V4L2_CID_GAIN, gain);
            source->setControl(V4L2_CID_BRIGHTNESS, brightness);
            source->grab(previous);
            previous.left = previous.left.clone();
            source->grab(frame);
            return std::make_pair(cv::mean(frame.left)[1], medianChange(frame.left, previous.left));
        };
        const auto plain = shot(100, 0, 0);
        QVERIFY(shot(50, 0, 0).first < plain.first * 0.6);
        QVERIFY(shot(200, 0, 0).first > plain.first * 1.4);
        QVERIFY(shot(100, 0, 30).first > plain.first + 20);
        // Gain brightens like exposure, and adds noise: compensated in exposure, only the noise is left.
        const auto gained = shot(33, 100, 0);
        QVERIFY(std::fabs(gained.first - plain.first) < 0.1 * plain.first);
        QCOMPARE(plain.second, 0.0);
        QVERIFY2(gained.second >= 4, qPrintable(QString::number(gained.second)));
        QCOMPARE(source->setControl(V4L2_CID_GAIN, 1000), 0);
        QCOMPARE(control(source->controls(), "gain").value, 100);
        QCOMPARE(source->setControl(V4L2_CID_CONTRAST, 1), EINVAL);
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
    }
};

QTEST_GUILESS_MAIN(TestCameraControls)
#include "test_camera_controls.moc"
