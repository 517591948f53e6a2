// The platform's start for an application of one's own (host/cehost.h): the
// same boot as the player's, chosen by the environment, run when the library
// is loaded.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "appsettings.h"
#include "appworld.h"
#include "btstandin/btstandin.h"
#include "driver/config.h"
#include "host/cehost.h"
#include "host/clock.h"
#include "host/devicemanager.h"
#include "host/host.h"
#include "host/registry.h"
#include "host/wave.h"
#include "image/driverentry.h"

namespace {

std::mutex g_mutex;
bool g_started = false;
host::DeviceHandle g_device = 0;
std::thread g_linkThread;
std::atomic<uint64_t> g_packets{0}, g_bytes{0};
FILE* g_headset = nullptr;  // CEHOST_HEADSET; written by the sink only
// A setting in the player's syntax (CEHOST_WORLD, CEHOST_DEFINE, CEHOST_SET)
// or an output the world asks for could not be used.
bool g_refused = false;

std::string Env(const char* name, const char* fallback = "")
{
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

// The directory that holds libcehost, where the driver is installed too.
std::string HostLibraryDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&waveOutGetNumDevs), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string p = info.dli_fname;
    auto slash = p.find_last_of('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool Fail(const std::string& why)
{
    std::fprintf(stderr, "cehost: %s\n", why.c_str());
    return false;
}

void RaiseLinkUp()
{
    btstandin::RaiseEvent(BT_EVENT_LINK_UP);
    btstandin::WaitForEvents();
}

// Caller holds g_mutex.
bool StartLocked()
{
    const std::string clock = Env("CEHOST_CLOCK", "real");
    if (clock != "real" && clock != "virtual" && clock != "virtual-auto")
        return Fail("CEHOST_CLOCK must be real, virtual or virtual-auto, not " + clock);
    host::ResetAll();
    btstandin::Reset();
    // virtual-auto: the clock moves by itself; the thread that loads the
    // library is the program's main thread.
    host::UseClock(clock == "real"      ? host::ClockKind::Real
                   : clock == "virtual" ? host::ClockKind::Virtual
                                        : host::ClockKind::VirtualAuto);
    host::SetDriverDirectory(Env("CEHOST_DRIVER_DIR", HostLibraryDirectory().c_str()));

    std::string error;
    if (!image::RegisterDriverEntry(&error))
        return Fail(error);
    const std::string reg = Env("CEHOST_REG");
    // The file is read as the image build reads it, with the build's
    // variables taken from CEHOST_DEFINE, then the environment; then
    // CEHOST_SET's values, as the player's --define, --strings and --set.
    host::RegLoadOptions load;
    load.environment = true;
    load.definesLabel = "CEHOST_DEFINE";
    cehostapp::RegistrySets sets;
    if (!cehostapp::ParseDefines(Env("CEHOST_DEFINE"), &load.defines, &error) ||
        !cehostapp::ParseSets(Env("CEHOST_SET"), &sets, &error)) {
        g_refused = true;
        return Fail((error.compare(0, 5, "--set") == 0 ? "CEHOST_SET: " : "CEHOST_DEFINE: ") + error);
    }
    load.stringFiles = cehostapp::SplitStrings(Env("CEHOST_STRINGS"));
    std::vector<std::string> warnings;
    load.warnings = &warnings;
    std::vector<std::string> regFiles;
    if (!reg.empty())
        regFiles.push_back(reg);
    if ((!regFiles.empty() || !load.stringFiles.empty()) && !host::RegistryLoadFiles(regFiles, &error, load))
        return Fail(error);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "cehost: warning: %s\n", w.c_str());
    for (const auto& set : sets)
        host::RegistrySetDword(BTWAV_PARAMS_KEY, set.first, set.second);
    if (Env("CEHOST_DEBUG") == "1")
        host::SetDebugEcho([](const std::string& line) { std::fprintf(stderr, "%s", line.c_str()); });

    // What reaches the headset is counted; the stand-in keeps no audio of
    // its own, so a long program does not grow.
    g_packets = 0;
    g_bytes = 0;
    const std::string headset = Env("CEHOST_HEADSET");
    if (!headset.empty() && (g_headset = std::fopen(headset.c_str(), "wb")) == nullptr)
        return Fail("cannot write the headset's audio to " + headset);
    btstandin::AddSink([](const btstandin::PacketView& p) {
        g_bytes += p.size;
        ++g_packets;
        if (g_headset != nullptr)
            std::fwrite(p.audio, 1, p.size, g_headset);
    });

    // The world (CEHOST_WORLD): the link's model and the hooks before the
    // driver loads; its link options then rule the link, not CEHOST_LINK.
    const bool world = cehostapp::WorldAsked();
    if (world && !cehostapp::StartWorld(&error)) {
        g_refused = true;
        return Fail(error);
    }

    g_device = host::ActivateDevice(BTWAV_DRIVER_KEY, &error);
    if (g_device == 0)
        return Fail("cannot start the driver: " + error);
    if (world) {
        cehostapp::RaiseWorldLink();
        g_started = true;
        return true;
    }

    const std::string link = Env("CEHOST_LINK", "up");
    if (link != "up" && link != "down")
        return Fail("CEHOST_LINK must be up or down, not " + link);
    if (link == "up") {
        const long delay = std::strtol(Env("CEHOST_LINK_DELAY_MS", "0").c_str(), nullptr, 10);
        if (delay > 0 && clock == "real") {
            g_linkThread = std::thread([delay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                btstandin::RaiseEvent(BT_EVENT_LINK_UP);
            });
        } else {
            RaiseLinkUp();
        }
    }
    g_started = true;
    return true;
}

// Caller holds g_mutex.
void StopLocked()
{
    if (g_linkThread.joinable())
        g_linkThread.join();
    btstandin::WaitForEvents();
    btstandin::Flush();
    std::string text;
    cehostapp::FinishWorld(g_bytes.load(), &text);
    // The first two lines stay as they were before the world came, for the
    // programs that read them; the world's text report follows them.
    const std::string report = Env("CEHOST_REPORT");
    if (!report.empty()) {
        if (FILE* f = std::fopen(report.c_str(), "w")) {
            std::fprintf(f, "packets %llu\nheadset_bytes %llu\n", static_cast<unsigned long long>(g_packets.load()),
                         static_cast<unsigned long long>(g_bytes.load()));
            if (!text.empty())
                std::fprintf(f, "\n%s", text.c_str());
            std::fclose(f);
        }
    }
    cehostapp::StopWorld();
    if (g_device)
        host::DeactivateDevice(g_device);
    g_device = 0;
    host::ResetAll();
    btstandin::Reset();
    // The stand-in's thread has ended with the reset, so no sink writes now.
    if (g_headset != nullptr)
        std::fclose(g_headset);
    g_headset = nullptr;
    g_started = false;
}

__attribute__((constructor)) void StartAtLoad()
{
    // A world or a setting that cannot be had ends the program before main:
    // a run without it would end with no report, or the wrong one.
    if (Env("CEHOST_AUTOSTART", "1") != "0" && !CeHostStart() && g_refused) {
        std::fflush(stderr);
        _exit(2);
    }
}

// By the time libraries are finalised the exiting thread's thread-local
// records (the host's lock journal among them) are gone, so the stop runs on
// a thread of its own.
__attribute__((destructor)) void StopAtExit()
{
    std::thread([] { CeHostStop(); }).join();
}

}  // namespace

extern "C" {

BOOL CeHostStart(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_started)
        return TRUE;
    if (StartLocked())
        return TRUE;
    cehostapp::StopWorld();
    if (g_device)
        host::DeactivateDevice(g_device);
    g_device = 0;
    return FALSE;
}

void CeHostStop(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_started)
        StopLocked();
}

void CeHostAdvanceClock(DWORD ms)
{
    // The world's timed link changes are raised on the way, at their times.
    if (host::CurrentClock() == host::ClockKind::Virtual)
        cehostapp::AdvanceWorldClock(uint64_t{ms} * 1000000u);
}

BOOL CeHostDescribeMapping(HWAVEOUT hwo, char* text, UINT cchText)
{
    host::WaveMapping m;
    if (!host::DescribeWaveMapping(hwo, &m) || text == nullptr || cchText == 0)
        return FALSE;
    std::snprintf(text, cchText, "%s", host::MappingText(m).c_str());
    return TRUE;
}

}  // extern "C"
