// The registry: an in-memory tree behind RegOpenKeyExW / RegQueryValueExW /
// RegCloseKey, filled by code or from a .reg file in the platform's syntax.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Key paths use backslashes and are relative to HKEY_LOCAL_MACHINE, e.g.
// "Drivers\\BuiltIn\\WAVKELVO\\Params".  Names compare case-insensitively.
void RegistryClear();
void RegistrySetDword(const std::string& key, const std::string& name, uint32_t value);
void RegistrySetString(const std::string& key, const std::string& name, const std::string& value);
// Raw data with an explicit type (REG_BINARY, REG_DWORD with odd sizes, ...).
void RegistrySetValue(const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data);
void RegistryDeleteValue(const std::string& key, const std::string& name);
void RegistryDeleteKey(const std::string& key);
bool RegistryGetDword(const std::string& key, const std::string& name, uint32_t* value);
bool RegistryGetString(const std::string& key, const std::string& name, std::string* value);

// Loads a .reg file: "REGEDIT4" or "Windows Registry Editor Version 5.00"
// header optional; [HKEY_LOCAL_MACHINE\...] sections; "Name"=dword:hex,
// "Name"="text", "Name"=hex:aa,bb,... and hex(N): values, @ for the default
// value, ; comments, \ line continuations.  On error returns false and sets
// *error to "file:line: what was expected".
bool RegistryLoadFile(const std::string& path, std::string* error);
bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error);

}  // namespace host
