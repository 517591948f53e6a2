// The library's codec as the link sees it: how the PCM the driver posts
// becomes media packets on the radio.  A unit with no thread and no clock of
// its own: PCM and the post's time in, media packets out.
//
// Two carriers stand behind one interface: SBC (what every A2DP source
// sends: PCM gathered into whole frames, frames gathered into packets sized
// to the channel's MTU) and PCM (each post one packet of its bytes, the ideal
// carrier that keeps the audio bit-exact to the ear).  Sizes follow from the
// configuration by formula, so the link can be modelled without encoding; the
// samples ride along only when someone will hear them (keepPcm), and an
// encoder turns them into frames on the stand-in's packet thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace btstandin {

// One SBC configuration, as a source negotiates it (44.1 kHz stereo here).
struct SbcFormat {
    enum Mode { Mono, DualChannel, Stereo, JointStereo };
    uint32_t rate = 44100;       // sampling frequency, Hz
    Mode mode = JointStereo;
    uint32_t blocks = 16;        // 4, 8, 12 or 16
    uint32_t subbands = 8;       // 4 or 8
    bool loudness = true;        // allocation method: loudness (else SNR)
    uint32_t bitpool = 53;       // 2 .. 250 as the frame header allows
    uint32_t Channels() const { return mode == Mono ? 1 : 2; }
};

// Bytes of one SBC frame: header, scale factors and the bits the bitpool
// buys, by the A2DP codec's frame-length formula.
uint32_t SbcFrameBytes(const SbcFormat& f);
// Audio frames (one sample per channel) one SBC frame carries: blocks x subbands.
inline uint32_t SbcFrameSamples(const SbcFormat& f) { return f.blocks * f.subbands; }
// Bit rate of the frames alone, bit/s.
double SbcBitRate(const SbcFormat& f);

// The media packet's headers: RTP, then (SBC only) the payload header whose
// low four bits count the frames, so a packet holds at most 15.
constexpr uint32_t kRtpHeaderBytes = 12;
constexpr uint32_t kSbcHeaderBytes = 1;
constexpr uint32_t kMaxSbcFramesPerPacket = 15;
// Whole frames of frameBytes that fit a packet of at most mtu bytes (0 when
// not even one does).
uint32_t SbcFramesPerPacket(uint32_t mtu, uint32_t frameBytes);

// One media packet from the library to the radio and on to the headset.
struct MediaPacket {
    uint16_t sequence = 0;        // RTP sequence number
    uint32_t timestamp = 0;       // RTP timestamp: its first audio frame, counted from the stream's start
    uint32_t frames = 0;          // SBC frames (PCM: 0)
    uint32_t samples = 0;         // audio frames it carries (SBC: frames x 128, the last padded with silence)
    uint32_t bytes = 0;           // size on the radio: headers and payload
    uint32_t bitpool = 0;         // SBC: the bitpool of its frames; PCM: 0
    uint64_t firstPostNs = 0;     // clock time of the post that brought its first sample
    uint64_t sentNs = 0;          // clock time it went to the radio's queue (its last frame was complete)
    uint64_t arrivalNs = 0;       // clock time the radio delivered it (or would have, when lost; flushed: when dropped)
    bool flushed = false;         // the flush timeout dropped it before it was through
    bool lost = false;            // the radio sent it and it never arrived (the lose fault)
    std::vector<uint8_t> pcm;     // its samples, 16-bit stereo, when kept for a listener
    std::vector<uint8_t> payload; // the encoded packet (RTP header onward), when an encoder ran
};

// The carrier: takes posted PCM, gives media packets when they are complete.
// One thread at a time (the poster, with the stand-in's lock held).
class Carrier {
public:
    virtual ~Carrier() = default;
    // `bytes` of 16-bit stereo PCM posted at postNs; `pcm` may be null when
    // no samples are kept.  Appends the packets it completes to *out, each
    // with sentNs = postNs.
    virtual void Take(const uint8_t* pcm, uint32_t bytes, uint64_t postNs, std::vector<MediaPacket>* out) = 0;
    // Sends what it holds: the frames gathered so far, the last one padded
    // with silence.  The stream goes on from there.
    virtual void SendHeld(uint64_t nowNs, std::vector<MediaPacket>* out) = 0;
    // The bitpool for the packets it starts from now on (SBC only).
    virtual void SetBitpool(uint32_t) {}
    // Samples taken but not yet in a packet.
    virtual uint32_t HeldSamples() const = 0;
    // How many packets Take would complete with `bytes` more PCM.
    virtual uint32_t PacketsFor(uint32_t bytes) const = 0;
};

// SBC: frames of the format's size, as many whole frames as fit the MTU.
// The bitpool set while a packet is gathered applies from the next packet.
std::unique_ptr<Carrier> MakeSbcCarrier(const SbcFormat& format, uint32_t mtu, bool keepPcm);
// PCM: each post is one packet (RTP header and the post's bytes).
std::unique_ptr<Carrier> MakePcmCarrier(bool keepPcm);

// Turns a packet's samples into its payload (RTP header, SBC payload header,
// frames), keeping the encoder's state from packet to packet.  Provided by a
// codec library where one is built in (the native builds); the stand-in
// calls it on its packet thread, in packet order.
class PacketEncoder {
public:
    virtual ~PacketEncoder() = default;
    virtual void Encode(MediaPacket* packet) = 0;
};

}  // namespace btstandin
