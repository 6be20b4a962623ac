// vantaro-bench record [--seconds S] [--cases LIST] [--dir DIR]
//
// The whole viewer on the virtual camera, recording from its record button.
// Each case (resolution, rate, codec) runs three phases on the same live
// session: S/2 seconds without recording, S seconds recording, S/2 seconds
// without again, so that the shown rate while recording is compared with
// the rate without in the same run and under the same load. Printed per
// case: frames grabbed, recorded and dropped (by the queue; missed: gaps in
// the camera's timeline before the recorder), shown rates, the writer's CPU
// time per frame, the queue's peak, the peak memory of each phase, and the
// file read back (frames, gaps). Default cases: HD720 at 30 fps with each
// codec, VGA at 100 fps and HD2K at 15 fps with JPEG, 30 s of recording each.
#include "bench/Benchmarks.h"
#include "bench/ViewerProbe.h"

#include "app/RecordingControl.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/Camera.h"
#include "twl/core/ModeTable.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvRecorder.h"

#include <QComboBox>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace viewerbench;

struct Case {
    QString name;
    int resolution = 2;
    int fps = 30;
    twl::TwvCodec codec = twl::TwvCodec::Jpeg;
};

bool parseCase(const QString &text, Case *c) {
    // RESOLUTION@FPS-CODEC, e.g. HD720@30-jpeg
    const QStringList parts = text.split(QRegExp("[@-]"));
    if (parts.size() != 3) return false;
    c->name = text;
    c->resolution = twl::resolutionIndexByName(parts[0].toUpper().toStdString());
    c->fps = parts[1].toInt();
    const QString codec = parts[2].toLower();
    if (c->resolution < 0 || !twl::isFrameRateAllowed(c->resolution, c->fps)) return false;
    if (codec != "jpeg" && codec != "lossless") return false;
    c->codec = codec == "lossless" ? twl::TwvCodec::Lossless : twl::TwvCodec::Jpeg;
    return true;
}

double loadNow() {
    QFile f("/proc/loadavg");
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toDouble() : 0.0;
}

/// Peak resident memory (MB) since the last resetPeakMemory().
double peakMemoryMb() {
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

void resetPeakMemory() {
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly)) f.write("5");
}

/// What one phase measured.
struct Phase {
    double seconds = 0, grabbedFps = 0, shownFps = 0, captureCpuMsPerGrab = 0, peakMb = 0;
};

Phase measure(ViewerProbe &probe, double seconds) {
    resetPeakMemory();
    const std::map<QString, double> before = threadCpuMs();
    probe.startMeasuring();
    QElapsedTimer clock;
    clock.start();
    sleepInLoop(seconds);
    probe.stopMeasuring();
    Phase p;
    p.seconds = double(clock.nsecsElapsed()) / 1e9;
    p.grabbedFps = double(probe.grabbed()) / p.seconds;
    long shown = probe.shown(0);
    for (int v = 1; v < ViewerProbe::ViewCount; ++v)
        shown = std::min(shown, probe.shown(v));
    p.shownFps = double(shown) / p.seconds;
    double capture = 0;
    for (const auto &entry : threadCpuMs()) {
        if (!entry.first.startsWith("InputThread")) continue;
        const auto was = before.find(entry.first);
        capture += entry.second - (was == before.end() ? 0.0 : was->second);
    }
    p.captureCpuMsPerGrab = capture / double(std::max(1L, probe.grabbed()));
    p.peakMb = peakMemoryMb();
    return p;
}

const char *usage =
    "usage: vantaro-bench record [--seconds S] [--cases HD720@30-jpeg,VGA@100-jpeg,...] [--dir DIR]\n";

} // namespace

int runRecordBenchmark(int argc, char **argv) {
    double seconds = 30;
    QString dirOption;
    QStringList caseNames = {"HD720@30-jpeg", "HD720@30-lossless", "VGA@100-jpeg", "HD2K@15-jpeg"};
    for (int i = 1; i < argc; ++i) {
        const QString a = argv[i];
        if (i + 1 >= argc) return std::fprintf(stderr, "%s", usage), 2;
        if (a == "--seconds")
            seconds = std::atof(argv[++i]);
        else if (a == "--cases")
            caseNames = QString(argv[++i]).split(',');
        else if (a == "--dir")
            dirOption = QString::fromLocal8Bit(argv[++i]);
        else
            return std::fprintf(stderr, "%s", usage), 2;
    }
    std::vector<Case> cases;
    for (const QString &name : caseNames) {
        Case c;
        if (!parseCase(name, &c)) {
            std::fprintf(stderr, "vantaro-bench record: not a case: %s (RESOLUTION@FPS-jpeg|lossless)\n",
                         name.toLocal8Bit().constData());
            return 2;
        }
        cases.push_back(c);
    }
    if (seconds <= 0) return std::fprintf(stderr, "%s", usage), 2;

    // A home of its own; the recordings go to --dir, else into it.
    QTemporaryDir home;
    if (!home.isValid()) return std::fprintf(stderr, "vantaro-bench record: no temporary folder\n"), 1;
    useHome(home.path());
    qputenv("VANTARO_VIRTUAL_CAMERA", "1");
    const QString target = dirOption.isEmpty() ? home.path() + "/recordings" : dirOption;
    QDir().mkpath(target);

    QStandardPaths::setTestModeEnabled(true);
    MainProcess app(appArgc(), appArgv());
    GUI *gui = app.gui;
    ViewerProbe probe(&app, gui->imageView, gui->depthView, gui->pointCloudView);
    const int cores = QThread::idealThreadCount();

    int status = 0;
    QMetaObject::Connection counting;
    QTimer::singleShot(0, &app, [&] {
        for (const Case &c : cases) {
            gui->resolutionCombo->setCurrentIndex(c.resolution);
            gui->fpsCombo->setCurrentIndex(twl::frameRateIndex(c.fps));
            gui->recordCodecCombo->setCurrentIndex(c.codec == twl::TwvCodec::Lossless ? 1 : 0);
            const bool live = waitFor(
                [&] {
                    InputThreadModul *t = app.inputThread;
                    return t && t->isLive && t->isRunning() && !app.busy && gui->inputState == 2 &&
                           t->camera.getResolution() == twl::resolutionSize(c.resolution) &&
                           int(t->camera.getCameraFPS()) == c.fps;
                },
                30000);
            if (!live) {
                std::fprintf(stderr, "vantaro-bench record: %s: the virtual camera did not open\n",
                             c.name.toLocal8Bit().constData());
                status = 1;
                break;
            }
            // A case at the size and rate of the one before keeps its session: count its frames once.
            QObject::disconnect(counting);
            counting = QObject::connect(
                app.inputThread, &InputThreadModul::SendImage, &probe, [&probe] { probe.emitted(); },
                Qt::DirectConnection);
            app.saveDir->setPath(target);
            sleepInLoop(3.0); // the scene and the first frames settle

            const double loadBefore = loadNow();
            const Phase idle1 = measure(probe, seconds / 2);
            app.ToggleRecording();
            if (!app.recordingControl->isRecording()) {
                std::fprintf(stderr, "vantaro-bench record: %s: the recording did not start\n",
                             c.name.toLocal8Bit().constData());
                status = 1;
                break;
            }
            const QString path = app.recordingControl->path();
            const Phase rec = measure(probe, seconds);
            const twl::TwvRecorder::Stats s = app.recordingControl->recorder()->stats();
            QElapsedTimer stopClock;
            stopClock.start();
            app.ToggleRecording();
            const double stopMs = double(stopClock.nsecsElapsed()) / 1e6;
            const twl::TwvRecorder::Stats after = app.recordingControl->recorder()->stats();
            const Phase idle2 = measure(probe, seconds / 2);
            const double loadAfter = loadNow();

            // The file as a user would check it.
            twl::TwvReader reader;
            int fileFrames = -1;
            int64_t gaps = 0;
            double fileMb = 0;
            if (reader.open(path.toStdString()) == twl::SUCCESS) {
                fileFrames = reader.frameCount();
                fileMb = double(reader.fileSize()) / 1e6;
                uint64_t previous = 0, t = 0;
                for (int i = 0; i < fileFrames; ++i)
                    if (reader.readTimestamp(i, &t) == twl::SUCCESS) {
                        gaps += twl::framesMissingBetween(previous, t, reader.header().fps);
                        previous = t;
                    }
            }
            reader.close();
            if (dirOption.isEmpty()) QFile::remove(path);

            const double idleShown = (idle1.shownFps * idle1.seconds + idle2.shownFps * idle2.seconds) /
                                     (idle1.seconds + idle2.seconds);
            const double idleGrabbed = (idle1.grabbedFps * idle1.seconds + idle2.grabbedFps * idle2.seconds) /
                                       (idle1.seconds + idle2.seconds);
            std::printf(
                "{\"bench\":\"record\",\"case\":\"%s\",\"record_seconds\":%s,\"load_average\":[%s,%s],"
                "\"cores\":%d,\"frames_grabbed\":%lld,\"frames_recorded\":%lld,\"frames_dropped\":%lld,"
                "\"frames_missed\":%lld,\"grabbed_fps\":{\"idle\":%s,\"recording\":%s},"
                "\"shown_fps\":{\"idle\":%s,\"recording\":%s,\"ratio\":%s},"
                "\"writer_cpu_ms_per_frame\":%s,\"capture_cpu_ms_per_grab\":{\"idle\":%s,\"recording\":%s},"
                "\"queue_peak\":%d,\"queue_capacity\":%d,\"peak_memory_mb\":{\"idle\":%s,\"recording\":%s},"
                "\"stop_ms\":%s,\"file\":{\"frames\":%d,\"gaps\":%lld,\"mb\":%s,\"mb_per_s\":%s}}\n",
                c.name.toUtf8().constData(), fixed(rec.seconds, 1).toUtf8().constData(),
                fixed(loadBefore).toUtf8().constData(), fixed(loadAfter).toUtf8().constData(), cores,
                static_cast<long long>(after.offered), static_cast<long long>(after.written),
                static_cast<long long>(after.dropped), static_cast<long long>(after.missed),
                fixed(idleGrabbed).toUtf8().constData(), fixed(rec.grabbedFps).toUtf8().constData(),
                fixed(idleShown).toUtf8().constData(), fixed(rec.shownFps).toUtf8().constData(),
                fixed(idleShown > 0 ? rec.shownFps / idleShown : 0.0, 3).toUtf8().constData(),
                fixed(double(after.writerCpuNs) / 1e6 / double(std::max<int64_t>(1, after.written)))
                    .toUtf8()
                    .constData(),
                fixed(std::max(idle1.captureCpuMsPerGrab, idle2.captureCpuMsPerGrab)).toUtf8().constData(),
                fixed(rec.captureCpuMsPerGrab).toUtf8().constData(), after.queuePeak, s.queueCapacity,
                fixed(std::max(idle1.peakMb, idle2.peakMb), 0).toUtf8().constData(),
                fixed(rec.peakMb, 0).toUtf8().constData(), fixed(stopMs, 0).toUtf8().constData(), fileFrames,
                static_cast<long long>(gaps), fixed(fileMb, 1).toUtf8().constData(),
                fixed(fileMb / rec.seconds, 1).toUtf8().constData());
            std::fflush(stdout);
        }
        gui->close();
        app.quit();
    });
    const int code = app.exec();
    return status != 0 ? status : code;
}
