// twv: make, inspect and export .twv recordings from the command line.
//
// Exit status: 0 success, 1 the work failed, 2 the command line is wrong.

#include "TwvDevices.h"
#include "twl/Camera.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoRectifier.h"
#include "twl/core/ModeTable.h"
#include "twl/io/Export.h"
#include "twl/source/RectifyingSource.h"
#include "twl/source/VirtualCamera.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace twl;

int cmdCalibrate(int argc, char **argv); // TwvCalibrate.cpp

namespace {

/// Exports favour a clean map over speed unless told otherwise.
constexpr DEPTH_MODE kDefaultExportMode = DEPTH_MODE_QUALITY;

/// `text` with {resolutions}, {default-resolution}, {modes} and {default-mode}
/// written out from the mode table.
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
        {"{default-mode}", depthModeName(kDefaultExportMode)}};
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
    "  twv devices\n"
    "      list the stereo cameras found, with their sizes and rates per format\n"
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
    "  twv cloud FILE.twv --frame K [--mode NAME] [--sensing fill|standard]\n"
    "             --out PATH.xyz|.pcd|.ply|.vtk\n"
    "      save the point cloud of frame K (colour in PCD and PLY)\n"
    "  twv --help | --version\n"
    "      print this help or the version\n"
    "\n"
    "Frames are numbered from 0. The default depth mode is {default-mode}.\n");
const char *kUsage = kUsageText.c_str();

enum Exit { kOk = 0, kFailed = 1, kUsageError = 2 };

int fail(int status, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("twv: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    return status;
}

/// Explains an error code of the recording layer in words.
std::string describe(ERROR_CODE code) {
    switch (code) {
    case ERROR_CODE_FILE_NOT_FOUND:
        return "no such file, or it cannot be read";
    case ERROR_CODE_NOT_A_RECORDING:
        return "not a .twv recording";
    case ERROR_CODE_UNSUPPORTED_VERSION:
        return "recorded in a newer format version than this tool reads";
    case ERROR_CODE_DAMAGED_RECORDING:
        return "the recording is damaged";
    case ERROR_CODE_WRITE_FAILED:
        return "the file could not be written (disk full or no permission?)";
    default:
        return toVerbose(code).str();
    }
}

// ---------------------------------------------------------------------------
// Command line

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    std::string get(const std::string &name, const std::string &fallback = std::string()) const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

/// Splits the words after the command into positional arguments, options
/// with a value ("--name value" or "--name=value") and bare flags. Returns
/// false (after printing why) for unknown options or missing values.
bool parseArgs(int argc, char **argv, int first, const std::set<std::string> &valued,
               const std::set<std::string> &flags, Args *args) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            args->positional.push_back(word);
            continue;
        }
        std::string name = word.substr(2), value;
        const size_t eq = name.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (flags.count(name) && !inlineValue) {
            args->flags.insert(name);
        } else if (valued.count(name)) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    fail(kUsageError, "option --%s needs a value", name.c_str());
                    return false;
                }
                value = argv[++i];
            }
            args->options[name] = value;
        } else {
            fail(kUsageError, "unknown option --%s (see twv --help)", name.c_str());
            return false;
        }
    }
    return true;
}

bool parseInt(const std::string &text, long minimum, long maximum, long *value) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum || v > maximum) return false;
    *value = v;
    return true;
}

bool parsePositiveFloat(const std::string &text, double *value) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0) return false;
    *value = v;
    return true;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string extensionOf(const std::string &path) {
    return lower(fs::path(path).extension().string());
}

bool parseCodec(const Args &args, TwvCodec *codec) {
    const std::string name = lower(args.get("codec", "jpeg"));
    if (name == "jpeg" || name == "jpg")
        *codec = TwvCodec::Jpeg;
    else if (name == "lossless")
        *codec = TwvCodec::Lossless;
    else
        return false;
    return true;
}

const char *codecName(TwvCodec codec) {
    return codec == TwvCodec::Lossless ? "lossless" : "jpeg";
}

/// Exactly one positional argument: the file the command works on.
bool singleFile(const Args &args, const char *command, std::string *path) {
    if (args.positional.size() != 1) {
        fail(kUsageError,
             args.positional.empty() ? "%s: which file? (see twv --help)"
                                     : "%s: one file only (see twv --help)",
             command);
        return false;
    }
    *path = args.positional[0];
    return true;
}

/// The "\rrecording 12/100" line on stderr; end() finishes it so that a
/// following message starts on a line of its own.
class Progress {
public:
    explicit Progress(const char *what) : what_(what) {}
    ~Progress() { end(); }
    void update(int done, int total) {
        std::fprintf(stderr, "\r%s %d/%d", what_, done, total);
        std::fflush(stderr);
        shown_ = true;
    }
    void end() {
        if (shown_) std::fputc('\n', stderr);
        shown_ = false;
    }

private:
    const char *what_;
    bool shown_ = false;
};

std::atomic<bool> interrupted{false};

void onInterrupt(int) {
    interrupted = true;
}

/// Why a recording did not open; a folder is named as such, not as missing.
std::string describeOpen(const std::string &path, ERROR_CODE code) {
    std::error_code ec;
    return fs::is_directory(path, ec) ? "is a directory" : describe(code);
}

/// A recording is made under this name beside its target and takes the
/// target's name only once it was closed properly, so that a failure never
/// destroys a recording that was there before. After a crash the partial file
/// stays: it opens like any recording cut short.
std::string partialPath(const std::string &out) {
    return out + ".partial";
}

/// Renames a finished partial file over `out`, or removes it when the work
/// failed (`keep` false). False (with a message) when the rename fails.
bool settle(const std::string &partial, const std::string &out, bool keep, const char *command) {
    if (!keep) {
        std::remove(partial.c_str());
        return false;
    }
    if (std::rename(partial.c_str(), out.c_str()) == 0) return true;
    const int error = errno;
    std::remove(partial.c_str());
    fail(kFailed, "%s: cannot put the recording in place as %s: %s", command, out.c_str(),
         std::strerror(error));
    return false;
}

/// Reads a calibration file given with --calibration; false after saying why.
bool loadCalibration(const char *command, const std::string &path, StereoCalibration *calibration) {
    std::string error;
    if (StereoCalibration::load(path, calibration, &error)) return true;
    fail(kFailed, "%s: %s", command, error.c_str());
    return false;
}

/// Fields of view (degrees) of a pinhole camera with the given focal length.
float fieldOfView(double sizePixels, double focalPixels) {
    return float(2.0 * std::atan(sizePixels / (2.0 * focalPixels)) * 180.0 / M_PI);
}

// ---------------------------------------------------------------------------
// record

int resolutionIndex(const std::string &name) {
    return resolutionIndexByName(upper(name));
}

/// The allowed frame rates of a resolution, for messages: "15, 30 or 60".
std::string frameRateList(int resolution) {
    std::vector<std::string> rates;
    for (int fps : frameRatesFor(resolution))
        rates.push_back(std::to_string(fps));
    return spokenList(rates);
}

int cmdRecord(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"resolution", "fps", "frames", "codec", "calibration", "device"},
                   {"virtual"}, &args))
        return kUsageError;
    std::string out;
    if (!singleFile(args, "record", &out)) return kUsageError;
    if (args.flags.count("virtual") == args.has("device"))
        return fail(kUsageError, "record: say where the frames come from: --virtual or --device /dev/videoN");
    const int resolution = resolutionIndex(args.get("resolution", resolutionMode(kDefaultResolution)->name));
    if (resolution < 0)
        return fail(kUsageError, "record: unknown resolution '%s' (%s)", args.get("resolution").c_str(),
                    spokenList(resolutionNames()).c_str());
    long fps = 0, frames = 0;
    if (!parseInt(args.get("fps", "30"), 1, 1000, &fps))
        return fail(kUsageError, "record: --fps needs a whole number of frames per second");
    if (!isFrameRateAllowed(resolution, int(fps)))
        return fail(kUsageError, "record: %ld fps is not available at this resolution (%s)", fps,
                    frameRateList(resolution).c_str());
    if (!parseInt(args.get("frames", "100"), 1, 10000000, &frames))
        return fail(kUsageError, "record: --frames needs a positive whole number");
    TwvCodec codec;
    if (!parseCodec(args, &codec))
        return fail(kUsageError, "record: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());
    StereoCalibration calibration;
    if (args.has("calibration") && !loadCalibration("record", args.get("calibration"), &calibration))
        return kFailed;

    ERROR_CODE error = SUCCESS;
    std::unique_ptr<FrameSource> camera;
    if (args.has("device")) {
        std::string why;
        camera = openDeviceForRecording(args.get("device"), resolution, int(fps), &why);
        if (!camera) return fail(kFailed, "record: %s", why.c_str());
    } else {
        // Asking for --virtual is explicit enough to switch the virtual camera on.
        const char *virtualCamera = std::getenv("VANTARO_VIRTUAL_CAMERA");
        if (!virtualCamera || !*virtualCamera) setenv("VANTARO_VIRTUAL_CAMERA", "1", 1);
        camera = VirtualCamera::open(resolution, int(fps), &error);
        if (!camera)
            return fail(kFailed, "record: cannot open the virtual camera: %s", toVerbose(error).c_str());
    }
    if (args.has("calibration")) {
        std::string why;
        std::unique_ptr<FrameSource> rectified = RectifyingSource::wrap(camera, calibration, &why);
        if (!rectified)
            return fail(kFailed, "record: calibration file %s: %s", args.get("calibration").c_str(),
                        why.c_str());
        camera = std::move(rectified);
    }

    const Resolution size = camera->resolution();
    const CameraInformation info = camera->information();
    const CameraParameters &cam = info.calibration_parameters.left_cam;
    TwvHeader header;
    header.width = uint32_t(size.width);
    header.height = uint32_t(size.height);
    header.fps = camera->fps() > 0 ? camera->fps() : float(fps);
    header.serialNumber = info.serial_number;
    header.firmwareVersion = info.firmware_version;
    header.model = info.camera_model;
    header.fx = cam.fx;
    header.fy = cam.fy;
    header.cx = cam.cx;
    header.cy = cam.cy;
    header.baseline = info.calibration_parameters.baseline;
    header.hFov = cam.h_fov > 0 ? cam.h_fov : fieldOfView(double(size.width), double(cam.fx));
    header.vFov = cam.v_fov > 0 ? cam.v_fov : fieldOfView(double(size.height), double(cam.fy));

    TwvWriter writer;
    const std::string partial = partialPath(out);
    error = writer.open(partial, header, codec);
    if (error != SUCCESS)
        return fail(kFailed, "record: cannot create %s: %s", partial.c_str(), describe(error).c_str());

    // Ctrl-C ends the recording early but still closes the file properly.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    int status = kOk;
    bool writeFailed = false;
    StereoFrame frame;
    Progress progress("recording");
    for (long i = 0; i < frames && !interrupted; ++i) {
        error = camera->grab(frame);
        if (error != SUCCESS) {
            progress.end();
            status = fail(kFailed, "record: the camera stopped after %d frames: %s", writer.framesWritten(),
                          toVerbose(error).c_str());
            break;
        }
        error = writer.writeFrame(frame.left, frame.right, frame.timestamp);
        if (error != SUCCESS) {
            progress.end();
            status = fail(kFailed, "record: writing frame %ld to %s failed: %s", i, partial.c_str(),
                          describe(error).c_str());
            writeFailed = true;
            break;
        }
        progress.update(int(i + 1), int(frames));
    }
    progress.end();
    if (interrupted) std::fprintf(stderr, "twv: record: stopped after %d frames\n", writer.framesWritten());
    error = writer.close();
    if (error != SUCCESS && !writeFailed)
        status = fail(kFailed, "record: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    // Frames the camera gave before it stopped are a good recording; a
    // failed write or close leaves none worth keeping.
    const bool keep = !writeFailed && error == SUCCESS;
    if (!settle(partial, out, keep, "record") && keep) status = kFailed;
    std::error_code ec;
    if (!keep && fs::exists(out, ec))
        std::fprintf(stderr, "twv: record: %s was left as it was\n", out.c_str());
    return status;
}

// ---------------------------------------------------------------------------
// import

bool isImageFile(const fs::path &p) {
    static const std::set<std::string> kinds = {".png",  ".jpg", ".jpeg", ".bmp", ".tif",
                                                ".tiff", ".pgm", ".ppm",  ".pnm", ".webp"};
    return kinds.count(lower(p.extension().string())) != 0;
}

/// The images named by a file or held by a folder, sorted by name.
bool listImages(const std::string &where, const char *side, std::vector<std::string> *files) {
    std::error_code ec;
    if (fs::is_directory(where, ec)) {
        for (const fs::directory_entry &e : fs::directory_iterator(where, ec))
            if (e.is_regular_file(ec) && isImageFile(e.path())) files->push_back(e.path().string());
        if (ec) {
            fail(kFailed, "import: cannot read the folder %s: %s", where.c_str(), ec.message().c_str());
            return false;
        }
        std::sort(files->begin(), files->end());
        if (files->empty()) {
            fail(kFailed, "import: no images in the %s folder %s", side, where.c_str());
            return false;
        }
        return true;
    }
    if (!fs::is_regular_file(where, ec)) {
        fail(kFailed, "import: %s images: no such file or folder: %s", side, where.c_str());
        return false;
    }
    files->push_back(where);
    return true;
}

int cmdImport(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"left", "right", "focal", "baseline", "fps", "codec", "calibration"}, {},
                   &args))
        return kUsageError;
    std::string out;
    if (!singleFile(args, "import", &out)) return kUsageError;
    if (!args.has("left") || !args.has("right"))
        return fail(kUsageError, "import: --left and --right are both needed");
    const bool calibrated = args.has("calibration");
    double focal = 0, baseline = 0;
    if (calibrated && (args.has("focal") || args.has("baseline")))
        return fail(kUsageError, "import: the focal length and baseline come from the calibration; "
                                 "leave out --focal and --baseline");
    if (!calibrated && !parsePositiveFloat(args.get("focal"), &focal))
        return fail(kUsageError, "import: --focal needs the focal length in pixels (a positive number)");
    if (!calibrated && !parsePositiveFloat(args.get("baseline"), &baseline))
        return fail(kUsageError, "import: --baseline needs the distance between the cameras in metres");
    double fps = 15;
    if (args.has("fps") && (!parsePositiveFloat(args.get("fps"), &fps) || fps > 1000))
        return fail(kUsageError, "import: --fps needs a frame rate above 0 and at most 1000");
    TwvCodec codec;
    if (!parseCodec(args, &codec))
        return fail(kUsageError, "import: unknown codec '%s' (jpeg or lossless)", args.get("codec").c_str());

    StereoCalibration calibration;
    if (calibrated && !loadCalibration("import", args.get("calibration"), &calibration)) return kFailed;
    std::unique_ptr<StereoRectifier> rectifier;

    std::vector<std::string> lefts, rights;
    if (!listImages(args.get("left"), "left", &lefts) || !listImages(args.get("right"), "right", &rights))
        return kFailed;
    if (lefts.size() != rights.size())
        return fail(kFailed, "import: %zu left images but %zu right images; they must pair up", lefts.size(),
                    rights.size());

    TwvWriter writer;
    const std::string partial = partialPath(out);
    Progress progress("importing");
    // A recording with a hole in it helps nobody: on any failure the
    // half-made file goes.
    auto abandon = [&](const char *format, const std::string &a, const std::string &b = std::string()) {
        progress.end();
        if (writer.isOpen()) {
            writer.close();
            std::remove(partial.c_str());
        }
        return fail(kFailed, format, a.c_str(), b.c_str());
    };
    cv::Size size;
    const int total = int(lefts.size());
    for (int i = 0; i < total; ++i) {
        cv::Mat pair[2];
        const std::string *names[2] = {&lefts[size_t(i)], &rights[size_t(i)]};
        for (int eye = 0; eye < 2; ++eye) {
            pair[eye] = cv::imread(*names[eye], cv::IMREAD_COLOR);
            if (pair[eye].empty()) return abandon("import: cannot read the image %s%s", *names[eye]);
            if (i == 0 && eye == 0) {
                size = pair[0].size();
                if (size.width > int(twv::kMaxDimension) || size.height > int(twv::kMaxDimension))
                    return fail(kFailed, "import: %s is %dx%d; at most %ux%u is supported", names[0]->c_str(),
                                size.width, size.height, twv::kMaxDimension, twv::kMaxDimension);
                TwvHeader header;
                header.width = uint32_t(size.width);
                header.height = uint32_t(size.height);
                header.fps = float(fps);
                header.fx = header.fy = float(focal);
                header.cx = float(size.width - 1) / 2;
                header.cy = float(size.height - 1) / 2;
                header.baseline = float(baseline);
                header.hFov = fieldOfView(size.width, focal);
                header.vFov = fieldOfView(size.height, focal);
                if (calibrated) {
                    StereoCalibration scaled;
                    std::string why;
                    if (!calibration.scaledTo(size, &scaled, &why))
                        return fail(kFailed, "import: calibration file %s: %s",
                                    args.get("calibration").c_str(), why.c_str());
                    rectifier = StereoRectifier::make(scaled, &why);
                    if (!rectifier)
                        return fail(kFailed, "import: calibration file %s: %s",
                                    args.get("calibration").c_str(), why.c_str());
                    const CameraParameters &cam = rectifier->parameters().left_cam;
                    header.fx = cam.fx;
                    header.fy = cam.fy;
                    header.cx = cam.cx;
                    header.cy = cam.cy;
                    header.baseline = rectifier->parameters().baseline;
                    header.hFov = cam.h_fov;
                    header.vFov = cam.v_fov;
                }
                const ERROR_CODE error = writer.open(partial, header, codec);
                if (error != SUCCESS)
                    return fail(kFailed, "import: cannot create %s: %s", partial.c_str(),
                                describe(error).c_str());
            } else if (pair[eye].size() != size) {
                const std::string sizes = std::to_string(pair[eye].cols) + "x" +
                                          std::to_string(pair[eye].rows) + " but the first image is " +
                                          std::to_string(size.width) + "x" + std::to_string(size.height);
                return abandon("import: %s is %s; all images must be the same size", *names[eye], sizes);
            }
        }
        if (rectifier) {
            // Fresh outputs: remap cannot work in place.
            cv::Mat raw[2] = {pair[0], pair[1]};
            pair[0].release();
            pair[1].release();
            rectifier->rectify(raw[0], raw[1], pair[0], pair[1]);
        }
        const uint64_t timestamp = uint64_t(std::llround(double(i + 1) * 1e9 / fps));
        const ERROR_CODE error = writer.writeFrame(pair[0], pair[1], timestamp);
        if (error != SUCCESS) return abandon("import: writing %s failed: %s", partial, describe(error));
        progress.update(i + 1, total);
    }
    progress.end();
    const ERROR_CODE error = writer.close();
    if (error != SUCCESS) {
        settle(partial, out, false, "import");
        return fail(kFailed, "import: finishing %s failed: %s", partial.c_str(), describe(error).c_str());
    }
    if (!settle(partial, out, true, "import")) return kFailed;
    std::printf("%s: %d frames of %dx%d\n", out.c_str(), total, size.width, size.height);
    return kOk;
}

// ---------------------------------------------------------------------------
// info

int cmdInfo(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {}, {}, &args)) return kUsageError;
    std::string path;
    if (!singleFile(args, "info", &path)) return kUsageError;
    TwvReader reader;
    const ERROR_CODE error = reader.open(path);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());

    const TwvHeader &h = reader.header();
    const int count = reader.frameCount();
    double duration = 0;
    uint64_t first = 0, last = 0;
    if (count > 0) {
        // From the recorded times when they can be read, else from the rate.
        if (reader.readTimestamp(0, &first) == SUCCESS && reader.readTimestamp(count - 1, &last) == SUCCESS &&
            last >= first)
            duration = double(last - first) / 1e9 + 1.0 / double(h.fps);
        else
            duration = double(count) / double(h.fps);
    }
    std::printf("file:          %s\n", path.c_str());
    std::printf("format:        version %u, %s\n", h.version, codecName(h.codec));
    std::printf("resolution:    %ux%u per eye\n", h.width, h.height);
    std::printf("frame rate:    %g fps\n", double(h.fps));
    std::printf("serial number: %u\n", h.serialNumber);
    std::printf("firmware:      %u\n", h.firmwareVersion);
    std::printf("model:         %d\n", h.model);
    std::printf("focal length:  fx %.3f  fy %.3f pixels\n", double(h.fx), double(h.fy));
    std::printf("principal:     cx %.3f  cy %.3f pixels\n", double(h.cx), double(h.cy));
    std::printf("baseline:      %.4f m\n", double(h.baseline));
    std::printf("field of view: %.2f x %.2f degrees\n", double(h.hFov), double(h.vFov));
    std::printf("frames:        %d\n", count);
    std::printf("duration:      %.3f s\n", duration);
    if (reader.isRecovered())
        std::printf("note:          not closed properly; frames found by scanning the file\n");
    return kOk;
}

// ---------------------------------------------------------------------------
// depth and cloud

bool parseMode(const std::string &name, int *mode) {
    const DEPTH_MODE found = depthModeByName(upper(name));
    if (found == DEPTH_MODE_NONE) return false;
    *mode = found;
    return true;
}

/// Opens the recording through the camera layer and grabs frame `frame`,
/// so the exported depth is exactly what the viewer shows.
int grabFrame(const char *command, const Args &args, Camera &camera) {
    std::string path;
    if (!singleFile(args, command, &path)) return kUsageError;
    long frame = 0;
    if (!args.has("frame") || !parseInt(args.get("frame"), 0, 2147483647L, &frame))
        return fail(kUsageError, "%s: --frame needs the frame number (from 0)", command);
    int mode = kDefaultExportMode;
    if (args.has("mode") && !parseMode(args.get("mode"), &mode))
        return fail(kUsageError, "%s: unknown mode '%s' (%s)", command, args.get("mode").c_str(),
                    spokenList(depthModeNames()).c_str());
    const std::string sensing = lower(args.get("sensing", "standard"));
    if (sensing != "standard" && sensing != "fill")
        return fail(kUsageError, "%s: unknown sensing '%s' (fill or standard)", command,
                    args.get("sensing").c_str());
    if (!args.has("out")) return fail(kUsageError, "%s: --out names the file to write", command);

    // Check what can be checked before the expensive camera start.
    {
        TwvReader reader;
        const ERROR_CODE error = reader.open(path);
        if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());
        if (frame >= reader.frameCount())
            return fail(kFailed, "%s: frame %ld does not exist; the recording has %d frames (0 to %d)",
                        command, frame, reader.frameCount(), reader.frameCount() - 1);
    }

    InitParameters init;
    init.inputPath = path;
    init.depthMode = mode;
    init.depthStabilization = 0; // one frame: there is no history to smooth with
    ERROR_CODE error = camera.open(init);
    if (error != SUCCESS) return fail(kFailed, "%s: %s", path.c_str(), describeOpen(path, error).c_str());
    camera.setTWVPosition(int(frame));
    RuntimeParameters runtime;
    runtime.sensingMode = sensing == "fill" ? SENSING_MODE_FILL : SENSING_MODE_STANDARD;
    error = camera.grab(runtime);
    if (error != SUCCESS)
        return fail(kFailed, "%s: frame %ld: %s", path.c_str(), frame, describe(error).c_str());
    return kOk;
}

int cmdDepth(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"frame", "mode", "sensing", "out"}, {}, &args)) return kUsageError;
    const std::string out = args.get("out");
    const std::string ext = extensionOf(out);
    DEPTH_FORMAT format = DEPTH_FORMAT_PNG;
    float factor = 1000;
    if (ext == ".png") {
        format = DEPTH_FORMAT_PNG;
        factor = 1000; // millimetres in 16 bits
    } else if (ext == ".pfm") {
        format = DEPTH_FORMAT_PFM;
        factor = 1; // metres as floats
    } else if (ext == ".pgm") {
        format = DEPTH_FORMAT_PGM;
        factor = 1000;
    } else if (args.has("out")) {
        return fail(kUsageError, "depth: --out must end in .png, .pfm or .pgm");
    }
    Camera camera;
    const int status = grabFrame("depth", args, camera);
    if (status != kOk) return status;
    Mat depth;
    if (camera.retrieveMeasure(depth, MEASURE_DEPTH, MEM_CPU) != SUCCESS)
        return fail(kFailed, "depth: no depth could be computed for this frame");
    if (!saveDepthAs(depth, format, out, factor))
        return fail(kFailed, "depth: could not write %s", out.c_str());
    std::printf("%s: depth of frame %s, %zux%zu\n", out.c_str(), args.get("frame").c_str(), depth.getWidth(),
                depth.getHeight());
    return kOk;
}

int cmdCloud(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"frame", "mode", "sensing", "out"}, {}, &args)) return kUsageError;
    const std::string out = args.get("out");
    const std::string ext = extensionOf(out);
    POINT_CLOUD_FORMAT format = POINT_CLOUD_FORMAT_XYZ;
    if (ext == ".xyz")
        format = POINT_CLOUD_FORMAT_XYZ;
    else if (ext == ".pcd")
        format = POINT_CLOUD_FORMAT_PCD;
    else if (ext == ".ply")
        format = POINT_CLOUD_FORMAT_PLY;
    else if (ext == ".vtk")
        format = POINT_CLOUD_FORMAT_VTK;
    else if (args.has("out"))
        return fail(kUsageError, "cloud: --out must end in .xyz, .pcd, .ply or .vtk");
    Camera camera;
    const int status = grabFrame("cloud", args, camera);
    if (status != kOk) return status;
    Mat cloud;
    if (camera.retrieveMeasure(cloud, MEASURE_XYZRGBA, MEM_CPU) != SUCCESS)
        return fail(kFailed, "cloud: no point cloud could be computed for this frame");
    const bool colour = format == POINT_CLOUD_FORMAT_PCD || format == POINT_CLOUD_FORMAT_PLY;
    if (!savePointCloudAs(cloud, format, out, colour))
        return fail(kFailed, "cloud: could not write %s", out.c_str());
    std::printf("%s: point cloud of frame %s\n", out.c_str(), args.get("frame").c_str());
    return kOk;
}

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
    if (command == "depth") return cmdDepth(argc, argv);
    if (command == "cloud") return cmdCloud(argc, argv);
    if (command == "calibrate") return cmdCalibrate(argc, argv);
    return fail(kUsageError,
                "unknown command '%s' (record, import, info, depth, cloud, calibrate or devices; see twv --help)",
                command.c_str());
}
