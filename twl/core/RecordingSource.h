#pragma once
// Playback of a recorded .twv file as a frame source.

#include "twl/core/FrameSource.h"

#include <memory>
#include <string>

namespace twl {

/// Opens the recording at `path`. On failure returns null and sets *error to
/// ERROR_CODE_FILE_NOT_FOUND, ERROR_CODE_NOT_A_RECORDING,
/// ERROR_CODE_UNSUPPORTED_VERSION or ERROR_CODE_DAMAGED_RECORDING.
std::unique_ptr<FrameSource> openRecordingSource(const std::string &path, ERROR_CODE *error);

} // namespace twl
