#pragma once
// The ROS 2 messages a recording is exported as: sensor_msgs Image,
// CameraInfo and PointCloud2, serialised as CDR, with their definitions in
// the "ros2msg" form that bag readers decode them by.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace twl {
namespace ros {

/// std_msgs/Header: stamp and coordinate frame.
struct Header {
    uint64_t stampNs = 0;
    std::string frameId;
};

/// The latest time a stamp can carry: its seconds are an int32.
constexpr uint64_t kLatestStampNs = (uint64_t(INT32_MAX) + 1) * 1000000000ull - 1;

/// A message type's name ("sensor_msgs/msg/Image") and its complete
/// definition: its own .msg text, then every type it uses, each after a line
/// of 80 '=' and a line "MSG: package/Type".
struct MessageType {
    std::string name, definition;
};
const MessageType &imageType();
const MessageType &cameraInfoType();
const MessageType &pointCloud2Type();

/// One camera of a rectified pair as CameraInfo describes it; `tx` is
/// P[3], -fx times the baseline for the right camera, 0 for the left.
struct RectifiedCamera {
    uint32_t width = 0, height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0, tx = 0;
};

/// Image "bgr8" from BGRA pixels (alpha dropped), rows `stride` bytes apart.
void encodeBgr8(const Header &header, const unsigned char *bgra, uint32_t width, uint32_t height,
                size_t stride, std::vector<unsigned char> &out);
/// Image "32FC1", metres along the optical axis; every pixel without a
/// depth becomes NaN.
void encodeDepth(const Header &header, const float *metres, uint32_t width, uint32_t height, size_t stride,
                 std::vector<unsigned char> &out);
/// CameraInfo: "plumb_bob" with five zero distortion coefficients (the
/// pictures are rectified), K and P from the intrinsics, R the identity.
void encodeCameraInfo(const Header &header, const RectifiedCamera &camera, std::vector<unsigned char> &out);
/// PointCloud2, organised (one point per pixel): x, y, z float32 in metres
/// in the optical frame (x right, y down, z forward) and "rgb", a float32
/// holding the bits 0x00RRGGBB. The input is our cloud, four floats per
/// pixel (x right, y up, looking along -z, the colour word), rows `stride`
/// bytes apart; points without depth stay NaN and make it not dense.
void encodePointCloud(const Header &header, const float *xyzrgba, uint32_t width, uint32_t height,
                      size_t stride, std::vector<unsigned char> &out);

} // namespace ros
} // namespace twl
