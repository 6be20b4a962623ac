// Start-up, wiring and shutdown of the application object.
#include "app/MainProcess.h"

#include "app/CommandLineOptions.h"
#include "app/RecordingControl.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "gui/LogoScreen.h"
#include "render/GlSurface.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/twv/TwvFormat.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QSurfaceFormat>
#include <QTimer>
#include <QToolButton>

#include <cstdio>

MainProcess::MainProcess(int &argc, char **argv)
    : QApplication(argc, argv), gui(nullptr), inputThread(nullptr), statusTimer(nullptr), saveDir(nullptr),
      pauseShortcut(nullptr), busy(false), verbose(false), useLastSettings(true), inputOpened(false),
      lastOpenError(twl::SUCCESS) {
    const CommandLineOptions options = CommandLineOptions::parse(QCoreApplication::arguments());
    verbose = options.verbose;
    useLastSettings = options.useLastSettings;

    GlobalParams::reset();
    GlobalParams::setInt(PARAM_TWV_STEP, 1);
    GlobalParams::stringRef(PARAM_WINDOW_TITLE) = "Vantaro";

    statusTimer = new QTimer;
    busy = false;

    if (verbose) cpuGpuInfos.prepare();

    QSurfaceFormat format;
    format.setSamples(GlSurface::preferredSamples());
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    QSurfaceFormat::setDefaultFormat(format);

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const int W = screen.width();
    const int H = screen.height();

    gui = new GUI();
    gui->buildInterface();
    gui->setGeometry(int(W * 0.05), int(H * 0.05), int(W * 0.9), int(H * 0.9));
    gui->show();

    gui->PrintVEXOSDKVersion();
    gui->setInputState(0, 0);
    gui->statusLabel->setText(twl::toVerbose(twl::ERROR_CODE_CAMERA_NOT_DETECTED).c_str());

    QCoreApplication::processEvents();
    gui->logoScreen->show();

    gui->maxRangeSlider->setValue(GlobalParams::kStartDepthMaxMm);
    gui->confidenceSlider->setValue(100);

    gui->resolutionIndex = options.resolutionIndex;
    gui->fpsIndex = options.fpsIndex;
    gui->keepFpsOnResolutionChange = true;

    confFileManager.readSettings(GlobalParams::stringRef(PARAM_WINDOW_TITLE).toStdString());
    if (useLastSettings) applyLastSettings();
    applyDepthLook();
    calibrationFile = options.calibrationFile;
    calibrationDirectory = confFileManager.calibrationDir();
    gui->recordCodecCombo->setCurrentIndex(confFileManager.readRecordCodec());
    recordingControl = new RecordingControl(this);
    recordingControl->setWindow(gui);

    saveDir = new QDir(QString());
    saveDir->setPath(QString::fromStdString(confFileManager.storedSaveDir));
    if (!saveDir->exists()) {
        if (saveDir->mkdir(saveDir->absolutePath())) {
            std::printf("Create Dir for save : %s\n", saveDir->absolutePath().toUtf8().constData());
            std::fflush(stdout);
        }
    }

    const int resolutionIndex = gui->resolutionIndex;
    const int fpsIndex = gui->fpsIndex;
    gui->resolutionCombo->setCurrentIndex(resolutionIndex);
    gui->fpsCombo->setCurrentIndex(fpsIndex);
    if (resolutionIndex == 0) gui->changeRes(0, false);

    pauseShortcut =
        new QShortcut(QKeySequence("space"), gui->pointCloudView, nullptr, nullptr, Qt::WindowShortcut);

    connect(pauseShortcut, &QShortcut::activated, gui->pauseButton, &QToolButton::click);
    connect(gui, &GUI::sendTWVWork, this, &MainProcess::CreateTWVInput);
    connect(gui, &GUI::sendClose, this, &MainProcess::closeSoft);
    connect(gui->stopButton, &QToolButton::clicked, this, &MainProcess::reset);
    connect(gui, &GUI::QualityHasChanged, this, &MainProcess::ResetWithQuality);
    connect(gui->saveImageButton, &QToolButton::clicked, this, &MainProcess::SaveImage);
    connect(gui->saveDepthButton, &QToolButton::clicked, this, &MainProcess::SaveDepth);
    connect(gui->savePointCloudButton, &QToolButton::clicked, this, &MainProcess::SavePointCloud);
    connect(gui->selectDirButton, &QToolButton::clicked, this, &MainProcess::ChangeDirSave);
    connect(statusTimer, &QTimer::timeout, this, &MainProcess::UpdateSoftwareStatus);
    connect(gui, &GUI::changeInput, this, &MainProcess::ChangeInput);
    connect(gui->liveButton, &QToolButton::clicked, this, &MainProcess::CreateLiveInput);
    connect(gui->loadFileButton, &QToolButton::clicked, this, &MainProcess::ChooseTWVFile);
    connect(gui->recordButton, &QToolButton::clicked, this, &MainProcess::ToggleRecording);

    wireCameraControls();

    playbackWatch = new QTimer(this);
    playbackWatch->setInterval(1000);
    connect(playbackWatch, &QTimer::timeout, this, &MainProcess::watchPlayback);

    if (verbose) {
        // The status tick stops while an input is open, which is exactly
        // when the load matters: sample on our own clock then.
        loadTimer = new QTimer(this);
        connect(loadTimer, &QTimer::timeout, this, [this]() {
            if (!statusTimer->isActive()) refreshLoadLine();
        });
        loadTimer->start(1000);
    }

    statusTimer->start(1000);

    if (!options.fileToOpen.isEmpty()) openStartupFile(options.fileToOpen);
}

MainProcess::~MainProcess() {
    // The sampler may be in the middle of a run started by the last tick.
    cpuGpuInfos.wait();
    // Normally closeSoft() has ended the session already; an application
    // torn down without its window closing must not leave the loop running.
    deleteInputThread();
    delete gui;
    delete statusTimer;
    delete saveDir;
}

void MainProcess::openStartupFile(const QString &path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        std::fprintf(stderr, "vantaro: %s: is a directory\n", path.toLocal8Bit().constData());
        showNotice(QString("IS A DIRECTORY : %1").arg(info.fileName()));
        return;
    }
    if (!info.exists() || !info.isFile()) {
        std::fprintf(stderr, "vantaro: %s: no such file\n", path.toLocal8Bit().constData());
        showNotice(QString("FILE NOT FOUND : %1").arg(info.fileName()));
        return;
    }
    if (!twl::isRecordingFileName(path.toStdString())) {
        std::fprintf(stderr, "vantaro: %s: not a .twv recording\n", path.toLocal8Bit().constData());
        showNotice(QString("NOT A TWV FILE : %1").arg(info.fileName()));
        return;
    }
    // Opened from the event loop, so that the window is up and the status
    // tick finds the recording open instead of starting a camera.
    const QString absolute = info.absoluteFilePath();
    startupFile = absolute;
    QTimer::singleShot(0, this, [this, absolute]() {
        if (gui) CreateTWVInput(absolute);
    });
}

void MainProcess::connectInputThread() {
    if (!inputThread) return;
    sessionReceiver = new QObject(this);
    QObject *receiver = sessionReceiver;
    connect(gui->imageView, &OGL2DWidget::init, inputThread, &InputThreadModul::enableToStart);
    connect(inputThread, &InputThreadModul::sendInitProcess, gui, &GUI::activStart);
    connect(inputThread, &InputThreadModul::sendInit2D, gui->imageView, &OGL2DWidget::InitGLProcess);
    connect(inputThread, &InputThreadModul::sendInit2D, gui->depthView, &OGL2DWidget::InitGLProcess);
    connect(inputThread, &InputThreadModul::sendInit3D, gui->pointCloudView, &OGL3DWidget::InitProcess);
    connect(inputThread, &InputThreadModul::sendVEXOParam, gui->pointCloudView, &OGL3DWidget::GetVEXOParam);
    connect(inputThread, &InputThreadModul::sendContext, receiver, [this] { setContext(); });
    connect(inputThread, &InputThreadModul::theEnd, receiver, [] { QCoreApplication::quit(); });
    connect(inputThread, &InputThreadModul::SendImage, receiver, [this] { updateWindow(); });
    connect(inputThread, &InputThreadModul::DetectVEXODisconnect, receiver, [this] { reset(); });
    connectCameraControls(receiver);
    inputThread->recorder = recordingControl ? recordingControl->recorder() : nullptr;
}

void MainProcess::closeSoft() {
    ++openGeneration;
    statusTimer->stop();
    if (loadTimer) loadTimer->stop();
    saveSettings();
    // The recording is finished before its session goes: the file is kept.
    if (recordingControl) recordingControl->stop(RecordingControl::End::Closing);
    deleteInputThread();
    cpuGpuInfos.wait();
    if (recordingControl) recordingControl->setWindow(nullptr);
    if (gui) {
        // We are inside the window's close event: it goes once that returns.
        GUI *window = gui;
        gui = nullptr;
        window->deleteLater();
    }
}

void MainProcess::updateWindow() {
    ++framesSinceWatch;
    if (gui) gui->updateImage();
}

void MainProcess::ChangeInput(int) {
    CreateLiveInput();
}
