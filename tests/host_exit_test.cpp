// The host's services as the process exits.  A detached thread of the host
// (the timer service's, which may first be scheduled after main has returned;
// a timer callback of a player that exits while playing) can call the host
// once its library has been finalised; the services such a thread reaches
// must still answer then.  A file of its own: its death test forks, and a
// process with no other test has no thread of the host or the stand-in for
// the child to inherit half-held.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/platform.h"
#include "host/realtime.h"
#include "host/registry.h"

namespace {

[[noreturn]] void LateFailure(const char* what)
{
    std::fprintf(stderr, "late call: %s\n", what);
    std::_Exit(3);
}

// Called from the late caller's finaliser, after the host library's.
void CallTheHostLate()
{
    // The first name of a thread sticks: the table is still whole.
    host::NameThisThread("late caller");
    if (host::ThreadName(GetCurrentThreadId()) != "early thread")
        LateFailure("the thread's name is lost");
    NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"late line %d"), 7);
    const std::vector<std::string> lines = host::DebugLines();
    if (lines.empty() || lines.back() != "late line 7")
        LateFailure("the debug line is lost");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(u"Software\\Late"), 0, 0, &key) != ERROR_SUCCESS)
        LateFailure("the key does not open");
    DWORD value = 0, size = sizeof value, type = 0;
    const LONG rc = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(u"Answer"), nullptr, &type,
                                     reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || value != 42)
        LateFailure("the value does not read");
    std::fprintf(stderr, "late calls answered\n");
}

// The libraries in the order they were loaded, which is the order the
// linker listed them in; they are finalised in the reverse order.
std::vector<std::string> LoadedObjects()
{
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name ? info->dlpi_name : "");
            return 0;
        },
        &names);
    return names;
}

size_t IndexOf(const std::vector<std::string>& names, const std::string& part)
{
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i].find(part) != std::string::npos)
            return i;
    return names.size();
}

TEST(HostExit, ThreadNamesDebugOutputAndRegistryAnswerAfterTheHostLibraryIsFinalised)
{
    host::ResetAll();
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Late]\n\"Answer\"=dword:0000002a\n",
                                       "late.reg", &error))
        << error;
    EXPECT_EXIT(
        {
            // Loaded after the host, so finalised after it.
            void* late = dlopen(BTWAV_LATE_CALLER_PATH, RTLD_NOW);
            const std::vector<std::string> loaded = LoadedObjects();
            if (late == nullptr || IndexOf(loaded, "libcehost") >= IndexOf(loaded, "latecaller"))
                LateFailure("the late caller is not loaded after the host");
            auto arm = reinterpret_cast<void (*)(void (*)())>(dlsym(late, "LateCallerArm"));
            if (arm == nullptr)
                LateFailure("the late caller has no LateCallerArm");
            // A thread named and a line written before, as in any run.
            host::NameThisThread("early thread");
            NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"early line"));
            arm(CallTheHostLate);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "late calls answered");
    host::ResetAll();
}

}  // namespace
