#pragma once
// Recording the live camera from the window. Starts and ends the camera
// layer's recorder (which owns the queue, the writer thread and the file),
// keeps the recording line of the top band current once a second and says
// how each recording ended. Whatever ends it, the frames written stay in a
// playable file. GUI thread only; the recorder's writer reports a failure
// through a queued call.

#include "twl/twv/TwvRecorder.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <utility>

class GUI;
class InputThreadModul;

class RecordingControl : public QObject {
    Q_OBJECT
public:
    explicit RecordingControl(QObject *parent = nullptr);
    /// A recording still running is finished, and kept.
    ~RecordingControl() override;

    /// What ended a recording decides what the window says about it.
    enum class End { User, Closing, CameraLost, InputChanged };

    /// The window whose button and line show the recording; null once it goes.
    void setWindow(GUI *gui);
    /// For the capture thread of each live session.
    twl::TwvRecorder *recorder() const { return recorder_.get(); }
    bool isRecording() const { return recorder_->isActive(); }
    /// Starts recording `thread`'s live camera into `path`; false after
    /// saying why in an "Error" box.
    bool start(InputThreadModul *thread, const QString &path, twl::TwvCodec codec);
    /// Ends the recording under way, keeping its file; nothing when none runs.
    void stop(End why);
    /// The path of the recording under way (or of the last one).
    QString path() const { return path_; }

    /// "REC 00:01:23 · 1.2 GB · 2,490 frames · 0 dropped · 41 GB free".
    static QString statusText(qint64 elapsedMs, const twl::TwvRecorder::Stats &stats);
    /// Decimal units, as file managers show them: "812 MB", "1.2 GB", "41 GB".
    static QString formatBytes(qint64 bytes);
    /// Free space below which the line turns to the warning colour: a
    /// minute at `bytesPerSecond`, and never under kLowSpaceFloor.
    static qint64 lowSpaceThreshold(double bytesPerSecond);
    static constexpr qint64 kLowSpaceFloor = 512LL * 1000 * 1000;

    /// How long (status ticks of a second) a line stays after the end.
    static constexpr int kSavedTicks = 5;
    static constexpr int kLostTicks = 30;

signals:
    /// A recording started or ended.
    void recordingChanged(bool on);

private:
    void tick();
    /// The writer stopped on a failure (queued from its thread).
    Q_INVOKABLE void writerFailed();
    void report(End why, const twl::TwvRecorder::Result &result);
    void showLine(const QString &text, bool warning, const QString &details, int ticks);

    std::unique_ptr<twl::TwvRecorder> recorder_;
    QPointer<GUI> gui_;
    QTimer timer_;
    QElapsedTimer clock_;
    QString path_;
    QString codecName_;
    int noticeTicks_ = 0;
    struct Notice {
        QString text, details;
        bool warning = false;
    } notice_;
    /// (milliseconds since start, bytes written) of the last few ticks, for the current rate.
    std::deque<std::pair<qint64, qint64>> history_;
};
