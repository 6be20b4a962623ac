#pragma once
// The camera's modes, written out once: each resolution's name, picture size
// and frame rates, and the names of the depth modes. Everything that lists,
// parses, stores or checks a mode (window lists, command lines, settings,
// capture, the twv tool) reads it from here.

#include "twl/core/Types.h"

#include <string>
#include <vector>

namespace twl {

/// One resolution the camera streams.
struct ResolutionMode {
    RESOLUTION index;
    const char *name;   // as users type and read it: "HD720"
    Resolution size;    // one camera's picture
    int frameRateCount; // it streams the first frameRateCount of kFrameRates

    /// Both pictures next to each other.
    constexpr Resolution sideBySide() const { return Resolution(2 * size.width, size.height); }
};

/// Every frame rate the camera streams, lowest first; each resolution allows
/// a leading part of this list (the bigger the picture, the fewer).
inline constexpr int kFrameRates[] = {15, 30, 60, 100};
constexpr int kFrameRateCount = int(sizeof kFrameRates / sizeof kFrameRates[0]);

constexpr int kResolutionCount = 4;
/// What a live camera opens with when nothing else is asked for.
constexpr RESOLUTION kDefaultResolution = RESOLUTION_HD720;

/// In index order, HD2K first; the last is the smallest.
inline constexpr ResolutionMode kResolutionModes[kResolutionCount] = {
    {RESOLUTION_HD2K, "HD2K", Resolution(2208, 1242), 1},
    {RESOLUTION_HD1080, "HD1080", Resolution(1920, 1080), 2},
    {RESOLUTION_HD720, "HD720", Resolution(1280, 720), 3},
    {RESOLUTION_VGA, "VGA", Resolution(672, 376), 4},
};

/// nullptr for an index out of range.
const ResolutionMode *resolutionMode(int index);
/// Index of the resolution called exactly `name` (case matters); -1 when none.
int resolutionIndexByName(const std::string &name);
/// Index of the resolution whose camera picture is `width` wide; -1 when none.
int resolutionIndexByWidth(size_t width);
/// The rates `index` allows, lowest first (none for an index out of range).
std::vector<int> frameRatesFor(int index);
/// Position of `fps` in kFrameRates; -1 when it is none of them.
int frameRateIndex(int fps);
std::vector<std::string> resolutionNames();

/// Name of a depth mode (DEPTH_MODE_PERFORMANCE .. DEPTH_MODE_ULTRA), as users
/// type it: "QUALITY"; nullptr for any other value.
const char *depthModeName(int mode);
/// The mode called exactly `name`; DEPTH_MODE_NONE when none is.
DEPTH_MODE depthModeByName(const std::string &name);
std::vector<std::string> depthModeNames();

/// "a, b, c or d" for messages (`conjunction` between the last two).
std::string spokenList(const std::vector<std::string> &words, const char *conjunction = "or");

} // namespace twl
