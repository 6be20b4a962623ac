// Writes the fuzz target's seed corpus: small recordings of each codec, one cut short.
#include "twl/twv/TwvWriter.h"

#include <opencv2/core.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

bool write(const std::string &path, twl::TwvCodec codec, int frames, int w, int h, bool complete) {
    twl::TwvHeader header;
    header.width = uint32_t(w);
    header.height = uint32_t(h);
    header.fps = 30;
    header.fx = header.fy = 20;
    header.cx = w / 2.f;
    header.cy = h / 2.f;
    header.baseline = 0.12f;
    header.hFov = 80;
    header.vFov = 50;
    twl::TwvWriter writer;
    if (writer.open(path, header, codec) != twl::SUCCESS) return false;
    cv::Mat left(h, w, CV_8UC4), right(h, w, CV_8UC4);
    for (int i = 0; i < frames; ++i) {
        cv::randu(left, 0, 256);
        right = left.clone();
        if (writer.writeFrame(left, right, 1000000000ull + uint64_t(i) * 33333333ull) != twl::SUCCESS)
            return false;
    }
    if (writer.close() != twl::SUCCESS) return false;
    // Cut into the index, as after a crash: the reader recovers it by scanning.
    std::error_code error;
    if (!complete) std::filesystem::resize_file(path, std::filesystem::file_size(path) - 16, error);
    return !error;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_twv_seeds FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = write(dir + "/lossless.twv", twl::TwvCodec::Lossless, 2, 16, 8, true) &&
                    write(dir + "/jpeg.twv", twl::TwvCodec::Jpeg, 3, 24, 16, true) &&
                    write(dir + "/empty.twv", twl::TwvCodec::Lossless, 0, 8, 8, true) &&
                    write(dir + "/unclosed.twv", twl::TwvCodec::Lossless, 2, 8, 8, false);
    if (!ok) std::fprintf(stderr, "fuzz_twv_seeds: could not write the seeds in %s\n", dir.c_str());
    return ok ? 0 : 1;
}
