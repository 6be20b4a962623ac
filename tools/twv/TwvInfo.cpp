// twv info: what a recording holds.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvRecorder.h"

#include <cstdio>

using namespace twl;
using namespace twvtool;

int cmdInfo(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {}, {}, &args)) return kUsageError;
    std::string path;
    if (!singleFile(args, "info", &path)) return kUsageError;
    TwvReader reader;
    const ERROR_CODE error = reader.open(path);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());

    const TwvHeader &h = reader.header();
    const int count = reader.frameCount();
    double duration = 0;
    uint64_t first = 0, last = 0;
    if (count > 0) {
        // From the recorded times when they can be read, else from the rate.
        if (reader.readTimestamp(0, &first) == SUCCESS && reader.readTimestamp(count - 1, &last) == SUCCESS &&
            last >= first)
            duration = double(last - first) / 1e9 + 1.0 / double(h.fps);
        else
            duration = double(count) / double(h.fps);
    }
    // Frames the camera made that are not in the file, by the recorded times.
    int64_t missing = 0;
    int places = 0;
    uint64_t previous = 0;
    for (int i = 0; i < count; ++i) {
        uint64_t t = 0;
        if (reader.readTimestamp(i, &t) != SUCCESS) continue; // a damaged frame says nothing of time
        const int64_t gap = framesMissingBetween(previous, t, h.fps);
        missing += gap;
        places += gap > 0 ? 1 : 0;
        previous = t;
    }
    std::printf("file:          %s\n", path.c_str());
    std::printf("format:        version %u, %s\n", h.version, codecName(h.codec));
    std::printf("resolution:    %ux%u per eye\n", h.width, h.height);
    std::printf("frame rate:    %g fps\n", double(h.fps));
    std::printf("serial number: %u\n", h.serialNumber);
    if (h.firmwareVersion == kFirmwareUnknown)
        std::printf("firmware:      unknown\n");
    else
        std::printf("firmware:      %u\n", h.firmwareVersion);
    std::printf("model:         %d\n", h.model);
    std::printf("focal length:  fx %.3f  fy %.3f pixels\n", double(h.fx), double(h.fy));
    std::printf("principal:     cx %.3f  cy %.3f pixels\n", double(h.cx), double(h.cy));
    std::printf("baseline:      %.4f m\n", double(h.baseline));
    std::printf("field of view: %.2f x %.2f degrees\n", double(h.hFov), double(h.vFov));
    std::printf("frames:        %d\n", count);
    std::printf("duration:      %.3f s\n", duration);
    if (places == 0)
        std::printf("gaps:          0 frames\n");
    else
        std::printf("gaps:          %lld frames (in %d %s)\n", static_cast<long long>(missing), places,
                    places == 1 ? "place" : "places");
    if (reader.isRecovered())
        std::printf("note:          not closed properly; frames found by scanning the file\n");
    return kOk;
}
