// What the world's tests feed the headset and the listener: packets of
// 20 ms at the device's rate whose audio frames are numbered, so that what
// is heard can be traced back to the packet that brought it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "world/device.h"

namespace world_test {

const uint64_t kMs = 1000000;
const uint32_t kPacketFrames = player::kDeviceRate / 50;   // 20 ms: 882 frames
const uint32_t kFrameBytes = player::kDeviceFrameBytes;

// Frames numbered from `first`, each frame its number + 1 (never 0, which
// is silence).
inline std::vector<uint8_t> Numbered(uint32_t first, uint32_t frames)
{
    static_assert(kFrameBytes == sizeof(uint32_t), "a frame holds its number exactly");
    std::vector<uint8_t> b(static_cast<size_t>(frames) * kFrameBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t n = first + i + 1;
        std::memcpy(&b[static_cast<size_t>(i) * kFrameBytes], &n, kFrameBytes);
    }
    return b;
}

}  // namespace world_test
