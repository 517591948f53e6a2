// Loading of driver libraries and the binding of their entry points.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "host/driverlibrary.h"
#include "host/host.h"

namespace host {

namespace {
std::mutex g_dirMutex;   // guards g_driverDir; a leaf
std::string g_driverDir;

template <class T>
bool Bind(void* handle, const std::string& name, T*& out, std::string* error)
{
    dlerror();
    out = reinterpret_cast<T*>(dlsym(handle, name.c_str()));
    if (out == nullptr) {
        if (error)
            *error = "entry point " + name + " is missing";
        return false;
    }
    return true;
}
}  // namespace

std::unique_ptr<DriverModule> DriverModule::Load(const std::string& path, const std::string& prefix,
                                                 std::string* error)
{
    InstallFaultGuard();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error)
            *error = std::string("cannot load ") + path + ": " + dlerror();
        return nullptr;
    }
    std::unique_ptr<DriverModule> m(new DriverModule);
    m->handle_ = handle;
    m->path_ = path;
    DriverEntryPoints& e = m->entry_;
    bool ok = Bind(handle, "DllMain", e.DllMain, error) && Bind(handle, prefix + "_Init", e.Init, error) &&
              Bind(handle, prefix + "_Deinit", e.Deinit, error) && Bind(handle, prefix + "_Open", e.Open, error) &&
              Bind(handle, prefix + "_Close", e.Close, error) && Bind(handle, prefix + "_Read", e.Read, error) &&
              Bind(handle, prefix + "_Write", e.Write, error) && Bind(handle, prefix + "_Seek", e.Seek, error) &&
              Bind(handle, prefix + "_PowerUp", e.PowerUp, error) &&
              Bind(handle, prefix + "_PowerDown", e.PowerDown, error) &&
              Bind(handle, prefix + "_IOControl", e.IOControl, error);
    if (!ok) {
        dlclose(handle);
        m->handle_ = nullptr;
        return nullptr;
    }
    e.DllMain(static_cast<HINSTANCE>(handle), DLL_PROCESS_ATTACH, nullptr);
    return m;
}

DriverModule::~DriverModule()
{
    if (handle_) {
        entry_.DllMain(static_cast<HINSTANCE>(handle_), DLL_PROCESS_DETACH, nullptr);
        dlclose(handle_);
    }
}

void* DriverModule::Symbol(const std::string& name) const
{
    return dlsym(handle_, name.c_str());
}

bool DriverModule::IsMapped(const std::string& path)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr)
        return false;
    dlclose(h);
    return true;
}

void SetDriverDirectory(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_dirMutex);
    g_driverDir = dir;
}

std::string DriverDirectory()
{
    std::lock_guard<std::mutex> lock(g_dirMutex);
    if (!g_driverDir.empty())
        return g_driverDir;
    if (const char* env = std::getenv("BTWAV_DRIVER_DIR"))
        return env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return ".";
    std::string p(exe, static_cast<size_t>(n));
    p = p.substr(0, p.find_last_of('/'));
    return p + "/../lib";
}

std::string LibraryPathForDll(const std::string& dllName)
{
    std::string base = dllName;
    auto slash = base.find_last_of("/\\");
    if (slash != std::string::npos)
        base = base.substr(slash + 1);
    auto dot = base.rfind('.');
    if (dot != std::string::npos)
        base = base.substr(0, dot);
    return DriverDirectory() + "/lib" + base + ".so";
}

}  // namespace host
