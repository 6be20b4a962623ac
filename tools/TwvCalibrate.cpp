// twv calibrate: a stereo calibration file from chessboard pairs.
//
//   twv calibrate --left FILE_OR_DIR --right FILE_OR_DIR [--board 9x6] --square METRES --out FILE.yml
//
// Exit status as for every twv command: 0 done, 1 failed, 2 wrong command line.

#include "twl/calib/StereoCalibrator.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int cmdCalibrate(int argc, char **argv);

namespace {

int complain(int status, const std::string &text) {
    std::fprintf(stderr, "twv: calibrate: %s\n", text.c_str());
    return status;
}

bool isImage(const fs::path &p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const char *known :
         {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".webp"})
        if (ext == known) return true;
    return false;
}

/// The images of a file or a folder, sorted by name; empty with `error` set
/// when there are none.
std::vector<std::string> images(const std::string &where, const char *side, std::string *error) {
    std::vector<std::string> files;
    std::error_code ec;
    if (fs::is_directory(where, ec)) {
        for (const fs::directory_entry &e : fs::directory_iterator(where, ec))
            if (e.is_regular_file(ec) && isImage(e.path())) files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) *error = std::string("no images in the ") + side + " folder " + where;
    } else if (fs::is_regular_file(where, ec)) {
        files.push_back(where);
    } else {
        *error = std::string(side) + " images: no such file or folder: " + where;
    }
    return files;
}

} // namespace

int cmdCalibrate(int argc, char **argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i], value;
        if (word.compare(0, 2, "--") != 0)
            return complain(2, "unexpected argument '" + word + "' (see twv --help)");
        word = word.substr(2);
        const size_t eq = word.find('=');
        if (eq != std::string::npos) {
            value = word.substr(eq + 1);
            word = word.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return complain(2, "option --" + word + " needs a value");
        }
        if (word != "left" && word != "right" && word != "board" && word != "square" && word != "out")
            return complain(2, "unknown option --" + word + " (see twv --help)");
        options[word] = value;
    }
    if (!options.count("left") || !options.count("right"))
        return complain(2, "--left and --right are both needed");
    if (!options.count("out")) return complain(2, "--out names the calibration file to write (.yml or .xml)");
    char *end = nullptr;
    const std::string squareText = options.count("square") ? options["square"] : std::string();
    const double square = std::strtod(squareText.c_str(), &end);
    if (squareText.empty() || *end != '\0' || !std::isfinite(square) || square <= 0 || square > 1)
        return complain(2, "--square needs the side of one chessboard square in metres (e.g. 0.025)");
    int columns = 9, rows = 6;
    if (options.count("board")) {
        char extra = 0;
        if (std::sscanf(options["board"].c_str(), "%dx%d%c", &columns, &rows, &extra) != 2 || columns < 2 ||
            rows < 2 || columns > 100 || rows > 100)
            return complain(2, "--board needs the inner corners per row and column, e.g. 9x6");
    }

    std::string error;
    const std::vector<std::string> lefts = images(options["left"], "left", &error);
    if (!error.empty()) return complain(1, error);
    const std::vector<std::string> rights = images(options["right"], "right", &error);
    if (!error.empty()) return complain(1, error);
    if (lefts.size() != rights.size())
        return complain(1, std::to_string(lefts.size()) + " left images but " +
                               std::to_string(rights.size()) + " right images; they must pair up");

    twl::StereoCalibrator calibrator(cv::Size(columns, rows), square);
    cv::Size size;
    for (size_t i = 0; i < lefts.size(); ++i) {
        const cv::Mat left = cv::imread(lefts[i], cv::IMREAD_GRAYSCALE);
        const cv::Mat right = cv::imread(rights[i], cv::IMREAD_GRAYSCALE);
        const std::string names =
            fs::path(lefts[i]).filename().string() + " + " + fs::path(rights[i]).filename().string();
        if (left.empty() || right.empty())
            return complain(1, "cannot read the image " + (left.empty() ? lefts[i] : rights[i]));
        if (size.empty()) size = left.size();
        const char *verdict = "board found, used";
        if (left.size() != size || right.size() != size)
            verdict = "not used: not the size of the first pair";
        else if (!calibrator.addPair(left, right))
            verdict = "not used: the whole board is not in both images";
        std::printf("%s: %s\n", names.c_str(), verdict);
    }
    std::printf("pairs used: %d of %zu\n", calibrator.pairCount(), lefts.size());

    twl::StereoCalibrator::Result result;
    if (!calibrator.calibrate(&result, &error)) return complain(1, error);
    std::printf("RMS reprojection error: %.3f px\n", result.rms);
    std::printf("rectified row error: mean %.3f px, worst %.3f px\n", result.meanRowError,
                result.worstRowError);
    std::printf("baseline: %.4f m at %dx%d\n", result.calibration.baseline(), size.width, size.height);
    if (!result.calibration.save(options["out"], &error)) return complain(1, error);
    std::printf("calibration written to %s\n", options["out"].c_str());
    return 0;
}
