// vantaro-bench input [--resolutions HD720,HD2K] [--frames N]
//
// The input path of a real side-by-side camera, per frame: one JSON line per
// resolution x case with
//  ms           median time of the case on one prepared frame of the
//               virtual scene (YUYV as a camera sends it, or MJPG at
//               quality 90);
//  cpu_ms       mean CPU time of the case, all threads, which a shared
//               machine's load does not inflate as it does ms;
//  copy_ms      median time of a plain copy of the same input bytes into a
//               buffer of their size, measured in the same run: the floor
//               any conversion is compared with;
//  bytes        size of the input frame.
// Cases: "yuyv" (YUYV -> two BGRA eyes) and "mjpg" (JPEG decode -> two BGRA
// eyes). A new case is one function of the Case shape added to kCases.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"

#include "support/FakeV4l2Device.h"
#include "twl/core/FrameSource.h"
#include "twl/core/ModeTable.h"
#include "twl/source/VirtualScene.h"
#include "twl/uvc/SideBySide.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::cpuMs;
using bench::median;
using bench::nowMs;

using twl::Resolution;

/// One side-by-side frame of the virtual scene as a camera would send it.
struct InputFrame {
    Resolution eye;
    std::vector<uchar> yuyv;
    std::vector<uchar> mjpg;
};

/// Runs one frame through a case into `out`; returns the input bytes it read.
typedef const std::vector<uchar> &(*Case)(const InputFrame &in, twl::StereoFrame &out);

const std::vector<uchar> &yuyvToEyes(const InputFrame &in, twl::StereoFrame &out) {
    twl::splitYuyv(in.yuyv.data(), in.yuyv.size(), in.eye.width * 4, in.eye, out.left, out.right);
    return in.yuyv;
}

const std::vector<uchar> &mjpgToEyes(const InputFrame &in, twl::StereoFrame &out) {
    static cv::Mat scratch;
    twl::splitMjpg(in.mjpg.data(), in.mjpg.size(), in.eye, out.left, out.right, scratch);
    return in.mjpg;
}

struct NamedCase {
    const char *name;
    Case run;
};
const NamedCase kCases[] = {{"yuyv", yuyvToEyes}, {"mjpg", mjpgToEyes}};

InputFrame makeFrame(int resolutionIndex) {
    InputFrame f;
    f.eye = twl::resolutionSize(resolutionIndex);
    twl::VirtualScene scene(f.eye);
    cv::Mat left, right, joined, bgr;
    scene.render(1.0, left, right);
    twl::FakeV4l2Device::encodeYuyv(left, right, f.yuyv);
    cv::hconcat(left, right, joined);
    cv::cvtColor(joined, bgr, cv::COLOR_BGRA2BGR);
    cv::imencode(".jpg", bgr, f.mjpg, {cv::IMWRITE_JPEG_QUALITY, 90});
    return f;
}

} // namespace

int runInputBenchmark(int argc, char **argv) {
    std::string resolutions = "HD720,HD2K";
    int frames = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--resolutions") == 0 && i + 1 < argc)
            resolutions = argv[++i];
        else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: vantaro-bench input [--resolutions HD720,HD2K] [--frames N]\n");
            return 2;
        }
    }
    std::stringstream list(resolutions);
    std::string name;
    while (std::getline(list, name, ',')) {
        const int index = twl::resolutionIndexByName(name);
        if (index < 0) {
            std::fprintf(stderr, "vantaro-bench input: unknown resolution %s\n", name.c_str());
            return 2;
        }
        const InputFrame frame = makeFrame(index);
        for (const NamedCase &c : kCases) {
            twl::StereoFrame out;
            const std::vector<uchar> &bytes = c.run(frame, out); // warm-up, allocates the eyes
            std::vector<uchar> copy(bytes.size());
            std::vector<double> ms, copyMs;
            double cpu = 0;
            for (int k = 0; k < frames; ++k) {
                double t0 = nowMs();
                const double c0 = cpuMs();
                c.run(frame, out);
                cpu += cpuMs() - c0;
                ms.push_back(nowMs() - t0);
                t0 = nowMs();
                std::memcpy(copy.data(), bytes.data(), bytes.size());
                copyMs.push_back(nowMs() - t0);
            }
            std::printf(
                "{\"family\":\"input\",\"resolution\":\"%s\",\"case\":\"%s\",\"ms\":%.3f,\"cpu_ms\":%.3f,"
                "\"copy_ms\":%.3f,\"bytes\":%zu,\"frames\":%d}\n",
                twl::resolutionMode(index)->name, c.name, median(ms), cpu / frames, median(copyMs),
                bytes.size(), frames);
            std::fflush(stdout);
        }
    }
    return 0;
}
