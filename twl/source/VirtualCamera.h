#pragma once
// The virtual live camera: a textured 3D scene with moving objects rendered
// as a rectified stereo pair, paced like a real camera. It is listed only when
// VANTARO_VIRTUAL_CAMERA is set ("1"; "usb2" streams VGA only).

#include "twl/core/FrameSource.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace twl {
namespace VirtualCamera {

/// VANTARO_VIRTUAL_CAMERA is set to a value we understand and the camera is plugged in.
bool isAvailable();
/// VANTARO_VIRTUAL_CAMERA is set to a value we understand, plugged in or not:
/// the virtual camera then stands for every live camera.
bool isEnabled();
/// The environment asks for a camera that only streams VGA.
bool isUsb2Only();

/// Test API: pull the cable / plug it back in. While unplugged the device
/// list is empty and every grab of an open camera returns code 4.
void unplug();
void replug();
bool isPlugged();

/// Firmware version reported by the camera (tests may ask for an old one).
void setFirmwareVersion(uint32_t version);
uint32_t firmwareVersion();
uint32_t serialNumber();

/// Opens the camera at a resolution index and frame rate. Sets *error to
/// ERROR_CODE_CAMERA_NOT_DETECTED, ERROR_CODE_LOW_USB_BANDWIDTH (usb2 and not VGA)
/// or ERROR_CODE_INVALID_RESOLUTION on failure.
/// `fps` 0 takes the highest rate the resolution allows, a disallowed rate the
/// nearest allowed one below it.
std::unique_ptr<FrameSource> open(int resolutionIndex, int fps, ERROR_CODE *error);

namespace detail {
/// Guards the plug state and every open camera's frame clock; a change of
/// either is announced on `stateChanged` so that waiting grabs re-check.
std::mutex &stateMutex();
std::condition_variable &stateChanged();
} // namespace detail

} // namespace VirtualCamera
} // namespace twl
