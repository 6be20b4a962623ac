// twv record: a recording from the virtual camera or a real one.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvControls.h"
#include "TwvDevices.h"
#include "TwvProgress.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/core/ModeTable.h"
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

namespace {

struct RecordOptions {
    Args args;
    std::string out;
    int resolution = -1;
    long fps = 0, frames = 0;
    TwvCodec codec = TwvCodec::Jpeg;
    StereoCalibration calibration; // read when --calibration is given
};

// The command line, checked; kOk or the exit status after saying why.
int readOptions(int argc, char **argv, RecordOptions *o) {
    Args &args = o->args;
    if (!parseArgs(argc, argv, 2, {"resolution", "fps", "frames", "codec", "calibration", "device", "set"},
                   {"virtual"}, &args))
        return kUsageError;
    if (!singleFile(args, "record", &o->out)) return kUsageError;
    if (args.flags.count("virtual") == args.has("device"))
        return fail(kUsageError, "record: say where the frames come from: --virtual or --device /dev/videoN");
    o->resolution = resolutionIndex(args.get("resolution", resolutionMode(kDefaultResolution)->name));
    if (o->resolution < 0)
        return fail(kUsageError, "record: unknown resolution '%s' (%s)", args.get("resolution").c_str(),
                    spokenList(resolutionNames()).c_str());
    if (!parseInt(args.get("fps", "30"), 1, 1000, &o->fps))
        return fail(kUsageError, "record: --fps needs a whole number of frames per second");
    if (!isFrameRateAllowed(o->resolution, int(o->fps)))
        return fail(kUsageError, "record: %ld fps is not available at this resolution (%s)", o->fps,
                    frameRateList(o->resolution).c_str());
    if (!parseInt(args.get("frames", "100"), 1, 10000000, &o->frames))
        return fail(kUsageError, "record: --frames needs a positive whole number");
    if (!parseCodec(args, &o->codec))
        return fail(kUsageError, "record: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());
    if (args.has("calibration") && !loadCalibration("record", args.get("calibration"), &o->calibration))
        return kFailed;
    return kOk;
}

// The camera the command line names, its pairs rectified when a calibration
// was given and the --set controls applied; null after saying why not, with
// the exit status in `status`.
std::unique_ptr<FrameSource> openCamera(const RecordOptions &o, int *status) {
    *status = kFailed;
    const Args &args = o.args;
    std::unique_ptr<FrameSource> camera;
    if (args.has("device")) {
        std::string why;
        camera = openDeviceForRecording(args.get("device"), o.resolution, int(o.fps), &why);
        if (!camera) fail(kFailed, "record: %s", why.c_str());
    } else {
        // Asking for --virtual is explicit enough to switch the virtual camera on.
        const char *virtualCamera = std::getenv("VANTARO_VIRTUAL_CAMERA");
        if (!virtualCamera || !*virtualCamera) setenv("VANTARO_VIRTUAL_CAMERA", "1", 1);
        ERROR_CODE error = SUCCESS;
        camera = VirtualCamera::open(o.resolution, int(o.fps), &error);
        if (!camera) fail(kFailed, "record: cannot open the virtual camera: %s", toVerbose(error).c_str());
    }
    if (!camera) return camera;
    // Before any frame is kept: a recording made with the wrong exposure is no use.
    FrameSource &source = *camera;
    const int controlStatus = applySettings(
        "record", args.all("set"), [&source] { return source.controls(); },
        [&source](uint32_t id, int32_t value) { return source.setControl(id, value); }, false);
    if (controlStatus != kOk) {
        *status = controlStatus;
        return nullptr;
    }
    if (!args.has("calibration")) return camera;
    std::string why;
    std::unique_ptr<FrameSource> rectified = RectifyingSource::wrap(camera, o.calibration, &why);
    if (!rectified)
        fail(kFailed, "record: calibration file %s: %s", args.get("calibration").c_str(), why.c_str());
    return rectified;
}

// Grabs up to `frames` pairs into `writer` until Ctrl-C; kOk or the exit
// status after saying why. `writeFailed` tells a failed write from a camera
// that stopped, whose frames so far still make a good recording.
int recordFrames(FrameSource &camera, TwvWriter &writer, const std::string &partial, long frames,
                 bool *writeFailed) {
    StereoFrame frame;
    Progress progress("recording");
    for (long i = 0; i < frames && !interrupted; ++i) {
        ERROR_CODE error = camera.grab(frame);
        if (error != SUCCESS) {
            progress.end();
            return fail(kFailed, "record: the camera stopped after %d frames: %s", writer.framesWritten(),
                        toVerbose(error).c_str());
        }
        error = writer.writeFrame(frame.left, frame.right, frame.timestamp);
        if (error != SUCCESS) {
            progress.end();
            *writeFailed = true;
            return fail(kFailed, "record: writing frame %ld to %s failed: %s", i, partial.c_str(),
                        describe(error).c_str());
        }
        progress.update(int(i + 1), int(frames));
    }
    return kOk;
}

} // namespace

int cmdRecord(int argc, char **argv) {
    RecordOptions o;
    if (const int status = readOptions(argc, argv, &o)) return status;
    int openStatus = kOk;
    std::unique_ptr<FrameSource> camera = openCamera(o, &openStatus);
    if (!camera) return openStatus;

    const float fps = camera->fps() > 0 ? camera->fps() : float(o.fps);
    const TwvHeader header = twvHeaderFor(camera->information(), camera->resolution(), fps);
    TwvWriter writer;
    const std::string partial = partialPath(o.out);
    ERROR_CODE error = writer.open(partial, header, o.codec);
    if (error != SUCCESS)
        return fail(kFailed, "record: cannot create %s: %s", partial.c_str(), describe(error).c_str());

    // Ctrl-C ends the recording early but still closes the file properly.
    catchInterrupts();
    bool writeFailed = false;
    int status = recordFrames(*camera, writer, partial, o.frames, &writeFailed);
    if (interrupted) std::fprintf(stderr, "twv: record: stopped after %d frames\n", writer.framesWritten());
    error = writer.close();
    if (error != SUCCESS && !writeFailed)
        status = fail(kFailed, "record: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    // Frames the camera gave before it stopped are a good recording; a
    // failed write or close leaves none worth keeping.
    const bool keep = !writeFailed && error == SUCCESS;
    if (!settle(partial, o.out, keep, "record") && keep) status = kFailed;
    std::error_code ec;
    if (!keep && fs::exists(o.out, ec))
        std::fprintf(stderr, "twv: record: %s was left as it was\n", o.out.c_str());
    return status;
}
