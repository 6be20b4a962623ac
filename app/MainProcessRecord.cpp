// Recording the live camera from the window: the record button and Ctrl+R.
#include "app/MainProcess.h"
#include "app/RecordingControl.h"
#include "capture/InputThreadModul.h"
#include "gui/GUI.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>

void MainProcess::ToggleRecording() {
    if (!gui || !recordingControl) return;
    if (recordingControl->isRecording()) {
        recordingControl->stop(RecordingControl::End::User);
        return;
    }
    if (busy || !inputThread || !inputThread->isLive || !inputThread->isRunning()) return;
    const twl::TwvCodec codec =
        gui->recordCodecCombo->currentIndex() == 1 ? twl::TwvCodec::Lossless : twl::TwvCodec::Jpeg;
    // Unlike a snapshot, a recording makes its folder: a missing one should
    // not cost the moment the user wanted to keep.
    if (!saveDir->exists()) QDir().mkpath(saveDir->absolutePath());
    recordingControl->start(inputThread, recordingPath(), codec);
}

QString MainProcess::recordingPath() {
    const QString stem = saveDir->path() + "/Vantaro_REC" + snapshotSuffix();
    // Two recordings within a second must not share a name: the second one
    // would replace the first.
    QString path = stem + ".twv";
    for (int n = 2; QFileInfo::exists(path) || QFileInfo::exists(path + ".partial"); ++n)
        path = stem + "_" + QString::number(n) + ".twv";
    return path;
}

void MainProcess::endRecordingOfSession() {
    if (!recordingControl || !recordingControl->isRecording()) return;
    // The capture loop clears `opened` when the camera went away.
    const bool lost = inputThread && inputThread->isLive && !inputThread->opened;
    recordingControl->stop(lost ? RecordingControl::End::CameraLost : RecordingControl::End::InputChanged);
}
