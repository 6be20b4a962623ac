#include "twl/core/ModeTable.h"

namespace twl {

namespace {

const char *const kDepthModeNames[] = {"PERFORMANCE", "MEDIUM", "QUALITY", "ULTRA"};
static_assert(sizeof kDepthModeNames / sizeof kDepthModeNames[0] ==
                  size_t(DEPTH_MODE_ULTRA - DEPTH_MODE_PERFORMANCE + 1),
              "one name per depth mode");

} // namespace

const ResolutionMode *resolutionMode(int index) {
    return index >= 0 && index < kResolutionCount ? &kResolutionModes[index] : nullptr;
}

int resolutionIndexByName(const std::string &name) {
    for (const ResolutionMode &m : kResolutionModes)
        if (name == m.name) return m.index;
    return -1;
}

int resolutionIndexByWidth(size_t width) {
    for (const ResolutionMode &m : kResolutionModes)
        if (m.size.width == width) return m.index;
    return -1;
}

std::vector<int> frameRatesFor(int index) {
    const ResolutionMode *m = resolutionMode(index);
    return m ? std::vector<int>(kFrameRates, kFrameRates + m->frameRateCount) : std::vector<int>();
}

int frameRateIndex(int fps) {
    for (int i = 0; i < kFrameRateCount; ++i)
        if (kFrameRates[i] == fps) return i;
    return -1;
}

std::vector<std::string> resolutionNames() {
    std::vector<std::string> names;
    for (const ResolutionMode &m : kResolutionModes)
        names.push_back(m.name);
    return names;
}

const char *depthModeName(int mode) {
    return mode >= DEPTH_MODE_PERFORMANCE && mode <= DEPTH_MODE_ULTRA
               ? kDepthModeNames[mode - DEPTH_MODE_PERFORMANCE]
               : nullptr;
}

DEPTH_MODE depthModeByName(const std::string &name) {
    for (int mode = DEPTH_MODE_PERFORMANCE; mode <= DEPTH_MODE_ULTRA; ++mode)
        if (name == depthModeName(mode)) return DEPTH_MODE(mode);
    return DEPTH_MODE_NONE;
}

std::vector<std::string> depthModeNames() {
    return std::vector<std::string>(std::begin(kDepthModeNames), std::end(kDepthModeNames));
}

std::string spokenList(const std::vector<std::string> &words, const char *conjunction) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out += i + 1 == words.size() ? std::string(" ") + conjunction + " " : std::string(", ");
        out += words[i];
    }
    return out;
}

// The older entry points of Types.h, answered from the table.

Resolution resolutionSize(int resolutionIndex) {
    const ResolutionMode *m = resolutionMode(resolutionIndex);
    return m ? m->size : Resolution(0, 0);
}

bool isFrameRateAllowed(int resolutionIndex, int fps) {
    const ResolutionMode *m = resolutionMode(resolutionIndex);
    const int i = frameRateIndex(fps);
    return m && i >= 0 && i < m->frameRateCount;
}

int nearestAllowedFrameRate(int resolutionIndex, int fps) {
    int best = kFrameRates[0];
    for (int rate : frameRatesFor(resolutionIndex))
        if (rate <= fps) best = rate;
    return best;
}

} // namespace twl
