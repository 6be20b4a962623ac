#pragma once
// What every twv command shares: exit statuses and messages, writing a
// recording under a partial name, and opening one frame of a recording.

#include "twl/core/Types.h"
#include "twl/twv/TwvFormat.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace twl {
class Camera;
class StereoCalibration;
} // namespace twl

namespace twvtool {

struct Args;

/// Exit status of every command: 0 done, 1 the work failed, 2 the command line is wrong.
enum Exit { kOk = 0, kFailed = 1, kUsageError = 2 };

/// Exports favour a clean map over speed unless told otherwise.
constexpr twl::DEPTH_MODE kDefaultExportMode = twl::DEPTH_MODE_QUALITY;

/// Prints "twv: " and the message on standard error; returns `status`.
int fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
/// Explains an error code of the recording layer in words.
std::string describe(twl::ERROR_CODE code);
/// Why a recording did not open; a folder is named as such, not as missing.
std::string describeOpen(const std::string &path, twl::ERROR_CODE code);

const char *codecName(twl::TwvCodec codec);
/// The allowed frame rates of a resolution, for messages: "15, 30 or 60".
std::string frameRateList(int resolution);
bool isImageFile(const std::filesystem::path &p);
/// The images named by a file or held by a folder, sorted by name, appended
/// to `files`; false with the reason in `why` when there are none.
bool listImages(const std::string &where, const char *side, std::vector<std::string> *files,
                std::string *why);

/// A recording is made under this name beside its target and takes the
/// target's name only once it was closed properly, so that a failure never
/// destroys a recording that was there before. After a crash the partial file
/// stays: it opens like any recording cut short.
std::string partialPath(const std::string &out);
/// Renames a finished partial file over `out`, or removes it when the work
/// failed (`keep` false). False (with a message) when the rename fails.
bool settle(const std::string &partial, const std::string &out, bool keep, const char *command);

/// After the file written under its partial name was closed with `closed`:
/// renames it into place, or removes it and says why. kOk or kFailed.
int putInPlace(const char *command, twl::ERROR_CODE closed, const std::string &partial, const std::string &out);
/// Removes the partial file of work given up and says why; kFailed.
int giveUp(const char *command, const std::string &partial, const std::string &out, const std::string &why);

/// Reads a calibration file given with --calibration; false after saying why.
bool loadCalibration(const char *command, const std::string &path, twl::StereoCalibration *calibration);

/// Set by Ctrl-C or SIGTERM once catchInterrupts() ran: long work ends early
/// but still closes its file properly.
extern std::atomic<bool> interrupted;
void catchInterrupts();

/// "frame K does not exist; the recording has N frames (0 to N-1)"; kFailed.
int noSuchFrame(const char *command, long frame, int frameCount);
/// The depth mode (from the option `modeOption`, default kDefaultExportMode)
/// and --sensing of the commands that compute depth. kOk or the exit status.
int depthOptions(const char *command, const Args &args, const char *modeOption, int *mode, int *sensing);
/// How many frames the recording at `path` holds, read before the expensive
/// camera start. kOk or kFailed after saying why it did not open.
int recordingFrameCount(const std::string &path, int *frameCount);
/// Opens a recording through the camera layer for export, without temporal
/// smoothing: a frame's depth must not depend on the frames exported before.
int openForExport(const std::string &path, int mode, twl::Camera &camera);

/// Opens the recording named by the command line through the camera layer
/// and grabs the frame of --frame, so the exported depth is exactly what the
/// viewer shows; reads --mode and --sensing too. kOk or the exit status.
int grabFrame(const char *command, const Args &args, twl::Camera &camera);

} // namespace twvtool
