#pragma once
// A .twv recording played as a frame source. Grabs are not paced: whoever
// plays the file waits between frames as it sees fit.

#include "twl/core/FrameSource.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace twl {

class TwvReader;

class TwvRecordingSource : public FrameSource {
public:
    /// Null on failure, with *error set as for openRecordingSource(). A file
    /// without a single complete frame counts as damaged.
    static std::unique_ptr<TwvRecordingSource> open(const std::string &path, ERROR_CODE *error);
    ~TwvRecordingSource() override;

    /// Returns the frame chosen by setPosition(), else the one after the
    /// last grab. END_OF_FILE past the last frame (nothing changes then).
    /// DAMAGED_RECORDING for a frame that cannot be decoded; it still counts
    /// as grabbed, so the next grab moves on past it.
    ERROR_CODE grab(StereoFrame &frame) override;
    Resolution resolution() const override;
    CameraInformation information() const override;
    float fps() const override;
    bool isLive() const override { return false; }
    int frameCount() const override { return count_; }
    /// Index of the frame the last grab returned (0 before the first grab).
    int position() const override { return position_.load(); }
    /// The next grab returns frame `index`, clamped to the recording.
    void setPosition(int index) override;
    /// Whether the recording had to be recovered by scanning (not closed properly).
    bool isRecovered() const;

private:
    TwvRecordingSource();

    std::unique_ptr<TwvReader> reader_;
    int count_ = 0;
    std::mutex mutex_; // grab against setPosition
    int next_ = 0;
    std::atomic<int> position_{0};
};

} // namespace twl
