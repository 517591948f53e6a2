// Modules: the program and the shared libraries of the process, under the
// platform's names.  A handle is the dynamic loader's own.  Any thread, no
// lock (the loader has its own).
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "host/driverlibrary.h"
#include "host_internal.h"

namespace host {
namespace {

std::string Utf8Of(LPCWSTR s) { return s ? Narrow(s) : std::string(); }

std::string AnsiOf(LPCSTR s)
{
    if (s == nullptr || *s == 0)
        return std::string();
    int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::u16string wide(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, reinterpret_cast<WCHAR*>(&wide[0]), n);
    return Narrow(reinterpret_cast<const WCHAR*>(wide.c_str()));
}

// A platform module name (x.dll, or a path) to the shared library that
// stands for it: libx.so next to the driver, then the name as given.
void* Open(const std::string& name, int flags)
{
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* h = dlopen(LibraryPathForDll(name).c_str(), flags);
    if (h == nullptr)
        h = dlopen(name.c_str(), flags);
    if (h == nullptr)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return h;
}

HMODULE ModuleHandle(const std::string& name, bool given)
{
    if (!given)
        return static_cast<HMODULE>(dlopen(nullptr, RTLD_NOW));
    void* h = Open(name, RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr)
        dlclose(h);   // GetModuleHandle takes no reference
    return static_cast<HMODULE>(h);
}

FARPROC Proc(HMODULE module, const std::string& name)
{
    if (module == nullptr || name.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = dlsym(module, name.c_str());
    if (p == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC f;
    static_assert(sizeof f == sizeof p, "a function's address is a pointer");
    std::memcpy(&f, &p, sizeof f);
    return f;
}

}  // namespace
}  // namespace host

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    return host::ModuleHandle(host::Utf8Of(lpModuleName), lpModuleName != nullptr);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    return host::ModuleHandle(host::AnsiOf(lpModuleName), lpModuleName != nullptr);
}

HINSTANCE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    return static_cast<HINSTANCE>(host::Open(host::Utf8Of(lpLibFileName), RTLD_NOW | RTLD_LOCAL));
}

HINSTANCE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    return static_cast<HINSTANCE>(host::Open(host::AnsiOf(lpLibFileName), RTLD_NOW | RTLD_LOCAL));
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule == nullptr || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// A name below 0x10000 is an ordinal: the host's libraries export by name only.
static bool IsOrdinal(const void* name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName)
{
    if (IsOrdinal(lpProcName)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return host::Proc(hModule, host::Utf8Of(lpProcName));
}

FARPROC WINAPI GetProcAddressA(HMODULE hModule, LPCSTR lpProcName)
{
    if (IsOrdinal(lpProcName)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return host::Proc(hModule, lpProcName ? std::string(lpProcName) : std::string());
}

}  // extern "C"
