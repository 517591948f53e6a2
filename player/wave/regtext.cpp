#include "wave/regtext.h"

#include <strings.h>

#include <cstdio>

#include "host/host.h"
#include "host/platform.h"

namespace player {

std::string RegistryTypeName(uint32_t type)
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

namespace {

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

}  // namespace

// The keys the device manager makes as it loads drivers: a registry
// loaded with them would hold each twice after the next boot (the device
// manager takes the next free number), so the dump leaves them out.
const char kBootKeys[] = "Drivers\\Active";

namespace {

bool MadeAtBoot(host::RegRoot root, const std::string& path)
{
    const size_t n = sizeof kBootKeys - 1;
    return root == host::RegRoot::LocalMachine && path.size() >= n && strncasecmp(path.c_str(), kBootKeys, n) == 0 &&
           (path.size() == n || path[n] == '\\');
}

// The .reg lines of one key; nothing for a root with no values, or for a
// key the device manager makes at boot.
}  // namespace

std::string FormatRegistryKey(host::RegRoot root, const std::string& path, const std::vector<host::RegistryValueView>& values)
{
    if ((path.empty() && values.empty()) || MadeAtBoot(root, path))
        return std::string();
    std::string out = "\n[" + std::string(RootName(root)) + (path.empty() ? "" : "\\" + path) + "]\n";
    for (const host::RegistryValueView& v : values)
        out += ValueLine(v) + "\n";
    return out;
}

const host::RegRoot kRegistryRootOrder[4] = {host::RegRoot::LocalMachine, host::RegRoot::CurrentUser,
                                    host::RegRoot::ClassesRoot, host::RegRoot::Users};

std::string FormatRegistry(const std::vector<host::RegistryKeyView>& keys)
{
    std::string out;
    for (host::RegRoot root : kRegistryRootOrder)
        for (const host::RegistryKeyView& k : keys)
            if (k.root == root)
                out += FormatRegistryKey(root, k.path, k.values);
    return out;
}

}  // namespace player
