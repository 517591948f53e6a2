// The SBC codec's coder, over libsbc: the library's encoder, which fills a
// media packet's payload from its samples, and the headset's decoder.  Part
// of the SBC codec's file (btstandin/codecs/sbc.cpp), built where the build
// has libsbc; the world reaches it through the codec table (codec.h), and
// this header is for the coder's own tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "btstandin/sbc.h"

struct sbc_struct;

namespace btstandin_sbc {

// The library's encoder.  Encodes each packet's samples at the packet's
// bitpool, in packet order (the filter bank's state runs on from packet to
// packet, as in one stream), and lays out the payload: the RTP header
// (version 2, payload type 96, the packet's sequence number and timestamp),
// the SBC payload header (the frame count), then the frames.  A packet
// without samples (none kept) or a PCM packet is left as it is.
class SbcPacketEncoder : public btstandin::PacketEncoder {
public:
    explicit SbcPacketEncoder(const btstandin::SbcFormat& format);
    ~SbcPacketEncoder() override;
    void Encode(btstandin::MediaPacket* packet) override;
    // Packets whose frames came out at another length than the formula's
    // (none, unless libsbc and the formula disagree).
    uint64_t SizeMismatches() const { return mismatches_; }

private:
    std::unique_ptr<sbc_struct> sbc_;
    btstandin::SbcFormat format_;
    uint64_t mismatches_ = 0;
};

// The headset's decoder: a media packet's payload to 16-bit stereo PCM.
class SbcPacketDecoder : public btstandin::PacketDecoder {
public:
    SbcPacketDecoder();
    ~SbcPacketDecoder() override;
    // Appends the decoded samples to *pcm; returns the frames decoded (a
    // damaged frame ends the packet).
    uint32_t Decode(const std::vector<uint8_t>& payload, std::vector<uint8_t>* pcm) override;

private:
    std::unique_ptr<sbc_struct> sbc_;
};

// Audio frames by which libsbc's decoded output lags its input (the two
// filter banks), measured by encoding and decoding a click.
uint32_t MeasureCodecDelay(const btstandin::SbcFormat& format);

}  // namespace btstandin_sbc
