// The library's codecs as the link sees them: how the PCM the driver posts
// becomes media packets on the radio.  A carrier is a unit with no thread
// and no clock of its own: PCM and the post's time in, media packets out.
// Sizes follow from the link's configuration by formula, so the link can be
// modelled without encoding; the samples ride along only when someone will
// hear them (keepPcm), and an encoder turns them into the payload on the
// stand-in's encoder thread.
//
// The codecs are the lines of one table below; each codec's carrier is a
// file of its own in btstandin/codecs/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace btstandin {

struct SendPathConfig;

// The media packet's RTP header, before any codec's own payload.
constexpr uint32_t kRtpHeaderBytes = 12;
// One posted audio frame: 16-bit stereo.
constexpr uint32_t kPcmFrameBytes = 4;

// One media packet from the library to the radio and on to the headset.
struct MediaPacket {
    uint16_t sequence = 0;        // RTP sequence number
    uint32_t timestamp = 0;       // RTP timestamp: its first audio frame, counted from the stream's start
    uint32_t frames = 0;          // the codec's frames (0: a codec without frames)
    uint32_t samples = 0;         // audio frames it carries (whole codec frames, the last padded with silence)
    uint32_t bytes = 0;           // size on the radio: headers and payload
    uint32_t bitpool = 0;         // the rate setting its frames were made at (0: a codec without one)
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
    // The rate setting for the packets it starts from now on (a codec the
    // table marks adaptive; the others ignore it).
    virtual void SetBitpool(uint32_t) {}
    // How many packets Take would complete with `bytes` more PCM.
    virtual uint32_t PacketsFor(uint32_t bytes) const = 0;
};

// Turns a packet's samples into its payload (RTP header, the codec's own
// header and frames), keeping the encoder's state from packet to packet.
// Provided by a codec library where one is built in (the native builds);
// the stand-in calls it on its encoder thread, in packet order.
class PacketEncoder {
public:
    virtual ~PacketEncoder() = default;
    virtual void Encode(MediaPacket* packet) = 0;
};

// The codecs, one line each: its id, the name --codec takes, whether the
// bitpool rule steps its rate, and the radio's default budget in kbit/s (0:
// a share of the link, sendpath.h).  Each has its file,
// btstandin/codecs/<name>.cpp, which defines Make<Id>Carrier(link).
// PCM's budget is 1.5 times raw CD audio, a link with room (more than a
// real one).
#define BTSTANDIN_CODECS(X)      \
    X(Sbc, "sbc", true, 0)       \
    X(Pcm, "pcm", false, 2117)

// A codec's identity, wherever the system names one.
enum class Codec {
#define BTSTANDIN_CODEC_ID(id, name, adaptive, kbps) id,
    BTSTANDIN_CODECS(BTSTANDIN_CODEC_ID)
#undef BTSTANDIN_CODEC_ID
};

#define BTSTANDIN_CODEC_MAKER(id, name, adaptive, kbps) \
    std::unique_ptr<Carrier> Make##id##Carrier(const SendPathConfig& link);
BTSTANDIN_CODECS(BTSTANDIN_CODEC_MAKER)
#undef BTSTANDIN_CODEC_MAKER

struct CodecInfo {
    Codec id;
    const char* name;      // as --codec takes it
    bool adaptive;         // the bitpool rule steps its rate
    uint32_t defaultKbps;  // the radio's default budget (0: a share of the link)
    std::unique_ptr<Carrier> (*make)(const SendPathConfig& link);
};
// The table, in its lines' order; *count gets how many.
const CodecInfo* Codecs(size_t* count);
const CodecInfo& CodecOf(Codec id);
// The codec named `name`, or null.
const CodecInfo* CodecNamed(const std::string& name);
// The names joined by `separator` ("sbc|pcm").
std::string CodecNames(const char* separator);

}  // namespace btstandin
