// What the window's runtime controls write and emit, and how the control panel follows the input state.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/Types.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {
std::unique_ptr<GUI> makeWindow() {
    return TestSupport::makeWindow(1280, 720, QPoint(100, 80));
}
using TestSupport::items;
} // namespace

class TestGuiControls : public QObject {
    Q_OBJECT
private slots:
    void resolutionRefillsFrameRates() {
        auto gui = makeWindow();
        QSignalSpy input(gui.get(), SIGNAL(changeInput(int)));
        QSignalSpy askFps(gui.get(), SIGNAL(askChangeFPS()));
        gui->changeRes(3);
        QCOMPARE(items(gui->fpsCombo), QStringList({"15", "30", "60 ", "100"}));
        QCOMPARE(gui->fpsIndex, 3);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 100);
        QCOMPARE(input.takeLast().at(0).toInt(), 3);

        // Keeping the rate lowers it to what the new resolution offers, once.
        gui->keepFpsOnResolutionChange = true;
        gui->changeRes(2);
        QCOMPARE(gui->fpsCombo->currentIndex(), 2);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 60);
        QVERIFY(!gui->keepFpsOnResolutionChange);
        QCOMPARE(input.takeLast().at(0).toInt(), 2);
        // A chosen rate goes to the running camera, not through a new input.
        input.clear();
        gui->fpsCombo->setCurrentIndex(0);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 15);
        QCOMPARE(input.count(), 0);
        gui->changeRes(3);
        QCOMPARE(gui->fpsCombo->currentIndex(), 3);

        gui->fpsCombo->setCurrentIndex(1);
        gui->changeRes(3, true);
        QCOMPARE(gui->fpsCombo->currentIndex(), 1);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 30);

        // Only the user's choices above asked for a new rate, not the refills.
        QCOMPARE(askFps.count(), 2);
    }

    void rangeAndConfidenceLabels() {
        auto gui = makeWindow();
        gui->maxRangeSlider->setValue(12345);
        QCOMPARE(gui->maxRangeValueLabel->text(), QString("12.34M")); // two decimals, cut rather than rounded
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_MAX), 12345);
        gui->confidenceSlider->setValue(42);
        QCOMPARE(gui->confidenceValueLabel->text(), QString("42 %"));
        QCOMPARE(GlobalParams::getInt(PARAM_CONFIDENCE), 42);
    }

    void pauseHasTwoOwners() {
        auto gui = makeWindow();
        gui->setInputState(3, 200);
        gui->activStart();
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));

        // Grabbing the slider pauses a running playback and resumes it.
        gui->frameSlider->setSliderDown(true);
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE));
        gui->frameSlider->setSliderDown(false);
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));

        // A pause the user set survives grabbing the slider.
        gui->pauseButton->click();
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE));
        gui->frameSlider->setSliderDown(true);
        gui->frameSlider->setSliderDown(false);
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE));

        gui->pauseButton->click();
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));

        // The button's mark follows without touching the store.
        gui->ForcePauseButton(true);
        QVERIFY(gui->pauseButton->isChecked());
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));
    }

    void viewSelectorsAndSpeed() {
        auto gui = makeWindow();
        gui->viewCombo->setCurrentIndex(2);
        QCOMPARE(GlobalParams::getInt(PARAM_IMAGE_VIEW), int(twl::VIEW_SIDE_BY_SIDE));
        // A selection out of range falls back to the first entry, box and store alike.
        gui->changeViewIm(5);
        QCOMPARE(gui->viewCombo->currentIndex(), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_IMAGE_VIEW), 0);

        gui->dataCombo->setCurrentIndex(1);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_VIEW), int(twl::VIEW_CONFIDENCE));
        gui->changeViewDepth(-1);
        QCOMPARE(gui->dataCombo->currentIndex(), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_VIEW), int(twl::VIEW_DEPTH));

        gui->speedCombo->setCurrentIndex(2);
        QCOMPARE(GlobalParams::getInt(PARAM_TWV_STEP), 4);
        QCOMPARE(gui->frameSpinBox->singleStep(), 4); // the frame box steps alike
    }

    void depthModeSensingAndStabiliser() {
        auto gui = makeWindow();
        QSignalSpy quality(gui.get(), SIGNAL(QualityHasChanged()));
        for (QToolButton *mode : {gui->ultraButton, gui->qualityButton}) {
            quality.clear();
            mode->click();
            QVERIFY(mode->isChecked());
            QCOMPARE(quality.count(), 1); // the unchecked button does not count
        }
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_QUALITY), 3);
        quality.clear();
        gui->qualityButton->click(); // already checked: nothing happens
        QVERIFY(gui->qualityButton->isChecked());
        QCOMPARE(quality.count(), 0);

        gui->fillButton->click();
        QCOMPARE(GlobalParams::getInt(PARAM_SENSING), 1);
        QVERIFY(!gui->standardButton->isChecked());
        QCOMPARE(quality.count(), 0);

        gui->stabilizationCheck->click();
        QVERIFY(!GlobalParams::getBool(PARAM_STABILIZER));
        QCOMPARE(quality.count(), 1);
    }

    void inputStates() {
        auto gui = makeWindow();
        const QList<QWidget *> liveOnly = {gui->resolutionCombo, gui->fpsCombo};
        const QList<QWidget *> playbackOnly = {gui->fileNameLabel, gui->stopButton, gui->frameSlider};
        const auto visible = [](const QList<QWidget *> &list, bool want) {
            for (QWidget *w : list)
                if (w->isVisible() != want) return false;
            return true;
        };

        gui->setInputState(2, 0);
        QVERIFY(visible(liveOnly, true));
        QVERIFY(visible(playbackOnly, false));
        QCOMPARE(gui->maxRangeSlider->value(), 10000);

        GlobalParams::setBool(PARAM_MODEL_FLAG, true);
        gui->setInputState(3, 120);
        QVERIFY(visible(liveOnly, false));
        QVERIFY(visible(playbackOnly, true));
        QCOMPARE(gui->frameSlider->value(), 0);
        QCOMPARE(gui->frameSlider->maximum(), 120);
        QCOMPARE(gui->frameSpinBox->maximum(), 120);
        QCOMPARE(gui->maxRangeSlider->value(), 15000);

        gui->statusLabel->setText("No camera detected");
        gui->setInputState(0, 0);
        QVERIFY(visible(liveOnly, false) && visible(playbackOnly, false));
        QCOMPARE(gui->statusLabel->text(), QString("No camera detected")); // the reason stays
    }

    void settingsWindowIsCentredAndRaised() {
        auto gui = makeWindow();
        gui->settingsButton->click();
        QWidget *s = gui->settingsWindow;
        QVERIFY(s->isVisible());
        const QPoint centred(gui->x() + (gui->width() / 2 - 260), gui->y() + (gui->height() / 2 - 250));
        QCOMPARE(s->pos(), centred);

        // Opening again while open puts it back in the middle.
        s->move(5, 5);
        gui->showSettings(false);
        QCOMPARE(s->pos(), centred);
    }

    void statusLine() {
        auto gui = makeWindow();
        gui->fpsLabel->setText("old");
        GlobalParams::setInt(PARAM_DEPTH_FPS, 30);
        gui->ShowFPSDepth();
        QCOMPARE(gui->fpsLabel->text(), QString("old"));
        GlobalParams::setInt(PARAM_CAM_WIDTH, 1280);
        gui->ShowFPSDepth();
        QCOMPARE(gui->fpsLabel->text(), QString(" Depth FPS: 30Hz"));

        // Frames refresh the status line every fourth time.
        GlobalParams::stringRef(PARAM_STATUS_TEXT) = "CPU 12% GPU 30%";
        GlobalParams::setInt(PARAM_DEPTH_FPS, 15);
        gui->frameCounter = 0;
        for (int i = 1; i <= 3; ++i)
            gui->updateImage();
        QCOMPARE(gui->cpuGpuLabel->text(), QString());
        gui->updateImage();
        QCOMPARE(gui->cpuGpuLabel->text(), QString("CPU 12% GPU 30%"));
        QCOMPARE(gui->fpsLabel->text(), QString(" Depth FPS: 15Hz"));
    }
};

QTEST_MAIN(TestGuiControls)
#include "test_gui_controls.moc"
