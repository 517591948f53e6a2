// The registry's API and the platform calls that read it, over the store
// of regstore.h (one for all four roots, nodes 0 to 3 being the roots).
//
// Open handles are host objects that name the key's node (a key inside a
// chain of keys made together is split out of it when opened, so that it
// has a node of its own; regstore.h).  A key deleted
// while a handle to it is open (the registry emptied, its key or a parent
// deleted) leaves the handle naming no key: every query through it answers
// ERROR_KEY_DELETED until it is closed, even when a key of the same name is
// made again, for the handle stood for the key that was deleted and not
// for its name.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "host/host.h"
#include "host/registry.h"
#include "host_internal.h"
#include "regstore.h"

#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6L
#endif
#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

namespace host {
namespace {

// What an HKEY from RegOpenKeyExW points to.
struct OpenKey {
    uint32_t key;   // the store's node; RegStore::kNone once that key is deleted
};

constexpr int kRoots = 4;

// Guards the two below.  A leaf: the registry calls nothing while holding
// it, so the driver may query with its lock held (the pump's
// configuration read runs in a write or a tick).
// Never destroyed: a driver's timer callback may read its configuration as
// the process ends.
std::mutex g_regMutex;
RegStore& g_store = *new RegStore;                          // every key of every root
std::set<OpenKey*>& g_handles = *new std::set<OpenKey*>;   // handles given out and not closed

uint32_t RootNode(RegRoot root) { return static_cast<uint32_t>(root); }

// Handles whose key went: they name no key from now on, so that a key made
// later in the same slot is not taken for it.  Caller holds g_regMutex.
void ForgetDeletedKeysLocked()
{
    for (OpenKey* h : g_handles)
        if (h->key != RegStore::kNone && !g_store.Live(h->key))
            h->key = RegStore::kNone;
}

void ClearLocked()
{
    g_store.Clear();
    ForgetDeletedKeysLocked();
}

uint32_t FindKeyLocked(RegRoot root, const std::string& key)
{
    return g_store.FindPath(RootNode(root), key);
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
    g_store.CreatePath(RootNode(root), key);
}

void RegistryCreateKey(const std::string& key)
{
    RegistryCreateKey(RegRoot::LocalMachine, key);
}

void RegistrySetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
                      std::vector<uint8_t>&& data)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    const uint32_t k = g_store.CreatePath(RootNode(root), key);
    g_store.SetValue(k, name, type, data.data(), data.size());
    std::vector<uint8_t>().swap(data);   // let go of as a moved-from vector would be
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
    const uint32_t k = FindKeyLocked(root, key);
    if (k != RegStore::kNone)
        g_store.DeleteValue(k, name);
}

void RegistryDeleteValue(const std::string& key, const std::string& name)
{
    RegistryDeleteValue(RegRoot::LocalMachine, key, name);
}

void RegistryDeleteKey(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_store.DeleteKey(FindKeyLocked(root, key));
    ForgetDeletedKeysLocked();
}

void RegistryDeleteKey(const std::string& key)
{
    RegistryDeleteKey(RegRoot::LocalMachine, key);
}

bool RegistryKeyExists(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    return FindKeyLocked(root, key) != RegStore::kNone;
}

bool RegistryKeyExists(const std::string& key)
{
    return RegistryKeyExists(RegRoot::LocalMachine, key);
}

bool RegistryGetValue(RegRoot root, const std::string& key, const std::string& name, uint32_t* type,
                      std::vector<uint8_t>* data)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    const uint32_t k = FindKeyLocked(root, key);
    RegStore::Value v;
    if (k == RegStore::kNone || !g_store.GetValue(k, name, &v))
        return false;
    if (type)
        *type = v.type;
    if (data)
        data->assign(v.data, v.data + v.size);
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

RegistryCounts RegistryCount()
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    const RegStore::Counts c = g_store.Count();
    return RegistryCounts{c.keys, c.nodes, c.values, c.dataBytes, c.heapBytes};
}

void RegistryVisit(RegRoot root, const RegistryVisitor& each)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    // Depth first, a key's subkeys after it in the order of their names,
    // without recursion (a key may be as deep as a line is long).  One path
    // is kept, grown and cut back as the walk goes.
    struct Level {
        std::vector<uint32_t> children;
        size_t next = 0;
        size_t pathSize = 0;   // of `path` at this level
    };
    const std::vector<RegistryValueView> none;
    std::string path;
    std::vector<Level> stack;
    auto visit = [&](uint32_t key) {
        std::vector<RegistryValueView> values;
        for (RegStore::ValueView& v : g_store.Values(key))
            values.push_back(RegistryValueView{std::move(v.name), v.type, std::move(v.data)});
        each(root, path, values);
        stack.push_back(Level{g_store.Children(key), 0, path.size()});
    };
    visit(RootNode(root));
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.children.size()) {
            stack.pop_back();
            continue;
        }
        const uint32_t child = level.children[level.next++];
        path.resize(level.pathSize);
        // A chain's node: the keys before its last are listed on their
        // own, with no values.
        const std::string name = g_store.Name(child);
        for (size_t start = 0;;) {
            const size_t end = std::min(name.find('\\', start), name.size());
            if (!path.empty())
                path += '\\';
            path.append(name, start, end - start);
            if (end == name.size())
                break;
            each(root, path, none);
            start = end + 1;
        }
        visit(child);
    }
}

std::vector<RegistryKeyView> RegistrySnapshot()
{
    std::vector<RegistryKeyView> out;
    for (int r = 0; r < kRoots; ++r)
        RegistryVisit(static_cast<RegRoot>(r),
                      [&](RegRoot root, const std::string& path, const std::vector<RegistryValueView>& values) {
                          out.push_back(RegistryKeyView{root, path, values});
                      });
    return out;
}

std::vector<std::string> RegistrySubkeys(RegRoot root, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_regMutex);
    std::vector<std::string> out;
    const uint32_t k = key.empty() ? RootNode(root) : g_store.FindPath(RootNode(root), key);
    if (k == RegStore::kNone)
        return out;
    for (uint32_t child : g_store.Children(k)) {
        const std::string name = g_store.Name(child);
        out.push_back(name.substr(0, name.find('\\')));
    }
    return out;
}

}  // namespace host

namespace {

// The predefined root handles' values, as on the platform: 32-bit values
// sign-extended to the pointer's width, as HKEY_LOCAL_MACHINE is.
const ULONG_PTR kRootHandleBase = static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u));   // HKEY_CLASSES_ROOT; then CURRENT_USER, LOCAL_MACHINE, USERS

// The key an HKEY stands for (RegStore::kNone for an open handle whose key
// was deleted); false for a handle that is not one.  Caller holds g_regMutex.
bool HandleKeyLocked(HKEY hKey, uint32_t* key)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(hKey);
    if (value >= kRootHandleBase && value < kRootHandleBase + host::kRoots) {
        *key = static_cast<uint32_t>(value - kRootHandleBase);
        return true;
    }
    auto* h = static_cast<host::OpenKey*>(hKey);
    if (host::g_handles.count(h) == 0)
        return false;
    *key = h->key;
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
    uint32_t parent;
    if (!HandleKeyLocked(hKey, &parent))
        return ERROR_INVALID_HANDLE;
    if (parent == host::RegStore::kNone)
        return ERROR_KEY_DELETED;
    const uint32_t key = host::g_store.FindPath(parent, host::Narrow(lpSubKey));
    if (key == host::RegStore::kNone)
        return ERROR_FILE_NOT_FOUND;
    auto* h = new host::OpenKey{key};
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
    uint32_t key;
    if (!HandleKeyLocked(hKey, &key))
        return ERROR_INVALID_HANDLE;
    if (key == host::RegStore::kNone)
        return ERROR_KEY_DELETED;
    host::RegStore::Value value;
    if (!host::g_store.GetValue(key, host::Narrow(lpValueName), &value))
        return ERROR_FILE_NOT_FOUND;
    const DWORD size = static_cast<DWORD>(value.size);
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
        std::memcpy(lpData, value.data, size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Device code walks a key's subkeys by index (Drivers\Active's, to find a
// device by its Name): the name is the subkey's own part of the path, in
// the order the store lists them, which stays while nothing is added or
// deleted under the key.
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr || (lpClass && lpcchClass == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(host::g_regMutex);
        uint32_t key;
        if (!HandleKeyLocked(hKey, &key))
            return ERROR_INVALID_HANDLE;
        if (key == host::RegStore::kNone)
            return ERROR_KEY_DELETED;
        const std::vector<uint32_t> children = host::g_store.Children(key);
        if (dwIndex >= children.size())
            return ERROR_NO_MORE_ITEMS;
        const std::string path = host::g_store.Name(children[dwIndex]);
        name = host::Widen(path.substr(0, path.find('\\')));
    }
    if (*lpcchName < name.size() + 1) {
        *lpcchName = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && *lpcchClass > 0)
        lpClass[0] = 0;
    if (lpcchClass)
        *lpcchClass = 0;
    if (lpftLastWriteTime)
        lpftLastWriteTime->dwLowDateTime = lpftLastWriteTime->dwHighDateTime = 0;
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
