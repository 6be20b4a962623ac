#pragma once
// What the viewer's capture loop asks of a camera every frame, for the
// benchmarks that time it: the grab, then the left image at display size,
// the depth picture, the point cloud and the confidence.

#include "twl/Camera.h"
#include "twl/core/ModeTable.h"

namespace bench {

class CaptureLoop {
public:
    explicit CaptureLoop(const twl::Resolution &size)
        : display(displaySize(size)), image(size, twl::MAT_TYPE_8U_C4, twl::MEM_GPU),
          depthView(display.width, display.height, twl::MAT_TYPE_8U_C4, twl::MEM_GPU),
          cloud(display.width, display.height, twl::MAT_TYPE_32F_C4, twl::MEM_GPU),
          confidence(display.width, display.height, twl::MAT_TYPE_32F_C1, twl::MEM_GPU) {}

    /// One frame; false when the grab failed.
    bool step(twl::Camera &camera) {
        if (camera.grab(runtime) != twl::SUCCESS) return false;
        camera.retrieveImage(image, twl::VIEW_LEFT, twl::MEM_GPU);
        camera.retrieveImage(depthView, twl::VIEW_DEPTH, twl::MEM_GPU, display.width, display.height);
        camera.retrieveMeasure(cloud, twl::MEASURE_XYZRGBA, twl::MEM_GPU, display.width, display.height);
        camera.retrieveMeasure(confidence, twl::MEASURE_CONFIDENCE, twl::MEM_GPU, display.width, display.height);
        return true;
    }

private:
    // As the viewer does: the smallest resolution at full size, the others at half.
    static twl::Resolution displaySize(const twl::Resolution &size) {
        const bool smallest = size.width == twl::kResolutionModes[twl::kResolutionCount - 1].size.width;
        return smallest ? size : twl::Resolution(size.width / 2, size.height / 2);
    }

    twl::Resolution display;
    twl::Mat image, depthView, cloud, confidence;
    twl::RuntimeParameters runtime;
};

} // namespace bench
