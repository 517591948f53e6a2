// Decoding with libsndfile, the built-in sound, and conversion with
// libsamplerate.
#include "audio.h"

#include <samplerate.h>
#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace player {
namespace {

std::string FormatName(int format)
{
    auto name = [](int f) -> std::string {
        SF_FORMAT_INFO info{};
        info.format = f;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name)
            return info.name;
        char buf[32];
        std::snprintf(buf, sizeof buf, "format 0x%X", static_cast<unsigned>(f));
        return buf;
    };
    return name(format & SF_FORMAT_TYPEMASK) + ", " + name(format & SF_FORMAT_SUBMASK);
}

bool IsSixteenBitInteger(int format)
{
    int sub = format & SF_FORMAT_SUBMASK;
    return sub == SF_FORMAT_PCM_16;
}

}  // namespace

bool LoadAudioFile(const std::string& path, DecodedAudio* out, std::string* error)
{
    // Open it ourselves first, so that a missing or unreadable file is
    // reported with the system's reason rather than libsndfile's wording.
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::fclose(probe);

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        *error = "cannot read '" + path + "' as audio: " + sf_strerror(nullptr);
        return false;
    }
    DecodedAudio a;
    a.origin = path;
    a.format = FormatName(info.format);
    a.rate = info.samplerate > 0 ? static_cast<uint32_t>(info.samplerate) : 0;
    a.channels = info.channels > 0 ? static_cast<uint32_t>(info.channels) : 0;
    if (a.rate == 0 || a.channels == 0) {
        sf_close(f);
        *error = "'" + path + "' has no usable rate or channel count";
        return false;
    }
    // Float data beyond full scale is clipped, not wrapped around.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    // The frame count is a hint only (some streams do not know it), so read
    // in blocks until the end.
    const sf_count_t block = 16384;
    std::vector<int16_t> samples;
    for (;;) {
        size_t at = samples.size();
        samples.resize(at + static_cast<size_t>(block) * a.channels);
        sf_count_t got = sf_readf_short(f, samples.data() + at, block);
        if (got < 0)
            got = 0;
        samples.resize(at + static_cast<size_t>(got) * a.channels);
        if (got < block)
            break;
    }
    int readError = sf_error(f);
    std::string readMessage = sf_strerror(f);
    sf_close(f);
    if (readError != SF_ERR_NO_ERROR) {
        *error = "cannot decode '" + path + "': " + readMessage;
        return false;
    }
    if (samples.empty()) {
        *error = "'" + path + "' holds no audio frames";
        return false;
    }
    if (!IsSixteenBitInteger(info.format))
        a.notes.push_back("decoded to 16-bit samples by libsndfile");
    a.samples = std::move(samples);
    *out = std::move(a);
    return true;
}

DecodedAudio BuiltInSound()
{
    DecodedAudio a;
    a.origin = "built-in sound";
    a.format = "generated, 16-bit PCM";
    a.rate = kDeviceRate;
    a.channels = 2;
    const uint32_t frames = 3 * kDeviceRate;
    const uint32_t fade = kDeviceRate / 100;   // 10 ms
    const double kPi = 3.14159265358979323846;
    a.samples.resize(static_cast<size_t>(frames) * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        double gain = 0.4;
        if (i < fade)
            gain *= static_cast<double>(i) / fade;
        else if (frames - i <= fade)
            gain *= static_cast<double>(frames - 1 - i) / fade;
        // The phase is reduced to whole periods in integers, so every
        // machine computes the same samples.
        double left = std::sin(2 * kPi * static_cast<double>((i * 440u) % kDeviceRate) / kDeviceRate);
        double right = std::sin(2 * kPi * static_cast<double>((i * 660u) % kDeviceRate) / kDeviceRate);
        a.samples[2 * i] = static_cast<int16_t>(std::lround(gain * left * 32767.0));
        a.samples[2 * i + 1] = static_cast<int16_t>(std::lround(gain * right * 32767.0));
    }
    return a;
}

bool CanConvert(const DecodedAudio& in, std::string* why)
{
    if (in.channels == 0 || in.rate == 0) {
        *why = "it has no channels or no rate";
        return false;
    }
    double ratio = static_cast<double>(kDeviceRate) / in.rate;
    if (in.rate != kDeviceRate && !src_is_valid_ratio(ratio)) {
        *why = "libsamplerate converts rates by a factor of at most 256, and " + std::to_string(in.rate) +
               " Hz to " + std::to_string(kDeviceRate) + " Hz is a factor of " +
               std::to_string(in.rate > kDeviceRate ? in.rate / kDeviceRate : kDeviceRate / in.rate);
        return false;
    }
    return true;
}

bool ConvertToDevice(const DecodedAudio& in, std::vector<int16_t>* out, std::string* note, std::string* error)
{
    std::string why;
    if (!CanConvert(in, &why)) {
        *error = "cannot convert '" + in.origin + "': " + why;
        return false;
    }
    const uint64_t frames = in.Frames();
    // Channels first, at the source rate.
    std::vector<int16_t> stereo(frames * 2);
    for (uint64_t i = 0; i < frames; ++i) {
        const int16_t* f = &in.samples[i * in.channels];
        stereo[2 * i] = f[0];
        stereo[2 * i + 1] = in.channels >= 2 ? f[1] : f[0];
    }
    std::string what;
    if (in.channels == 1)
        what = "mono copied to both channels";
    else if (in.channels > 2)
        what = "first two of " + std::to_string(in.channels) + " channels kept";

    if (in.rate == kDeviceRate) {
        *out = std::move(stereo);
    } else {
        std::vector<float> src(stereo.size());
        src_short_to_float_array(stereo.data(), src.data(), static_cast<int>(src.size()));
        const double ratio = static_cast<double>(kDeviceRate) / in.rate;
        // One frame of slack: the converter may round the length either way.
        const uint64_t outFrames = static_cast<uint64_t>(std::ceil(frames * ratio)) + 1;
        std::vector<float> dst(outFrames * 2);
        SRC_DATA d{};
        d.data_in = src.data();
        d.input_frames = static_cast<long>(frames);
        d.data_out = dst.data();
        d.output_frames = static_cast<long>(outFrames);
        d.src_ratio = ratio;
        int rc = src_simple(&d, SRC_SINC_BEST_QUALITY, 2);
        if (rc != 0) {
            *error = "cannot convert '" + in.origin + "': libsamplerate: " + src_strerror(rc);
            return false;
        }
        dst.resize(static_cast<size_t>(d.output_frames_gen) * 2);
        out->assign(dst.size(), 0);
        src_float_to_short_array(dst.data(), out->data(), static_cast<int>(dst.size()));
        if (!what.empty())
            what += ", ";
        what += std::to_string(in.rate) + " Hz resampled to " + std::to_string(kDeviceRate) +
                " Hz by libsamplerate (best sinc)";
    }
    *note = what;
    return true;
}

}  // namespace player
