#include "kit/packets.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kit/records.h"

namespace kit {

void* MakePacket(uint32_t n, uint8_t fill)
{
    auto* p = static_cast<uint8_t*>(std::malloc(PacketLength(n)));
    std::memset(p, 0, BT_AUDIO_PACKET_OVERHEAD);
    RecWriteU32(p + offsetof(BT_AUDIO_PACKET, dwDataLen), n);
    std::memset(p + offsetof(BT_AUDIO_PACKET, abData), fill, n);
    return p;
}

}  // namespace kit
