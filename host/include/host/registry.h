// The registry: an in-memory tree behind RegOpenKeyExW / RegQueryValueExW /
// RegCloseKey, filled by code or from a .reg file in the platform's syntax.
//
// The four root keys HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE
// and HKEY_USERS exist (the driver reads only HKEY_LOCAL_MACHINE; the others
// hold what a platform's .reg files put there).  RegOpenKeyExW hands out host handles
// (valid until RegCloseKey or ResetAll); a query or open through a handle
// whose key was deleted (or the registry emptied) answers ERROR_KEY_DELETED,
// even once a key of that name is made again: the handle stood for the key
// that went, not for its name.  Injected faults (Fault::RegistryOpen,
// Fault::RegistryQuery) answer ERROR_INTERNAL_ERROR.
//
// Threads and locks: every function, here and the platform's Reg* calls,
// may be called from any thread; each takes the registry's one lock for
// its own length and calls nothing while holding it, so the driver reads its
// configuration with the driver's lock held (on a message's thread or the timer
// thread) and cannot deadlock against a test filling the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
// What the registry holds: its keys (the four roots among them), the
// store's nodes for them (a chain of keys made together is one node until
// a call splits it), its values, the bytes of their data, and the heap the
// store itself takes for them (nodes, names, data and its index), for
// tests and measurements.  The store never keeps a key's path, so this
// grows with the names and data held, however deep the keys.
struct RegistryCounts {
    size_t keys = 0;
    size_t nodes = 0;
    size_t values = 0;
    size_t dataBytes = 0;
    size_t heapBytes = 0;
};
RegistryCounts RegistryCount();

// The same for any root (the forms above use HKEY_LOCAL_MACHINE).
void RegistryCreateKey(RegRoot root, const std::string& key);
void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data);
// The same, letting go of `data` once it is stored (a loaded file's values).
void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      std::vector<uint8_t>&& data);
void RegistryDeleteValue(RegRoot root, const std::string& key, const std::string& name);
void RegistryDeleteKey(RegRoot root, const std::string& key);
bool RegistryKeyExists(RegRoot root, const std::string& key);
bool RegistryGetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t* type,
                      std::vector<uint8_t>* data);

// Every key of every root with its values, a key's subkeys after it, for a
// listing of the registry as it stands.  Names keep the spelling they were
// created with.
struct RegistryValueView {
    std::string name;              // "" for the default value
    uint32_t type;
    std::vector<uint8_t> data;
};
struct RegistryKeyView {
    RegRoot root;
    std::string path;              // "" for the root itself
    std::vector<RegistryValueView> values;
};
std::vector<RegistryKeyView> RegistrySnapshot();
// The same one key at a time, for a listing that need not hold them all: a
// root's keys depth first, each key's path ("" for the root) and values.
// `each` runs with the registry's lock held and must not call into the
// registry; `path` is good for the call only.
using RegistryVisitor =
    std::function<void(RegRoot root, const std::string& path, const std::vector<RegistryValueView>& values)>;
void RegistryVisit(RegRoot root, const RegistryVisitor& each);
// The names of a key's direct subkeys ("" for the root's), in the listing's
// order, each as first written; none for a key that does not exist.
std::vector<std::string> RegistrySubkeys(RegRoot root, const std::string& key);

// ---- .reg files, as the platform's image build reads them ----------------------------
//
// The files are read as the build reads a board's platform.reg, project.reg
// and the driver files they include: every file given is merged into one
// text in order (so a #define in one file is seen by the next), filtered,
// expanded and then parsed; all of it is applied only when every line of
// every file parsed, so a broken file changes nothing.
//
// Registry syntax: "REGEDIT4" or "Windows Registry Editor Version 5.00"
// header optional; [ROOT\...] sections and [-ROOT\...] key deletions, ROOT
// one of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
// HKEY_USERS (or HKLM, HKCU, HKCR, HKU); "Name"="text" (\\ and \" escapes),
// "Name"=dword:hex, "Name"=multi_sz:"a","b",... (continued on the next line
// after a \ or after a trailing comma), "Name"=hex:aa,bb,... and
// hex(N):... with \ continuation lines, "Name"=- to delete a value; @ for the
// default value; ; comments, on their own line or after a value.  The
// encoding of each file: its byte-order mark (UTF-8, UTF-16LE, UTF-16BE),
// else UTF-16 told by its zero bytes, else UTF-8 when it is valid UTF-8,
// else the code page `codePage`, else that of the language of the variable
// LOCALE (0411: 932) or, for a string file, of its locale folder
// (...\0411\x.str), else 1252.  docs/registry.md has the details and the
// lines the readers take with a warning.
//
// The build's preprocessing, in the order the build applies it:
// - "; @CESYSGEN IF [!]COMPONENT [&& || AND OR ...]", "; @CESYSGEN ELSE",
//   "; @CESYSGEN ELSEIF ...", "; @CESYSGEN ENDIF": kept when the image holds
//   the components.  A component COMPONENT is in the image when it is given
//   as a variable (not 0), or when the list its name belongs to holds it
//   (TREE_MODULES_NAME: NAME in the variable TREE_MODULES; MODULE_NAME: NAME
//   in MODULE_COMPONENTS); a component that neither names is taken as in
//   the image (a board's files name the components its image is built
//   with), and one warning lists all such.
// - #define NAME [VALUE], #undef NAME (back to the variable's value given
//   from outside, if any); #if/#elif EXPRESSION (defined NAME,
//   defined(NAME), !, ==, !=, &&, ||, parentheses; a name stands for its
//   value, an undefined name for 0; == and != compare numbers as numbers,
//   read as hexadecimal as language identifiers are written (0409 == 409),
//   and anything else as text, ignoring case), #ifdef, #ifndef, #else,
//   #endif; #include "file" (variables expanded, \ or /, relative to the
//   including file or else to the current folder, names matched ignoring
//   case, at most 16 deep); #error
//   TEXT stops the load; #message TEXT is reported.
// - IF NAME [= VALUE] [!], ELSE, ENDIF [anything]: kept when the variable is
//   set (or equals VALUE; == works as =, != as = ... !); a trailing ! turns
//   the test round.  || and && between such tests are read as written, with
//   a warning (the build documents one test per IF).
// - $(NAME) in any line but comments and #define is replaced by the
//   variable's value, itself expanded; one that is not set stays as written,
//   with a warning (an #include naming it is not read, an #if using it is
//   false).
// - LOC_NAME placeholders in value lines are replaced by the string the .str
//   files give them (#define LOC_NAME "text"); one without a string is
//   stored as the text "LOC_NAME", with a warning.
// Variables are looked up in the files' own #defines, then in `defines`,
// then (with `environment`) in the process's environment; an empty
// environment variable counts as not set.
//
// A syntax error sets *error to "file:line: expected ..." and nothing is
// applied; so does #error ("file:line: #error TEXT").  A directory is
// refused.  Conditions that cannot be evaluated count as false, with a
// warning; unknown # directives are ignored with a warning.

// What shaped the registry, for a report: records, each with the line a
// listing shows for it (Text()).  A report counts and sorts by the fields,
// never by the wording of the lines.
struct RegFileRead {
    std::string path;
    std::string includedAt;   // "file:line" of its #include; "" for a file given
    std::string Text() const;   // "path" or "path (included at file:line)"
};
struct RegVariableUse {
    enum Source { NotSet, Given, Environment, Defined };
    std::string name;           // as first written
    Source source = NotSet;     // where its value came from
    std::string value;
    std::string label;          // Given: the options' definesLabel; Defined: "file:line" of the #define
    std::string firstAskedAt;   // NotSet: "file:line" where it was first asked for
    std::string Text() const;   // "NAME=value (where it came from)" or "NAME (not set; first asked at file:line)"
};
struct RegComponentChoice {
    std::string name;           // upper-case
    bool inImage = false;
    bool assumed = false;       // not given by any variable: taken as in the image
    std::string why;            // the variable or list that decided, or where it was first met
    std::string Text() const;   // "NAME: in the image (why)" or "NAME: not in the image (why)"
};
struct RegSkippedBlock {
    std::string file;
    int from = 0, to = 0;       // the lines of the branch left out
    std::string condition;      // the directive that began it, as written
    std::string Text() const;   // "file:from-to (CONDITION not taken)"
};
struct RegLoadReport {
    std::vector<RegFileRead> files;             // every file read, in order
    std::vector<std::string> stringFiles;       // .str files read
    std::vector<RegVariableUse> variables;      // each name once, first use first
    std::vector<RegComponentChoice> components; // each @CESYSGEN component once, first met first
    std::vector<std::string> strings;           // "LOC_NAME from file"
    std::vector<RegSkippedBlock> skipped;       // branches the conditions left out
    std::vector<std::string> messages;          // "file:line: TEXT" from #message
    std::vector<std::string> encodings;         // "path: how its bytes were read as text", every file read
};
// The listing's lines of a list of records.
template <class Record>
std::vector<std::string> RegTexts(const std::vector<Record>& records)
{
    std::vector<std::string> lines;
    for (const Record& r : records)
        lines.push_back(r.Text());
    return lines;
}

// The value type of mui_sz: (a string naming a resource: "dll,#id"), the
// platform's REG_MUI_SZ.
const uint32_t kRegMuiSz = 21;

// The most a registry file, and all the files of one load together, may
// hold: 64 MiB.  A file that says its size and is larger is refused from
// it, unread; one that does not say it and never ends (/dev/zero) is read
// to one byte past this and refused.
const size_t kRegMaxFileBytes = size_t(64) << 20;
// What $(NAME) expansion and LOC_ strings add to the lines, all of them
// together, may come to kRegExpansionFactor times the bytes read so far and
// kRegExpansionAllowance bytes more.  A kept byte costs up to three of
// memory until the load ends (the line, then its value as UTF-16), so this
// keeps a load within six times its input and a small fixed allowance;
// real files' $(NAME)s name short paths and flags, far less than their text.
const size_t kRegExpansionFactor = 1;
const size_t kRegExpansionAllowance = size_t(16) << 10;

// True for the code pages RegLoadOptions::codePage may name: 1252, 932 and
// 65001 (UTF-8).
bool RegCodePageSupported(unsigned codePage);

// Reads a file's bytes, at most `limit` of them: false with *why otherwise.
using RegFileReader = std::function<bool(const std::string& path, size_t limit, std::string* bytes, std::string* why)>;

struct RegLoadOptions {
    std::map<std::string, std::string> defines;   // variables given from outside (the player's --define)
    std::string definesLabel = "given";           // how the report names where `defines` came from
    bool environment = false;                     // also the process's environment, after `defines`
    std::vector<std::string> stringFiles;         // .str files for LOC_ placeholders
    std::vector<std::string>* warnings = nullptr; // "file:line: ..." appended here when set
    RegLoadReport* report = nullptr;              // filled when set
    unsigned codePage = 0;                        // of files neither marked nor UTF-8 (--codepage); 0: the locale's
    size_t maxFileBytes = kRegMaxFileBytes;       // the limit above (tests and the fuzz target lower it)
    RegFileReader readFile;                       // the file system when empty
};
// Reads, merges and applies the files in order; false with *error when any
// of them cannot be read or does not parse, and then nothing is applied.
bool RegistryLoadFiles(const std::vector<std::string>& paths, std::string* error,
                       const RegLoadOptions& options = RegLoadOptions());
bool RegistryLoadFile(const std::string& path, std::string* error, const RegLoadOptions& options = RegLoadOptions());
// `text` holds a file's bytes, decoded as a file's are; `sourceName` names
// it in messages and #include is resolved beside it.
bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error,
                      const RegLoadOptions& options = RegLoadOptions());

}  // namespace host
