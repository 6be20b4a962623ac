// The camera's image controls between the controls window, the capture
// thread that owns the device, and the values stored per camera.
#include "app/CameraControlSettings.h"
#include "app/MainProcess.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/CameraControlsWindow.h"
#include "gui/GUI.h"

#include <QLabel>
#include <QTimer>

namespace {
/// Where the values live: beside the other settings (ConfFileManager's names).
CameraControlSettings store() {
    return CameraControlSettings("Tarnwell", GlobalParams::stringRef(PARAM_WINDOW_TITLE));
}
// How long a refusal stays in the status line before the state's text returns.
constexpr int kRefusalShownMs = 5000;
} // namespace

void MainProcess::wireCameraControls() {
    CameraControlsWindow *window = gui->cameraControlsWindow;
    connect(window, &CameraControlsWindow::controlChanged, this, [this](quint32 id, int value) {
        if (inputThread && inputThread->isLive) inputThread->requestControl(id, value);
    });
    connect(window, &CameraControlsWindow::resetRequested, this, [this]() {
        if (!inputThread || !inputThread->isLive) return;
        store().forget(controlSerial);
        if (gui) gui->cameraControlsWindow->showMessage(QString());
        inputThread->requestControlReset();
    });
}

void MainProcess::connectCameraControls(QObject *receiver) {
    connect(inputThread, &InputThreadModul::controlsChanged, receiver, [this]() {
        if (gui && inputThread && inputThread->isLive)
            gui->cameraControlsWindow->setControls(inputThread->cameraControls());
    });
    connect(inputThread, &InputThreadModul::controlTaken, receiver,
            [this](const QString &key, int value) { store().store(controlSerial, key, value); });
    connect(inputThread, &InputThreadModul::controlRefused, receiver,
            [this](const QString &name, int error) { showControlRefusal(name, error); });
}

bool MainProcess::restoreCameraControls(InputThreadModul *thread) {
    controlSerial = thread->camera.getCameraInformation(twl::Resolution(0, 0)).serial_number;
    const std::vector<twl::ControlRefusal> refused = thread->restoreControls(store().values(controlSerial));
    CameraControlsWindow *window = gui->cameraControlsWindow;
    window->setControls(thread->cameraControls());
    QStringList names;
    for (const twl::ControlRefusal &r : refused)
        names << QString("%1 (%2)").arg(QString::fromStdString(r.name),
                                        QString::fromStdString(twl::controlRefusalText(r.error)));
    if (!names.isEmpty()) window->showMessage("The camera refused stored values: " + names.join(", ") + ".");
    return refused.empty();
}

void MainProcess::showControlRefusal(const QString &name, int error) {
    if (!gui) return;
    const QString reason = QString::fromStdString(twl::controlRefusalText(error));
    const QString text = name.toUpper() + " REFUSED";
    gui->statusLabel->setText(text);
    gui->statusLabel->setToolTip(name + ": " + reason);
    gui->cameraControlsWindow->showMessage(
        QString("%1: the camera refused the value (%2).").arg(name, reason));
    QTimer::singleShot(kRefusalShownMs, this, [this, text]() {
        if (gui && gui->inputState == 2 && gui->statusLabel->text() == text) {
            gui->statusLabel->setText("LIVE");
            gui->statusLabel->setToolTip(QString());
        }
    });
}
