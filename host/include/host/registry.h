// The registry: an in-memory tree behind RegOpenKeyExW / RegQueryValueExW /
// RegCloseKey, filled by code or from a .reg file in the platform's syntax.
//
// Only HKEY_LOCAL_MACHINE exists.  RegOpenKeyExW hands out host handles
// (valid until RegCloseKey or ResetAll); a query through a handle whose key
// was deleted answers ERROR_KEY_DELETED.  Injected faults (Fault::RegistryOpen,
// Fault::RegistryQuery) answer ERROR_INTERNAL_ERROR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Key paths use backslashes and are relative to HKEY_LOCAL_MACHINE, e.g.
// "Drivers\\BuiltIn\\WAVKELVO\\Params"; "" is the root.  Empty path parts are
// ignored.  Key and value names compare case-insensitively (ASCII letters);
// the empty value name is the key's default value.  Setting a value creates
// its key and the key's parents.
void RegistryClear();
void RegistryCreateKey(const std::string& key);
void RegistrySetDword(const std::string& key, const std::string& name, uint32_t value);
// Stored as REG_SZ: UTF-16LE with its terminating zero.
void RegistrySetString(const std::string& key, const std::string& name, const std::string& value);
// Raw data with an explicit type (REG_BINARY, REG_DWORD with odd sizes, ...).
void RegistrySetValue(const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data);
void RegistryDeleteValue(const std::string& key, const std::string& name);
// Deletes the key with all its subkeys.
void RegistryDeleteKey(const std::string& key);
bool RegistryKeyExists(const std::string& key);
bool RegistryGetValue(const std::string& key, const std::string& name, uint32_t* type, std::vector<uint8_t>* data);
// REG_DWORD values of exactly 4 bytes only.
bool RegistryGetDword(const std::string& key, const std::string& name, uint32_t* value);
// REG_SZ and REG_EXPAND_SZ values, up to the first zero.
bool RegistryGetString(const std::string& key, const std::string& name, std::string* value);
// Handles RegOpenKeyExW gave out and RegCloseKey has not taken back.
size_t RegistryOpenHandles();

// Loads a .reg file: "REGEDIT4" or "Windows Registry Editor Version 5.00"
// header optional; [HKEY_LOCAL_MACHINE\...] sections and [-HKEY_LOCAL_MACHINE\...]
// key deletions; "Name"="text" (\\ and \" escapes), "Name"=dword:hex,
// "Name"=hex:aa,bb,... and hex(N):... with \ continuation lines, "Name"=- to
// delete a value; @ for the default value; ; comments, on their own line or
// after a value.  Files in UTF-8 (optional BOM) or UTF-16LE with BOM.  The
// file is applied only when all of it parses; otherwise returns false and sets
// *error to "file:line: expected ...".
bool RegistryLoadFile(const std::string& path, std::string* error);
bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error);

}  // namespace host
