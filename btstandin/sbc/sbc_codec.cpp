#include "btstandin_sbc/sbc_codec.h"

#include <sbc/sbc.h>

#include <cstdlib>
#include <cstring>

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
