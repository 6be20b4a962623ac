#include "app/RecordingControl.h"

#include "app/AppLog.h"
#include "capture/InputThreadModul.h"
#include "gui/GUI.h"
#include "twl/Camera.h"

#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const char *const kPermissionHint = "Make sure you have permissions to write files in the selected folder.";

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

/// Why the disk refused a recording, in a user's words.
QString failureText(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return "The disk is full";
    case EFBIG:
        return "The recording reached the largest file this disk takes";
    case 0:
        return "Writing the recording failed";
    default:
        return "Writing the recording failed (" + systemText(error) + ")";
    }
}

QString thousands(qint64 n) {
    return QLocale(QLocale::English).toString(n);
}

QString frameCount(qint64 n) {
    return thousands(n) + (n == 1 ? " frame" : " frames");
}

} // namespace

RecordingControl::RecordingControl(QObject *parent) : QObject(parent), recorder_(new twl::TwvRecorder) {
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &RecordingControl::tick);
    // Runs on the writer thread: only a queued call crosses over.
    recorder_->setFailureCallback(
        [this] { QMetaObject::invokeMethod(this, "writerFailed", Qt::QueuedConnection); });
}

RecordingControl::~RecordingControl() {
    if (recorder_->isActive()) {
        const twl::TwvRecorder::Result r = recorder_->finish();
        qCInfo(lcApp).noquote() << "recording ended with the program:" << r.frames << "frames in"
                                << QString::fromStdString(r.path);
    }
}

void RecordingControl::setWindow(GUI *gui) {
    gui_ = gui;
}

bool RecordingControl::start(InputThreadModul *thread, const QString &path, twl::TwvCodec codec) {
    if (recorder_->isActive() || !thread || !thread->isLive || !thread->isRunning()) return false;
    const twl::Camera &camera = thread->camera;
    const twl::TwvHeader header =
        twl::twvHeaderFor(camera.getCameraInformation(), camera.getResolution(), camera.getCameraFPS());
    int error = 0;
    const twl::ERROR_CODE code = recorder_->start(path.toStdString(), header, codec, &error);
    if (code != twl::SUCCESS) {
        const QFileInfo info(path);
        const QString why = error == ENOSPC || error == EDQUOT ? QString("The disk is full.")
                            : error == EACCES || error == EROFS || error == ENOENT ? QString(kPermissionHint)
                            : error                                                ? systemText(error) + "."
                                    : QString(twl::toVerbose(code).c_str());
        QMessageBox box(
            QMessageBox::Critical, "Error",
            QString("Failed to start recording %1 in %2. %3").arg(info.fileName(), info.path(), why));
        box.exec();
        return false;
    }
    path_ = path;
    codecName_ = codec == twl::TwvCodec::Lossless ? "lossless" : "JPEG";
    clock_.start();
    history_.clear();
    noticeTicks_ = 0;
    qCInfo(lcApp).noquote() << "recording" << path << "at" << header.width << "x" << header.height
                            << header.fps << "fps," << codecName_;
    if (gui_) gui_->setRecording(true);
    tick();
    timer_.start();
    emit recordingChanged(true);
    return true;
}

void RecordingControl::stop(End why) {
    if (!recorder_->isActive()) return;
    // The queue is written out before the file closes: up to a second of frames.
    const QCursor before = gui_ ? gui_->cursor() : QCursor();
    if (gui_) gui_->setCursor(Qt::BusyCursor);
    const twl::TwvRecorder::Result result = recorder_->finish();
    if (gui_) gui_->setCursor(before);
    report(why, result);
}

void RecordingControl::writerFailed() {
    // Stop was pressed at the same moment: that call has reported already.
    if (!recorder_->isActive() || !recorder_->hasFailed()) return;
    report(End::User, recorder_->finish());
}

void RecordingControl::report(End why, const twl::TwvRecorder::Result &r) {
    if (gui_) gui_->setRecording(false);
    emit recordingChanged(false);
    const QString shown = QString::fromStdString(r.path);
    const QString name = QFileInfo(shown).fileName();
    const qint64 dropped = r.dropped + r.missed;
    qCInfo(lcApp).noquote() << "recording ended:" << r.frames << "frames," << dropped << "dropped, in"
                            << (r.kept ? shown : QString("no file"));
    timer_.stop();
    if (r.error != twl::SUCCESS) {
        // The live view goes on; the file holds every frame that was written.
        const QString kept = r.kept ? QString("%1 were kept in %2.").arg(frameCount(r.frames), shown)
                                    : QString("No frame could be kept.");
        showLine(QString("REC STOPPED: %1 · %2 kept")
                     .arg(failureText(r.systemError).toUpper(), frameCount(r.frames)),
                 true, shown, kLostTicks);
        if (why == End::Closing) return;
        // Shown from the event loop: an end inside a session's teardown must
        // not run a modal loop there.
        const QString text = failureText(r.systemError) + ": the recording stopped.\n\n" + kept;
        QTimer::singleShot(0, this, [text] {
            QMessageBox box(QMessageBox::Warning, "Warning", text);
            box.exec();
        });
        return;
    }
    if (why == End::Closing) return;
    if (!r.kept) {
        showLine("Nothing recorded: no frame came", false, QString(), kSavedTicks);
        return;
    }
    const QString counted = dropped > 0
                                ? QString("%1, %2 dropped").arg(frameCount(r.frames), thousands(dropped))
                                : frameCount(r.frames);
    if (why == End::CameraLost)
        showLine(QString("Camera lost: saved %1 in %2").arg(frameCount(r.frames), shown), true, shown,
                 kLostTicks);
    else
        showLine(QString("Saved %1 (%2)").arg(name, counted), dropped > 0, shown, kSavedTicks);
}

void RecordingControl::showLine(const QString &text, bool warning, const QString &details, int ticks) {
    noticeTicks_ = ticks;
    notice_ = {text, details, warning};
    if (gui_) gui_->setRecordText(text, warning, details);
    if (ticks > 0) timer_.start();
}

void RecordingControl::tick() {
    if (!gui_) return;
    if (!recorder_->isActive()) {
        // Set again each tick: the status text before it may have changed.
        if (noticeTicks_ > 0 && --noticeTicks_ > 0) {
            gui_->setRecordText(notice_.text, notice_.warning, notice_.details);
            return;
        }
        timer_.stop();
        gui_->setRecordText(QString());
        return;
    }
    const twl::TwvRecorder::Stats s = recorder_->stats();
    const qint64 now = clock_.elapsed();
    history_.emplace_back(now, qint64(s.bytes));
    while (history_.size() > 6)
        history_.pop_front();
    const double seconds = double(history_.back().first - history_.front().first) / 1000.0;
    const double rate =
        seconds > 0 ? double(history_.back().second - history_.front().second) / seconds : 0.0;
    const bool lowSpace = s.freeBytes >= 0 && s.freeBytes < lowSpaceThreshold(rate);
    const bool lost = s.dropped + s.missed > 0;
    QString details = path_ + "\n" + codecName_ + ", queue " + QString::number(s.queued) + " of " +
                      QString::number(s.queueCapacity) + " frames";
    if (lost)
        details += QString("\n%1 dropped: the disk fell behind; %2 missed: the capture was busy")
                       .arg(thousands(s.dropped), thousands(s.missed));
    if (lowSpace) details += "\nLittle free space left: the recording stops when the disk is full";
    gui_->setRecordText(statusText(now, s), lowSpace || lost, details);
}

QString RecordingControl::statusText(qint64 elapsedMs, const twl::TwvRecorder::Stats &s) {
    const qint64 total = elapsedMs / 1000;
    const QString time = QString("%1:%2:%3")
                             .arg(total / 3600, 2, 10, QChar('0'))
                             .arg(total / 60 % 60, 2, 10, QChar('0'))
                             .arg(total % 60, 2, 10, QChar('0'));
    QString text =
        QString("REC %1 · %2 · %3 · %4 dropped")
            .arg(time, formatBytes(qint64(s.bytes)), frameCount(s.written), thousands(s.dropped + s.missed));
    if (s.freeBytes >= 0) text += " · " + formatBytes(s.freeBytes) + " free";
    return text;
}

QString RecordingControl::formatBytes(qint64 bytes) {
    const double b = double(bytes);
    if (b < 1e6) return QString::number(qint64(b / 1e3)) + " KB";
    if (b < 1e9) return QString::number(qint64(b / 1e6)) + " MB";
    if (b < 1e10) return QString::number(b / 1e9, 'f', 1) + " GB";
    if (b < 1e12) return QString::number(qint64(b / 1e9)) + " GB";
    return QString::number(b / 1e12, 'f', 1) + " TB";
}

qint64 RecordingControl::lowSpaceThreshold(double bytesPerSecond) {
    return std::max(kLowSpaceFloor, qint64(60.0 * bytesPerSecond));
}
