// twv import: a recording from pairs of image files.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvProgress.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoRectifier.h"
#include "twl/core/Optics.h"
#include "twl/twv/TwvWriter.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace twl;
using namespace twvtool;

int cmdImport(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"left", "right", "focal", "baseline", "fps", "codec", "calibration"}, {},
                   &args))
        return kUsageError;
    std::string out;
    if (!singleFile(args, "import", &out)) return kUsageError;
    if (!args.has("left") || !args.has("right"))
        return fail(kUsageError, "import: --left and --right are both needed");
    const bool calibrated = args.has("calibration");
    double focal = 0, baseline = 0;
    if (calibrated && (args.has("focal") || args.has("baseline")))
        return fail(kUsageError, "import: the focal length and baseline come from the calibration; "
                                 "leave out --focal and --baseline");
    if (!calibrated && !parsePositiveFloat(args.get("focal"), &focal))
        return fail(kUsageError, "import: --focal needs the focal length in pixels (a positive number)");
    if (!calibrated && !parsePositiveFloat(args.get("baseline"), &baseline))
        return fail(kUsageError, "import: --baseline needs the distance between the cameras in metres");
    double fps = 15;
    if (args.has("fps") && (!parsePositiveFloat(args.get("fps"), &fps) || fps > 1000))
        return fail(kUsageError, "import: --fps needs a frame rate above 0 and at most 1000");
    TwvCodec codec;
    if (!parseCodec(args, &codec))
        return fail(kUsageError, "import: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());

    StereoCalibration calibration;
    if (calibrated && !loadCalibration("import", args.get("calibration"), &calibration)) return kFailed;
    std::unique_ptr<StereoRectifier> rectifier;

    std::vector<std::string> lefts, rights;
    std::string why;
    if (!listImages(args.get("left"), "left", &lefts, &why) ||
        !listImages(args.get("right"), "right", &rights, &why))
        return fail(kFailed, "import: %s", why.c_str());
    if (lefts.size() != rights.size())
        return fail(kFailed, "import: %zu left images but %zu right images; they must pair up", lefts.size(),
                    rights.size());

    TwvWriter writer;
    const std::string partial = partialPath(out);
    Progress progress("importing");
    // A recording with a hole in it helps nobody: on any failure the
    // half-made file goes.
    auto abandon = [&](const char *format, const std::string &a, const std::string &b = std::string()) {
        progress.end();
        if (writer.isOpen()) {
            writer.close();
            std::remove(partial.c_str());
        }
        return fail(kFailed, format, a.c_str(), b.c_str());
    };
    cv::Size size;
    const int total = int(lefts.size());
    for (int i = 0; i < total; ++i) {
        cv::Mat pair[2];
        const std::string *names[2] = {&lefts[size_t(i)], &rights[size_t(i)]};
        for (int eye = 0; eye < 2; ++eye) {
            pair[eye] = cv::imread(*names[eye], cv::IMREAD_COLOR);
            if (pair[eye].empty()) return abandon("import: cannot read the image %s%s", *names[eye]);
            if (i == 0 && eye == 0) {
                size = pair[0].size();
                if (size.width > int(twv::kMaxDimension) || size.height > int(twv::kMaxDimension))
                    return fail(kFailed, "import: %s is %dx%d; at most %ux%u is supported", names[0]->c_str(),
                                size.width, size.height, twv::kMaxDimension, twv::kMaxDimension);
                TwvHeader header;
                header.width = uint32_t(size.width);
                header.height = uint32_t(size.height);
                header.fps = float(fps);
                header.fx = header.fy = float(focal);
                header.cx = float(size.width - 1) / 2;
                header.cy = float(size.height - 1) / 2;
                header.baseline = float(baseline);
                header.hFov = float(fieldOfViewDegrees(size.width, focal));
                header.vFov = float(fieldOfViewDegrees(size.height, focal));
                if (calibrated) {
                    StereoCalibration scaled;
                    std::string why;
                    if (!calibration.scaledTo(size, &scaled, &why))
                        return fail(kFailed, "import: calibration file %s: %s",
                                    args.get("calibration").c_str(), why.c_str());
                    rectifier = StereoRectifier::make(scaled, &why);
                    if (!rectifier)
                        return fail(kFailed, "import: calibration file %s: %s",
                                    args.get("calibration").c_str(), why.c_str());
                    const CameraParameters &cam = rectifier->parameters().left_cam;
                    header.fx = cam.fx;
                    header.fy = cam.fy;
                    header.cx = cam.cx;
                    header.cy = cam.cy;
                    header.baseline = rectifier->parameters().baseline;
                    header.hFov = cam.h_fov;
                    header.vFov = cam.v_fov;
                }
                const ERROR_CODE error = writer.open(partial, header, codec);
                if (error != SUCCESS)
                    return fail(kFailed, "import: cannot create %s: %s", partial.c_str(),
                                describe(error).c_str());
            } else if (pair[eye].size() != size) {
                const std::string sizes = std::to_string(pair[eye].cols) + "x" +
                                          std::to_string(pair[eye].rows) + " but the first image is " +
                                          std::to_string(size.width) + "x" + std::to_string(size.height);
                return abandon("import: %s is %s; all images must be the same size", *names[eye], sizes);
            }
        }
        if (rectifier) {
            // Fresh outputs: remap cannot work in place.
            cv::Mat raw[2] = {pair[0], pair[1]};
            pair[0].release();
            pair[1].release();
            rectifier->rectify(raw[0], raw[1], pair[0], pair[1]);
        }
        const uint64_t timestamp = uint64_t(std::llround(double(i + 1) * 1e9 / fps));
        const ERROR_CODE error = writer.writeFrame(pair[0], pair[1], timestamp);
        if (error != SUCCESS) return abandon("import: writing %s failed: %s", partial, describe(error));
        progress.update(i + 1, total);
    }
    progress.end();
    const ERROR_CODE error = writer.close();
    if (error != SUCCESS) {
        settle(partial, out, false, "import");
        return fail(kFailed, "import: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    }
    if (!settle(partial, out, true, "import")) return kFailed;
    std::printf("%s: %d frames of %dx%d\n", out.c_str(), total, size.width, size.height);
    return kOk;
}
