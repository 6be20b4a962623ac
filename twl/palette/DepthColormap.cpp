#include "twl/palette/DepthColormap.h"

#include "twl/core/Mat.h"
#include "twl/util/Parallel.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cctype>
#include <cstring>
#include <mutex>

namespace twl {

namespace {

struct MapEntry {
    Colormap map;
    const char *name;
    const char *title;
    int opencv; // -1: grey
};

constexpr MapEntry kMaps[DepthColormap::kCount] = {
    {Colormap::Grey, "grey", "Grey", -1},
    {Colormap::Turbo, "turbo", "Turbo", cv::COLORMAP_TURBO},
    {Colormap::Viridis, "viridis", "Viridis", cv::COLORMAP_VIRIDIS},
    {Colormap::Inferno, "inferno", "Inferno", cv::COLORMAP_INFERNO},
    {Colormap::Plasma, "plasma", "Plasma", cv::COLORMAP_PLASMA},
    {Colormap::Jet, "jet", "Jet", cv::COLORMAP_JET},
};

const MapEntry &entry(Colormap map) {
    const int i = int(map);
    return kMaps[i >= 0 && i < DepthColormap::kCount ? i : 0];
}

} // namespace

const char *DepthColormap::name(Colormap map) {
    return entry(map).name;
}

const char *DepthColormap::title(Colormap map) {
    return entry(map).title;
}

bool DepthColormap::fromName(const std::string &text, Colormap *map) {
    std::string lower = text;
    for (char &c : lower)
        c = char(std::tolower((unsigned char)c));
    if (lower == "gray") lower = "grey";
    for (const MapEntry &e : kMaps)
        if (lower == e.name) {
            *map = e.map;
            return true;
        }
    return false;
}

Colormap DepthColormap::fromIndex(int index) {
    return index >= 0 && index < kCount ? kMaps[index].map : Colormap::Grey;
}

const cv::Mat &DepthColormap::table(Colormap map) {
    // Built once per map from OpenCV's own maps, so that every picture is
    // exactly applyColorMap of its levels.
    static std::array<cv::Mat, kCount> tables;
    static std::once_flag once;
    std::call_once(once, [] {
        cv::Mat levels(256, 1, CV_8UC1);
        for (int i = 0; i < 256; ++i)
            levels.at<uchar>(i) = uchar(i);
        for (int i = 0; i < kCount; ++i) {
            if (kMaps[i].opencv < 0)
                cv::cvtColor(levels, tables[size_t(i)], cv::COLOR_GRAY2BGR);
            else
                cv::applyColorMap(levels, tables[size_t(i)], kMaps[i].opencv);
            tables[size_t(i)].at<cv::Vec3b>(0) = cv::Vec3b(0, 0, 0);
        }
    });
    return tables[size_t(int(entry(map).map))];
}

void DepthColormap::paint(const cv::Mat &depth, const DepthRange &range, Colormap map, cv::Mat &bgra) {
    CV_Assert(depth.type() == CV_32F);
    bgra.create(depth.size(), CV_8UC4);
    // Each level's colour as the four bytes of its pixel, so that a pixel is one store.
    static std::array<std::array<uint32_t, 256>, kCount> pixels;
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < kCount; ++i) {
            const cv::Vec3b *colours = table(kMaps[i].map).ptr<cv::Vec3b>();
            for (int l = 0; l < 256; ++l) {
                const uchar bytes[4] = {colours[l][0], colours[l][1], colours[l][2], 255};
                std::memcpy(&pixels[size_t(i)][size_t(l)], bytes, 4);
            }
        }
    });
    const uint32_t *colour = pixels[size_t(int(entry(map).map))].data();
    const float nearM = range.nearM, scale = scaleOf(range);
    parallelFor(cv::Range(0, depth.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const float *z = depth.ptr<float>(y);
            uchar *p = bgra.ptr<uchar>(y);
            int x = 0;
#if CV_SIMD128
            // level() four at a time: the same float steps, truncated as its cast does.
            const cv::v_float32x4 zero = cv::v_setzero_f32(), nearLevel = cv::v_setall_f32(float(kNearLevel)),
                                  farLevel = cv::v_setall_f32(float(kFarLevel)),
                                  vnear = cv::v_setall_f32(nearM), vscale = cv::v_setall_f32(scale);
            for (; x + 4 <= depth.cols; x += 4) {
                const cv::v_float32x4 v = cv::v_load(z + x);
                const cv::v_float32x4 l =
                    cv::v_min(cv::v_max(nearLevel - (v - vnear) * vscale, farLevel), nearLevel);
                alignas(16) int levels[4];
                cv::v_store_aligned(levels, cv::v_trunc(cv::v_select(v > zero, l, zero)));
                const uint32_t four[4] = {colour[levels[0]], colour[levels[1]], colour[levels[2]],
                                          colour[levels[3]]};
                std::memcpy(p + 4 * x, four, sizeof four);
            }
#endif
            for (; x < depth.cols; ++x)
                std::memcpy(p + 4 * x, &colour[level(z[x], nearM, scale)], 4);
        }
    });
}

void DepthColormap::colourPoints(cv::Mat &xyzrgba, const DepthRange &range, Colormap map) {
    CV_Assert(xyzrgba.type() == CV_32FC4);
    const cv::Vec3b *colours = table(map).ptr<cv::Vec3b>();
    const float nearM = range.nearM, scale = scaleOf(range);
    parallelFor(cv::Range(0, xyzrgba.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            float *p = xyzrgba.ptr<float>(y);
            for (int x = 0; x < xyzrgba.cols; ++x, p += 4) {
                if (!(p[2] < 0.0f)) continue; // no depth: nothing is drawn there
                const cv::Vec3b &c = colours[level(-p[2], nearM, scale)];
                p[3] = packColor(c[2], c[1], c[0]);
            }
        }
    });
}

} // namespace twl
