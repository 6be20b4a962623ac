#pragma once
// Setting image controls from the command line ("--set NAME=VALUE"), shared
// by twv controls and twv record.

#include "twl/core/CameraControl.h"

#include <functional>
#include <string>
#include <vector>

namespace twvtool {

/// Sets each "NAME=VALUE" in order, names as `twv controls` lists them, and
/// prints "NAME=VALUE" with the value the camera took when `echo` is set.
/// Returns kOk, or the exit status after saying which control failed and why
/// (kUsageError for a malformed setting, kFailed for one the camera has not
/// or refused).
int applySettings(const char *command, const std::vector<std::string> &settings,
                  const std::function<std::vector<twl::CameraControl>()> &read,
                  const std::function<int(uint32_t, int32_t)> &set, bool echo);

} // namespace twvtool
