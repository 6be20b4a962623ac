// vantaro-bench depthlook [--frames N] [--resolution HD720]
//
// What the depth picture's look adds to the frame loop, on the virtual
// camera (unpaced), each figure the median per frame over the same frames:
//  grab_ms           Camera::grab (rendering and matching), the frame loop's main cost;
//  picture_fixed_ms  the grey depth picture at display size over the fixed range;
//  picture_auto_ms   the same over the range that follows the scene: the
//                    range's histogram of a subsample plus the picture;
//  picture_turbo_ms  the auto-range picture in a colour map;
//  range_ms          the range's estimate alone;
//  confidence_ms     the confidence matrix the read-out under the pointer reads;
//  cloud_colours_ms  recolouring the point cloud by depth;
//  load_average      the machine's one-minute load.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"

#include "twl/Camera.h"
#include "twl/core/ModeTable.h"

#include <opencv2/core.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using bench::loadAverage;
using bench::median;
using bench::nowMs;

int runDepthLookBenchmark(int argc, char **argv) {
    int frames = 30;
    std::string resolutionName = "HD720";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--resolution") == 0 && i + 1 < argc)
            resolutionName = argv[++i];
        else {
            std::fprintf(stderr, "usage: vantaro-bench depthlook [--frames N] [--resolution NAME]\n");
            return 2;
        }
    }
    const int resolution = twl::resolutionIndexByName(resolutionName);
    if (resolution < 0) {
        std::fprintf(stderr, "depthlook: unknown resolution %s\n", resolutionName.c_str());
        return 2;
    }
    setenv("VANTARO_VIRTUAL_CAMERA", "1", 1);
    setenv("VANTARO_VIRTUAL_CAMERA_UNPACED", "1", 1);
    twl::Camera camera;
    twl::InitParameters init;
    init.cameraResolution = resolution;
    init.cameraFps = 0;
    init.depthMode = twl::DEPTH_MODE_PERFORMANCE;
    if (camera.open(init) != twl::SUCCESS) {
        std::fprintf(stderr, "depthlook: the virtual camera does not open\n");
        return 1;
    }
    const twl::Resolution size = camera.getResolution();
    const size_t dw = size.width / 2, dh = size.height / 2;
    twl::Mat picture(dw, dh, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
    twl::Mat depth(dw, dh, twl::MAT_TYPE_32F_C1, twl::MEM_CPU);
    twl::Mat confidence(dw, dh, twl::MAT_TYPE_32F_C1, twl::MEM_GPU);
    twl::Mat cloud(dw, dh, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
    twl::DepthLook fixed, automatic, turbo;
    fixed.autoRange = false;
    turbo.colormap = twl::Colormap::Turbo;
    std::vector<double> grab, pictureFixed, pictureAuto, pictureTurbo, range, conf, colours;
    twl::RuntimeParameters runtime;
    const auto timed = [](std::vector<double> &into, auto &&work) {
        const double t0 = nowMs();
        work();
        into.push_back(nowMs() - t0);
    };
    for (int i = 0; i < frames + 1; ++i) {
        std::vector<double> grabOne;
        timed(grabOne, [&] { camera.grab(runtime); });
        if (i == 0) continue; // the first frame sets everything up
        grab.push_back(grabOne[0]);
        // Each look is set afresh: the next retrieval works its range out again.
        camera.setDepthLook(fixed);
        timed(pictureFixed, [&] { camera.retrieveImage(picture, twl::VIEW_DEPTH, twl::MEM_GPU, dw, dh); });
        camera.setDepthLook(automatic);
        timed(pictureAuto, [&] { camera.retrieveImage(picture, twl::VIEW_DEPTH, twl::MEM_GPU, dw, dh); });
        camera.setDepthLook(turbo);
        timed(pictureTurbo, [&] { camera.retrieveImage(picture, twl::VIEW_DEPTH, twl::MEM_GPU, dw, dh); });
        camera.retrieveMeasure(depth, twl::MEASURE_DEPTH, twl::MEM_CPU, dw, dh);
        const cv::Mat depthMat(int(dh), int(dw), CV_32F, depth.getPtr<float>(twl::MEM_CPU),
                               depth.getStepBytes(twl::MEM_CPU));
        twl::DepthRange estimated;
        timed(range, [&] { twl::DepthRangeFollower::estimate(depthMat, 0.3f, 20.0f, &estimated); });
        timed(conf,
              [&] { camera.retrieveMeasure(confidence, twl::MEASURE_CONFIDENCE, twl::MEM_GPU, dw, dh); });
        camera.retrieveMeasure(cloud, twl::MEASURE_XYZRGBA, twl::MEM_GPU, dw, dh);
        cv::Mat points(int(dh), int(dw), CV_32FC4, cloud.getPtr<float>(twl::MEM_GPU),
                       cloud.getStepBytes(twl::MEM_GPU));
        timed(colours, [&] {
            twl::DepthColormap::colourPoints(points, camera.getDepthPictureRange(), turbo.colormap);
        });
    }
    std::printf(
        "{\"bench\":\"depthlook\",\"resolution\":\"%s\",\"display\":\"%zux%zu\",\"frames\":%d,"
        "\"grab_ms\":%.2f,\"picture_fixed_ms\":%.3f,\"picture_auto_ms\":%.3f,\"picture_turbo_ms\":%.3f,"
        "\"range_ms\":%.3f,\"confidence_ms\":%.3f,\"cloud_colours_ms\":%.3f,\"load_average\":%.2f}\n",
        resolutionName.c_str(), dw, dh, frames, median(grab), median(pictureFixed), median(pictureAuto),
        median(pictureTurbo), median(range), median(conf), median(colours), loadAverage());
    return 0;
}
