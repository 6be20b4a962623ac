#pragma once
// Depth maps and point clouds of a range of frames, one numbered file each.

#include <functional>
#include <string>

namespace twl {
class Camera;
}

namespace twvtool {

struct Args;

/// Saves what the camera computed for the frame just grabbed; false when
/// the file could not be written.
using SaveFrame = std::function<bool(twl::Camera &camera, const std::string &path)>;

/// `twv depth|cloud FILE --frames A:B|--all --out FOLDER`: every frame of
/// the range saved by `save` as FOLDER/PREFIX_NNNNNN.EXT (the frame's
/// number), with progress on standard error and a closing summary naming
/// `what` was written. A frame that cannot be decoded is skipped and named
/// (exit status 1 at the end); a file that cannot be written ends the work.
int exportFrames(const char *command, const Args &args, const char *prefix, const std::string &extension,
                 const char *what, const SaveFrame &save);

} // namespace twvtool
