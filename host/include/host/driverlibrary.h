// Driver libraries: loading a stream-interface driver library, binding its
// entry points by prefix, and unloading it (library attach on load, detach
// on unload).  The calls of the entry points in the platform's order (Init,
// Open ... IOControl ... Close, Deinit) belong to the device manager
// (host/devicemanager.h) and the wave API (host/wave.h).  Loading and
// unloading run on the caller's thread and take no lock of the host's
// besides the loader's own.
#pragma once

#include <memory>
#include <string>

#include "host/platform.h"

namespace host {

// The library entry point has the platform's calling convention (WINAPI:
// __stdcall on 32-bit x86, where a caller that disagrees unbalances the
// stack); the stream-interface entry points have the C compiler's default.
struct DriverEntryPoints {
    BOOL(WINAPI* DllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
    DWORD_PTR (*Init)(LPCWSTR, LPCVOID) = nullptr;
    BOOL (*Deinit)(DWORD_PTR) = nullptr;
    DWORD_PTR (*Open)(DWORD_PTR, DWORD, DWORD) = nullptr;
    BOOL (*Close)(DWORD_PTR) = nullptr;
    DWORD (*Read)(DWORD_PTR, LPVOID, DWORD) = nullptr;
    DWORD (*Write)(DWORD_PTR, LPCVOID, DWORD) = nullptr;
    DWORD (*Seek)(DWORD_PTR, LONG, DWORD) = nullptr;
    void (*PowerUp)(DWORD_PTR) = nullptr;
    void (*PowerDown)(DWORD_PTR) = nullptr;
    BOOL (*IOControl)(DWORD_PTR, DWORD, LPBYTE, DWORD, LPBYTE, DWORD, LPDWORD) = nullptr;
};

// One loaded driver library.  Loading calls the library entry point with
// DLL_PROCESS_ATTACH; destruction calls it with DLL_PROCESS_DETACH and
// unloads the library, so the next load starts with every global zero.
class DriverModule {
public:
    // path: the library file; prefix: the entry points' prefix ("WAV").
    // Returns null and fills *error when the library or an entry point is
    // missing.
    static std::unique_ptr<DriverModule> Load(const std::string& path, const std::string& prefix,
                                              std::string* error);
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    const DriverEntryPoints& Entry() const { return entry_; }
    // Any exported symbol of the library (internal routines, globals), for tests.
    void* Symbol(const std::string& name) const;
    template <class T>
    T* Get(const std::string& name) const { return reinterpret_cast<T*>(Symbol(name)); }
    const std::string& Path() const { return path_; }

    // True while a library with this path is mapped in the process.
    static bool IsMapped(const std::string& path);

private:
    DriverModule() = default;
    void* handle_ = nullptr;
    std::string path_;
    DriverEntryPoints entry_;
};

// Where "Dll" names from the registry are looked up: "name.dll" maps to
// "<dir>/libname.so".  Defaults to the directory of the running program's
// ../lib, or $BTWAV_DRIVER_DIR.
void SetDriverDirectory(const std::string& dir);
std::string DriverDirectory();
std::string LibraryPathForDll(const std::string& dllName);

}  // namespace host
