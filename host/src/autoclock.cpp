// The self-moving virtual clock's ledger (autoclock.h).
#include "autoclock.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <condition_variable>
#include <sstream>
#include <thread>
#include <vector>

#include "clock_service.h"
#include "host/host.h"
#include "host/realtime.h"
#include "kernel_state.h"

namespace host {
namespace autoclock {
namespace {

struct Entry {
    bool blocked = false;
    bool woken = false;             // put back on `running` by a waker or a time-out
    const void* on = nullptr;
    const char* call = "";
    DWORD timeoutMs = INFINITE;
    bool timed = false;
    uint64_t deadlineNs = 0;
    Poke poke = Poke::Ledger;
    std::atomic<bool>* timedOut = nullptr;
    const std::function<std::string()>* describe = nullptr;
};

struct Ledger {
    std::mutex m;
    std::condition_variable cv;   // Ledger-poked waits
    std::map<DWORD, Entry> threads;
    int running = 0;
    std::function<void(const HungReport&)> hungHandler;
    uint64_t pollWarnings = 0;
};

std::atomic<bool> g_on{false};
thread_local bool t_service = false;
thread_local uint64_t t_polls = 0;
thread_local uint64_t t_pollWarned = 0;   // the ledger's run in which this thread was told
std::atomic<uint64_t> g_run{1};            // bumped by every Restart
// A thread that reads the clock this often without waiting in between is
// said to poll it.
constexpr uint64_t kPollLimit = uint64_t(1) << 24;

Ledger& L()
{
    static Ledger* l = new Ledger;   // never destroyed: detached threads leave it late
    return *l;
}

// The service thread may be waiting for the count to reach 0.
void NudgeService()
{
    clocks::ClockService& s = clocks::Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    clocks::WakeServiceLocked(s);
}

void LeaveLedger();

// A thread that joined by itself leaves as it ends.
struct Leaver {
    bool joined = false;
    ~Leaver()
    {
        if (joined)
            LeaveLedger();
    }
};
thread_local Leaver t_leaver;

// Caller holds l.m.  The calling thread's entry, joining it when unknown: a
// thread the host did not create (a pthread of the program's own) becomes
// known at its first wait, counted from then on until it ends.
Entry& SelfLocked(Ledger& l)
{
    const DWORD self = GetCurrentThreadId();
    auto it = l.threads.find(self);
    if (it == l.threads.end()) {
        it = l.threads.emplace(self, Entry{}).first;
        ++l.running;
        t_leaver.joined = true;
    }
    return it->second;
}

}  // namespace

const char kMessageWait = 0;

bool On() { return g_on.load(std::memory_order_acquire); }

void Restart(bool on)
{
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    l.threads.clear();
    l.running = 0;
    g_run.fetch_add(1, std::memory_order_relaxed);
    g_on.store(on, std::memory_order_release);
    if (on && !t_service) {
        l.threads.emplace(GetCurrentThreadId(), Entry{});
        ++l.running;
    }
}

void MarkServiceThread() { t_service = true; }
bool OnService() { return t_service; }

void AddSlot()
{
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    ++l.running;
}

void Attach(bool slot)
{
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    if (l.threads.emplace(GetCurrentThreadId(), Entry{}).second) {
        if (!slot)
            ++l.running;
    } else if (slot) {
        --l.running;   // already known: the slot is not needed
    }
}

namespace {
void LeaveLedger() { Detach(); }
}  // namespace

void Detach()
{
    Ledger& l = L();
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(l.m);
        if (l.threads.erase(GetCurrentThreadId()) == 0)
            return;
        idle = --l.running == 0;
    }
    if (idle)
        NudgeService();
}

Blocked::Blocked(const char* call, const void* on, DWORD timeoutMs, Poke poke, std::function<std::string()> describe)
    : describe_(std::move(describe))
{
    if (!On() || t_service)
        return;
    t_polls = 0;
    const uint64_t now = ClockNowNs();
    Ledger& l = L();
    bool idle;
    {
        std::lock_guard<std::mutex> lock(l.m);
        Entry& e = SelfLocked(l);
        e.blocked = true;
        e.woken = false;
        e.on = on;
        e.call = call;
        e.timeoutMs = timeoutMs;
        e.timed = timeoutMs != INFINITE;
        e.deadlineNs = now + static_cast<uint64_t>(timeoutMs) * clocks::kNsPerMs;
        e.poke = poke;
        e.timedOut = &timedOut_;
        e.describe = &describe_;
        idle = --l.running == 0;
    }
    active_ = true;
    if (idle)
        NudgeService();
}

Blocked::~Blocked()
{
    if (!active_)
        return;
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    auto it = l.threads.find(GetCurrentThreadId());
    if (it == l.threads.end())
        return;   // the ledger restarted meanwhile
    Entry& e = it->second;
    if (e.blocked && !e.woken)
        ++l.running;
    e.blocked = false;
    e.woken = false;
    e.timedOut = nullptr;
    e.describe = nullptr;
}

void Blocked::WaitHere()
{
    Ledger& l = L();
    std::unique_lock<std::mutex> lock(l.m);
    l.cv.wait(lock, [&] {
        auto it = l.threads.find(GetCurrentThreadId());
        return it == l.threads.end() || it->second.woken;
    });
}

void Wake(DWORD tid, const void* on)
{
    if (!On())
        return;
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    auto it = l.threads.find(tid);
    if (it == l.threads.end())
        return;
    Entry& e = it->second;
    if (e.blocked && !e.woken && e.on == on) {
        e.woken = true;
        ++l.running;
    }
}

void WakeAll(const void* on)
{
    Ledger& l = L();
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(l.m);
        for (auto& kv : l.threads) {
            Entry& e = kv.second;
            if (e.blocked && !e.woken && e.on == on) {
                e.woken = true;
                ++l.running;
                any = true;
            }
        }
    }
    if (any)
        l.cv.notify_all();
}

void WaitSection(const void* section, const std::atomic<uint32_t>& gen, uint32_t seen, DWORD holder)
{
    (void)holder;
    Ledger& l = L();
    {
        std::lock_guard<std::mutex> lock(l.m);
        if (gen.load(std::memory_order_acquire) != seen)
            return;
    }
    // A Leave bumps the generation under the ledger's lock: one that comes
    // before the record below is seen by the check after it, one after it
    // wakes the record.
    Blocked b("EnterCriticalSection", section, INFINITE, Poke::Ledger,
              [holder] { return "a critical section held by thread " + std::to_string(holder); });
    {
        std::unique_lock<std::mutex> lock(l.m);
        if (gen.load(std::memory_order_acquire) != seen)
            return;
        l.cv.wait(lock, [&] {
            auto it = l.threads.find(GetCurrentThreadId());
            return it == l.threads.end() || it->second.woken || gen.load(std::memory_order_acquire) != seen;
        });
    }
}

void SectionLeft(const void* section, std::atomic<uint32_t>& gen)
{
    Ledger& l = L();
    {
        std::lock_guard<std::mutex> lock(l.m);
        gen.fetch_add(1, std::memory_order_acq_rel);
    }
    WakeAll(section);
}

void NotePoll()
{
    if (t_service || ++t_polls < kPollLimit)
        return;
    const uint64_t run = g_run.load(std::memory_order_relaxed);
    if (t_pollWarned == run)
        return;
    t_pollWarned = run;
    {
        Ledger& l = L();
        std::lock_guard<std::mutex> lock(l.m);
        ++l.pollWarnings;
    }
    const DWORD self = GetCurrentThreadId();
    std::fprintf(stderr,
                 "host clock: thread %u ('%s') read the clock %llu times without waiting: the virtual clock moves "
                 "only while every thread waits, so a loop that polls it never sees time pass\n",
                 static_cast<unsigned>(self), ThreadName(self).c_str(), static_cast<unsigned long long>(kPollLimit));
}

uint64_t PollWarnings()
{
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    return l.pollWarnings;
}

Look LookLocked()
{
    Ledger& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    Look v;
    v.running = l.running;
    v.threads = !l.threads.empty();
    for (const auto& kv : l.threads) {
        const Entry& e = kv.second;
        if (e.blocked && !e.woken && e.timed && (!v.hasDeadline || e.deadlineNs < v.deadlineNs)) {
            v.hasDeadline = true;
            v.deadlineNs = e.deadlineNs;
        }
    }
    return v;
}

void TimeOutDue(uint64_t nowNs)
{
    Ledger& l = L();
    bool kernel = false, ledger = false;
    {
        std::lock_guard<std::mutex> lock(l.m);
        for (auto& kv : l.threads) {
            Entry& e = kv.second;
            if (!e.blocked || e.woken || !e.timed || e.deadlineNs > nowNs)
                continue;
            e.woken = true;
            ++l.running;
            if (e.timedOut)
                e.timedOut->store(true, std::memory_order_release);
            (e.poke == Poke::Kernel ? kernel : ledger) = true;
        }
    }
    if (ledger)
        l.cv.notify_all();
    if (kernel) {
        // The waiter checks its flag under the kernel's mutex: taking it
        // once here means it has either seen the flag or is waiting.
        Kernel& k = K();
        { std::lock_guard<std::mutex> lock(k.mutex); }
        k.changed.notify_all();
    }
}

void ReportHung(uint64_t nowNs)
{
    HungReport r;
    r.virtualNs = nowNs;
    std::function<void(const HungReport&)> handler;
    {
        // The descriptions read kernel objects: the kernel's mutex first.
        Kernel& k = K();
        std::lock_guard<std::mutex> klock(k.mutex);
        Ledger& l = L();
        std::lock_guard<std::mutex> lock(l.m);
        if (l.running != 0)
            return;   // something woke meanwhile
        for (const auto& kv : l.threads) {
            const Entry& e = kv.second;
            HungThread t;
            t.id = kv.first;
            t.name = ThreadName(kv.first);
            t.call = e.blocked ? e.call : "(not waiting)";
            t.objects = e.describe && *e.describe ? (*e.describe)() : "";
            t.timeout = e.timed ? std::to_string(e.timeoutMs) + " ms" : "none (INFINITE)";
            r.threads.push_back(t);
        }
        handler = l.hungHandler;
    }
    if (handler) {
        handler(r);
        return;
    }
    std::fputs(r.Text().c_str(), stderr);
    std::fflush(stderr);
    // The program's threads wait for ever: no exit handler could end.
    std::_Exit(kHungExitCode);
}

}  // namespace autoclock

std::string HungReport::Text() const
{
    std::ostringstream o;
    char at[32];
    std::snprintf(at, sizeof at, "%.3f", static_cast<double>(virtualNs) / 1e9);
    o << "host clock: hung at " << at
      << " s of virtual time: every thread waits for ever and no timer or time-out is due\n";
    for (const HungThread& t : threads) {
        o << "  thread " << t.id << " '" << t.name << "': " << t.call;
        if (!t.objects.empty())
            o << " on " << t.objects;
        o << ", time-out " << t.timeout << "\n";
    }
    return o.str();
}

void SetHungHandler(std::function<void(const HungReport&)> fn)
{
    autoclock::Ledger& l = autoclock::L();
    std::lock_guard<std::mutex> lock(l.m);
    l.hungHandler = std::move(fn);
}

uint64_t ClockPollWarnings() { return autoclock::PollWarnings(); }

}  // namespace host
