#include "TwvRange.h"

#include "TwvArgs.h"
#include "TwvCommon.h"

namespace twvtool {

namespace {
constexpr long kLastFrame = 2147483646L;
}

bool wantsRange(const Args &args) {
    return args.has("frames") || args.flags.count("all") != 0;
}

int parseFrames(const char *command, const Args &args, FrameRange *range) {
    *range = FrameRange();
    if (args.flags.count("all")) {
        if (args.has("frames")) return fail(kUsageError, "%s: --all or --frames, not both", command);
        return kOk;
    }
    const std::string text = args.get("frames");
    const size_t colon = text.find(':');
    const std::string first = colon == std::string::npos ? text : text.substr(0, colon);
    const std::string last = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (colon == std::string::npos || (first.empty() && last.empty()) ||
        (!first.empty() && !parseInt(first, 0, kLastFrame, &range->first)) ||
        (!last.empty() && !parseInt(last, 0, kLastFrame, &range->last)))
        return fail(kUsageError, "%s: --frames needs FIRST:LAST, frame numbers from 0 (10:20, 10: or :20)",
                    command);
    if (range->last >= 0 && range->last < range->first)
        return fail(kUsageError, "%s: --frames %s ends before it begins", command, text.c_str());
    return kOk;
}

int parseFromTo(const char *command, const Args &args, FrameRange *range) {
    *range = FrameRange();
    if (args.has("from") && !parseInt(args.get("from"), 0, kLastFrame, &range->first))
        return fail(kUsageError, "%s: --from needs a frame number (from 0)", command);
    if (args.has("to") && !parseInt(args.get("to"), 0, kLastFrame, &range->last))
        return fail(kUsageError, "%s: --to needs a frame number (from 0)", command);
    if (range->last >= 0 && range->last < range->first)
        return fail(kUsageError, "%s: --to %ld comes before --from %ld", command, range->last, range->first);
    return kOk;
}

int resolveRange(const char *command, int frameCount, FrameRange *range) {
    if (range->first >= frameCount) return noSuchFrame(command, range->first, frameCount);
    if (range->last >= frameCount) return noSuchFrame(command, range->last, frameCount);
    if (range->last < 0) range->last = frameCount - 1;
    return kOk;
}

std::string describeRange(const FrameRange &range) {
    if (range.first == range.last) return "frame " + std::to_string(range.first);
    return "frames " + std::to_string(range.first) + " to " + std::to_string(range.last);
}

} // namespace twvtool
