// The pacing path against the bare machine, each figure as a ratio measured
// in one run:
//   - one tick (2 and 1,024 headers queued) against a bare malloc + memcpy +
//     free of the same bytes;
//   - the host timer's lateness on the real clock against a bare
//     clock_nanosleep(TIMER_ABSTIME) loop with the same period, run at the
//     same time;
//   - the player's fast mode: audio seconds per wall second and peak memory,
//     for 1 minute and 1 hour of 16-bit stereo 44.1 kHz WAV, and a FLAC file
//     against libsndfile's own decode of it;
//   - the player on the real clock: CPU per audio second.
// Prints a Markdown table.  Usage: pacing_bench PLAYER [--quick]
#include <pthread.h>
#include <sched.h>
#include <sndfile.h>
#ifdef BENCH_HAVE_SBC
#include <sbc/sbc.h>
#endif
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/driverlibrary.h"
#include "host/host.h"
#include "kit/driver.h"
#include "kit/routines.h"
#include "pump/pump.h"
#include "stream/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Row {
    std::string what, measured, bare, ratio, goal, met;
};
std::vector<Row> g_rows;

std::string Fmt(const char* f, double v)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

void Add(const std::string& what, const std::string& measured, const std::string& bare, const std::string& ratio,
         const std::string& goal, bool met)
{
    g_rows.push_back({what, measured, bare, ratio, goal, met ? "yes" : "**no**"});
    std::fprintf(stderr, "  %s: %s (bare %s) ratio %s, goal %s\n", what.c_str(), measured.c_str(), bare.c_str(),
                 ratio.c_str(), goal.c_str());
}

// ---- The tick ----------------------------------------------------------------------

const DWORD kDue = 3528;   // 20 ms at 176,400 bytes per second
volatile uint8_t g_sink;

// Bare: what a tick must do at the least, one allocation, one copy, one free.
double BareCopyNs(const std::vector<uint8_t>& source, size_t iterations)
{
    size_t at = 0;
    auto t0 = Clock::now();
    for (size_t i = 0; i < iterations; ++i) {
        uint8_t* p = static_cast<uint8_t*>(std::malloc(kDue + 12));
        std::memcpy(p + 8, source.data() + at, kDue);
        g_sink = p[8 + (i & 1023)];
        std::free(p);
        at += kDue;
        if (at + kDue > source.size())
            at = 0;
    }
    return Seconds(t0, Clock::now()) * 1e9 / iterations;
}

struct Headers {
    std::vector<WAVEHDR> hdr;
    std::vector<uint8_t> data;
};

// The driver's tick with `count` headers queued, the library's post just
// freeing each packet.  The virtual clock moves 20 ms before each
// tick, so every tick posts 3,528 bytes; a header that comes back is queued
// again at the end, so the queue stays `count` long.
// *perCallNs: the ticks alone, each timed on its own (the clock reads add the
// same few nanoseconds to every count of headers, so differences are exact).
double TickNs(const kit::Routines& r, size_t count, size_t iterations, std::vector<uint8_t>* sourceOut,
              double* perCallNs, double* afterSleepNs = nullptr)
{
    BT_AUDIO_PARA* para = r.para;
    auto queue = r.queue;
    auto tick = r.tick;
    // Two headers hold 512 ticks each; 1,024 hold 4 each.
    const size_t perHeader = count <= 2 ? kDue * 512 : kDue * 4;
    Headers h;
    h.hdr.resize(count);
    h.data.assign(perHeader * count, 0);
    for (size_t i = 0; i < h.data.size(); ++i)
        h.data[i] = static_cast<uint8_t>(i * 131u);
    for (size_t i = 0; i < count; ++i) {
        WAVEHDR& w = h.hdr[i];
        std::memset(&w, 0, sizeof w);
        w.lpData = reinterpret_cast<LPSTR>(h.data.data() + i * perHeader);
        w.dwBufferLength = static_cast<DWORD>(perHeader);
        w.dwFlags = WHDR_PREPARED;
        queue(0, &w);
    }
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    *para = BT_AUDIO_PARA{};
    para->bRunning = 1;
    para->uTimerId = 0x77;   // the tick checks that it is its timer's
    para->liLastCount = c;
    para->liFrequency = f;
    para->nTicks = 1;
    para->dwSample = BT_AUDIO_DEFAULT_SAMPLE;
    para->dwTimer = BT_AUDIO_DEFAULT_TIMER;
    para->dwCacheLen = BT_AUDIO_DEFAULT_CACHELEN;

    size_t next = 0;   // the header that comes back next
    uint64_t inTicks = 0;
    auto run = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            host::AdvanceVirtualNs(20000000);
            uint64_t t0 = NowNs();
            tick(0x77, 0, 0, 0, 0);
            inTicks += NowNs() - t0;
            WAVEHDR& w = h.hdr[next];
            if (w.dwFlags & WHDR_DONE) {
                w.dwFlags = WHDR_PREPARED;
                queue(0, &w);
                next = (next + 1) % count;
            }
        }
    };
    run(iterations / 10);   // warm up
    btstandin::Flush();
    inTicks = 0;
    auto t0 = Clock::now();
    run(iterations);
    double ns = Seconds(t0, Clock::now()) * 1e9 / iterations;
    *perCallNs = static_cast<double>(inTicks) / iterations;
    if (afterSleepNs) {
        // The same tick as the real clock runs it: one every 20 ms, the
        // thread asleep in between.  The median of 200.
        std::vector<uint64_t> each;
        for (int k = 0; k < 200; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            inTicks = 0;
            run(1);
            each.push_back(inTicks);
        }
        std::sort(each.begin(), each.end());
        *afterSleepNs = static_cast<double>(each[each.size() / 2]);
    }
    btstandin::Flush();
    // Leave the queue empty for the next run.
    para->bRunning = 0;
    r.markAll(0);
    r.returnDone(0);
    if (sourceOut)
        *sourceOut = h.data;
    return ns;
}

// Two walks down a chain of `count` headers laid out as the tick's are,
// reading each one's length, cursor and link: the tick walks the queue twice
// (the scan for pending bytes, then the marking of consumed headers), and a
// walk down a chain cannot go faster than one dependent load per header.
double BareWalksNs(size_t count, size_t iterations)
{
    std::vector<WAVEHDR> h(count);
    for (size_t i = 0; i < count; ++i) {
        std::memset(&h[i], 0, sizeof h[i]);
        h[i].dwBufferLength = 100;
        h[i].dwBytesRecorded = static_cast<DWORD>(i & 1) * 100;
        h[i].lpNext = i + 1 < count ? &h[i + 1] : nullptr;
    }
    uint64_t sum = 0;
    auto t0 = Clock::now();
    for (size_t it = 0; it < iterations; ++it)
        for (int walk = 0; walk < 2; ++walk)
            for (WAVEHDR* p = &h[0]; p; p = p->lpNext) {
                if (p->dwBytesRecorded < p->dwBufferLength)
                    sum += p->dwBufferLength - p->dwBytesRecorded;
                __asm__ volatile("" : "+r"(p));
            }
    double ns = Seconds(t0, Clock::now()) * 1e9 / iterations;
    g_sink = static_cast<uint8_t>(sum);
    return ns;
}

// The virtual clock's step alone, which the tick loop above includes.
double AdvanceNs(size_t iterations)
{
    auto t0 = Clock::now();
    for (size_t i = 0; i < iterations; ++i)
        host::AdvanceVirtualNs(20000000);
    return Seconds(t0, Clock::now()) * 1e9 / iterations;
}

void BenchTick(bool quick)
{
    std::fprintf(stderr, "tick...\n");
    kit::ClearHost();
    std::string error;
    auto m = kit::LoadDriver(BTWAV_DRIVER_PATH, &error);
    kit::Routines r;
    if (!m || !r.BindAll(*m, &error)) {
        std::fprintf(stderr, "pacing_bench: %s\n", error.c_str());
        std::exit(1);
    }
    DWORD_PTR dev = m->Entry().Init(nullptr, nullptr);
    btstandin::FreeOnPost(true);
    const size_t n = quick ? 50000 : 400000;
    std::vector<uint8_t> source;
    // Best of three for each, interleaved, so a busy moment hits both.
    double afterSleep = 0;
    double tick2 = 1e9, tick1024 = 1e9, bare = 1e9, advance = 1e9, call2 = 1e9, call1024 = 1e9, walks = 1e9;
    for (int round = 0; round < 3; ++round) {
        double c2 = 0, c1024 = 0;
        double slept = 0;
        tick2 = std::min(tick2, TickNs(r, 2, n, &source, &c2, round == 0 ? &slept : nullptr));
        if (round == 0)
            afterSleep = slept;
        bare = std::min(bare, BareCopyNs(source, n));
        tick1024 = std::min(tick1024, TickNs(r, 1024, n / 4, nullptr, &c1024));
        advance = std::min(advance, AdvanceNs(n));
        walks = std::min(walks, BareWalksNs(1024, n / 40) - BareWalksNs(2, n / 40));
        call2 = std::min(call2, c2);
        call1024 = std::min(call1024, c1024);
    }
    m->Entry().Deinit(dev);
    m.reset();
    double tickOnly = tick2 - advance;
    Add("tick, 2 headers queued, 3,528 bytes posted, post that just frees (clock step excluded)", Fmt("%.0f ns", tickOnly),
        Fmt("%.0f ns", bare), Fmt("%.1fx", tickOnly / bare), "<= 4x", tickOnly / bare <= 4.0);
    double perHeader = (call1024 - call2) / 1022.0;
    double floor = walks / 1022.0;
    Add("tick, 1,024 headers queued: cost per extra header (bare: two walks down the chain)",
        Fmt("%.2f ns", perHeader), Fmt("%.2f ns", floor), Fmt("%.2fx", perHeader / floor), "<= 2 ns",
        perHeader <= 2.0);
    // No goal: what the real clock's ticks cost, each after the thread has
    // slept for a period, against the same tick back to back (the warm
    // figure above, timed per call).  It is the floor under the real-time
    // CPU row.
    g_rows.push_back({"tick, 2 headers queued, each after a 20 ms sleep as on the real clock (median of 200); bare: "
                      "the same tick back to back",
                      Fmt("%.0f ns", afterSleep), Fmt("%.0f ns", call2), Fmt("%.0fx", afterSleep / call2), "-", "-"});
    std::fprintf(stderr, "  tick after a 20 ms sleep: %.0f ns (back to back %.0f ns)\n", afterSleep, call2);
}

// ---- The timer ---------------------------------------------------------------------

struct Lateness {
    std::vector<double> us;
    double Pct(double p)
    {
        std::sort(us.begin(), us.end());
        size_t i = static_cast<size_t>(std::ceil(p * us.size()));
        return us.empty() ? 0 : us[std::min(us.size() - 1, i == 0 ? 0 : i - 1)];
    }
};

struct TimerProbe {
    std::atomic<uint64_t> firstDeadline{0};
    uint64_t periodNs = 0;
    size_t want = 0;
    Lateness late;
    std::atomic<bool> done{false};
};
TimerProbe g_probe;

void CALLBACK ProbeTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    uint64_t now = NowNs();
    TimerProbe& p = g_probe;
    if (p.late.us.size() >= p.want) {
        p.done = true;
        return;
    }
    // The timer keeps a fixed grid from its first deadline; a tick belongs
    // to the last grid point before it (one late by a whole period or more
    // makes the timer skip the points already past).
    const uint64_t first = p.firstDeadline.load();
    if (now < first)
        return;
    p.late.us.push_back(static_cast<double>((now - first) % p.periodNs) / 1000.0);
}

struct TimerRound {
    double p50 = 0, p99 = 0, b50 = 0, b99 = 0;
    std::string sched;
};

// One round: the host's periodic timer and the bare loop side by side for
// `ticks` periods.
TimerRound TimerOnce(uint32_t periodMs, size_t ticks)
{
    host::ResetAll();
    host::UseClock(host::ClockKind::Real);
    g_probe.periodNs = periodMs * 1000000ull;
    g_probe.want = ticks;
    g_probe.late.us.clear();
    g_probe.late.us.reserve(ticks);
    g_probe.done = false;

    // The bare loop, on a thread of its own, at the same time.
    Lateness bare;
    bare.us.reserve(ticks);
    std::thread loop([&] {
        uint64_t deadline = NowNs() + g_probe.periodNs;
        for (size_t i = 0; i < ticks; ++i) {
            timespec ts{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            uint64_t now = NowNs();
            bare.us.push_back((static_cast<double>(now) - static_cast<double>(deadline)) / 1000.0);
            deadline += g_probe.periodNs;
        }
    });
    // timeSetEvent takes its own reading between these two; a call that took
    // long (the thread was preempted) is made again, so the first deadline is
    // known to within a few microseconds (taken at its earliest, which can
    // only make the timer look later than it is).
    UINT id = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t before = NowNs();
        id = timeSetEvent(periodMs, 1, &ProbeTick, 0, TIME_PERIODIC);
        uint64_t after = NowNs();
        g_probe.firstDeadline = before + g_probe.periodNs;
        if (after - before < 5000 || attempt == 99)
            break;
        timeKillEvent(id);
    }
    loop.join();
    while (!g_probe.done)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    timeKillEvent(id);
    TimerRound r;
    r.sched = host::TimerThreadScheduling();
    host::ResetAll();
    r.p50 = g_probe.late.Pct(0.5);
    r.p99 = g_probe.late.Pct(0.99);
    r.b50 = bare.Pct(0.5);
    r.b99 = bare.Pct(0.99);
    return r;
}

void BenchTimer(bool quick)
{
    std::fprintf(stderr, "timer...\n");
    // Three rounds of six seconds; the one whose p99 ratio is the median is
    // reported (a p99 of 3,000 ticks moves with a single burst of the
    // machine's own noise, which may fall on either side).
    const uint32_t periodMs = 2;
    const size_t ticks = quick ? 500 : 3000;
    std::vector<TimerRound> rounds;
    for (int i = 0; i < (quick ? 1 : 3); ++i)
        rounds.push_back(TimerOnce(periodMs, ticks));
    std::sort(rounds.begin(), rounds.end(),
              [](const TimerRound& x, const TimerRound& y) { return x.p99 / x.b99 < y.p99 / y.b99; });
    const TimerRound& r = rounds[rounds.size() / 2];
    std::string ratios;
    for (const TimerRound& x : rounds)
        ratios += (ratios.empty() ? "" : ", ") + Fmt("%.2fx", x.p99 / x.b99);
    Add("timer lateness p50, real clock, 2 ms period (" + r.sched + ")", Fmt("%.1f us", r.p50),
        Fmt("%.1f us", r.b50), Fmt("%.2fx", r.p50 / r.b50), "<= 1.2x", r.p50 <= 1.2 * r.b50);
    Add("timer lateness p99 (median of " + std::to_string(rounds.size()) + " rounds by p99 ratio: " + ratios + ")",
        Fmt("%.1f us", r.p99), Fmt("%.1f us", r.b99), Fmt("%.2fx", r.p99 / r.b99), "<= 1.2x", r.p99 <= 1.2 * r.b99);
}

// ---- The player ----------------------------------------------------------------------

struct Child {
    int code = -1;
    double wall = 0;
    double cpu = 0;          // user + system seconds
    long peakKb = 0;         // ru_maxrss
    std::string out;
};

Child Run(const std::vector<std::string>& args)
{
    Child c;
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return c;
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
        c.out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    c.wall = Seconds(t0, Clock::now());
    c.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    c.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    c.peakKb = ru.ru_maxrss;
    return c;
}

// Figures from the player's JSON report, which keeps six significant digits
// (the text report rounds the wall time to the millisecond, too coarse for a
// minute that plays in about ten).  Each read removes the file.
std::string g_report;

double ReportedNumber(const char* key)
{
    std::FILE* f = std::fopen(g_report.c_str(), "r");
    if (f == nullptr)
        return 0;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    std::remove(g_report.c_str());   // a run that writes none must not reuse it
    const std::string name = std::string("\"") + key + "\":";
    size_t at = text.find(name);
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + name.size());
}

double ReportedWall()
{
    return ReportedNumber("wall_seconds");
}

void Check(const Child& c, const char* what)
{
    if (c.code != 0 || c.out.find("bit-exact       yes") == std::string::npos) {
        std::fprintf(stderr, "pacing_bench: %s failed (exit %d)\n%s\n", what, c.code, c.out.c_str());
        std::exit(1);
    }
}

// libsndfile decoding a whole file to 16-bit samples, and nothing else.
double DecodeSeconds(const std::string& path)
{
    auto t0 = Clock::now();
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<short> buf(16384 * 2);
    while (sf_readf_short(f, buf.data(), 16384) > 0)
        g_sink = static_cast<uint8_t>(buf[0]);
    sf_close(f);
    return Seconds(t0, Clock::now());
}

#ifdef BENCH_HAVE_SBC
// The bare cost of what --heard adds: libsndfile reading the file and libsbc
// encoding every 128 audio frames at bitpool 53 and decoding them again, in
// one pass, and nothing else.
double ReadEncodeDecodeSeconds(const std::string& path)
{
    auto t0 = Clock::now();
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    sbc_t enc, dec;
    sbc_init(&enc, 0);
    sbc_init(&dec, 0);
    enc.frequency = SBC_FREQ_44100;
    enc.mode = SBC_MODE_JOINT_STEREO;
    enc.blocks = SBC_BLK_16;
    enc.subbands = SBC_SB_8;
    enc.allocation = SBC_AM_LOUDNESS;
    enc.bitpool = 53;
    enc.endian = SBC_LE;
    dec.endian = SBC_LE;
    std::vector<short> buf(128 * 2 * 64);
    uint8_t frame[512], pcm[512];
    sf_count_t got;
    while ((got = sf_readf_short(f, buf.data(), 128 * 64)) > 0) {
        for (sf_count_t at = 0; at + 128 <= got; at += 128) {
            ssize_t written = 0;
            sbc_encode(&enc, buf.data() + at * 2, 512, frame, sizeof frame, &written);
            size_t out = 0;
            sbc_decode(&dec, frame, static_cast<size_t>(written), pcm, sizeof pcm, &out);
            g_sink = static_cast<uint8_t>(g_sink + pcm[0]);
        }
    }
    sbc_finish(&enc);
    sbc_finish(&dec);
    sf_close(f);
    return Seconds(t0, Clock::now());
}
#endif

void BenchFast(const std::string& player, const std::string& dir, bool quick)
{
    std::fprintf(stderr, "fast mode...\n");
    struct Length {
        const char* name;
        const char* length;
        double seconds;
    };
    std::vector<Length> lengths = {{"1 min", "1min", 60}, {"1 h", "1h", 3600}};
    if (quick)
        lengths.pop_back();
    std::vector<long> peaks;   // by length, in the order above
    for (const Length& l : lengths) {
        std::string wav = dir + "/tone.wav";
        Check(Run({player, "--fast", "--quiet", "--length", l.length, "--wav", wav}), "writing the WAV file");
        double best = 1e9, read = 1e9;
        long peak = 0;
        for (int i = 0; i < 3; ++i) {
            Child c = Run({player, "--fast", "--quiet", "--report", g_report, wav});
            Check(c, "fast mode");
            best = std::min(best, ReportedWall());
            peak = std::max(peak, c.peakKb);
            read = std::min(read, DecodeSeconds(wav));
        }
        unlink(wav.c_str());
        double speed = l.seconds / best;
        Add(std::string("fast mode, ") + l.name +
                " of 16-bit stereo 44.1 kHz WAV: audio s per wall s (bare: libsndfile reading the file alone)",
            Fmt("%.0fx", speed), Fmt("%.0fx", l.seconds / read), Fmt("%.2fx the read's time", best / read),
            l.seconds >= 3600 ? "<= 2x the read's time" : ">= 5,000x",
            l.seconds >= 3600 ? best <= 2 * read : speed >= 5000);
        Add(std::string("fast mode, ") + l.name + ": peak memory (whole process)", Fmt("%.1f MB", peak / 1024.0), "-",
            "-", "<= 64 MB", peak <= 64 * 1024);
        peaks.push_back(peak);
    }
    // Nothing grows with the length played: an hour's peak against a minute's.
    if (peaks.size() == 2)
        Add("fast mode: peak memory flat with length (1 h against 1 min)", Fmt("%.1f MB", peaks[1] / 1024.0),
            Fmt("%.1f MB", peaks[0] / 1024.0), Fmt("%.2fx", static_cast<double>(peaks[1]) / peaks[0]), "<= 1.05x",
            peaks[1] <= 1.05 * peaks[0]);

    // The headset model's cost: the same ten minutes (one in a quick run)
    // with and without it, the best of seven runs each, taken in turn.
    {
        std::string wav = dir + "/tone.wav";
        Check(Run({player, "--fast", "--quiet", "--length", quick ? "1min" : "10min", "--wav", wav}),
              "writing the WAV file");
        double with = 1e9, without = 1e9;
        for (int i = 0; i < 7; ++i) {
            Child a = Run({player, "--fast", "--quiet", "--report", g_report, wav});
            Check(a, "fast mode with the headset");
            with = std::min(with, ReportedWall());
            Child b = Run({player, "--fast", "--quiet", "--no-headset", "--report", g_report, wav});
            Check(b, "fast mode without the headset");
            without = std::min(without, ReportedWall());
        }
        unlink(wav.c_str());
        Add(std::string("fast mode, ") + (quick ? "1 min" : "10 min") + ": with the headset model against without it",
            Fmt("%.3f s", with),
            Fmt("%.3f s", without), Fmt("%.2fx", with / without), "<= 1.10x", with <= 1.10 * without);
    }

#ifdef BENCH_HAVE_SBC
    // What listening costs: the player encoding (the library) and decoding
    // (the headset) every SBC frame for --heard, against libsndfile reading
    // the file and libsbc encoding and decoding the same audio alone.  Ten
    // minutes (one in a quick run), the best of three.
    {
        std::string wav = dir + "/tone.wav", heard = dir + "/heard.wav";
        Check(Run({player, "--fast", "--quiet", "--length", quick ? "1min" : "10min", "--wav", wav}),
              "writing the WAV file");
        double play = 1e9, bare = 1e9;
        for (int i = 0; i < 3; ++i) {
            Child c = Run({player, "--fast", "--quiet", "--heard", heard, "--report", g_report, wav});
            Check(c, "fast mode with --heard");
            play = std::min(play, ReportedWall());
            bare = std::min(bare, ReadEncodeDecodeSeconds(wav));
        }
        unlink(wav.c_str());
        unlink(heard.c_str());
        Add(std::string("fast mode, ") + (quick ? "1 min" : "10 min") +
                " with --heard (SBC encoded and decoded): bare is libsndfile's read plus libsbc's encode and decode alone",
            Fmt("%.3f s", play), Fmt("%.3f s", bare), Fmt("%.2fx", play / bare), "<= 1.20x", play <= 1.2 * bare);
    }
#endif

    // FLAC: the player against libsndfile decoding the same file alone.
    const double flacSeconds = quick ? 60 : 1200;
    std::string flac = dir + "/noise.flac";
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(flac.c_str(), SFM_WRITE, &info);
        std::mt19937 rng(7);
        std::vector<short> block(44100 * 2);
        double phase = 0;
        for (int s = 0; s < flacSeconds; ++s) {
            // Music-like content: a tone with noise, so FLAC has real work.
            for (size_t i = 0; i < block.size(); i += 2) {
                phase += 2 * M_PI * 440 / 44100;
                short v = static_cast<short>(8000 * std::sin(phase) + static_cast<int>(rng() % 4001) - 2000);
                block[i] = v;
                block[i + 1] = static_cast<short>(-v);
            }
            sf_writef_short(f, block.data(), 44100);
        }
        sf_close(f);
    }
    double decode = 1e9, play = 1e9;
    for (int i = 0; i < 3; ++i) {
        decode = std::min(decode, DecodeSeconds(flac));
        Child c = Run({player, "--fast", "--quiet", "--report", g_report, flac});
        Check(c, "fast mode, FLAC");
        play = std::min(play, ReportedWall());
    }
    unlink(flac.c_str());
    Add(Fmt("fast mode, %.0f s FLAC: player against libsndfile's decode alone", flacSeconds), Fmt("%.3f s", play),
        Fmt("%.3f s", decode), Fmt("%.2fx", play / decode), "<= 1.2x", play <= 1.2 * decode);
}

void BenchRealTime(const std::string& player, bool quick)
{
    std::fprintf(stderr, "real time...\n");
    const int seconds = quick ? 3 : 20;
    // The player reports its whole process's CPU time over the playback
    // (from the first write to the last buffer back), so start-up and
    // shutdown stay out.  A short run first tells the timer's scheduling.
    Child probe = Run({player, "--quiet", "--link-delay", "0", "--length", "100ms"});
    Check(probe, "real-time run");
    std::string sched;
    size_t at = probe.out.find("timer thread");
    if (at != std::string::npos) {
        size_t from = probe.out.find_first_not_of(' ', at + 12);
        sched = probe.out.substr(from, probe.out.find('\n', from) - from);
    }
    // Bare, at the same time as the playback: a thread that only sleeps to
    // absolute 20 ms deadlines, as many wake-ups per second as the timer
    // alone needs, under the scheduling the player's timer thread runs with
    // (a real-time thread's wake-up costs more than a normal one's on some
    // machines).
    int priority = 0;
    const bool fifo = std::sscanf(sched.c_str(), "SCHED_FIFO priority %d", &priority) == 1;
    double bareCpu = 0;
    std::thread bareLoop([&] {
        if (fifo) {
            sched_param p{};
            p.sched_priority = priority;
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
        }
        struct rusage a {}, b {};
        getrusage(RUSAGE_THREAD, &a);
        uint64_t deadline = NowNs();
        for (int i = 0; i < seconds * 50; ++i) {
            deadline += 20000000;
            timespec ts{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        }
        getrusage(RUSAGE_THREAD, &b);
        bareCpu = (b.ru_utime.tv_sec - a.ru_utime.tv_sec) + (b.ru_utime.tv_usec - a.ru_utime.tv_usec) / 1e6 +
                  (b.ru_stime.tv_sec - a.ru_stime.tv_sec) + (b.ru_stime.tv_usec - a.ru_stime.tv_usec) / 1e6;
    });
    // The playback path alone: without the late-tick audit and its probe.
    Child run = Run({player, "--quiet", "--link-delay", "0", "--length", std::to_string(seconds) + "s",
                     "--late-ticks", "off", "--report", g_report});
    bareLoop.join();
    Check(run, "real-time run");
    const double perSecond = ReportedNumber("cpu_seconds") / seconds;
    const double barePerSecond = bareCpu / seconds;
    Add("real-time playback: CPU per audio second, whole process, as % of a core (" + sched +
            ", --late-ticks off; bare: a 20 ms clock_nanosleep loop beside it, same scheduling)",
        Fmt("%.2f ms (", perSecond * 1000) + Fmt("%.3f %%)", perSecond * 100),
        Fmt("%.2f ms", barePerSecond * 1000), Fmt("%.1fx", perSecond / std::max(barePerSecond, 1e-9)), "<= 0.2 %",
        perSecond <= 0.002);
    // As the player runs by default: the audit of every tick and the bare
    // probe beside the timer thread, against the same playback without them.
    Child audited = Run({player, "--quiet", "--link-delay", "0", "--length", std::to_string(seconds) + "s",
                         "--report", g_report});
    Check(audited, "real-time run with the late-tick audit");
    const double auditedPerSecond = ReportedNumber("cpu_seconds") / seconds;
    g_rows.push_back({"real-time playback: CPU per audio second with the late-tick audit and its probes, two per CPU (the "
                      "default); bare: the same with --late-ticks off",
                      Fmt("%.2f ms", auditedPerSecond * 1000), Fmt("%.2f ms", perSecond * 1000),
                      Fmt("%.1fx", auditedPerSecond / std::max(perSecond, 1e-9)), "-", "-"});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: pacing_bench PLAYER [--quick] [--only tick|timer|fast|realtime]\n");
        return 2;
    }
    std::string player = argv[1];
    bool quick = false;
    std::string only;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
    }
    auto part = [&](const char* name) { return only.empty() || only == name; };
    char dirTemplate[] = "/tmp/btwav-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir)
        return 1;
    g_report = std::string(dir) + "/report.json";

    if (part("tick"))
        BenchTick(quick);
    if (part("timer"))
        BenchTimer(quick);
    if (part("fast"))
        BenchFast(player, dir, quick);
    if (part("realtime"))
        BenchRealTime(player, quick);
    rmdir(dir);

    std::printf("| figure | measured | bare | ratio | goal | met |\n|---|---|---|---|---|---|\n");
    for (const Row& r : g_rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.measured.c_str(), r.bare.c_str(),
                    r.ratio.c_str(), r.goal.c_str(), r.met.c_str());
    return 0;
}
