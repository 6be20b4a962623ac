#include "twl/calib/StereoCalibration.h"

#include <opencv2/calib3d.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace twl {

namespace {

const char *const kKeys[] = {"M1", "D1", "M2", "D2", "R", "T"};

std::string sizeText(const cv::Mat &m) {
    return std::to_string(m.rows) + "x" + std::to_string(m.cols);
}

/// Where the keys of one calibration are read from: one file, or the two
/// files of a split calibration.
struct Sources {
    std::string names; // for messages
    cv::FileStorage files[2];
    int count = 0;

    cv::FileNode find(const char *key) const {
        for (int i = 0; i < count; ++i) {
            cv::FileNode n = files[i][key];
            if (!n.empty() && !n.isNone()) return n;
        }
        return cv::FileNode();
    }
};

bool openStorage(const fs::path &path, cv::FileStorage *storage, std::string *error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        *error = "calibration file " + path.string() + ": no such file";
        return false;
    }
    try {
        storage->open(path.string(), cv::FileStorage::READ);
    } catch (const cv::Exception &) {
        storage->release();
    }
    if (!storage->isOpened()) {
        *error = "calibration file " + path.string() +
                 ": not a calibration (cannot be read as an OpenCV YAML or XML file)";
        return false;
    }
    return true;
}

bool hasKey(const cv::FileStorage &f, const char *key) {
    const cv::FileNode n = f[key];
    return !n.empty() && !n.isNone();
}

/// The other half of a split calibration: the same name with "intrinsics"
/// and "extrinsics" swapped.
fs::path partner(const fs::path &path, const char *from, const char *to) {
    std::string name = path.filename().string();
    const size_t at = name.find(from);
    if (at == std::string::npos) return fs::path();
    name.replace(at, std::string(from).size(), to);
    return path.parent_path() / name;
}

bool openSources(const std::string &path, Sources *src, std::string *error) {
    std::error_code ec;
    fs::path first = path;
    if (fs::is_directory(first, ec)) {
        for (const char *ext : {".yml", ".yaml", ".xml"})
            if (fs::is_regular_file(first / (std::string("intrinsics") + ext), ec)) {
                first = first / (std::string("intrinsics") + ext);
                break;
            }
        if (fs::is_directory(first, ec)) {
            *error = "calibration folder " + path + ": no intrinsics.yml in it";
            return false;
        }
    }
    if (!openStorage(first, &src->files[0], error)) return false;
    src->count = 1;
    src->names = first.string();
    const bool intrinsicsOnly = hasKey(src->files[0], "M1") && !hasKey(src->files[0], "R");
    const bool extrinsicsOnly = hasKey(src->files[0], "R") && !hasKey(src->files[0], "M1");
    fs::path second;
    if (intrinsicsOnly)
        second = partner(first, "intrinsics", "extrinsics");
    else if (extrinsicsOnly)
        second = partner(first, "extrinsics", "intrinsics");
    if (!second.empty() && fs::is_regular_file(second, ec)) {
        if (!openStorage(second, &src->files[1], error)) return false;
        src->count = 2;
        src->names += " + " + second.string();
    }
    return true;
}

bool readMatrix(const Sources &src, const char *key, cv::Mat *out, std::string *error) {
    const cv::FileNode node = src.find(key);
    if (node.empty() || node.isNone()) {
        *error = "calibration file " + src.names + ": missing key '" + key + "'";
        return false;
    }
    cv::Mat m;
    try {
        node >> m;
    } catch (const cv::Exception &) {
        m.release();
    }
    if (m.empty() || m.channels() != 1) {
        *error = "calibration file " + src.names + ": key '" + key + "' is not a matrix";
        return false;
    }
    m.convertTo(*out, CV_64F);
    if (!cv::checkRange(*out)) {
        *error =
            "calibration file " + src.names + ": key '" + key + "' holds a value that is not a finite number";
        return false;
    }
    return true;
}

bool wrongSize(const Sources &src, const char *key, const cv::Mat &m, const char *expected,
               std::string *error) {
    *error = "calibration file " + src.names + ": key '" + key + "' must be " + expected + " (found " +
             sizeText(m) + ")";
    return false;
}

bool checkCameraMatrix(const Sources &src, const char *key, const cv::Mat &m, std::string *error) {
    if (m.rows != 3 || m.cols != 3) return wrongSize(src, key, m, "a 3x3 camera matrix", error);
    const bool shape = m.at<double>(0, 0) > 0 && m.at<double>(1, 1) > 0 && m.at<double>(1, 0) == 0 &&
                       m.at<double>(2, 0) == 0 && m.at<double>(2, 1) == 0 &&
                       std::fabs(m.at<double>(2, 2) - 1.0) < 1e-9;
    if (!shape) {
        *error = "calibration file " + src.names + ": key '" + key +
                 "' is not a camera matrix (positive focal lengths, last row 0 0 1)";
        return false;
    }
    return true;
}

bool checkDistortion(const Sources &src, const char *key, cv::Mat *m, std::string *error) {
    const int n = int(m->total());
    if ((m->rows != 1 && m->cols != 1) || (n != 4 && n != 5 && n != 8 && n != 12 && n != 14))
        return wrongSize(src, key, *m, "a row of 4, 5, 8, 12 or 14 distortion coefficients", error);
    *m = m->reshape(1, 1).clone();
    return true;
}

/// A whole number of pixels, or -1.
int wholePixels(double v) {
    return v == std::floor(v) && std::fabs(v) < 1e6 ? int(v) : -1;
}

int readInt(const cv::FileNode &n) {
    if (n.isInt()) return int(n);
    return n.isReal() ? wholePixels(double(n)) : -1;
}

bool readImageSize(const Sources &src, cv::Size *size, std::string *error) {
    const cv::FileNode w = src.find("image_width"), h = src.find("image_height");
    if (!w.empty() && !h.empty()) {
        *size = cv::Size(readInt(w), readInt(h));
    } else {
        const cv::FileNode s = src.find("size").empty() ? src.find("imageSize") : src.find("size");
        if (s.empty()) {
            *error = "calibration file " + src.names +
                     ": missing key 'image_width' and 'image_height' (the image size it was made at)";
            return false;
        }
        cv::Mat m;
        if (s.isSeq() && s.size() == 2) {
            *size = cv::Size(readInt(s[0]), readInt(s[1]));
        } else {
            try {
                s >> m;
            } catch (const cv::Exception &) {
                m.release();
            }
            *size = cv::Size(-1, -1);
            if (m.total() == 2 && m.channels() == 1) {
                m.convertTo(m, CV_64F);
                *size = cv::Size(wholePixels(m.at<double>(0)), wholePixels(m.at<double>(1)));
            }
        }
    }
    if (size->width <= 0 || size->height <= 0 || size->width > 16384 || size->height > 16384) {
        *error = "calibration file " + src.names +
                 ": key 'image_width', 'image_height' or 'size' is not a plausible image size";
        return false;
    }
    return true;
}

} // namespace

bool StereoCalibration::load(const std::string &path, StereoCalibration *out, std::string *error) {
    Sources src;
    if (!openSources(path, &src, error)) return false;
    bool any = false;
    for (const char *key : kKeys)
        any = any || !src.find(key).empty();
    if (!any) {
        *error = "calibration file " + src.names +
                 ": not a stereo calibration (none of the keys M1, D1, M2, D2, R, T)";
        return false;
    }
    StereoCalibration c;
    cv::Mat *targets[] = {&c.M1, &c.D1, &c.M2, &c.D2, &c.R, &c.T};
    for (int i = 0; i < 6; ++i)
        if (!readMatrix(src, kKeys[i], targets[i], error)) return false;
    if (!checkCameraMatrix(src, "M1", c.M1, error) || !checkCameraMatrix(src, "M2", c.M2, error) ||
        !checkDistortion(src, "D1", &c.D1, error) || !checkDistortion(src, "D2", &c.D2, error))
        return false;
    if (c.R.total() == 3 && (c.R.rows == 1 || c.R.cols == 1)) {
        cv::Mat rotation;
        cv::Rodrigues(c.R.reshape(1, 3), rotation);
        c.R = rotation;
    } else if (c.R.rows != 3 || c.R.cols != 3) {
        return wrongSize(src, "R", c.R, "a 3x3 rotation matrix", error);
    }
    if (cv::norm(c.R * c.R.t(), cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) > 1e-3 ||
        cv::determinant(c.R) < 0) {
        *error = "calibration file " + src.names + ": key 'R' is not a rotation matrix";
        return false;
    }
    if (c.T.total() != 3 || (c.T.rows != 1 && c.T.cols != 1))
        return wrongSize(src, "T", c.T, "a translation of 3 values", error);
    c.T = c.T.reshape(1, 3).clone();

    double unit = 1.0;
    const cv::FileNode unitNode = src.find("T_unit");
    if (!unitNode.empty()) {
        const std::string name = unitNode.isString() ? std::string(unitNode) : std::string();
        if (name == "m")
            unit = 1.0;
        else if (name == "cm")
            unit = 0.01;
        else if (name == "mm")
            unit = 0.001;
        else {
            *error = "calibration file " + src.names + ": key 'T_unit' must be \"m\", \"cm\" or \"mm\"";
            return false;
        }
    }
    c.T *= unit;
    const double b = c.baseline();
    if (!(b >= 0.001 && b <= 5.0)) {
        char metres[32];
        std::snprintf(metres, sizeof metres, "%.4g", b);
        *error = "calibration file " + src.names + ": key 'T' gives a baseline of " + metres +
                 " m, which no stereo camera has (is 'T_unit' right?)";
        return false;
    }
    if (!readImageSize(src, &c.imageSize, error)) return false;
    *out = c;
    return true;
}

bool StereoCalibration::save(const std::string &path, std::string *error) const {
    try {
        cv::FileStorage f(path, cv::FileStorage::WRITE);
        if (!f.isOpened()) {
            *error = "cannot write " + path;
            return false;
        }
        f << "image_width" << imageSize.width << "image_height" << imageSize.height;
        f << "M1" << M1 << "D1" << D1 << "M2" << M2 << "D2" << D2 << "R" << R << "T" << T;
        f << "T_unit"
          << "m";
        f.release();
    } catch (const cv::Exception &e) {
        *error = "cannot write " + path + ": " + e.what();
        return false;
    }
    return true;
}

bool StereoCalibration::scaledTo(cv::Size size, StereoCalibration *out, std::string *error) const {
    *out = *this;
    if (size == imageSize) return true;
    // Modes of one sensor can differ slightly in shape (672x376 against
    // 16:9) while showing the same field of view; a real crop cannot be
    // told from the sizes alone and is refused.
    const double aspect = double(size.width) * imageSize.height / (double(size.height) * imageSize.width);
    if (std::fabs(aspect - 1.0) > 0.01) {
        *error = "the calibration was made at " + std::to_string(imageSize.width) + "x" +
                 std::to_string(imageSize.height) + " and does not fit the camera's " +
                 std::to_string(size.width) + "x" + std::to_string(size.height) +
                 " (another aspect ratio); calibrate at this resolution";
        return false;
    }
    const double sx = double(size.width) / imageSize.width, sy = double(size.height) / imageSize.height;
    for (cv::Mat *m : {&out->M1, &out->M2}) {
        *m = m->clone();
        m->at<double>(0, 0) *= sx;
        m->at<double>(0, 1) *= sx;
        m->at<double>(0, 2) = (m->at<double>(0, 2) + 0.5) * sx - 0.5;
        m->at<double>(1, 1) *= sy;
        m->at<double>(1, 2) = (m->at<double>(1, 2) + 0.5) * sy - 0.5;
    }
    out->imageSize = size;
    return true;
}

double StereoCalibration::baseline() const {
    return T.empty() ? 0.0 : cv::norm(T);
}

} // namespace twl
