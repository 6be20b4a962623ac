// twv depth: the depth map of one frame of a recording or of a range of them,
// or a frame's picture in a colour map exactly as the viewer paints it.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvRange.h"
#include "TwvSequence.h"
#include "twl/Camera.h"
#include "twl/io/Export.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>

using namespace twl;
using namespace twvtool;

namespace {

/// --range: "auto", or "MIN:MAX" in metres (a fixed range).
bool parseRange(const std::string &text, DepthLook *look) {
    if (lower(text) == "auto") {
        look->autoRange = true;
        return true;
    }
    const size_t colon = text.find(':');
    double nearM = 0, farM = 0;
    if (colon == std::string::npos || !parsePositiveFloat(text.substr(0, colon), &nearM) ||
        !parsePositiveFloat(text.substr(colon + 1), &farM) || farM <= nearM)
        return false;
    look->autoRange = false;
    look->nearM = float(nearM);
    look->farM = float(farM);
    return true;
}

/// The depth picture of the grabbed frame, at the camera's size, as a 3-channel PNG.
int writePicture(const Args &args, Camera &camera, const DepthLook &look) {
    const std::string out = args.get("out");
    camera.setDepthLook(look);
    Mat picture;
    if (camera.retrieveImage(picture, VIEW_DEPTH, MEM_CPU) != SUCCESS)
        return fail(kFailed, "depth: no depth could be computed for this frame");
    const cv::Mat bgra(int(picture.getHeight()), int(picture.getWidth()), CV_8UC4,
                       picture.getPtr<uchar>(MEM_CPU), picture.getStepBytes(MEM_CPU));
    cv::Mat bgr;
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
    bool written = false;
    try {
        written = cv::imwrite(out, bgr);
    } catch (const cv::Exception &) {
        written = false;
    }
    if (!written) return fail(kFailed, "depth: could not write %s", out.c_str());
    const DepthRange range = camera.getDepthPictureRange();
    std::printf("%s: depth picture of frame %s in %s, %.2f to %.2f m, %dx%d\n", out.c_str(),
                args.get("frame").c_str(), DepthColormap::name(look.colormap), double(range.nearM),
                double(range.farM), bgr.cols, bgr.rows);
    return kOk;
}

/// The file format of an extension, with the factor that gives its unit.
bool depthFormat(const std::string &ext, DEPTH_FORMAT *format, float *factor) {
    *factor = 1000; // millimetres in 16 bits
    if (ext == ".png")
        *format = DEPTH_FORMAT_PNG;
    else if (ext == ".pgm")
        *format = DEPTH_FORMAT_PGM;
    else if (ext == ".pfm")
        *format = DEPTH_FORMAT_PFM, *factor = 1; // metres as floats
    else
        return false;
    return true;
}

bool saveDepth(Camera &camera, const std::string &path, DEPTH_FORMAT format, float factor) {
    Mat depth;
    return camera.retrieveMeasure(depth, MEASURE_DEPTH, MEM_CPU) == SUCCESS &&
           saveDepthAs(depth, format, path, factor);
}

} // namespace

int cmdDepth(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2,
                   {"frame", "frames", "mode", "sensing", "out", "format", "colormap", "range"}, {"all"},
                   &args))
        return kUsageError;
    if (args.has("colormap") || args.has("range")) {
        if (wantsRange(args))
            return fail(kUsageError,
                        "depth: --colormap writes one frame's picture; leave out --frames and --all");
        const std::string ext = extensionOf(args.get("out"));
        DepthLook look;
        if (!args.has("colormap"))
            return fail(kUsageError, "depth: --range goes with --colormap (the picture's range)");
        if (!DepthColormap::fromName(args.get("colormap"), &look.colormap)) {
            std::string names;
            for (int i = 0; i < DepthColormap::kCount; ++i)
                names += std::string(i ? ", " : "") + DepthColormap::name(DepthColormap::fromIndex(i));
            return fail(kUsageError, "depth: unknown colour map '%s' (%s)", args.get("colormap").c_str(),
                        names.c_str());
        }
        if (args.has("range") && !parseRange(args.get("range"), &look))
            return fail(kUsageError, "depth: --range is auto or MIN:MAX in metres, MIN below MAX (0.5:4)");
        if (args.has("out") && ext != ".png")
            return fail(kUsageError, "depth: with --colormap, --out must end in .png");
        Camera camera;
        const int status = grabFrame("depth", args, camera);
        if (status != kOk) return status;
        return writePicture(args, camera, look);
    }
    DEPTH_FORMAT format = DEPTH_FORMAT_PNG;
    float factor = 1000;
    if (wantsRange(args)) {
        const std::string ext = "." + lower(args.get("format", "png"));
        if (!depthFormat(ext, &format, &factor))
            return fail(kUsageError, "depth: --format is png, pfm or pgm");
        return exportFrames(
            "depth", args, "depth", ext, "depth maps",
            [&](Camera &camera, const std::string &path) { return saveDepth(camera, path, format, factor); });
    }
    if (args.has("format"))
        return fail(kUsageError,
                    "depth: --format goes with --frames or --all; one frame takes the extension of --out");
    const std::string out = args.get("out");
    if (!depthFormat(extensionOf(out), &format, &factor) && args.has("out"))
        return fail(kUsageError, "depth: --out must end in .png, .pfm or .pgm");
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
