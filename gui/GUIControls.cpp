// Runtime controls: the slots behind the window's widgets and the switch
// between no input, opening, live camera and playback.
#include "gui/GUI.h"

#include "common/GlobalParams.h"
#include "gui/GuiLog.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/Version.h"
#include "twl/core/ModeTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

#include <algorithm>

void GUI::activStart() {
    pauseButton->setChecked(false);
    if (GlobalParams::getBool(PARAM_PAUSE)) GlobalParams::setBool(PARAM_PAUSE, false);
    pauseButton->setEnabled(true);
}

void GUI::pauseScan(bool) {
    GlobalParams::setBool(PARAM_PAUSE, !GlobalParams::getBool(PARAM_PAUSE));
    // A paused cloud is drawn in full (playing, a software renderer thins it).
    pointCloudView->update();
}

void GUI::changeDepthClamp(int v) {
    GlobalParams::setInt(PARAM_DEPTH_MAX, v);
    // Centimetre precision: the millimetre digit is dropped on purpose.
    const float metres = static_cast<float>(v / 10) / 100.0f;
    maxRangeValueLabel->setText(QString::number(metres, 'g', 6) + "M");
    pointCloudView->updateFrustum();
}

void GUI::changeConfidence(int v) {
    GlobalParams::setInt(PARAM_CONFIDENCE, v);
    confidenceValueLabel->setText(QString::number(v) + " %");
}

void GUI::changeRes(int index, bool force) {
    updatingFpsList = true;
    fpsCombo->clear();
    resolutionIndex = index;
    GlobalParams::setInt(PARAM_RESOLUTION, index);

    const twl::ResolutionMode *mode = twl::resolutionMode(index);
    const QStringList allowed = fpsList.mid(0, mode ? mode->frameRateCount : 0);
    fpsCombo->insertItems(0, allowed);

    // Without a stored choice, a resolution starts at its highest rate.
    int chosen = allowed.size() - 1;
    if (keepFpsOnResolutionChange || force) {
        chosen = fpsIndex;
        if (chosen > allowed.size() - 1) chosen = allowed.size() - 1;
        keepFpsOnResolutionChange = false;
    }
    fpsCombo->setCurrentIndex(chosen);
    fpsIndex = chosen;
    GlobalParams::setInt(PARAM_CAMERA_FPS,
                         chosen >= 0 && chosen < allowed.size() ? twl::kFrameRates[chosen] : 0);
    updatingFpsList = false;
    qCDebug(lcGui).noquote() << "resolution" << (mode ? mode->name : "none") << "at"
                             << GlobalParams::getInt(PARAM_CAMERA_FPS) << "fps";
    emit changeInput(chosen);
}

void GUI::changeFPS(int) {
    if (updatingFpsList) return;
    const int index = fpsCombo->currentIndex();
    if (index < 0 || index >= twl::kFrameRateCount) return;
    fpsIndex = index;
    GlobalParams::setInt(PARAM_CAMERA_FPS, twl::kFrameRates[index]);
    emit askChangeFPS();
}

void GUI::changeSensing(bool) {
    if (fillButton->isChecked()) GlobalParams::setInt(PARAM_SENSING, 1);
    if (standardButton->isChecked()) GlobalParams::setInt(PARAM_SENSING, 0);
}

void GUI::changeViewIm(int index) {
    static const int kViews[] = {0, 1, 8};
    if (index < 0 || index > 2) {
        viewCombo->setCurrentIndex(0);
        GlobalParams::setInt(PARAM_IMAGE_VIEW, 0);
        return;
    }
    GlobalParams::setInt(PARAM_IMAGE_VIEW, kViews[index]);
}

void GUI::changeViewDepth(int index) {
    if (index < 0 || index > 1) {
        dataCombo->setCurrentIndex(0);
        GlobalParams::setInt(PARAM_DEPTH_VIEW, 9);
        return;
    }
    GlobalParams::setInt(PARAM_DEPTH_VIEW, 9 + index);
}

void GUI::ShowFPSDepth() {
    if (GlobalParams::getInt(PARAM_CAM_WIDTH) >= 1)
        fpsLabel->setText(" Depth FPS: " + QString::number(GlobalParams::getInt(PARAM_DEPTH_FPS)) + "Hz");
}

void GUI::PrintCPUGPUInfos() {
    cpuGpuLabel->setText(GlobalParams::stringRef(PARAM_STATUS_TEXT));
}

void GUI::PrintVEXOSDKVersion() {
    versionLabel->setText(QStringLiteral("v") + twl::kVersion);
}

void GUI::showSettings(bool) {
    const int x = this->x() + (width() / 2 - settingsWindow->width() / 2);
    const int y = this->y() + (height() / 2 - settingsWindow->height() / 2);
    settingsWindow->move(x, y);
    // Hiding first raises a window that is already open.
    settingsWindow->hide();
    settingsWindow->show();
}

void GUI::changeStepTWV(int index) {
    int step = 0;
    switch (index) {
    case 0:
        step = 1;
        break;
    case 1:
        step = 2;
        break;
    case 2:
        step = 4;
        break;
    default:
        break;
    }
    frameSpinBox->setSingleStep(step);
    GlobalParams::setInt(PARAM_TWV_STEP, step);
}

void GUI::updateGLWindow() {
    ++frameCounter;
    pointCloudView->update();
}

void GUI::ForcePauseButton(bool c) {
    pauseButton->setChecked(c);
}

void GUI::ChangeQuality(bool checked) {
    // In the exclusive group the button losing its check reports first.
    if (!checked) return;
    const QObject *from = sender();
    int mode = from ? from->objectName().toInt() : 0;
    if (!twl::depthModeName(mode)) mode = twl::DEPTH_MODE_PERFORMANCE;
    GlobalParams::setInt(PARAM_DEPTH_QUALITY, mode);
    emit QualityHasChanged();
}

void GUI::enableStabilizer(bool state) {
    GlobalParams::setBool(PARAM_STABILIZER, state);
    emit QualityHasChanged();
}

void GUI::updateImage() {
    ++frameCounter;
    depthView->setActive(true);
    depthView->update();
    imageView->show();
    imageView->update();
    pointCloudView->setActive(true);
    pointCloudView->Ingest();
    pointCloudView->update();
    // What lies under a resting pointer changes with the frame.
    if (readoutView) refreshReadout();
    if (frameCounter % 4 == 0) {
        ShowFPSDepth();
        cpuGpuLabel->setText(GlobalParams::stringRef(PARAM_STATUS_TEXT));
    }
}

void GUI::updateImagePC() {
    pointCloudView->update();
}

void GUI::ForcePause() {
    // Only a running playback is paused by grabbing the slider, and only that
    // pause is undone on release; a pause the user set stays.
    if (GlobalParams::getBool(PARAM_PAUSE)) return;
    GlobalParams::setBool(PARAM_PAUSE, true);
    forcedPause = true;
    pointCloudView->update();
}

void GUI::UnForcePause() {
    if (!forcedPause) return;
    GlobalParams::setBool(PARAM_PAUSE, false);
    forcedPause = false;
    pointCloudView->update();
}

void GUI::setInputState(int state, int lastFrame) {
    inputState = state;
    const Qt::Alignment leftMid = Qt::AlignLeft | Qt::AlignVCenter;
    const auto setVisible = [](std::initializer_list<QWidget *> widgets, bool visible) {
        for (QWidget *w : widgets)
            w->setVisible(visible);
    };
    const int maxRange = GlobalParams::getBool(PARAM_MODEL_FLAG) ? GlobalParams::kStartDepthMaxMm
                                                                 : GlobalParams::kStartDepthMaxOtherModelMm;

    switch (state) {
    case 0:
        setVisible({resolutionField, fpsField, fileNameLabel, resolutionCombo, fpsCombo, stopButton,
                    pauseButton, frameSlider, frameSpinBox, speedCombo},
                   false);
        statusLabel->setAlignment(leftMid);
        placeStatusLabel();
        break;
    case 1:
        statusLabel->setText("OPENING");
        statusLabel->setAlignment(leftMid);
        break;
    case 2:
        setVisible({resolutionField, fpsField, fileNameLabel, stopButton, pauseButton, frameSlider,
                    frameSpinBox, speedCombo},
                   false);
        setVisible({resolutionCombo, fpsCombo}, true);
        resolutionCombo->setEnabled(true);
        fpsCombo->setEnabled(true);
        liveButton->setChecked(true);
        loadFileButton->setChecked(false);
        maxRangeSlider->setValue(maxRange);
        statusLabel->setText("LIVE");
        statusLabel->setAlignment(leftMid);
        placeStatusLabel();
        break;
    case 3:
        setVisible({resolutionCombo, fpsCombo}, false);
        setVisible({resolutionField, fpsField, fileNameLabel, stopButton, pauseButton, frameSlider,
                    frameSpinBox, speedCombo},
                   true);
        liveButton->setChecked(false);
        loadFileButton->setChecked(true);
        // Every frame is reachable, the first and the last included.
        frameSlider->setRange(0, std::max(0, lastFrame));
        frameSpinBox->setRange(0, std::max(0, lastFrame));
        frameSlider->setValue(0);
        maxRangeSlider->setValue(maxRange);
        statusLabel->setText("PLAYBACK");
        statusLabel->setAlignment(leftMid);
        statusLabel->setGeometry(fpsField->x() + fpsField->width() + 10, resolutionCombo->y(), 110,
                                 resolutionCombo->height());
        placeFileNameLabel();
        break;
    default:
        break;
    }
    updateRecordButton();
    placeRecordLabel();
    QCoreApplication::processEvents();
}
