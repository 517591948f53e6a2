#include "wave/registry_setup.h"

#include <strings.h>

#include <cstdio>
#include <map>

#include "host/devicemanager.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/registry.h"

namespace player {
namespace {

std::string TypeName(uint32_t type)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "a string (REG_SZ)";
    case REG_EXPAND_SZ: return "a string (REG_EXPAND_SZ)";
    case REG_BINARY: return "binary (REG_BINARY)";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "a string list (REG_MULTI_SZ)";
    default: return "of type " + std::to_string(type);
    }
}

uint32_t Default(const std::string& name)
{
    return name == BTWAV_VALUE_SAMPLE ? kDefaultSample : name == BTWAV_VALUE_TIMER ? kDefaultTimer : kDefaultCacheLen;
}

bool ZeroTaken(const std::string& name)
{
    return name == BTWAV_VALUE_SAMPLE ? BTWAV_ZERO_TAKEN_SAMPLE
                                      : name == BTWAV_VALUE_TIMER ? BTWAV_ZERO_TAKEN_TIMER : BTWAV_ZERO_TAKEN_CACHELEN;
}

// ---- The registry as .reg text -------------------------------------------------------

std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The UTF-16 units of the data; false for an odd size.
bool Units(const std::vector<uint8_t>& data, std::u16string* units)
{
    if (data.size() % 2 != 0)
        return false;
    units->clear();
    for (size_t i = 0; i < data.size(); i += 2)
        units->push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    return true;
}

// A string a .reg line can hold: no terminator inside and no control
// character.
bool Printable(const std::u16string& s)
{
    for (char16_t c : s)
        if (c < 0x20)
            return false;
    return true;
}

// The strings of a REG_SZ (one) or REG_MULTI_SZ (several) value whose data
// is exactly what a .reg line would store; false otherwise.
bool Strings(const std::vector<uint8_t>& data, bool list, std::vector<std::string>* out)
{
    std::u16string units;
    if (!Units(data, &units) || units.empty() || units.back() != 0)
        return false;
    out->clear();
    units.pop_back();   // the terminator of the string, or of the list
    if (!list)
        return Printable(units) ? (out->push_back(host::Narrow(units)), true) : false;
    if (!units.empty() && units.back() != 0)
        return false;
    std::u16string one;
    for (char16_t c : units) {
        if (c != 0) {
            one += c;
            continue;
        }
        if (!Printable(one))
            return false;
        out->push_back(host::Narrow(one));
        one.clear();
    }
    return true;
}

std::string HexList(const std::vector<uint8_t>& data, size_t lead)
{
    std::string out;
    size_t column = lead;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string ValueLine(const host::RegistryValueView& v)
{
    std::string line = (v.name.empty() ? std::string("@") : Quote(v.name)) + "=";
    std::vector<std::string> strings;
    std::string type;
    if (v.type == REG_SZ && Strings(v.data, false, &strings)) {
        line += Quote(strings[0]);
        type = "REG_SZ";
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                     static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", n);
        line += text;
        type = "REG_DWORD " + std::to_string(n);
    } else if (v.type == host::kRegMuiSz && Strings(v.data, false, &strings)) {
        // As the file wrote it ("netmui.dll,#9001"): the page "Multilingual
        // User Interface (MUI) Registry Settings" gives the form.
        line += "mui_sz:" + Quote(strings[0]);
        type = "REG_MUI_SZ";
    } else if (v.type == REG_MULTI_SZ && Strings(v.data, true, &strings)) {
        line += "multi_sz:";
        for (size_t i = 0; i < strings.size(); ++i)
            line += (i ? "," : "") + Quote(strings[i]);
        type = "REG_MULTI_SZ";
    } else if (v.type == REG_BINARY) {
        line += "hex:" + HexList(v.data, line.size() + 4);
        type = "REG_BINARY";
    } else {
        char head[24];
        std::snprintf(head, sizeof head, "hex(%x):", v.type);
        line += head + HexList(v.data, line.size() + std::string(head).size());
        type = v.type == REG_SZ ? "REG_SZ" : v.type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : v.type == REG_DWORD ? "REG_DWORD"
               : v.type == REG_MULTI_SZ ? "REG_MULTI_SZ" : v.type == REG_NONE ? "REG_NONE" : "type " + std::to_string(v.type);
        type += ", " + std::to_string(v.data.size()) + " bytes";
    }
    return line + "   ; " + type;
}

const char* RootName(host::RegRoot root)
{
    switch (root) {
    case host::RegRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case host::RegRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case host::RegRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case host::RegRoot::Users: return "HKEY_USERS";
    }
    return "?";
}

void Section(std::string* out, const char* title, const std::vector<std::string>& lines)
{
    if (lines.empty())
        return;
    *out += std::string("; ") + title + "\n";
    for (const std::string& l : lines)
        *out += ";   " + l + "\n";
}

}  // namespace

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

namespace {

// The drivers under the bus key in boot order, each with the device name it
// gets, as holding every name in turn shows; the names are released again.
std::vector<std::string> BootOrder()
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

std::string DriverReads()
{
    std::string out = "InitBtAudioPara: ";
    for (const char* name : {BTWAV_VALUE_SAMPLE, BTWAV_VALUE_TIMER, BTWAV_VALUE_CACHELEN}) {
        uint32_t value = Default(name);
        std::string why;
        DriverReadsValue(name, &value, &why);
        out += std::string(name == std::string(BTWAV_VALUE_SAMPLE) ? "" : ", ") + name + " " +
               std::to_string(static_cast<int32_t>(value));
    }
    return out;
}

}  // namespace

bool DriverReadsValue(const std::string& name, uint32_t* value, std::string* why)
{
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    why->clear();
    if (!host::RegistryGetValue(kParamsKey, name, &type, &data))
        return false;
    if (data.size() != BTWAV_VALUE_BYTES) {
        *why = "is " + TypeName(type) + " and holds " + std::to_string(data.size()) + " bytes; the driver reads only " +
               std::to_string(BTWAV_VALUE_BYTES) + "-byte values";
        return false;
    }
    const uint32_t read = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                          static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (read == 0 && !ZeroTaken(name)) {
        *why = "is 0, which the driver does not take (" +
               std::string(name == BTWAV_VALUE_TIMER ? "a period of 0 would ask for a timer that never ticks"
                                                     : "a byte rate of 0 would stop its clock") +
               ")";
        return false;
    }
    *value = read;
    return true;
}

bool SetUpRegistry(const Options& o, RegistrySetup* setup, std::string* error)
{
    host::WriteDriverEntry();

    host::RegLoadOptions load;
    for (const auto& d : o.defines)
        load.defines[d.first] = d.second;
    load.definesLabel = "--define";
    load.environment = true;
    load.stringFiles = o.stringFiles;
    load.codePage = o.codePage;
    load.warnings = &setup->warnings;
    load.report = &setup->shaped;
    if ((!o.regFiles.empty() || !o.stringFiles.empty()) && !host::RegistryLoadFiles(o.regFiles, error, load))
        return false;
    for (const auto& set : o.sets)
        host::RegistrySetDword(kParamsKey, set.first, set.second);

    for (const char* name : {BTWAV_VALUE_SAMPLE, BTWAV_VALUE_TIMER, BTWAV_VALUE_CACHELEN}) {
        const std::string where = std::string("registry value ") + kParamsKey + "\\" + name;
        uint32_t type = REG_NONE;
        host::RegistryGetValue(kParamsKey, name, &type, nullptr);
        uint32_t value = 0;
        std::string why;
        if (!DriverReadsValue(name, &value, &why)) {
            if (!why.empty())
                setup->warnings.push_back(where + " " + why + ": the default " + std::to_string(Default(name)) +
                                          " is used");
            continue;
        }
        if (type != REG_DWORD)
            setup->warnings.push_back(where + " is " + TypeName(type) +
                                      ", not REG_DWORD: the driver takes its 4 bytes as the number " +
                                      std::to_string(value));
        if (std::string(name) == BTWAV_VALUE_TIMER)
            setup->timerMs = value;
    }
    return true;
}

namespace {

// The keys the device manager makes as it loads drivers: a registry
// loaded with them would hold each twice after the next boot (the device
// manager takes the next free number), so the dump leaves them out.
const char kBootKeys[] = "Drivers\\Active";

bool MadeAtBoot(host::RegRoot root, const std::string& path)
{
    const size_t n = sizeof kBootKeys - 1;
    return root == host::RegRoot::LocalMachine && path.size() >= n && strncasecmp(path.c_str(), kBootKeys, n) == 0 &&
           (path.size() == n || path[n] == '\\');
}

// The .reg lines of one key; nothing for a root with no values, or for a
// key the device manager makes at boot.
std::string FormatKey(host::RegRoot root, const std::string& path, const std::vector<host::RegistryValueView>& values)
{
    if ((path.empty() && values.empty()) || MadeAtBoot(root, path))
        return std::string();
    std::string out = "\n[" + std::string(RootName(root)) + (path.empty() ? "" : "\\" + path) + "]\n";
    for (const host::RegistryValueView& v : values)
        out += ValueLine(v) + "\n";
    return out;
}

const host::RegRoot kDumpOrder[] = {host::RegRoot::LocalMachine, host::RegRoot::CurrentUser,
                                    host::RegRoot::ClassesRoot, host::RegRoot::Users};

}  // namespace

std::string FormatRegistry(const std::vector<host::RegistryKeyView>& keys)
{
    std::string out;
    for (host::RegRoot root : kDumpOrder)
        for (const host::RegistryKeyView& k : keys)
            if (k.root == root)
                out += FormatKey(root, k.path, k.values);
    return out;
}

int DumpRegistry(const Options& o)
{
    RegistrySetup setup;
    std::string error;
    bool ok = SetUpRegistry(o, &setup, &error);
    for (const std::string& w : setup.warnings)
        std::fprintf(stderr, "btwav-play: warning: %s\n", w.c_str());
    if (!ok) {
        std::fprintf(stderr, "btwav-play: %s\n", error.c_str());
        return kExitRegistry;
    }
    const host::RegLoadReport& r = setup.shaped;
    std::string out = "; The registry as the device boots with it (this text is UTF-8), from:\n";
    Section(&out, "files", r.files.empty() ? std::vector<std::string>{"none (the driver's entry and defaults only)"}
                                           : host::RegTexts(r.files));
    Section(&out, "string files", r.stringFiles);
    Section(&out, "encodings", r.encodings);
    Section(&out, "variables", host::RegTexts(r.variables));
    // Not "; @CESYSGEN ...": the dump loads back, and that would be a filter line.
    Section(&out, "components (@CESYSGEN)", host::RegTexts(r.components));
    Section(&out, "strings", r.strings);
    Section(&out, "skipped", host::RegTexts(r.skipped));
    Section(&out, "messages", r.messages);
    std::vector<std::string> sets;
    for (const auto& s : o.sets)
        sets.push_back(s.first + "=" + std::to_string(s.second) + " (--set)");
    Section(&out, "set", sets);
    Section(&out, "warnings", setup.warnings);
    Section(&out, "drivers in the order the device manager loads them", BootOrder());
    Section(&out, "the driver will print", {DriverReads()});
    Section(&out, "left out", {std::string("HKEY_LOCAL_MACHINE\\") + kBootKeys +
                               " (the device manager makes its keys at boot)"});
    std::fputs(out.c_str(), stdout);
    // Written a key at a time: the text names each key by its whole path, so
    // a registry of deep keys lists far more than it holds.
    for (host::RegRoot root : kDumpOrder)
        host::RegistryVisit(root, [](host::RegRoot r, const std::string& path,
                                     const std::vector<host::RegistryValueView>& values) {
            const std::string key = FormatKey(r, path, values);
            std::fwrite(key.data(), 1, key.size(), stdout);
        });
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitOutput;
}

}  // namespace player
