// vantaro-bench engine [--resolutions HD720,VGA] [--modes PERFORMANCE,QUALITY] [--frames N]
//
// One JSON line per resolution x depth mode on the virtual camera:
//  searched         disparities the engine searched, mean over the frames
//                   (a wide range is narrowed to those in view);
//  searched_in_rows the mean of what each working row searched (rows that see
//                   only farther surfaces search less);
//  engine_ms        median time of StereoEngine::compute (grey conversion,
//                   scaling, matching, confidence) on pre-rendered frames;
//  bad2, density    accuracy against the renderer's exact depth: share of
//                   valid pixels off by more than 2 full-resolution pixels of
//                   disparity, and share of pixels with a disparity;
//  baseline_*       the same for OpenCV's StereoSGBM (3-way, standard
//                   parameters) at the same working size and disparity range;
//  grab_ms          median of Camera::grab plus the capture loop's four
//                   retrievals, with the camera's pacing switched off
//                   (VANTARO_VIRTUAL_CAMERA_UNPACED=1) so that the figure is
//                   the work per frame: rendering, matching and retrieval;
//  engine_cpu_ms, grab_cpu_ms
//                   the same work as CPU time of all threads (mean), which a
//                   shared machine's load does not inflate;
//  paced_fps, paced_frames, paced_lost, paced_largest_gap_ms
//                   with --paced S: the same loop for S seconds against the
//                   virtual camera at its own pace (30 frames a second, or
//                   the resolution's highest rate below that: 15 at HD2K),
//                   after a second of warm-up (the first frames grow the
//                   matcher's buffers): pairs taken, the camera's frames the
//                   loop was too slow for (gaps in its timestamps) and the
//                   largest gap; a mode keeps up with the camera when none
//                   are lost;
//  paced_latency_ms median time from a frame's timestamp to the end of its
//                   retrievals in that loop: the work of a frame that found
//                   the engine's threads asleep, waiting for it;
//  peak_rss_mib     the process's peak resident memory (VmHWM) during the
//                   record, which holds the engine, a scene and a camera
//                   session (the peak is reset before each record);
//  load_average     the machine's one-minute load when the record was taken.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"
#include "bench/CaptureLoop.h"
#include "support/DisparityScore.h"

#include "twl/Camera.h"
#include "twl/core/ModeTable.h"
#include "twl/source/VirtualScene.h"
#include "twl/stereo/StereoEngine.h"
#include "twl/util/SteadyClock.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::cpuMs;
using bench::loadAverage;
using bench::median;
using bench::nowMs;

double peakRssMib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// Lets the next VmHWM reading start from the current resident size.
void resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

std::vector<int> parseList(const char *text, const std::vector<std::string> &names) {
    std::vector<int> out;
    std::string s(text);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        const std::string item = s.substr(pos, comma - pos);
        for (size_t i = 0; i < names.size(); ++i)
            if (item == names[i]) out.push_back(int(i));
        pos = comma + 1;
    }
    return out;
}

struct Baseline {
    cv::Ptr<cv::StereoSGBM> matcher;
    cv::Mat greyL, greyR, smallL, smallR, disp16;

    void configure(int range) {
        const int bs = 5;
        matcher = cv::StereoSGBM::create(0, range, bs, 8 * bs * bs, 32 * bs * bs, 1, 0, 10, 100, 2,
                                         cv::StereoSGBM::MODE_SGBM_3WAY);
    }
    void compute(const cv::Mat &l, const cv::Mat &r, cv::Size work, float toFull, cv::Mat &disparity) {
        cv::cvtColor(l, greyL, cv::COLOR_BGRA2GRAY);
        cv::cvtColor(r, greyR, cv::COLOR_BGRA2GRAY);
        cv::resize(greyL, smallL, work, 0, 0, cv::INTER_AREA);
        cv::resize(greyR, smallR, work, 0, 0, cv::INTER_AREA);
        matcher->compute(smallL, smallR, disp16);
        disparity.create(work, CV_32F);
        for (int y = 0; y < work.height; ++y) {
            const short *s = disp16.ptr<short>(y);
            float *d = disparity.ptr<float>(y);
            for (int x = 0; x < work.width; ++x)
                d[x] = s[x] > 0 ? float(s[x]) * toFull / 16.0f : std::numeric_limits<float>::quiet_NaN();
        }
    }
};

// Camera::grab plus the retrievals the capture loop makes every frame.
double measureGrab(int resolution, int mode, int frames, double *cpuPerFrame) {
    twl::Camera camera;
    twl::InitParameters init;
    init.cameraResolution = resolution;
    init.cameraFps = 0;
    init.depthMode = mode;
    if (camera.open(init) != twl::SUCCESS) return -1;
    bench::CaptureLoop loop(camera.getResolution());
    std::vector<double> times;
    double cpuStart = 0;
    for (int i = 0; i < frames + 1; ++i) {
        if (i == 1) cpuStart = cpuMs();
        const double t0 = nowMs();
        if (!loop.step(camera)) return -1;
        if (i > 0) times.push_back(nowMs() - t0);
    }
    *cpuPerFrame = (cpuMs() - cpuStart) / frames;
    return median(times);
}

// The capture loop against the camera sending `fps` frames a second.
bench::StreamFigures measurePaced(int resolution, int mode, int fps, double seconds, long *frames,
                                  double *latencyMs) {
    unsetenv("VANTARO_VIRTUAL_CAMERA_UNPACED");
    twl::Camera camera;
    twl::InitParameters init;
    init.cameraResolution = resolution;
    init.cameraFps = fps;
    init.depthMode = mode;
    const bool opened = camera.open(init) == twl::SUCCESS;
    setenv("VANTARO_VIRTUAL_CAMERA_UNPACED", "1", 1);
    std::vector<uint64_t> stamps;
    std::vector<double> latencies;
    if (opened) {
        bench::CaptureLoop loop(camera.getResolution());
        for (const double warm = nowMs(); nowMs() - warm < 1000 && loop.step(camera);) {
        }
        for (const double t0 = nowMs(); nowMs() - t0 < seconds * 1000 && loop.step(camera);) {
            stamps.push_back(camera.getCameraTimestamp());
            latencies.push_back(double(twl::steadyNowNs() - int64_t(stamps.back())) / 1e6);
        }
    }
    *frames = long(stamps.size());
    *latencyMs = median(latencies);
    return bench::streamFigures(stamps, fps);
}

} // namespace

int runEngineBenchmark(int argc, char **argv) {
    std::vector<int> resolutions = {2, 3, 1, 0};
    std::vector<int> modes = {0, 1, 2, 3};
    int frames = 6;
    bool grab = true;
    double paced = 0;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--resolutions") && hasValue)
            resolutions = parseList(argv[++i], twl::resolutionNames());
        else if (!std::strcmp(argv[i], "--modes") && hasValue)
            modes = parseList(argv[++i], twl::depthModeNames());
        else if (!std::strcmp(argv[i], "--frames") && hasValue)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--no-grab"))
            grab = false;
        else if (!std::strcmp(argv[i], "--paced") && hasValue)
            paced = std::max(0.0, std::atof(argv[++i]));
        else {
            std::fprintf(stderr, "usage: vantaro-bench engine [--resolutions HD2K,HD1080,HD720,VGA] "
                                 "[--modes PERFORMANCE,MEDIUM,QUALITY,ULTRA] [--frames N] [--no-grab] "
                                 "[--paced S]\n");
            return 2;
        }
    }
    setenv("VANTARO_VIRTUAL_CAMERA", "1", 1);
    setenv("VANTARO_VIRTUAL_CAMERA_UNPACED", "1", 1);

    for (int r : resolutions) {
        const twl::Resolution size = twl::resolutionSize(r);
        for (int m : modes) {
            const int mode = m + 1;
            // The peak is this record's: the engine, the scene and the camera session.
            resetPeakRss();
            cv::Size workingSize;
            int range = 0;
            float scale = 1;
            std::vector<double> engineTimes, baseTimes;
            double engineCpu = 0, searched = 0, searchedInRows = 0;
            double bad2 = 0, density = 0, baseBad2 = 0, baseDensity = 0;
            {
                twl::VirtualScene scene(size);
                const float focal = scene.focal(), baseline = scene.baseline();
                twl::StereoEngine engine;
                engine.configure(mode, size, focal, baseline,
                                 twl::StereoEngine::minimumDepth(focal, baseline, int(size.width)));
                workingSize = engine.workingSize();
                range = engine.disparityRange();
                scale = engine.workingScale();
                Baseline base;
                base.configure(range);
                twl::StereoResult result;
                cv::Mat left, right, truth, baseDisparity;
                for (int f = -1; f < frames; ++f) { // frame -1 warms up (allocations)
                    scene.render(0.4 + 1.3 * std::max(f, 0), left, right, &truth);
                    double t0 = nowMs();
                    const double c0 = cpuMs();
                    engine.compute(left, right, false, result);
                    if (f < 0) continue;
                    engineTimes.push_back(nowMs() - t0);
                    engineCpu += (cpuMs() - c0) / frames;
                    searched += double(engine.searchedRange().size()) / frames;
                    for (int y = 0; y < workingSize.height; ++y)
                        searchedInRows += double(engine.searchedInRow(y)) / frames / workingSize.height;
                    DisparityScore a =
                        scoreDisparity(result.disparity,
                                       disparityFromDepth(truth, focal * baseline, result.disparity.size()));
                    bad2 += a.bad2 / frames;
                    density += a.density / frames;

                    t0 = nowMs();
                    base.compute(left, right, workingSize, 1.0f / scale, baseDisparity);
                    baseTimes.push_back(nowMs() - t0);
                    a = scoreDisparity(baseDisparity,
                                       disparityFromDepth(truth, focal * baseline, baseDisparity.size()));
                    baseBad2 += a.bad2 / frames;
                    baseDensity += a.density / frames;
                }
            }
            double grabCpu = -1;
            const double grabMs = grab ? measureGrab(r, mode, frames, &grabCpu) : -1;
            char grabText[32], grabCpuText[32];
            std::snprintf(grabText, sizeof grabText, grabMs >= 0 ? "%.2f" : "null", grabMs);
            std::snprintf(grabCpuText, sizeof grabCpuText, grabMs >= 0 ? "%.2f" : "null", grabCpu);
            char pacedText[160] = "\"paced_fps\":null";
            if (paced > 0) {
                const std::vector<int> rates = twl::frameRatesFor(r);
                int fps = rates.empty() ? 30 : rates.front();
                for (int rate : rates)
                    if (rate <= 30) fps = rate;
                long taken = 0;
                double latency = 0;
                const bench::StreamFigures f = measurePaced(r, mode, fps, paced, &taken, &latency);
                std::snprintf(pacedText, sizeof pacedText,
                              "\"paced_fps\":%d,\"paced_frames\":%ld,\"paced_lost\":%ld,"
                              "\"paced_largest_gap_ms\":%.1f,\"paced_latency_ms\":%.2f",
                              fps, taken, f.lost, f.largestGapMs, latency);
            }
            std::printf(
                "{\"resolution\":\"%s\",\"mode\":\"%s\",\"working_size\":\"%dx%d\",\"disparities\":%d,"
                "\"searched\":%.1f,\"searched_in_rows\":%.1f,\"engine_ms\":%.2f,\"engine_cpu_ms\":%.2f,"
                "\"grab_ms\":%s,\"grab_cpu_ms\":%"
                "s,\"bad2\":%.5f,"
                "\"density\":%.5f,"
                "\"baseline_ms\":%.2f,\"baseline_bad2\":%.5f,\"baseline_density\":%.5f,%s,"
                "\"peak_rss_mib\":%.1f,\"load_average\":%.2f}\n",
                twl::resolutionMode(r)->name, twl::depthModeName(m + 1), workingSize.width,
                workingSize.height, range, searched, searchedInRows, median(engineTimes), engineCpu, grabText,
                grabCpuText, bad2, density, median(baseTimes), baseBad2, baseDensity, pacedText, peakRssMib(),
                loadAverage());
            std::fflush(stdout);
        }
    }
    return 0;
}
