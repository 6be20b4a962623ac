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

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

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

/// CPU time (ms) per thread of this process, keyed "name/tid".
std::map<QString, double> threadCpuMs() {
    std::map<QString, double> result;
    const long ticks = sysconf(_SC_CLK_TCK);
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QDir tasks("/proc/self/task");
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile commFile(tasks.filePath(tid + "/comm"));
        QFile statFile(tasks.filePath(tid + "/stat"));
        if (!commFile.open(QIODevice::ReadOnly) || !statFile.open(QIODevice::ReadOnly)) continue;
        QString name = QString::fromLocal8Bit(commFile.readAll()).trimmed();
        if (tid == self) name = "main"; // the GUI thread
        const QByteArray stat = statFile.readAll();
        // Fields after the command name, which is in parentheses and may hold spaces.
        const int close = stat.lastIndexOf(')');
        if (close < 0) continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() < 13) continue;
        const double cpu = double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 / double(ticks);
        result[name + "/" + tid] = cpu;
    }
    return result;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const double rank = p * double(v.size() - 1);
    const size_t lo = size_t(std::floor(rank)), hi = size_t(std::ceil(rank));
    return v[lo] + (v[hi] - v[lo]) * (rank - double(lo));
}

double mean(const std::vector<double> &v) {
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? 0.0 : s / double(v.size());
}

/// Everything measured on the GUI thread, plus the counter the capture thread feeds.
class Probe : public QObject {
public:
    enum View { Image = 0, Depth = 1, Cloud = 2, ViewCount = 3 };

    Probe(MainProcess *app, OGL2DWidget *image, OGL2DWidget *depth, OGL3DWidget *cloud) : app_(app) {
        views_[Image] = image;
        views_[Depth] = depth;
        views_[Cloud] = cloud;
        for (int v = 0; v < ViewCount; ++v) {
            views_[v]->installEventFilter(this);
            QObject::connect(views_[v], &QOpenGLWidget::frameSwapped, this, [this, v] { swapped(v); });
        }
        window_ = image->window();
        app_->installEventFilter(this);
    }

    /// Capture thread, directly from SendImage(): count it and hand the
    /// emission time to the GUI thread behind the application's own queued call.
    void emitted() {
        const int64_t t = nowNs();
        grabbed_.fetch_add(1);
        QMetaObject::invokeMethod(
            this, [this, t] { delivered(t); }, Qt::QueuedConnection);
    }

    void startMeasuring() {
        measuring_ = true;
        grabbed_.store(0);
        for (int v = 0; v < ViewCount; ++v) {
            shown_[v] = 0;
            latencies_[v].clear();
            paintMs_[v].clear();
        }
        updateWindowMs_.clear();
        repaintMs_.clear();
    }
    void stopMeasuring() { measuring_ = false; }

    long grabbed() const { return grabbed_.load(); }
    long shown(int v) const { return shown_[v]; }
    long anyShown() const { return everShown_; }
    const std::vector<double> &latencies(int v) const { return latencies_[v]; }
    const std::vector<double> &paintMs(int v) const { return paintMs_[v]; }
    const std::vector<double> &updateWindowMs() const { return updateWindowMs_; }
    const std::vector<double> &repaintMs() const { return repaintMs_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        // Time the handlers themselves: run them here and report them handled.
        if (watched == app_ && event->type() == QEvent::MetaCall) {
            const int64_t t0 = nowNs();
            watched->event(event);
            // Our own queued calls are posted to the probe, so every meta
            // call the application object gets here is its frame slot or a
            // rare other queued slot; both are GUI-thread work per frame.
            if (measuring_) updateWindowMs_.push_back(double(nowNs() - t0) / 1e6);
            return true;
        }
        if (watched == window_ && event->type() == QEvent::UpdateRequest) {
            // One pass of the window's repaint: the dirty widgets' paints,
            // then composing the views' textures and flushing to the screen.
            const int64_t t0 = nowNs();
            watched->event(event);
            if (measuring_) repaintMs_.push_back(double(nowNs() - t0) / 1e6);
            return true;
        }
        if (event->type() == QEvent::Paint) {
            for (int v = 0; v < ViewCount; ++v) {
                if (watched != views_[v]) continue;
                // The paint shows whatever frame was announced last.
                paintedFrame_[v] = pendingFrame_[v];
                pendingFrame_[v] = 0;
                painted_[v] = true;
                const int64_t t0 = nowNs();
                watched->event(event);
                if (measuring_) paintMs_[v].push_back(double(nowNs() - t0) / 1e6);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // GUI thread, right after updateWindow() handled the same emission.
    void delivered(int64_t emittedAt) {
        for (int64_t &pending : pendingFrame_)
            pending = emittedAt;
    }

    void swapped(int v) {
        // Every composition of the window reports a swap for every view;
        // only a view that painted a new frame since has shown something.
        if (!painted_[v]) return;
        painted_[v] = false;
        const int64_t frame = paintedFrame_[v];
        paintedFrame_[v] = 0;
        if (frame == 0) return;
        ++everShown_;
        if (!measuring_) return;
        ++shown_[v];
        latencies_[v].push_back(double(nowNs() - frame) / 1e6);
    }

    MainProcess *app_;
    QWidget *window_ = nullptr;
    QOpenGLWidget *views_[ViewCount] = {};
    std::atomic<long> grabbed_{0};
    bool measuring_ = false;
    long everShown_ = 0;
    long shown_[ViewCount] = {};
    bool painted_[ViewCount] = {};
    int64_t pendingFrame_[ViewCount] = {};
    int64_t paintedFrame_[ViewCount] = {};
    std::vector<double> latencies_[ViewCount];
    std::vector<double> paintMs_[ViewCount];
    std::vector<double> updateWindowMs_;
    std::vector<double> repaintMs_;
};

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

// Runs the event loop for `seconds`, sleeping while there is nothing to do.
void sleepInLoop(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000.0), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `ms` passed.
template <typename Pred> bool waitFor(Pred done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        sleepInLoop(0.02);
    }
    return true;
}

QString fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
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
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toLocal8Bit());
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

    // The application object keeps a reference to the argument count.
    static int appArgc = 1;
    static char appName[] = "vantaro-bench";
    static char *appArgv[] = {appName, nullptr};
    QStandardPaths::setTestModeEnabled(true);
    MainProcess app(appArgc, appArgv);
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

    Probe probe(&app, gui->imageView, gui->depthView, gui->pointCloudView);

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
            const std::vector<double> &cloudLatency = probe.latencies(Probe::Cloud);
            const std::vector<double> &imageLatency = probe.latencies(Probe::Image);

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
