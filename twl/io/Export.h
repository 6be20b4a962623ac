#pragma once
// Writing depth maps and point clouds in the usual exchange formats. Both
// functions write through a temporary file in the target folder and rename it,
// so a failed save never leaves a half-written file; they return false on any
// failure.

#include "twl/core/Mat.h"
#include "twl/core/Types.h"

namespace twl {

/// Depth map (MAT_TYPE_32F_C1, metres, host memory) as PNG 16-bit grey
/// (depth x factor, invalid 0), PFM (float x factor, bottom row first) or PGM
/// 16-bit binary (depth x factor, invalid 0).
bool saveDepthAs(Mat &depth, DEPTH_FORMAT format, String path, float factor = 1.0f);

/// Point cloud (MAT_TYPE_32F_C4, host memory: x, y, z in metres and the colour
/// word) as XYZ text, PCD v0.7 binary, PLY binary little-endian or VTK legacy
/// polydata. Only valid points are written. With `withColor` the colour goes
/// along (PCD packs it as PCL does; PLY as red, green, blue bytes).
bool savePointCloudAs(Mat &cloud, POINT_CLOUD_FORMAT format, String path, bool withColor = false);

} // namespace twl
