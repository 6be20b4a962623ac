#pragma once
// Basic types of our camera layer: enumerations, small records and the text
// type. Nothing here depends on Qt.

#include <cstddef>
#include <cstdint>
#include <string>

namespace twl {

typedef unsigned char uchar;

enum ERROR_CODE : int32_t {
    SUCCESS = 0,
    ERROR_CODE_FAILURE = 1,
    ERROR_CODE_INVALID_ARGUMENT = 2,
    ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY = 3,
    ERROR_CODE_CAMERA_NOT_DETECTED = 4,
    ERROR_CODE_CAMERA_NOT_OPENED = 5,
    ERROR_CODE_INVALID_RESOLUTION = 6,
    ERROR_CODE_LOW_USB_BANDWIDTH = 7,
    ERROR_CODE_FILE_NOT_FOUND = 8,
    ERROR_CODE_NOT_A_RECORDING = 9,
    ERROR_CODE_DAMAGED_RECORDING = 10,
    ERROR_CODE_END_OF_FILE = 11,
    ERROR_CODE_UNSUPPORTED_VERSION = 12,
    ERROR_CODE_WRITE_FAILED = 13,
    /// Another program streams from the camera (the driver answers EBUSY to
    /// setting the format or asking for buffers); worth trying again later.
    ERROR_CODE_CAMERA_IN_USE = 14,
    ERROR_CODE_LAST = 15
};

enum RESOLUTION : int32_t { RESOLUTION_HD2K = 0, RESOLUTION_HD1080 = 1, RESOLUTION_HD720 = 2, RESOLUTION_VGA = 3 };

enum DEPTH_MODE : int32_t {
    DEPTH_MODE_NONE = 0,
    DEPTH_MODE_PERFORMANCE = 1,
    DEPTH_MODE_MEDIUM = 2,
    DEPTH_MODE_QUALITY = 3,
    DEPTH_MODE_ULTRA = 4
};

enum SENSING_MODE : int32_t { SENSING_MODE_STANDARD = 0, SENSING_MODE_FILL = 1 };

enum VIEW : int32_t {
    VIEW_LEFT = 0,
    VIEW_RIGHT = 1,
    VIEW_SIDE_BY_SIDE = 8,
    VIEW_DEPTH = 9,
    VIEW_CONFIDENCE = 10
};

enum MEASURE : int32_t { MEASURE_DEPTH = 1, MEASURE_CONFIDENCE = 2, MEASURE_XYZRGBA = 4 };

enum MEM : int32_t { MEM_CPU = 1, MEM_GPU = 2, MEM_BOTH = 3 };

enum MAT_TYPE : int32_t {
    MAT_TYPE_32F_C1 = 0,
    MAT_TYPE_32F_C2 = 1,
    MAT_TYPE_32F_C3 = 2,
    MAT_TYPE_32F_C4 = 3,
    MAT_TYPE_8U_C1 = 4,
    MAT_TYPE_8U_C2 = 5,
    MAT_TYPE_8U_C3 = 6,
    MAT_TYPE_8U_C4 = 7
};

enum DEPTH_FORMAT : int32_t { DEPTH_FORMAT_PNG = 0, DEPTH_FORMAT_PFM = 1, DEPTH_FORMAT_PGM = 2 };

enum POINT_CLOUD_FORMAT : int32_t {
    POINT_CLOUD_FORMAT_XYZ = 0,
    POINT_CLOUD_FORMAT_PCD = 1,
    POINT_CLOUD_FORMAT_PLY = 2,
    POINT_CLOUD_FORMAT_VTK = 3
};

/// Width and height of a camera image, in pixels.
struct Resolution {
    size_t width = 0;
    size_t height = 0;
    constexpr Resolution(size_t w = 0, size_t h = 0) : width(w), height(h) {}
    size_t area() const { return width * height; }
    bool operator==(const Resolution &o) const { return width == o.width && height == o.height; }
    bool operator!=(const Resolution &o) const { return !(*this == o); }
};

/// Camera picture size of a resolution index (0 x 0 outside the table of twl/ModeTable.h).
Resolution resolutionSize(int resolutionIndex);
/// Whether a resolution streams at `fps` (its rates are in twl/ModeTable.h).
bool isFrameRateAllowed(int resolutionIndex, int fps);
/// Highest allowed frame rate not above the requested one (the lowest when none is).
int nearestAllowedFrameRate(int resolutionIndex, int fps);

/// Plain text passed to and from the layer (file names, messages).
class String {
public:
    String() = default;
    String(const char *text) : text_(text ? text : "") {}
    String(const std::string &text) : text_(text) {}
    const char *get() const { return text_.c_str(); }
    const char *c_str() const { return text_.c_str(); }
    const std::string &str() const { return text_; }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    void set(const char *text) { text_ = text ? text : ""; }
    bool operator==(const String &o) const { return text_ == o.text_; }
    bool operator!=(const String &o) const { return text_ != o.text_; }

private:
    std::string text_;
};

/// Short upper-case text for an error code, shown in the status line.
String toVerbose(const ERROR_CODE &code);

/// Open record. The fields are listed in record order; the viewer fills them
/// all, our layer uses those marked as such.
struct InitParameters {
    int coordinateSystem = 2;      // right handed, Y up, looking along -Z (the only one supported)
    int coordinateUnits = 3;       // metres (the only one supported)
    int imageFlip = 0;
    int cameraResolution = RESOLUTION_HD720; // used for live input
    int cameraFps = 0;                       // used for live input; 0 = the resolution's default
    int cameraDeviceId = 0;
    bool realTimePlayback = false;
    bool disableSelfCalibration = false;
    int verbosity = 4;
    int deviceIndex = 0;
    String inputPath;              // used: a recording to play; empty = live camera
    bool enableRightDepth = false;
    int depthMode = DEPTH_MODE_PERFORMANCE;  // used
    int depthStabilization = 1;              // used: 0 or 1
    float depthMinimumDistance = -1.0f;      // used: -1 = the camera's own minimum
    int reserved1 = 2;
    int reserved2 = 2;
    int openTimeoutSeconds = -1;
    bool sensorsRequired = false;
    String settingsPath;
    uint64_t reserved3 = 0;
    /// Stereo calibration (OpenCV FileStorage, YAML or XML) for a camera whose
    /// frames are not rectified; empty = look in calibrationDirectory.
    String calibrationFile;
    /// Folder holding per-camera calibrations named "<serial>.yml"; empty = none.
    String calibrationDirectory;
};

/// Grab record, fields in record order.
struct RuntimeParameters {
    int coordinateSystem = 2;
    int coordinateUnits = 3;
    int reserved = 0;
    int sensingMode = SENSING_MODE_STANDARD; // used
    int measureReferenceFrame = 1;
    bool enableDepth = true;                 // used
    bool enablePointCloud = true;
};

/// Intrinsics of one camera of the pair, at the camera resolution.
struct CameraParameters {
    float fx = 0, fy = 0, cx = 0, cy = 0;
    float h_fov = 0, v_fov = 0; // degrees
    Resolution image_size;
};

struct CalibrationParameters {
    CameraParameters left_cam;
    CameraParameters right_cam;
    float baseline = 0; // metres
};

/// Firmware version of a camera that reports none of the family's numbering
/// (every generic UVC camera): no firmware check applies to it.
constexpr uint32_t kFirmwareUnknown = 0;

struct CameraInformation {
    uint32_t serial_number = 0;
    uint32_t firmware_version = kFirmwareUnknown;
    int32_t camera_model = 0;
    CalibrationParameters calibration_parameters;
};

struct DeviceProperties {
    int id = 0;
    uint32_t serial_number = 0;
    String path;
};

/// Opaque handle of the device (GPU) context that owns all device memory.
/// Threads that touch device memory make it current first.
typedef struct DeviceContextImpl *ContextHandle;

} // namespace twl
