#include "TwvCommon.h"

#include "TwvArgs.h"
#include "twl/Camera.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/core/ModeTable.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvRecorder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace fs = std::filesystem;
using namespace twl;

namespace twvtool {

int fail(int status, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("twv: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    return status;
}

std::string describe(ERROR_CODE code) {
    switch (code) {
    case ERROR_CODE_FILE_NOT_FOUND:
        return "no such file, or it cannot be read";
    case ERROR_CODE_NOT_A_RECORDING:
        return "not a .twv recording";
    case ERROR_CODE_UNSUPPORTED_VERSION:
        return "recorded in a newer format version than this tool reads";
    case ERROR_CODE_DAMAGED_RECORDING:
        return "the recording is damaged";
    case ERROR_CODE_WRITE_FAILED:
        return "the file could not be written (disk full or no permission?)";
    default:
        return toVerbose(code).str();
    }
}

const char *codecName(TwvCodec codec) {
    return codec == TwvCodec::Lossless ? "lossless" : "jpeg";
}

std::string frameRateList(int resolution) {
    std::vector<std::string> rates;
    for (int fps : frameRatesFor(resolution))
        rates.push_back(std::to_string(fps));
    return spokenList(rates);
}

bool isImageFile(const fs::path &p) {
    static const std::set<std::string> kinds = {".png",  ".jpg", ".jpeg", ".bmp", ".tif",
                                                ".tiff", ".pgm", ".ppm",  ".pnm", ".webp"};
    return kinds.count(lower(p.extension().string())) != 0;
}

bool listImages(const std::string &where, const char *side, std::vector<std::string> *files,
                std::string *why) {
    std::error_code ec;
    if (fs::is_directory(where, ec)) {
        const size_t before = files->size();
        // Stepped with an error code: a folder that fails half-way through
        // reading would otherwise throw out of the command.
        for (auto it = fs::directory_iterator(where, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            if (it->is_regular_file(ec) && isImageFile(it->path())) files->push_back(it->path().string());
        if (ec) {
            *why = "cannot read the folder " + where + ": " + ec.message();
            return false;
        }
        std::sort(files->begin() + long(before), files->end());
        if (files->size() == before) {
            *why = std::string("no images in the ") + side + " folder " + where;
            return false;
        }
        return true;
    }
    if (!fs::is_regular_file(where, ec)) {
        *why = std::string(side) + " images: no such file or folder: " + where;
        return false;
    }
    files->push_back(where);
    return true;
}

std::string describeOpen(const std::string &path, ERROR_CODE code) {
    std::error_code ec;
    return fs::is_directory(path, ec) ? "is a directory" : describe(code);
}

std::string partialPath(const std::string &out) {
    return partialPathFor(out);
}

bool settle(const std::string &partial, const std::string &out, bool keep, const char *command) {
    if (!keep) {
        std::remove(partial.c_str());
        return false;
    }
    if (std::rename(partial.c_str(), out.c_str()) == 0) return true;
    const int error = errno;
    std::remove(partial.c_str());
    fail(kFailed, "%s: cannot put the file in place as %s: %s", command, out.c_str(), std::strerror(error));
    return false;
}

int putInPlace(const char *command, ERROR_CODE closed, const std::string &partial, const std::string &out) {
    if (closed != SUCCESS) {
        settle(partial, out, false, command);
        return fail(kFailed, "%s: finishing %s failed: %s", command, partial.c_str(),
                    describe(closed).c_str());
    }
    return settle(partial, out, true, command) ? kOk : kFailed;
}

int giveUp(const char *command, const std::string &partial, const std::string &out, const std::string &why) {
    settle(partial, out, false, command);
    return fail(kFailed, "%s: %s; %s was not written", command, why.c_str(), out.c_str());
}

bool loadCalibration(const char *command, const std::string &path, StereoCalibration *calibration) {
    std::string error;
    if (StereoCalibration::load(path, calibration, &error)) return true;
    fail(kFailed, "%s: %s", command, error.c_str());
    return false;
}

std::atomic<bool> interrupted{false};

namespace {
void onInterrupt(int) {
    interrupted = true;
}
} // namespace

void catchInterrupts() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

int noSuchFrame(const char *command, long frame, int frameCount) {
    if (frameCount == 0) return fail(kFailed, "%s: the recording holds no complete frame", command);
    return fail(kFailed, "%s: frame %ld does not exist; the recording has %d frames (0 to %d)", command,
                frame, frameCount, frameCount - 1);
}

int depthOptions(const char *command, const Args &args, const char *modeOption, int *mode, int *sensing) {
    *mode = kDefaultExportMode;
    if (args.has(modeOption) && !parseMode(args.get(modeOption), mode))
        return fail(kUsageError, "%s: unknown mode '%s' (%s)", command, args.get(modeOption).c_str(),
                    spokenList(depthModeNames()).c_str());
    const std::string name = lower(args.get("sensing", "standard"));
    if (name != "standard" && name != "fill")
        return fail(kUsageError, "%s: unknown sensing '%s' (fill or standard)", command,
                    args.get("sensing").c_str());
    *sensing = name == "fill" ? SENSING_MODE_FILL : SENSING_MODE_STANDARD;
    return kOk;
}

int recordingFrameCount(const std::string &path, int *frameCount) {
    TwvReader reader;
    const ERROR_CODE error = reader.open(path);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());
    *frameCount = reader.frameCount();
    return kOk;
}

int openForExport(const std::string &path, int mode, Camera &camera) {
    InitParameters init;
    init.inputPath = path;
    init.depthMode = mode;
    // A frame's depth must not depend on which frames were exported before it.
    init.depthStabilization = 0;
    const ERROR_CODE error = camera.open(init);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());
    return kOk;
}

int grabFrame(const char *command, const Args &args, Camera &camera) {
    std::string path;
    if (!singleFile(args, command, &path)) return kUsageError;
    long frame = 0;
    if (!args.has("frame") || !parseInt(args.get("frame"), 0, 2147483647L, &frame))
        return fail(kUsageError, "%s: --frame needs the frame number (from 0)", command);
    int mode = 0, sensing = 0;
    int status = depthOptions(command, args, "mode", &mode, &sensing);
    if (status != kOk) return status;
    if (!args.has("out")) return fail(kUsageError, "%s: --out names the file to write", command);

    // Check what can be checked before the expensive camera start.
    int frameCount = 0;
    if ((status = recordingFrameCount(path, &frameCount)) != kOk) return status;
    if (frame >= frameCount) return noSuchFrame(command, frame, frameCount);
    if ((status = openForExport(path, mode, camera)) != kOk) return status;
    camera.setTWVPosition(int(frame));
    RuntimeParameters runtime;
    runtime.sensingMode = sensing;
    const ERROR_CODE error = camera.grab(runtime);
    if (error != SUCCESS)
        return fail(kFailed, "%s: frame %ld: %s", path.c_str(), frame, describe(error).c_str());
    return kOk;
}

} // namespace twvtool
