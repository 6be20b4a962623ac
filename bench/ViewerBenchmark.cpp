// vantaro-bench viewer [--seconds S] [--mode PERFORMANCE|MEDIUM|QUALITY|ULTRA]
//                      [--file REC.twv] [--frames N] [--warmup S] [--pictures DIR]
//                      [--paint both|frugal|all]
//
// The real application object and window play an HD720 recording with all
// three views live, for a fixed wall time. Counted on the way:
//  - frames grabbed: SendImage() emissions of the capture thread;
//  - frames shown, per view: composed repaints (paint, then frameSwapped)
//    that carried a frame not shown before by that view;
//  - latency: from the SendImage() emission (clock read in the capture
//    thread) to the end of the repaint that shows that frame.
// A second JSON line breaks the time down: GUI-thread work per frame
// (updateWindow, which includes the point-cloud hand-over), each view's
// paint, and CPU time per thread from /proc.
// --paint: "all" repaints the old way (the slider at every frame, the whole
// point cloud), "frugal" the way the viewer does now, "both" (default) first
// the one and then the other in the same run, each for --seconds.
#include "bench/Benchmarks.h"
#include "bench/ViewerProbe.h"

#include "app/MainProcess.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/source/VirtualScene.h"
#include "twl/twv/TwvWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QOpenGLWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace viewerbench;

struct Options {
    double seconds = 10.0;
    double warmup = 2.0;
    int frames = 150;
    QString mode = "PERFORMANCE";
    QString file;
    QString pictures; // folder for each view's last picture, when given
    QString paint = "both";
};

bool parseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vantaro-bench viewer: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--seconds") {
            if (!(v = value("--seconds"))) return false;
            o->seconds = std::atof(v);
        } else if (a == "--warmup") {
            if (!(v = value("--warmup"))) return false;
            o->warmup = std::atof(v);
        } else if (a == "--frames") {
            if (!(v = value("--frames"))) return false;
            o->frames = std::atoi(v);
        } else if (a == "--mode") {
            if (!(v = value("--mode"))) return false;
            o->mode = QString(v).toUpper();
        } else if (a == "--pictures") {
            if (!(v = value("--pictures"))) return false;
            o->pictures = QString::fromLocal8Bit(v);
        } else if (a == "--paint") {
            if (!(v = value("--paint"))) return false;
            o->paint = QString(v).toLower();
        } else if (a == "--file") {
            if (!(v = value("--file"))) return false;
            o->file = QString::fromLocal8Bit(v);
        } else {
            std::fprintf(
                stderr,
                "usage: vantaro-bench viewer [--seconds S] [--mode PERFORMANCE|MEDIUM|QUALITY|ULTRA] "
                "[--file REC.twv] [--frames N] [--warmup S] [--pictures DIR] [--paint both|frugal|all]\n");
            return false;
        }
    }
    if (o->seconds <= 0 || o->warmup < 0 || o->frames < 2) {
        std::fprintf(stderr, "vantaro-bench viewer: seconds must be positive and frames at least 2\n");
        return false;
    }
    if (o->paint != "both" && o->paint != "frugal" && o->paint != "all") {
        std::fprintf(stderr, "vantaro-bench viewer: --paint takes both, frugal or all\n");
        return false;
    }
    static const char *const modes[] = {"PERFORMANCE", "MEDIUM", "QUALITY", "ULTRA"};
    if (std::none_of(std::begin(modes), std::end(modes), [&](const char *m) { return o->mode == m; })) {
        std::fprintf(stderr, "vantaro-bench viewer: unknown mode %s\n", o->mode.toLocal8Bit().constData());
        return false;
    }
    return true;
}

/// Writes `frames` HD720 pairs of the virtual scene at 30 fps (JPEG).
bool writeRecording(const std::string &path, int frames) {
    const twl::Resolution size(1280, 720);
    twl::VirtualScene scene(size);
    const twl::CalibrationParameters calib = twl::VirtualScene::calibration(size);
    twl::TwvHeader header;
    header.width = uint32_t(size.width);
    header.height = uint32_t(size.height);
    header.fps = 30.0f;
    header.serialNumber = 10042;
    header.firmwareVersion = 1523;
    header.model = 0;
    header.fx = calib.left_cam.fx;
    header.fy = calib.left_cam.fy;
    header.cx = calib.left_cam.cx;
    header.cy = calib.left_cam.cy;
    header.baseline = calib.baseline;
    header.hFov = calib.left_cam.h_fov;
    header.vFov = calib.left_cam.v_fov;
    header.codec = twl::TwvCodec::Jpeg;

    twl::TwvWriter writer;
    if (writer.open(path, header, twl::TwvCodec::Jpeg) != twl::SUCCESS) return false;
    cv::Mat left, right;
    const uint64_t frameNs = 1000000000ULL / 30;
    for (int i = 0; i < frames; ++i) {
        scene.render(double(i) / 30.0, left, right);
        if (writer.writeFrame(left, right, 1000000000ULL + uint64_t(i) * frameNs) != twl::SUCCESS)
            return false;
    }
    return writer.close() == twl::SUCCESS;
}

int modeQuality(const QString &mode) {
    if (mode == "MEDIUM") return twl::DEPTH_MODE_MEDIUM;
    if (mode == "QUALITY") return twl::DEPTH_MODE_QUALITY;
    if (mode == "ULTRA") return twl::DEPTH_MODE_ULTRA;
    return twl::DEPTH_MODE_PERFORMANCE;
}

QToolButton *modeButton(GUI *gui, const QString &mode) {
    if (mode == "MEDIUM") return gui->mediumButton;
    if (mode == "QUALITY") return gui->qualityButton;
    if (mode == "ULTRA") return gui->ultraButton;
    return gui->perfButton;
}

} // namespace

int runViewerBenchmark(int argc, char **argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) return 2;

    // A home of its own: the window's stored settings and the default
    // snapshot folder must not touch the user's.
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "vantaro-bench viewer: cannot create a temporary folder\n");
        return 1;
    }
    useHome(home.path());
    // Only the recording plays: no virtual camera for the status tick to open.
    qunsetenv("VANTARO_VIRTUAL_CAMERA");

    QString recording = options.file;
    if (recording.isEmpty()) {
        recording = home.path() + "/viewer-bench-HD720.twv";
        std::fprintf(stderr, "vantaro-bench viewer: writing %d HD720 frames to %s\n", options.frames,
                     recording.toLocal8Bit().constData());
        if (!writeRecording(recording.toStdString(), options.frames)) {
            std::fprintf(stderr, "vantaro-bench viewer: cannot write the recording\n");
            return 1;
        }
    } else if (!QFileInfo(recording).isFile()) {
        std::fprintf(stderr, "vantaro-bench viewer: %s: no such file\n", recording.toLocal8Bit().constData());
        return 1;
    }
    recording = QFileInfo(recording).absoluteFilePath();

    QStandardPaths::setTestModeEnabled(true);
    MainProcess app(appArgc(), appArgv());
    GUI *gui = app.gui;

    // The depth mode is chosen in the window before the file opens, as a user would.
    QToolButton *button = modeButton(gui, options.mode);
    if (!button->isChecked()) button->click();
    const int wantedQuality = modeQuality(options.mode);
    if (GlobalParams::getInt(PARAM_DEPTH_QUALITY) != wantedQuality) {
        std::fprintf(stderr, "vantaro-bench viewer: the window did not take depth mode %s\n",
                     options.mode.toLocal8Bit().constData());
        return 1;
    }

    ViewerProbe probe(&app, gui->imageView, gui->depthView, gui->pointCloudView);

    int status = 0;
    QTimer::singleShot(0, &app, [&] {
        app.CreateTWVInput(recording);
        if (!app.inputOpened || !app.inputThread) {
            std::fprintf(stderr, "vantaro-bench viewer: the recording did not open (%s)\n",
                         twl::toVerbose(app.lastOpenError).c_str());
            status = 1;
            app.quit();
            return;
        }
        QObject::connect(
            app.inputThread, &InputThreadModul::SendImage, &probe, [&probe] { probe.emitted(); },
            Qt::DirectConnection);

        if (!waitFor([&] { return probe.anyShown() > 0; }, 30000)) {
            std::fprintf(stderr, "vantaro-bench viewer: no frame was shown within 30 s\n");
            status = 1;
            gui->close();
            app.quit();
            return;
        }
        std::vector<bool> phases;
        if (options.paint != "frugal") phases.push_back(true);
        if (options.paint != "all") phases.push_back(false);
        const char *names[3] = {"image", "depth", "cloud"};
        for (const bool paintAll : phases) {
            GlobalParams::setBool(PARAM_PAINT_ALL, paintAll);
            const char *paintName = paintAll ? "all" : "frugal";
            sleepInLoop(options.warmup);

            const std::map<QString, double> cpuBefore = threadCpuMs();
            probe.startMeasuring();
            QElapsedTimer clock;
            clock.start();
            sleepInLoop(options.seconds);
            probe.stopMeasuring();
            const double elapsed = double(clock.nsecsElapsed()) / 1e9;
            const std::map<QString, double> cpuAfter = threadCpuMs();
            // Other work on the machine shares the cores: say how much there was.
            double loadAverage = 0;
            {
                QFile load("/proc/loadavg");
                if (load.open(QIODevice::ReadOnly))
                    loadAverage = load.readAll().split(' ').value(0).toDouble();
            }

            const double grabbedFps = double(probe.grabbed()) / elapsed;
            double shownFps[3];
            long minShown = probe.shown(0);
            for (int v = 0; v < 3; ++v) {
                shownFps[v] = double(probe.shown(v)) / elapsed;
                minShown = std::min(minShown, probe.shown(v));
            }
            const double ratio = probe.grabbed() > 0 ? double(minShown) / double(probe.grabbed()) : 0.0;
            const std::vector<double> &cloudLatency = probe.latencies(ViewerProbe::Cloud);
            const std::vector<double> &imageLatency = probe.latencies(ViewerProbe::Image);

            std::printf(
                "{\"bench\":\"viewer\",\"paint\":\"%s\",\"resolution\":\"HD720\",\"mode\":\"%s\",\"seconds\":"
                "%s,"
                "\"grabbed_fps\":%s,\"shown_fps\":{\"image\":%s,\"depth\":%s,\"cloud\":%s},"
                "\"shown_fps_min\":%s,\"shown_ratio\":%s,\"latency_ms_median\":%s,\"latency_ms_p95\":%s,"
                "\"latency_image_ms_median\":%s,\"latency_image_ms_p95\":%s}\n",
                paintName, options.mode.toUtf8().constData(), fixed(elapsed).toUtf8().constData(),
                fixed(grabbedFps).toUtf8().constData(), fixed(shownFps[0]).toUtf8().constData(),
                fixed(shownFps[1]).toUtf8().constData(), fixed(shownFps[2]).toUtf8().constData(),
                fixed(double(minShown) / elapsed).toUtf8().constData(), fixed(ratio, 3).toUtf8().constData(),
                fixed(percentile(cloudLatency, 0.5)).toUtf8().constData(),
                fixed(percentile(cloudLatency, 0.95)).toUtf8().constData(),
                fixed(percentile(imageLatency, 0.5)).toUtf8().constData(),
                fixed(percentile(imageLatency, 0.95)).toUtf8().constData());

            // Where the time goes: GUI-thread work per frame and per paint, CPU per thread.
            QString threads;
            double total = 0;
            std::map<QString, double> byName;
            const QString self = QString::number(QCoreApplication::applicationPid());
            for (const auto &entry : cpuAfter) {
                const auto before = cpuBefore.find(entry.first);
                const double used = entry.second - (before == cpuBefore.end() ? 0.0 : before->second);
                if (used <= 0) continue;
                total += used;
                // Group the threads by role: the window's, the capture loop's,
                // the software rasteriser's and the unnamed helpers.
                QString name = entry.first.section('/', 0, 0);
                if (name.startsWith("InputThread"))
                    name = "capture";
                else if (name.startsWith("llvmpipe"))
                    name = "llvmpipe";
                else if (name == QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                    name = "other_workers";
                byName[name] += used;
            }
            for (const auto &entry : byName)
                threads += QString("%1\"%2\":%3")
                               .arg(threads.isEmpty() ? "" : ",", entry.first,
                                    fixed(100.0 * entry.second / (elapsed * 1000.0), 1));
            const long grabbedCount = std::max(1L, probe.grabbed());
            const long repaintCount = std::max<long>(1, long(probe.repaintMs().size()));
            const double cpuPerGrab = byName["capture"] / double(grabbedCount);
            const double cpuPerRepaint = (byName["main"] + byName["llvmpipe"]) / double(repaintCount);
            const int cores = QThread::idealThreadCount();
            QString paints;
            for (int v = 0; v < 3; ++v)
                paints += QString("%1\"%2\":{\"mean\":%3,\"p95\":%4}")
                              .arg(v ? "," : "", names[v], fixed(mean(probe.paintMs(v))),
                                   fixed(percentile(probe.paintMs(v), 0.95)));
            std::printf(
                "{\"bench\":\"viewer_breakdown\",\"paint\":\"%s\",\"mode\":\"%s\",\"load_average\":%s,"
                "\"update_window_ms\":{\"mean\":%s,\"p95\":%s,\"calls\":%d},"
                "\"window_repaint_ms\":{\"mean\":%s,\"p95\":%s,\"calls\":%d},\"paint_ms\":{%s},"
                "\"cpu_percent_of_one_core\":{\"total\":%s,%s},\"cores\":%d,"
                "\"capture_cpu_ms_per_grab\":%s,\"gui_and_raster_cpu_ms_per_repaint\":%s}\n",
                paintName, options.mode.toUtf8().constData(), fixed(loadAverage).toUtf8().constData(),
                fixed(mean(probe.updateWindowMs())).toUtf8().constData(),
                fixed(percentile(probe.updateWindowMs(), 0.95)).toUtf8().constData(),
                int(probe.updateWindowMs().size()), fixed(mean(probe.repaintMs())).toUtf8().constData(),
                fixed(percentile(probe.repaintMs(), 0.95)).toUtf8().constData(),
                int(probe.repaintMs().size()), paints.toUtf8().constData(),
                fixed(100.0 * total / (elapsed * 1000.0), 1).toUtf8().constData(),
                threads.toUtf8().constData(), cores, fixed(cpuPerGrab).toUtf8().constData(),
                fixed(cpuPerRepaint).toUtf8().constData());
            std::fflush(stdout);
        }

        if (!options.pictures.isEmpty()) {
            QDir().mkpath(options.pictures);
            QOpenGLWidget *const views[3] = {gui->imageView, gui->depthView, gui->pointCloudView};
            for (int v = 0; v < 3; ++v)
                views[v]->grabFramebuffer().save(
                    QDir(options.pictures).filePath(QString("viewer-%1.png").arg(names[v])));
            gui->grab().save(QDir(options.pictures).filePath("viewer-window.png"));
        }

        // Leave as the user would: closing the window ends the session.
        gui->close();
        app.quit();
    });

    const int code = app.exec();
    return status != 0 ? status : code;
}
