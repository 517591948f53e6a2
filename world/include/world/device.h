// The device's format, as the driver publishes it: what the world's models,
// the report and the heard audio count in.
#pragma once

#include <cstdint>

#include "btstandin/sbc.h"
#include "driver/config.h"

namespace player {

constexpr uint32_t kDeviceRate = BTWAV_DEVICE_RATE;
constexpr uint32_t kDeviceChannels = BTWAV_DEVICE_CHANNELS;
constexpr uint32_t kDeviceFrameBytes = BTWAV_DEVICE_FRAME_BYTES;
constexpr uint32_t kDeviceByteRate = BTWAV_DEVICE_BYTE_RATE;
constexpr double kDeviceBytesPerSecond = kDeviceByteRate;
constexpr const char* kDeviceName = BTWAV_DEVICE_NAME;

// The stand-in's codec is configured at the device's rate: the headset hears
// the device's audio at its own speed.
static_assert(btstandin::SbcFormat().rate == kDeviceRate, "the codec's rate is the device's");
// The frames the driver posts are the device's.
static_assert(btstandin::kPcmFrameBytes == kDeviceFrameBytes, "the posted frame is the device's");

}  // namespace player
