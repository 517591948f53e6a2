// The wave mapper's conversion, done by libswresample.  A mono source played
// in stereo is copied to both channels at full level; every other channel
// change uses the library's default mix.
#include "convert.h"

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

class SwrConverter : public SampleConverter {
public:
    SwrConverter(const PcmFormat& from, const PcmFormat& to) : from_(from), to_(to) {}
    ~SwrConverter() override { swr_free(&ctx_); }

    bool Open()
    {
        AVChannelLayout in, out;
        av_channel_layout_default(&in, from_.channels);
        av_channel_layout_default(&out, to_.channels);
        int rc = swr_alloc_set_opts2(&ctx_, &out, SampleFormatOf(to_), static_cast<int>(to_.rate), &in,
                                     SampleFormatOf(from_), static_cast<int>(from_.rate), 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0 || ctx_ == nullptr)
            return false;
        if (from_.channels == 1 && to_.channels == 2) {
            const double matrix[2] = {1.0, 1.0};
            if (swr_set_matrix(ctx_, matrix, 1) < 0)
                return false;
        }
        return swr_init(ctx_) >= 0;
    }

    size_t MaxOutputBytes(size_t inBytes) const override
    {
        int frames = swr_get_out_samples(ctx_, static_cast<int>(inBytes / from_.FrameBytes()));
        return frames < 0 ? 0 : static_cast<size_t>(frames) * to_.FrameBytes();
    }

    size_t Convert(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outCapacity) override
    {
        const uint8_t* inPlanes[1] = {in};
        uint8_t* outPlanes[1] = {out};
        int got = swr_convert(ctx_, outPlanes, static_cast<int>(outCapacity / to_.FrameBytes()), inPlanes,
                              static_cast<int>(inBytes / from_.FrameBytes()));
        return got < 0 ? 0 : static_cast<size_t>(got) * to_.FrameBytes();
    }

    size_t MaxDrainBytes() const override
    {
        int frames = swr_get_out_samples(ctx_, 0);
        return frames < 0 ? 0 : static_cast<size_t>(frames) * to_.FrameBytes();
    }

    size_t Drain(uint8_t* out, size_t outCapacity) override
    {
        uint8_t* outPlanes[1] = {out};
        int got = swr_convert(ctx_, outPlanes, static_cast<int>(outCapacity / to_.FrameBytes()), nullptr, 0);
        Reset();
        return got < 0 ? 0 : static_cast<size_t>(got) * to_.FrameBytes();
    }

    void Reset() override
    {
        // Closing and initialising again drops the samples the filter holds
        // and keeps the options, the matrix included.
        swr_close(ctx_);
        swr_init(ctx_);
    }

private:
    PcmFormat from_, to_;
    SwrContext* ctx_ = nullptr;
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
