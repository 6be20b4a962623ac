#pragma once
// twv's access to real stereo cameras: opening a camera node for recording
// (the devices command is in TwvCommands.h).

#include "twl/core/FrameSource.h"

#include <memory>
#include <string>

/// Opens the stereo camera at `node` for recording; null with the reason in `why`.
std::unique_ptr<twl::FrameSource> openDeviceForRecording(const std::string &node, int resolutionIndex,
                                                         int fps, std::string *why);
