// The registry store and the platform calls that read it.
//
// Each root key (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, ...) has one map from
// a key's normalised path (lower case, parts joined by backslashes, "" for
// the root) to its values.  Keys and values keep the spelling they were
// created with, as the platform's registry does, for the snapshot.  Open
// handles are host objects that remember the root and the path, so a handle
// outlives nothing it names.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "host/host.h"
#include "host/registry.h"
#include "host_internal.h"

#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6L
#endif
#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

namespace host {
namespace {

struct RegValue {
    std::string name;   // as first written
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string path;                         // as first written, parts joined by backslashes
    std::map<std::string, RegValue> values;   // by lower-case name
};

// What an HKEY from RegOpenKeyExW points to.
struct OpenKey {
    RegRoot root;
    std::string path;   // normalised path of the key it opened
};

constexpr int kRoots = 4;
using KeyTree = std::map<std::string, RegKey>;

// Guards the two below.  A leaf: the registry calls nothing while holding
// it, so the driver may query with g_StreamLock held (the pump's
// configuration read runs in a write or a tick).
std::mutex g_regMutex;
KeyTree g_trees[kRoots];                    // every key of each root, by normalised path; roots always exist
std::set<OpenKey*> g_handles;               // handles given out and not closed

KeyTree& TreeLocked(RegRoot root)
{
    return g_trees[static_cast<int>(root)];
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The path's non-empty parts, joined by backslashes.
std::string TidyPath(const std::string& path)
{
    std::string out, part;
    auto flush = [&] {
        if (!part.empty()) {
            if (!out.empty())
                out += '\\';
            out += part;
            part.clear();
        }
    };
    for (char c : path) {
        if (c == '\\')
            flush();
        else
            part += c;
    }
    flush();
    return out;
}

std::string NormalisePath(const std::string& path)
{
    return Lower(TidyPath(path));
}

std::string Join(const std::string& parent, const std::string& child)
{
    if (parent.empty())
        return child;
    if (child.empty())
        return parent;
    return parent + "\\" + child;
}

// Creates the key and its parents, each spelt as `path` spells it when it is
// new.  Caller holds g_regMutex.
RegKey& CreateKeyLocked(KeyTree& tree, const std::string& path)
{
    const std::string tidy = TidyPath(path);
    const std::string norm = Lower(tidy);
    const std::string* parent = &tree[""].path;
    for (size_t start = 0, pos = 0;; start = ++pos) {
        pos = norm.find('\\', pos);
        const size_t end = pos == std::string::npos ? norm.size() : pos;
        auto [it, fresh] = tree.try_emplace(norm.substr(0, end));
        if (fresh) {
            const std::string part = tidy.substr(start, end - start);
            it->second.path = parent->empty() ? part : *parent + "\\" + part;
        }
        if (pos == std::string::npos)
            return it->second;
        parent = &it->second.path;
    }
}

void ClearLocked()
{
    for (KeyTree& tree : g_trees) {
        tree.clear();
        tree[""];
    }
}

void DeleteKeyLocked(KeyTree& tree, const std::string& norm)
{
    if (norm.empty()) {
        tree.clear();
        tree[""];
        return;
    }
    const std::string prefix = norm + "\\";
    for (auto it = tree.begin(); it != tree.end();) {
        if (it->first == norm || it->first.compare(0, prefix.size(), prefix) == 0)
            it = tree.erase(it);
        else
            ++it;
    }
}

const RegValue* FindValueLocked(RegRoot root, const std::string& key, const std::string& name)
{
    KeyTree& tree = TreeLocked(root);
    auto k = tree.find(NormalisePath(key));
    if (k == tree.end())
        return nullptr;
    auto v = k->second.values.find(Lower(name));
    return v == k->second.values.end() ? nullptr : &v->second;
}

}  // namespace

void ResetRegistry()
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    ClearLocked();
    for (OpenKey* h : g_handles)
        delete h;
    g_handles.clear();
}

namespace {
// The defaults are in place from process start.
[[maybe_unused]] const bool g_defaultsLoaded = (ResetRegistry(), true);

}  // namespace

void RegistryClear()
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    ClearLocked();
}

void RegistryCreateKey(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    CreateKeyLocked(TreeLocked(root), key);
}

void RegistryCreateKey(const std::string& key)
{
    RegistryCreateKey(RegRoot::LocalMachine, key);
}

void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      std::vector<uint8_t>&& data)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    RegValue& v = CreateKeyLocked(TreeLocked(root), key).values[Lower(name)];
    if (v.name.empty())
        v.name = name;
    v.type = type;
    v.data = std::move(data);
}

void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data)
{
    RegistrySetValue(root, key, name, type, std::vector<uint8_t>(data));
}

void RegistrySetValue(const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& data)
{
    RegistrySetValue(RegRoot::LocalMachine, key, name, type, data);
}

void RegistrySetDword(const std::string& key, const std::string& name, uint32_t value)
{
    RegistrySetValue(key, name, REG_DWORD,
                     {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)});
}

void RegistrySetString(const std::string& key, const std::string& name, const std::string& value)
{
    std::u16string w = Widen(value);
    std::vector<uint8_t> data;
    for (char16_t c : w) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    RegistrySetValue(key, name, REG_SZ, data);
}

void RegistryDeleteValue(RegRoot root, const std::string& key, const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    KeyTree& tree = TreeLocked(root);
    auto k = tree.find(NormalisePath(key));
    if (k != tree.end())
        k->second.values.erase(Lower(name));
}

void RegistryDeleteValue(const std::string& key, const std::string& name)
{
    RegistryDeleteValue(RegRoot::LocalMachine, key, name);
}

void RegistryDeleteKey(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    DeleteKeyLocked(TreeLocked(root), NormalisePath(key));
}

void RegistryDeleteKey(const std::string& key)
{
    RegistryDeleteKey(RegRoot::LocalMachine, key);
}

bool RegistryKeyExists(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    return TreeLocked(root).count(NormalisePath(key)) != 0;
}

bool RegistryKeyExists(const std::string& key)
{
    return RegistryKeyExists(RegRoot::LocalMachine, key);
}

bool RegistryGetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t* type,
                      std::vector<uint8_t>* data)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    const RegValue* v = FindValueLocked(root, key, name);
    if (!v)
        return false;
    if (type)
        *type = v->type;
    if (data)
        *data = v->data;
    return true;
}

bool RegistryGetValue(const std::string& key, const std::string& name, uint32_t* type, std::vector<uint8_t>* data)
{
    return RegistryGetValue(RegRoot::LocalMachine, key, name, type, data);
}

bool RegistryGetDword(const std::string& key, const std::string& name, uint32_t* value)
{
    uint32_t type;
    std::vector<uint8_t> d;
    if (!RegistryGetValue(key, name, &type, &d) || type != REG_DWORD || d.size() != 4)
        return false;
    *value = static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 | static_cast<uint32_t>(d[2]) << 16 |
             static_cast<uint32_t>(d[3]) << 24;
    return true;
}

bool RegistryGetString(const std::string& key, const std::string& name, std::string* value)
{
    uint32_t type;
    std::vector<uint8_t> d;
    if (!RegistryGetValue(key, name, &type, &d) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::u16string w;
    for (size_t i = 0; i + 1 < d.size(); i += 2) {
        char16_t c = static_cast<char16_t>(d[i] | d[i + 1] << 8);
        if (c == 0)
            break;
        w.push_back(c);
    }
    *value = Narrow(w);
    return true;
}

size_t RegistryOpenHandles()
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_handles.size();
}

std::vector<RegistryKeyView> RegistrySnapshot()
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    std::vector<RegistryKeyView> out;
    for (int r = 0; r < kRoots; ++r) {
        for (const auto& [norm, key] : g_trees[r]) {
            RegistryKeyView view{static_cast<RegRoot>(r), key.path, {}};
            for (const auto& [lower, value] : key.values)
                view.values.push_back(RegistryValueView{value.name, value.type, value.data});
            out.push_back(std::move(view));
        }
    }
    // A key's subkeys follow it, before its next sibling.
    auto parts = [](const std::string& path) {
        std::vector<std::string> p;
        std::string lower = Lower(path);
        for (size_t start = 0; start <= lower.size();) {
            size_t end = lower.find('\\', start);
            if (end == std::string::npos)
                end = lower.size();
            p.push_back(lower.substr(start, end - start));
            start = end + 1;
        }
        return p;
    };
    std::stable_sort(out.begin(), out.end(), [&](const RegistryKeyView& a, const RegistryKeyView& b) {
        if (a.root != b.root)
            return a.root < b.root;
        return parts(a.path) < parts(b.path);
    });
    return out;
}

}  // namespace host

namespace {

// The predefined root handles' values, as on the platform: 32-bit values
// sign-extended to the pointer's width, as HKEY_LOCAL_MACHINE is.
const ULONG_PTR kRootHandleBase = static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u));   // HKEY_CLASSES_ROOT; then CURRENT_USER, LOCAL_MACHINE, USERS

// The root and path an HKEY stands for; false for a handle that is not one.
// Caller holds g_regMutex.
bool HandlePathLocked(HKEY hKey, host::RegRoot* root, std::string* path)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(hKey);
    if (value >= kRootHandleBase && value < kRootHandleBase + host::kRoots) {
        *root = static_cast<host::RegRoot>(value - kRootHandleBase);
        path->clear();
        return true;
    }
    auto* h = static_cast<host::OpenKey*>(hKey);
    if (host::g_handles.count(h) == 0)
        return false;
    *root = h->root;
    *path = h->path;
    return true;
}

}  // namespace

extern "C" {

// ulOptions and samDesired are not checked: every handle may query.
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM /*samDesired*/, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (host::ShouldFail(host::Fault::RegistryOpen))
        return ERROR_INTERNAL_ERROR;
    std::lock_guard<std::mutex> lock(host::g_regMutex);
    std::string parent;
    host::RegRoot root;
    if (!HandlePathLocked(hKey, &root, &parent))
        return ERROR_INVALID_HANDLE;
    const host::KeyTree& tree = host::TreeLocked(root);
    if (tree.count(parent) == 0)
        return ERROR_KEY_DELETED;
    std::string path = host::Join(parent, host::NormalisePath(host::Narrow(lpSubKey)));
    if (tree.count(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    auto* h = new host::OpenKey{root, path};
    host::g_handles.insert(h);
    *phkResult = static_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

// The platform's rules: the type is reported whenever the value exists; with
// no buffer the size is reported; a buffer too small for the data answers
// ERROR_MORE_DATA with the size needed and is left untouched.
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (host::ShouldFail(host::Fault::RegistryQuery))
        return ERROR_INTERNAL_ERROR;
    std::lock_guard<std::mutex> lock(host::g_regMutex);
    std::string path;
    host::RegRoot root;
    if (!HandlePathLocked(hKey, &root, &path))
        return ERROR_INVALID_HANDLE;
    const host::KeyTree& tree = host::TreeLocked(root);
    auto k = tree.find(path);
    if (k == tree.end())
        return ERROR_KEY_DELETED;
    auto v = k->second.values.find(host::Lower(host::Narrow(lpValueName)));
    if (v == k->second.values.end())
        return ERROR_FILE_NOT_FOUND;
    const host::RegValue& value = v->second;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpType)
        *lpType = value.type;
    if (lpData == nullptr) {
        if (lpcbData)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        std::memcpy(lpData, value.data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey)
{
    std::lock_guard<std::mutex> lock(host::g_regMutex);
    auto* h = static_cast<host::OpenKey*>(hKey);
    auto it = host::g_handles.find(h);
    if (it == host::g_handles.end())
        return ERROR_INVALID_HANDLE;   // a root key itself, closed twice, or never opened
    host::g_handles.erase(it);
    delete h;
    return ERROR_SUCCESS;
}

}  // extern "C"
