#include "input/negotiate.h"

#include <algorithm>

#include <mmreg.h>

#include "wave/boot.h"
#include "run/failure.h"
#include "run/options.h"

namespace player {
namespace {

WAVEFORMATEX Record(uint16_t tag, uint32_t channels, uint32_t rate, uint16_t bits)
{
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = static_cast<WORD>(std::min<uint32_t>(channels, 0xFFFF));
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(std::min<uint32_t>(channels * bits / 8, 0xFFFF));
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b)
{
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
           a.wBitsPerSample == b.wBitsPerSample && a.nBlockAlign == b.nBlockAlign;
}

void CheckAnswer(MMRESULT q)
{
    if (q != MMSYSERR_NOERROR && q != WAVERR_BADFORMAT)
        throw Failure{kExitPlayback, "WAVE_FORMAT_QUERY on WAVE_MAPPER failed with result " + std::to_string(q)};
}

}  // namespace

WAVEFORMATEX SourceFormat(const SourceInfo& info)
{
    return Record(info.formatTag, info.channels, info.rate, info.bits);
}

WAVEFORMATEX DecodedFormat(const SourceInfo& info)
{
    switch (info.type) {
    case SampleType::Int16: return Record(WAVE_FORMAT_PCM, info.channels, info.rate, 16);
    case SampleType::Int32: return Record(WAVE_FORMAT_PCM, info.channels, info.rate, 32);
    case SampleType::Float: return Record(WAVE_FORMAT_IEEE_FLOAT, info.channels, info.rate, 32);
    case SampleType::Double: return Record(WAVE_FORMAT_IEEE_FLOAT, info.channels, info.rate, 64);
    }
    return Record(WAVE_FORMAT_PCM, info.channels, info.rate, 16);
}

FormatDecision NegotiateFormat(const SourceInfo& info, const FormatQuery& query)
{
    FormatDecision d;
    const WAVEFORMATEX device = DeviceFormat();
    // More channels than the record can say are refused without asking.
    const bool sayable = info.channels <= 0xFFFF;
    MMRESULT q = sayable ? query(SourceFormat(info), WAVE_FORMAT_DIRECT) : static_cast<MMRESULT>(WAVERR_BADFORMAT);
    CheckAnswer(q);
    d.queryRefused = q == WAVERR_BADFORMAT;
    d.converted = d.queryRefused || NeedsConversion(info);
    d.written = DecodedFormat(info);
    if (SameFormat(d.written, device)) {
        d.written = device;
        return d;   // the device's own format, as decoded
    }
    // The mapper converts what it takes.
    q = sayable ? query(d.written, 0) : static_cast<MMRESULT>(WAVERR_BADFORMAT);
    CheckAnswer(q);
    if (q == MMSYSERR_NOERROR) {
        d.by = ConvertedBy::Mapper;
        return d;
    }
    std::string why;
    if (!CanConvert(info, &why))
        throw Failure{kExitInput, "cannot convert '" + info.origin + "': " + why + " (the device refused " +
                                      std::to_string(info.rate) + " Hz, " + std::to_string(info.channels) +
                                      " channels)"};
    MMRESULT q2 = query(device, 0);
    if (q2 != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback,
                      "the device refuses 16-bit stereo " + std::to_string(kDeviceRate) + " Hz as well (result " +
                          std::to_string(q2) + ")"};
    d.by = ConvertedBy::Player;
    d.written = device;
    return d;
}

std::string DescribeFormat(const WAVEFORMATEX& f)
{
    return std::to_string(f.nSamplesPerSec) + " Hz, " + std::to_string(f.nChannels) +
           (f.nChannels == 1 ? " channel, " : " channels, ") + std::to_string(f.wBitsPerSample) +
           (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? "-bit float" : "-bit PCM");
}

std::string DescribeSource(const SourceInfo& info)
{
    return info.format + ", " + std::to_string(info.rate) + " Hz, " + std::to_string(info.channels) +
           (info.channels == 1 ? " channel" : " channels") + ", " +
           (info.frames >= 0 ? std::to_string(info.frames) + " frames" : "length unknown");
}

}  // namespace player
