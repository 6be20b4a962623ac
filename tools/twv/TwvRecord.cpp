// twv record: a recording from the virtual camera or a real one.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvDevices.h"
#include "TwvProgress.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/core/ModeTable.h"
#include "twl/core/Optics.h"
#include "twl/source/RectifyingSource.h"
#include "twl/source/VirtualCamera.h"
#include "twl/twv/TwvWriter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;
using namespace twl;
using namespace twvtool;

int cmdRecord(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"resolution", "fps", "frames", "codec", "calibration", "device"},
                   {"virtual"}, &args))
        return kUsageError;
    std::string out;
    if (!singleFile(args, "record", &out)) return kUsageError;
    if (args.flags.count("virtual") == args.has("device"))
        return fail(kUsageError, "record: say where the frames come from: --virtual or --device /dev/videoN");
    const int resolution = resolutionIndex(args.get("resolution", resolutionMode(kDefaultResolution)->name));
    if (resolution < 0)
        return fail(kUsageError, "record: unknown resolution '%s' (%s)", args.get("resolution").c_str(),
                    spokenList(resolutionNames()).c_str());
    long fps = 0, frames = 0;
    if (!parseInt(args.get("fps", "30"), 1, 1000, &fps))
        return fail(kUsageError, "record: --fps needs a whole number of frames per second");
    if (!isFrameRateAllowed(resolution, int(fps)))
        return fail(kUsageError, "record: %ld fps is not available at this resolution (%s)", fps,
                    frameRateList(resolution).c_str());
    if (!parseInt(args.get("frames", "100"), 1, 10000000, &frames))
        return fail(kUsageError, "record: --frames needs a positive whole number");
    TwvCodec codec;
    if (!parseCodec(args, &codec))
        return fail(kUsageError, "record: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());
    StereoCalibration calibration;
    if (args.has("calibration") && !loadCalibration("record", args.get("calibration"), &calibration))
        return kFailed;

    ERROR_CODE error = SUCCESS;
    std::unique_ptr<FrameSource> camera;
    if (args.has("device")) {
        std::string why;
        camera = openDeviceForRecording(args.get("device"), resolution, int(fps), &why);
        if (!camera) return fail(kFailed, "record: %s", why.c_str());
    } else {
        // Asking for --virtual is explicit enough to switch the virtual camera on.
        const char *virtualCamera = std::getenv("VANTARO_VIRTUAL_CAMERA");
        if (!virtualCamera || !*virtualCamera) setenv("VANTARO_VIRTUAL_CAMERA", "1", 1);
        camera = VirtualCamera::open(resolution, int(fps), &error);
        if (!camera)
            return fail(kFailed, "record: cannot open the virtual camera: %s", toVerbose(error).c_str());
    }
    if (args.has("calibration")) {
        std::string why;
        std::unique_ptr<FrameSource> rectified = RectifyingSource::wrap(camera, calibration, &why);
        if (!rectified)
            return fail(kFailed, "record: calibration file %s: %s", args.get("calibration").c_str(),
                        why.c_str());
        camera = std::move(rectified);
    }

    const Resolution size = camera->resolution();
    const CameraInformation info = camera->information();
    const CameraParameters &cam = info.calibration_parameters.left_cam;
    TwvHeader header;
    header.width = uint32_t(size.width);
    header.height = uint32_t(size.height);
    header.fps = camera->fps() > 0 ? camera->fps() : float(fps);
    header.serialNumber = info.serial_number;
    header.firmwareVersion = info.firmware_version;
    header.model = info.camera_model;
    header.fx = cam.fx;
    header.fy = cam.fy;
    header.cx = cam.cx;
    header.cy = cam.cy;
    header.baseline = info.calibration_parameters.baseline;
    header.hFov = cam.h_fov > 0 ? cam.h_fov : float(fieldOfViewDegrees(double(size.width), double(cam.fx)));
    header.vFov = cam.v_fov > 0 ? cam.v_fov : float(fieldOfViewDegrees(double(size.height), double(cam.fy)));

    TwvWriter writer;
    const std::string partial = partialPath(out);
    error = writer.open(partial, header, codec);
    if (error != SUCCESS)
        return fail(kFailed, "record: cannot create %s: %s", partial.c_str(), describe(error).c_str());

    // Ctrl-C ends the recording early but still closes the file properly.
    catchInterrupts();
    int status = kOk;
    bool writeFailed = false;
    StereoFrame frame;
    Progress progress("recording");
    for (long i = 0; i < frames && !interrupted; ++i) {
        error = camera->grab(frame);
        if (error != SUCCESS) {
            progress.end();
            status = fail(kFailed, "record: the camera stopped after %d frames: %s", writer.framesWritten(),
                          toVerbose(error).c_str());
            break;
        }
        error = writer.writeFrame(frame.left, frame.right, frame.timestamp);
        if (error != SUCCESS) {
            progress.end();
            status = fail(kFailed, "record: writing frame %ld to %s failed: %s", i, partial.c_str(),
                          describe(error).c_str());
            writeFailed = true;
            break;
        }
        progress.update(int(i + 1), int(frames));
    }
    progress.end();
    if (interrupted) std::fprintf(stderr, "twv: record: stopped after %d frames\n", writer.framesWritten());
    error = writer.close();
    if (error != SUCCESS && !writeFailed)
        status = fail(kFailed, "record: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    // Frames the camera gave before it stopped are a good recording; a
    // failed write or close leaves none worth keeping.
    const bool keep = !writeFailed && error == SUCCESS;
    if (!settle(partial, out, keep, "record") && keep) status = kFailed;
    std::error_code ec;
    if (!keep && fs::exists(out, ec))
        std::fprintf(stderr, "twv: record: %s was left as it was\n", out.c_str());
    return status;
}
