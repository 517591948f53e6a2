// The device manager: boots wave drivers from their registry entries and
// takes them down again.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/devicemanager.h"
#include "host/host.h"
#include "host/registry.h"
#include "host_internal.h"

namespace host {

namespace {

struct ActiveDevice {
    std::string key;
    std::string activeKey;    // "Drivers\\Active\\NN": the device's key while it is loaded
    std::u16string keyWide;   // what Init was given; kept for the device's lifetime
    std::string prefix;
    uint32_t index = 0;
    std::unique_ptr<DriverModule> module;   // null for a name held for a driver the host does not carry
    bool initCalled = false;
    DWORD_PTR hDeviceContext = 0;
    WaveDriverId wave = 0;
};

// Guards the two below.  Never held while a driver's entry point or the
// wave API runs: Init and Deinit may wait for link events, which enumerate
// the wave devices.
std::mutex g_mutex;
std::map<DeviceHandle, std::shared_ptr<ActiveDevice>> g_active;
DeviceHandle g_nextHandle = 1;
unsigned g_nextActive = 1;   // the next Drivers\Active subkey number

const char* const kActiveRoot = "Drivers\\Active";

// What the device manager lists besides the drivers it boots, neither with a
// library the host carries, so the "Key" of each names no driver entry in
// the registry:
// - the wave API manager, which the platform's registry loads as a device of
//   its own (key Drivers\BuiltIn\WAPIMAN, prefix WAM, index 1: WAM1:) before
//   any wave device, since every wave device registers with it;
// - device 0, the board's own audio output: a board's audio driver loads
//   before any other driver of the image, with the name WAV0: (index 0, which
//   leaves WAV1:, the driver's default, free; a driver entry that asks for
//   index 0 is refused as taken).
struct SystemEntry {
    const char* key;
    const char* prefix;
    uint32_t index;
};
const SystemEntry kWaveApiManager = {"Drivers\\BuiltIn\\WAPIMAN", "WAM", 1};
const SystemEntry kBuiltinOutput = {"Drivers\\BuiltIn\\Audio", "WAV", 0};

// The next free two-digit key under Drivers\Active; numbers go up and wrap
// at 100, skipping those in use.  Caller holds g_mutex.
std::string NextActiveKeyLocked()
{
    for (int tries = 0; tries < 100; ++tries) {
        const unsigned n = g_nextActive;
        g_nextActive = g_nextActive % 99 + 1;
        char name[32];
        std::snprintf(name, sizeof name, "%s\\%02u", kActiveRoot, n);
        bool used = false;
        for (const auto& [handle, d] : g_active)
            used = used || d->activeKey == name;
        if (!used && !RegistryKeyExists(name))
            return name;
    }
    return std::string();
}

// The key of the active device with this name, or "".  Caller holds g_mutex.
std::string HolderLocked(const std::string& prefix, uint32_t index)
{
    for (const auto& [handle, d] : g_active)
        if (d->index == index && strcasecmp(d->prefix.c_str(), prefix.c_str()) == 0)
            return d->key;
    return std::string();
}

// Settles the name of `d` (the lowest free index when it has none); false
// with *error when the name it asks for is taken.  Caller holds g_mutex.
bool ClaimNameLocked(ActiveDevice& d, bool indexGiven, std::string* error)
{
    if (!indexGiven) {
        d.index = 1;
        while (!HolderLocked(d.prefix, d.index).empty())
            ++d.index;
    } else if (std::string holder = HolderLocked(d.prefix, d.index); !holder.empty()) {
        if (error)
            *error = d.key + ": the device name " + d.prefix + std::to_string(d.index) + ": is taken by " + holder;
        return false;
    }
    return true;
}

// Unregisters, deinitialises and unloads; runs without g_mutex, since Deinit
// waits for link events that may enumerate the wave devices.
void TakeDown(ActiveDevice& d)
{
    if (d.wave != 0)
        UnregisterWaveDriver(d.wave);
    // A driver whose Init failed may still hold what Init set up (the wave
    // driver keeps its lock then); Deinit with a 0 context releases it before
    // the library goes, where the platform would simply unload it.
    if (d.module && d.initCalled)
        d.module->Entry().Deinit(d.hDeviceContext);
    d.module.reset();
    if (!d.activeKey.empty())
        RegistryDeleteKey(d.activeKey);
}

// Writes a loaded device's key under Drivers\Active, as the platform keeps
// it: its file name, the key it was loaded from and its handle.
void WriteActiveKey(const ActiveDevice& d, DeviceHandle handle)
{
    RegistryCreateKey(d.activeKey);
    RegistrySetString(d.activeKey, "Name", d.prefix + std::to_string(d.index) + ":");
    RegistrySetString(d.activeKey, "Key", d.key);
    RegistrySetDword(d.activeKey, "Hnd", handle);
}

// A system entry listed, whose key the caller writes once g_mutex is free.
struct Listed {
    std::shared_ptr<ActiveDevice> device;
    DeviceHandle handle = 0;
};

// Lists `e` unless it is listed already.  Caller holds g_mutex.
void ListSystemEntryLocked(const SystemEntry& e, std::vector<Listed>* listed)
{
    for (const auto& [h, d] : g_active)
        if (d->key == e.key)
            return;
    auto d = std::make_shared<ActiveDevice>();
    d->key = e.key;
    d->prefix = e.prefix;
    d->index = e.index;
    d->activeKey = NextActiveKeyLocked();
    if (d->activeKey.empty())
        return;
    const DeviceHandle handle = g_nextHandle++;
    g_active[handle] = d;
    listed->push_back({d, handle});
}

// Lists the wave API manager, then device 0 (while the wave API has it),
// before the first driver is activated or holds a name; a reset takes them
// down with the rest.  Caller holds g_mutex.  `builtinPresent`: whether the
// wave API has device 0, asked before g_mutex was taken.
std::vector<Listed> ListSystemLocked(bool builtinPresent)
{
    std::vector<Listed> listed;
    ListSystemEntryLocked(kWaveApiManager, &listed);
    if (builtinPresent)
        ListSystemEntryLocked(kBuiltinOutput, &listed);
    return listed;
}

void WriteListed(const std::vector<Listed>& listed)
{
    for (const Listed& l : listed)
        WriteActiveKey(*l.device, l.handle);
}

}  // namespace

void ResetDeviceManager()
{
    std::map<DeviceHandle, std::shared_ptr<ActiveDevice>> active;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        active.swap(g_active);
        g_nextActive = 1;
    }
    // Newest first, the reverse of the boot order.
    for (auto it = active.rbegin(); it != active.rend(); ++it)
        TakeDown(*it->second);
}

DeviceHandle ActivateDevice(const std::string& key, std::string* error)
{
    auto fail = [error](const std::string& what) {
        if (error)
            *error = what;
        return DeviceHandle{0};
    };
    auto d = std::make_shared<ActiveDevice>();
    d->key = key;
    std::string dll;
    if (!RegistryGetString(key, "Dll", &dll))
        return fail(key + ": no \"Dll\" value");
    if (!RegistryGetString(key, "Prefix", &d->prefix) || d->prefix.empty())
        return fail(key + ": no \"Prefix\" value");
    bool indexGiven = RegistryGetDword(key, "Index", &d->index);

    // The name is claimed now, so two activations cannot take the same one.
    DeviceHandle handle;
    std::vector<Listed> listed;
    const bool builtinPresent = BuiltinOutputPresent();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        listed = ListSystemLocked(builtinPresent);
        if (!ClaimNameLocked(*d, indexGiven, error))
            return 0;
        handle = g_nextHandle++;
        d->activeKey = NextActiveKeyLocked();
        if (d->activeKey.empty())
            return fail(key + ": no free key under Drivers\\Active");
        g_active[handle] = d;
    }
    // The device's key while it is loaded; Init is given this key's path.
    WriteListed(listed);
    WriteActiveKey(*d, handle);
    auto undo = [&](const std::string& what) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_active.erase(handle);
        }
        TakeDown(*d);
        return fail(what);
    };

    std::string loadError;
    d->module = DriverModule::Load(LibraryPathForDll(dll), d->prefix, &loadError);
    if (!d->module)
        return undo(key + ": " + loadError);
    d->keyWide = Widen(d->activeKey);
    d->initCalled = true;
    d->hDeviceContext = d->module->Entry().Init(reinterpret_cast<LPCWSTR>(d->keyWide.c_str()), nullptr);
    if (d->hDeviceContext == 0)
        return undo(key + ": " + d->prefix + "_Init failed");
    std::string waveError;
    d->wave = RegisterWaveDriver(d->module->Entry(), d->hDeviceContext, &waveError);
    if (d->wave == 0)
        return undo(key + ": " + waveError);
    return handle;
}

DeviceHandle HoldDeviceName(const std::string& key, std::string* error)
{
    auto d = std::make_shared<ActiveDevice>();
    d->key = key;
    if (!RegistryGetString(key, "Prefix", &d->prefix) || d->prefix.empty()) {
        if (error)
            *error = key + ": no \"Prefix\" value, so no device name to hold";
        return 0;
    }
    bool indexGiven = RegistryGetDword(key, "Index", &d->index);
    DeviceHandle handle = 0;
    std::vector<Listed> listed;
    const bool builtinPresent = BuiltinOutputPresent();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        listed = ListSystemLocked(builtinPresent);
        if (ClaimNameLocked(*d, indexGiven, error)) {
            handle = g_nextHandle++;
            g_active[handle] = d;
        }
    }
    WriteListed(listed);
    return handle;
}

std::vector<BuiltInDriver> BuiltInDrivers(const std::string& root)
{
    std::vector<BuiltInDriver> out;
    // The root's subkeys by name, as the device manager enumerates them: not
    // a listing of the whole registry, whose keys may be as deep as a line.
    for (const std::string& name : RegistrySubkeys(RegRoot::LocalMachine, root)) {
        BuiltInDriver d;
        d.key = root + "\\" + name;
        if (!RegistryGetString(d.key, "Dll", &d.dll))
            continue;
        RegistryGetString(d.key, "Prefix", &d.prefix);
        d.hasIndex = RegistryGetDword(d.key, "Index", &d.index);
        d.hasOrder = RegistryGetDword(d.key, "Order", &d.order);
        out.push_back(d);
    }
    std::stable_sort(out.begin(), out.end(), [](const BuiltInDriver& a, const BuiltInDriver& b) {
        if (a.hasOrder != b.hasOrder)
            return a.hasOrder;
        if (a.hasOrder && a.order != b.order)
            return a.order < b.order;
        return strcasecmp(a.key.c_str(), b.key.c_str()) < 0;
    });
    return out;
}

bool DeactivateDevice(DeviceHandle device)
{
    std::shared_ptr<ActiveDevice> d;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_active.find(device);
        if (it == g_active.end())
            return false;
        d = it->second;
        g_active.erase(it);
    }
    TakeDown(*d);
    return true;
}

namespace {
std::shared_ptr<ActiveDevice> Find(DeviceHandle device)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_active.find(device);
    return it == g_active.end() ? nullptr : it->second;
}
}  // namespace

DriverModule* ActiveDeviceModule(DeviceHandle device)
{
    auto d = Find(device);
    return d ? d->module.get() : nullptr;
}

WaveDriverId ActiveDeviceWaveDriver(DeviceHandle device)
{
    auto d = Find(device);
    return d ? d->wave : 0;
}

std::string ActiveDeviceName(DeviceHandle device)
{
    auto d = Find(device);
    return d ? d->prefix + std::to_string(d->index) + ":" : std::string();
}

std::string ActiveDeviceKey(DeviceHandle device)
{
    auto d = Find(device);
    return d ? d->activeKey : std::string();
}

}  // namespace host
