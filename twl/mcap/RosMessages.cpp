#include "twl/mcap/RosMessages.h"

#include "twl/core/Mat.h"
#include "twl/mcap/Cdr.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace twl {
namespace ros {

namespace {

const char kTime[] = "int32 sec\n"
                     "uint32 nanosec\n";
const char kHeader[] = "builtin_interfaces/Time stamp\n"
                       "string frame_id\n";
const char kRegionOfInterest[] = "uint32 x_offset\n"
                                 "uint32 y_offset\n"
                                 "uint32 height\n"
                                 "uint32 width\n"
                                 "bool do_rectify\n";
const char kPointField[] = "uint8 INT8    = 1\n"
                           "uint8 UINT8   = 2\n"
                           "uint8 INT16   = 3\n"
                           "uint8 UINT16  = 4\n"
                           "uint8 INT32   = 5\n"
                           "uint8 UINT32  = 6\n"
                           "uint8 FLOAT32 = 7\n"
                           "uint8 FLOAT64 = 8\n"
                           "string name\n"
                           "uint32 offset\n"
                           "uint8 datatype\n"
                           "uint32 count\n";

/// A used type's text after the two delimiter lines, as ROS 2 bag writers
/// join them.
std::string used(const char *type, const char *text) {
    return "\n" + std::string(80, '=') + "\nMSG: " + type + "\n" + text;
}

std::string withHeader() {
    return used("std_msgs/Header", kHeader) + used("builtin_interfaces/Time", kTime);
}

constexpr uint8_t kFloat32 = 7;

void header(CdrWriter &w, const Header &h) {
    w.i32(int32_t(h.stampNs / 1000000000ull));
    w.u32(uint32_t(h.stampNs % 1000000000ull));
    w.string(h.frameId);
}

/// The fields of an Image up to its pixels; returns room for them.
unsigned char *image(CdrWriter &w, const Header &h, uint32_t width, uint32_t height, const char *encoding,
                     uint32_t step) {
    header(w, h);
    w.u32(height);
    w.u32(width);
    w.string(encoding);
    w.u8(0); // little-endian
    w.u32(step);
    return w.sequence(step * height, 1);
}

} // namespace

const MessageType &imageType() {
    static const MessageType type{"sensor_msgs/msg/Image", "std_msgs/Header header\n"
                                                           "uint32 height\n"
                                                           "uint32 width\n"
                                                           "string encoding\n"
                                                           "uint8 is_bigendian\n"
                                                           "uint32 step\n"
                                                           "uint8[] data\n" +
                                                               withHeader()};
    return type;
}

const MessageType &cameraInfoType() {
    static const MessageType type{"sensor_msgs/msg/CameraInfo",
                                  "std_msgs/Header header\n"
                                  "uint32 height\n"
                                  "uint32 width\n"
                                  "string distortion_model\n"
                                  "float64[] d\n"
                                  "float64[9] k\n"
                                  "float64[9] r\n"
                                  "float64[12] p\n"
                                  "uint32 binning_x\n"
                                  "uint32 binning_y\n"
                                  "RegionOfInterest roi\n" +
                                      used("sensor_msgs/RegionOfInterest", kRegionOfInterest) + withHeader()};
    return type;
}

const MessageType &pointCloud2Type() {
    static const MessageType type{"sensor_msgs/msg/PointCloud2",
                                  "std_msgs/Header header\n"
                                  "uint32 height\n"
                                  "uint32 width\n"
                                  "PointField[] fields\n"
                                  "bool is_bigendian\n"
                                  "uint32 point_step\n"
                                  "uint32 row_step\n"
                                  "uint8[] data\n"
                                  "bool is_dense\n" +
                                      used("sensor_msgs/PointField", kPointField) + withHeader()};
    return type;
}

void encodeBgr8(const Header &h, const unsigned char *bgra, uint32_t width, uint32_t height, size_t stride,
                std::vector<unsigned char> &out) {
    CdrWriter w(out);
    unsigned char *dst = image(w, h, width, height, "bgr8", width * 3);
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char *src = bgra + size_t(y) * stride;
        for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    }
}

void encodeDepth(const Header &h, const float *metres, uint32_t width, uint32_t height, size_t stride,
                 std::vector<unsigned char> &out) {
    CdrWriter w(out);
    unsigned char *dst = image(w, h, width, height, "32FC1", width * 4);
    const float none = std::numeric_limits<float>::quiet_NaN();
    for (uint32_t y = 0; y < height; ++y) {
        const float *row = reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(metres) +
                                                           size_t(y) * stride);
        for (uint32_t x = 0; x < width; ++x, dst += 4) {
            const float z = std::isfinite(row[x]) && row[x] > 0 ? row[x] : none;
            std::memcpy(dst, &z, 4);
        }
    }
}

void encodeCameraInfo(const Header &h, const RectifiedCamera &c, std::vector<unsigned char> &out) {
    CdrWriter w(out);
    header(w, h);
    w.u32(c.height);
    w.u32(c.width);
    w.string("plumb_bob");
    const double d[5] = {0, 0, 0, 0, 0};
    std::memcpy(w.sequence(5, 8), d, sizeof d);
    const double k[9] = {c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1};
    const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double p[12] = {c.fx, 0, c.cx, c.tx, 0, c.fy, c.cy, 0, 0, 0, 1, 0};
    w.f64s(k, 9);
    w.f64s(r, 9);
    w.f64s(p, 12);
    w.u32(0); // binning: none
    w.u32(0);
    for (int i = 0; i < 4; ++i) // region of interest: all zero, the whole picture
        w.u32(0);
    w.boolean(false);
}

void encodePointCloud(const Header &h, const float *xyzrgba, uint32_t width, uint32_t height, size_t stride,
                      std::vector<unsigned char> &out) {
    CdrWriter w(out);
    header(w, h);
    w.u32(height);
    w.u32(width);
    w.u32(4);
    const char *names[4] = {"x", "y", "z", "rgb"};
    for (uint32_t i = 0; i < 4; ++i) {
        w.string(names[i]);
        w.u32(4 * i);
        w.u8(kFloat32);
        w.u32(1);
    }
    w.boolean(false); // little-endian
    constexpr uint32_t kStep = 16;
    w.u32(kStep);
    w.u32(kStep * width);
    unsigned char *dst = w.sequence(kStep * width * height, 1);
    bool dense = true;
    for (uint32_t y = 0; y < height; ++y) {
        const float *p = reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(xyzrgba) +
                                                         size_t(y) * stride);
        for (uint32_t x = 0; x < width; ++x, p += 4, dst += kStep) {
            // Ours looks along -z with y up; the optical frame looks along +z with y down.
            const float point[3] = {p[0], -p[1], -p[2]};
            dense = dense && std::isfinite(point[0]) && std::isfinite(point[1]) && std::isfinite(point[2]);
            unsigned char r = 0, g = 0, b = 0;
            unpackColor(p[3], &r, &g, &b);
            const uint32_t rgb = uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
            std::memcpy(dst, point, sizeof point);
            std::memcpy(dst + 12, &rgb, 4);
        }
    }
    w.boolean(dense);
}

} // namespace ros
} // namespace twl
