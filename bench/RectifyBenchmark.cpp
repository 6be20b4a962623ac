// vantaro-bench rectify [--frames N]
//
// The rectification step of the live input path, per stereo pair, at HD720
// and HD2K, on a virtual pair seen through a plausible lens (radial
// distortion, a turn of about a degree between the eyes). One JSON line per
// resolution:
//  rectify_ms     median time to rectify both eyes (two fixed-point remaps
//                 of BGRA pictures, as RectifyingSource does per grab);
//  copy_ms        median time of a plain copy of the same bytes, the floor
//                 that any per-frame work on these pictures starts from;
//  maps_ms        one-off cost of building the maps at open;
//  rectify_best_ms the fastest of those, nearest to an idle machine's figure;
//  rectify_cpu_ms the rectification as CPU time of all threads (mean);
//  one_thread_ms  the fastest pass on one thread, in that thread's CPU time:
//                 the work itself, which a shared machine's load inflates
//                 least (half of it is the wall time on two idle cores);
//  load_average   the machine's one-minute load when the line was taken.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"

#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoRectifier.h"
#include "twl/source/VirtualScene.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

using bench::cpuMs;
using bench::median;
using bench::nowMs;
using bench::threadCpuMs;

double loadAverage() {
    double load = 0;
    return getloadavg(&load, 1) == 1 ? load : -1;
}

twl::StereoCalibration lensRig(cv::Size size, double focal) {
    twl::StereoCalibration c;
    c.imageSize = size;
    c.M1 =
        (cv::Mat_<double>(3, 3) << focal, 0, size.width / 2.0 + 6, 0, focal, size.height / 2.0 - 4, 0, 0, 1);
    c.M2 =
        (cv::Mat_<double>(3, 3) << focal, 0, size.width / 2.0 - 5, 0, focal, size.height / 2.0 + 3, 0, 0, 1);
    c.D1 = (cv::Mat_<double>(1, 5) << -0.12, 0.03, 0, 0, 0);
    c.D2 = (cv::Mat_<double>(1, 5) << -0.10, 0.02, 0, 0, 0);
    cv::Rodrigues(cv::Vec3d(0.01, -0.02, 0.005), c.R);
    c.T = (cv::Mat_<double>(3, 1) << -0.12, 0.001, 0.0005);
    return c;
}

} // namespace

int runRectifyBenchmark(int argc, char **argv) {
    int frames = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: vantaro-bench rectify [--frames N]\n");
            return 2;
        }
    }
    for (const int index : {int(twl::RESOLUTION_HD720), int(twl::RESOLUTION_HD2K)}) {
        const twl::Resolution r = twl::resolutionSize(index);
        const cv::Size size(int(r.width), int(r.height));
        twl::VirtualScene scene(r);
        cv::Mat left, right;
        scene.render(0.5, left, right);

        double start = nowMs();
        const twl::StereoRectifier rectifier(lensRig(size, scene.focal()));
        const double mapsMs = nowMs() - start;

        cv::Mat outLeft, outRight, copyLeft(left.size(), left.type()), copyRight(right.size(), right.type());
        rectifier.rectify(left, right, outLeft, outRight); // allocates the outputs once, as a live loop does
        std::vector<double> rectifyTimes, copyTimes;
        const double cpuStart = cpuMs();
        for (int f = 0; f < frames; ++f) {
            start = nowMs();
            rectifier.rectify(left, right, outLeft, outRight);
            rectifyTimes.push_back(nowMs() - start);
        }
        const double rectifyCpu = (cpuMs() - cpuStart) / frames;
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        double oneThread = 1e9;
        for (int f = 0; f < frames; ++f) {
            start = threadCpuMs();
            rectifier.rectify(left, right, outLeft, outRight);
            oneThread = std::min(oneThread, threadCpuMs() - start);
        }
        cv::setNumThreads(threads);
        for (int f = 0; f < frames; ++f) {
            start = nowMs();
            left.copyTo(copyLeft);
            right.copyTo(copyRight);
            copyTimes.push_back(nowMs() - start);
        }
        std::printf(
            "{\"family\":\"rectify\",\"resolution\":\"%s\",\"size\":\"%dx%d\",\"rectify_ms\":%.2f,"
            "\"rectify_best_ms\":%.2f,\"rectify_cpu_ms\":%.2f,\"one_thread_ms\":%.2f,\"copy_ms\":%.2f,"
            "\"maps_ms\":%.1f,\"load_average\":%.2f}\n",
            index == twl::RESOLUTION_HD720 ? "HD720" : "HD2K", size.width, size.height, median(rectifyTimes),
            *std::min_element(rectifyTimes.begin(), rectifyTimes.end()), rectifyCpu, oneThread,
            median(copyTimes), mapsMs, loadAverage());
        std::fflush(stdout);
    }
    return 0;
}
