// The device's format, as the driver publishes it: what the world's models,
// the report and the heard audio count in.
#pragma once

#include <cstdint>

#include "driver/config.h"

namespace player {

constexpr uint32_t kDeviceRate = BTWAV_DEVICE_RATE;
constexpr uint32_t kDeviceChannels = BTWAV_DEVICE_CHANNELS;
constexpr uint32_t kDeviceFrameBytes = BTWAV_DEVICE_FRAME_BYTES;
constexpr uint32_t kDeviceByteRate = BTWAV_DEVICE_BYTE_RATE;
constexpr double kDeviceBytesPerSecond = kDeviceByteRate;
constexpr const char* kDeviceName = BTWAV_DEVICE_NAME;

}  // namespace player
