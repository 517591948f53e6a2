#include "wave/bootorder.h"

#include "host/devicemanager.h"
#include "wave/registry_setup.h"

namespace player {

std::string LoadOrderNote(const host::BuiltInDriver& refused, const std::vector<host::BuiltInDriver>& drivers,
                          const std::string& error)
{
    for (const host::BuiltInDriver& d : drivers) {
        const std::string taken = "is taken by " + d.key;
        if (error.size() < taken.size() || error.compare(error.size() - taken.size(), taken.size(), taken) != 0)
            continue;
        if (d.hasOrder == refused.hasOrder && (!d.hasOrder || d.order == refused.order))
            return std::string(" (both have ") + (d.hasOrder ? "Order " + std::to_string(d.order) : "no Order") +
                   ": which of the two loads first is not fixed; taken here by key name)";
    }
    return std::string();
}

// The drivers under the bus key in boot order, each with the device name it
// gets, as holding every name in turn shows; the names are released again.
std::vector<std::string> BootOrderLines()
{
    std::vector<std::string> lines;
    std::vector<host::DeviceHandle> held;
    const std::vector<host::BuiltInDriver> drivers = host::BuiltInDrivers(kBuiltInKey);
    for (const host::BuiltInDriver& d : drivers) {
        std::string line = d.key + "  " + d.dll + (d.hasOrder ? "  Order " + std::to_string(d.order) : "  no Order");
        if (d.key == kDriverKey)
            line += "  (this driver)";
        std::string error;
        host::DeviceHandle h = d.prefix.empty() ? 0 : host::HoldDeviceName(d.key, &error);
        if (d.prefix.empty())
            line += ": no device name";
        else if (h == 0)
            line += ": refused, " + error.substr(d.key.size() + 2) + LoadOrderNote(d, drivers, error);
        else
            line += ": " + host::ActiveDeviceName(h);
        if (h)
            held.push_back(h);
        lines.push_back(line);
    }
    for (host::DeviceHandle h : held)
        host::DeactivateDevice(h);
    return lines;
}

}  // namespace player
