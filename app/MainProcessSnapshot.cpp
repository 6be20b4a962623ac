// Snapshots of the current image, depth map or point cloud.
#include "app/MainProcess.h"
#include "capture/InputThreadModul.h"
#include "gui/GUI.h"
#include "twl/Camera.h"
#include "twl/io/Export.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

namespace {

const char *const kPermissionHint = "Make sure you have permissions to write files in the selected folder.";

enum SaveFlag { SaveLeft = 0, SaveRight = 1, SaveSideBySide = 2, SaveDepthMap = 3, SaveCloud = 4 };

// A wait that ended without a frame is not the folder's fault.
const char *const kTimedOutHint = "The capture made no progress: no frame came within %1 s.";
const char *const kStoppedHint = "The input stopped before a frame could be taken.";

void reportSave(bool ok, const QString &path, const char *success, const char *failure,
                const QString &why = kPermissionHint) {
    const QFileInfo info(path);
    if (ok) {
        QMessageBox box(QMessageBox::Information, "Success",
                        QString(success).arg(info.fileName(), info.path()));
        box.exec();
    } else {
        QMessageBox box(QMessageBox::Critical, "Error",
                        QString(failure).arg(info.fileName(), info.path(), why));
        box.exec();
    }
}

QString waitFailure(MainProcess::SnapshotWait wait) {
    if (wait == MainProcess::SnapshotWait::TimedOut)
        return QString(kTimedOutHint).arg(MainProcess::kSnapshotWaitMs / 1000);
    if (wait == MainProcess::SnapshotWait::Stopped) return kStoppedHint;
    return kPermissionHint;
}

twl::String toTwlPath(const QString &path) {
    return twl::String(path.toUtf8().toStdString());
}

} // namespace

QString MainProcess::snapshotSuffix() {
    const QDateTime now = QDateTime::currentDateTime();
    const uint32_t serial = inputThread->camera.getCameraInformation(twl::Resolution(0, 0)).serial_number;
    return "_" + QString::number(serial) + "_" + QString::number(inputThread->imageGPU.getHeight()) + "_" +
           now.toString("dd-MM-yyyy") + "-" + now.toString("hh-mm-ss");
}

MainProcess::SnapshotWait MainProcess::waitForSnapshot(int flag) {
    // The loop serves a request only after a good grab. It may never get one
    // (the camera was pulled, the recording broke) or stop altogether, so the
    // wait gives up instead of freezing the window.
    InputThreadModul *thread = inputThread;
    thread->saveRequest[flag] = true;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QThread::msleep(2);
        if (!thread->saveRequest[flag]) return SnapshotWait::Served;
        if (!thread->isRunning() || !thread->opened) {
            thread->saveRequest[flag] = false;
            return SnapshotWait::Stopped;
        }
        if (clock.elapsed() > kSnapshotWaitMs) break;
    }
    thread->saveRequest[flag] = false;
    return SnapshotWait::TimedOut;
}

void MainProcess::SaveImage() {
    if (!gui || !inputThread || !inputThread->isRunning()) return;
    const int row = gui->imageSaveCombo->currentIndex();
    const char *prefix = row == 1 ? "Vantaro_Right" : row == 2 ? "Vantaro_SbS" : "Vantaro_Left";
    const int flag = row == 1 ? SaveRight : row == 2 ? SaveSideBySide : SaveLeft;
    const QString path = saveDir->path() + "/" + prefix + snapshotSuffix() + ".png";

    const SnapshotWait wait = waitForSnapshot(flag);
    bool ok = wait == SnapshotWait::Served;
    if (ok) {
        twl::Mat &mat = row == 2 ? inputThread->imageCPU[1] : inputThread->imageCPU[0];
        const QImage image(mat.getPtr<twl::uchar>(twl::MEM_CPU), int(mat.getWidth()), int(mat.getHeight()),
                           int(mat.getStepBytes(twl::MEM_CPU)), QImage::Format_ARGB32);
        // Written under a temporary name and renamed, so no half-written PNG is left behind.
        QSaveFile file(path);
        ok = !image.isNull() && file.open(QIODevice::WriteOnly) && image.save(&file, "PNG") && file.commit();
    }
    reportSave(ok, path, "Current image %1 saved in %2 .", "Failed to save current image %1 in %2. %3",
               waitFailure(wait));
}

void MainProcess::SaveDepth() {
    if (!gui || !inputThread || !inputThread->isRunning()) return;
    static const char *const names[] = {"PNG", "PFM", "PGM"};
    int row = gui->depthFormatCombo->currentIndex();
    if (row < 0 || row > 2) row = 0;
    const QString name = names[row];
    const QString path = saveDir->path() + "/depth_" + name + snapshotSuffix() + "." + name.toLower();
    // PNG and PGM hold 16-bit integers: millimetres keep the depth's
    // precision; whole metres would not. PFM keeps floats in metres.
    const float factor = row == 1 ? 1.0f : 1000.0f;

    const SnapshotWait wait = waitForSnapshot(SaveDepthMap);
    bool ok = wait == SnapshotWait::Served;
    if (ok) ok = twl::saveDepthAs(inputThread->depthCPU, twl::DEPTH_FORMAT(row), toTwlPath(path), factor);
    reportSave(ok, path, "Current depth %1 saved in %2 .", "Failed to save current depth %1 in %2. %3",
               waitFailure(wait));
}

void MainProcess::SavePointCloud() {
    if (!gui || !inputThread || !inputThread->isRunning()) return;
    static const char *const suffixes[] = {"_XZY", "_PCD", "_PLY", "_VTK"};
    static const char *const extensions[] = {"xyz", "pcd", "ply", "vtk"};
    int row = gui->pointCloudFormatCombo->currentIndex();
    if (row < 0 || row > 3) row = 0;
    const QString path =
        saveDir->path() + "/point_cloud" + suffixes[row] + snapshotSuffix() + "." + extensions[row];
    const bool withColor = row == 1 || row == 2;

    const SnapshotWait wait = waitForSnapshot(SaveCloud);
    bool ok = wait == SnapshotWait::Served;
    if (ok)
        ok = twl::savePointCloudAs(inputThread->pointCloudCPU, twl::POINT_CLOUD_FORMAT(row), toTwlPath(path),
                                   withColor);
    reportSave(ok, path, "Current point cloud %1 saved in %2 .",
               "Failed to save current point cloud %1 in %2. %3", waitFailure(wait));
}

void MainProcess::ChangeDirSave() {
    if (!gui) return;
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    dialog.setDirectory(saveDir->path());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    dialog.setSidebarUrls(dialogSideBar());
    dialog.move(gui->x() + gui->width() / 2 - dialog.width() / 2,
                gui->height() / 2 - dialog.height() / 2 + gui->y());
    dialog.exec();
    saveDir->setPath(dialog.directory().path());
}
