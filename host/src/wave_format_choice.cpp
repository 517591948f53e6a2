// The mapper's choice of format: whether a device plays the application's
// format as it is, or which 16-bit format the mapper converts it into.
//
// Threads: the application's, inside waveOutOpen, with no lock held; the
// device is asked with WODM_OPEN and WAVE_FORMAT_QUERY.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wavetable.h"
#include <mmreg.h>

namespace host {
namespace {

// The sample format of an extensible record, or 0 when the subformat is
// neither PCM nor float.
WORD SubFormatTag(const std::vector<uint8_t>& format)
{
    if (format.size() < sizeof(WAVEFORMATEXTENSIBLE) || FormatExtraSize(format.data()) < 22)
        return 0;
    GUID sub;
    std::memcpy(&sub, format.data() + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), sizeof sub);
    if (IsEqualGUID(sub, KSDATAFORMAT_SUBTYPE_PCM))
        return WAVE_FORMAT_PCM;
    if (IsEqualGUID(sub, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
        return WAVE_FORMAT_IEEE_FLOAT;
    return 0;
}

// The tag a record stands for: its own, or its extensible subformat's.
WORD SampleTag(const std::vector<uint8_t>& format)
{
    const WORD tag = FormatTag(format.data());
    return tag == WAVE_FORMAT_EXTENSIBLE ? SubFormatTag(format) : tag;
}

// The PCM format of a WAVEFORMATEX copy, when it is one the mapper converts:
// integer PCM (8, 16 or 32 bits) or 32-bit float, given plainly or as the
// extensible record's subformat, whose block alignment matches its channels
// and width.
bool PcmOf(const std::vector<uint8_t>& format, PcmFormat* out)
{
    const uint8_t* p = format.data();
    PcmFormat f;
    f.channels = FormatChannels(p);
    f.rate = FormatRate(p);
    f.bits = FormatBits(p);
    const WORD tag = SampleTag(format);
    f.isFloat = tag == WAVE_FORMAT_IEEE_FLOAT;
    if ((tag != WAVE_FORMAT_PCM && !(f.isFloat && f.bits == 32)) || !IsConvertiblePcm(f) ||
        FormatBlockAlign(p) != f.FrameBytes())
        return false;
    *out = f;
    return true;
}

std::vector<uint8_t> FormatOf(const PcmFormat& f)
{
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = f.channels;
    w.nSamplesPerSec = f.rate;
    w.wBitsPerSample = f.bits;
    w.nBlockAlign = static_cast<WORD>(f.FrameBytes());
    w.nAvgBytesPerSec = f.rate * f.FrameBytes();
    std::vector<uint8_t> bytes(sizeof w);
    std::memcpy(bytes.data(), &w, sizeof w);
    return bytes;
}

// The first 16-bit format the device accepts, nearest the client's: its own
// rate and channel count first, then the common rates, then the other of
// mono and stereo.  False when the device takes none of them.
bool ChooseDeviceFormat(Device& d, const PcmFormat& client, PcmFormat* chosen)
{
    const uint16_t ownChannels = client.channels > 2 ? 2 : client.channels;
    const uint16_t channelOrder[2] = {ownChannels, static_cast<uint16_t>(ownChannels == 1 ? 2 : 1)};
    const uint32_t rateOrder[5] = {client.rate, 44100, 48000, 22050, 11025};
    std::vector<PcmFormat> tried;
    for (uint16_t channels : channelOrder) {
        for (uint32_t rate : rateOrder) {
            PcmFormat f{rate, channels, 16};
            if (f == client || std::find(tried.begin(), tried.end(), f) != tried.end())
                continue;
            tried.push_back(f);
            if (QueryFormat(d, FormatOf(f), 0) == MMSYSERR_NOERROR) {
                *chosen = f;
                return true;
            }
        }
    }
    return false;
}


}  // namespace

bool IsFloatFormat(const std::vector<uint8_t>& format) { return SampleTag(format) == WAVE_FORMAT_IEEE_FLOAT; }

MMRESULT QueryFormat(Device& d, const std::vector<uint8_t>& format, DWORD flags)
{
    std::vector<uint8_t> copy = format;
    WAVEOPENDESC desc{};
    desc.lpFormat = reinterpret_cast<LPWAVEFORMATEX>(copy.data());
    return SendTo(d, WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), flags | WAVE_FORMAT_QUERY);
}

// As is when the device takes the record; an extensible integer PCM record
// the device refuses is offered as the plain PCM record of the same format;
// otherwise converted.
MMRESULT PlanMapping(Device& d, const std::vector<uint8_t>& format, DWORD flags, MapperPlan* plan)
{
    MMRESULT asked = QueryFormat(d, format, flags);
    if (asked != WAVERR_BADFORMAT)
        return asked;
    if (!PcmOf(format, &plan->client))
        return WAVERR_BADFORMAT;
    if (FormatTag(format.data()) == WAVE_FORMAT_EXTENSIBLE && !plan->client.isFloat) {
        std::vector<uint8_t> plain = FormatOf(plan->client);
        if (QueryFormat(d, plain, flags) == MMSYSERR_NOERROR) {
            plan->deviceFormat = plain;
            return MMSYSERR_NOERROR;
        }
    }
    if (!HaveSampleConversion() || !ChooseDeviceFormat(d, plan->client, &plan->device))
        return WAVERR_BADFORMAT;
    plan->deviceFormat = FormatOf(plan->device);
    plan->convert = true;
    return MMSYSERR_NOERROR;
}

std::string Describe(const WAVEFORMATEX& f)
{
    std::string channels = f.nChannels == 1 ? "mono" : f.nChannels == 2 ? "stereo" : std::to_string(f.nChannels) + " channels";
    std::string width = std::to_string(f.wBitsPerSample) + (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? "-bit float" : "-bit");
    return std::to_string(f.nSamplesPerSec) + " Hz " + channels + " " + width;
}

}  // namespace host
