// The registry: an in-memory tree behind RegOpenKeyExW / RegQueryValueExW /
// RegCloseKey, filled by code or from a .reg file in the platform's syntax.
//
// The four root keys HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE
// and HKEY_USERS exist (the driver reads only HKEY_LOCAL_MACHINE; the others
// hold what a platform's .reg files put there).  RegOpenKeyExW hands out host handles
// (valid until RegCloseKey or ResetAll); a query through a handle whose key
// was deleted answers ERROR_KEY_DELETED.  Injected faults (Fault::RegistryOpen,
// Fault::RegistryQuery) answer ERROR_INTERNAL_ERROR.
//
// Threads and locks: every function, here and the platform's Reg* calls,
// may be called from any thread; each takes the registry's one lock for
// its own length and calls nothing while holding it, so the driver reads its
// configuration with g_StreamLock held (on a message's thread or the timer
// thread) and cannot deadlock against a test filling the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace host {

// In the order of their predefined handle values, 0x80000000 on.
enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine, Users };

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

// The same for any root (the forms above use HKEY_LOCAL_MACHINE).
void RegistryCreateKey(RegRoot root, const std::string& key);
void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data);
void RegistryDeleteValue(RegRoot root, const std::string& key, const std::string& name);
void RegistryDeleteKey(RegRoot root, const std::string& key);
bool RegistryKeyExists(RegRoot root, const std::string& key);
bool RegistryGetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t* type,
                      std::vector<uint8_t>* data);

// Loads a .reg file: "REGEDIT4" or "Windows Registry Editor Version 5.00"
// header optional; [ROOT\...] sections and [-ROOT\...] key deletions, ROOT
// one of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS
// (or HKLM, HKCU, HKCR, HKU); "Name"="text" (\\ and \" escapes),
// "Name"=dword:hex, "Name"=multi_sz:"a","b",... , "Name"=hex:aa,bb,... and
// hex(N):... with \ continuation lines, "Name"=- to delete a value; @ for
// the default value; ; comments, on their own line or after a value.  Files
// in UTF-8 (optional BOM) or UTF-16LE with BOM.
//
// Preprocessor lines, as platforms' .reg files carry them: #define NAME
// [VALUE] and #undef NAME; #if, #ifdef, #ifndef, #elif, #else and #endif,
// honoured against the names defined (a name alone is true when defined and
// not 0; defined(NAME), !, &&, || and parentheses); #include "file" (relative
// to the including file, at most 16 deep).  Lines in a branch not taken are
// not parsed; each branch not taken adds a warning "file:line: ... skipped".
// An #if it cannot evaluate is taken as false, with a warning; an unknown
// directive is ignored with a warning.
//
// All files are applied only when all of them parse; otherwise returns false
// and sets *error to "file:line: expected ...".  A directory is refused.
struct RegLoadOptions {
    std::map<std::string, std::string> defines;   // names defined before the first line
    std::vector<std::string>* warnings = nullptr; // "file:line: ..." appended here when set
};
bool RegistryLoadFile(const std::string& path, std::string* error, const RegLoadOptions& options = RegLoadOptions());
// `sourceName` names the text in messages; #include is resolved beside it.
bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error,
                      const RegLoadOptions& options = RegLoadOptions());

}  // namespace host
