#pragma once
// What the viewer benchmarks measure on the real window: frames the capture
// thread announced, frames each view really showed, the latency between,
// and the CPU time of every thread of the process.

#include "app/MainProcess.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QOpenGLWidget>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include <unistd.h>

namespace viewerbench {

using Clock = std::chrono::steady_clock;

inline int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

/// CPU time (ms) per thread of this process, keyed "name/tid".
inline std::map<QString, double> threadCpuMs() {
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

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const double rank = p * double(v.size() - 1);
    const size_t lo = size_t(std::floor(rank)), hi = size_t(std::ceil(rank));
    return v[lo] + (v[hi] - v[lo]) * (rank - double(lo));
}

inline double mean(const std::vector<double> &v) {
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? 0.0 : s / double(v.size());
}

/// Everything measured on the GUI thread, plus the counter the capture thread feeds.
class ViewerProbe : public QObject {
public:
    enum View { Image = 0, Depth = 1, Cloud = 2, ViewCount = 3 };

    ViewerProbe(MainProcess *app, OGL2DWidget *image, OGL2DWidget *depth, OGL3DWidget *cloud) : app_(app) {
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

// Runs the event loop for `seconds`, sleeping while there is nothing to do.
inline void sleepInLoop(double seconds) {
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

inline QString fixed(double v, int decimals = 2) {
    return QString::number(v, 'f', decimals);
}

/// Points the user's folders at `home`: the window's stored settings and the
/// default snapshot folder must not touch the user's.
inline void useHome(const QString &home) {
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toLocal8Bit());
}

/// Arguments for a benchmark's application object, which keeps a reference to the count.
inline int &appArgc() {
    static int argc = 1;
    return argc;
}
inline char **appArgv() {
    static char name[] = "vantaro-bench";
    static char *argv[] = {name, nullptr};
    return argv;
}

} // namespace viewerbench
