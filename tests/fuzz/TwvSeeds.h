#pragma once
// The fuzz target's seed corpus: small recordings of each codec, one empty
// and one cut short as after a crash. fuzz_twv_seeds writes them for the
// fuzzer; test_fuzz_regressions checks that each still reads back whole.

#include "twl/core/Optics.h"
#include "twl/twv/TwvWriter.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <string>

namespace TwvSeeds {

struct Seed {
    const char *name;
    twl::TwvCodec codec;
    int frames, width, height;
    bool complete; // false: cut into the index, which the reader recovers by scanning
};

inline const Seed kSeeds[] = {
    {"lossless.twv", twl::TwvCodec::Lossless, 2, 16, 8, true},
    {"jpeg.twv", twl::TwvCodec::Jpeg, 3, 24, 16, true},
    {"empty.twv", twl::TwvCodec::Lossless, 0, 8, 8, true},
    {"unclosed.twv", twl::TwvCodec::Lossless, 2, 8, 8, false},
};

inline bool write(const std::string &dir, const Seed &seed) {
    const std::string path = dir + "/" + seed.name;
    const int w = seed.width, h = seed.height;
    const twl::Resolution size{size_t(w), size_t(h)};
    twl::CameraInformation camera;
    camera.calibration_parameters = twl::nominalCalibration(size);
    twl::TwvWriter writer;
    if (writer.open(path, twl::twvHeaderFor(camera, size, 30), seed.codec) != twl::SUCCESS) return false;
    cv::Mat left(h, w, CV_8UC4), right(h, w, CV_8UC4);
    for (int i = 0; i < seed.frames; ++i) {
        cv::randu(left, 0, 256);
        right = left.clone();
        if (writer.writeFrame(left, right, 1000000000ull + uint64_t(i) * 33333333ull) != twl::SUCCESS)
            return false;
    }
    if (writer.close() != twl::SUCCESS) return false;
    std::error_code error;
    if (!seed.complete) std::filesystem::resize_file(path, std::filesystem::file_size(path) - 16, error);
    return !error;
}

/// Writes every seed into `dir`; false when one could not be written.
inline bool writeAll(const std::string &dir) {
    for (const Seed &seed : kSeeds)
        if (!write(dir, seed)) return false;
    return true;
}

} // namespace TwvSeeds
