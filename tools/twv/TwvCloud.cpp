// twv cloud: the point cloud of one frame of a recording.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "twl/Camera.h"
#include "twl/io/Export.h"

#include <cstdio>

using namespace twl;
using namespace twvtool;

int cmdCloud(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"frame", "mode", "sensing", "out"}, {}, &args)) return kUsageError;
    const std::string out = args.get("out");
    const std::string ext = extensionOf(out);
    POINT_CLOUD_FORMAT format = POINT_CLOUD_FORMAT_XYZ;
    if (ext == ".xyz")
        format = POINT_CLOUD_FORMAT_XYZ;
    else if (ext == ".pcd")
        format = POINT_CLOUD_FORMAT_PCD;
    else if (ext == ".ply")
        format = POINT_CLOUD_FORMAT_PLY;
    else if (ext == ".vtk")
        format = POINT_CLOUD_FORMAT_VTK;
    else if (args.has("out"))
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
