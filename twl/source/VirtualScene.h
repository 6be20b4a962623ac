#pragma once
// The virtual camera's world: a textured room (back wall, floor, ceiling and
// side walls) with spheres and boxes moving in depth and sideways, seen by a
// rectified stereo pair. Rendering is view-independent (diffuse only), so a
// surface point has the same colour in both eyes and stereo matching is well
// posed. The static room is rendered once per eye; each frame copies it (or,
// over the frame before, only where the objects were) and ray-casts only the
// moving objects inside their screen bounding boxes.

#include "twl/core/Optics.h"
#include "twl/core/Types.h"

#include <opencv2/core.hpp>

#include <vector>

namespace twl {

class VirtualScene {
public:
    /// Renders the static room for both eyes at `size` (camera size).
    explicit VirtualScene(Resolution size);
    ~VirtualScene();
    VirtualScene(const VirtualScene &) = delete;
    VirtualScene &operator=(const VirtualScene &) = delete;

    /// The rig every virtual camera uses: the nominal one of an uncalibrated
    /// camera (twl/core/Optics.h).
    static CalibrationParameters calibration(Resolution size);

    /// The pair at `timeSeconds` as BGRA (CV_8UC4, reallocated only when the
    /// size differs). With `leftDepth` the exact depth of every left pixel
    /// (CV_32F, metres along the optical axis) is written: the ground truth,
    /// for tests and benchmarks only.
    void render(double timeSeconds, cv::Mat &left, cv::Mat &right, cv::Mat *leftDepth = nullptr);
    /// As render(), for a pair the caller promises it has not changed since
    /// this scene last drew into it: only where the objects were and are now
    /// is drawn again. The scene remembers the last two buffers of each eye it
    /// drew, so that two pairs can take turns; images in other buffers are
    /// drawn whole.
    void renderOver(double timeSeconds, cv::Mat &left, cv::Mat &right);
    /// The caller changed `image` after it was drawn: it will be drawn whole.
    void forget(const cv::Mat &image);

    Resolution size() const { return size_; }
    float focal() const { return fx_; }
    float baseline() const { return kNominalBaselineMetres; }

    struct Object;

private:
    cv::Rect screenBounds(const Object &o, float ox) const;
    void renderPair(double t, cv::Mat &left, cv::Mat &right, cv::Mat *leftDepth, bool over);
    void renderEye(int eye, const std::vector<Object> &objects, cv::Mat &image, cv::Mat &depth, bool over);

    Resolution size_;
    float fx_, cx_, cy_;
    cv::Mat background_[2];      // CV_8UC4 per eye
    cv::Mat backgroundDepth_[2]; // CV_32F per eye
    cv::Mat depthScratch_[2];    // z-buffer of the moving objects
    // The last two images each eye was drawn into, held so that their buffers
    // cannot be freed and handed to someone else, and where their objects lie.
    struct Drawn {
        cv::Mat image;
        std::vector<cv::Rect> boxes;
    };
    Drawn drawn_[2][2];
    int lastDrawn_[2] = {0, 0};
};

} // namespace twl
