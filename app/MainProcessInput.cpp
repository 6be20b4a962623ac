// Input control: which input is open, how a session is torn down and a new
// one opened, and the one-second status tick.
//
// Opening an input runs the event loop (the window repaints, dialogs are
// modal), so a click, a dropped file or a lost camera can start another open
// or a reset in the middle of one. Every open and every reset takes a new
// generation number; an open that finds a newer one after running the event
// loop leaves the input to the newer request instead of finishing on a
// session that is no longer its own.
#include "app/MainProcess.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/CameraControlsWindow.h"
#include "gui/GUI.h"
#include "gui/LogoScreen.h"
#include "render/FrameProbe.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/Camera.h"
#include "twl/core/ModeTable.h"
#include "twl/twv/TwvFormat.h"

#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QSlider>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {

QString verboseText(twl::ERROR_CODE code) {
    return QString::fromUtf8(twl::toVerbose(code).c_str());
}

/// An open error in the words of a command-line message.
QString describeOpenError(twl::ERROR_CODE code) {
    switch (code) {
    case twl::ERROR_CODE_FILE_NOT_FOUND:
        return "no such file";
    case twl::ERROR_CODE_NOT_A_RECORDING:
        return "not a .twv recording";
    case twl::ERROR_CODE_DAMAGED_RECORDING:
        return "damaged recording with nothing to play";
    case twl::ERROR_CODE_UNSUPPORTED_VERSION:
        return "recorded in a newer format version";
    case twl::ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY:
        return "not enough GPU memory to play it";
    default:
        return verboseText(code).toLower();
    }
}

QString resolutionNameForWidth(size_t width) {
    const twl::ResolutionMode *mode = twl::resolutionMode(twl::resolutionIndexByWidth(width));
    return mode ? QString(mode->name) : QString();
}

} // namespace

bool MainProcess::superseded(quint64 generation) const {
    return generation != openGeneration || !gui;
}

void MainProcess::setBusyCursor(bool on) {
    if (gui) gui->setCursor(on ? Qt::BusyCursor : Qt::ArrowCursor);
}

void MainProcess::showNotice(const QString &text) {
    if (!gui) return;
    gui->statusLabel->setText(text);
    noticeTicks = 5;
}

void MainProcess::deleteInputThread() {
    InputThreadModul *old = inputThread;
    inputThread = nullptr;
    if (!old) return;
    if (gui) {
        // The views must not lock a mutex that dies with the thread.
        gui->imageView->frameMutex = nullptr;
        gui->depthView->frameMutex = nullptr;
        gui->pointCloudView->frameMutex = nullptr;
        gui->frameProbe->unbind();
    }
    delete old;
    // Frames and disconnect notices that the ended session queued before it
    // stopped must not reach the next one; calls queued by anyone else stay.
    if (sessionReceiver) {
        QCoreApplication::removePostedEvents(sessionReceiver);
        sessionReceiver->deleteLater();
        sessionReceiver = nullptr;
    }
}

int MainProcess::liveKey() const {
    return GlobalParams::getInt(PARAM_RESOLUTION) * 16 + GlobalParams::getInt(PARAM_DEPTH_QUALITY) * 2 +
           (GlobalParams::getBool(PARAM_STABILIZER) ? 1 : 0);
}

void MainProcess::reportStartupFailure(const QString &path, const QString &reason) {
    if (startupFile.isEmpty() || path != startupFile) return;
    startupFile.clear();
    std::fprintf(stderr, "vantaro: %s: %s\n", path.toLocal8Bit().constData(),
                 reason.toLocal8Bit().constData());
    std::fflush(stderr);
}

void MainProcess::reset() {
    // A stop click, a lost camera or a restart: whatever open was under way is over.
    ++openGeneration;
    busy = false;
    setBusyCursor(false);
    resetInput();
}

void MainProcess::resetInput() {
    if (!gui) return;
    endRecordingOfSession();
    gui->statusLabel->setToolTip(QString());
    if (inputThread) {
        if (inputThread->opened && inputOpened) {
            gui->statusLabel->setText("OPENING");
            inputOpened = false;
        } else if (inputThread->isLive || inputThread->isFile) {
            gui->setInputState(0, 0);
            if (!gui) return;
            gui->statusLabel->setText(verboseText(twl::ERROR_CODE_CAMERA_NOT_DETECTED));
        }
    }
    if (inputThread) {
        deleteInputThread();
    }

    GlobalParams::setInt(PARAM_CAM_WIDTH, 0);
    GlobalParams::setInt(PARAM_CAM_HEIGHT, 0);
    GlobalParams::setInt(PARAM_DISPLAY_WIDTH, 0);
    GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, 0);

    gui->imageView->release();
    gui->depthView->release();
    gui->pointCloudView->releaseScene();

    QCoreApplication::processEvents();
    if (!gui) return;
    gui->update();
    gui->logoScreen->show();
    QCoreApplication::processEvents();
    if (!gui || inputThread)
        return; // shut down, or a reset run by those events already prepared the next session

    InputThreadModul *created = new InputThreadModul;
    inputThread = created;
    connectInputThread();
    QCoreApplication::processEvents();
    if (!gui || inputThread != created) return;

    inputThread->positionSlider = gui->frameSlider;
    inputThread->calibrationFile = calibrationFile;
    inputThread->calibrationDirectory = calibrationDirectory;
    connect(gui, &GUI::askChangeFPS, inputThread, &InputThreadModul::changeFPS);

    gui->idField->setText("-");
    gui->serialField->setText("-");
    gui->fpsLabel->setText(QString());
    gui->cpuGpuLabel->setText(QString());

    gui->imageView->fullDisplay();
    gui->depthView->fullDisplay();
    gui->cameraControlsWindow->setUnavailable("No camera is open.");

    statusTimer->start(1000);
}

void MainProcess::CreateLiveInput() {
    if (!gui) return;
    const quint64 generation = ++openGeneration;
    busy = true;
    resetInput();
    if (superseded(generation) || !inputThread) return;

    InputThreadModul *thread = inputThread;
    lastOpenError = thread->openCamera();
    if (lastOpenError != twl::SUCCESS) {
        gui->setInputState(0, 0);
        if (superseded(generation)) return;
        gui->statusLabel->setText(verboseText(lastOpenError));
        if (lastOpenError == twl::ERROR_CODE_LOW_USB_BANDWIDTH) {
            // The link is too slow for this resolution: fall back to VGA. A
            // real change of resolution re-opens the camera from the window's
            // handler right away, which takes this open over.
            gui->fpsCombo->setCurrentIndex(0);
            gui->resolutionCombo->setCurrentIndex(twl::RESOLUTION_VGA);
            if (superseded(generation)) return;
        }
        busy = false;
        resetInput();
        return;
    }

    setBusyCursor(true);
    const bool initialized = thread->initialize();
    if (superseded(generation)) return;
    if (!initialized) {
        QMessageBox box(QMessageBox::Critical, "Error",
                        "Not enough GPU memory. Try a lower video resolution and/or a lower depth mode "
                        "settings.");
        box.exec();
        if (superseded(generation)) return;
        busy = false;
        setBusyCursor(false);
        // No half-opened session is left behind: the status tick keeps
        // watching the camera, and the resolution stays at hand to try a
        // lower one. The tick does not retry the same settings on its own.
        memoryShortKey = liveKey();
        resetInput();
        if (superseded(generation) || !gui) return;
        gui->setInputState(0, 0);
        if (!gui) return;
        for (QWidget *w :
             {static_cast<QWidget *>(gui->resolutionCombo), static_cast<QWidget *>(gui->fpsCombo)}) {
            w->setVisible(true);
            w->setEnabled(true);
        }
        showNotice(verboseText(twl::ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY));
        return;
    }
    memoryShortKey = -1;
    const bool controlsRestored = restoreCameraControls(thread);

    // Only a camera that numbers its firmware as the family does can be
    // behind: any other (a generic UVC camera) reports none.
    const uint32_t firmware = thread->camera.getCameraInformation(twl::Resolution(0, 0)).firmware_version;
    if (firmware != twl::kFirmwareUnknown && firmware < 1142) {
        QMessageBox box(QMessageBox::Warning, "Warning",
                        "Your VEXO does not use the latest firmware. Please update it with Kestrion.");
        box.exec();
        if (superseded(generation)) return;
    }

    // A calibration that cannot be used is said once, in full (file and key);
    // the camera still opens, uncalibrated.
    const QString calibrationProblem = QString::fromStdString(thread->camera.getCalibrationError().str());
    if (!calibrationProblem.isEmpty() && calibrationProblem != calibrationWarning) {
        calibrationWarning = calibrationProblem;
        QMessageBox box(QMessageBox::Warning, "Warning",
                        calibrationProblem + "\n\nThe camera opens uncalibrated: depth will be poor.");
        box.exec();
        if (superseded(generation)) return;
    }

    gui->logoScreen->hide();
    GlobalParams::setDouble(PARAM_CLICK_X, -1.0);
    GlobalParams::setDouble(PARAM_CLICK_Y, -1.0);
    gui->idField->setText("0");
    gui->serialField->setText(
        QString::number(thread->camera.getCameraInformation(twl::Resolution(0, 0)).serial_number));

    thread->startCapture();
    setBusyCursor(false);
    gui->setInputState(2, 0);
    if (superseded(generation)) return;
    const quint32 serial = thread->camera.getCameraInformation(twl::Resolution(0, 0)).serial_number;
    if (!thread->camera.isCalibrated() && !uncalibratedSaid.contains(serial)) {
        uncalibratedSaid.insert(serial);
        gui->statusLabel->setText("UNCALIBRATED");
        gui->statusLabel->setToolTip("This camera has no calibration: its pairs are taken as rectified. "
                                     "Run twv calibrate and put the file in " +
                                     calibrationDirectory + "/" + QString::number(serial) + ".yml");
    }
    if (!controlsRestored) {
        // Said after the state's own text, which would cover it.
        gui->statusLabel->setText("STORED CAMERA SETTINGS REFUSED");
        gui->statusLabel->setToolTip(gui->cameraControlsWindow->message());
    }

    busy = false;
    statusTimer->stop();
    inputOpened = true;
}

void MainProcess::ChooseTWVFile() {
    const QString name = askTwvFileName();
    if (twl::isRecordingFileName(name.toStdString())) CreateTWVInput(name);
}

QString MainProcess::askTwvFileName() {
    QCoreApplication::processEvents();
    if (!gui) return QString();
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    dialog.setSidebarUrls(dialogSideBar());
    dialog.setToolTip("Select a TWV");
    dialog.setNameFilter(MainProcess::tr("Tarnwell file format (*.twv *.twv.partial)"));
    dialog.setDirectory(saveDir->path());
    dialog.move(gui->x() + gui->width() / 2 - dialog.width() / 2,
                gui->height() / 2 - dialog.height() / 2 + gui->y());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        return dialog.selectedFiles().first();
    return QString();
}

void MainProcess::CreateTWVInput(QString filename) {
    if (!gui) return;
    const quint64 generation = ++openGeneration;
    setBusyCursor(true);
    busy = true;
    resetInput();
    if (superseded(generation) || !inputThread) return;
    gui->statusLabel->setText("OPENING");

    InputThreadModul *thread = inputThread;
    lastOpenError = thread->openFile(filename);
    if (lastOpenError != twl::SUCCESS) {
        gui->setInputState(0, 0);
        if (superseded(generation)) return;
        // Name the file too: a bare "FILE NOT FOUND" does not say which one.
        const QFileInfo info(filename);
        const bool directory = info.isDir();
        showNotice(QString("%1 : %2").arg(directory ? QString("IS A DIRECTORY") : verboseText(lastOpenError),
                                          info.fileName()));
        reportStartupFailure(filename,
                             directory ? QString("is a directory") : describeOpenError(lastOpenError));
        setBusyCursor(false);
        resetInput();
        if (superseded(generation)) return;
        busy = false;
        return;
    }

    const bool initialized = thread->initialize();
    if (superseded(generation)) return;
    if (!initialized) {
        setBusyCursor(false);
        resetInput();
        if (superseded(generation)) return;
        gui->setInputState(0, 0);
        if (superseded(generation)) return;
        // Say what went wrong: the status line would otherwise fall back to the camera's state.
        showNotice(QString("%1 : %2").arg(verboseText(twl::ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY),
                                          QFileInfo(filename).fileName()));
        reportStartupFailure(filename, describeOpenError(twl::ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY));
        busy = false;
        return;
    }
    if (filename == startupFile) startupFile.clear();

    gui->logoScreen->hide();
    // Snapshots of a recording go next to it.
    const int slash = filename.lastIndexOf('/');
    saveDir->setPath(slash >= 0 ? filename.left(slash) : QFileInfo(filename).absolutePath());
    GlobalParams::setDouble(PARAM_CLICK_X, -1.0);
    GlobalParams::setDouble(PARAM_CLICK_Y, -1.0);
    gui->resolutionField->setText(resolutionNameForWidth(thread->imageGPU.getWidth()));
    gui->fpsField->setText(QString::number(double(thread->camera.getCameraFPS()), 'g', 6) + "fps");
    gui->idField->setText("-");
    gui->serialField->setText(
        QString::number(thread->camera.getCameraInformation(twl::Resolution(0, 0)).serial_number));
    gui->setFileName(filename);
    gui->cameraControlsWindow->setUnavailable("Recordings have no camera controls.");

    gui->pauseButton->setChecked(false);
    // Every playback starts at its first frame, whatever the last one showed.
    gui->frameSlider->setRange(0, std::max(0, thread->lastFrameIndex));
    gui->frameSlider->setValue(0);
    thread->startCapture();
    setBusyCursor(false);
    gui->setInputState(3, thread->lastFrameIndex);
    if (superseded(generation)) return;

    busy = false;
    statusTimer->stop();
    inputOpened = true;
    framesSinceWatch = 0;
    stalledSeconds = 0;
    skipNoticeTicks = 0;
    playbackWatch->start();
}

void MainProcess::watchPlayback() {
    if (!gui || !inputThread || !inputThread->isFile || !inputThread->isRunning()) return;
    const int skipped = inputThread->takeSkippedFrame();
    if (skipped >= 0) {
        gui->statusLabel->setText(QString("FRAME %1 SKIPPED").arg(skipped));
        skipNoticeTicks = 5;
    } else if (skipNoticeTicks > 0 && --skipNoticeTicks == 0) {
        gui->statusLabel->setText("PLAYBACK");
    }
    if (GlobalParams::getBool(PARAM_PAUSE) || framesSinceWatch > 0)
        stalledSeconds = 0;
    else
        ++stalledSeconds;
    framesSinceWatch = 0;
    if (stalledSeconds < kPlaybackStallSeconds) return;
    // Not one frame could be decoded for a while: end the session and say why.
    const QString name = QFileInfo(GlobalParams::stringRef(PARAM_TWV_PATH)).fileName();
    reset();
    if (!gui) return;
    gui->setInputState(0, 0);
    if (gui) showNotice(QString("%1 : %2").arg(verboseText(twl::ERROR_CODE_DAMAGED_RECORDING), name));
}

void MainProcess::ResetWithQuality() {
    if (busy || !inputThread) return;
    if (inputThread->isFile)
        CreateTWVInput(QString(GlobalParams::stringRef(PARAM_TWV_PATH)));
    else if (inputThread->isLive)
        CreateLiveInput();
}

void MainProcess::ResetAlignment() {
    if (inputThread && inputThread->camera.isOpened()) inputThread->camera.resetSelfCalibration();
}

void MainProcess::setContext() {
    if (!gui || !inputThread) return;
    // The views read the device matrices under the capture loop's frame lock,
    // so a paint never shows a frame that is half rewritten.
    gui->imageView->frameMutex = &inputThread->frameMutex;
    gui->depthView->frameMutex = &inputThread->frameMutex;
    gui->pointCloudView->frameMutex = &inputThread->frameMutex;
    gui->frameProbe->bind(&inputThread->pointCloudGPU, &inputThread->confidenceGPU, &inputThread->frameMutex);
    gui->imageView->cudaContext = inputThread->cudaContext;
    gui->pointCloudView->cudaContext = inputThread->cudaContext;
    gui->imageView->devicePtr = inputThread->imageGPU.getPtr<twl::uchar>(twl::MEM_GPU);
    gui->imageView->InitGLProcess(int(inputThread->imageGPU.getWidth()),
                                  int(inputThread->imageGPU.getHeight()),
                                  int(inputThread->imageGPU.getStepBytes(twl::MEM_GPU)));
    gui->depthView->cudaContext = inputThread->cudaContext;
    gui->depthView->devicePtr = inputThread->depthViewGPU.getPtr<twl::uchar>(twl::MEM_GPU);
    gui->depthView->InitGLProcess(int(inputThread->depthViewGPU.getWidth()),
                                  int(inputThread->depthViewGPU.getHeight()),
                                  int(inputThread->depthViewGPU.getStepBytes(twl::MEM_GPU)));
}

void MainProcess::UpdateSoftwareStatus() {
    if (busy || !gui) return;
    if (!inputThread) {
        reset();
        return;
    }
    if (noticeTicks > 0) --noticeTicks;
    if (!inputThread->isLive) {
        const std::vector<twl::DeviceProperties> devices = twl::Camera::getDeviceList();
        if (devices.empty()) {
            if (noticeTicks == 0) gui->statusLabel->setText(verboseText(twl::ERROR_CODE_CAMERA_NOT_DETECTED));
            gui->liveButton->setEnabled(false);
            memoryShortKey = -1; // a camera plugged in again is worth a new try
        } else {
            gui->liveButton->setEnabled(true);
            if (!inputThread->isFile && liveKey() != memoryShortKey) gui->liveButton->click();
        }
    }
    if (!verbose || !gui) return;
    refreshLoadLine();
}

void MainProcess::refreshLoadLine() {
    GlobalParams::stringRef(PARAM_STATUS_TEXT) = cpuGpuInfos.statusText();
    cpuGpuInfos.start();
}

QList<QUrl> MainProcess::dialogSideBar() {
    QList<QUrl> urls;
    for (QStandardPaths::StandardLocation location :
         {QStandardPaths::DesktopLocation, QStandardPaths::DocumentsLocation, QStandardPaths::HomeLocation,
          QStandardPaths::MoviesLocation, QStandardPaths::PicturesLocation}) {
        const QStringList paths = QStandardPaths::standardLocations(location);
        if (!paths.isEmpty()) urls << QUrl::fromLocalFile(paths.first());
    }
    urls << QUrl::fromLocalFile("/media");
    return urls;
}
