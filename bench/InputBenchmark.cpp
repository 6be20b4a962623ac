// vantaro-bench input [--resolutions HD720,HD2K] [--frames N] [--seconds S]
//                     [--streams ...] [--ultra-fps F]
//
// The input path of a real side-by-side camera. First, per frame, one JSON
// line per resolution x case with
//  ms           median time of the case on one prepared frame of the
//               virtual scene (YUYV as a camera sends it, or MJPG at
//               quality 90);
//  cpu_ms       mean CPU time of the case, all threads, which a shared
//               machine's load does not inflate as it does ms;
//  copy_ms      median time of a plain copy of the same input bytes into a
//               buffer of their size, measured in the same run: the floor
//               any conversion is compared with;
//  bytes        size of the input frame.
// Cases: "yuyv" (YUYV -> two BGRA eyes); "mjpg_opencv", the MJPG decode
// used before libjpeg-turbo's own interface (OpenCV's imdecode into one BGR
// picture, then each half to BGRA); "mjpg" (MjpgDecoder, exact), "mjpg_fast"
// (MjpgDecoder with the fast DCT and chroma upsampling: what the camera
// uses), "mjpg_grey" (the same with the eyes' grey, as while depth is on,
// the Huffman decoding HuffmanDecoder's), "mjpg_grey_libjpeg_huffman" (the
// same with libjpeg's own Huffman decoding), "mjpg_restarts" (the fast
// decode on the picture encoded with a restart marker after every row of
// MCUs, which the decoder cuts in two halves decoded on two threads) and
// "mjpg_skipping" (the fast decode split between two threads without
// markers, the second decoder skipping the rows the first decodes: what a
// source does when whole decodes fall behind its camera; the first decode
// of the run is whole). The MJPG lines add
//  opencv_ms    the "mjpg_opencv" decode of the same bytes timed in the same
//               loop, alternating with the case frame by frame, and
//               ratio = ms / opencv_ms;
//  psnr_db, max_diff
//               both eyes (B, G, R) against the accurate decode;
//  grey_diff    mean absolute difference of the grey images the matcher
//               matches, against the accurate decode;
//  ultra_bad2, ultra_density
//               the stereo engine in ULTRA on the decoded eyes against the
//               scene's exact depth.
// Then the stream check: an MJPG camera (the V4L2 stand-in, which like a
// driver loses a frame when no buffer is queued at its time) at HD720 and 60
// fps for S seconds (10), one line per way of use: "grab" (the source
// alone), "record" (each pair written to a .twv file with JPEG, as twv
// record does), "show" (Camera::grab with depth in PERFORMANCE, the
// viewer's default, and the capture loop's retrievals), "show_restarts"
// (the same with a restart marker after every row of MCUs) and
// "show_ultra" (the best depth mode at 30 fps on the moving scene, encoded
// as a clip before the stream starts, counted after a second of warm-up:
// whether a real camera's four queued buffers absorb the frames that take
// longer than a period; at HD720 and at HD1080, which ULTRA matches at the
// same working size), and "show_ultra_yuyv" (the same at HD1080 from a
// camera sending YUYV, the format a camera offering both is opened in: a
// loop of a second of the scene, as a second of YUYV pictures takes 250 MB);
// --streams picks some of them by name, or by name and resolution
// ("show_ultra@HD1080"), and --ultra-fps runs the ULTRA streams' camera at
// another rate than 30 (the stand-in then offers it at every size): past a
// rate the loop cannot keep, frames are lost, which shows how much room a
// machine leaves at 30 in a steadier figure than the losses at 30. With
//  frames       pairs grabbed;
//  expected     frame times from the first pair's timestamp to the last's;
//  lost         expected - frames: camera frames that never reached us;
//  largest_gap_ms  the largest step between successive timestamps
//               (period_ms when none was lost);
//  cpu_ms       CPU time per pair, all threads.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"
#include "bench/CaptureLoop.h"

#include "support/DisparityScore.h"
#include "support/FakeV4l2Device.h"
#include "twl/Camera.h"
#include "twl/core/FrameSource.h"
#include "twl/core/ModeTable.h"
#include "twl/source/VirtualScene.h"
#include "twl/stereo/StereoEngine.h"
#include "twl/twv/TwvWriter.h"
#include "twl/uvc/MjpgDecoder.h"
#include "twl/uvc/SideBySide.h"
#include "twl/uvc/UvcCamera.h"
#include "twl/uvc/V4l2Device.h"

#include <linux/videodev2.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::cpuMs;
using bench::loadAverage;
using bench::median;
using bench::nowMs;

using twl::Resolution;

/// One side-by-side frame of the virtual scene as a camera would send it.
struct InputFrame {
    Resolution eye;
    cv::Mat left, right, depth; // as rendered, and the exact depth of the left eye
    float focal = 0, baseline = 0;
    std::vector<uchar> yuyv;
    std::vector<uchar> mjpg;
};

/// Runs one frame through a case into `out`; returns the input bytes it read.
typedef const std::vector<uchar> &(*Case)(const InputFrame &in, twl::StereoFrame &out);

const std::vector<uchar> &yuyvToEyes(const InputFrame &in, twl::StereoFrame &out) {
    twl::splitYuyv(in.yuyv.data(), in.yuyv.size(), in.eye.width * 4, in.eye, out.left, out.right);
    return in.yuyv;
}

const std::vector<uchar> &mjpgOpenCv(const InputFrame &in, twl::StereoFrame &out) {
    static cv::Mat scratch;
    const int w = int(in.eye.width), h = int(in.eye.height);
    cv::imdecode(cv::Mat(1, int(in.mjpg.size()), CV_8U, const_cast<uchar *>(in.mjpg.data())),
                 cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION, &scratch);
    cv::cvtColor(scratch(cv::Rect(0, 0, w, h)), out.left, cv::COLOR_BGR2BGRA);
    cv::cvtColor(scratch(cv::Rect(w, 0, w, h)), out.right, cv::COLOR_BGR2BGRA);
    return in.mjpg;
}

template <twl::MjpgDecoder::Precision P>
const std::vector<uchar> &mjpgTurbo(const InputFrame &in, twl::StereoFrame &out) {
    static twl::MjpgDecoder decoder(P);
    decoder.decode(in.mjpg.data(), in.mjpg.size(), in.eye, out.left, out.right);
    return in.mjpg;
}

// The fast decode with the eyes' grey, as a source does while depth is on;
// with the Huffman decoding our own (as sources decode) or libjpeg's.
template <bool OwnHuffman> const std::vector<uchar> &mjpgGrey(const InputFrame &in, twl::StereoFrame &out) {
    static twl::MjpgDecoder decoder(twl::MjpgDecoder::Precision::Fast);
    decoder.setOwnHuffman(OwnHuffman);
    decoder.decode(in.mjpg.data(), in.mjpg.size(), in.eye, out.left, out.right, &out.greyLeft,
                   &out.greyRight);
    return in.mjpg;
}

// Split between two threads without restart markers, as a source does where
// whole decodes fall behind its camera and the cores have room (the first
// decode is whole).
const std::vector<uchar> &mjpgSkipping(const InputFrame &in, twl::StereoFrame &out) {
    static twl::MjpgDecoder decoder(twl::MjpgDecoder::Precision::Fast);
    decoder.splitAbove(1e-9, 2.0);
    decoder.decode(in.mjpg.data(), in.mjpg.size(), in.eye, out.left, out.right);
    return in.mjpg;
}

struct NamedCase {
    const char *name;
    Case run;
    bool mjpg;
    bool restarts; // on the frame encoded with restart markers
};
const NamedCase kCases[] = {{"yuyv", yuyvToEyes, false, false},
                            {"mjpg_opencv", mjpgOpenCv, true, false},
                            {"mjpg", mjpgTurbo<twl::MjpgDecoder::Precision::Accurate>, true, false},
                            {"mjpg_fast", mjpgTurbo<twl::MjpgDecoder::Precision::Fast>, true, false},
                            {"mjpg_grey", mjpgGrey<true>, true, false},
                            {"mjpg_grey_libjpeg_huffman", mjpgGrey<false>, true, false},
                            {"mjpg_restarts", mjpgTurbo<twl::MjpgDecoder::Precision::Fast>, true, true},
                            {"mjpg_skipping", mjpgSkipping, true, false}};

InputFrame makeFrame(int resolutionIndex) {
    InputFrame f;
    f.eye = twl::resolutionSize(resolutionIndex);
    twl::VirtualScene scene(f.eye);
    f.focal = scene.focal();
    f.baseline = scene.baseline();
    scene.render(1.0, f.left, f.right, &f.depth);
    twl::FakeV4l2Device::encodeYuyv(f.left, f.right, f.yuyv);
    twl::FakeV4l2Device::encodeMjpg(f.left, f.right, f.mjpg);
    return f;
}

/// How far a decode is from the accurate one: PSNR and largest difference
/// of B, G, R over both eyes, and the mean difference of their grey images.
struct Fidelity {
    double psnr = 0, maxDiff = 0, greyDiff = 0;
};

Fidelity fidelity(const twl::StereoFrame &got, const twl::StereoFrame &accurate) {
    Fidelity f;
    double squared = 0, grey = 0;
    for (int eye = 0; eye < 2; ++eye) {
        const cv::Mat &a = eye ? got.right : got.left, &b = eye ? accurate.right : accurate.left;
        cv::Mat ca, cb, ga, gb;
        cv::cvtColor(a, ca, cv::COLOR_BGRA2BGR);
        cv::cvtColor(b, cb, cv::COLOR_BGRA2BGR);
        const double n = cv::norm(ca, cb, cv::NORM_L2);
        squared += n * n / double(ca.total() * 3) / 2;
        f.maxDiff = std::max(f.maxDiff, cv::norm(ca, cb, cv::NORM_INF));
        cv::cvtColor(a, ga, cv::COLOR_BGRA2GRAY);
        cv::cvtColor(b, gb, cv::COLOR_BGRA2GRAY);
        grey += cv::norm(ga, gb, cv::NORM_L1) / double(ga.total()) / 2;
    }
    f.psnr = squared > 0 ? 10 * std::log10(255.0 * 255.0 / squared) : 99.0;
    f.greyDiff = grey;
    return f;
}

DisparityScore ultraAccuracy(const InputFrame &in, const twl::StereoFrame &eyes) {
    twl::StereoEngine engine;
    engine.configure(twl::DEPTH_MODE_ULTRA, in.eye, in.focal, in.baseline,
                     twl::StereoEngine::minimumDepth(in.focal, in.baseline, int(in.eye.width)));
    twl::StereoResult result;
    engine.compute(eyes.left, eyes.right, false, result);
    return scoreDisparity(result.disparity,
                          disparityFromDepth(in.depth, in.focal * in.baseline, result.disparity.size()));
}

void decodeCases(int index, int frames) {
    const InputFrame plain = makeFrame(index);
    twl::StereoFrame accurate;
    mjpgTurbo<twl::MjpgDecoder::Precision::Accurate>(plain, accurate);
    // The same picture with a restart marker after every row of MCUs, as
    // many cameras' encoders send it: the same pixels, decodable in parts.
    InputFrame marked = plain;
    twl::FakeV4l2Device::encodeMjpg(plain.left, plain.right, marked.mjpg, int(2 * plain.eye.width / 16));
    for (const NamedCase &c : kCases) {
        const InputFrame &frame = c.restarts ? marked : plain;
        twl::StereoFrame out, before;
        const std::vector<uchar> &bytes = c.run(frame, out); // warm-up, allocates the eyes
        mjpgOpenCv(frame, before);
        std::vector<uchar> copy(bytes.size());
        std::vector<double> ms, copyMs, beforeMs;
        double cpu = 0;
        for (int k = 0; k < frames; ++k) {
            double t0 = nowMs();
            const double c0 = cpuMs();
            c.run(frame, out);
            cpu += cpuMs() - c0;
            ms.push_back(nowMs() - t0);
            t0 = nowMs();
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            copyMs.push_back(nowMs() - t0);
            if (c.mjpg) {
                t0 = nowMs();
                mjpgOpenCv(frame, before);
                beforeMs.push_back(nowMs() - t0);
            }
        }
        std::string extra;
        if (c.mjpg) {
            const Fidelity f = fidelity(out, accurate);
            const DisparityScore a = ultraAccuracy(frame, out);
            char text[320];
            std::snprintf(text, sizeof text,
                          ",\"opencv_ms\":%.3f,\"ratio\":%.3f,\"psnr_db\":%.2f,\"max_diff\":%.0f,"
                          "\"grey_diff\":%.4f,\"ultra_bad2\":%.5f,\"ultra_density\":%.4f",
                          median(beforeMs), median(ms) / std::max(1e-9, median(beforeMs)), f.psnr, f.maxDiff,
                          f.greyDiff, a.bad2, a.density);
            extra = text;
        }
        std::printf("{\"family\":\"input\",\"resolution\":\"%s\",\"case\":\"%s\",\"ms\":%.3f,\"cpu_ms\":%.3f,"
                    "\"copy_ms\":%.3f,\"bytes\":%zu,\"frames\":%d%s,\"load_average\":%.2f}\n",
                    twl::resolutionMode(index)->name, c.name, median(ms), cpu / frames, median(copyMs),
                    bytes.size(), frames, extra.c_str(), loadAverage());
        std::fflush(stdout);
    }
}

/// Timestamps of a stream: how many camera frames between the first and
/// the last never arrived.
void reportStream(const char *use, const char *format, twl::RESOLUTION resolution,
                  const std::vector<uint64_t> &stamps, double fps, double seconds, double cpuPerFrame) {
    const bench::StreamFigures f = bench::streamFigures(stamps, fps);
    std::printf("{\"family\":\"input\",\"stream\":\"%s\",\"resolution\":\"%s\",\"format\":\"%s\","
                "\"fps\":%.0f,\"seconds\":%.1f,\"frames\":%zu,\"expected\":%ld,\"lost\":%ld,"
                "\"largest_gap_ms\":%.2f,\"period_ms\":%.2f,\"cpu_ms\":%.2f,\"load_average\":%.2f}\n",
                use, twl::resolutionMode(resolution)->name, format, fps, seconds, stamps.size(), f.expected,
                f.lost, f.largestGapMs, 1e3 / fps, cpuPerFrame, loadAverage());
    std::fflush(stdout);
}

// The moving scene as the camera would send it at `fps`, one frame for each
// of its frames over `seconds`, encoded before the stream starts.
std::vector<std::vector<uchar>> sceneClip(const Resolution &eye, int fps, double seconds, bool yuyv) {
    std::vector<std::vector<uchar>> clip(size_t(std::lround(seconds * fps)));
    cv::parallel_for_(
        cv::Range(0, int(clip.size())),
        [&](const cv::Range &frames) {
            twl::VirtualScene scene(eye);
            cv::Mat left, right;
            for (int i = frames.start; i < frames.end; ++i) {
                scene.render(double(i) / fps, left, right);
                if (yuyv)
                    twl::FakeV4l2Device::encodeYuyv(left, right, clip[size_t(i)]);
                else
                    twl::FakeV4l2Device::encodeMjpg(left, right, clip[size_t(i)]);
            }
        },
        cv::getNumThreads()); // a scene for each thread: its room takes a while to render
    return clip;
}

const struct {
    const char *use;
    twl::RESOLUTION resolution;
} kStreams[] = {{"grab", twl::RESOLUTION_HD720},
                {"record", twl::RESOLUTION_HD720},
                {"show", twl::RESOLUTION_HD720},
                {"show_restarts", twl::RESOLUTION_HD720},
                {"show_ultra", twl::RESOLUTION_HD720},
                {"show_ultra", twl::RESOLUTION_HD1080},
                {"show_ultra_yuyv", twl::RESOLUTION_HD1080}};

// `only`: the streams to run, by use ("show_ultra") or by use and resolution
// ("show_ultra@HD1080"); all where empty.
void streamCases(double seconds, const std::set<std::string> &only, int ultraFps) {
    twl::FakeV4l2Device device;
    // One camera for each format, one plugged in at a time.
    const char *const mjpgNode = "/dev/video0", *const yuyvNode = "/dev/video2";
    for (uint32_t format : {uint32_t(V4L2_PIX_FMT_MJPEG), uint32_t(V4L2_PIX_FMT_YUYV)}) {
        twl::FakeV4l2Device::Camera camera =
            twl::FakeV4l2Device::stereoCamera(format == V4L2_PIX_FMT_MJPEG ? mjpgNode : yuyvNode);
        camera.modes.erase(
            std::remove_if(camera.modes.begin(), camera.modes.end(),
                           [&](const twl::FakeV4l2Device::Mode &m) { return m.pixelFormat != format; }),
            camera.modes.end());
        if (ultraFps != 30)
            for (twl::FakeV4l2Device::Mode &mode : camera.modes)
                mode.rates.push_back(ultraFps);
        device.addCamera(camera);
    }
    device.unplug(yuyvNode);
    // The stand-in encodes fixed eyes once: the camera's own encoding is no part of our path.
    twl::VirtualScene scene(twl::resolutionSize(twl::RESOLUTION_HD720));
    cv::Mat left, right;
    scene.render(1.0, left, right);
    device.setEyes(left, right);
    twl::setDeviceBackend(&device);
    unsetenv("VANTARO_VIRTUAL_CAMERA");

    const std::string file = "/tmp/vantaro-bench-input-" + std::to_string(getpid()) + ".twv";
    for (const auto &u : kStreams) {
        const char *use = u.use;
        if (!only.empty() && !only.count(use) &&
            !only.count(std::string(use) + "@" + twl::resolutionMode(u.resolution)->name))
            continue;
        const Resolution eye = twl::resolutionSize(u.resolution);
        std::vector<uint64_t> stamps;
        double cpu = 0;
        // The camera's pictures with a restart marker after every row of MCUs: cut and decoded on two
        // threads.
        device.setJpegRestartInterval(!std::strcmp(use, "show_restarts") ? int(2 * eye.width / 16) : 0);
        // The best depth at 30 a second on the moving scene, after a second in which the first frames
        // back the engine's buffers.
        const bool yuyv = !std::strcmp(use, "show_ultra_yuyv");
        const bool ultra = yuyv || !std::strcmp(use, "show_ultra");
        const int fps = ultra ? ultraFps : 60;
        const double warmUp = ultra ? 1 : 0;
        if (ultra) device.setClip(sceneClip(eye, fps, yuyv ? 1 : warmUp + seconds + 1, yuyv));
        if (yuyv) {
            device.unplug(mjpgNode);
            device.replug(yuyvNode);
        }
        if (!std::strncmp(use, "show", 4)) {
            twl::Camera session;
            twl::InitParameters init;
            init.cameraResolution = u.resolution;
            init.cameraFps = fps;
            init.depthMode = ultra ? twl::DEPTH_MODE_ULTRA : twl::DEPTH_MODE_PERFORMANCE;
            if (session.open(init) != twl::SUCCESS) {
                std::fprintf(stderr, "vantaro-bench input: the stand-in camera did not open\n");
                break;
            }
            bench::CaptureLoop loop(session.getResolution());
            for (const double t0 = nowMs(); nowMs() - t0 < warmUp * 1000 && loop.step(session);) {
            }
            const double t0 = nowMs(), c0 = cpuMs();
            while (nowMs() - t0 < seconds * 1000 && loop.step(session))
                stamps.push_back(session.getCameraTimestamp());
            cpu = (cpuMs() - c0) / double(std::max<size_t>(1, stamps.size()));
        } else {
            twl::ERROR_CODE error = twl::SUCCESS;
            std::unique_ptr<twl::FrameSource> source =
                twl::UvcCamera::open(std::string(), u.resolution, fps, &error);
            if (!source) {
                std::fprintf(stderr, "vantaro-bench input: the stand-in camera did not open\n");
                break;
            }
            twl::TwvWriter writer;
            twl::TwvHeader header;
            const twl::CameraParameters cam = source->information().calibration_parameters.left_cam;
            header.width = uint32_t(eye.width);
            header.height = uint32_t(eye.height);
            header.fps = float(fps);
            header.fx = cam.fx;
            header.fy = cam.fy;
            header.cx = cam.cx;
            header.cy = cam.cy;
            header.baseline = source->information().calibration_parameters.baseline;
            header.hFov = cam.h_fov;
            header.vFov = cam.v_fov;
            const bool record = !std::strcmp(use, "record");
            if (record && writer.open(file, header, twl::TwvCodec::Jpeg) != twl::SUCCESS) {
                std::fprintf(stderr, "vantaro-bench input: cannot write %s\n", file.c_str());
                break;
            }
            twl::StereoFrame frame;
            const double t0 = nowMs(), c0 = cpuMs();
            while (nowMs() - t0 < seconds * 1000 && source->grab(frame) == twl::SUCCESS) {
                if (record && writer.writeFrame(frame.left, frame.right, frame.timestamp) != twl::SUCCESS)
                    break;
                stamps.push_back(frame.timestamp);
            }
            cpu = (cpuMs() - c0) / double(std::max<size_t>(1, stamps.size()));
            if (record) writer.close();
        }
        reportStream(use, yuyv ? "YUYV" : "MJPG", u.resolution, stamps, fps, seconds, cpu);
        device.setClip({});
        if (yuyv) {
            device.unplug(yuyvNode);
            device.replug(mjpgNode);
        }
    }
    std::remove(file.c_str());
    twl::setDeviceBackend(nullptr);
}

} // namespace

int runInputBenchmark(int argc, char **argv) {
    std::string resolutions = "HD720,HD2K";
    int frames = 30;
    double seconds = 10;
    int ultraFps = 30;
    std::set<std::string> streams;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--resolutions") == 0 && i + 1 < argc)
            resolutions = argv[++i];
        else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(0.0, std::atof(argv[++i]));
        else if (std::strcmp(argv[i], "--ultra-fps") == 0 && i + 1 < argc)
            ultraFps = std::clamp(std::atoi(argv[++i]), 1, 120);
        else if (std::strcmp(argv[i], "--streams") == 0 && i + 1 < argc) {
            std::stringstream named(argv[++i]);
            for (std::string use; std::getline(named, use, ',');) {
                if (std::none_of(std::begin(kStreams), std::end(kStreams), [&](const auto &known) {
                        return use == known.use || use == std::string(known.use) + "@" +
                                                              twl::resolutionMode(known.resolution)->name;
                    })) {
                    std::fprintf(stderr, "vantaro-bench input: unknown stream %s\n", use.c_str());
                    return 2;
                }
                streams.insert(use);
            }
        } else {
            std::fprintf(
                stderr,
                "usage: vantaro-bench input [--resolutions HD720,HD2K] [--frames N] "
                "[--seconds S (0: no stream check)] "
                "[--streams grab,record,show,show_restarts,show_ultra,show_ultra@HD1080,show_ultra_yuyv] "
                "[--ultra-fps F]\n");
            return 2;
        }
    }
    std::stringstream list(resolutions);
    std::string name;
    while (std::getline(list, name, ',')) {
        const int index = twl::resolutionIndexByName(name);
        if (index < 0) {
            std::fprintf(stderr, "vantaro-bench input: unknown resolution %s\n", name.c_str());
            return 2;
        }
        decodeCases(index, frames);
    }
    if (seconds > 0) streamCases(seconds, streams, ultraFps);
    return 0;
}
