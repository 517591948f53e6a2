#include "input/negotiate.h"

#include <algorithm>

#include "wave/boot.h"
#include "run/failure.h"
#include "run/options.h"

namespace player {

WAVEFORMATEX SourceFormat(const SourceInfo& info)
{
    WAVEFORMATEX f{};
    f.wFormatTag = info.formatTag;
    f.nChannels = static_cast<WORD>(std::min<uint32_t>(info.channels, 0xFFFF));
    f.nSamplesPerSec = info.rate;
    f.wBitsPerSample = info.bits;
    f.nBlockAlign = static_cast<WORD>(std::min<uint32_t>(info.channels * info.bits / 8, 0xFFFF));
    f.nAvgBytesPerSec = info.rate * f.nBlockAlign;
    return f;
}

FormatDecision NegotiateFormat(const SourceInfo& info, const FormatQuery& query)
{
    FormatDecision d;
    // More channels than the record can say are refused without asking.
    MMRESULT q = info.channels > 0xFFFF ? static_cast<MMRESULT>(WAVERR_BADFORMAT)
                                        : query(SourceFormat(info), WAVE_FORMAT_DIRECT);
    if (q != MMSYSERR_NOERROR && q != WAVERR_BADFORMAT)
        throw Failure{kExitPlayback, "WAVE_FORMAT_QUERY on WAVE_MAPPER failed with result " + std::to_string(q)};
    d.queryRefused = q == WAVERR_BADFORMAT;
    if (!d.queryRefused && !NeedsConversion(info))
        return d;
    std::string why;
    if (!CanConvert(info, &why))
        throw Failure{kExitInput, "cannot convert '" + info.origin + "': " + why + " (the device refused " +
                                      std::to_string(info.rate) + " Hz, " + std::to_string(info.channels) +
                                      " channels)"};
    MMRESULT q2 = query(DeviceFormat(), 0);
    if (q2 != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback,
                      "the device refuses 16-bit stereo " + std::to_string(kDeviceRate) + " Hz as well (result " +
                          std::to_string(q2) + ")"};
    d.converted = true;
    return d;
}

std::string DescribeSource(const SourceInfo& info)
{
    return info.format + ", " + std::to_string(info.rate) + " Hz, " + std::to_string(info.channels) +
           (info.channels == 1 ? " channel" : " channels") + ", " +
           (info.frames >= 0 ? std::to_string(info.frames) + " frames" : "length unknown");
}

}  // namespace player
