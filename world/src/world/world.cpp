#include "world/world.h"

#include <climits>
#include <cstring>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/wave.h"

namespace player {

std::string DeviceName(UINT id)
{
    WAVEOUTCAPS caps{};
    if (waveOutGetDevCaps(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return "?";
    WCHAR name[33] = {};
    std::memcpy(name, caps.szPname, sizeof caps.szPname);
    return host::Narrow(name);
}

std::string PreferredDescription()
{
    UINT id = 0;
    DWORD flags = 0;
    HWAVEOUT mapper = WAVE_MAPPER_HANDLE;
    if (waveOutMessage(mapper, DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&id),
                       reinterpret_cast<DWORD_PTR>(&flags)) != MMSYSERR_NOERROR)
        return "preferred device unknown";
    return "preferred device " + std::to_string(id) + " (" + DeviceName(id) + ")";
}

namespace {

uint64_t CounterNow()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart);
}

bool IsLinkAction(const TimedAction& a)
{
    return a.kind == TimedAction::LinkDown || a.kind == TimedAction::LinkBack || a.kind == TimedAction::LinkUp;
}

}  // namespace

void AddWorldSettings(const WorldOptions& o, Report* r)
{
    r->world = true;
    r->link = btstandin::Stats();
    btstandin::SendPathConfig& c = r->send;
    c = LinkConfig(o);
    c.radioKbps = c.Kbps();   // the codec's default when none was given
    if (o.interference.on) {
        r->interferenceAt = o.interference.startMs / 1000.0;
        c.interference = {0, o.interference.lengthMs * 1000000u, o.interference.share};
    }
}

World::World(const WorldOptions& options, const Setup& setup, std::vector<std::string>* warnings)
    : o_(options), setup_(setup)
{
    timeline_.reset(new Timeline(setup.frequency, setup.realClock, setup.looping, setup.packetLog));
    listener_.reset(new Listener(o_, setup.heardFile, warnings));
}

World::~World()
{
    Detach();
}

bool World::Encodes() const
{
    return (o_.headset && (!o_.heardOut.empty() || o_.playOut || setup_.heardFile)) || setup_.keepPcm;
}

void World::ModelLink()
{
    // The link carries posts through a bounded send queue and a radio; the
    // headset plays what arrives on its own clock.
    btstandin::LinkModel link;
    link.modelled = true;
    link.send = LinkConfig(o_);
    link.send.keepPcm = Encodes();
    btstandin::ModelLink(link);
    // A codec with a coder encodes the packets' samples on the stand-in's
    // encoder thread; the others carry them as they are.
    const btstandin::CodecInfo& codec = btstandin::CodecOf(link.send.codec);
    if (link.send.keepPcm && codec.Coded())
        btstandin::SetEncoder(codec.parts->makeEncoder(link.send));
}

void World::Attach(const Hooks& hooks)
{
    hooks_ = hooks;
    attached_ = true;
    host::SetDebugEcho([this](const std::string& line) {
        if (hooks_.debugLine)
            hooks_.debugLine(line);
    });
    // The driver's values come from its record's arguments, not its text.
    host::SetDebugRecordObserver([this](const host::DebugRecord& record) {
        PacingConfig values;
        if (!PacingFromRecord(record, &values))
            return;
        if (hooks_.pacing)
            hooks_.pacing(record.line, values);
        timeline_->OnPacing(record.line, values, CounterNow());
    });
    host::SetTickObserver([this](uint64_t counter) {
        if (hooks_.tick)
            hooks_.tick(counter);
        timeline_->LogTick(counter, host::CurrentTickLatenessNs());
    });
    btstandin::SetPostObserver([this](const btstandin::PostInfo& p) { timeline_->OnPost(p.counter, p.bytes, p.refused); });
    host::SetWriteObserver([this](int64_t bytes, uint64_t counter) { OnWrite(bytes, counter); });
    // The media packets as the radio delivers them: what the listener hears.
    btstandin::AddMediaSink([this](const btstandin::MediaPacket& p) {
        if (hooks_.media)
            hooks_.media(p);
        listener_->Receive(p);
        timeline_->OnMedia(p);
    });
}

void World::Detach()
{
    if (!attached_)
        return;
    attached_ = false;
    host::SetWriteObserver(nullptr);
    host::SetTickObserver(nullptr);
    host::SetDebugEcho(nullptr);
    host::SetDebugRecordObserver(nullptr);
    btstandin::SetPostObserver(nullptr);
}

// The writing thread, perhaps inside the driver's callback with its stream
// lock held: only the timeline's and the listener's own locks are taken.
void World::OnWrite(int64_t bytes, uint64_t counter)
{
    if (!started_.load() && bytes > 0) {
        const uint64_t ns = host::ClockNowNs();
        timeline_->SetStart(counter, ns);
        listener_->SetOrigin(ns);
        if (o_.interference.on)
            btstandin::SetInterference({ns + o_.interference.startMs * 1000000u, o_.interference.lengthMs * 1000000u,
                                        o_.interference.share});
        startNs_ = ns;
        started_ = true;
        // Last: a thread the hook wakes finds the world started.
        if (hooks_.firstWrite)
            hooks_.firstWrite(counter, ns);
    }
    timeline_->Log(PlayEvent::Queued, counter, bytes);
    if (hooks_.write)
        hooks_.write(bytes);
}

void World::Happen(const std::string& what, uint64_t counter)
{
    timeline_->Happen(what, counter ? counter : CounterNow());
}

uint64_t World::NextActionNs() const
{
    if (!started_.load())
        return UINT64_MAX;
    std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(actionsMutex_));
    for (size_t i = next_; i < o_.actions.size(); ++i)
        if (IsLinkAction(o_.actions[i]))
            return startNs_.load() + o_.actions[i].atMs * 1000000u;
    return UINT64_MAX;
}

void World::RunDueActions(uint64_t nowNs)
{
    for (;;) {
        TimedAction a{};
        {
            std::lock_guard<std::mutex> lock(actionsMutex_);
            while (next_ < o_.actions.size() && !IsLinkAction(o_.actions[next_]))
                ++next_;
            if (!started_.load() || next_ >= o_.actions.size() ||
                startNs_.load() + o_.actions[next_].atMs * 1000000u > nowNs)
                return;
            a = o_.actions[next_++];
        }
        if (a.kind == TimedAction::LinkDown)
            RaiseLink(false, "link down");
        else if (a.kind == TimedAction::LinkBack)
            RaiseLink(true, "link back up");
        else
            RaiseLink(true, "link up (the headset connects)");
    }
}

void World::RaiseLink(bool up, const std::string& what)
{
    btstandin::SetLink(up);
    btstandin::WaitForEvents();
    Happen(what + ", " + PreferredDescription());
}

bool World::FillWorld(Report* r)
{
    if (!listener_->Modelled())
        return false;
    r->headset = listener_->Config();
    listener_->Finish(r);
    r->encoded = Encodes();
    r->originNs = startNs_.load();
    AddWorldSettings(o_, r);
    return true;
}

bool World::FillTimeline(Report* r, bool failed, std::string* error)
{
    return timeline_->Fill(r, failed, error);
}

}  // namespace player
