#pragma once
// Process-wide store of runtime settings and measured values, shared by the
// window, the application object, the capture thread and the views. There is
// no change notification: writers store, readers look at their next use.
// Numbers cross threads and are atomic; strings belong to the GUI thread.

#include <QString>

// Boolean indices.
// PARAM_PAINT_ALL: paint as before the frugal repaint (every slider move, the
// whole cloud), to measure against.
enum : int { PARAM_PAUSE = 1, PARAM_PAINT_ALL = 2, PARAM_STABILIZER = 3, PARAM_MODEL_FLAG = 4 };

// Integer indices.
enum : int {
    PARAM_RESOLUTION = 1,
    PARAM_DEPTH_MAX = 2,
    PARAM_CONFIDENCE = 3,
    PARAM_IMAGE_VIEW = 4,
    PARAM_TWV_STEP = 5,
    PARAM_DEPTH_VIEW = 6,
    PARAM_CAM_WIDTH = 7,
    PARAM_CAM_HEIGHT = 8,
    PARAM_DISPLAY_WIDTH = 9,
    PARAM_DISPLAY_HEIGHT = 10,
    PARAM_DEPTH_FPS = 11,
    PARAM_CAMERA_FPS = 12,
    PARAM_DEPTH_QUALITY = 14,
    PARAM_SENSING = 15,
    // How the depth picture looks: colour map (twl::Colormap), range (0 auto,
    // 1 fixed), and whether the point cloud takes its colours (1) or the image's (0).
    PARAM_DEPTH_COLORMAP = 16,
    PARAM_DEPTH_RANGE = 17,
    PARAM_CLOUD_COLORS = 18
};

// Double indices.
// PARAM_CLICK2_*: the second point of a two-point measure, -1 when none.
// PARAM_RANGE_*: the range (metres) of the depth picture the loop made last.
enum : int {
    PARAM_CLICK_X = 1,
    PARAM_CLICK_Y = 2,
    PARAM_DEPTH_MIN = 3,
    PARAM_CLICK2_X = 4,
    PARAM_CLICK2_Y = 5,
    PARAM_RANGE_NEAR = 6,
    PARAM_RANGE_FAR = 7
};

// String indices.
enum : int { PARAM_WINDOW_TITLE = 1, PARAM_TWV_PATH = 2, PARAM_STATUS_TEXT = 3 };

namespace GlobalParams {

/// PARAM_DEPTH_MAX (millimetres) that an input starts with: the camera model
/// that PARAM_MODEL_FLAG marks sees farther. The window opens at the farther.
constexpr int kStartDepthMaxMm = 15000;
constexpr int kStartDepthMaxOtherModelMm = 10000;

constexpr int kBoolCount = 5;
constexpr int kIntCount = 19;
constexpr int kDoubleCount = 8;
constexpr int kStringCount = 4;

// An index outside the arrays reads as false/0/0.0 and writes nothing.
bool getBool(int i);
void setBool(int i, bool b);
int getInt(int i);
void setInt(int i, int v);
double getDouble(int i);
void setDouble(int i, double d);
/// Modifiable string i (GUI thread only); an index outside the array gives a scratch string.
QString &stringRef(int i);

/// Everything false, 0, 0.0 or empty.
void reset();

} // namespace GlobalParams
