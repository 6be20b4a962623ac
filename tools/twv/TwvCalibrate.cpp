// twv calibrate: a stereo calibration file from chessboard pairs.
//
//   twv calibrate --left FILE_OR_DIR --right FILE_OR_DIR [--board 9x6] --square METRES --out FILE.yml
//
// Exit status as for every twv command: 0 done, 1 failed, 2 wrong command line.

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
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

namespace {

int complain(int status, const std::string &text) {
    std::fprintf(stderr, "twv: calibrate: %s\n", text.c_str());
    return status;
}

} // namespace

int cmdCalibrate(int argc, char **argv) {
    twvtool::Args args;
    if (!twvtool::parseArgs(argc, argv, 2, {"left", "right", "board", "square", "out"}, {}, &args))
        return twvtool::kUsageError;
    if (!args.positional.empty())
        return complain(2, "unexpected argument '" + args.positional[0] + "' (see twv --help)");
    std::map<std::string, std::string> &options = args.options;
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
    std::vector<std::string> lefts, rights;
    if (!twvtool::listImages(options["left"], "left", &lefts, &error) ||
        !twvtool::listImages(options["right"], "right", &rights, &error))
        return complain(1, error);
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
