#pragma once
// Ranges of frames on the command line: "--frames A:B" or "--all" (depth,
// cloud) and "--from A --to B" (export, cut). Both ends are included; frames
// are numbered from 0.

#include <string>

namespace twvtool {

struct Args;

struct FrameRange {
    long first = 0;
    long last = -1; // -1 until resolved: up to the last frame
    long count() const { return last - first + 1; }
};

/// Whether the command line asks for a range with --frames or --all.
bool wantsRange(const Args &args);
/// --frames A:B ("A:" runs to the last frame, ":B" starts at the first) or
/// --all. kOk or the exit status after saying what is wrong.
int parseFrames(const char *command, const Args &args, FrameRange *range);
/// --from A and --to B, either of them left out for the first or last frame.
int parseFromTo(const char *command, const Args &args, FrameRange *range);
/// Checks the range against a recording of `frameCount` frames and fills in
/// an open end. kOk or kFailed after naming the frame that is not there.
int resolveRange(const char *command, int frameCount, FrameRange *range);
/// "frames 3 to 9" or "frame 3".
std::string describeRange(const FrameRange &range);

} // namespace twvtool
