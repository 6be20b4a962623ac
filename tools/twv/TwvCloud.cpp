// twv cloud: the point cloud of one frame of a recording, or of a range of them.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvRange.h"
#include "TwvSequence.h"
#include "twl/Camera.h"
#include "twl/io/Export.h"

#include <cstdio>

using namespace twl;
using namespace twvtool;

namespace {

bool cloudFormat(const std::string &ext, POINT_CLOUD_FORMAT *format) {
    if (ext == ".xyz")
        *format = POINT_CLOUD_FORMAT_XYZ;
    else if (ext == ".pcd")
        *format = POINT_CLOUD_FORMAT_PCD;
    else if (ext == ".ply")
        *format = POINT_CLOUD_FORMAT_PLY;
    else if (ext == ".vtk")
        *format = POINT_CLOUD_FORMAT_VTK;
    else
        return false;
    return true;
}

/// PCD and PLY carry the colour.
bool saveCloud(Camera &camera, const std::string &path, POINT_CLOUD_FORMAT format) {
    Mat cloud;
    const bool colour = format == POINT_CLOUD_FORMAT_PCD || format == POINT_CLOUD_FORMAT_PLY;
    return camera.retrieveMeasure(cloud, MEASURE_XYZRGBA, MEM_CPU) == SUCCESS &&
           savePointCloudAs(cloud, format, path, colour);
}

} // namespace

int cmdCloud(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"frame", "frames", "mode", "sensing", "out", "format"}, {"all"}, &args))
        return kUsageError;
    POINT_CLOUD_FORMAT format = POINT_CLOUD_FORMAT_PLY;
    if (wantsRange(args)) {
        const std::string ext = "." + lower(args.get("format", "ply"));
        if (!cloudFormat(ext, &format)) return fail(kUsageError, "cloud: --format is xyz, pcd, ply or vtk");
        return exportFrames(
            "cloud", args, "cloud", ext, "point clouds",
            [&](Camera &camera, const std::string &path) { return saveCloud(camera, path, format); });
    }
    if (args.has("format"))
        return fail(kUsageError,
                    "cloud: --format goes with --frames or --all; one frame takes the extension of --out");
    const std::string out = args.get("out");
    if (!cloudFormat(extensionOf(out), &format) && args.has("out"))
        return fail(kUsageError, "cloud: --out must end in .xyz, .pcd, .ply or .vtk");
    Camera camera;
    const int status = grabFrame("cloud", args, camera);
    if (status != kOk) return status;
    Mat cloud;
    if (camera.retrieveMeasure(cloud, MEASURE_XYZRGBA, MEM_CPU) != SUCCESS)
        return fail(kFailed, "cloud: no point cloud could be computed for this frame");
    const bool colour = format == POINT_CLOUD_FORMAT_PCD || format == POINT_CLOUD_FORMAT_PLY;
    if (!savePointCloudAs(cloud, format, out, colour))
        return fail(kFailed, "cloud: could not write %s", out.c_str());
    std::printf("%s: point cloud of frame %s\n", out.c_str(), args.get("frame").c_str());
    return kOk;
}
