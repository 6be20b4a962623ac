#include "twl/twv/TwvFormat.h"

#include "twl/core/Optics.h"
#include "twl/util/Crc32.h"

#include <cmath>
#include <cstring>

namespace twl {

TwvHeader twvHeaderFor(const CameraInformation &info, Resolution size, float fps) {
    const CameraParameters &cam = info.calibration_parameters.left_cam;
    TwvHeader h;
    h.width = uint32_t(size.width);
    h.height = uint32_t(size.height);
    h.fps = fps;
    h.serialNumber = info.serial_number;
    h.firmwareVersion = info.firmware_version;
    h.model = info.camera_model;
    h.fx = cam.fx;
    h.fy = cam.fy;
    h.cx = cam.cx;
    h.cy = cam.cy;
    h.baseline = info.calibration_parameters.baseline;
    h.hFov = cam.h_fov > 0 ? cam.h_fov : float(fieldOfViewDegrees(double(size.width), double(cam.fx)));
    h.vFov = cam.v_fov > 0 ? cam.v_fov : float(fieldOfViewDegrees(double(size.height), double(cam.fy)));
    return h;
}

CameraInformation cameraInformationOf(const TwvHeader &h) {
    CameraInformation info;
    info.serial_number = h.serialNumber;
    info.firmware_version = h.firmwareVersion;
    info.camera_model = h.model;
    CameraParameters cam;
    cam.fx = h.fx;
    cam.fy = h.fy;
    cam.cx = h.cx;
    cam.cy = h.cy;
    cam.h_fov = h.hFov;
    cam.v_fov = h.vFov;
    cam.image_size = Resolution(h.width, h.height);
    info.calibration_parameters.left_cam = cam;
    info.calibration_parameters.right_cam = cam;
    info.calibration_parameters.baseline = h.baseline;
    return info;
}

bool isRecordingFileName(const std::string &path) {
    const auto endsWith = [&path](const std::string &end) {
        return path.size() > end.size() && path.compare(path.size() - end.size(), end.size(), end) == 0;
    };
    return endsWith(".twv") || endsWith(".twv.partial");
}

namespace twv {

const unsigned char kFileMagic[8] = {0x89, 'T', 'W', 'V', '\r', '\n', 0x1a, '\n'};
const unsigned char kFrameMagic[4] = {'T', 'W', 'V', 'F'};
const unsigned char kIndexMagic[4] = {'T', 'W', 'V', 'I'};
const unsigned char kTrailerMagic[8] = {'T', 'W', 'V', 'E', 'N', 'D', '\r', '\n'};

void putU32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putU64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putF32(unsigned char *p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(p, bits);
}

uint32_t getU32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t getU64(const unsigned char *p) {
    return uint64_t(getU32(p)) | uint64_t(getU32(p + 4)) << 32;
}

float getF32(const unsigned char *p) {
    uint32_t bits = getU32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

bool isKnownCodec(uint32_t codec) {
    return codec == uint32_t(TwvCodec::Jpeg) || codec == uint32_t(TwvCodec::Lossless);
}

uint64_t maxBlobSize(TwvCodec codec, uint32_t width, uint32_t height) {
    const uint64_t raw = uint64_t(width) * height * 3;
    if (codec == TwvCodec::Lossless)
        return raw + raw / 128 + 1024; // above zstd's worst case for incompressible data
    // Even noise at top quality stays well under two bytes per pixel in JPEG.
    return raw * 2 + 64 * 1024;
}

namespace {

// Header field offsets.
enum : size_t {
    kOffVersion = 8,
    kOffHeaderSize = 12,
    kOffWidth = 16,
    kOffHeight = 20,
    kOffFps = 24,
    kOffSerial = 28,
    kOffFirmware = 32,
    kOffModel = 36,
    kOffFx = 40,
    kOffFy = 44,
    kOffCx = 48,
    kOffCy = 52,
    kOffBaseline = 56,
    kOffHFov = 60,
    kOffVFov = 64,
    kOffCodec = 68,
    kOffHeaderCrc = 124
};

bool finite(float v) {
    return std::isfinite(v);
}

} // namespace

void encodeHeader(const TwvHeader &h, unsigned char out[kHeaderSize]) {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kFileMagic, sizeof kFileMagic);
    putU32(out + kOffVersion, kVersion);
    putU32(out + kOffHeaderSize, uint32_t(kHeaderSize));
    putU32(out + kOffWidth, h.width);
    putU32(out + kOffHeight, h.height);
    putF32(out + kOffFps, h.fps);
    putU32(out + kOffSerial, h.serialNumber);
    putU32(out + kOffFirmware, h.firmwareVersion);
    putU32(out + kOffModel, uint32_t(h.model));
    putF32(out + kOffFx, h.fx);
    putF32(out + kOffFy, h.fy);
    putF32(out + kOffCx, h.cx);
    putF32(out + kOffCy, h.cy);
    putF32(out + kOffBaseline, h.baseline);
    putF32(out + kOffHFov, h.hFov);
    putF32(out + kOffVFov, h.vFov);
    putU32(out + kOffCodec, uint32_t(h.codec));
    putU32(out + kOffHeaderCrc, crc32(out, kOffHeaderCrc));
}

bool isPlausible(const TwvHeader &h) {
    if (h.width == 0 || h.height == 0 || h.width > kMaxDimension || h.height > kMaxDimension) return false;
    if (!finite(h.fps) || h.fps <= 0 || h.fps > 1000) return false;
    if (!finite(h.fx) || !finite(h.fy) || h.fx <= 0 || h.fy <= 0) return false;
    if (!finite(h.cx) || !finite(h.cy) || !finite(h.baseline) || h.baseline <= 0) return false;
    if (!finite(h.hFov) || !finite(h.vFov) || h.hFov <= 0 || h.hFov >= 180 || h.vFov <= 0 || h.vFov >= 180)
        return false;
    return isKnownCodec(uint32_t(h.codec));
}

ERROR_CODE decodeHeader(const unsigned char *in, size_t size, TwvHeader *h) {
    if (size < sizeof kFileMagic || std::memcmp(in, kFileMagic, sizeof kFileMagic) != 0)
        return ERROR_CODE_NOT_A_RECORDING;
    if (size < kOffHeaderSize) return ERROR_CODE_DAMAGED_RECORDING;
    // The version comes before the checksum: a newer file may lay out the rest
    // differently, and then "unsupported" is the honest answer.
    const uint32_t version = getU32(in + kOffVersion);
    if (version == 0) return ERROR_CODE_DAMAGED_RECORDING;
    if (version > kVersion) return ERROR_CODE_UNSUPPORTED_VERSION;
    if (size < kHeaderSize || getU32(in + kOffHeaderSize) != kHeaderSize) return ERROR_CODE_DAMAGED_RECORDING;
    if (getU32(in + kOffHeaderCrc) != crc32(in, kOffHeaderCrc)) return ERROR_CODE_DAMAGED_RECORDING;

    TwvHeader r;
    r.version = version;
    r.width = getU32(in + kOffWidth);
    r.height = getU32(in + kOffHeight);
    r.fps = getF32(in + kOffFps);
    r.serialNumber = getU32(in + kOffSerial);
    r.firmwareVersion = getU32(in + kOffFirmware);
    r.model = int32_t(getU32(in + kOffModel));
    r.fx = getF32(in + kOffFx);
    r.fy = getF32(in + kOffFy);
    r.cx = getF32(in + kOffCx);
    r.cy = getF32(in + kOffCy);
    r.baseline = getF32(in + kOffBaseline);
    r.hFov = getF32(in + kOffHFov);
    r.vFov = getF32(in + kOffVFov);
    r.codec = TwvCodec(getU32(in + kOffCodec));
    if (!isPlausible(r)) return ERROR_CODE_DAMAGED_RECORDING;
    *h = r;
    return SUCCESS;
}

void encodeFrameHeader(const FrameHeader &f, unsigned char out[kFrameHeaderSize]) {
    std::memcpy(out, kFrameMagic, sizeof kFrameMagic);
    putU32(out + 4, uint32_t(f.codec));
    putU64(out + 8, f.timestamp);
    putU64(out + 16, f.leftSize);
    putU64(out + 24, f.rightSize);
    putU32(out + 32, f.payloadCrc);
    putU32(out + 36, crc32(out, 36));
}

bool decodeFrameHeader(const unsigned char *in, FrameHeader *f) {
    if (std::memcmp(in, kFrameMagic, sizeof kFrameMagic) != 0) return false;
    if (getU32(in + 36) != crc32(in, 36)) return false;
    const uint32_t codec = getU32(in + 4);
    if (!isKnownCodec(codec)) return false;
    f->codec = TwvCodec(codec);
    f->timestamp = getU64(in + 8);
    f->leftSize = getU64(in + 16);
    f->rightSize = getU64(in + 24);
    f->payloadCrc = getU32(in + 32);
    return true;
}

void encodeTrailer(const Trailer &t, unsigned char out[kTrailerSize]) {
    std::memset(out, 0, kTrailerSize);
    putU64(out, t.indexOffset);
    putU64(out + 8, t.frameCount);
    putU32(out + 16, crc32(out, 16));
    std::memcpy(out + 24, kTrailerMagic, sizeof kTrailerMagic);
}

bool decodeTrailer(const unsigned char *in, Trailer *t) {
    if (std::memcmp(in + 24, kTrailerMagic, sizeof kTrailerMagic) != 0) return false;
    if (getU32(in + 16) != crc32(in, 16)) return false;
    t->indexOffset = getU64(in);
    t->frameCount = getU64(in + 8);
    return true;
}

} // namespace twv
} // namespace twl
