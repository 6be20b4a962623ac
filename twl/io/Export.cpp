#include "twl/io/Export.h"

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace twl {


namespace {

/// Writes the bytes next to `path` under a temporary name, flushes them to
/// disk and renames: readers see the old file or the whole new one.
bool writeAtomically(const std::string &path, const std::string &bytes) {
    if (path.empty())
        return false;
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            ok = false;
        else
            done += size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    // mkstemp creates 0600; snapshots are ordinary user files.
    ok = ok && ::fchmod(fd, 0644) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(name.data(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        ::unlink(name.data());
    return ok;
}

/// Host pixels of a matrix, wherever it lives; `scratch` holds a host copy
/// when the matrix has only device memory.
const Mat *hostView(Mat &m, Mat &scratch) {
    if (m.getPtr<uchar>(MEM_CPU))
        return &m;
    if (!m.getPtr<uchar>(MEM_GPU) || m.copyTo(scratch, MEM_GPU, MEM_CPU) != SUCCESS)
        return nullptr;
    return &scratch;
}

uint16_t depthToUnsigned(float depth, float factor) {
    if (!(depth > 0.0f) || !std::isfinite(depth))
        return 0;
    const double v = std::round(double(depth) * double(factor));
    return v >= 65535.0 ? 65535 : uint16_t(v);
}

template <typename T> void append(std::string &out, const T &v) {
    out.append(reinterpret_cast<const char *>(&v), sizeof v);
}

struct Point {
    float x, y, z;
    uchar r, g, b;
};

std::vector<Point> validPoints(const Mat &cloud) {
    std::vector<Point> points;
    points.reserve(cloud.getWidth() * cloud.getHeight());
    for (size_t y = 0; y < cloud.getHeight(); ++y) {
        const float *row = reinterpret_cast<const float *>(cloud.getPtr<uchar>(MEM_CPU) +
                                                           y * cloud.getStepBytes(MEM_CPU));
        for (size_t x = 0; x < cloud.getWidth(); ++x) {
            const float *p = row + 4 * x;
            if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
                continue;
            Point q{p[0], p[1], p[2], 0, 0, 0};
            unpackColor(p[3], &q.r, &q.g, &q.b);
            points.push_back(q);
        }
    }
    return points;
}

std::string number(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", double(v));
    return buf;
}

std::string xyz(const std::vector<Point> &points, bool withColor) {
    std::string out;
    out.reserve(points.size() * (withColor ? 48 : 36));
    for (const Point &p : points) {
        out += number(p.x) + ' ' + number(p.y) + ' ' + number(p.z);
        if (withColor)
            out += ' ' + std::to_string(p.r) + ' ' + std::to_string(p.g) + ' ' + std::to_string(p.b);
        out += '\n';
    }
    return out;
}

std::string pcd(const std::vector<Point> &points, bool withColor) {
    const std::string n = std::to_string(points.size());
    std::string out = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n";
    out += withColor ? "FIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
                     : "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
    out += "WIDTH " + n + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + n + "\nDATA binary\n";
    for (const Point &p : points) {
        append(out, p.x);
        append(out, p.y);
        append(out, p.z);
        if (withColor) {
            // The readers unpack "rgb" as the bits 0x00RRGGBB of the float.
            const uint32_t word = (uint32_t(p.r) << 16) | (uint32_t(p.g) << 8) | uint32_t(p.b);
            append(out, word);
        }
    }
    return out;
}

std::string ply(const std::vector<Point> &points, bool withColor) {
    std::string out = "ply\nformat binary_little_endian 1.0\ncomment written by Vantaro\nelement vertex " +
                      std::to_string(points.size()) + "\nproperty float x\nproperty float y\nproperty float z\n";
    if (withColor)
        out += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    out += "end_header\n";
    for (const Point &p : points) {
        append(out, p.x);
        append(out, p.y);
        append(out, p.z);
        if (withColor) {
            out += char(p.r);
            out += char(p.g);
            out += char(p.b);
        }
    }
    return out;
}

std::string vtk(const std::vector<Point> &points, bool withColor) {
    const size_t n = points.size();
    std::string out = "# vtk DataFile Version 3.0\nVantaro point cloud\nASCII\nDATASET POLYDATA\nPOINTS " +
                      std::to_string(n) + " float\n";
    for (const Point &p : points)
        out += number(p.x) + ' ' + number(p.y) + ' ' + number(p.z) + '\n';
    out += "VERTICES " + std::to_string(n) + ' ' + std::to_string(2 * n) + '\n';
    for (size_t i = 0; i < n; ++i)
        out += "1 " + std::to_string(i) + '\n';
    if (withColor && n > 0) {
        out += "POINT_DATA " + std::to_string(n) + "\nCOLOR_SCALARS rgb 3\n";
        for (const Point &p : points)
            out += number(p.r / 255.0f) + ' ' + number(p.g / 255.0f) + ' ' + number(p.b / 255.0f) + '\n';
    }
    return out;
}

} // namespace

bool saveDepthAs(Mat &depth, DEPTH_FORMAT format, String path, float factor) {
    Mat scratch;
    const Mat *m = hostView(depth, scratch);
    if (!m || m->getDataType() != MAT_TYPE_32F_C1 || !std::isfinite(factor))
        return false;
    const int w = int(m->getWidth()), h = int(m->getHeight());
    auto row = [&](int y) {
        return reinterpret_cast<const float *>(m->getPtr<uchar>(MEM_CPU) + size_t(y) * m->getStepBytes(MEM_CPU));
    };
    std::string bytes;
    switch (format) {
    case DEPTH_FORMAT_PNG:
    case DEPTH_FORMAT_PGM: {
        // PGM stores 16-bit samples big-endian; OpenCV's writer does that
        // and writes the same header we did by hand.
        cv::Mat image(h, w, CV_16U);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.at<uint16_t>(y, x) = depthToUnsigned(row(y)[x], factor);
        std::vector<uchar> encoded;
        try {
            if (!cv::imencode(format == DEPTH_FORMAT_PNG ? ".png" : ".pgm", image, encoded))
                return false;
        } catch (const cv::Exception &) {
            return false;
        }
        bytes.assign(encoded.begin(), encoded.end());
        break;
    }
    case DEPTH_FORMAT_PFM: {
        // Little-endian floats (negative scale), rows from the bottom up.
        // Written by hand: OpenCV's PFM writer gives the scale as "-1"
        // where our files have always said "-1.0".
        bytes = "Pf\n" + std::to_string(w) + ' ' + std::to_string(h) + "\n-1.0\n";
        bytes.reserve(bytes.size() + size_t(w) * size_t(h) * 4);
        for (int y = h - 1; y >= 0; --y)
            for (int x = 0; x < w; ++x)
                append(bytes, float(row(y)[x] * factor));
        break;
    }
    default:
        return false;
    }
    return writeAtomically(path.str(), bytes);
}

bool savePointCloudAs(Mat &cloud, POINT_CLOUD_FORMAT format, String path, bool withColor) {
    Mat scratch;
    const Mat *m = hostView(cloud, scratch);
    if (!m || m->getDataType() != MAT_TYPE_32F_C4)
        return false;
    const std::vector<Point> points = validPoints(*m);
    std::string bytes;
    switch (format) {
    case POINT_CLOUD_FORMAT_XYZ:
        bytes = xyz(points, withColor);
        break;
    case POINT_CLOUD_FORMAT_PCD:
        bytes = pcd(points, withColor);
        break;
    case POINT_CLOUD_FORMAT_PLY:
        bytes = ply(points, withColor);
        break;
    case POINT_CLOUD_FORMAT_VTK:
        bytes = vtk(points, withColor);
        break;
    default:
        return false;
    }
    return writeAtomically(path.str(), bytes);
}

} // namespace twl
