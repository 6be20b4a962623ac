#include "twl/CameraSession.h"

#include "twl/core/ModeTable.h"
#include "twl/stereo/NearestResize.h"
#include "twl/util/Log.h"
#include "twl/util/Parallel.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace twl {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The per-pixel passes after matching run over every working pixel each
// grab; written out in vectors (the same operations, so the same floats)
// they no longer branch on each pixel.
void stabiliseRow(float *cur, float *prev, int width) {
    int x = 0;
#if CV_SIMD128
    // |c - p| < 1 is false where either is not finite, as the scalar test below says outright.
    const cv::v_float32x4 one = cv::v_setall_f32(1.0f), rate = cv::v_setall_f32(0.4f);
    for (; x + 4 <= width; x += 4) {
        const cv::v_float32x4 c = cv::v_load(cur + x), p = cv::v_load(prev + x), step = c - p;
        const cv::v_float32x4 out = cv::v_select(cv::v_abs(step) < one, p + rate * step, c);
        cv::v_store(cur + x, out);
        cv::v_store(prev + x, out);
    }
#endif
    for (; x < width; ++x) {
        const float c = cur[x], p = prev[x];
        if (std::isfinite(c) && std::isfinite(p) && std::fabs(c - p) < 1.0f) cur[x] = p + 0.4f * (c - p);
        prev[x] = cur[x];
    }
}

// One row of the point cloud from its depths, rays and BGRA colours; in
// vectors, as it runs over every point each grab.
void pointRow(const float *z, const uchar *c, const float *rx, float ry, int width, float *p) {
    int u = 0;
#if CV_SIMD128
    const cv::v_float32x4 zero = cv::v_setzero_f32(), nan = cv::v_setall_f32(kNaN),
                          vry = cv::v_setall_f32(ry);
    const cv::v_uint32x4 low = cv::v_setall_u32(0xff), middle = cv::v_setall_u32(0xff00),
                         opaque = cv::v_setall_u32(0xff000000u);
    for (; u + 4 <= width; u += 4) {
        const cv::v_float32x4 depth = cv::v_load(z + u), valid = depth > zero;
        // packColor(r, g, b) of each BGRA pixel: its red and blue bytes swapped, alpha opaque.
        uint32_t words[4];
        std::memcpy(words, c + 4 * u, sizeof words);
        const cv::v_uint32x4 bgra = cv::v_load(words);
        const cv::v_uint32x4 rgba = ((bgra >> 16) & low) | (bgra & middle) | ((bgra & low) << 16) | opaque;
        cv::v_store_interleave(p + 4 * u, cv::v_select(valid, cv::v_load(rx + u) * depth, nan),
                               cv::v_select(valid, vry * depth, nan), cv::v_select(valid, zero - depth, nan),
                               cv::v_reinterpret_as_f32(rgba));
    }
#endif
    for (; u < width; ++u) {
        float *point = p + 4 * u;
        const uchar *colour = c + 4 * u;
        const float depth = z[u];
        if (depth > 0.0f) {
            point[0] = rx[u] * depth;
            point[1] = ry * depth;
            point[2] = -depth; // the camera looks along -Z
        } else {
            point[0] = point[1] = point[2] = kNaN;
        }
        point[3] = packColor(colour[2], colour[1], colour[0]);
    }
}

struct DepthLimits {
    float focalBaseline, maxDepth, minConfidence;
    bool fill;
};

void depthRow(const float *d, const float *c, int width, const DepthLimits &limits, float *z, float *k) {
    int x = 0;
#if CV_SIMD128
    const cv::v_float32x4 zero = cv::v_setzero_f32(), nan = cv::v_setall_f32(kNaN),
                          fb = cv::v_setall_f32(limits.focalBaseline),
                          maxZ = cv::v_setall_f32(limits.maxDepth),
                          minConfidence = cv::v_setall_f32(limits.minConfidence);
    for (; x + 4 <= width; x += 4) {
        const cv::v_float32x4 disparity = cv::v_load(d + x), confidence = cv::v_load(c + x);
        const cv::v_float32x4 depth = cv::v_select(disparity > zero, fb / disparity, nan);
        cv::v_float32x4 keep = depth <= maxZ;
        if (!limits.fill) keep = keep & ~(confidence <= zero) & ~(confidence < minConfidence);
        cv::v_store(z + x, cv::v_select(keep, depth, nan));
        cv::v_store(k + x, cv::v_select(keep, confidence, zero));
    }
#endif
    for (; x < width; ++x) {
        float depth = (d[x] > 0.0f) ? limits.focalBaseline / d[x] : kNaN; // NaN compares false
        float confidence = c[x];
        if (!(depth <= limits.maxDepth) ||
            (!limits.fill && (confidence <= 0.0f || confidence < limits.minConfidence))) {
            depth = kNaN;
            confidence = 0.0f;
        }
        z[x] = depth;
        k[x] = confidence;
    }
}

/// Header over the matrix memory that the caller asked for, with its real
/// row pitch. Allocates (or re-allocates) the matrix when it does not fit.
ERROR_CODE prepare(Mat &mat, size_t width, size_t height, MAT_TYPE type, MEM memory, int cvType,
                   cv::Mat *header) {
    const MEM target = memory == MEM_GPU ? MEM_GPU : MEM_CPU;
    if (mat.getWidth() != width || mat.getHeight() != height || mat.getDataType() != type ||
        !mat.getPtr<uchar>(target)) {
        ERROR_CODE e = mat.alloc(width, height, type, target);
        if (e != SUCCESS) return e;
    }
    *header = cv::Mat(int(height), int(width), cvType, mat.getPtr<uchar>(target), mat.getStepBytes(target));
    return SUCCESS;
}

/// After filling one memory, keep the other one in step when the caller
/// asked for both.
ERROR_CODE finish(Mat &mat, MEM memory) {
    if (memory == MEM_BOTH) return mat.updateGPUfromCPU();
    return SUCCESS;
}

Resolution requested(size_t width, size_t height, Resolution natural) {
    if (width == 0 || height == 0) return natural;
    return Resolution(width, height);
}

} // namespace

CameraSession::CameraSession(std::unique_ptr<FrameSource> source, const InitParameters &parameters)
    : source_(std::move(source)), init_(parameters) {
    info_ = source_->information();
    size_ = source_->resolution();
    const CameraParameters &left = info_.calibration_parameters.left_cam;
    const float baseline = info_.calibration_parameters.baseline;
    focalBaseline_ = left.fx * baseline;
    minDepth_ = parameters.depthMinimumDistance > 0
                    ? parameters.depthMinimumDistance
                    : StereoEngine::minimumDepth(left.fx, baseline, int(size_.width));
    const int mode = std::clamp(parameters.depthMode, int(DEPTH_MODE_PERFORMANCE), int(DEPTH_MODE_ULTRA));
    engine_.configure(mode, size_, left.fx, baseline, minDepth_);
    char line[160];
    std::snprintf(line, sizeof line, "session %zux%zu, depth mode %s, nearest depth %.2f m", size_.width,
                  size_.height, depthModeName(mode), double(minDepth_));
    log(LogLevel::Debug, line);
}

void CameraSession::resetTemporalState() {
    previousDisparity_.release();
}

void CameraSession::setDepthLook(const DepthLook &look) {
    if (look == look_) return;
    if (look.autoRange && !look_.autoRange) follower_.reset();
    look_ = look;
    rangeFresh_ = false;
}

DepthRange CameraSession::pictureRange() {
    if (rangeFresh_) return frameRange_;
    // The fixed range: from the nearest allowed depth to the maximum range.
    const float farZ = std::max(maxDepth.load(), minDepth_ * 1.01f);
    DepthRange fixed;
    fixed.nearM = look_.nearM > 0.0f ? look_.nearM : minDepth_;
    fixed.farM = look_.farM > fixed.nearM ? look_.farM : std::max(farZ, fixed.nearM * 1.01f);
    frameRange_ = fixed;
    if (look_.autoRange && hasDepth_) {
        follower_.update(depth_, timestamp_, minDepth_, farZ);
        if (follower_.range().isValid()) frameRange_ = follower_.range();
    }
    rangeFresh_ = hasDepth_;
    return frameRange_;
}

ERROR_CODE CameraSession::grab(const RuntimeParameters &parameters) {
    // For the pairs decoded from now on: those ahead were asked for before.
    source_->wantGrey(parameters.enableDepth);
    ERROR_CODE e = source_->grab(frame_);
    if (e != SUCCESS) return e;
    hasFrame_ = true;
    timestamp_ = frame_.timestamp;
    rangeFresh_ = false;
    leftScaledSize_ = cv::Size();
    depthScaledSize_ = cv::Size();
    hasDepth_ = false;
    if (parameters.enableDepth) {
        const bool fill = parameters.sensingMode == SENSING_MODE_FILL;
        // The source's grey where it made it: the engine would only make it
        // again, from the whole of both pictures in memory.
        const bool grey = !frame_.greyLeft.empty() && frame_.greyLeft.size() == frame_.left.size();
        engine_.compute(grey ? frame_.greyLeft : frame_.left, grey ? frame_.greyRight : frame_.right, fill,
                        stereo_);
        updateDepth(fill, init_.depthStabilization);
        hasDepth_ = true;
    }
    return SUCCESS;
}

void CameraSession::updateDepth(bool fill, bool stabilise) {
    cv::Mat &disp = stereo_.disparity;
    const cv::Mat &conf = stereo_.confidence;
    // Stabilised, the disparities follow slow changes smoothly and jumps at
    // once: a moving edge must not leave a trail, a still wall must not shimmer.
    const bool follow = stabilise && previousDisparity_.size() == disp.size();
    if (stabilise && !follow) previousDisparity_ = disp.clone();
    depth_.create(disp.size(), CV_32F);
    confidence_.create(disp.size(), CV_32F);
    const float maxZ = maxDepth.load();
    // Higher thresholds keep more: 100 keeps every valid pixel, lower values
    // drop the least confident ones first. FILL promises a dense map, so the
    // threshold does not punch holes into it.
    const float minConfidence = fill ? 0.0f : 100.0f - float(std::clamp(confidenceThreshold.load(), 0, 100));
    const DepthLimits limits{focalBaseline_, maxZ, minConfidence, fill};
    // Row by row, both passes: a row the first wrote is still in cache for the second.
    parallelFor(cv::Range(0, disp.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            if (follow) stabiliseRow(disp.ptr<float>(y), previousDisparity_.ptr<float>(y), disp.cols);
            depthRow(disp.ptr<float>(y), conf.ptr<float>(y), disp.cols, limits, depth_.ptr<float>(y),
                     confidence_.ptr<float>(y));
        }
    });
}

const cv::Mat &CameraSession::leftAt(cv::Size size) {
    if (size == frame_.left.size()) return frame_.left;
    if (size != leftScaledSize_) {
        cv::resize(frame_.left, leftScaled_, size, 0, 0,
                   size.width < frame_.left.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
        leftScaledSize_ = size;
    }
    return leftScaled_;
}

// The depth picture and the point cloud are usually asked for at the same size.
const cv::Mat &CameraSession::depthAt(cv::Size size) {
    if (size == depth_.size()) return depth_;
    if (size != depthScaledSize_) {
        resizeNearest(depth_, depthScaled_, size);
        depthScaledSize_ = size;
    }
    return depthScaled_;
}

void CameraSession::makeRays(cv::Size size) {
    if (size == raySize_) return;
    const CameraParameters &c = info_.calibration_parameters.left_cam;
    rayX_.create(1, size.width, CV_32F);
    rayY_.create(1, size.height, CV_32F);
    const float sx = float(size_.width) / float(size.width), sy = float(size_.height) / float(size.height);
    for (int u = 0; u < size.width; ++u)
        rayX_.at<float>(u) = ((float(u) + 0.5f) * sx - 0.5f - c.cx) / c.fx;
    for (int v = 0; v < size.height; ++v)
        rayY_.at<float>(v) = -((float(v) + 0.5f) * sy - 0.5f - c.cy) / c.fy; // Y up
    raySize_ = size;
}

ERROR_CODE CameraSession::retrieveImage(Mat &mat, VIEW view, MEM memory, size_t width, size_t height) {
    if (!hasFrame_) return ERROR_CODE_CAMERA_NOT_OPENED;
    const bool sideBySide = view == VIEW_SIDE_BY_SIDE;
    const bool picture = view == VIEW_DEPTH || view == VIEW_CONFIDENCE;
    if (!sideBySide && !picture && view != VIEW_LEFT && view != VIEW_RIGHT)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (picture && !hasDepth_) return ERROR_CODE_CAMERA_NOT_OPENED;
    const Resolution natural = sideBySide ? Resolution(size_.width * 2, size_.height) : size_;
    const Resolution out = requested(width, height, natural);
    cv::Mat dst;
    ERROR_CODE e = prepare(mat, out.width, out.height, MAT_TYPE_8U_C4, memory, CV_8UC4, &dst);
    if (e != SUCCESS) return e;
    const cv::Size outSize(int(out.width), int(out.height));
    if (view == VIEW_LEFT || view == VIEW_RIGHT) {
        const cv::Mat &src = view == VIEW_LEFT ? frame_.left : frame_.right;
        if (src.size() == outSize)
            parallelFor(cv::Range(0, src.rows), [&](const cv::Range &rows) {
                src.rowRange(rows.start, rows.end).copyTo(dst.rowRange(rows.start, rows.end));
            });
        else
            cv::resize(src, dst, outSize, 0, 0, outSize.width < src.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
    } else if (sideBySide) {
        if (outSize == cv::Size(int(natural.width), int(natural.height))) {
            frame_.left.copyTo(dst(cv::Rect(0, 0, int(size_.width), int(size_.height))));
            frame_.right.copyTo(dst(cv::Rect(int(size_.width), 0, int(size_.width), int(size_.height))));
        } else {
            cv::Mat joined;
            cv::hconcat(frame_.left, frame_.right, joined);
            cv::resize(joined, dst, outSize, 0, 0, cv::INTER_LINEAR);
        }
    } else {
        // Depth: near bright (or warm), far dark but never black, which
        // stays reserved for pixels without depth. Confidence: brighter is surer.
        if (view == VIEW_DEPTH) {
            DepthColormap::paint(depthAt(outSize), pictureRange(), look_.colormap, dst);
        } else {
            if (confidence_.size() == outSize)
                measureScaled_ = confidence_;
            else
                resizeNearest(confidence_, measureScaled_, outSize);
            parallelFor(cv::Range(0, outSize.height), [&](const cv::Range &rows) {
                for (int y = rows.start; y < rows.end; ++y) {
                    const float *s = measureScaled_.ptr<float>(y);
                    uchar *p = dst.ptr<uchar>(y);
                    for (int x = 0; x < outSize.width; ++x, p += 4) {
                        const uchar g = uchar(std::clamp(s[x] * 2.55f, 0.0f, 255.0f));
                        p[0] = p[1] = p[2] = g;
                        p[3] = 255;
                    }
                }
            });
        }
    }
    return finish(mat, memory);
}

ERROR_CODE CameraSession::retrieveMeasure(Mat &mat, MEASURE measure, MEM memory, size_t width,
                                          size_t height) {
    if (!hasFrame_ || !hasDepth_) return ERROR_CODE_CAMERA_NOT_OPENED;
    const Resolution out = requested(width, height, size_);
    const cv::Size outSize(int(out.width), int(out.height));
    if (measure == MEASURE_DEPTH || measure == MEASURE_CONFIDENCE) {
        cv::Mat dst;
        ERROR_CODE e = prepare(mat, out.width, out.height, MAT_TYPE_32F_C1, memory, CV_32F, &dst);
        if (e != SUCCESS) return e;
        const cv::Mat &src = measure == MEASURE_DEPTH ? depth_ : confidence_;
        if (src.size() == outSize)
            src.copyTo(dst);
        else
            resizeNearest(src, dst, outSize);
        return finish(mat, memory);
    }
    if (measure != MEASURE_XYZRGBA) return ERROR_CODE_INVALID_ARGUMENT;
    cv::Mat dst;
    ERROR_CODE e = prepare(mat, out.width, out.height, MAT_TYPE_32F_C4, memory, CV_32FC4, &dst);
    if (e != SUCCESS) return e;
    const cv::Mat &depth = depthAt(outSize);
    const cv::Mat &colour = leftAt(outSize);
    makeRays(outSize);
    const float *rx = rayX_.ptr<float>();
    parallelFor(cv::Range(0, outSize.height), [&](const cv::Range &rows) {
        for (int v = rows.start; v < rows.end; ++v) {
            const float ry = rayY_.at<float>(v);
            const float *z = depth.ptr<float>(v);
            const uchar *c = colour.ptr<uchar>(v);
            float *p = dst.ptr<float>(v);
            pointRow(z, c, rx, ry, outSize.width, p);
        }
    });
    return finish(mat, memory);
}

} // namespace twl
