#include "wave/driverread.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/registry.h"
#include "host/wave.h"
#include "run/failure.h"
#include "run/progress.h"
#include "wave/boot.h"
#include "wave/registry_setup.h"
#include "wave/regtext.h"
#include "world/device.h"

namespace player {

std::vector<std::string> RegistryAgainstDriver(const PacingConfig& used)
{
    std::vector<std::string> warnings;
    if (!used.known)
        return warnings;
    for (const PacingValue& v : kPacingValues) {
        uint32_t type = REG_NONE;
        std::vector<uint8_t> data;
        if (!host::RegistryGetValue(kParamsKey, v.name, &type, &data))
            continue;
        const uint32_t driver = used.*(v.field);
        std::string held;
        if (type == REG_DWORD && data.size() == 4) {
            const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                               static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
            if (n == driver)
                continue;
            held = "REG_DWORD " + std::to_string(n);
        } else {
            held = RegistryTypeName(type) + (type == REG_DWORD ? "" : ", not REG_DWORD,") + " of " +
                   std::to_string(data.size()) + (data.size() == 1 ? " byte" : " bytes");
        }
        warnings.push_back(std::string("registry value ") + kParamsKey + "\\" + v.name + " is " + held +
                           ": the driver used " + std::to_string(driver) + " " + v.unit);
    }
    return warnings;
}

void WarnAgainstRegistry(const PacingConfig& used, std::vector<std::string>* warnings)
{
    for (const std::string& w : RegistryAgainstDriver(used)) {
        ConsoleLine(stderr, "btwav-play: warning: " + w);
        warnings->push_back(w);
    }
}

namespace {

// The configuration record, caught on whichever thread the driver prints.
struct Caught {
    std::mutex mu;
    bool seen = false;
    PacingConfig values;
    std::string line;
};

}  // namespace

bool StartDriverToRead(const Options& options, PacingConfig* used, std::string* line, std::string* error)
{
    Options o = options;
    o.linkAtBoot = false;   // the driver's own device, opened directly
    o.actions.clear();
    if (!o.driverDir.empty())
        host::SetDriverDirectory(o.driverDir);
    host::UseClock(host::ClockKind::Virtual);   // nothing ticks: the start alone reads the values
    Caught caught;
    host::SetDebugRecordObserver([&caught](const host::DebugRecord& r) {
        PacingConfig c;
        if (!PacingFromRecord(r, &c))
            return;
        std::lock_guard<std::mutex> lock(caught.mu);
        if (!caught.seen) {
            caught.seen = true;
            caught.values = c;
            caught.line = r.line;
        }
    });
    HostBoot boot(o);
    try {
        boot.Start([](const std::string&) {});
        WAVEFORMATEX f = DeviceFormat();
        HWAVEOUT hwo = nullptr;
        if (waveOutOpen(&hwo, boot.Target(), &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "the driver's device does not open"};
        char silence[kDeviceFrameBytes] = {};
        WAVEHDR h;
        std::memset(&h, 0, sizeof h);
        h.lpData = silence;
        h.dwBufferLength = sizeof silence;
        if (waveOutPrepareHeader(hwo, &h, sizeof h) == MMSYSERR_NOERROR) {
            waveOutWrite(hwo, &h, sizeof h);
            waveOutReset(hwo);
            waveOutUnprepareHeader(hwo, &h, sizeof h);
        }
        waveOutClose(hwo);
    } catch (const Failure& f) {
        *error = f.message;
    }
    boot.Stop();
    host::SetDebugRecordObserver(nullptr);
    std::lock_guard<std::mutex> lock(caught.mu);
    if (!caught.seen) {
        if (error->empty())
            *error = "the driver printed no configuration";
        return false;
    }
    *used = caught.values;
    *line = caught.line;
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r'))
        line->pop_back();
    return true;
}

}  // namespace player
