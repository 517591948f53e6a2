// The SBC codec's carrier and sizes (sbc.h): PCM gathered into whole frames
// of the format's size, frames into packets as many as fit the MTU.
#include "btstandin/sbc.h"

#include <algorithm>

#include "btstandin/sendpath.h"

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

std::unique_ptr<Carrier> MakeSbcCarrier(const SendPathConfig& link)
{
    return MakeSbcCarrier(link.sbc, link.mtu, link.keepPcm);
}

}  // namespace btstandin
