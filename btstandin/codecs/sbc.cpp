// The SBC codec: its carrier and sizes (sbc.h), PCM gathered into whole
// frames of the format's size, frames into packets as many as fit the MTU;
// its line in the report and its MTU rule; and, where the build has libsbc
// (BTSTANDIN_CODER_SBC), its coder: the library's encoder, which fills a
// media packet's payload from its samples, and the headset's decoder
// (btstandin_sbc/sbc_codec.h).  Without libsbc every size still follows by
// formula, and nothing is encoded.
#include "btstandin/sbc.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "btstandin/sendpath.h"

#if BTSTANDIN_CODER_SBC
#include <sbc/sbc.h>

#include <cstdlib>
#include <cstring>

#include "btstandin_sbc/sbc_codec.h"
#endif

namespace btstandin {
namespace {

uint32_t CeilDiv(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

class SbcCarrier : public Carrier {
public:
    SbcCarrier(const SbcFormat& f, uint32_t mtu, bool keepPcm)
        : format_(f), mtu_(mtu), keepPcm_(keepPcm), pcmPerFrame_(SbcFrameSamples(f) * kPcmFrameBytes) {}

    void Take(const uint8_t* pcm, uint32_t bytes, uint64_t postNs, std::vector<MediaPacket>* out) override
    {
        // Whole frames at once, up to the packet's end: a post of 20 ms
        // completes a packet or two.
        while (bytes > 0) {
            if (!started_)
                Start(postNs);
            const uint32_t n = std::min(bytes, (target_ - cur_.frames) * pcmPerFrame_ - partial_);
            if (keepPcm_ && pcm) {
                cur_.pcm.insert(cur_.pcm.end(), pcm, pcm + n);
                pcm += n;
            }
            bytes -= n;
            partial_ += n;
            cur_.frames += partial_ / pcmPerFrame_;
            partial_ %= pcmPerFrame_;
            if (cur_.frames == target_)
                Finish(postNs, out);
        }
    }

    void SendHeld(uint64_t nowNs, std::vector<MediaPacket>* out) override
    {
        if (!started_)
            return;
        if (partial_ > 0) {
            if (keepPcm_)
                cur_.pcm.resize(cur_.pcm.size() + (pcmPerFrame_ - partial_), 0);
            partial_ = 0;
            ++cur_.frames;
        }
        if (cur_.frames > 0)
            Finish(nowNs, out);
    }

    void SetBitpool(uint32_t bitpool) override { format_.bitpool = bitpool; }

    uint32_t PacketsFor(uint32_t bytes) const override
    {
        // The packet being gathered keeps its size; the ones after it take
        // the bitpool set now.
        const uint32_t next = std::max<uint32_t>(SbcFramesPerPacket(mtu_, SbcFrameBytes(format_)), 1) * pcmPerFrame_;
        const uint32_t first = started_ ? target_ * pcmPerFrame_ - (cur_.frames * pcmPerFrame_ + partial_) : next;
        if (bytes < first)
            return 0;
        return 1 + (bytes - first) / next;
    }

private:
    void Start(uint64_t postNs)
    {
        started_ = true;
        cur_ = MediaPacket{};
        cur_.sequence = sequence_;
        cur_.timestamp = timestamp_;
        cur_.bitpool = format_.bitpool;
        cur_.firstPostNs = postNs;
        frameBytes_ = SbcFrameBytes(format_);
        target_ = std::max<uint32_t>(SbcFramesPerPacket(mtu_, frameBytes_), 1);
        if (keepPcm_)
            cur_.pcm.reserve(static_cast<size_t>(target_) * pcmPerFrame_);
    }

    void Finish(uint64_t nowNs, std::vector<MediaPacket>* out)
    {
        cur_.samples = cur_.frames * SbcFrameSamples(format_);
        cur_.bytes = kRtpHeaderBytes + kSbcHeaderBytes + cur_.frames * frameBytes_;
        cur_.sentNs = nowNs;
        ++sequence_;
        timestamp_ += cur_.samples;
        started_ = false;
        out->push_back(std::move(cur_));
    }

    SbcFormat format_;           // bitpool: for the next packet started
    uint32_t mtu_;
    bool keepPcm_;
    uint32_t pcmPerFrame_;       // PCM bytes one frame encodes
    bool started_ = false;       // cur_ holds at least one byte
    MediaPacket cur_;            // the packet being gathered
    uint32_t frameBytes_ = 0;    // its frames' size
    uint32_t target_ = 1;        // frames that fill it
    uint32_t partial_ = 0;       // PCM bytes of the frame being gathered
    uint16_t sequence_ = 0;
    uint32_t timestamp_ = 0;
};

}  // namespace

uint32_t SbcFrameBytes(const SbcFormat& f)
{
    // Header (4 bytes: sync, configuration, bitpool, CRC), 4-bit scale
    // factors per subband and channel, then the audio bits the bitpool buys:
    // per block and channel for mono and dual channel, per block for stereo,
    // plus one join bit per subband for joint stereo.
    const uint32_t channels = f.Channels();
    uint32_t bytes = 4 + (4 * f.subbands * channels) / 8;
    switch (f.mode) {
    case SbcFormat::Mono:
    case SbcFormat::DualChannel: bytes += CeilDiv(f.blocks * channels * f.bitpool, 8); break;
    case SbcFormat::Stereo: bytes += CeilDiv(f.blocks * f.bitpool, 8); break;
    case SbcFormat::JointStereo: bytes += CeilDiv(f.subbands + f.blocks * f.bitpool, 8); break;
    }
    return bytes;
}

double SbcBitRate(const SbcFormat& f)
{
    return 8.0 * SbcFrameBytes(f) * f.rate / SbcFrameSamples(f);
}

uint32_t SbcFramesPerPacket(uint32_t mtu, uint32_t frameBytes)
{
    const uint32_t headers = kRtpHeaderBytes + kSbcHeaderBytes;
    if (frameBytes == 0 || mtu <= headers)
        return 0;
    return std::min((mtu - headers) / frameBytes, kMaxSbcFramesPerPacket);
}

std::unique_ptr<Carrier> MakeSbcCarrier(const SbcFormat& format, uint32_t mtu, bool keepPcm)
{
    return std::unique_ptr<Carrier>(new SbcCarrier(format, mtu, keepPcm));
}

}  // namespace btstandin

#if BTSTANDIN_CODER_SBC

namespace btstandin_sbc {
namespace {

using btstandin::SbcFormat;

void Configure(sbc_struct* sbc, const SbcFormat& f)
{
    sbc->frequency = f.rate == 48000 ? SBC_FREQ_48000 : f.rate == 32000 ? SBC_FREQ_32000
                   : f.rate == 16000 ? SBC_FREQ_16000 : SBC_FREQ_44100;
    sbc->mode = f.mode == SbcFormat::Mono ? SBC_MODE_MONO : f.mode == SbcFormat::DualChannel ? SBC_MODE_DUAL_CHANNEL
              : f.mode == SbcFormat::Stereo ? SBC_MODE_STEREO : SBC_MODE_JOINT_STEREO;
    sbc->blocks = f.blocks == 4 ? SBC_BLK_4 : f.blocks == 8 ? SBC_BLK_8 : f.blocks == 12 ? SBC_BLK_12 : SBC_BLK_16;
    sbc->subbands = f.subbands == 4 ? SBC_SB_4 : SBC_SB_8;
    sbc->allocation = f.loudness ? SBC_AM_LOUDNESS : SBC_AM_SNR;
    sbc->bitpool = static_cast<uint8_t>(f.bitpool);
    sbc->endian = SBC_LE;
}

void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* p, uint32_t v)
{
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v);
}

}  // namespace

SbcPacketEncoder::SbcPacketEncoder(const SbcFormat& format) : sbc_(new sbc_struct()), format_(format)
{
    sbc_init(sbc_.get(), 0);
    Configure(sbc_.get(), format_);
}

SbcPacketEncoder::~SbcPacketEncoder()
{
    sbc_finish(sbc_.get());
}

void SbcPacketEncoder::Encode(btstandin::MediaPacket* p)
{
    if (p->bitpool == 0 || p->frames == 0 || p->pcm.empty())
        return;
    format_.bitpool = p->bitpool;
    sbc_->bitpool = static_cast<uint8_t>(p->bitpool);
    const uint32_t frameBytes = btstandin::SbcFrameBytes(format_);
    const size_t codeSize = static_cast<size_t>(btstandin::SbcFrameSamples(format_)) * format_.Channels() * 2;
    const size_t headers = btstandin::kRtpHeaderBytes + btstandin::kSbcHeaderBytes;
    p->payload.assign(headers + static_cast<size_t>(p->frames) * frameBytes, 0);
    uint8_t* h = p->payload.data();
    h[0] = 0x80;   // version 2, no padding, no extension, no sources
    h[1] = 96;     // a dynamic payload type, as A2DP uses
    PutBe16(h + 2, p->sequence);
    PutBe32(h + 4, p->timestamp);
    PutBe32(h + 8, 1);   // synchronisation source
    h[12] = static_cast<uint8_t>(p->frames & 0x0F);
    size_t out = headers;
    bool mismatch = false;
    for (uint32_t i = 0; i < p->frames; ++i) {
        ssize_t written = 0;
        ssize_t used = sbc_encode(sbc_.get(), p->pcm.data() + i * codeSize, codeSize, p->payload.data() + out,
                                  p->payload.size() - out, &written);
        if (used != static_cast<ssize_t>(codeSize) || written != static_cast<ssize_t>(frameBytes)) {
            mismatch = true;
            break;
        }
        out += static_cast<size_t>(written);
    }
    if (mismatch)
        ++mismatches_;
}

SbcPacketDecoder::SbcPacketDecoder() : sbc_(new sbc_struct())
{
    sbc_init(sbc_.get(), 0);
    sbc_->endian = SBC_LE;
}

SbcPacketDecoder::~SbcPacketDecoder()
{
    sbc_finish(sbc_.get());
}

uint32_t SbcPacketDecoder::Decode(const std::vector<uint8_t>& payload, std::vector<uint8_t>* pcm)
{
    const size_t headers = btstandin::kRtpHeaderBytes + btstandin::kSbcHeaderBytes;
    if (payload.size() <= headers)
        return 0;
    const uint32_t frames = payload[btstandin::kRtpHeaderBytes] & 0x0F;
    size_t at = headers;
    uint8_t out[128 * 2 * 2];   // the largest frame: 16 blocks x 8 subbands, two channels
    uint32_t done = 0;
    for (; done < frames && at < payload.size(); ++done) {
        size_t written = 0;
        ssize_t used = sbc_decode(sbc_.get(), payload.data() + at, payload.size() - at, out, sizeof out, &written);
        if (used <= 0)
            break;
        at += static_cast<size_t>(used);
        pcm->insert(pcm->end(), out, out + written);
    }
    return done;
}

uint32_t MeasureCodecDelay(const SbcFormat& format)
{
    // A click in the middle of a few frames of silence; the decoded output's
    // loudest sample is where it came out.
    const uint32_t frameSamples = btstandin::SbcFrameSamples(format);
    const uint32_t frames = 8, click = 3 * frameSamples + 5;
    std::vector<int16_t> in(static_cast<size_t>(frames) * frameSamples * 2, 0);
    in[click * 2] = in[click * 2 + 1] = 20000;
    btstandin::MediaPacket p;
    p.frames = frames;
    p.samples = frames * frameSamples;
    p.bitpool = 53;
    p.pcm.assign(reinterpret_cast<const uint8_t*>(in.data()), reinterpret_cast<const uint8_t*>(in.data() + in.size()));
    SbcFormat f = format;
    f.bitpool = 53;
    // One packet holds at most 15 frames; eight fit.
    SbcPacketEncoder encoder(f);
    encoder.Encode(&p);
    SbcPacketDecoder decoder;
    std::vector<uint8_t> pcm;
    decoder.Decode(p.payload, &pcm);
    size_t best = 0;
    int bestAbs = -1;
    for (size_t i = 0; i + 1 < pcm.size() / 2; i += 2) {
        int16_t v;
        std::memcpy(&v, pcm.data() + i * 2, 2);
        if (std::abs(v) > bestAbs) {
            bestAbs = std::abs(v);
            best = i / 2;
        }
    }
    return best >= click ? static_cast<uint32_t>(best - click) : 0;
}

}  // namespace btstandin_sbc

#endif  // BTSTANDIN_CODER_SBC

namespace btstandin {
namespace {

// The link's SBC format: the one configuration a source negotiates here, at
// the top of the bitpool's range, where the rule starts.
SbcFormat LinkFormat(const SendPathConfig& link)
{
    SbcFormat f;
    f.bitpool = link.bitpool.max;
    return f;
}

std::unique_ptr<Carrier> MakeLinkCarrier(const SendPathConfig& link)
{
    return MakeSbcCarrier(LinkFormat(link), link.mtu, link.keepPcm);
}

std::string Describe(const SendPathConfig& c)
{
    const SbcFormat top = LinkFormat(c);
    const uint32_t frame = SbcFrameBytes(top);
    char rate[16];
    std::snprintf(rate, sizeof rate, "%.1f", top.rate / 1000.0);
    const std::string max = std::to_string(c.bitpool.max);
    return "SBC " + std::string(rate) + " kHz joint stereo, 16 blocks, 8 subbands, loudness; bitpool " +
           (c.bitpool.fixed ? max + " fixed" : std::to_string(c.bitpool.min) + "-" + max + " adaptive, from " + max) +
           "; MTU " + std::to_string(c.mtu) + ": " + std::to_string(SbcFramesPerPacket(c.mtu, frame)) + " frames of " +
           std::to_string(frame) + " bytes a packet at " + max;
}

// A packet holds at least one frame at the top of the bitpool's range.
std::string MtuShortfall(const SendPathConfig& c)
{
    const uint32_t need = kRtpHeaderBytes + kSbcHeaderBytes + SbcFrameBytes(LinkFormat(c));
    if (c.mtu >= need)
        return std::string();
    return "holds no SBC frame at bitpool " + std::to_string(c.bitpool.max) + ": one needs " + std::to_string(need) +
           " bytes with its headers";
}

#if BTSTANDIN_CODER_SBC
std::unique_ptr<PacketEncoder> MakeEncoder(const SendPathConfig& link)
{
    return std::unique_ptr<PacketEncoder>(new btstandin_sbc::SbcPacketEncoder(LinkFormat(link)));
}

std::unique_ptr<PacketDecoder> MakeDecoder()
{
    return std::unique_ptr<PacketDecoder>(new btstandin_sbc::SbcPacketDecoder);
}

uint32_t DecoderDelay()
{
    return btstandin_sbc::MeasureCodecDelay(SbcFormat());
}
#else
constexpr std::unique_ptr<PacketEncoder> (*MakeEncoder)(const SendPathConfig&) = nullptr;
constexpr std::unique_ptr<PacketDecoder> (*MakeDecoder)() = nullptr;
constexpr uint32_t (*DecoderDelay)() = nullptr;
#endif

}  // namespace

const CodecParts kSbcParts = {"SBC",         "SBC frames in media packets",
                              MakeLinkCarrier, Describe,
                              MtuShortfall,  "SBC frames",
                              "an SBC frame", kSbcHeaderBytes,
                              MakeEncoder,   MakeDecoder,
                              DecoderDelay,  "--sbc",
                              "received audio encoded as an SBC stream"};

}  // namespace btstandin
