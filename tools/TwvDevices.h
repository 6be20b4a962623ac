#pragma once
// twv's access to real stereo cameras: the devices command and opening a
// camera node for recording.

#include "twl/core/FrameSource.h"

#include <memory>
#include <string>

/// twv devices: lists the stereo cameras found; exit status 0 even with none.
int cmdDevices(int argc, char **argv);

/// Opens the stereo camera at `node` for recording; null with the reason in `why`.
std::unique_ptr<twl::FrameSource> openDeviceForRecording(const std::string &node, int resolutionIndex,
                                                         int fps, std::string *why);
