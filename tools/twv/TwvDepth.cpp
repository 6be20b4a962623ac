// twv depth: the depth map of one frame of a recording.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "twl/Camera.h"
#include "twl/io/Export.h"

#include <cstdio>

using namespace twl;
using namespace twvtool;

int cmdDepth(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"frame", "mode", "sensing", "out"}, {}, &args)) return kUsageError;
    const std::string out = args.get("out");
    const std::string ext = extensionOf(out);
    DEPTH_FORMAT format = DEPTH_FORMAT_PNG;
    float factor = 1000;
    if (ext == ".png") {
        format = DEPTH_FORMAT_PNG;
        factor = 1000; // millimetres in 16 bits
    } else if (ext == ".pfm") {
        format = DEPTH_FORMAT_PFM;
        factor = 1; // metres as floats
    } else if (ext == ".pgm") {
        format = DEPTH_FORMAT_PGM;
        factor = 1000;
    } else if (args.has("out")) {
        return fail(kUsageError, "depth: --out must end in .png, .pfm or .pgm");
    }
    Camera camera;
    const int status = grabFrame("depth", args, camera);
    if (status != kOk) return status;
    Mat depth;
    if (camera.retrieveMeasure(depth, MEASURE_DEPTH, MEM_CPU) != SUCCESS)
        return fail(kFailed, "depth: no depth could be computed for this frame");
    if (!saveDepthAs(depth, format, out, factor))
        return fail(kFailed, "depth: could not write %s", out.c_str());
    std::printf("%s: depth of frame %s, %zux%zu\n", out.c_str(), args.get("frame").c_str(), depth.getWidth(),
                depth.getHeight());
    return kOk;
}
