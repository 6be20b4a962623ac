// twv: make, inspect and export .twv recordings from the command line.
//
// Exit status: 0 success, 1 the work failed, 2 the command line is wrong.

#include "TwvCommands.h"
#include "TwvCommon.h"
#include "twl/core/ModeTable.h"
#include "twl/palette/DepthColormap.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace twl;
using namespace twvtool;

namespace {

std::vector<std::string> colormapNames() {
    std::vector<std::string> names;
    for (int i = 0; i < DepthColormap::kCount; ++i)
        names.push_back(DepthColormap::name(DepthColormap::fromIndex(i)));
    return names;
}

/// `text` with {resolutions}, {default-resolution}, {modes}, {default-mode}
/// and {colormaps} written out from the mode table and the colour maps.
std::string withModeNames(std::string text) {
    auto join = [](const std::vector<std::string> &names) {
        std::string out;
        for (const std::string &name : names)
            out += (out.empty() ? "" : "|") + name;
        return out;
    };
    const std::pair<const char *, std::string> fields[] = {
        {"{resolutions}", join(resolutionNames())},
        {"{default-resolution}", resolutionMode(kDefaultResolution)->name},
        {"{modes}", join(depthModeNames())},
        {"{default-mode}", depthModeName(kDefaultExportMode)},
        {"{colormaps}", join(colormapNames())}};
    for (const auto &field : fields)
        for (size_t at = text.find(field.first); at != std::string::npos; at = text.find(field.first, at))
            text.replace(at, std::strlen(field.first), field.second);
    return text;
}

const std::string kUsageText = withModeNames(
    "usage: twv COMMAND ...\n"
    "\n"
    "  twv record OUT.twv --virtual [--resolution {resolutions}] [--fps N]\n"
    "             [--frames N] [--codec jpeg|lossless] [--calibration FILE]\n"
    "      record from the virtual camera (defaults: {default-resolution}, 30 fps, 100 frames, jpeg);\n"
    "      with a calibration every pair is rectified with it on the way\n"
    "  twv record OUT.twv --device /dev/videoN [same options as --virtual]\n"
    "      record from a real side-by-side stereo camera\n"
    "  twv record ... --set NAME=VALUE [--set ...]\n"
    "      set image controls of the camera first (names as twv controls lists them)\n"
    "  twv devices\n"
    "      list the stereo cameras found, with their sizes and rates per format\n"
    "  twv controls /dev/videoN [--set NAME=VALUE ...]\n"
    "      list the camera's image controls (type, range, default, value), or set\n"
    "      them in order and print the values the camera took\n"
    "  twv import OUT.twv --left FILE_OR_DIR --right FILE_OR_DIR --focal PIXELS\n"
    "             --baseline METRES [--fps N] [--codec jpeg|lossless]\n"
    "      make a recording from rectified image pairs, sorted by name (default 15 fps)\n"
    "  twv import OUT.twv --left FILE_OR_DIR --right FILE_OR_DIR --calibration FILE ...\n"
    "      the same from unrectified pairs, rectified with the calibration\n"
    "  twv calibrate --left FILE_OR_DIR --right FILE_OR_DIR [--board 9x6] --square METRES\n"
    "             --out FILE.yml\n"
    "      make a stereo calibration from chessboard pairs (board: inner corners)\n"
    "  twv info FILE.twv\n"
    "      show the camera, calibration, frame count and duration\n"
    "  twv depth FILE.twv --frame K [--mode {modes}]\n"
    "             [--sensing fill|standard] --out PATH.png|.pfm|.pgm\n"
    "      save the depth map of frame K (PNG and PGM in millimetres, PFM in metres)\n"
    "  twv depth FILE.twv --frame K --colormap {colormaps}\n"
    "             [--range auto|MIN:MAX] [--mode NAME] [--sensing fill|standard] --out PATH.png\n"
    "      save the depth picture of frame K as the viewer paints it (colour PNG); the range\n"
    "      follows the depths of the frame (auto, the default) or runs from MIN to MAX metres\n"
    "  twv depth FILE.twv --frames A:B|--all --out FOLDER [--format png|pfm|pgm] [...]\n"
    "      save frames A to B (or all) as FOLDER/depth_NNNNNN.png, one per frame\n"
    "  twv cloud FILE.twv --frame K [--mode NAME] [--sensing fill|standard]\n"
    "             --out PATH.xyz|.pcd|.ply|.vtk\n"
    "      save the point cloud of frame K (colour in PCD and PLY)\n"
    "  twv cloud FILE.twv --frames A:B|--all --out FOLDER [--format xyz|pcd|ply|vtk] [...]\n"
    "      save frames A to B (or all) as FOLDER/cloud_NNNNNN.ply, one per frame\n"
    "  twv export FILE.twv OUT.mcap [--from A] [--to B] [--depth MODE]\n"
    "             [--sensing fill|standard] [--cloud]\n"
    "      write frames A to B (default all) as ROS 2 messages in MCAP, for ros2 bag and\n"
    "      Foxglove: the rectified pair with its camera information, with --depth the\n"
    "      depth image in metres, with --cloud the point cloud\n"
    "  twv cut FILE.twv OUT.twv --from A --to B\n"
    "      copy frames A to B into a recording of their own, bytes unchanged\n"
    "  twv --help | --version\n"
    "      print this help or the version\n"
    "\n"
    "Frames are numbered from 0; A:B and --from A --to B include both ends (A: runs to the\n"
    "last frame, :B starts at the first). The default depth mode is {default-mode}.\n");
const char *kUsage = kUsageText.c_str();

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kOk;
    }
    if (command == "--version") {
        std::puts("twv " VANTARO_VERSION);
        return kOk;
    }
    if (command == "record") return cmdRecord(argc, argv);
    if (command == "import") return cmdImport(argc, argv);
    if (command == "info") return cmdInfo(argc, argv);
    if (command == "devices") return cmdDevices(argc, argv);
    if (command == "controls") return cmdControls(argc, argv);
    if (command == "depth") return cmdDepth(argc, argv);
    if (command == "cloud") return cmdCloud(argc, argv);
    if (command == "calibrate") return cmdCalibrate(argc, argv);
    if (command == "export") return cmdExport(argc, argv);
    if (command == "cut") return cmdCut(argc, argv);
    return fail(kUsageError,
                "unknown command '%s' (record, import, info, depth, cloud, export, cut, calibrate, devices "
                "or controls; "
                "see "
                "twv --help)",
                command.c_str());
}
