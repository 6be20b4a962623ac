#pragma once
// The application object: builds the window, decides which input is open,
// drives the one-second status tick, saves snapshots and stores the settings.

#include "app/ConfFileManager.h"
#include "monitor/CPUGPUInfos.h"
#include "twl/core/Types.h"

#include <QApplication>
#include <QList>
#include <QSet>
#include <QString>
#include <QUrl>

#include <atomic>

class GUI;
class InputThreadModul;
class QTimer;
class QDir;
class QShortcut;
class RecordingControl;

class MainProcess : public QApplication {
    Q_OBJECT
public:
    MainProcess(int &argc, char **argv);
    ~MainProcess() override;

    GUI *gui;
    InputThreadModul *inputThread;
    QTimer *statusTimer;
    QDir *saveDir;
    QShortcut *pauseShortcut;
    ConfFileManager confFileManager;
    CPUGPUInfos cpuGpuInfos;
    bool busy;
    bool verbose;
    bool useLastSettings;
    bool inputOpened;
    twl::ERROR_CODE lastOpenError;
    /// Calibration of a live camera that needs one (see InputThreadModul).
    QString calibrationFile;
    QString calibrationDirectory;
    /// Recording of the live camera (the record button, Ctrl+R).
    RecordingControl *recordingControl = nullptr;

    /// Longest time a snapshot waits for the capture loop to hand over a frame.
    static constexpr int kSnapshotWaitMs = 5000;
    /// Why a snapshot's wait for the capture loop came back.
    enum class SnapshotWait { Served, Stopped, TimedOut };

public slots:
    void setContext();
    void closeSoft();
    void reset();
    void CreateLiveInput();
    void CreateTWVInput(QString filename);
    void ResetWithQuality();
    void ResetAlignment();
    void SaveImage();
    void SaveDepth();
    void SavePointCloud();
    void ChooseTWVFile();
    void ChangeDirSave();
    void updateWindow();
    void ChangeInput(int);
    void UpdateSoftwareStatus();
    /// Starts recording the live camera, or ends the recording under way.
    void ToggleRecording();

private:
    void connectInputThread();
    void applyLastSettings();
    /// The stored look of the depth picture; applied whatever the command line says.
    void applyDepthLook();
    void saveSettings();
    QString askTwvFileName();
    QString snapshotSuffix();
    /// "Vantaro_REC" + the snapshot suffix + ".twv" in the snapshot folder,
    /// numbered when that name is taken.
    QString recordingPath();
    /// Ends a recording before the session it records goes.
    void endRecordingOfSession();

    /// Tears the current session down and prepares the next capture thread
    /// (the body of reset(), also used by the open slots).
    void resetInput();
    /// Ends the current capture thread (its loop is joined) and drops what
    /// the views and the event queue still hold of it.
    void deleteInputThread();
    /// Raises save request `flag` and waits for the capture loop to clear it:
    /// Stopped when the loop stopped or the session went away, TimedOut when
    /// no frame came within kSnapshotWaitMs.
    SnapshotWait waitForSnapshot(int flag);
    /// Shows `text` in the status line and keeps it there for a few ticks,
    /// so that the camera polling does not wipe a message at once.
    void showNotice(const QString &text);
    /// Opens the recording named on the command line, or says why it cannot.
    void openStartupFile(const QString &path);
    /// True when a newer open, reset or the shutdown took over since `generation`.
    bool superseded(quint64 generation) const;
    void setBusyCursor(bool on);
    /// Places offered in the side bar of the file and folder dialogs.
    static QList<QUrl> dialogSideBar();

    /// Rebuilds the load line from the sampler's last figures and starts its next run.
    void refreshLoadLine();

    /// The camera's image controls (MainProcessControls.cpp): the controls
    /// window's requests go to the capture thread, the thread's answers come
    /// back to the window, the status line and the stored values.
    void wireCameraControls();
    void connectCameraControls(QObject *receiver);
    /// Right after a live open: the values stored for this camera go in
    /// again, and the window shows its controls. True when all were taken.
    bool restoreCameraControls(InputThreadModul *thread);
    void showControlRefusal(const QString &name, int error);
    /// The serial number the open camera's control values are stored under.
    quint32 controlSerial = 0;

    /// Once a second during playback: names a frame the loop skipped, and
    /// ends a recording of which no frame could be decoded for a while.
    void watchPlayback();

    /// Connects the capture thread's signals through a receiver of its own,
    /// so that tearing the session down drops exactly its queued calls.
    QObject *sessionReceiver = nullptr;
    /// Resolution and depth mode at which the camera last ran out of GPU
    /// memory: the status tick does not retry those on its own (-1: none).
    int memoryShortKey = -1;
    int liveKey() const;
    /// Tells standard error why the command line's recording did not open.
    void reportStartupFailure(const QString &path, const QString &reason);
    /// The recording named on the command line, until its open is decided:
    /// a failure is also told on standard error.
    QString startupFile;
    /// Frame playback stepped over, shown in the status line for a few ticks.
    int skipNoticeTicks = 0;

    quint64 openGeneration = 0;
    QString calibrationWarning; // the last calibration problem shown, so each shows once
    QSet<quint32> uncalibratedSaid;
    int noticeTicks = 0;
    QTimer *playbackWatch = nullptr;
    QTimer *loadTimer = nullptr; // keeps the load line current while an input is open
    int framesSinceWatch = 0;
    int stalledSeconds = 0;

public:
    /// Seconds without a frame, while playing and not paused, after which a
    /// recording counts as unreadable.
    static constexpr int kPlaybackStallSeconds = 5;
};
