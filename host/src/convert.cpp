// The wave mapper's conversion, done by libswresample.  A mono source played
// in stereo is copied to both channels at full level; every other channel
// change uses the library's default mix.
#include "convert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#ifdef CEHOST_HAVE_SWRESAMPLE
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}
#endif

namespace host {

bool IsConvertiblePcm(const PcmFormat& f)
{
    return f.rate >= 1000 && f.rate <= 384000 && f.channels >= 1 && f.channels <= 8 &&
           (f.isFloat ? f.bits == 32 : (f.bits == 8 || f.bits == 16 || f.bits == 32));
}

#ifdef CEHOST_HAVE_SWRESAMPLE
namespace {

AVSampleFormat SampleFormatOf(const PcmFormat& f)
{
    if (f.isFloat)
        return AV_SAMPLE_FMT_FLT;
    switch (f.bits) {
    case 8: return AV_SAMPLE_FMT_U8;
    case 16: return AV_SAMPLE_FMT_S16;
    default: return AV_SAMPLE_FMT_S32;
    }
}

// A stream's tail without ending the stream.  The library cannot copy a
// resampler's state, so Tail rebuilds it: a second resampler converts the
// stream's recent input again, from an input frame where the two rates'
// periods meet (so each output frame falls where the first resampler puts
// it) far enough back that the filter has forgotten its start, and is then
// drained.  Its frames from the first one not yet handed out are the tail;
// the first resampler is never drained, and its output later skips the
// frames the tail covered.  The recent input is kept in a ring of a few
// thousand frames.  Rates whose period is longer than that ring cannot be
// rebuilt this way; their Tail drains the resampler and starts it afresh.
class SwrConverter : public SampleConverter {
public:
    SwrConverter(const PcmFormat& from, const PcmFormat& to) : from_(from), to_(to)
    {
        uint64_t a = from.rate, b = to.rate;
        while (b != 0) {
            uint64_t t = a % b;
            a = b;
            b = t;
        }
        periodIn_ = from.rate / a;
        periodOut_ = to.rate / a;
        // Input frames whose effect reaches the held samples: the filter's
        // length in input frames, generously (it widens when downsampling).
        reach_ = kReachFrames * std::max<uint64_t>(1, (from.rate + to.rate - 1) / to.rate);
        rebuildable_ = periodIn_ <= kMaxPeriod;
        if (rebuildable_)
            history_.resize(static_cast<size_t>((reach_ + periodIn_) * from.FrameBytes()));
    }
    ~SwrConverter() override { swr_free(&ctx_); }

    bool Open() { return OpenContext(&ctx_); }

    size_t MaxOutputBytes(size_t inBytes) const override
    {
        int frames = swr_get_out_samples(ctx_, static_cast<int>(inBytes / from_.FrameBytes()));
        return frames < 0 ? 0 : static_cast<size_t>(frames) * to_.FrameBytes();
    }

    size_t Convert(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outCapacity) override
    {
        const size_t frames = inBytes / from_.FrameBytes();
        const uint8_t* inPlanes[1] = {in};
        uint8_t* outPlanes[1] = {out};
        int got = swr_convert(ctx_, outPlanes, static_cast<int>(outCapacity / to_.FrameBytes()), inPlanes,
                              static_cast<int>(frames));
        if (got < 0)
            return 0;
        Remember(in, frames);
        // Frames a tail already handed out are dropped.
        const uint64_t first = produced_;
        produced_ += static_cast<uint64_t>(got);
        const uint64_t skip = delivered_ > first ? std::min<uint64_t>(delivered_ - first, got) : 0;
        const size_t frameBytes = to_.FrameBytes();
        if (skip > 0)
            std::memmove(out, out + skip * frameBytes, static_cast<size_t>(got - skip) * frameBytes);
        delivered_ = std::max(delivered_, produced_);
        return static_cast<size_t>(got - skip) * frameBytes;
    }

    size_t MaxTailBytes() const override
    {
        // The rebuilding resampler's whole output, of which the tail is the end.
        const uint64_t frames = (reach_ + periodIn_) * to_.rate / from_.rate + 2 * kReachFrames + 64;
        int held = swr_get_out_samples(ctx_, 0);
        return static_cast<size_t>(std::max<uint64_t>(frames, held < 0 ? 0 : held)) * to_.FrameBytes();
    }

    size_t Tail(uint8_t* out, size_t outCapacity) override
    {
        if (!rebuildable_)
            return DrainAndRestart(out, outCapacity);
        if (consumed_ == 0)
            return 0;
        // The rebuild starts at a frame where the periods meet.
        const uint64_t back = std::min<uint64_t>(consumed_, reach_);
        const uint64_t start = (consumed_ - back) / periodIn_ * periodIn_;
        const uint64_t startOut = start / periodIn_ * periodOut_;
        if (consumed_ - start > HistoryFrames() || startOut > delivered_)
            return DrainAndRestart(out, outCapacity);
        SwrContext* rebuild = nullptr;
        if (!OpenContext(&rebuild))
            return 0;
        const size_t frameBytes = to_.FrameBytes();
        std::vector<uint8_t> input = Recent(consumed_ - start);
        std::vector<uint8_t> buffer(MaxTailBytes() + frameBytes * 64);
        uint8_t* outPlanes[1] = {buffer.data()};
        const uint8_t* inPlanes[1] = {input.data()};
        const int capacity = static_cast<int>(buffer.size() / frameBytes);
        int got = swr_convert(rebuild, outPlanes, capacity, inPlanes, static_cast<int>(consumed_ - start));
        int total = got < 0 ? 0 : got;
        outPlanes[0] = buffer.data() + static_cast<size_t>(total) * frameBytes;
        got = swr_convert(rebuild, outPlanes, capacity - total, nullptr, 0);
        total += got < 0 ? 0 : got;
        swr_free(&rebuild);
        // The rebuilt frames from the first one not yet handed out.
        const uint64_t end = startOut + static_cast<uint64_t>(total);
        if (end <= delivered_)
            return 0;
        const uint64_t from = delivered_ - startOut;
        const size_t frames = std::min<size_t>(static_cast<size_t>(end - delivered_), outCapacity / frameBytes);
        std::memcpy(out, buffer.data() + from * frameBytes, frames * frameBytes);
        delivered_ += frames;
        return frames * frameBytes;
    }

    void Reset() override
    {
        Restart();
    }

private:
    static constexpr uint64_t kReachFrames = 512;   // input frames; the default filter needs far fewer
    static constexpr uint64_t kMaxPeriod = 4096;    // input frames

    bool OpenContext(SwrContext** ctx) const
    {
        AVChannelLayout in, out;
        av_channel_layout_default(&in, from_.channels);
        av_channel_layout_default(&out, to_.channels);
        int rc = swr_alloc_set_opts2(ctx, &out, SampleFormatOf(to_), static_cast<int>(to_.rate), &in,
                                     SampleFormatOf(from_), static_cast<int>(from_.rate), 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0 || *ctx == nullptr)
            return false;
        if (from_.channels == 1 && to_.channels == 2) {
            const double matrix[2] = {1.0, 1.0};
            if (swr_set_matrix(*ctx, matrix, 1) < 0)
                return false;
        }
        return swr_init(*ctx) >= 0;
    }

    uint64_t HistoryFrames() const { return history_.size() / from_.FrameBytes(); }

    // Keeps the newest input frames in the ring.
    void Remember(const uint8_t* in, size_t frames)
    {
        const uint64_t capacity = HistoryFrames();
        const size_t frameBytes = from_.FrameBytes();
        if (capacity > 0) {
            const size_t keep = static_cast<size_t>(std::min<uint64_t>(frames, capacity));
            for (size_t i = frames - keep; i < frames; ++i) {
                const size_t slot = static_cast<size_t>((consumed_ + i) % capacity);
                std::memcpy(&history_[slot * frameBytes], in + i * frameBytes, frameBytes);
            }
        }
        consumed_ += frames;
    }

    // The newest `frames` input frames, oldest first.
    std::vector<uint8_t> Recent(uint64_t frames) const
    {
        const uint64_t capacity = HistoryFrames();
        const size_t frameBytes = from_.FrameBytes();
        std::vector<uint8_t> out(static_cast<size_t>(frames) * frameBytes);
        for (uint64_t i = 0; i < frames; ++i) {
            const size_t slot = static_cast<size_t>((consumed_ - frames + i) % capacity);
            std::memcpy(&out[static_cast<size_t>(i) * frameBytes], &history_[slot * frameBytes], frameBytes);
        }
        return out;
    }

    size_t DrainAndRestart(uint8_t* out, size_t outCapacity)
    {
        uint8_t* outPlanes[1] = {out};
        int got = swr_convert(ctx_, outPlanes, static_cast<int>(outCapacity / to_.FrameBytes()), nullptr, 0);
        Restart();
        return got < 0 ? 0 : static_cast<size_t>(got) * to_.FrameBytes();
    }

    void Restart()
    {
        // Closing and initialising again drops the samples the filter holds
        // and keeps the options, the matrix included.
        swr_close(ctx_);
        swr_init(ctx_);
        consumed_ = produced_ = delivered_ = 0;
    }

    PcmFormat from_, to_;
    SwrContext* ctx_ = nullptr;
    uint64_t periodIn_ = 1;     // input frames after which the rates' phases repeat
    uint64_t periodOut_ = 1;    // the output frames of one such period
    uint64_t reach_ = 0;        // input frames converted again to rebuild a tail
    bool rebuildable_ = false;  // false: the period is too long for the ring
    std::vector<uint8_t> history_;   // the newest input frames, a ring indexed by frame number
    uint64_t consumed_ = 0;     // input frames converted since the start or a restart
    uint64_t produced_ = 0;     // output frames the resampler produced
    uint64_t delivered_ = 0;    // output frames handed out (by Convert or Tail)
};

}  // namespace

std::unique_ptr<SampleConverter> MakeSampleConverter(const PcmFormat& from, const PcmFormat& to)
{
    if (!IsConvertiblePcm(from) || !IsConvertiblePcm(to))
        return nullptr;
    auto c = std::make_unique<SwrConverter>(from, to);
    if (!c->Open())
        return nullptr;
    return c;
}

bool HaveSampleConversion() { return true; }

#else

std::unique_ptr<SampleConverter> MakeSampleConverter(const PcmFormat&, const PcmFormat&) { return nullptr; }
bool HaveSampleConversion() { return false; }

#endif

}  // namespace host
