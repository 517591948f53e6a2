// The wave API's side of the registered drivers: each driver's record (its
// entry points, the handle every message goes through, the calls inside it)
// and its devices, registration and removal, and the message observer.
//
// Threads: RegisterWaveDriver and UnregisterWaveDriver run on the device
// manager's caller (no driver lock held); DriverDevice::Send on whichever
// thread sends a message, with no lock of the wave API held.  A driver
// record's own mutex only counts calls; it is never held across a call
// into the driver.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wavetable.h"
#include <atomic>
#include <condition_variable>

namespace host {
namespace {
// Stored in the result word before a message is sent; never a result code.
constexpr DWORD kNoResult = 0xA5A5A5A5u;

// Told about every message sent to a driver; see SetWaveMessageObserver.
std::atomic<WaveMessageObserver> g_messageObserver{nullptr};

}  // namespace

// A registered driver: its entry points, the handle every message goes
// through, and the count of calls inside it.
struct DriverLink {
    WaveDriverId id = 0;
    DriverEntryPoints entry;
    DWORD_PTR hOpen = 0;

    // Guards busy and retired; held only to count, never across the call
    // into the driver.
    std::mutex mutex;
    std::condition_variable idle;
    unsigned busy = 0;      // calls in flight
    bool retired = false;   // no new call may begin

    bool Begin()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (retired)
            return false;
        ++busy;
        return true;
    }
    void End()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (--busy == 0)
            idle.notify_all();
    }
    void Retire()
    {
        std::unique_lock<std::mutex> lock(mutex);
        retired = true;
        idle.wait(lock, [this] { return busy == 0; });
    }
};

namespace {

class DriverDevice : public Device {
public:
    DriverDevice(std::shared_ptr<DriverLink> link, UINT subDevice) : link_(std::move(link)), sub_(subDevice) {}

    Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* result) override
    {
        if (!link_->Begin())
            return Answer::Gone;
        MMDRV_MESSAGE_PARAMS params{};
        params.uDeviceId = sub_;
        params.uMsg = uMsg;
        params.dwParam1 = dw1;
        params.dwParam2 = dw2;
        DWORD out = kNoResult;
        DWORD actual = 0;
        BOOL ok = link_->entry.IOControl(link_->hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params),
                                         sizeof params, reinterpret_cast<LPBYTE>(&out), sizeof out, &actual);
        link_->End();
        if (WaveMessageObserver observe = g_messageObserver.load())
            observe(WaveMessageRecord{link_->id, sub_, uMsg, dw1, dw2, ok && out != kNoResult, out});
        if (!ok || out == kNoResult)
            return Answer::Missing;
        *result = out;
        return Answer::Given;
    }

    WaveDriverId Owner() const override { return link_->id; }

private:
    std::shared_ptr<DriverLink> link_;
    UINT sub_;
};
}  // namespace

WaveDriverId RegisterWaveDriver(const DriverEntryPoints& entry, DWORD_PTR hDeviceContext, std::string* error)
{
    auto fail = [error](const std::string& what) {
        if (error)
            *error = what;
        return WaveDriverId{0};
    };
    if (!entry.Open || !entry.Close || !entry.IOControl)
        return fail("the driver lacks Open, Close or IOControl");
    auto link = std::make_shared<DriverLink>();
    link->entry = entry;
    link->hOpen = entry.Open(hDeviceContext, 0, 0);
    if (link->hOpen == 0)
        return fail("the driver's Open failed");

    DWORD count = 0;
    DriverDevice probe(link, 0);
    if (probe.Send(WODM_GETNUMDEVS, 0, 0, &count) != Answer::Given || count == 0 || count > 64) {
        entry.Close(link->hOpen);
        return fail("the driver reports no wave-out device");
    }

    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    link->id = s.nextDriverId++;
    for (UINT i = 0; i < count; ++i)
        s.devices.push_back(std::make_shared<DriverDevice>(link, i));
    s.drivers[link->id] = link;
    return link->id;
}

bool UnregisterWaveDriver(WaveDriverId id)
{
    std::shared_ptr<DriverLink> link;
    {
        State& s = S();
        std::lock_guard<host::PiMutex> lock(s.mutex);
        auto it = s.drivers.find(id);
        if (it == s.drivers.end())
            return false;
        link = it->second;
        s.drivers.erase(it);
        s.devices.erase(std::remove_if(s.devices.begin(), s.devices.end(),
                                       [id](const std::shared_ptr<Device>& d) { return d->Owner() == id; }),
                        s.devices.end());
        if (s.preferred && s.preferred->Owner() == id)
            s.preferred.reset();
    }
    // Open handles on its devices now answer MMSYSERR_NODRIVER.
    link->Retire();
    link->entry.Close(link->hOpen);
    return true;
}

std::vector<UINT> WaveDeviceIds(WaveDriverId id)
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    std::vector<UINT> ids;
    for (size_t i = 0; i < s.devices.size(); ++i)
        if (s.devices[i]->Owner() == id)
            ids.push_back(static_cast<UINT>(i));
    return ids;
}

void SetWaveMessageObserver(WaveMessageObserver observer)
{
    g_messageObserver = observer;
}

}  // namespace host
