// twv cut: a range of a recording's frames as a recording of its own. The
// frames' stored bytes are copied, not decoded and encoded again, so nothing
// is lost; header and calibration stay as they were.
//
//   twv cut IN.twv OUT.twv [--from A] [--to B]

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvProgress.h"
#include "TwvRange.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace twl;
using namespace twvtool;

int cmdCut(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"from", "to"}, {}, &args)) return kUsageError;
    if (args.positional.size() != 2)
        return fail(kUsageError,
                    "cut: name the recording and the one to make: twv cut IN.twv OUT.twv --from A --to B");
    const std::string in = args.positional[0], out = args.positional[1];
    FrameRange range;
    int status = parseFromTo("cut", args, &range);
    if (status != kOk) return status;
    TwvReader reader;
    ERROR_CODE error = reader.open(in);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", in.c_str(), describeOpen(in, error).c_str());
    if ((status = resolveRange("cut", reader.frameCount(), &range)) != kOk) return status;

    TwvWriter writer;
    const std::string partial = partialPath(out);
    error = writer.open(partial, reader.header(), reader.header().codec);
    if (error != SUCCESS)
        return fail(kFailed, "cut: cannot create %s: %s", partial.c_str(), describe(error).c_str());
    Progress progress("cutting");
    auto abandon = [&](const std::string &why) {
        progress.end();
        writer.close();
        return giveUp("cut", partial, out, why);
    };
    catchInterrupts();
    std::vector<unsigned char> payload;
    std::string skipped;
    uint64_t first = 0, last = 0;
    for (long frame = range.first; frame <= range.last; ++frame) {
        if (interrupted) return abandon("stopped at frame " + std::to_string(frame));
        twv::FrameHeader f;
        error = reader.readEncodedFrame(int(frame), &f, &payload);
        if (error == ERROR_CODE_DAMAGED_RECORDING) {
            skipped += (skipped.empty() ? "" : ", ") + std::to_string(frame);
        } else if (error != SUCCESS ||
                   (error = writer.writeEncodedFrame(f.codec, f.timestamp, payload.data(), f.leftSize,
                                                     f.rightSize)) != SUCCESS) {
            return abandon("frame " + std::to_string(frame) + ": " + describe(error));
        } else {
            if (writer.framesWritten() == 1) first = f.timestamp;
            last = f.timestamp;
        }
        progress.update(int(frame - range.first + 1), int(range.count()));
    }
    progress.end();
    const int kept = writer.framesWritten();
    if (kept == 0) return abandon("every frame of the range is damaged");
    if (putInPlace("cut", writer.close(), partial, out) != kOk) return kFailed;
    // Timed as twv info times a recording: up to the end of its last frame.
    const double seconds =
        (last >= first ? double(last - first) / 1e9 : 0.0) + 1.0 / double(reader.header().fps);
    std::printf("%s: %d frames, %s of %s, %.3f s\n", out.c_str(), kept, describeRange(range).c_str(),
                in.c_str(), seconds);
    if (!skipped.empty()) return fail(kFailed, "cut: damaged frames left out: %s", skipped.c_str());
    return kOk;
}
