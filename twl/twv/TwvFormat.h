#pragma once
// Byte layout of a .twv recording (docs/twv-format.md): the fixed-size records
// and their little-endian encoding. Shared by the writer, the reader and the
// tests that craft damaged files.

#include "twl/core/Types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace twl {

enum class TwvCodec : uint32_t {
    Jpeg = 1,     // baseline JPEG of the BGR picture, lossy and small
    Lossless = 2, // zstd over the raw BGR pixels
};

/// What a recording says about the camera that made it.
struct TwvHeader {
    uint32_t version = 1;
    uint32_t width = 0, height = 0; // of each eye, pixels
    float fps = 0;
    uint32_t serialNumber = 0;
    uint32_t firmwareVersion = 0;
    int32_t model = 0;
    float fx = 0, fy = 0, cx = 0, cy = 0; // left camera, pixels
    float baseline = 0;                   // metres
    float hFov = 0, vFov = 0;             // degrees
    TwvCodec codec = TwvCodec::Jpeg;      // the writer's codec; each frame names its own
};

/// The header for a recording of pictures of `size` at `fps` from the camera
/// `info` describes. Pairs are stored rectified, so the left camera's
/// intrinsics stand for both; a field of view the camera leaves at 0 follows
/// from its focal length.
TwvHeader twvHeaderFor(const CameraInformation &info, Resolution size, float fps);
/// What a recording's header says about the camera that made it.
CameraInformation cameraInformationOf(const TwvHeader &header);
/// Whether `path` names a recording: NAME.twv, or the NAME.twv.partial that
/// a recording cut short by a crash leaves (the reader recovers its frames).
bool isRecordingFileName(const std::string &path);

namespace twv {

constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 128;
constexpr size_t kFrameHeaderSize = 40;
constexpr size_t kIndexHeaderSize = 16; // magic, reserved, frame count
constexpr size_t kIndexFooterSize = 8;  // CRC, reserved
constexpr size_t kTrailerSize = 32;
/// Largest width or height a recording may claim; bigger means a damaged or
/// hostile file and is refused before anything is allocated.
constexpr uint32_t kMaxDimension = 8192;

extern const unsigned char kFileMagic[8];
extern const unsigned char kFrameMagic[4];
extern const unsigned char kIndexMagic[4];
extern const unsigned char kTrailerMagic[8];

struct FrameHeader {
    TwvCodec codec = TwvCodec::Jpeg;
    uint64_t timestamp = 0; // nanoseconds
    uint64_t leftSize = 0;  // compressed bytes of the left picture
    uint64_t rightSize = 0;
    uint32_t payloadCrc = 0; // CRC-32 of left and right bytes together
};

struct Trailer {
    uint64_t indexOffset = 0;
    uint64_t frameCount = 0;
};

void putU32(unsigned char *p, uint32_t v);
void putU64(unsigned char *p, uint64_t v);
void putF32(unsigned char *p, float v);
uint32_t getU32(const unsigned char *p);
uint64_t getU64(const unsigned char *p);
float getF32(const unsigned char *p);

bool isKnownCodec(uint32_t codec);
/// Upper bound on the compressed size of one picture of the given size, so a
/// blob length can be checked before it is read.
uint64_t maxBlobSize(TwvCodec codec, uint32_t width, uint32_t height);

void encodeHeader(const TwvHeader &header, unsigned char out[kHeaderSize]);
/// Checks magic, version, checksum and every value. NOT_A_RECORDING for a
/// foreign file, UNSUPPORTED_VERSION, DAMAGED_RECORDING for the rest.
ERROR_CODE decodeHeader(const unsigned char *in, size_t size, TwvHeader *header);
/// Whether the header values make sense (sizes, rates, calibration).
bool isPlausible(const TwvHeader &header);

void encodeFrameHeader(const FrameHeader &frame, unsigned char out[kFrameHeaderSize]);
/// False when the magic or checksum is wrong or the codec unknown.
bool decodeFrameHeader(const unsigned char *in, FrameHeader *frame);

void encodeTrailer(const Trailer &trailer, unsigned char out[kTrailerSize]);
/// False when the magic or the checksum is wrong.
bool decodeTrailer(const unsigned char *in, Trailer *trailer);

} // namespace twv
} // namespace twl
