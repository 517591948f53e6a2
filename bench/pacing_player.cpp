// The player's rows: fast mode against libsndfile (and libsbc) doing the
// same reading alone, its peak memory, and its CPU on the real clock.
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
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/kernel.h"
#include "host/platform.h"
#include "pacing.h"

namespace pacing {
namespace {

// ---- The player ----------------------------------------------------------------------

// Figures from the player's JSON report, which keeps six significant digits
// (the text report rounds the wall time to the millisecond, too coarse for a
// minute that plays in about ten).  Each read takes the figures it is asked
// for and removes the file.
struct Reported {
    double wall = 0;    // wall_seconds: the playback, first write to last buffer back
    double cpu = 0;     // cpu_seconds: the whole process over the same stretch
    long peakKb = 0;    // peak_memory_kb: the player's own high-water mark (VmHWM).  Not the
                        // child's ru_maxrss, which starts from the forking parent's size at exec.
};

Reported ReadReport()
{
    Reported r;
    std::FILE* f = std::fopen(g_report.c_str(), "r");
    if (f == nullptr)
        return r;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    std::remove(g_report.c_str());   // a run that writes none must not reuse it
    auto number = [&](const char* key) {
        const std::string name = std::string("\"") + key + "\":";
        size_t at = text.find(name);
        return at == std::string::npos ? 0 : std::atof(text.c_str() + at + name.size());
    };
    r.wall = number("wall_seconds");
    r.cpu = number("cpu_seconds");
    r.peakKb = static_cast<long>(number("peak_memory_kb"));
    return r;
}

double ReportedWall()
{
    return ReadReport().wall;
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

// The 1-minute and 1-hour WAV files: speed against libsndfile's read and
// peak memory, which must not grow with the length played.
void BenchFastLengths(const std::string& player, const std::string& dir, bool quick)
{
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
        Check(RunChild({player, "--fast", "--quiet", "--length", l.length, "--wav", wav}), "writing the WAV file");
        double best = 1e9, read = 1e9;
        long peak = 0;
        for (int i = 0; i < 3; ++i) {
            Check(RunChild({player, "--fast", "--quiet", "--report", g_report, wav}), "fast mode");
            const Reported r = ReadReport();
            best = std::min(best, r.wall);
            peak = std::max(peak, r.peakKb);
            read = std::min(read, DecodeSeconds(wav));
        }
        unlink(wav.c_str());
        double speed = l.seconds / best;
        Add(std::string("fast mode, ") + l.name +
                " of 16-bit stereo 44.1 kHz WAV: audio s per wall s (bare: libsndfile reading the file alone)",
            Fmt("%.0fx", speed), Fmt("%.0fx", l.seconds / read), Fmt("%.2fx the read's time", best / read),
            l.seconds >= 3600 ? "<= 2x the read's time" : ">= 5,000x",
            l.seconds >= 3600 ? best <= 2 * read : speed >= 5000);
        Add(std::string("fast mode, ") + l.name + ": peak memory (the player's own high-water mark, VmHWM)", Fmt("%.1f MB", peak / 1024.0), "-",
            "-", "<= 64 MB", peak <= 64 * 1024);
        peaks.push_back(peak);
    }
    // Nothing grows with the length played: an hour's peak against a minute's.
    if (peaks.size() == 2)
        Add("fast mode: peak memory flat with length (1 h against 1 min)", Fmt("%.1f MB", peaks[1] / 1024.0),
            Fmt("%.1f MB", peaks[0] / 1024.0), Fmt("%.2fx", static_cast<double>(peaks[1]) / peaks[0]), "<= 1.05x",
            peaks[1] <= 1.05 * peaks[0]);
}

// The headset model's cost: the same ten minutes (one in a quick run)
// with and without it, the best of seven runs each, taken in turn.
void BenchHeadset(const std::string& player, const std::string& dir, bool quick)
{
    std::string wav = dir + "/tone.wav";
    Check(RunChild({player, "--fast", "--quiet", "--length", quick ? "1min" : "10min", "--wav", wav}),
          "writing the WAV file");
    double with = 1e9, without = 1e9;
    for (int i = 0; i < 7; ++i) {
        Child a = RunChild({player, "--fast", "--quiet", "--report", g_report, wav});
        Check(a, "fast mode with the headset");
        with = std::min(with, ReportedWall());
        Child b = RunChild({player, "--fast", "--quiet", "--no-headset", "--report", g_report, wav});
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
void BenchHeard(const std::string& player, const std::string& dir, bool quick)
{
    std::string wav = dir + "/tone.wav", heard = dir + "/heard.wav";
    Check(RunChild({player, "--fast", "--quiet", "--length", quick ? "1min" : "10min", "--wav", wav}),
          "writing the WAV file");
    double play = 1e9, bare = 1e9;
    for (int i = 0; i < 3; ++i) {
        Child c = RunChild({player, "--fast", "--quiet", "--heard", heard, "--report", g_report, wav});
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
void BenchFlac(const std::string& player, const std::string& dir, bool quick)
{
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
        Child c = RunChild({player, "--fast", "--quiet", "--report", g_report, flac});
        Check(c, "fast mode, FLAC");
        play = std::min(play, ReportedWall());
    }
    unlink(flac.c_str());
    Add(Fmt("fast mode, %.0f s FLAC: player against libsndfile's decode alone", flacSeconds), Fmt("%.3f s", play),
        Fmt("%.3f s", decode), Fmt("%.2fx", play / decode), "<= 1.2x", play <= 1.2 * decode);
}

// The default refill (the main thread woken by the event for each buffer)
// against the callback's, both on the virtual clock that moves by itself:
// one minute, whole process's wall time, the best of three each, in turn.
void BenchRefill(const std::string& player)
{
    double event = 1e9, callback = 1e9;
    for (int i = 0; i < 3; ++i) {
        Child a = RunChild({player, "--fast", "--quiet", "--length", "60s"});
        Check(a, "fast mode, event refill");
        event = std::min(event, a.wall);
        Child b = RunChild({player, "--fast", "--quiet", "--length", "60s", "--refill", "callback"});
        Check(b, "fast mode, callback refill");
        callback = std::min(callback, b.wall);
    }
    Add("fast mode, 60 s: the default (event) refill against --refill callback, whole process's wall time",
        Fmt("%.3f s", event), Fmt("%.3f s", callback), Fmt("%.2fx", event / callback), "<= 2x", event <= 2 * callback);
}

// How long a hung program takes to be reported: a child on the self-moving
// clock whose only thread waits for ever on an event, from fork to its exit
// with the hung code, against the same child that sets the event first and
// exits (the start-up alone).  The best of five each.
double TimeChild(bool hang)
{
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        host::UseClock(host::ClockKind::VirtualAuto);
        HANDLE e = CreateEventW(nullptr, FALSE, hang ? FALSE : TRUE, nullptr);
        WaitForSingleObject(e, INFINITE);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const int want = hang ? host::kHungExitCode : 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != want) {
        std::fprintf(stderr, "pacing_bench: the %s child ended with status %d\n", hang ? "hung" : "plain", status);
        std::exit(1);
    }
    return Seconds(t0, Clock::now());
}

void BenchHung()
{
    double hung = 1e9, plain = 1e9;
    for (int i = 0; i < 5; ++i) {
        hung = std::min(hung, TimeChild(true));
        plain = std::min(plain, TimeChild(false));
    }
    Add("self-moving clock: a hung program reported (fork to exit 124) against one that ends (fork to exit 0)",
        Fmt("%.2f ms", hung * 1000), Fmt("%.2f ms", plain * 1000), Fmt("%.2fx", hung / plain), "<= 2x",
        hung <= 2 * plain);
}

#ifdef BENCH_RUNNER
// An unchanged device application under the runner with --fast against the
// player's --fast on the same 60 s of audio with the same world (a link drop
// and interference): whole process's wall time, the best of three each, in
// turn, and each one's own peak memory (VmHWM) from its JSON report.
void BenchRunner(const std::string& player, const std::string& dir)
{
    const std::string wav = dir + "/minute.wav", raw = dir + "/minute.raw";
    Check(RunChild({player, "--fast", "--quiet", "--length", "60s", "--wav", wav}), "writing the WAV file");
    // The raw audio the program reads: the WAV's data after its 44-byte header.
    RunChild({"/bin/sh", "-c", "tail -c +45 '" + wav + "' > '" + raw + "'"});
    const std::vector<std::string> world = {"--headset-buffer", "150ms", "--link-down", "20s", "--link-back", "20.5s",
                                            "--interference", "10s:5s:60%"};
    double runWall = 1e9, playWall = 1e9;
    long runPeak = 0, playPeak = 0;
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> a = {BENCH_RUNNER, "--fast", "--report", g_report};
        a.insert(a.end(), world.begin(), world.end());
        a.insert(a.end(), {"--", BENCH_WORLD_PLAY, raw});
        Child r = RunChild(a);
        const Reported rr = ReadReport();
        std::vector<std::string> b = {player, "--fast", "--quiet", "--report", g_report};
        b.insert(b.end(), world.begin(), world.end());
        b.push_back(wav);
        Child p = RunChild(b);
        const Reported pr = ReadReport();
        if (r.code != 7 || p.code != 7) {   // the link drop's gap, both times
            std::fprintf(stderr, "pacing_bench: runner exit %d, player exit %d (7 expected)\n%s\n", r.code, p.code,
                         r.out.c_str());
            std::exit(1);
        }
        runWall = std::min(runWall, r.wall);
        playWall = std::min(playWall, p.wall);
        runPeak = std::max(runPeak, rr.peakKb);
        playPeak = std::max(playPeak, pr.peakKb);
    }
    unlink(wav.c_str());
    unlink(raw.c_str());
    Add("runner --fast, 60 s device application with a link drop and interference, against the player's --fast on "
        "the same audio and world: whole process's wall time",
        Fmt("%.3f s", runWall), Fmt("%.3f s", playWall), Fmt("%.2fx", runWall / playWall), "<= 1.5x",
        runWall <= 1.5 * playWall);
    Add("runner --fast, the same: peak memory of the program against the player's (each one's VmHWM)",
        Fmt("%.1f MB", runPeak / 1024.0), Fmt("%.1f MB", playPeak / 1024.0),
        Fmt("%.2fx", static_cast<double>(runPeak) / std::max(playPeak, 1L)), "<= 1.2x", runPeak <= 1.2 * playPeak);
}
#endif

}  // namespace

void BenchFast(const std::string& player, const std::string& dir, bool quick)
{
    std::fprintf(stderr, "fast mode...\n");
    BenchFastLengths(player, dir, quick);
    BenchHeadset(player, dir, quick);
#ifdef BENCH_HAVE_SBC
    BenchHeard(player, dir, quick);
#endif
    BenchFlac(player, dir, quick);
    BenchRefill(player);
    BenchHung();
#ifdef BENCH_RUNNER
    BenchRunner(player, dir);
#endif
}

void BenchRealTime(const std::string& player, bool quick)
{
    std::fprintf(stderr, "real time...\n");
    const int seconds = quick ? 3 : 20;
    // The player reports its whole process's CPU time over the playback
    // (from the first write to the last buffer back), so start-up and
    // shutdown stay out.  A short run first tells the timer's scheduling.
    Child probe = RunChild({player, "--quiet", "--link-delay", "0", "--length", "100ms"});
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
    Child run = RunChild({player, "--quiet", "--link-delay", "0", "--length", std::to_string(seconds) + "s",
                     "--late-ticks", "off", "--report", g_report});
    bareLoop.join();
    Check(run, "real-time run");
    const double perSecond = ReadReport().cpu / seconds;
    const double barePerSecond = bareCpu / seconds;
    Add("real-time playback: CPU per audio second, whole process, as % of a core (" + sched +
            ", --late-ticks off; bare: a 20 ms clock_nanosleep loop beside it, same scheduling)",
        Fmt("%.2f ms (", perSecond * 1000) + Fmt("%.3f %%)", perSecond * 100),
        Fmt("%.2f ms", barePerSecond * 1000), Fmt("%.1fx", perSecond / std::max(barePerSecond, 1e-9)), "<= 0.2 %",
        perSecond <= 0.002);
    // As the player runs by default: the audit of every tick and the bare
    // probe beside the timer thread, against the same playback without them.
    Child audited = RunChild({player, "--quiet", "--link-delay", "0", "--length", std::to_string(seconds) + "s",
                         "--report", g_report});
    Check(audited, "real-time run with the late-tick audit");
    const double auditedPerSecond = ReadReport().cpu / seconds;
    g_rows.push_back({"real-time playback: CPU per audio second with the late-tick audit and its probes, two per CPU (the "
                      "default); bare: the same with --late-ticks off",
                      Fmt("%.2f ms", auditedPerSecond * 1000), Fmt("%.2f ms", perSecond * 1000),
                      Fmt("%.1fx", auditedPerSecond / std::max(perSecond, 1e-9)), "-", "-"});
}

}  // namespace pacing
