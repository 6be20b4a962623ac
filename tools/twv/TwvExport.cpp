// twv export: a recording as an MCAP file of ROS 2 messages, which ros2 bag,
// Foxglove and the MCAP libraries open.
//
//   twv export IN.twv OUT.mcap [--from A] [--to B] [--depth MODE] [--sensing fill|standard] [--cloud]

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "TwvProgress.h"
#include "TwvRange.h"
#include "twl/Camera.h"
#include "twl/mcap/McapWriter.h"
#include "twl/mcap/RosMessages.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace twl;
using namespace twvtool;

namespace {

const char kLeftFrame[] = "vantaro_left_optical_frame";
const char kRightFrame[] = "vantaro_right_optical_frame";

struct Topics {
    uint16_t leftImage = 0, leftInfo = 0, rightImage = 0, rightInfo = 0, depth = 0, points = 0;
    std::string names;
};

Topics addTopics(McapWriter &writer, bool depth, bool cloud) {
    // Players fall back to their default QoS when a bag offers none.
    const std::vector<std::pair<std::string, std::string>> qos = {{"offered_qos_profiles", ""}};
    Topics t;
    auto channel = [&](uint16_t schema, const char *topic) {
        t.names += (t.names.empty() ? "" : ", ") + std::string(topic);
        return writer.addChannel(schema, topic, "cdr", qos);
    };
    auto schema = [&](const ros::MessageType &type) {
        return writer.addSchema(type.name, "ros2msg", type.definition);
    };
    const uint16_t image = schema(ros::imageType()), info = schema(ros::cameraInfoType());
    t.leftImage = channel(image, "/vantaro/left/image_rect");
    t.leftInfo = channel(info, "/vantaro/left/camera_info");
    t.rightImage = channel(image, "/vantaro/right/image_rect");
    t.rightInfo = channel(info, "/vantaro/right/camera_info");
    if (depth) t.depth = channel(image, "/vantaro/depth/image");
    if (cloud) t.points = channel(schema(ros::pointCloud2Type()), "/vantaro/points");
    return t;
}

/// The messages of the frame just grabbed, all stamped with its time.
ERROR_CODE writeFrame(Camera &camera, McapWriter &writer, const Topics &topics,
                      std::vector<unsigned char> &buf) {
    const uint64_t time = camera.getCameraTimestamp();
    const CameraInformation info = camera.getCameraInformation();
    const CameraParameters &cam = info.calibration_parameters.left_cam;
    const Resolution size = camera.getResolution();
    ros::RectifiedCamera rectified;
    rectified.width = uint32_t(size.width);
    rectified.height = uint32_t(size.height);
    rectified.fx = cam.fx;
    rectified.fy = cam.fy;
    rectified.cx = cam.cx;
    rectified.cy = cam.cy;
    Mat mat;
    auto send = [&](uint16_t channel) { return writer.write(channel, time, time, buf.data(), buf.size()); };
    for (const bool right : {false, true}) {
        const ros::Header header{time, right ? kRightFrame : kLeftFrame};
        if (camera.retrieveImage(mat, right ? VIEW_RIGHT : VIEW_LEFT, MEM_CPU) != SUCCESS)
            return ERROR_CODE_FAILURE;
        ros::encodeBgr8(header, mat.getPtr<uchar>(MEM_CPU), uint32_t(mat.getWidth()),
                        uint32_t(mat.getHeight()), mat.getStepBytes(MEM_CPU), buf);
        ERROR_CODE error = send(right ? topics.rightImage : topics.leftImage);
        if (error != SUCCESS) return error;
        rectified.tx = right ? -double(cam.fx) * double(info.calibration_parameters.baseline) : 0.0;
        ros::encodeCameraInfo(header, rectified, buf);
        if ((error = send(right ? topics.rightInfo : topics.leftInfo)) != SUCCESS) return error;
    }
    const ros::Header header{time, kLeftFrame}; // depth and points are seen from the left camera
    if (topics.depth) {
        if (camera.retrieveMeasure(mat, MEASURE_DEPTH, MEM_CPU) != SUCCESS) return ERROR_CODE_FAILURE;
        ros::encodeDepth(header, mat.getPtr<float>(MEM_CPU), uint32_t(mat.getWidth()),
                         uint32_t(mat.getHeight()), mat.getStepBytes(MEM_CPU), buf);
        const ERROR_CODE error = send(topics.depth);
        if (error != SUCCESS) return error;
    }
    if (topics.points) {
        if (camera.retrieveMeasure(mat, MEASURE_XYZRGBA, MEM_CPU) != SUCCESS) return ERROR_CODE_FAILURE;
        ros::encodePointCloud(header, mat.getPtr<float>(MEM_CPU), uint32_t(mat.getWidth()),
                              uint32_t(mat.getHeight()), mat.getStepBytes(MEM_CPU), buf);
        return send(topics.points);
    }
    return SUCCESS;
}

} // namespace

int cmdExport(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"from", "to", "depth", "sensing"}, {"cloud"}, &args)) return kUsageError;
    if (args.positional.size() != 2)
        return fail(kUsageError,
                    "export: name the recording and the file to write: twv export IN.twv OUT.mcap");
    const std::string in = args.positional[0], out = args.positional[1];
    if (extensionOf(out) != ".mcap")
        return fail(kUsageError,
                    "export: the file to write must end in .mcap (readers know the format by it)");
    const bool depth = args.has("depth"), cloud = args.flags.count("cloud") != 0;
    FrameRange range;
    int mode = 0, sensing = 0;
    int status = parseFromTo("export", args, &range);
    if (status == kOk) status = depthOptions("export", args, "depth", &mode, &sensing);
    if (status != kOk) return status;
    if (args.has("sensing") && !depth && !cloud)
        return fail(kUsageError, "export: --sensing goes with --depth or --cloud");
    int frameCount = 0;
    if ((status = recordingFrameCount(in, &frameCount)) != kOk) return status;
    if ((status = resolveRange("export", frameCount, &range)) != kOk) return status;
    Camera camera;
    if ((status = openForExport(in, mode, camera)) != kOk) return status;

    McapWriter writer;
    const std::string partial = partialPath(out);
    McapWriter::Options options;
    options.library = "vantaro twv " VANTARO_VERSION;
    ERROR_CODE error = writer.open(partial, options);
    if (error != SUCCESS)
        return fail(kFailed, "export: cannot create %s: %s", partial.c_str(), describe(error).c_str());
    const Topics topics = addTopics(writer, depth, cloud);
    Progress progress("exporting");
    auto abandon = [&](const std::string &why) {
        progress.end();
        writer.close();
        return giveUp("export", partial, out, why);
    };

    catchInterrupts();
    camera.setTWVPosition(int(range.first));
    RuntimeParameters runtime;
    runtime.sensingMode = sensing;
    runtime.enableDepth = depth || cloud;
    std::vector<unsigned char> buf;
    std::string skipped;
    long written = 0;
    for (long frame = range.first; frame <= range.last; ++frame) {
        if (interrupted) return abandon("stopped at frame " + std::to_string(frame));
        error = camera.grab(runtime);
        if (error == ERROR_CODE_DAMAGED_RECORDING) {
            skipped += (skipped.empty() ? "" : ", ") + std::to_string(frame);
        } else if (error != SUCCESS) {
            return abandon("frame " + std::to_string(frame) + ": " + describe(error));
        } else if (camera.getCameraTimestamp() > ros::kLatestStampNs) {
            return abandon("frame " + std::to_string(frame) + " is stamped later than a ROS time can say (int32 seconds)");
        } else {
            error = writeFrame(camera, writer, topics, buf);
            if (error != SUCCESS)
                return abandon("writing frame " + std::to_string(frame) + ": " + describe(error));
            ++written;
        }
        progress.update(int(frame - range.first + 1), int(range.count()));
    }
    progress.end();
    if (written == 0) return abandon("no frame of the range could be decoded");
    if (putInPlace("export", writer.close(), partial, out) != kOk) return kFailed;
    std::printf("%s: %ld frames (%s) on %s; %.1f MB\n", out.c_str(), written, describeRange(range).c_str(),
                topics.names.c_str(), double(writer.bytesWritten()) / 1e6);
    if (!skipped.empty()) return fail(kFailed, "export: damaged frames left out: %s", skipped.c_str());
    return kOk;
}
