#include "twl/source/VirtualScene.h"

#include "twl/util/Parallel.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace twl {

namespace {

// Surface texture: octaves of value noise with equal amplitude from 4 to 1024
// cells, histogram-equalised, so that every viewing distance finds contrast at
// the scale of a few pixels. A mip chain (contrast restored per level) keeps
// distant surfaces free of aliasing that would differ between the two eyes.
constexpr int kTextureSize = 1024;
constexpr float kTexelMetres = 0.002f;

struct Texture {
    std::vector<cv::Mat> levels; // CV_8U, kTextureSize >> level square

    Texture() {
        cv::RNG rng(0x7a11);
        cv::Mat acc(kTextureSize, kTextureSize, CV_32F, cv::Scalar(0));
        for (int g = 4; g <= kTextureSize; g *= 2) {
            cv::Mat cells(g, g, CV_32F);
            rng.fill(cells, cv::RNG::UNIFORM, -1.0, 1.0);
            if (g < kTextureSize) {
                cv::Mat up;
                cv::resize(cells, up, cv::Size(kTextureSize, kTextureSize), 0, 0, cv::INTER_CUBIC);
                acc += up;
            } else {
                acc += cells;
            }
        }
        cv::Mat grey;
        cv::normalize(acc, acc, 0, 255, cv::NORM_MINMAX);
        acc.convertTo(grey, CV_8U);
        cv::equalizeHist(grey, grey);
        levels.push_back(grey);
        cv::Scalar mean0, std0;
        cv::meanStdDev(grey, mean0, std0);
        while (levels.back().cols > 4) {
            cv::Mat half;
            cv::resize(levels.back(), half, cv::Size(levels.back().cols / 2, levels.back().rows / 2), 0, 0,
                       cv::INTER_AREA);
            cv::Scalar mean, sd;
            cv::meanStdDev(half, mean, sd);
            double gain = sd[0] > 1 ? std::min(4.0, std0[0] / sd[0]) : 1.0;
            half.convertTo(half, CV_8U, gain, 128.0 - gain * mean[0]);
            levels.push_back(half);
        }
    }

    static float sampleLevel(const cv::Mat &level, float u, float v) {
        const int mask = level.cols - 1;
        const float fu = std::floor(u), fv = std::floor(v);
        const int x0 = int(fu) & mask, y0 = int(fv) & mask;
        const int x1 = (x0 + 1) & mask, y1 = (y0 + 1) & mask;
        const float a = u - fu, b = v - fv;
        const uchar *r0 = level.ptr<uchar>(y0), *r1 = level.ptr<uchar>(y1);
        const float top = r0[x0] + (r0[x1] - r0[x0]) * a;
        const float bottom = r1[x0] + (r1[x1] - r1[x0]) * a;
        return top + (bottom - top) * b;
    }

    /// u, v in level-0 texels; lod = log2 of the pixel footprint in texels.
    float sample(float u, float v, float lod) const {
        const int last = int(levels.size()) - 1;
        lod = std::min(std::max(lod, 0.0f), float(last));
        const int l = std::min(int(lod), last);
        const float f = lod - float(l);
        const float scale = 1.0f / float(1 << l);
        float s = sampleLevel(levels[l], (u + 0.5f) * scale - 0.5f, (v + 0.5f) * scale - 0.5f);
        if (f > 0.01f && l < last) {
            const float s1 = sampleLevel(levels[l + 1], (u + 0.5f) * scale * 0.5f - 0.5f,
                                         (v + 0.5f) * scale * 0.5f - 0.5f);
            s += (s1 - s) * f;
        }
        return s;
    }
};

const Texture &texture() {
    static const Texture instance;
    return instance;
}

inline void shadePixel(uchar *bgra, float s, float shade, const cv::Vec3f &tint) {
    const float v = (16.0f + 0.86f * s) * shade;
    for (int c = 0; c < 3; ++c)
        bgra[c] = cv::saturate_cast<uchar>(v * tint[c]);
    bgra[3] = 255;
}

// The room, in the left camera's frame (X right, Y down, Z forward), metres.
constexpr float kBackWallZ = 9.5f;
constexpr float kFloorY = 1.2f;
constexpr float kCeilingY = -2.3f;
constexpr float kLeftWallX = -4.0f;
constexpr float kRightWallX = 4.0f;

// Everything one object's rasterisation reads, copied into locals so that the
// compiler need not reload it after each pixel store.
struct Raster {
    const uchar *texels;
    int texMask, texStep;
    float texScale, texOffset;
    float invF, cx, cy, fx;
    float cosA, sinA;
    float ocx, ocy, ocz; // ray origin relative to the object's centre
    float radius;
    float tint[3];
    int x0, x1;
};

inline float sampleTexels(const uchar *texels, int mask, int step, float u, float v) {
    const float fu = std::floor(u), fv = std::floor(v);
    const int x0 = int(fu) & mask, y0 = int(fv) & mask;
    const int x1 = (x0 + 1) & mask, y1 = (y0 + 1) & mask;
    const float a = u - fu, b = v - fv;
    const uchar *r0 = texels + y0 * step, *r1 = texels + y1 * step;
    const float top = r0[x0] + (r0[x1] - r0[x0]) * a;
    const float bottom = r1[x0] + (r1[x1] - r1[x0]) * a;
    return top + (bottom - top) * b;
}

inline void writePixel(uchar *bgra, float s, float shade, const float *tint) {
    const float v = (16.0f + 0.86f * s) * shade;
    for (int c = 0; c < 3; ++c)
        bgra[c] = uchar(std::min(255.0f, v * tint[c]) + 0.5f);
    bgra[3] = 255;
}

constexpr float kLightX = -0.3f, kLightY = -0.6f, kLightZ = -0.742f; // towards the light, unit length

#if CV_SIMD128
// Four pixels at a time: the per-pixel code's operations in its order, so
// the same bytes (checked on 200 frames at five sizes); rendering was a
// sixth of a grab's CPU time at HD1080, which a real camera does not spend.
using cv::v_float32x4;
using cv::v_int32x4;

inline v_float32x4 sampleTexels4(const uchar *texels, int mask, int step, v_float32x4 u, v_float32x4 v) {
    // floor(u) as an integer, then as a float (the coordinates are far
    // inside the integers' range; lanes that miss may hold anything).
    const v_int32x4 iu = cv::v_floor(u), iv = cv::v_floor(v), m = cv::v_setall_s32(mask),
                    one = cv::v_setall_s32(1);
    const v_float32x4 a = u - cv::v_cvt_f32(iu), b = v - cv::v_cvt_f32(iv);
    alignas(16) int x0[4], x1[4], y0[4], y1[4];
    cv::v_store_aligned(x0, iu & m);
    cv::v_store_aligned(x1, ((iu & m) + one) & m);
    cv::v_store_aligned(y0, iv & m);
    cv::v_store_aligned(y1, ((iv & m) + one) & m);
    alignas(16) int t00[4], t01[4], t10[4], t11[4];
    for (int i = 0; i < 4; ++i) {
        const uchar *r0 = texels + y0[i] * step, *r1 = texels + y1[i] * step;
        t00[i] = r0[x0[i]], t01[i] = r0[x1[i]], t10[i] = r1[x0[i]], t11[i] = r1[x1[i]];
    }
    const v_int32x4 a00 = cv::v_load_aligned(t00), a01 = cv::v_load_aligned(t01),
                    a10 = cv::v_load_aligned(t10), a11 = cv::v_load_aligned(t11);
    const v_float32x4 top = cv::v_cvt_f32(a00) + cv::v_cvt_f32(a01 - a00) * a;
    const v_float32x4 bottom = cv::v_cvt_f32(a10) + cv::v_cvt_f32(a11 - a10) * a;
    return top + (bottom - top) * b;
}

// writePixel for four pixels, stored where `hit` is set (depth too).
inline void writePixels4(uchar *bgra, float *depth, v_float32x4 hit, v_float32x4 s, v_float32x4 shade,
                         const float *tint, v_float32x4 t) {
    const v_float32x4 v = (cv::v_setall_f32(16.0f) + cv::v_setall_f32(0.86f) * s) * shade;
    const v_float32x4 top = cv::v_setall_f32(255.0f), half = cv::v_setall_f32(0.5f);
    v_int32x4 pixel = cv::v_setall_s32(int(0xFF000000u));
    for (int c = 0; c < 3; ++c)
        pixel = pixel | (cv::v_trunc(cv::v_min(v * cv::v_setall_f32(tint[c]), top) + half) << (8 * c));
    const v_int32x4 keep = cv::v_reinterpret_as_s32(hit);
    cv::v_store(
        reinterpret_cast<int *>(bgra),
        cv::v_select(keep, pixel, cv::v_reinterpret_as_s32(cv::v_load(reinterpret_cast<int *>(bgra)))));
    cv::v_store(depth, cv::v_select(hit, t, cv::v_load(depth)));
}

inline v_float32x4 lanesAt(int x, float cx, float invF) {
    return (cv::v_cvt_f32(cv::v_setall_s32(x) + v_int32x4(0, 1, 2, 3)) - cv::v_setall_f32(cx)) *
           cv::v_setall_f32(invF);
}

// Pixels [x, end) of row y of a sphere, four at a time; returns where it stopped.
int sphereLanes(const Raster &r, float invR, float cc, float dy, float k, float m, int x, int end, uchar *img,
                float *dep) {
    const v_float32x4 zero = cv::v_setall_f32(0.0f), ocx = cv::v_setall_f32(r.ocx), vk = cv::v_setall_f32(k),
                      vm = cv::v_setall_f32(m), vcc = cv::v_setall_f32(cc), vinvR = cv::v_setall_f32(invR),
                      vdy = cv::v_setall_f32(dy);
    for (; x + 4 <= end; x += 4) {
        const v_float32x4 dx = lanesAt(x, r.cx, r.invF);
        const v_float32x4 a = dx * dx + vm, b = ocx * dx + vk;
        const v_float32x4 disc = b * b - a * vcc;
        // Where disc < 0 the root is NaN and so is t: no lane passes the depth test.
        const v_float32x4 t = ((b ^ cv::v_setall_f32(-0.0f)) - cv::v_sqrt(disc)) / a;
        const v_float32x4 depth = cv::v_load(dep + x);
        const v_float32x4 hit = (t > zero) & (t < depth);
        if (!cv::v_check_any(hit)) continue;
        const v_float32x4 nx = (ocx + t * dx) * vinvR, ny = (cv::v_setall_f32(r.ocy) + t * vdy) * vinvR,
                          nz = (cv::v_setall_f32(r.ocz) + t) * vinvR;
        const v_float32x4 shade =
            cv::v_setall_f32(0.35f) + cv::v_setall_f32(0.65f) * cv::v_max(nx * cv::v_setall_f32(kLightX) +
                                                                              ny * cv::v_setall_f32(kLightY) +
                                                                              nz * cv::v_setall_f32(kLightZ),
                                                                          zero);
        const v_float32x4 cosA = cv::v_setall_f32(r.cosA), sinA = cv::v_setall_f32(r.sinA);
        const v_float32x4 lx = cosA * nx - sinA * nz, lz = sinA * nx + cosA * nz;
        const v_float32x4 ax = cv::v_abs(lx), ay = cv::v_abs(ny), az = cv::v_abs(lz);
        const v_float32x4 alongX = (ax >= ay) & (ax >= az), alongY = ay >= az;
        const v_float32x4 u = cv::v_select(alongX, ny, cv::v_select(alongY, lx, lx + cv::v_setall_f32(5.0f)));
        const v_float32x4 v = cv::v_select(alongX, lz, cv::v_select(alongY, lz + cv::v_setall_f32(3.0f), ny));
        const v_float32x4 radius = cv::v_setall_f32(r.radius), scale = cv::v_setall_f32(r.texScale);
        const v_float32x4 s =
            sampleTexels4(r.texels, r.texMask, r.texStep,
                          (u * radius + cv::v_setall_f32(r.texOffset)) * scale, v * radius * scale);
        writePixels4(img + 4 * x, dep + x, hit, s, shade, r.tint, t);
    }
    return x;
}

// Pixels [x, end) of row y of a box (o3: the ray's origin in the box's
// frame), four at a time; returns where it stopped.
int boxLanes(const Raster &r, const float *o3, const float *faceShade, float dy, int x, int end, uchar *img,
             float *dep) {
    const v_float32x4 zero = cv::v_setall_f32(0.0f), tiny = cv::v_setall_f32(1e-9f),
                      radius = cv::v_setall_f32(r.radius), minusRadius = cv::v_setall_f32(-r.radius),
                      cosA = cv::v_setall_f32(r.cosA), sinA = cv::v_setall_f32(r.sinA);
    const v_int32x4 axes[3] = {cv::v_setall_s32(0), cv::v_setall_s32(1), cv::v_setall_s32(2)};
    for (; x + 4 <= end; x += 4) {
        const v_float32x4 dx = lanesAt(x, r.cx, r.invF);
        const v_float32x4 d3[3] = {cosA * dx - sinA, cv::v_setall_f32(dy), sinA * dx + cosA};
        v_float32x4 tn = cv::v_setall_f32(-1e30f), tf = cv::v_setall_f32(1e30f), miss = zero < zero;
        v_int32x4 axis = axes[0];
        for (int k = 0; k < 3; ++k) {
            const v_float32x4 o = cv::v_setall_f32(o3[k]);
            const v_float32x4 parallel = cv::v_abs(d3[k]) < tiny;
            miss = miss | (parallel & (cv::v_abs(o) > radius));
            const v_float32x4 inv = cv::v_setall_f32(1.0f) / d3[k];
            const v_float32x4 t1 = (minusRadius - o) * inv, t2 = (radius - o) * inv;
            const v_float32x4 swap = t1 > t2;
            const v_float32x4 near = cv::v_select(swap, t2, t1), far = cv::v_select(swap, t1, t2);
            const v_float32x4 nearer = (near > tn) & ~parallel;
            tn = cv::v_select(nearer, near, tn);
            axis = cv::v_select(cv::v_reinterpret_as_s32(nearer), axes[k], axis);
            tf = cv::v_select(parallel, tf, cv::v_min(far, tf));
        }
        const v_float32x4 hit = ~miss & (tn <= tf) & (tn > zero) & (tn < cv::v_load(dep + x));
        if (!cv::v_check_any(hit)) continue;
        const v_float32x4 t = tn;
        const v_float32x4 p[3] = {cv::v_setall_f32(o3[0]) + t * d3[0], cv::v_setall_f32(o3[1]) + t * d3[1],
                                  cv::v_setall_f32(o3[2]) + t * d3[2]};
        const v_float32x4 on[3] = {cv::v_reinterpret_as_f32(axis == axes[0]),
                                   cv::v_reinterpret_as_f32(axis == axes[1]),
                                   cv::v_reinterpret_as_f32(axis == axes[2])};
        auto pick = [&](const v_float32x4(&of)[3], int shift) {
            return cv::v_select(on[0], of[shift % 3],
                                cv::v_select(on[1], of[(1 + shift) % 3], of[(2 + shift) % 3]));
        };
        const v_float32x4 shades[3] = {cv::v_setall_f32(faceShade[0]), cv::v_setall_f32(faceShade[1]),
                                       cv::v_setall_f32(faceShade[2])};
        const v_float32x4 facing = pick(d3, 0) > zero;
        const v_float32x4 shade =
            pick(shades, 0) * cv::v_select(facing, cv::v_setall_f32(0.85f), cv::v_setall_f32(1.0f));
        const v_float32x4 offsets[3] = {cv::v_setall_f32(0.0f), cv::v_setall_f32(2.0f),
                                        cv::v_setall_f32(4.0f)};
        const v_float32x4 u = pick(p, 1) + pick(offsets, 0), v = pick(p, 2);
        const v_float32x4 scale = cv::v_setall_f32(r.texScale);
        const v_float32x4 s = sampleTexels4(r.texels, r.texMask, r.texStep,
                                            (u + cv::v_setall_f32(r.texOffset)) * scale, v * scale);
        writePixels4(img + 4 * x, dep + x, hit, s, shade, r.tint, t);
    }
    return x;
}
#endif

void rasterSphere(const Raster &in, int y0, int y1, cv::Mat &image, cv::Mat &depth) {
    const Raster r = in;
    const float invR = 1.0f / r.radius;
    const float cc = r.ocx * r.ocx + r.ocy * r.ocy + r.ocz * r.ocz - r.radius * r.radius;
    for (int y = y0; y < y1; ++y) {
        uchar *img = image.ptr<uchar>(y);
        float *dep = depth.ptr<float>(y);
        const float dy = (float(y) - r.cy) * r.invF;
        // The row's hits lie between the roots of the discriminant in dx.
        const float k = r.ocy * dy + r.ocz, m = dy * dy + 1.0f;
        const float qa = r.ocx * r.ocx - cc, qb = 2.0f * r.ocx * k, qc = k * k - m * cc;
        const float rowDisc = qb * qb - 4.0f * qa * qc;
        if (qa >= 0 || rowDisc < 0) continue;
        const float root = std::sqrt(rowDisc);
        const float dx0 = (-qb + root) / (2.0f * qa), dx1 = (-qb - root) / (2.0f * qa);
        const int xBegin = std::max(r.x0, int(std::floor(r.cx + r.fx * std::min(dx0, dx1))) - 1);
        const int xEnd = std::min(r.x1, int(std::ceil(r.cx + r.fx * std::max(dx0, dx1))) + 2);
        int x = xBegin;
#if CV_SIMD128
        x = sphereLanes(r, invR, cc, dy, k, m, x, xEnd, img, dep);
#endif
        for (; x < xEnd; ++x) {
            const float dx = (float(x) - r.cx) * r.invF;
            const float a = dx * dx + m;
            const float b = r.ocx * dx + k;
            const float disc = b * b - a * cc;
            if (disc < 0) continue;
            const float t = (-b - std::sqrt(disc)) / a;
            if (t <= 0 || t >= dep[x]) continue;
            const float nx = (r.ocx + t * dx) * invR, ny = (r.ocy + t * dy) * invR, nz = (r.ocz + t) * invR;
            const float shade = 0.35f + 0.65f * std::max(0.0f, nx * kLightX + ny * kLightY + nz * kLightZ);
            // Spinning object: texture from the rotated normal, projected along
            // its dominant axis.
            const float lx = r.cosA * nx - r.sinA * nz, lz = r.sinA * nx + r.cosA * nz;
            const float ax = std::fabs(lx), ay = std::fabs(ny), az = std::fabs(lz);
            float u, v;
            if (ax >= ay && ax >= az)
                u = ny, v = lz;
            else if (ay >= az)
                u = lx, v = lz + 3.0f;
            else
                u = lx + 5.0f, v = ny;
            const float s =
                sampleTexels(r.texels, r.texMask, r.texStep, (u * r.radius + r.texOffset) * r.texScale,
                             v * r.radius * r.texScale);
            writePixel(img + 4 * x, s, shade, r.tint);
            dep[x] = t;
        }
    }
}

void rasterBox(const Raster &in, int y0, int y1, cv::Mat &image, cv::Mat &depth) {
    const Raster r = in;
    static const float faceShade[3] = {0.75f, 0.95f, 0.6f};
    // Slab test in the box's own frame (rotated about Y).
    const float o3[3] = {r.cosA * r.ocx - r.sinA * r.ocz, r.ocy, r.sinA * r.ocx + r.cosA * r.ocz};
    for (int y = y0; y < y1; ++y) {
        uchar *img = image.ptr<uchar>(y);
        float *dep = depth.ptr<float>(y);
        const float dy = (float(y) - r.cy) * r.invF;
        int x = r.x0;
#if CV_SIMD128
        x = boxLanes(r, o3, faceShade, dy, x, r.x1, img, dep);
#endif
        for (; x < r.x1; ++x) {
            const float dx = (float(x) - r.cx) * r.invF;
            const float d3[3] = {r.cosA * dx - r.sinA, dy, r.sinA * dx + r.cosA};
            float tn = -1e30f, tf = 1e30f;
            int axis = 0;
            bool miss = false;
            for (int k = 0; k < 3; ++k) {
                if (std::fabs(d3[k]) < 1e-9f) {
                    miss = miss || std::fabs(o3[k]) > r.radius;
                    continue;
                }
                const float inv = 1.0f / d3[k];
                float t1 = (-r.radius - o3[k]) * inv, t2 = (r.radius - o3[k]) * inv;
                if (t1 > t2) std::swap(t1, t2);
                if (t1 > tn) tn = t1, axis = k;
                tf = std::min(tf, t2);
            }
            if (miss || tn > tf || tn <= 0 || tn >= dep[x]) continue;
            const float t = tn;
            const float p[3] = {o3[0] + t * d3[0], o3[1] + t * d3[1], o3[2] + t * d3[2]};
            const float shade = faceShade[axis] * (d3[axis] > 0 ? 0.85f : 1.0f);
            const float u = p[(axis + 1) % 3] + 2.0f * float(axis), v = p[(axis + 2) % 3];
            const float s =
                sampleTexels(r.texels, r.texMask, r.texStep, (u + r.texOffset) * r.texScale, v * r.texScale);
            writePixel(img + 4 * x, s, shade, r.tint);
            dep[x] = t;
        }
    }
}

} // namespace

struct VirtualScene::Object {
    bool box = false;
    cv::Vec3f centre;
    float radius = 0; // sphere radius or half the box edge
    float angle = 0;  // rotation about the vertical axis
    cv::Vec3f tint;
    float textureOffset = 0;
};

CalibrationParameters VirtualScene::calibration(Resolution size) {
    return nominalCalibration(size);
}

VirtualScene::VirtualScene(Resolution size) : size_(size) {
    const CalibrationParameters calib = calibration(size);
    fx_ = calib.left_cam.fx;
    cx_ = calib.left_cam.cx;
    cy_ = calib.left_cam.cy;
    const Texture &tex = texture();
    const int w = int(size.width), h = int(size.height);
    const float lodBase = std::log2(1.0f / (fx_ * kTexelMetres));
    for (int eye = 0; eye < 2; ++eye) {
        background_[eye].create(h, w, CV_8UC4);
        backgroundDepth_[eye].create(h, w, CV_32F);
        depthScratch_[eye].create(h, w, CV_32F);
        const float ox = eye == 0 ? 0.0f : kNominalBaselineMetres;
        twl::parallelFor(cv::Range(0, h), [&](const cv::Range &rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                uchar *img = background_[eye].ptr<uchar>(y);
                float *dep = backgroundDepth_[eye].ptr<float>(y);
                const float dy = (float(y) - cy_) / fx_;
                for (int x = 0; x < w; ++x) {
                    const float dx = (float(x) - cx_) / fx_;
                    // Nearest of the five room planes along the ray (ox, 0, 0) + t (dx, dy, 1).
                    float t = kBackWallZ;
                    int plane = 0;
                    if (dy > 1e-6f && kFloorY / dy < t) {
                        t = kFloorY / dy;
                        plane = 1;
                    }
                    if (dy < -1e-6f && kCeilingY / dy < t) {
                        t = kCeilingY / dy;
                        plane = 2;
                    }
                    if (dx > 1e-6f && (kRightWallX - ox) / dx < t) {
                        t = (kRightWallX - ox) / dx;
                        plane = 3;
                    }
                    if (dx < -1e-6f && (kLeftWallX - ox) / dx < t) {
                        t = (kLeftWallX - ox) / dx;
                        plane = 4;
                    }
                    const float px = ox + t * dx, py = t * dy, pz = t;
                    const float len = std::sqrt(dx * dx + dy * dy + 1.0f);
                    float u, v, cosine, shade;
                    cv::Vec3f tint;
                    switch (plane) {
                    case 0:
                        u = px, v = py, cosine = 1.0f / len, shade = 1.0f, tint = {0.95f, 1.0f, 1.05f};
                        break;
                    case 1:
                        u = px + 11.0f, v = pz, cosine = dy / len, shade = 0.85f, tint = {0.8f, 0.95f, 1.1f};
                        break;
                    case 2:
                        u = px + 23.0f, v = pz, cosine = -dy / len, shade = 0.7f, tint = {1.05f, 1.0f, 0.9f};
                        break;
                    case 3:
                        u = pz + 37.0f, v = py, cosine = dx / len, shade = 0.8f, tint = {1.1f, 0.9f, 0.85f};
                        break;
                    default:
                        u = pz + 51.0f, v = py, cosine = -dx / len, shade = 0.9f, tint = {0.9f, 1.05f, 0.95f};
                        break;
                    }
                    // Footprint of one pixel on the surface, stretched by obliquity.
                    const float lod = lodBase + std::log2(t / std::max(cosine, 0.05f));
                    // Two samplings at incommensurate scales: the texture's tile
                    // would otherwise repeat within the disparity search on far walls.
                    const float s1 = tex.sample(u / kTexelMetres, v / kTexelMetres, lod);
                    const float s2 =
                        tex.sample(u * (1.0f / (0.6180339f * kTexelMetres)) + 313.0f,
                                   v * (1.0f / (0.6180339f * kTexelMetres)) + 177.0f, lod + 0.694f);
                    const float s = std::min(255.0f, std::max(0.0f, 128.0f + 0.75f * (s1 + s2 - 256.0f)));
                    shadePixel(img + 4 * x, s, shade, tint);
                    dep[x] = pz;
                }
            }
        });
    }
}

VirtualScene::~VirtualScene() = default;

void VirtualScene::render(double t, cv::Mat &left, cv::Mat &right, cv::Mat *leftDepth) {
    renderPair(t, left, right, leftDepth, false);
}

void VirtualScene::renderOver(double t, cv::Mat &left, cv::Mat &right) {
    renderPair(t, left, right, nullptr, true);
}

void VirtualScene::renderPair(double t, cv::Mat &left, cv::Mat &right, cv::Mat *leftDepth, bool over) {
    // Paths chosen so that the nearest surface stays beyond 0.8 m and the
    // objects cross each other and the room's depth range.
    Object objects[5];
    const float ft = float(t);
    objects[0] = {false,
                  {-0.6f + 0.5f * std::sin(0.7f * ft), 0.2f, 1.7f + 0.5f * std::sin(0.9f * ft)},
                  0.2f,
                  0.6f * ft,
                  {1.0f, 0.85f, 0.8f},
                  71.0f};
    objects[1] = {false,
                  {1.5f * std::sin(0.4f * ft), 0.75f, 5.0f + 2.0f * std::sin(0.3f * ft + 1.0f)},
                  0.45f,
                  -0.4f * ft,
                  {0.8f, 1.0f, 0.9f},
                  83.0f};
    objects[2] = {true,
                  {1.0f + 0.4f * std::sin(0.5f * ft), -0.2f, 2.8f + 0.8f * std::sin(0.6f * ft + 2.0f)},
                  0.25f,
                  0.8f * ft,
                  {0.85f, 0.9f, 1.1f},
                  97.0f};
    objects[3] = {false,
                  {-2.0f + 0.8f * std::sin(0.5f * ft + 1.0f), -0.8f, 7.5f + 1.2f * std::sin(0.35f * ft)},
                  0.3f,
                  0.3f * ft,
                  {1.1f, 1.0f, 0.75f},
                  109.0f};
    objects[4] = {
        true,  {-1.5f + 2.0f * std::sin(0.25f * ft), 0.4f, 8.2f}, 0.45f, 0.2f * ft, {0.9f, 0.8f, 1.0f},
        127.0f};
    const std::vector<Object> list(objects, objects + 5);

    renderEye(0, list, left, leftDepth ? *leftDepth : depthScratch_[0], over);
    renderEye(1, list, right, depthScratch_[1], over);
}

void VirtualScene::forget(const cv::Mat &image) {
    for (auto &eye : drawn_)
        for (Drawn &drawn : eye)
            if (drawn.image.data == image.data) drawn = Drawn();
}

// Screen rectangle of an object seen from (ox, 0, 0): exact for a sphere (the
// planes through the camera's axes tangent to it), the projected corners for
// a box.
cv::Rect VirtualScene::screenBounds(const Object &o, float ox) const {
    const float X = o.centre[0] - ox, Y = o.centre[1], Z = o.centre[2];
    float x0, x1, y0, y1;
    if (!o.box) {
        const float r = o.radius;
        if (X * X + Z * Z <= r * r * 1.0001f || Y * Y + Z * Z <= r * r * 1.0001f || Z <= r)
            return cv::Rect(0, 0, int(size_.width), int(size_.height));
        // Slopes k of the planes x = k z tangent to the sphere: (X - k Z)^2 = r^2 (1 + k^2).
        auto slopes = [r](float a, float z, float &lo, float &hi) {
            const float qa = z * z - r * r, qb = -2.0f * a * z, qc = a * a - r * r;
            const float root = std::sqrt(std::max(0.0f, qb * qb - 4.0f * qa * qc));
            lo = (-qb - root) / (2.0f * qa);
            hi = (-qb + root) / (2.0f * qa);
        };
        float kx0, kx1, ky0, ky1;
        slopes(X, Z, kx0, kx1);
        slopes(Y, Z, ky0, ky1);
        x0 = cx_ + fx_ * kx0, x1 = cx_ + fx_ * kx1, y0 = cy_ + fx_ * ky0, y1 = cy_ + fx_ * ky1;
    } else {
        const float c = std::cos(o.angle), s = std::sin(o.angle), r = o.radius;
        x0 = y0 = 1e9f, x1 = y1 = -1e9f;
        for (int k = 0; k < 8; ++k) {
            const float lx = (k & 1) ? r : -r, ly = (k & 2) ? r : -r, lz = (k & 4) ? r : -r;
            const float px = X + c * lx + s * lz, py = Y + ly, pz = Z - s * lx + c * lz;
            if (pz < 0.05f) return cv::Rect(0, 0, int(size_.width), int(size_.height));
            const float u = cx_ + fx_ * px / pz, v = cy_ + fx_ * py / pz;
            x0 = std::min(x0, u), x1 = std::max(x1, u), y0 = std::min(y0, v), y1 = std::max(y1, v);
        }
    }
    return cv::Rect(cv::Point(int(std::floor(x0)) - 1, int(std::floor(y0)) - 1),
                    cv::Point(int(std::ceil(x1)) + 2, int(std::ceil(y1)) + 2));
}

void VirtualScene::renderEye(int eye, const std::vector<Object> &objects, cv::Mat &image, cv::Mat &depth,
                             bool over) {
    const int w = int(size_.width), h = int(size_.height);
    const float ox = eye == 0 ? 0.0f : kNominalBaselineMetres;
    const bool fullDepth = &depth != &depthScratch_[eye];
    image.create(background_[eye].size(), background_[eye].type());
    // The room outside the objects' old and new places is still in the image.
    int slot = 1 - lastDrawn_[eye];
    for (int i = 0; i < 2; ++i)
        if (drawn_[eye][i].image.data == image.data && drawn_[eye][i].image.step == image.step) slot = i;
    Drawn &drawn = drawn_[eye][slot];
    over = over && drawn.image.data == image.data && drawn.image.step == image.step;
    lastDrawn_[eye] = slot;
    depth.create(backgroundDepth_[eye].size(), backgroundDepth_[eye].type());

    // Screen rectangle of each object: projection of its bounding cube.
    std::vector<cv::Rect> boxes;
    const cv::Rect frame(0, 0, w, h);
    for (const Object &o : objects) {
        boxes.push_back(screenBounds(o, ox) & frame);
    }

    std::vector<cv::Rect> stale; // where the objects last drawn here hide the room
    if (over) stale.swap(drawn.boxes);
    drawn.image = image;
    drawn.boxes = boxes;

    const Texture &tex = texture();
    std::vector<Raster> rasters(objects.size());
    for (size_t i = 0; i < objects.size(); ++i) {
        const Object &o = objects[i];
        Raster &r = rasters[i];
        // One mip level per object (rounded up: slightly soft rather than aliased).
        const int level =
            std::max(0, std::min(int(tex.levels.size()) - 1,
                                 int(std::ceil(std::log2(o.centre[2] / (fx_ * kTexelMetres))))));
        const cv::Mat &texLevel = tex.levels[size_t(level)];
        r.texels = texLevel.data;
        r.texMask = texLevel.cols - 1;
        r.texStep = int(texLevel.step[0]);
        r.texScale = 1.0f / (kTexelMetres * float(1 << level));
        r.texOffset = o.textureOffset;
        r.invF = 1.0f / fx_;
        r.cx = cx_, r.cy = cy_, r.fx = fx_;
        r.cosA = std::cos(o.angle), r.sinA = std::sin(o.angle);
        r.ocx = ox - o.centre[0], r.ocy = -o.centre[1], r.ocz = -o.centre[2];
        r.radius = o.radius;
        r.tint[0] = o.tint[0], r.tint[1] = o.tint[1], r.tint[2] = o.tint[2];
        r.x0 = boxes[i].x, r.x1 = boxes[i].x + boxes[i].width;
    }

    // Each band of rows is drawn whole by one thread: the background, then the
    // objects in order (one pass, where a loop per object left a core idle while
    // the background was copied and between objects).
    // Copies by row pointer: the headers of sub-images count references to
    // the whole images atomically, and the threads drawing neighbouring rows
    // fought over those counts.
    const cv::Mat &room = background_[eye], &roomDepth = backgroundDepth_[eye];
    auto copyPart = [](const cv::Mat &from, cv::Mat &to, const cv::Rect &part) {
        const size_t pixel = from.elemSize(), bytes = size_t(part.width) * pixel;
        for (int y = part.y; y < part.y + part.height; ++y)
            std::memcpy(to.ptr(y) + size_t(part.x) * pixel, from.ptr(y) + size_t(part.x) * pixel, bytes);
    };
    twl::parallelFor(cv::Range(0, h), [&](const cv::Range &rows) {
        const cv::Rect band(0, rows.start, w, rows.end - rows.start);
        if (!over) copyPart(room, image, band);
        // Without a depth image to fill, only the depth under the objects is read.
        if (fullDepth) copyPart(roomDepth, depth, band);
        for (const cv::Rect &box : boxes) {
            const cv::Rect part = box & band;
            if (part.empty()) continue;
            if (over) copyPart(room, image, part);
            if (!fullDepth) copyPart(roomDepth, depth, part);
        }
        for (const cv::Rect &box : stale) {
            const cv::Rect part = box & band;
            if (!part.empty()) copyPart(room, image, part);
        }
        for (size_t i = 0; i < objects.size(); ++i) {
            const int y0 = std::max(rows.start, boxes[i].y),
                      y1 = std::min(rows.end, boxes[i].y + boxes[i].height);
            if (boxes[i].empty() || y0 >= y1) continue;
            if (objects[i].box)
                rasterBox(rasters[i], y0, y1, image, depth);
            else
                rasterSphere(rasters[i], y0, y1, image, depth);
        }
    });
}

} // namespace twl
