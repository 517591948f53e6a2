// Packets for the Bluetooth audio library, laid out as the driver lays them
// out (BT_AUDIO_PACKET), for tests of the library's stand-in.
#pragma once

#include <cstdint>

#include "host/platform.h"
#include "pump/pump.h"

namespace kit {

// A packet of n audio bytes, each `fill`, in the C runtime's heap: the
// library frees the packets it takes.
void* MakePacket(uint32_t n, uint8_t fill);
// The length LMRPostData is given for a packet of n audio bytes.
inline DWORD PacketLength(uint32_t n) { return BT_AUDIO_PACKET_OVERHEAD + n; }

}  // namespace kit
