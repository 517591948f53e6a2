// The world one run plays into, as any application gets it: the link's model
// in the stand-in (codec, bitpool, radio, send queue), the headset and the
// listener, the timeline of the driver's ticks and posts and of the
// application's writes, and the link's timed changes.  Everything it knows
// of the application it learns from the host's and the stand-in's hooks (the
// write observer, the tick observer, the post observer, the media sink, the
// debug output), so the player and a program of one's own get the same.
//
// Time 0 is the application's first waveOutWrite (the write observer); the
// link's timed changes and the interference count from there.
//
// Threads: Attach, RunDueActions, Fill and Detach on one thread that holds
// no driver lock (the application's main thread, or the start library's);
// the hooks run where the host and the stand-in call them (timeline.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report/report.h"
#include "report/stagedfile.h"
#include "report/timeline.h"
#include "world/listener.h"
#include "world/options.h"

namespace player {

class World {
public:
    struct Setup {
        uint64_t frequency = 1;          // of the performance counter
        bool realClock = true;
        bool looping = false;            // the application plays a loop (the pacing's analysis)
        StagedFile* packetLog = nullptr; // the packet log when asked for (its header written)
        Output* heardFile = nullptr;     // the heard WAV output, or null
        bool keepPcm = false;            // the library encodes besides the heard audio (a stream file)
    };
    // What the application adds to the hooks, on the same threads.
    struct Hooks {
        std::function<void(uint64_t counter)> tick;
        std::function<void(const std::string& line)> debugLine;
        // The driver's configuration record, the values from its arguments
        // (after debugLine has had its line).
        std::function<void(const std::string& line, const PacingConfig& values)> pacing;
        std::function<void(const btstandin::MediaPacket& p)> media;
        std::function<void(uint64_t counter, uint64_t clockNs)> firstWrite;
        std::function<void(int64_t bytes)> write;   // each write's bytes (negative: refused)
    };

    // The listener's warnings go to *warnings.
    World(const WorldOptions& options, const Setup& setup, std::vector<std::string>* warnings);
    ~World();

    // Whether the library encodes: someone hears the decoded audio or wants
    // the stream as sent; otherwise the link is modelled by sizes alone.
    bool Encodes() const;
    // The link's model in the stand-in, before the driver loads.
    void ModelLink();
    // Installs the hooks.  Before the driver loads.
    void Attach(const Hooks& hooks);
    // Removes them; nothing of the world runs afterwards.
    void Detach();

    Timeline& Events() { return *timeline_; }
    Listener& Ear() { return *listener_; }
    // Something worth a line in the report, now or at `counter`.
    void Happen(const std::string& what, uint64_t counter = 0);
    // Whether the first write came, and its time on the host clock.
    bool Started() const { return started_.load(); }
    uint64_t StartNs() const { return startNs_.load(); }

    // The link's timed changes that the world runs itself (for an
    // application that does not): the next one's time on the host clock
    // (UINT64_MAX: none, or no write yet), and those due by `nowNs`, each
    // raised and waited for (no driver lock may be held).
    uint64_t NextActionNs() const;
    void RunDueActions(uint64_t nowNs);
    // Link up or down, waiting until the driver has handled it.
    void RaiseLink(bool up, const std::string& what);

    // The world's part of the report, after the stand-in was flushed: the
    // listener, the link's figures and settings (false when no headset was
    // modelled, and nothing is added); then the timeline (false with *error
    // when the packet log could not be written).
    bool FillWorld(Report* r);
    bool FillTimeline(Report* r, bool failed, std::string* error);

private:
    void OnWrite(int64_t bytes, uint64_t counter);

    const WorldOptions o_;
    const Setup setup_;
    std::unique_ptr<Timeline> timeline_;
    std::unique_ptr<Listener> listener_;
    Hooks hooks_;
    bool attached_ = false;
    std::atomic<bool> started_{false};
    std::atomic<uint64_t> startNs_{0};
    std::mutex actionsMutex_;                 // guards next_
    size_t next_ = 0;                         // the next link action of o_.actions
};

// A wave device's name, or "?".
std::string DeviceName(UINT id);
// "preferred device N (name)": the mapper's choice, as an application asks for it.
std::string PreferredDescription();

// The world's settings in the report's terms (the report's send and interference).
void AddWorldSettings(const WorldOptions& o, Report* r);

}  // namespace player
