#include "TwvSequence.h"

#include "TwvArgs.h"
#include "TwvCommon.h"
#include "TwvProgress.h"
#include "TwvRange.h"
#include "twl/Camera.h"

#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;
using namespace twl;

namespace twvtool {

int exportFrames(const char *command, const Args &args, const char *prefix, const std::string &extension,
                 const char *what, const SaveFrame &save) {
    std::string path;
    if (!singleFile(args, command, &path)) return kUsageError;
    if (args.has("frame"))
        return fail(kUsageError, "%s: one frame with --frame K, or a range with --frames A:B or --all",
                    command);
    FrameRange range;
    int mode = 0, sensing = 0;
    int status = parseFrames(command, args, &range);
    if (status == kOk) status = depthOptions(command, args, "mode", &mode, &sensing);
    if (status != kOk) return status;
    if (!args.has("out"))
        return fail(kUsageError, "%s: --out names the folder to write the files into", command);
    const fs::path folder = args.get("out");

    int frameCount = 0;
    if ((status = recordingFrameCount(path, &frameCount)) != kOk) return status;
    if ((status = resolveRange(command, frameCount, &range)) != kOk) return status;
    std::error_code ec;
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
        return fail(kFailed, "%s: %s is a file; --out names a folder with --frames and --all", command,
                    folder.c_str());
    fs::create_directories(folder, ec);
    if (ec)
        return fail(kFailed, "%s: cannot make the folder %s: %s", command, folder.c_str(),
                    ec.message().c_str());

    Camera camera;
    if ((status = openForExport(path, mode, camera)) != kOk) return status;
    camera.setTWVPosition(int(range.first));
    RuntimeParameters runtime;
    runtime.sensingMode = sensing;
    catchInterrupts();
    std::vector<long> skipped;
    long written = 0, frame = range.first;
    Progress progress("exporting");
    for (; frame <= range.last && !interrupted; ++frame) {
        const ERROR_CODE error = camera.grab(runtime);
        if (error == ERROR_CODE_DAMAGED_RECORDING) {
            skipped.push_back(frame);
        } else if (error != SUCCESS) {
            progress.end();
            return fail(kFailed, "%s: frame %ld: %s", path.c_str(), frame, describe(error).c_str());
        } else {
            char name[64];
            std::snprintf(name, sizeof name, "%s_%06ld%s", prefix, frame, extension.c_str());
            const std::string file = (folder / name).string();
            if (!save(camera, file)) {
                progress.end();
                return fail(kFailed, "%s: could not write %s (%ld files written before it)", command,
                            file.c_str(), written);
            }
            ++written;
        }
        progress.update(int(frame - range.first + 1), int(range.count()));
    }
    progress.end();
    std::printf("%s: %ld %s of %s as %s_NNNNNN%s\n", folder.c_str(), written, what,
                describeRange(range).c_str(), prefix, extension.c_str());
    if (interrupted) return fail(kFailed, "%s: stopped before frame %ld", command, frame);
    if (!skipped.empty()) {
        std::string list;
        for (long k : skipped)
            list += (list.empty() ? "" : ", ") + std::to_string(k);
        return fail(kFailed, "%s: %zu damaged frames skipped: %s", command, skipped.size(), list.c_str());
    }
    return kOk;
}

} // namespace twvtool
