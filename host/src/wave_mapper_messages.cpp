// The wave mapper's own messages (the preferred device) and its
// capabilities.
//
// Threads and locks: the application's thread or a driver's (link events
// set the preferred device from the Bluetooth library's thread); the
// table's mutex is held for the message, and released before any device is
// asked for its capabilities.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wavetable.h"

namespace host {

MMRESULT MapperMessageLocked(State& s, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    switch (uMsg) {
    case DRVM_MAPPER_PREFERRED_SET:
        if (dw1 >= s.devices.size())
            return MMSYSERR_BADDEVICEID;
        s.preferred = dw1 == 0 ? nullptr : s.devices[dw1];
        s.preferredFlags = static_cast<DWORD>(dw2);
        return MMSYSERR_NOERROR;
    case DRVM_MAPPER_PREFERRED_GET:
        if (dw1 == 0)
            return MMSYSERR_INVALPARAM;
        *reinterpret_cast<UINT*>(dw1) = s.preferred ? IndexOfLocked(s, s.preferred) : 0;
        if (dw2 != 0)
            *reinterpret_cast<DWORD*>(dw2) = s.preferredFlags;
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

// The mapper describes itself: it converts every standard PCM format for
// the preferred device, so where this build converts it announces all
// twelve; otherwise what the preferred device announces.  Volume goes to
// the preferred device, so its dwSupport is the mapper's.
MMRESULT MapperCaps(LPWAVEOUTCAPS pwoc, UINT cbwoc)
{
    std::shared_ptr<Device> d = DeviceFor(WAVE_MAPPER);
    if (!d)
        return MMSYSERR_NODRIVER;
    WAVEOUTCAPS preferred{};
    MMRESULT r = SendTo(*d, WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(&preferred), sizeof preferred);
    if (r != MMSYSERR_NOERROR)
        return r;
    WAVEOUTCAPS caps{};
    caps.wMid = 1;
    caps.wPid = 2;
    caps.vDriverVersion = 0x0100;
    const char name[] = "Wave Mapper";
    for (size_t i = 0; i < sizeof name; ++i)
        caps.szPname[i] = static_cast<WCHAR>(name[i]);
    caps.dwFormats = HaveSampleConversion() ? 0x00000FFFu : preferred.dwFormats;
    caps.wChannels = HaveSampleConversion() ? 2 : preferred.wChannels;
    caps.dwSupport = preferred.dwSupport;
    std::memcpy(pwoc, &caps, std::min<size_t>(cbwoc, sizeof caps));
    return MMSYSERR_NOERROR;
}

UINT PreferredWaveDevice()
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.preferred ? IndexOfLocked(s, s.preferred) : 0;
}

std::vector<MapperMessage> MapperMessages()
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.mapperLog;
}

void ClearMapperMessages()
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    s.mapperLog.clear();
}

}  // namespace host
