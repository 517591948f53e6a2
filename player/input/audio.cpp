// The built-in sound, and conversion with libswresample, chunk by chunk
// (files are decoded in audiofile.cpp).
#include "input/audio.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace player {
namespace {

// Frames decoded per chunk: small enough to stay in the cache, large enough
// that per-call costs vanish.
const size_t kChunkFrames = 16384;

size_t BytesPerSample(SampleType t)
{
    switch (t) {
    case SampleType::Int16: return 2;
    case SampleType::Int32: return 4;
    case SampleType::Float: return 4;
    case SampleType::Double: return 8;
    }
    return 2;
}

// ---- The built-in sound -------------------------------------------------------------

class ToneDecoder : public Decoder {
public:
    explicit ToneDecoder(uint64_t frames) : total_(frames)
    {
        info_.origin = "built-in sound";
        info_.format = "generated, 16-bit PCM";
        info_.rate = kDeviceRate;
        info_.channels = 2;
        info_.frames = static_cast<int64_t>(frames);
        // One period of the sine on the rate's grid: both tones fall on it,
        // as their phases are reduced to whole periods in integers, so every
        // machine computes the same samples.
        const double kPi = 3.14159265358979323846;
        sine_.resize(kDeviceRate);
        for (uint32_t k = 0; k < kDeviceRate; ++k)
            sine_[k] = std::sin(2 * kPi * static_cast<double>(k) / kDeviceRate);
        // At the steady gain the stereo frames repeat every kPeriodFrames
        // (22 cycles of the left tone, 33 of the right): kept once, copied
        // out a stretch at a time.
        period_.resize(2 * kPeriodFrames);
        for (uint32_t k = 0; k < kPeriodFrames; ++k) {
            period_[2 * k] = Sample(kGain, LeftPhase(k));
            period_[2 * k + 1] = Sample(kGain, RightPhase(k));
        }
    }

    size_t Read(void* out, size_t frames) override
    {
        int16_t* s = static_cast<int16_t*>(out);
        const uint64_t fade = kDeviceRate / 100;   // 10 ms
        size_t n = 0;
        while (n < frames && at_ < total_) {
            if (at_ >= fade && total_ - at_ > fade) {
                const size_t i = static_cast<size_t>(at_ % kPeriodFrames);
                const size_t run = static_cast<size_t>(
                    std::min<uint64_t>({frames - n, kPeriodFrames - i, total_ - fade - at_}));
                std::memcpy(s + 2 * n, period_.data() + 2 * i, run * 4);
                n += run;
                at_ += run;
                continue;
            }
            double gain = kGain;
            if (at_ < fade)
                gain *= static_cast<double>(at_) / fade;
            else
                gain *= static_cast<double>(total_ - 1 - at_) / fade;
            s[2 * n] = Sample(gain, LeftPhase(at_));
            s[2 * n + 1] = Sample(gain, RightPhase(at_));
            ++n;
            ++at_;
        }
        return n;
    }

private:
    static constexpr double kGain = 0.4;
    static constexpr uint32_t kPeriodFrames = 2205;
    static_assert(kPeriodFrames * 440u % kDeviceRate == 0 && kPeriodFrames * 660u % kDeviceRate == 0,
                  "both tones complete whole cycles in one period");
    // Phases on the rate's grid, reduced in integers.
    static uint32_t LeftPhase(uint64_t frame) { return static_cast<uint32_t>(frame * 440u % kDeviceRate); }
    static uint32_t RightPhase(uint64_t frame) { return static_cast<uint32_t>(frame * 660u % kDeviceRate); }
    int16_t Sample(double gain, uint32_t phase) const
    {
        return static_cast<int16_t>(std::lround(gain * sine_[phase] * 32767.0));
    }
    std::vector<int16_t> period_;   // kPeriodFrames stereo frames at the steady gain
    uint64_t total_;
    uint64_t at_ = 0;
    std::vector<double> sine_;
};

AVSampleFormat AvFormat(SampleType t)
{
    switch (t) {
    case SampleType::Int16: return AV_SAMPLE_FMT_S16;
    case SampleType::Int32: return AV_SAMPLE_FMT_S32;
    case SampleType::Float: return AV_SAMPLE_FMT_FLT;
    case SampleType::Double: return AV_SAMPLE_FMT_DBL;
    }
    return AV_SAMPLE_FMT_S16;
}

std::string AvError(int rc)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, buf, sizeof buf);
    return buf;
}

// The LFE's share of a downmix: libswresample mixes the LFE in at this level
// times -3 dB, so the LFE ends at -6 dB: the mix keeps its bass without the
// LFE channel dominating the front pair.
const double kLfeMixLevel = 0.70710678118654752;

}  // namespace

std::string SourceInfo::SampleDescription() const
{
    std::string bitsText = std::to_string(bits) + "-bit ";
    switch (formatTag) {
    case 3: return bitsText + "float";
    case 6: return "8-bit A-law";
    case 7: return "8-bit mu-law";
    default: return bitsText + "PCM";
    }
}

std::unique_ptr<Decoder> BuiltInSound(uint64_t frames)
{
    return std::unique_ptr<Decoder>(new ToneDecoder(frames));
}

bool NeedsConversion(const SourceInfo& in)
{
    return in.rate != kDeviceRate || in.channels != kDeviceChannels || in.formatTag != 1 || in.bits != 16;
}

bool CanConvert(const SourceInfo& in, std::string* why)
{
    if (in.channels == 0 || in.rate == 0) {
        *why = "it has no channels or no rate";
        return false;
    }
    if (in.rate < kMinRate || in.rate > kMaxRate) {
        *why = "rates from " + std::to_string(kMinRate) + " Hz to " + std::to_string(kMaxRate) +
               " Hz are converted, not " + std::to_string(in.rate) + " Hz";
        return false;
    }
    if (in.channels > 64) {
        *why = std::to_string(in.channels) + " channels are more than the converter takes (64)";
        return false;
    }
    return true;
}

// ---- Conversion -------------------------------------------------------------------------

struct DeviceStream::Converter {
    SwrContext* swr = nullptr;
    ~Converter() { swr_free(&swr); }
};

DeviceStream::DeviceStream() = default;
DeviceStream::~DeviceStream() = default;

// Before Open (a run that failed earlier) the stream knows nothing.
const SourceInfo& DeviceStream::Info() const
{
    static const SourceInfo kNothing{};
    return decoder_ ? decoder_->Info() : kNothing;
}

int64_t DeviceStream::ExpectedFrames() const
{
    if (!decoder_)
        return -1;
    const SourceInfo& in = decoder_->Info();
    if (in.frames < 0)
        return -1;
    return static_cast<int64_t>(std::llround(static_cast<double>(in.frames) * kDeviceRate / in.rate));
}

double DeviceStream::BytesPerSecond() const
{
    return static_cast<double>(frameBytes_) * (converter_ || !decoder_ ? kDeviceRate : decoder_->Info().rate);
}

void DeviceStream::OpenAsDecoded(std::unique_ptr<Decoder> decoder, std::string* note)
{
    decoder_ = std::move(decoder);
    const SourceInfo& in = decoder_->Info();
    frameBytes_ = static_cast<uint32_t>(in.channels * BytesPerSample(in.type));
    std::vector<std::string> what;
    if (in.channels == 1)
        what.push_back("mono copied to both channels");
    else if (in.channels != kDeviceChannels)
        what.push_back(std::to_string(in.channels) + " channels downmixed to stereo");
    if (in.rate != kDeviceRate)
        what.push_back(std::to_string(in.rate) + " Hz resampled to " + std::to_string(kDeviceRate) + " Hz");
    if (in.type != SampleType::Int16)
        what.push_back(in.SampleDescription() + " reduced to 16-bit");
    else if (in.bits != 16 || in.formatTag != 1)
        what.push_back(in.SampleDescription() + " samples widened to 16 bits by libsndfile");
    note->clear();
    for (size_t i = 0; i < what.size(); ++i)
        *note += (i ? ", " : "") + what[i];
    *note += " by the wave mapper";
}

bool DeviceStream::Open(std::unique_ptr<Decoder> decoder, std::string* note, std::string* error)
{
    decoder_ = std::move(decoder);
    const SourceInfo& in = decoder_->Info();
    in_.resize(kChunkFrames * in.channels * BytesPerSample(in.type));
    note->clear();
    // Samples that libsndfile already widens to 16 bits exactly need no
    // converter at the device's rate and layout.
    if (in.rate == kDeviceRate && in.channels == kDeviceChannels && in.type == SampleType::Int16) {
        if (in.bits != 16 || in.formatTag != 1)
            *note = in.SampleDescription() + " samples widened to 16 bits by libsndfile (exact)";
        return true;
    }
    std::string why;
    if (!CanConvert(in, &why)) {
        *error = "cannot convert '" + in.origin + "': " + why;
        return false;
    }

    AVChannelLayout inLayout{}, outLayout{};
    if (in.channels == 6)
        av_channel_layout_from_mask(&inLayout, AV_CH_LAYOUT_5POINT1_BACK);   // WAV's order: FL FR FC LFE BL BR
    else
        av_channel_layout_default(&inLayout, static_cast<int>(in.channels));
    av_channel_layout_default(&outLayout, kDeviceChannels);
    std::unique_ptr<Converter> c(new Converter);
    int rc = swr_alloc_set_opts2(&c->swr, &outLayout, AV_SAMPLE_FMT_S16, kDeviceRate, &inLayout, AvFormat(in.type),
                                 static_cast<int>(in.rate), 0, nullptr);
    char layoutName[128] = {};
    av_channel_layout_describe(&inLayout, layoutName, sizeof layoutName);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (rc < 0 || !c->swr) {
        *error = "cannot convert '" + in.origin + "': libswresample: " + AvError(rc);
        return false;
    }
    av_opt_set_int(c->swr, "dither_method", SWR_DITHER_TRIANGULAR, 0);
    av_opt_set_double(c->swr, "lfe_mix_level", kLfeMixLevel, 0);
    // A longer filter than the default, for a cleaner resampling.
    av_opt_set_int(c->swr, "filter_size", 64, 0);
    av_opt_set_int(c->swr, "phase_shift", 14, 0);
    if (in.channels == 1) {
        // Mono is the same sound on both sides, at full level.
        const double matrix[2] = {1.0, 1.0};
        swr_set_matrix(c->swr, matrix, 1);
    }
    rc = swr_init(c->swr);
    if (rc < 0) {
        *error = "cannot convert '" + in.origin + "': libswresample: " + AvError(rc);
        return false;
    }
    converter_ = std::move(c);

    std::vector<std::string> what;
    if (in.channels == 1)
        what.push_back("mono copied to both channels");
    else if (in.channels == 6)
        what.push_back("6 channels (" + std::string(layoutName) +
                       ") downmixed to stereo: centre and surrounds at -3 dB, LFE at -6 dB, normalised");
    else if (in.channels != kDeviceChannels)
        what.push_back(std::to_string(in.channels) + " channels (" + layoutName + ") downmixed to stereo");
    if (in.rate != kDeviceRate)
        what.push_back(std::to_string(in.rate) + " Hz resampled to " + std::to_string(kDeviceRate) + " Hz");
    if (in.type != SampleType::Int16)
        what.push_back(in.SampleDescription() + " reduced to 16-bit with triangular dither");
    else if (in.bits != 16 || in.formatTag != 1)
        what.push_back(in.SampleDescription() + " samples widened to 16 bits by libsndfile");
    for (size_t i = 0; i < what.size(); ++i)
        *note += (i ? ", " : "") + what[i];
    *note += " by libswresample";
    return true;
}

bool DeviceStream::Refill()
{
    if (ended_)
        return false;
    const SourceInfo& in = decoder_->Info();
    outAt_ = outSize_ = 0;
    size_t frames = decoder_->Read(in_.data(), kChunkFrames);
    if (frames == 0 && !decoder_->Error().empty()) {
        error_ = decoder_->Error();
        ended_ = true;
        return false;
    }
    // The converted bytes go to a buffer that only ever grows, so that no
    // chunk pays for clearing it.
    // At the end, the converter gives up what it still holds.
    const uint8_t* src = in_.data();
    int capacity = swr_get_out_samples(converter_->swr, static_cast<int>(frames));
    if (capacity < 0)
        capacity = 0;
    size_t room = static_cast<size_t>(capacity + 16) * kDeviceFrameBytes;
    if (out_.size() < room)
        out_.resize(room);
    uint8_t* dst = out_.data();
    int got = swr_convert(converter_->swr, &dst, capacity + 16, frames ? &src : nullptr, static_cast<int>(frames));
    if (got < 0) {
        error_ = "cannot convert '" + in.origin + "': libswresample: " + AvError(got);
        ended_ = true;
        return false;
    }
    outSize_ = static_cast<size_t>(got) * kDeviceFrameBytes;
    if (frames == 0 && got == 0) {
        ended_ = true;
        return false;
    }
    return true;
}

size_t DeviceStream::Read(uint8_t* out, size_t max)
{
    max -= max % frameBytes_;
    size_t done = 0;
    while (done < max) {
        if (!converter_) {
            // The decoder's frames are handed on as they are: they go
            // straight to the caller, with no copy between.
            if (ended_)
                break;
            size_t frames = decoder_->Read(out + done, (max - done) / frameBytes_);
            if (frames == 0) {
                error_ = decoder_->Error();
                ended_ = true;
                break;
            }
            done += frames * frameBytes_;
            continue;
        }
        if (outAt_ == outSize_ && !Refill())
            break;
        size_t n = std::min(max - done, outSize_ - outAt_);
        std::memcpy(out + done, out_.data() + outAt_, n);
        outAt_ += n;
        done += n;
    }
    return done;
}

int64_t ExpectedBytes(const SourceInfo& in, uint32_t loops)
{
    if (in.frames < 0 || in.framesEstimated || in.rate == 0)
        return -1;
    const double frames = std::llround(static_cast<double>(in.frames) * kDeviceRate / in.rate);
    return static_cast<int64_t>(frames) * kDeviceFrameBytes * (loops ? loops : 1);
}

}  // namespace player
