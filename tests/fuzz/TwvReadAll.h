#pragma once
// Reads a whole recording the way the viewer plays it, for the fuzz target and
// the replay of the inputs that once broke it: open as a frame source, grab
// every frame, then read each frame and time stamp through the reader directly.

#include "twl/core/RecordingSource.h"
#include "twl/twv/TwvReader.h"

#include <opencv2/core.hpp>

#include <cstdlib>
#include <memory>
#include <string>

namespace TwvReadAll {

/// Frames decoded; -1 when the file did not open. A decoded frame of the
/// wrong size is a fault of the reader: it aborts.
inline int readAll(const std::string &path) {
    twl::ERROR_CODE error = twl::SUCCESS;
    std::unique_ptr<twl::FrameSource> source = twl::openRecordingSource(path, &error);
    int decoded = 0;
    if (source) {
        const twl::Resolution size = source->resolution();
        twl::StereoFrame frame;
        // A damaged frame counts as grabbed: the loop always moves on.
        for (int i = 0; i < source->frameCount() + 1; ++i) {
            const twl::ERROR_CODE code = source->grab(frame);
            if (code == twl::ERROR_CODE_END_OF_FILE) break;
            if (code != twl::SUCCESS) continue;
            if (frame.left.cols != int(size.width) || frame.right.rows != int(size.height)) abort();
            ++decoded;
        }
        source->setPosition(source->frameCount() / 2);
        source->grab(frame);
    }
    twl::TwvReader reader;
    if (reader.open(path) != twl::SUCCESS) return source ? decoded : -1;
    cv::Mat left, right;
    for (int i = reader.frameCount() - 1; i >= 0; --i) {
        uint64_t stamp = 0;
        reader.readTimestamp(i, &stamp);
        if (reader.readFrame(i, left, right, &stamp) == twl::SUCCESS &&
            (left.cols != int(reader.header().width) || left.rows != int(reader.header().height)))
            abort();
    }
    return decoded;
}

} // namespace TwvReadAll
