// Thread names, and the late-tick audit with its bare probe thread
// (realtime.h).  The priority-inheriting locks are pilocks.cpp's.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <mutex>
#include <thread>

#include "clock_service.h"
#include "host/host.h"
#include "host/realtime.h"

namespace host {

// ---- Thread names ----------------------------------------------------------------

namespace {
// Never destroyed, as with everything below that a detached thread may call:
// the timer service's thread names itself when it first runs, which can be
// after main has returned and the library's statics are gone.
std::mutex g_namesMutex;   // a leaf: guards g_names
std::map<uint32_t, std::string>& g_names = *new std::map<uint32_t, std::string>;
}  // namespace

void NameThisThread(const char* name)
{
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", name);
    pthread_setname_np(pthread_self(), shortName);
    const uint32_t id = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_names.emplace(id, name);
}

std::string ThreadName(uint32_t id)
{
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_names.find(id);
    return it != g_names.end() ? it->second : "thread " + std::to_string(id);
}

// ---- The audit -----------------------------------------------------------------------

namespace {

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ThreadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The probe's lateness histogram: 10 us buckets below 10 ms, 1 ms buckets
// up to 1 s, then one for everything later.
constexpr size_t kFineBuckets = 1000;
constexpr size_t kCoarseBuckets = 990;
constexpr size_t kBuckets = kFineBuckets + kCoarseBuckets + 1;

size_t BucketOf(uint64_t ns)
{
    if (ns < 10000000u)
        return static_cast<size_t>(ns / 10000u);
    if (ns < 1000000000u)
        return kFineBuckets + static_cast<size_t>((ns - 10000000u) / 1000000u);
    return kBuckets - 1;
}

uint64_t BucketTop(size_t b)
{
    if (b < kFineBuckets)
        return (b + 1) * 10000u;
    if (b < kBuckets - 1)
        return 10000000u + (b - kFineBuckets + 1) * 1000000u;
    return 1000000000u;
}

using clocks::TickAccount;
thread_local TickAccount* t_account = nullptr;

// One probe thread and what it wrote (only it, until it is joined).
struct Probe {
    int cpu = -1;               // the CPU it is bound to (-1: it could not be bound)
    int priority = 0;           // its real-time priority: the timer thread's, or one above
    bool above = false;         // priority is above the timer thread's
    std::thread thread;
    std::string scheduling;
    bool fifo = false;          // it runs at its real-time priority
    uint64_t wakeups = 0, lateWakeups = 0, maxNs = 0, watchWakeups = 0;
    std::vector<uint64_t> histogram;
    std::vector<ProbeWake> late;
};

struct Audit {
    std::atomic<bool> on{false};   // the one load a tick pays while no audit runs
    TickAuditSettings settings;

    // Written by the timer thread while `on`; read after StopTickAudit.
    std::vector<LateTick> late;   // capacity reserved at the start
    uint64_t ticks = 0;
    uint64_t lateTicks = 0;
    bool havePrevious = false;
    uint64_t previousEndNs = 0;
    TickParts previousParts;


    // What the probe follows, published by the timer thread as each tick
    // ends: that tick's deadline, and the deadline of the timer's next tick
    // (0: none).
    std::atomic<uint64_t> doneDeadlineNs{0};
    std::atomic<uint64_t> nextDeadlineNs{0};

    // The probes, one on each CPU the process may run on (a stall is often
    // one CPU's alone: a virtual CPU the hypervisor did not run, a long
    // stretch in the kernel; and the timer thread may wake on either CPU).
    std::vector<std::unique_ptr<Probe>> probes;
    std::atomic<bool> probeQuit{false};
    bool ranOnce = false;

    // The kernel's steal counters as the audit started and stopped (control
    // thread only).
    std::vector<uint64_t> stealAtStart, stealAtStop;
    uint64_t stealStartNs = 0, stealStopNs = 0;
    bool stealStopped = false;
};

Audit& A()
{
    static Audit* a = new Audit;   // never destroyed: the timer thread may look until the process ends
    return *a;
}

std::mutex g_controlMutex;   // serialises Start, Stop and TickAudit

// A probe: nothing but absolute sleeps at a real-time priority, bound to one
// CPU, measuring how late each wake-up is, and two atomic loads to choose
// the next one.  Each CPU the process may run on has two (the timer thread
// may wake on any of them, and a stall is often one virtual CPU's alone):
// one at the timer thread's priority, held up by whatever holds up that
// priority, the tick's own work included; one a priority above, which
// preempts the tick's work, so that a hold-up of it while a tick runs late
// means the CPU itself was taken: by the hypervisor (which the guest counts
// as the timer thread's running time), the kernel's own threads or
// interrupts.
//
// It follows the timer's ticks, so that a stall in a tick's late stretch
// cannot fall between two of its wake-ups: it wakes kFollowNs after each
// tick's deadline (or half the threshold, when that is less), and while that
// tick has not ended, every kFineNs until it has (for at most kWatchLimitNs).
// A stall of the machine inside a late tick's stretch therefore holds up a
// wake-up of the probe for all of it but at most kFineNs, and the stretch
// before the first wake-up is at most kFollowNs.  With no tick to follow it
// wakes on a grid of its own period.
//
// It records every wake-up 1 ms late or more, and while a tick it watches
// has not ended, every one kHeldRecordNs late or more: the hold-ups the
// verdict on each late tick adds up.
constexpr uint64_t kFollowNs = 1000000;
constexpr uint64_t kFineNs = 500000;
constexpr uint64_t kWatchLimitNs = 1000000000;
constexpr uint64_t kHeldRecordNs = 50000;
constexpr size_t kMaxProbes = 16;   // CPUs past the 16th have no probe

// The first point of a grid of `step` after `now`, from `at`.
uint64_t StepPast(uint64_t at, uint64_t step, uint64_t now)
{
    at += step;
    if (at <= now)
        at += ((now - at) / step + 1) * step;
    return at;
}

void ProbeLoop(Audit& a, Probe& p, uint64_t periodNs)
{
    NameThisThread("late-tick probe");
    if (p.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(p.cpu, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0)
            p.cpu = -1;
    }
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param sp{};
    sp.sched_priority = p.priority;
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    p.fifo = rc == 0;
    p.scheduling = rc == 0 ? "SCHED_FIFO priority " + std::to_string(p.priority)
                                : std::string("normal (SCHED_OTHER): ") + std::strerror(rc);
    const uint64_t follow = std::min(kFollowNs, a.settings.thresholdNs / 2);
    uint64_t next = NowNs() + periodNs;
    uint64_t watched = 0;       // the deadline of the tick the next wake-up watches (0: none)
    bool pending = false;       // the last wake-up found that tick not yet ended
    uint64_t givenUp = 0;       // a tick watched for kWatchLimitNs and not ended (a killed timer's)
    while (!a.probeQuit.load(std::memory_order_relaxed)) {
        timespec ts;
        ts.tv_sec = static_cast<time_t>(next / 1000000000u);
        ts.tv_nsec = static_cast<long>(next % 1000000000u);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        const uint64_t now = NowNs();
        const uint64_t lateNs = now > next ? now - next : 0;
        ++p.wakeups;
        ++p.histogram[BucketOf(lateNs)];
        p.maxNs = std::max(p.maxNs, lateNs);
        if (lateNs > a.settings.thresholdNs)
            ++p.lateWakeups;
        if ((lateNs >= 1000000u || (pending && lateNs >= kHeldRecordNs)) &&
            p.late.size() < p.late.capacity())
            p.late.push_back({next, lateNs, p.cpu, p.above});

        // The next wake-up: the watched tick's next fine step while it has
        // not ended; else the next tick's follow-up point; else the grid.
        const uint64_t done = a.doneDeadlineNs.load(std::memory_order_acquire);
        pending = false;
        if (watched != 0 && done < watched) {
            ++p.watchWakeups;
            if (now - watched <= kWatchLimitNs) {
                pending = true;
                next = StepPast(next, kFineNs, now);
                continue;
            }
            givenUp = watched;
        }
        watched = 0;
        const uint64_t d = a.nextDeadlineNs.load(std::memory_order_acquire);
        if (d != 0 && done < d && d != givenUp && now <= d + kWatchLimitNs) {
            watched = d;
            if (d + follow > now) {
                next = d + follow;
            } else {
                // Already past its follow-up point (the probe watched the
                // tick before, or was held up): watch it from now.
                pending = true;
                next = now + kFineNs;
            }
            continue;
        }
        next = StepPast(next, periodNs, now);
    }
}

// Steal by CPU now, from /proc/stat (empty where it has none).
std::vector<uint64_t> ReadSteal()
{
    std::vector<uint64_t> ns;
    std::ifstream f("/proc/stat");
    if (!f)
        return ns;
    std::stringstream text;
    text << f.rdbuf();
    if (!ParseStealByCpu(text.str(), sysconf(_SC_CLK_TCK), &ns))
        ns.clear();
    return ns;
}

void StopLocked(Audit& a)
{
    a.on.store(false, std::memory_order_seq_cst);
    a.probeQuit.store(true);
    for (auto& p : a.probes)
        if (p->thread.joinable())
            p->thread.join();
}

}  // namespace

void StartTickAudit(const TickAuditSettings& settings)
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    Audit& a = A();
    StopLocked(a);
    // A tick that began before the stop may still be finishing its account;
    // the records are replaced only once the service is between ticks.
    clocks::WaitBetweenTicks();
    a.settings = settings;
    a.settings.capacity = std::max<size_t>(settings.capacity, 1);
    a.late.clear();
    a.late.reserve(a.settings.capacity);
    a.ticks = a.lateTicks = 0;
    a.havePrevious = false;
    a.previousEndNs = 0;
    a.probes.clear();
    a.probeQuit.store(false);
    a.ranOnce = true;
    a.doneDeadlineNs.store(0);
    a.nextDeadlineNs.store(0);
    a.stealAtStart = ReadSteal();
    a.stealStartNs = NowNs();
    a.stealStopped = false;
    if (settings.probePeriodNs > 0) {
        cpu_set_t allowed;
        std::vector<int> cpus;
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
            for (int c = 0; c < CPU_SETSIZE && cpus.size() < kMaxProbes; ++c)
                if (CPU_ISSET(c, &allowed))
                    cpus.push_back(c);
        if (cpus.empty())
            cpus.push_back(-1);
        for (int c : cpus)
            for (bool above : {false, true}) {
                auto p = std::make_unique<Probe>();
                p->cpu = c;
                p->above = above;
                p->priority = above ? clocks::kProbePriority : clocks::kRealTimePriority;
                p->histogram.assign(kBuckets, 0);
                p->late.reserve(4 * a.settings.capacity);
                a.probes.push_back(std::move(p));
            }
        for (auto& p : a.probes)
            p->thread = std::thread(ProbeLoop, std::ref(a), std::ref(*p), settings.probePeriodNs);
    }
    a.on.store(true, std::memory_order_seq_cst);
}

void StopTickAudit()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    Audit& a = A();
    const bool wasOn = a.on.load();
    StopLocked(a);
    clocks::WaitBetweenTicks();
    if (wasOn) {
        a.stealAtStop = ReadSteal();
        a.stealStopNs = NowNs();
        a.stealStopped = true;
    }
}

TickAuditResult TickAudit()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    Audit& a = A();
    TickAuditResult r;
    r.ran = a.ranOnce;
    r.settings = a.settings;
    r.ticks = a.ticks;
    r.lateTicks = a.lateTicks;
    r.late = a.late;
    if (a.stealStopped && !a.stealAtStart.empty() && a.stealAtStop.size() == a.stealAtStart.size()) {
        for (size_t c = 0; c < a.stealAtStart.size(); ++c)
            r.stealNs.push_back(a.stealAtStop[c] >= a.stealAtStart[c] ? a.stealAtStop[c] - a.stealAtStart[c] : 0);
        r.stealSpanNs = a.stealStopNs - a.stealStartNs;
    }
    std::vector<uint64_t> histogram(kBuckets, 0);
    r.probesAbove = !a.probes.empty();
    std::string same, above;   // the scheduling of each kind of probe
    for (const auto& p : a.probes) {
        if (p->above) {
            r.probesAbove = r.probesAbove && p->fifo;
            if (above.empty())
                above = p->scheduling;
        } else {
            if (same.empty())
                same = p->scheduling;
            r.probeCpus.push_back(p->cpu);
        }
        r.probeWakeups += p->wakeups;
        r.probeLateWakeups += p->lateWakeups;
        r.probeMaxNs = std::max(r.probeMaxNs, p->maxNs);
        r.probeWatchWakeups += p->watchWakeups;
        r.probeLate.insert(r.probeLate.end(), p->late.begin(), p->late.end());
        for (size_t b = 0; b < kBuckets; ++b)
            histogram[b] += p->histogram[b];
    }
    if (!same.empty())
        r.probeScheduling = same + (above.empty() ? "" : " and " + above);
    uint64_t seen = 0;
    bool have50 = false;
    for (size_t b = 0; b < histogram.size() && r.probeWakeups > 0; ++b) {
        seen += histogram[b];
        if (!have50 && seen * 2 >= r.probeWakeups) {
            r.probeP50Ns = std::min(BucketTop(b), r.probeMaxNs);
            have50 = true;
        }
        if (seen * 100 >= r.probeWakeups * 99) {
            r.probeP99Ns = std::min(BucketTop(b), r.probeMaxNs);
            break;
        }
    }
    return r;
}

bool ParseStealByCpu(const std::string& procStat, long ticksPerSecond, std::vector<uint64_t>* stealNs)
{
    stealNs->clear();
    if (ticksPerSecond <= 0)
        return false;
    std::istringstream lines(procStat);
    std::string line;
    while (std::getline(lines, line)) {
        // "cpuN user nice system idle iowait irq softirq steal ...": the
        // total line ("cpu ") and other lines are skipped.
        if (line.size() < 4 || line.compare(0, 3, "cpu") != 0 || line[3] < '0' || line[3] > '9')
            continue;
        std::istringstream fields(line.substr(3));
        unsigned long cpu = 0;
        unsigned long long v[8];
        fields >> cpu;
        for (auto& x : v)
            fields >> x;
        if (!fields || cpu > 4096) {
            stealNs->clear();
            return false;
        }
        if (stealNs->size() <= cpu)
            stealNs->resize(cpu + 1, 0);
        (*stealNs)[cpu] = static_cast<uint64_t>(v[7]) * (1000000000u / static_cast<uint64_t>(ticksPerSecond));
    }
    return !stealNs->empty();
}

uint64_t TickPartBegin(TickPart part)
{
    TickAccount* acc = t_account;
    if (acc == nullptr || acc->open[static_cast<unsigned>(part)])
        return 0;
    acc->open[static_cast<unsigned>(part)] = true;
    return NowNs();
}

void TickPartEnd(TickPart part, uint64_t begin, uint32_t lockHolder)
{
    TickAccount* acc = t_account;
    if (begin == 0 || acc == nullptr)
        return;
    const unsigned i = static_cast<unsigned>(part);
    const uint64_t ns = NowNs() - begin;
    acc->open[i] = false;
    acc->parts.ns[i] += ns;
    if (part == TickPart::Lock && ns > acc->longestLockNs) {
        acc->longestLockNs = ns;
        acc->parts.lockHolder = lockHolder;
    }
}

namespace clocks {

bool AuditOn()
{
    return A().on.load(std::memory_order_acquire);
}

void AuditTickBegin(TickAccount* acc)
{
    *acc = TickAccount{};
    acc->cpuStartNs = ThreadCpuNs();
    acc->startCpu = sched_getcpu();
    t_account = acc;
}

void AuditTickEnd(const TickAccount& acc, uint64_t deadlineNs, uint64_t startNs, uint64_t nextDeadlineNs)
{
    Audit& a = A();
    t_account = nullptr;
    const uint64_t endNs = NowNs();
    const uint64_t cpuNs = ThreadCpuNs() - acc.cpuStartNs;
    const int endCpu = sched_getcpu();
    a.doneDeadlineNs.store(deadlineNs, std::memory_order_release);
    a.nextDeadlineNs.store(nextDeadlineNs, std::memory_order_release);
    if (!a.on.load(std::memory_order_acquire))
        return;
    ++a.ticks;
    if (endNs > deadlineNs && endNs - deadlineNs > a.settings.thresholdNs) {
        ++a.lateTicks;
        if (a.late.size() < a.late.capacity()) {
            LateTick t;
            t.deadlineNs = deadlineNs;
            t.startNs = startNs;
            t.endNs = endNs;
            t.ranNs = cpuNs;
            t.startCpu = acc.startCpu;
            t.endCpu = endCpu;
            t.parts = acc.parts;
            if (a.havePrevious && a.previousEndNs > deadlineNs) {
                t.overrunNs = std::min(a.previousEndNs, startNs) - deadlineNs;
                t.previous = a.previousParts;
            }
            a.late.push_back(t);
        }
    }
    a.havePrevious = true;
    a.previousEndNs = endNs;
    a.previousParts = acc.parts;
}

}  // namespace clocks
}  // namespace host
