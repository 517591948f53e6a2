// The PCM codec: each post one packet of its bytes (RTP header and whole
// audio frames), the ideal carrier that keeps the audio bit-exact to the ear.
// It has no coder: the headset hears the packets' samples as they are.
#include <cstring>
#include <string>

#include "btstandin/codec.h"
#include "btstandin/sendpath.h"

namespace btstandin {
namespace {

class PcmCarrier : public Carrier {
public:
    explicit PcmCarrier(bool keepPcm) : keepPcm_(keepPcm) {}

    void Take(const uint8_t* pcm, uint32_t bytes, uint64_t postNs, std::vector<MediaPacket>* out) override
    {
        // Packets carry whole audio frames; a post's odd half frame waits
        // for the next post.
        const uint32_t whole = (carry_ + bytes) / kPcmFrameBytes * kPcmFrameBytes;
        if (whole == 0) {
            if (keepPcm_ && pcm)
                std::memcpy(carried_ + carry_, pcm, bytes);
            carry_ += bytes;
            return;
        }
        MediaPacket p;
        p.sequence = sequence_++;
        p.timestamp = timestamp_;
        p.samples = whole / kPcmFrameBytes;
        p.bytes = kRtpHeaderBytes + whole;
        p.firstPostNs = p.sentNs = postNs;
        const uint32_t fromPost = whole - carry_;
        if (keepPcm_ && pcm) {
            p.pcm.assign(carried_, carried_ + carry_);
            p.pcm.insert(p.pcm.end(), pcm, pcm + fromPost);
        }
        carry_ = bytes - fromPost;
        if (keepPcm_ && pcm && carry_)
            std::memcpy(carried_, pcm + fromPost, carry_);
        timestamp_ += p.samples;
        out->push_back(std::move(p));
    }

    void SendHeld(uint64_t, std::vector<MediaPacket>*) override {}
    uint32_t PacketsFor(uint32_t bytes) const override { return carry_ + bytes >= kPcmFrameBytes ? 1 : 0; }

private:
    bool keepPcm_;
    uint8_t carried_[kPcmFrameBytes] = {};
    uint32_t carry_ = 0;
    uint16_t sequence_ = 0;
    uint32_t timestamp_ = 0;
};

std::unique_ptr<Carrier> MakeCarrier(const SendPathConfig& link)
{
    return std::unique_ptr<Carrier>(new PcmCarrier(link.keepPcm));
}

std::string Describe(const SendPathConfig&)
{
    return "PCM, each post one media packet (bit-exact to the ear)";
}

// A packet holds at least one audio frame.
std::string MtuShortfall(const SendPathConfig& c)
{
    return c.mtu < kRtpHeaderBytes + kPcmFrameBytes ? "holds no audio frame" : "";
}

}  // namespace

const CodecParts kPcmParts = {"PCM",        "PCM bit-exact to the ear", MakeCarrier, Describe, MtuShortfall,
                              nullptr,      nullptr,                    0,           nullptr,  nullptr,
                              nullptr,      nullptr,                    nullptr};

}  // namespace btstandin
