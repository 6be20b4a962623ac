#pragma once
// The calibration of a stereo rig whose pairs come straight off two lenses:
// both cameras' intrinsics and distortion, and where the right camera sits
// relative to the left. Stored as an OpenCV FileStorage file (YAML or XML)
// under the names OpenCV's stereo calibration writes: M1 D1 M2 D2 R T, plus
// the image size it was made at (image_width, image_height) and the unit of
// T (T_unit: "m", "cm" or "mm"; missing means metres). A pair of files in
// the manner of that sample (intrinsics.yml with M1 D1 M2 D2, extrinsics.yml
// with R T) is read as one when either is named, or their folder.

#include <opencv2/core.hpp>

#include <string>

namespace twl {

struct StereoCalibration {
    cv::Mat M1, D1, M2, D2; // 3x3 camera matrices; distortion rows of 4, 5, 8, 12 or 14
    cv::Mat R, T;           // left to right camera: X_right = R * X_left + T; T in metres
    cv::Size imageSize;     // the size the intrinsics belong to

    /// Reads and checks a file. On failure `error` names the file and what
    /// is wrong with it (which key, which size, which value).
    static bool load(const std::string &path, StereoCalibration *out, std::string *error);
    /// Writes every key above, T in metres. False with `error` on failure.
    bool save(const std::string &path, std::string *error) const;
    /// The same rig at another image size of the same shape: the intrinsics
    /// are scaled; distortion and extrinsics do not change. False with
    /// `error` when the aspect ratio differs.
    bool scaledTo(cv::Size size, StereoCalibration *out, std::string *error) const;
    /// Distance between the two optical centres, metres.
    double baseline() const;
};

} // namespace twl
