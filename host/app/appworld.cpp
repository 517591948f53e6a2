// The world for an application of one's own (appworld.h), over libbtworld:
// the same world, options and report as the player's.
#include "appworld.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "report/outputs.h"
#include "report/plot.h"
#include "report/report.h"
#include "report/stagedfile.h"
#include "report/verdict.h"
#include "world/device.h"
#include "world/world.h"

namespace cehostapp {
namespace {

using player::World;

struct AppWorld {
    player::WorldOptions options;
    std::unique_ptr<World> world;
    player::StagedFile heardFile, plotFile, jsonFile;
    std::unique_ptr<player::WavOutput> heardWav;
    std::atomic<uint64_t> written{0};     // bytes the application wrote, in the device's format
    std::atomic<int64_t> firstWriteWallNs{-1};   // steady clock at the first write
    std::vector<std::string> warnings;
    std::thread actions;                  // real clock: the link's timed changes
    HANDLE autoActions = nullptr;         // self-moving clock: the same, a thread the host knows
    HANDLE autoWake = nullptr;            // its event: the first write, or the end
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};

AppWorld* g_world = nullptr;

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool RealClock()
{
    return host::CurrentClock() == host::ClockKind::Real;
}

// The program's name, as the report names it.
std::string ProgramName()
{
    std::ifstream f("/proc/self/cmdline");
    std::string name;
    std::getline(f, name, '\0');
    return name.empty() ? std::string("the application") : name;
}

int64_t WallNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool CreateOutput(const char* variable, player::StagedFile* file, std::string* error)
{
    const std::string path = Env(variable);
    if (path.empty())
        return true;
    if (!file->Create(path, error)) {
        *error = std::string(variable) + ": " + *error;
        return false;
    }
    return true;
}

// Real clock: the link's timed changes, each raised when due (time 0 is the
// application's first write).
void RunActions(AppWorld* w)
{
    std::unique_lock<std::mutex> lock(w->mutex);
    while (!w->stopping) {
        const uint64_t next = w->world->NextActionNs();
        const uint64_t now = host::ClockNowNs();
        if (next != UINT64_MAX && next <= now) {
            lock.unlock();
            w->world->RunDueActions(now);
            lock.lock();
            continue;
        }
        // Before the first write the next change is not known: look again soon.
        const uint64_t waitNs = next == UINT64_MAX ? 5000000u : std::min<uint64_t>(next - now, 5000000u);
        w->wake.wait_for(lock, std::chrono::nanoseconds(waitNs));
    }
}

// The self-moving clock: the link's timed changes raised by a thread the
// host knows, waiting in the platform's own calls, so the clock jumps to each
// change as it jumps to a tick (a change due inside a millisecond is raised
// at the millisecond's end).  Before the first write it waits for it; after
// the last change it ends.  A program that hangs leaves it waiting for ever
// too, so the hang is seen.
DWORD WINAPI RunActionsAuto(LPVOID param)
{
    AppWorld* w = static_cast<AppWorld*>(param);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            if (w->stopping)
                return 0;
        }
        const uint64_t next = w->world->NextActionNs();
        const uint64_t now = host::ClockNowNs();
        if (next == UINT64_MAX && w->world->Started())
            return 0;
        if (next != UINT64_MAX && next <= now) {
            w->world->RunDueActions(now);
            continue;
        }
        const DWORD ms = next == UINT64_MAX ? INFINITE : static_cast<DWORD>((next - now + 999999) / 1000000);
        WaitForSingleObject(w->autoWake, ms);
    }
}

}  // namespace

bool WorldAsked()
{
    for (const char* name : {"CEHOST_WORLD", "CEHOST_REPORT_JSON", "CEHOST_PLOT", "CEHOST_HEARD"})
        if (std::getenv(name) != nullptr)
            return true;
    return false;
}

bool StartWorld(std::string* error)
{
    std::unique_ptr<AppWorld> w(new AppWorld);
    std::string why;
    if (!player::ParseWorldOptions(Env("CEHOST_WORLD"), &w->options, &why)) {
        *error = "CEHOST_WORLD: " + why;
        return false;
    }
    if (!Env("CEHOST_HEARD").empty())
        w->options.heardOut = Env("CEHOST_HEARD");
    if (!w->options.heardOut.empty() && !w->options.headset) {
        *error = "CEHOST_HEARD needs the headset model (drop --no-headset from CEHOST_WORLD)";
        return false;
    }
    // --heard in CEHOST_WORLD and CEHOST_HEARD name the same output.
    if (!w->options.heardOut.empty() && !w->heardFile.Create(w->options.heardOut, error))
        return false;
    if (!CreateOutput("CEHOST_PLOT", &w->plotFile, error) || !CreateOutput("CEHOST_REPORT_JSON", &w->jsonFile, error))
        return false;
    if (w->heardFile.IsOpen()) {
        w->heardWav.reset(new player::WavOutput(&w->heardFile));
        if (!w->heardWav->Open(error))
            return false;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    World::Setup setup;
    setup.frequency = static_cast<uint64_t>(frequency.QuadPart);
    setup.realClock = RealClock();
    setup.heardFile = w->heardWav.get();
    w->world.reset(new World(w->options, setup, &w->warnings));
    for (const std::string& warning : w->warnings)
        std::fprintf(stderr, "cehost: warning: %s\n", warning.c_str());
    World::Hooks hooks;
    AppWorld* raw = w.get();
    hooks.write = [raw](int64_t bytes) { raw->written += static_cast<uint64_t>(bytes); };
    hooks.firstWrite = [raw](uint64_t, uint64_t) {
        raw->firstWriteWallNs = WallNs();
        if (raw->autoWake != nullptr)
            SetEvent(raw->autoWake);
    };
    if (Env("CEHOST_DEBUG") == "1")
        hooks.debugLine = [](const std::string& line) { std::fprintf(stderr, "%s", line.c_str()); };
    w->world->Attach(hooks);
    w->world->ModelLink();
    g_world = w.release();
    return true;
}

void RaiseWorldLink()
{
    AppWorld* w = g_world;
    if (!w)
        return;
    if (w->options.linkAtBoot) {
        if (RealClock())
            std::this_thread::sleep_for(std::chrono::milliseconds(w->options.linkDelayMs));
        else
            host::AdvanceVirtualMs(w->options.linkDelayMs);
        w->world->RaiseLink(true, "link up");
    } else {
        bool later = false;
        for (const player::TimedAction& a : w->options.actions)
            later = later || a.kind == player::TimedAction::LinkUp;
        w->world->Happen(later ? "no link yet: the application opens before the headset connects"
                               : "no link: the headset never connects");
    }
    if (RealClock()) {
        w->actions = std::thread(RunActions, w);
    } else if (host::VirtualClockMovesByItself() && !w->options.actions.empty()) {
        w->autoWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        w->autoActions = CreateThread(nullptr, 0, RunActionsAuto, w, 0, nullptr);
    }
}

void AdvanceWorldClock(uint64_t ns)
{
    AppWorld* w = g_world;
    const uint64_t target = host::VirtualNowNs() + ns;
    while (w) {
        const uint64_t next = w->world->NextActionNs();
        if (next > target)
            break;
        const uint64_t now = host::VirtualNowNs();
        if (next > now)
            host::AdvanceVirtualNs(next - now);
        w->world->RunDueActions(host::VirtualNowNs());
    }
    const uint64_t now = host::VirtualNowNs();
    if (target > now)
        host::AdvanceVirtualNs(target - now);
}

void FinishWorld(uint64_t bytes, std::string* text)
{
    text->clear();
    AppWorld* w = g_world;
    if (!w)
        return;
    if (w->actions.joinable()) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->stopping = true;
        }
        w->wake.notify_all();
        w->actions.join();
    }
    if (w->autoActions != nullptr) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->stopping = true;
        }
        SetEvent(w->autoWake);
        WaitForSingleObject(w->autoActions, INFINITE);
        CloseHandle(w->autoActions);
        CloseHandle(w->autoWake);
        w->autoActions = w->autoWake = nullptr;
    }
    // What the library's encoder still holds goes out before the figures.
    btstandin::EndStream();
    btstandin::Flush();
    player::Report r;
    r.application = true;
    r.program = ProgramName();
    r.source = r.program;
    r.clock = RealClock() ? "real" : "virtual";
    r.bytesWritten = w->written.load();
    r.audioSeconds = static_cast<double>(r.bytesWritten) / player::kDeviceBytesPerSecond;
    r.comparison.expected = r.bytesWritten;
    r.comparison.received = bytes;
    r.warnings = w->warnings;
    // From the first write to the end: on the wall and on the playback clock.
    if (w->world->Started()) {
        r.wallSeconds = static_cast<double>(WallNs() - w->firstWriteWallNs.load()) / 1e9;
        r.clockSeconds = static_cast<double>(host::ClockNowNs() - w->world->StartNs()) / 1e9;
    }
    std::string error;
    w->world->FillWorld(&r);
    if (!w->world->FillTimeline(&r, false, &error))
        std::fprintf(stderr, "cehost: %s\n", error.c_str());
    // The listener's verdict, by the player's rules (its --allow in CEHOST_WORLD).
    r.allow = w->options.allow;
    r.verdict = player::Judge(r, r.allow);
    r.exitCode = r.verdict.code;
    player::AddPeakMemory(&r);
    auto commit = [&](player::StagedFile& f, const std::string& content, const char* what) {
        if (!f.IsOpen())
            return;
        std::string why;
        if ((!content.empty() && !f.WriteAll(content, &why)) || !f.Commit(&why))
            std::fprintf(stderr, "cehost: cannot write the %s: %s\n", what, why.c_str());
    };
    if (w->heardWav) {
        std::string why;
        if (!w->heardWav->Finish(&why))
            std::fprintf(stderr, "cehost: cannot write the heard audio: %s\n", why.c_str());
        commit(w->heardFile, "", "heard audio");
    }
    if (w->plotFile.IsOpen())
        commit(w->plotFile, player::FormatSvg(r), "plot");
    if (w->jsonFile.IsOpen())
        commit(w->jsonFile, player::FormatJson(r), "JSON report");
    *text = player::FormatText(r);
}

void StopWorld()
{
    AppWorld* w = g_world;
    if (!w)
        return;
    g_world = nullptr;
    w->world->Detach();
    delete w;
}

}  // namespace cehostapp
