#include "twl/source/TwvRecordingSource.h"

#include "twl/core/RecordingSource.h"
#include "twl/twv/TwvReader.h"

#include <algorithm>

namespace twl {

std::unique_ptr<FrameSource> openRecordingSource(const std::string &path, ERROR_CODE *error) {
    return TwvRecordingSource::open(path, error);
}

TwvRecordingSource::TwvRecordingSource() : reader_(new TwvReader) {}

TwvRecordingSource::~TwvRecordingSource() = default;

std::unique_ptr<TwvRecordingSource> TwvRecordingSource::open(const std::string &path, ERROR_CODE *error) {
    std::unique_ptr<TwvRecordingSource> source(new TwvRecordingSource);
    ERROR_CODE result = source->reader_->open(path);
    // Nothing to play is of no use to a viewer: the recording stopped before
    // its first frame was complete.
    if (result == SUCCESS && source->reader_->frameCount() == 0) result = ERROR_CODE_DAMAGED_RECORDING;
    if (error) *error = result;
    if (result != SUCCESS) return nullptr;
    source->count_ = source->reader_->frameCount();
    return source;
}

ERROR_CODE TwvRecordingSource::grab(StereoFrame &frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ >= count_) return ERROR_CODE_END_OF_FILE;
    const int index = next_;
    uint64_t timestamp = 0;
    const ERROR_CODE result = reader_->readFrame(index, frame.left, frame.right, &timestamp);
    position_ = index;
    next_ = index + 1;
    if (result == SUCCESS) frame.timestamp = timestamp;
    return result;
}

void TwvRecordingSource::setPosition(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ = std::max(0, std::min(index, count_ - 1));
}

bool TwvRecordingSource::isRecovered() const {
    return reader_->isRecovered();
}

Resolution TwvRecordingSource::resolution() const {
    return Resolution(reader_->header().width, reader_->header().height);
}

float TwvRecordingSource::fps() const {
    return reader_->header().fps;
}

CameraInformation TwvRecordingSource::information() const {
    return cameraInformationOf(reader_->header());
}

} // namespace twl
