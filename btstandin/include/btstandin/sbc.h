// The SBC codec's sizes, by the A2DP codec's formulas: what every A2DP
// source sends, PCM gathered into whole frames and frames gathered into
// packets sized to the channel's MTU.  Its carrier is in
// btstandin/codecs/sbc.cpp; the encoder and decoder over libsbc in
// btstandin/sbc/.
#pragma once

#include <cstdint>
#include <memory>

#include "btstandin/bitpool.h"
#include "btstandin/codec.h"

namespace btstandin {

// One SBC configuration, as a source negotiates it (44.1 kHz stereo here).
struct SbcFormat {
    enum Mode { Mono, DualChannel, Stereo, JointStereo };
    uint32_t rate = 44100;       // sampling frequency, Hz
    Mode mode = JointStereo;
    uint32_t blocks = 16;        // 4, 8, 12 or 16
    uint32_t subbands = 8;       // 4 or 8
    bool loudness = true;        // allocation method: loudness (else SNR)
    uint32_t bitpool = BitpoolRange().max;   // 2 .. 250 as the frame header allows; the rule's start
    uint32_t Channels() const { return mode == Mono ? 1 : 2; }
};

// Bytes of one SBC frame: header, scale factors and the bits the bitpool
// buys, by the A2DP codec's frame-length formula.
uint32_t SbcFrameBytes(const SbcFormat& f);
// Audio frames (one sample per channel) one SBC frame carries: blocks x subbands.
inline uint32_t SbcFrameSamples(const SbcFormat& f) { return f.blocks * f.subbands; }
// Bit rate of the frames alone, bit/s.
double SbcBitRate(const SbcFormat& f);

// The payload header after the RTP header: its low four bits count the
// frames, so a packet holds at most 15.
constexpr uint32_t kSbcHeaderBytes = 1;
constexpr uint32_t kMaxSbcFramesPerPacket = 15;
// Whole frames of frameBytes that fit a packet of at most mtu bytes (0 when
// not even one does).
uint32_t SbcFramesPerPacket(uint32_t mtu, uint32_t frameBytes);

// Frames of the format's size, as many whole frames as fit the MTU.  The
// bitpool set while a packet is gathered applies from the next packet.
std::unique_ptr<Carrier> MakeSbcCarrier(const SbcFormat& format, uint32_t mtu, bool keepPcm);

}  // namespace btstandin
