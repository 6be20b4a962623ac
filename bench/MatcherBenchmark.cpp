// vantaro-bench matcher [--frames N]
//
// Our semi-global matcher alone against OpenCV's StereoSGBM (3-way, block 5,
// P1 = 8 * 25, P2 = 32 * 25, uniqueness 10, speckle window 100) on the same
// grey pairs, at the same size and number of disparities. Pairs come from
// the virtual camera rendered at that size, with its exact depth as ground
// truth. One JSON line per case:
//  matcher_ms, baseline_ms   median wall time per pair (both use every thread);
//  matcher_cpu_ms, baseline_cpu_ms
//                            mean CPU time of all threads per pair, which other
//                            programs sharing the cores do not inflate;
//  bad2, baseline_bad2       share of valid pixels more than 2 px off;
//  density, baseline_density share of pixels with a disparity;
//  cells_per_s               width x height x disparities over matcher_ms: cost
//                            cells matched per second;
//  kernels                   the kernel build that ran (VANTARO_SIMD=avx2 or
//                            =baseline forces a narrower one, =avx512 the
//                            64-byte vectors where the CPU would take 32-byte ones);
//  narrower_kernels, narrower_ms, narrower_cpu_ms, narrower_ratio
//                            the next narrower build (AVX2 under AVX-512), timed on
//                            the same pairs, alternating with matcher_ms, and
//                            matcher_ms over its time (absent where none is
//                            narrower); its disparities are the same to the bit;
//  after_sleep_ms            median wall time of a pair matched after the process
//                            slept 20 ms, as a viewer waiting for a camera's
//                            next frame does;
//  load_average              the machine's one-minute load at the end of the case.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"
#include "support/DisparityScore.h"

#include "twl/source/VirtualScene.h"
#include "twl/stereo/SemiGlobalMatcher.h"
#include "twl/stereo/kernels/MatcherKernels.h"

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
#include <thread>
#include <vector>

namespace {

using bench::cpuMs;
using bench::loadAverage;
using bench::median;
using bench::nowMs;

} // namespace

int runMatcherBenchmark(int argc, char **argv) {
    int frames = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--frames") && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: vantaro-bench matcher [--frames N]\n");
            return 2;
        }
    }
    struct Case {
        int width, height, disparities;
    } cases[] = {{640, 360, 64}, {640, 360, 96}, {1280, 720, 128}};
    for (const Case &c : cases) {
        twl::VirtualScene scene(twl::Resolution(size_t(c.width), size_t(c.height)));
        const float fb = scene.focal() * scene.baseline();
        twl::SemiGlobalMatcher ours;
        twl::SemiGlobalMatcher::Parameters p;
        p.disparities = c.disparities;
        ours.setParameters(p);
        const int bs = 5;
        cv::Ptr<cv::StereoSGBM> baseline =
            cv::StereoSGBM::create(0, c.disparities, bs, 8 * bs * bs, 32 * bs * bs, 1, 0, 10, 100, 2,
                                   cv::StereoSGBM::MODE_SGBM_3WAY);
        cv::Mat probe(8, c.width, CV_8U, cv::Scalar(0)), probeDisp;
        ours.compute(probe, probe, probeDisp);
        const twl::MatcherKernels *narrowerKernels =
            std::string(ours.kernelsInUse().name).rfind("avx512", 0) == 0 ? twl::avx2MatcherKernels()
                                                                          : nullptr;
        twl::SemiGlobalMatcher narrower;
        narrower.setParameters(p);
        if (narrowerKernels) narrower.setKernels(*narrowerKernels);
        std::vector<double> ourTimes, baseTimes, narrowerTimes;
        double ourCpu = 0, baseCpu = 0, narrowerCpu = 0;
        DisparityScore ourScore, baseScore;
        cv::Mat left, right, depth, greyL, greyR, ourDisp, baseDisp, narrowerDisp;
        for (int f = -1; f < frames; ++f) { // frame -1 warms up
            scene.render(0.4 + 1.3 * std::max(f, 0), left, right, &depth);
            cv::cvtColor(left, greyL, cv::COLOR_BGRA2GRAY);
            cv::cvtColor(right, greyR, cv::COLOR_BGRA2GRAY);
            double t0 = nowMs(), c0 = cpuMs();
            ours.compute(greyL, greyR, ourDisp);
            const double ourMs = nowMs() - t0, ourCpuMs = cpuMs() - c0;
            double narrowerMs = 0, narrowerCpuMs = 0;
            if (narrowerKernels) {
                t0 = nowMs();
                c0 = cpuMs();
                narrower.compute(greyL, greyR, narrowerDisp);
                narrowerMs = nowMs() - t0;
                narrowerCpuMs = cpuMs() - c0;
            }
            t0 = nowMs();
            c0 = cpuMs();
            baseline->compute(greyL, greyR, baseDisp);
            const double baseMs = nowMs() - t0, baseCpuMs = cpuMs() - c0;
            if (f < 0) continue;
            if (narrowerKernels) {
                narrowerTimes.push_back(narrowerMs);
                narrowerCpu += narrowerCpuMs / frames;
            }
            ourCpu += ourCpuMs / frames;
            baseCpu += baseCpuMs / frames;
            ourTimes.push_back(ourMs);
            baseTimes.push_back(baseMs);
            const DisparityTruth truth = disparityFromDepth(depth, fb, depth.size());
            const DisparityScore a = scoreDisparity(ourDisp, truth), b = scoreDisparity(baseDisp, truth);
            ourScore.bad2 += a.bad2 / frames;
            ourScore.density += a.density / frames;
            baseScore.bad2 += b.bad2 / frames;
            baseScore.density += b.density / frames;
        }
        std::vector<double> afterSleep;
        for (int f = 0; f < std::max(frames, 10); ++f) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const double t0 = nowMs();
            ours.compute(greyL, greyR, ourDisp);
            afterSleep.push_back(nowMs() - t0);
        }
        const double ourMs = median(ourTimes), baseMs = median(baseTimes);
        char narrowerText[200] = "";
        if (narrowerKernels)
            std::snprintf(narrowerText, sizeof narrowerText,
                          ",\"narrower_kernels\":\"%s\",\"narrower_ms\":%.2f,\"narrower_cpu_ms\":%.2f,"
                          "\"narrower_ratio\":%.3f",
                          narrowerKernels->name, median(narrowerTimes), narrowerCpu,
                          ourMs / std::max(1e-9, median(narrowerTimes)));
        const double cells = double(c.width) * c.height * c.disparities;
        std::printf("{\"size\":\"%dx%d\",\"disparities\":%d,\"matcher_ms\":%.2f,\"baseline_ms\":%.2f,"
                    "\"time_ratio\":%.3f,\"matcher_cpu_ms\":%.2f,\"baseline_cpu_ms\":%.2f,\"cpu_ratio\":%.3f,"
                    "\"bad2\":%.4f,\"baseline_bad2\":%.4f,\"density\":%.4f,"
                    "\"baseline_density\":%.4f,\"cells_per_s\":%.3g,\"kernels\":\"%s\"%s,\"threads\":%d,"
                    "\"after_sleep_ms\":%.2f,\"load_average\":%.2f}\n",
                    c.width, c.height, c.disparities, ourMs, baseMs, baseMs > 0 ? ourMs / baseMs : 0.0,
                    ourCpu, baseCpu, baseCpu > 0 ? ourCpu / baseCpu : 0.0, ourScore.bad2, baseScore.bad2,
                    ourScore.density, baseScore.density, cells / (ourMs * 1e-3), ours.kernelsInUse().name,
                    narrowerText, cv::getNumThreads(), median(afterSleep), loadAverage());
        std::fflush(stdout);
    }
    return 0;
}
