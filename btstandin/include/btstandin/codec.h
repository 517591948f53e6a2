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
// Made by the codec's file (CodecParts::makeEncoder) where its coder is built in;
// the stand-in calls it on its encoder thread, in packet order.
class PacketEncoder {
public:
    virtual ~PacketEncoder() = default;
    virtual void Encode(MediaPacket* packet) = 0;
};

// The headset's side of a codec with a coder: a media packet's payload
// (RTP header onward) back to 16-bit stereo PCM, keeping the decoder's
// state from packet to packet.
class PacketDecoder {
public:
    virtual ~PacketDecoder() = default;
    // Appends the decoded samples to *pcm; returns the codec's frames
    // decoded (a damaged frame ends the packet).
    virtual uint32_t Decode(const std::vector<uint8_t>& payload, std::vector<uint8_t>* pcm) = 0;
};

// What a codec's file gives besides its table line.  The first pieces every
// codec has; the coder's are null for a codec whose samples ride in the
// packets as they are (or whose coder this build lacks: its library was not
// found), and the world then hears the packets' samples.
struct CodecParts {
    const char* title;     // as the report, the plot and the help name it
    const char* summary;   // --codec's help: what the library sends with it
    std::unique_ptr<Carrier> (*makeCarrier)(const SendPathConfig& link);
    // The report's codec line for the link's configuration.
    std::string (*describe)(const SendPathConfig& link);
    // Empty when a packet of link.mtu bytes holds the codec's least (at the
    // top of the rate range), else what it lacks, after "option --mtu N ".
    std::string (*mtuShortfall)(const SendPathConfig& link);
    const char* frames;    // its frames as the report counts them (null: a codec without frames)
    const char* aFrame;    // one of them, with its article
    // The coder.  The payload header comes after the RTP header, before the
    // frames; the encoded stream file leaves both out.
    uint32_t payloadHeaderBytes;
    std::unique_ptr<PacketEncoder> (*makeEncoder)(const SendPathConfig& link);
    std::unique_ptr<PacketDecoder> (*makeDecoder)();
    uint32_t (*decoderDelayFrames)();    // audio frames the decoded sound lags its input
    // The player's option for the received audio as this codec's stream
    // file, and its help (null: none).
    const char* streamOption;
    const char* streamHelp;
};

// The codecs, one line each: its id, the name --codec takes, whether the
// bitpool rule steps its rate, and the radio's default budget in kbit/s (0:
// a share of the link, sendpath.h).  Each has its file,
// btstandin/codecs/<name>.cpp, which defines k<Id>Parts: its carrier, its
// report line and MTU rule, and its coder when it has one.
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

// The default codec: the table's first line.
constexpr Codec kDefaultCodec = Codec{};

#define BTSTANDIN_CODEC_PARTS(id, name, adaptive, kbps) extern const CodecParts k##id##Parts;
BTSTANDIN_CODECS(BTSTANDIN_CODEC_PARTS)
#undef BTSTANDIN_CODEC_PARTS

struct CodecInfo {
    Codec id;
    const char* name;      // as --codec takes it
    bool adaptive;         // the bitpool rule steps its rate
    uint32_t defaultKbps;  // the radio's default budget (0: a share of the link)
    const CodecParts* parts;
    std::unique_ptr<Carrier> make(const SendPathConfig& link) const { return parts->makeCarrier(link); }
    // Whether this build encodes and decodes it (its coder is built in).
    bool Coded() const { return parts->makeEncoder && parts->makeDecoder; }
};
// The table, in its lines' order; *count gets how many.
const CodecInfo* Codecs(size_t* count);
const CodecInfo& CodecOf(Codec id);
// The codec named `name`, or null.
const CodecInfo* CodecNamed(const std::string& name);
// The codec whose stream file `option` names ("--sbc"), or null.
const CodecInfo* CodecOfStreamOption(const std::string& option);
// The names joined by `separator` ("sbc|pcm").
std::string CodecNames(const char* separator);

}  // namespace btstandin
