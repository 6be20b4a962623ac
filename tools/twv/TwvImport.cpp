// twv import: a recording from pairs of image files.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvProgress.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoRectifier.h"
#include "twl/twv/TwvWriter.h"

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace twl;
using namespace twvtool;

namespace {

struct ImportOptions {
    std::string out;
    std::vector<std::string> lefts, rights;
    double focal = 0, baseline = 0; // without a calibration
    double fps = 15;
    TwvCodec codec = TwvCodec::Jpeg;
    std::string calibrationPath; // empty: the pairs are rectified already
    StereoCalibration calibration;
};

// The command line, checked, and the pictures it names; kOk or the exit
// status after saying why.
int readOptions(int argc, char **argv, ImportOptions *o) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"left", "right", "focal", "baseline", "fps", "codec", "calibration"}, {},
                   &args))
        return kUsageError;
    if (!singleFile(args, "import", &o->out)) return kUsageError;
    if (!args.has("left") || !args.has("right"))
        return fail(kUsageError, "import: --left and --right are both needed");
    const bool calibrated = args.has("calibration");
    if (calibrated && (args.has("focal") || args.has("baseline")))
        return fail(kUsageError, "import: the focal length and baseline come from the calibration; "
                                 "leave out --focal and --baseline");
    if (!calibrated && !parsePositiveFloat(args.get("focal"), &o->focal))
        return fail(kUsageError, "import: --focal needs the focal length in pixels (a positive number)");
    if (!calibrated && !parsePositiveFloat(args.get("baseline"), &o->baseline))
        return fail(kUsageError, "import: --baseline needs the distance between the cameras in metres");
    if (args.has("fps") && (!parsePositiveFloat(args.get("fps"), &o->fps) || o->fps > 1000))
        return fail(kUsageError, "import: --fps needs a frame rate above 0 and at most 1000");
    if (!parseCodec(args, &o->codec))
        return fail(kUsageError, "import: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());

    o->calibrationPath = args.get("calibration");
    if (calibrated && !loadCalibration("import", o->calibrationPath, &o->calibration)) return kFailed;
    std::string why;
    if (!listImages(args.get("left"), "left", &o->lefts, &why) ||
        !listImages(args.get("right"), "right", &o->rights, &why))
        return fail(kFailed, "import: %s", why.c_str());
    if (o->lefts.size() != o->rights.size())
        return fail(kFailed, "import: %zu left images but %zu right images; they must pair up",
                    o->lefts.size(), o->rights.size());
    return kOk;
}

std::string sizeText(const cv::Size &size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// Reads one picture in colour. The first one read (`size` still empty) sets
// the size that every other must have. False with the message in `why`.
bool readPicture(const std::string &name, cv::Size *size, cv::Mat *picture, std::string *why) {
    *picture = cv::imread(name, cv::IMREAD_COLOR);
    if (picture->empty()) {
        *why = "cannot read the image " + name;
        return false;
    }
    if (size->empty()) {
        *size = picture->size();
        if (size->width > int(twv::kMaxDimension) || size->height > int(twv::kMaxDimension)) {
            *why = name + " is " + sizeText(*size) + "; at most " + std::to_string(twv::kMaxDimension) + "x" +
                   std::to_string(twv::kMaxDimension) + " is supported";
            return false;
        }
    } else if (picture->size() != *size) {
        *why = name + " is " + sizeText(picture->size()) + " but the first image is " + sizeText(*size) +
               "; all images must be the same size";
        return false;
    }
    return true;
}

// Opens `writer` on `partial` for pairs of `size`: the header says what the
// command line or the calibration says about the camera, and with a
// calibration `rectifier` turns the pairs into the ones it describes. False
// with the message in `why`.
bool startRecording(const ImportOptions &o, cv::Size size, const std::string &partial, TwvWriter *writer,
                    std::unique_ptr<StereoRectifier> *rectifier, std::string *why) {
    CameraInformation info;
    if (!o.calibrationPath.empty()) {
        StereoCalibration scaled;
        if (o.calibration.scaledTo(size, &scaled, why)) *rectifier = StereoRectifier::make(scaled, why);
        if (!*rectifier) {
            *why = "calibration file " + o.calibrationPath + ": " + *why;
            return false;
        }
        info.calibration_parameters = (*rectifier)->parameters();
    } else {
        CameraParameters &cam = info.calibration_parameters.left_cam;
        cam.fx = cam.fy = float(o.focal);
        cam.cx = float(size.width - 1) / 2;
        cam.cy = float(size.height - 1) / 2;
        info.calibration_parameters.baseline = float(o.baseline);
    }
    const TwvHeader header =
        twvHeaderFor(info, Resolution(size_t(size.width), size_t(size.height)), float(o.fps));
    const ERROR_CODE error = writer->open(partial, header, o.codec);
    if (error != SUCCESS) {
        *why = "cannot create " + partial + ": " + describe(error);
        return false;
    }
    return true;
}

} // namespace

int cmdImport(int argc, char **argv) {
    ImportOptions o;
    if (const int status = readOptions(argc, argv, &o)) return status;

    TwvWriter writer;
    const std::string partial = partialPath(o.out);
    Progress progress("importing");
    // A recording with a hole in it helps nobody: on any failure the
    // half-made file goes.
    auto abandon = [&](const std::string &why) {
        progress.end();
        if (writer.isOpen()) {
            writer.close();
            std::remove(partial.c_str());
        }
        return fail(kFailed, "import: %s", why.c_str());
    };
    std::unique_ptr<StereoRectifier> rectifier;
    cv::Size size;
    std::string why;
    const int total = int(o.lefts.size());
    for (int i = 0; i < total; ++i) {
        cv::Mat pair[2];
        for (int eye = 0; eye < 2; ++eye) {
            const bool first = size.empty();
            if (!readPicture((eye == 0 ? o.lefts : o.rights)[size_t(i)], &size, &pair[eye], &why) ||
                (first && !startRecording(o, size, partial, &writer, &rectifier, &why)))
                return abandon(why);
        }
        if (rectifier) {
            // Fresh outputs: remap cannot work in place.
            cv::Mat raw[2] = {pair[0], pair[1]};
            pair[0].release();
            pair[1].release();
            rectifier->rectify(raw[0], raw[1], pair[0], pair[1]);
        }
        const uint64_t timestamp = uint64_t(std::llround(double(i + 1) * 1e9 / o.fps));
        const ERROR_CODE error = writer.writeFrame(pair[0], pair[1], timestamp);
        if (error != SUCCESS) return abandon("writing " + partial + " failed: " + describe(error));
        progress.update(i + 1, total);
    }
    progress.end();
    const ERROR_CODE error = writer.close();
    if (error != SUCCESS) {
        settle(partial, o.out, false, "import");
        return fail(kFailed, "import: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    }
    if (!settle(partial, o.out, true, "import")) return kFailed;
    std::printf("%s: %d frames of %dx%d\n", o.out.c_str(), total, size.width, size.height);
    return kOk;
}
