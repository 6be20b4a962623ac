#include "twl/calib/StereoCalibrator.h"

#include "twl/calib/StereoRectifier.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace twl {

namespace {

cv::Mat grey(const cv::Mat &image) {
    cv::Mat g;
    if (image.channels() == 1)
        g = image;
    else
        cv::cvtColor(image, g, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    if (g.depth() != CV_8U) g.convertTo(g, CV_8U);
    return g;
}

bool findBoard(const cv::Mat &image, cv::Size board, std::vector<cv::Point2f> *corners) {
    const cv::Mat g = grey(image);
    if (!cv::findChessboardCorners(g, board, *corners,
                                   cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE))
        return false;
    cv::cornerSubPix(g, *corners, cv::Size(11, 11), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.01));
    return true;
}

} // namespace

StereoCalibrator::StereoCalibrator(cv::Size board, double squareMetres)
    : board_(board), square_(squareMetres) {}

bool StereoCalibrator::addPair(const cv::Mat &left, const cv::Mat &right) {
    if (left.empty() || left.size() != right.size()) return false;
    if (!imageSize_.empty() && left.size() != imageSize_) return false;
    std::vector<cv::Point2f> l, r;
    if (!findBoard(left, board_, &l) || !findBoard(right, board_, &r)) return false;
    imageSize_ = left.size();
    corners_[0].push_back(std::move(l));
    corners_[1].push_back(std::move(r));
    return true;
}

bool StereoCalibrator::calibrate(Result *result, std::string *error) const {
    const int pairs = pairCount();
    if (pairs < kMinimumPairs) {
        *error = "the whole board (" + std::to_string(board_.width) + "x" + std::to_string(board_.height) +
                 " inner corners) was found in both images of only " + std::to_string(pairs) +
                 " pair(s); at least " + std::to_string(kMinimumPairs) + " are needed";
        return false;
    }
    std::vector<cv::Point3f> boardPoints;
    for (int y = 0; y < board_.height; ++y)
        for (int x = 0; x < board_.width; ++x)
            boardPoints.emplace_back(float(x * square_), float(y * square_), 0.0f);
    const std::vector<std::vector<cv::Point3f>> objects(size_t(pairs), boardPoints);

    StereoCalibration &c = result->calibration;
    c.imageSize = imageSize_;
    try {
        c.M1 = cv::initCameraMatrix2D(objects, corners_[0], imageSize_, 0);
        c.M2 = cv::initCameraMatrix2D(objects, corners_[1], imageSize_, 0);
        cv::Mat E, F;
        // Both lenses alike, no tangential distortion, rational radial model with
        // its high terms held: what a small rig's few pairs can support.
        const int flags = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST |
                          cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_SAME_FOCAL_LENGTH |
                          cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K3 | cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5;
        result->rms = cv::stereoCalibrate(
            objects, corners_[0], corners_[1], c.M1, c.D1, c.M2, c.D2, imageSize_, c.R, c.T, E, F, flags,
            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-5));
        c.D1 = c.D1.reshape(1, 1);
        c.D2 = c.D2.reshape(1, 1);

        const StereoRectifier rectifier(c);
        double sum = 0, worst = 0;
        size_t count = 0;
        for (int i = 0; i < pairs; ++i) {
            std::vector<cv::Point2f> l, r;
            cv::undistortPoints(corners_[0][size_t(i)], l, c.M1, c.D1, rectifier.R1(), rectifier.P1());
            cv::undistortPoints(corners_[1][size_t(i)], r, c.M2, c.D2, rectifier.R2(), rectifier.P2());
            for (size_t k = 0; k < l.size(); ++k) {
                const double d = std::fabs(double(l[k].y) - double(r[k].y));
                sum += d;
                worst = std::max(worst, d);
                ++count;
            }
        }
        result->meanRowError = count ? sum / double(count) : 0.0;
        result->worstRowError = worst;
    } catch (const cv::Exception &e) {
        *error = std::string("the calibration could not be solved from these pairs: ") + e.what();
        return false;
    }
    return true;
}

} // namespace twl
