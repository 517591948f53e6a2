#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace player {
namespace {

std::string Fixed(double v, int decimals)
{
    if (std::fabs(v) < 0.5 * std::pow(10.0, -decimals))
        v = 0;   // no "-0.000"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string JsonNumber(double v)
{
    if (!std::isfinite(v))
        return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

std::string Quoted(const std::string& s)
{
    return "\"" + JsonEscape(s) + "\"";
}

std::string XmlEscape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string SummaryJson(const Summary& s)
{
    return "{\"count\": " + std::to_string(s.count) + ", \"mean\": " + JsonNumber(s.mean) +
           ", \"p99\": " + JsonNumber(s.p99) + ", \"max\": " + JsonNumber(s.max) + "}";
}

}  // namespace

std::string JsonEscape(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// "refuse@10x5: fired 5 times (what one does)".
static std::string FaultText(const FaultLine& f)
{
    std::string what = f.what;
    size_t at = what.find("AMOUNT");
    if (at != std::string::npos)
        what.replace(at, 6, std::to_string(f.amount));
    return f.text + ": fired " + std::to_string(f.fired) + " time" + (f.fired == 1 ? "" : "s") + " (" + what + ")";
}

// The report's lines on the registry: the files read, the variables given
// from outside, and how much the conditions left out (the dump lists it).
static std::vector<std::string> RegistryLines(const host::RegLoadReport& g)
{
    std::vector<std::string> lines;
    std::string files, included;
    size_t includes = 0;
    for (const std::string& f : g.files) {
        if (f.find(" (included at ") != std::string::npos)
            ++includes;
        else
            files += (files.empty() ? "" : ", ") + f;
    }
    if (files.empty())
        return lines;
    if (includes)
        files += " and " + std::to_string(includes) + (includes == 1 ? " file" : " files") + " they include";
    for (const std::string& f : g.stringFiles)
        included += (included.empty() ? "; strings from " : ", ") + f;
    lines.push_back("read " + files + included);
    std::string given;
    size_t unset = 0;
    for (const std::string& v : g.variables) {
        if (v.find(" (not set") != std::string::npos)
            ++unset;
        else if (v.find(" (#define at ") == std::string::npos)
            given += (given.empty() ? "" : ", ") + v;
    }
    if (!given.empty() || unset)
        lines.push_back("variables " + (given.empty() ? std::string("none given") : given) +
                        (unset ? "; " + std::to_string(unset) + " asked for but not set" : std::string()));
    size_t assumed = 0;
    for (const std::string& c : g.components)
        assumed += c.find("(assumed") != std::string::npos;
    if (!g.skipped.empty() || assumed)
        lines.push_back(std::to_string(g.skipped.size()) + " block" + (g.skipped.size() == 1 ? "" : "s") +
                        " left out by their conditions, " + std::to_string(assumed) + " component" +
                        (assumed == 1 ? "" : "s") + " taken as in the image (--registry-dump lists them)");
    for (const std::string& m : g.messages)
        lines.push_back("message " + m);
    return lines;
}

std::string FormatText(const Report& r)
{
    std::ostringstream o;
    const PacingResult& p = r.pacing;
    auto line = [&](const char* label, const std::string& value) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "  %-16s", label);
        o << buf << value << "\n";
    };
    if (r.failed) {
        o << "Stopped playing " << r.source << " (" << (r.sourceFormat.empty() ? std::string("not read") : r.sourceFormat)
          << ")\n";
        line("failure", r.error + " (exit " + std::to_string(r.exitCode) + ")");
    } else {
        o << "Played " << r.source << " (" << r.sourceFormat << ")\n";
    }
    // A run that stopped before it had buffers never got to play.
    const bool setUp = !r.failed || r.buffers > 0;
    if (!setUp)
        ;
    else if (r.converted && r.queryRefused)
        line("format", "WAVE_FORMAT_QUERY refused it; converted: " + r.conversion);
    else if (r.converted)
        line("format", "accepted by WAVE_FORMAT_QUERY, but the device plays only 16-bit stereo 44100 Hz "
                       "(WAVE_FORMAT_4S16); converted: " + r.conversion);
    else
        line("format", "accepted by WAVE_FORMAT_QUERY, played as is");
    for (const std::string& n : r.notes)
        line("note", n);
    for (const std::string& w : r.warnings)
        line("warning", w);
    for (const std::string& g : RegistryLines(r.registry))
        line("registry", g);
    line("clock", r.clock == "virtual" ? "virtual (--fast)" : "real");
    if (!r.timerThread.empty())
        line("timer thread", r.timerThread);
    std::string buffers = std::to_string(r.buffers) + " x " + std::to_string(r.bufferBytes) + " bytes, ";
    buffers += r.loops ? "queued at once as one loop played " + std::to_string(r.loops) + " times"
                       : "refilled from the " + r.refill;
    if (setUp)
        line("buffers", buffers);
    if (setUp || !r.configLine.empty())
        line("driver config", r.configLine.empty() ? "(no configuration line)" : r.configLine);
    for (const Happening& h : r.happenings)
        line("event", Fixed(h.t, 3) + " s  " + h.what);
    if (!setUp) {
        for (const FaultLine& f : r.faults)
            line("fault", FaultText(f));
        for (const std::string& f : r.outputs)
            line("wrote", f);
        return o.str();
    }
    line("audio duration", Fixed(r.audioSeconds, 3) + " s");
    std::string wall = Fixed(r.wallSeconds, 3) + " s";
    if (r.clock == "virtual")
        wall += " (" + Fixed(r.clockSeconds, 3) + " s on the virtual clock)";
    line("wall time", wall);
    line("bytes written", std::to_string(r.bytesWritten));
    line("bytes received", std::to_string(r.comparison.received) + " (expected " +
                               std::to_string(r.comparison.expected) + ")");
    std::string exact = r.comparison.exact ? "yes" : "NO";
    if (!r.comparison.exact && r.comparison.firstDifference >= 0)
        exact += ", first difference at byte " + std::to_string(r.comparison.firstDifference);
    line("bit-exact", r.failed ? std::string("not judged: the run stopped early") : exact);
    std::string packets = std::to_string(p.packets);
    if (p.packets)
        packets += " (audio bytes min " + std::to_string(p.packetMin) + ", mean " + Fixed(p.packetMean, 1) +
                   ", max " + std::to_string(p.packetMax) + ")";
    if (p.refused)
        packets += ", " + std::to_string(p.refused) + " refused (" + std::to_string(p.refusedBytes) + " bytes lost)";
    line("packets", packets);
    if (p.intervalMs.count) {
        line("tick interval", "mean " + Fixed(p.intervalMs.mean, 3) + " ms, p99 " + Fixed(p.intervalMs.p99, 3) +
                                  " ms, max " + Fixed(p.intervalMs.max, 3) + " ms (" +
                                  std::to_string(p.tickCount) + " ticks" +
                                  (p.ticksObserved ? "" : ", taken from packets") + ")");
        line("tick lateness", "mean " + Fixed(p.latenessMs.mean, 3) + " ms, p99 " + Fixed(p.latenessMs.p99, 3) +
                                  " ms, max " + Fixed(p.latenessMs.max, 3) + " ms");
    }
    const LateTickReport& lt = r.lateTicks;
    if (lt.audited) {
        std::string late = std::to_string(lt.count) + " of " + std::to_string(lt.ticks) + " ticks ended more than " +
                           Fixed(lt.thresholdMs, 1) + " ms after their deadline";
        if (lt.count) {
            std::string causes;
            for (const auto& c : lt.byCause)
                causes += (causes.empty() ? "" : ", ") + std::to_string(c.second) + " " + CauseWords(c.first);
            late += " (" + causes + "); the latest " + Fixed(lt.maxLateMs, 1) + " ms; " +
                    std::to_string(lt.unseenByProbe) + " of them not seen by the probe";
        }
        line("late ticks", late);
        const size_t kShownTicks = 10;
        for (size_t i = 0; i < lt.lines.size() && i < kShownTicks; ++i) {
            const LateTickLine& l = lt.lines[i];
            std::string what = "at " + Fixed(l.t, 3) + " s, " + Fixed(l.lateMs, 1) + " ms late: " + CauseWords(l.cause);
            if (!l.lockHolder.empty())
                what += " (held by " + l.lockHolder + ")";
            if (l.afterPrevious)
                what += " in the tick before, still running";
            what += "; not scheduled " + Fixed(l.notScheduledMs, 1) + ", tick before " + Fixed(l.previousMs, 1) +
                    ", lock " + Fixed(l.lockMs, 1) + ", post " + Fixed(l.postMs, 1) + ", callback " +
                    Fixed(l.callbackMs, 1) + ", work " + Fixed(l.workMs, 1) + " ms (the thread ran " +
                    Fixed(l.ranMs, 1) + " ms of its tick); the probe was held up " + Fixed(l.probeHeldMs, 1) + " ms of it: " +
                    (l.probeSaw ? "seen" : "not seen");
            line("late tick", what);
        }
        if (lt.lines.size() > kShownTicks)
            line("late tick", "... and " + std::to_string(lt.lines.size() - kShownTicks) + " more");
        if (lt.probeWakeups)
            line("probe", lt.probeScheduling + ", one on each of " + std::to_string(lt.probeCount) +
                              " CPUs, 1 ms after each tick's deadline and every 0.5 ms while that tick runs late: " +
                              std::to_string(lt.probeWakeups) + " wake-ups, lateness p50 " + Fixed(lt.probeP50Ms, 3) +
                              " ms, p99 " + Fixed(lt.probeP99Ms, 3) + " ms, max " + Fixed(lt.probeMaxMs, 3) +
                              " ms; " + std::to_string(lt.probeLateWakeups) + " later than " +
                              Fixed(lt.thresholdMs, 1) + " ms");
    }
    line("underruns", std::to_string(p.underruns) +
                          (p.underruns ? std::string(p.underruns == 1 ? " tick" : " ticks") + " (" +
                                                std::to_string(p.underrunBytes) + " bytes short)"
                                          : ""));
    if (r.world) {
        const btstandin::PostStats& k = r.link;
        auto audio = [](uint64_t bytes) { return std::to_string(bytes) + " bytes, " + Fixed(bytes / 176400.0, 3) + " s"; };
        std::string posts = std::to_string(k.posts) + " posts: " + std::to_string(k.carried) + " carried";
        if (k.refusedLinkDown)
            posts += ", " + std::to_string(k.refusedLinkDown) + " refused while the link was down (" +
                     audio(k.refusedLinkDownBytes) + ")";
        if (k.refusedQueueFull)
            posts += ", " + std::to_string(k.refusedQueueFull) + " refused by a full send queue (" +
                     audio(k.refusedQueueFullBytes) + ")";
        if (k.refusedFault)
            posts += ", " + std::to_string(k.refusedFault) + " refused by a fault (" + audio(k.refusedFaultBytes) + ")";
        if (k.lost)
            posts += ", " + std::to_string(k.lost) + " lost by the radio (" + audio(k.lostBytes) + ")";
        if (k.slow)
            posts += ", " + std::to_string(k.slow) + " slow (" + std::to_string(k.slowMs) + " ms in all)";
        line("link", posts);
        line("send queue", std::to_string(r.radioQueueBytes) + " bytes, radio " + std::to_string(r.radioBytesPerSecond) +
                               " bytes/s, fullest " + std::to_string(k.peakQueueBytes) + " bytes");
        line("stand-in", "at most " + std::to_string(k.peakInFlight) +
                             " packets waited for the sinks; the longest from a post to the sinks " +
                             Fixed(k.maxLagNs / 1e6, 1) + " ms");
        for (const FaultLine& f : r.faults)
            line("fault", FaultText(f));
        const HeadsetResult& h = r.listener;
        char ppm[32];
        std::snprintf(ppm, sizeof ppm, "%+g ppm", r.headset.ppm);
        line("headset", "buffer " + Fixed(r.headset.capacityFrames / 44.1, 0) + " ms, starts at " +
                            Fixed(r.headset.startFrames / 44.1, 0) + " ms, clock " + ppm);
        double heard = h.playedFrames / 44100.0;
        double expected = r.comparison.expected / 176400.0;
        std::string listener = h.started ? "heard " + Fixed(heard, 3) + " s of audio" : std::string("heard nothing");
        listener += h.gaps.empty() ? ", no gaps"
                                   : ", " + std::to_string(h.gaps.size()) + (h.gaps.size() == 1 ? " gap" : " gaps") +
                                         " of silence (" + Fixed(h.gapSeconds(), 3) + " s)";
        if (h.droppedBytes)
            listener += ", " + std::to_string(h.overflows.size()) + (h.overflows.size() == 1 ? " overflow" : " overflows") +
                        " (" + audio(h.droppedBytes) + " dropped)";
        if (expected - heard > 0.0005)
            listener += "; " + Fixed(expected - heard, 3) + " s of the sound never heard";
        if (!h.gaps.empty() && r.config.sample && r.config.sample < 176400)
            listener += "; the driver sends " + std::to_string(r.config.sample) +
                        " bytes/s, less than the headset plays: it starves";
        line("listener", listener);
        const size_t kShown = 20;
        for (size_t i = 0; i < h.gaps.size() && i < kShown; ++i)
            line("gap", "at " + Fixed(h.gaps[i].at, 3) + " s for " + Fixed(h.gaps[i].seconds, 3) + " s (at " +
                            Fixed(h.gaps[i].heardAt, 3) + " s of what was heard)");
        if (h.gaps.size() > kShown)
            line("gap", "... and " + std::to_string(h.gaps.size() - kShown) + " more");
        for (size_t i = 0; i < h.overflows.size() && i < kShown; ++i)
            line("overflow", "at " + Fixed(h.overflows[i].at, 3) + " s, " + std::to_string(h.overflows[i].bytes) +
                                 " bytes dropped");
        if (h.overflows.size() > kShown)
            line("overflow", "... and " + std::to_string(h.overflows.size() - kShown) + " more");
        if (h.started) {
            line("latency", "first write to first sound " + Fixed(h.startLatency, 3) + " s; post to ear mean " +
                                Fixed(h.meanPostToEar, 3) + " s, max " + Fixed(h.maxPostToEar, 3) + " s");
            line("headset level", "while playing: lowest " + std::to_string(h.minLevelFrames) +
                                      " frames (just before a packet arrived), highest " +
                                      std::to_string(h.maxLevelFrames) + " frames (just after one)");
        }
    }
    if (r.peakMemoryKb)
        line("peak memory", std::to_string((r.peakMemoryKb + 512) / 1024) + " MB (whole process)");
    for (const std::string& f : r.outputs)
        line("wrote", f);
    return o.str();
}

std::string FormatJson(const Report& r)
{
    const PacingResult& p = r.pacing;
    std::ostringstream o;
    o << "{\n";
    o << "  \"result\": " << Quoted(r.failed ? "failed" : "played") << ",\n";
    o << "  \"exit_code\": " << r.exitCode << ",\n";
    o << "  \"error\": " << Quoted(r.error) << ",\n";
    o << "  \"source\": " << Quoted(r.source) << ",\n";
    o << "  \"source_format\": " << Quoted(r.sourceFormat) << ",\n";
    o << "  \"format_query_refused\": " << (r.queryRefused ? "true" : "false") << ",\n";
    o << "  \"converted\": " << (r.converted ? "true" : "false") << ",\n";
    o << "  \"conversion\": " << Quoted(r.conversion) << ",\n";
    o << "  \"notes\": [";
    for (size_t i = 0; i < r.notes.size(); ++i)
        o << (i ? ", " : "") << Quoted(r.notes[i]);
    o << "],\n";
    o << "  \"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i)
        o << (i ? ", " : "") << Quoted(r.warnings[i]);
    o << "],\n";
    auto list = [&](const char* name, const std::vector<std::string>& items, const char* after) {
        o << "\"" << name << "\": [";
        for (size_t i = 0; i < items.size(); ++i)
            o << (i ? ", " : "") << Quoted(items[i]);
        o << "]" << after;
    };
    const host::RegLoadReport& g = r.registry;
    o << "  \"registry\": {";
    list("files", g.files, ", ");
    list("string_files", g.stringFiles, ", ");
    list("variables", g.variables, ", ");
    list("components", g.components, ", ");
    list("strings", g.strings, ", ");
    list("skipped", g.skipped, ", ");
    list("messages", g.messages, "},\n");
    o << "  \"clock\": " << Quoted(r.clock) << ",\n";
    o << "  \"timer_thread\": " << Quoted(r.timerThread) << ",\n";
    o << "  \"peak_memory_kb\": " << r.peakMemoryKb << ",\n";
    o << "  \"buffers\": {\"count\": " << r.buffers << ", \"bytes\": " << r.bufferBytes
      << ", \"refill\": " << Quoted(r.refill) << ", \"loops\": " << r.loops << "},\n";
    o << "  \"config_line\": " << Quoted(r.configLine) << ",\n";
    o << "  \"config\": {\"Sample\": " << r.config.sample << ", \"Timer\": " << r.config.timer
      << ", \"CacheLen\": " << r.config.cacheLen << "},\n";
    o << "  \"events\": [";
    for (size_t i = 0; i < r.happenings.size(); ++i)
        o << (i ? ",\n    " : "\n    ") << "{\"t\": " << JsonNumber(r.happenings[i].t)
          << ", \"what\": " << Quoted(r.happenings[i].what) << "}";
    o << (r.happenings.empty() ? "],\n" : "\n  ],\n");
    o << "  \"audio_seconds\": " << JsonNumber(r.audioSeconds) << ",\n";
    o << "  \"wall_seconds\": " << JsonNumber(r.wallSeconds) << ",\n";
    o << "  \"cpu_seconds\": " << JsonNumber(r.cpuSeconds) << ",\n";
    o << "  \"clock_seconds\": " << JsonNumber(r.clockSeconds) << ",\n";
    o << "  \"bytes_written\": " << r.bytesWritten << ",\n";
    o << "  \"bytes_expected\": " << r.comparison.expected << ",\n";
    o << "  \"bytes_received\": " << r.comparison.received << ",\n";
    o << "  \"bit_exact\": " << (r.comparison.exact ? "true" : "false") << ",\n";
    o << "  \"first_difference\": " << r.comparison.firstDifference << ",\n";
    o << "  \"packets\": {\"count\": " << p.packets << ", \"min\": " << p.packetMin
      << ", \"mean\": " << JsonNumber(p.packetMean) << ", \"max\": " << p.packetMax << ", \"refused\": " << p.refused
      << ", \"refused_bytes\": " << p.refusedBytes << "},\n";
    o << "  \"ticks\": {\"count\": " << p.tickCount << ", \"timeline_every\": " << p.timelineEvery << ", \"observed\": " << (p.ticksObserved ? "true" : "false")
      << ",\n    \"interval_ms\": " << SummaryJson(p.intervalMs)
      << ",\n    \"lateness_ms\": " << SummaryJson(p.latenessMs) << "},\n";
    if (r.lateTicks.audited) {
        const LateTickReport& lt = r.lateTicks;
        o << "  \"late_ticks\": {\"threshold_ms\": " << JsonNumber(lt.thresholdMs) << ", \"audited\": " << lt.ticks
          << ", \"count\": " << lt.count << ", \"max_late_ms\": " << JsonNumber(lt.maxLateMs)
          << ", \"unseen_by_probe\": " << lt.unseenByProbe << ", \"by_cause\": {";
        bool first = true;
        for (const auto& c : lt.byCause) {
            o << (first ? "" : ", ") << Quoted(c.first) << ": " << c.second;
            first = false;
        }
        o << "},\n    \"probe\": {\"scheduling\": " << Quoted(lt.probeScheduling) << ", \"probes\": " << lt.probeCount
          << ", \"period_ms\": "
          << JsonNumber(lt.probePeriodMs) << ", \"wakeups\": " << lt.probeWakeups << ", \"late_wakeups\": "
          << lt.probeLateWakeups << ", \"p50_ms\": " << JsonNumber(lt.probeP50Ms) << ", \"p99_ms\": "
          << JsonNumber(lt.probeP99Ms) << ", \"max_ms\": " << JsonNumber(lt.probeMaxMs) << "},\n    \"ticks\": [";
        for (size_t i = 0; i < lt.lines.size(); ++i) {
            const LateTickLine& l = lt.lines[i];
            o << (i ? ",\n      " : "\n      ") << "{\"t\": " << JsonNumber(l.t) << ", \"late_ms\": "
              << JsonNumber(l.lateMs) << ", \"cause\": " << Quoted(l.cause)
              << ", \"after_previous\": " << (l.afterPrevious ? "true" : "false")
              << ", \"lock_holder\": " << Quoted(l.lockHolder) << ", \"probe_saw\": "
              << (l.probeSaw ? "true" : "false") << ", \"probe_held_ms\": " << JsonNumber(l.probeHeldMs)
              << ", \"parts_ms\": {\"not_scheduled\": "
              << JsonNumber(l.notScheduledMs) << ", \"previous_tick\": " << JsonNumber(l.previousMs)
              << ", \"stream_lock\": " << JsonNumber(l.lockMs) << ", \"post\": " << JsonNumber(l.postMs)
              << ", \"callback\": " << JsonNumber(l.callbackMs) << ", \"tick_work\": " << JsonNumber(l.workMs)
              << "}, \"ran_ms\": " << JsonNumber(l.ranMs) << ", \"cpus\": {\"start\": " << l.startCpu
              << ", \"end\": " << l.endCpu << "}}";
        }
        o << (lt.lines.empty() ? "]},\n" : "\n    ]},\n");
    }
    o << "  \"underruns\": {\"count\": " << p.underruns << ", \"bytes_short\": " << p.underrunBytes << "},\n";
    if (r.world) {
        const btstandin::PostStats& k = r.link;
        o << "  \"link\": {\"posts\": " << k.posts << ", \"carried\": " << k.carried << ", \"carried_bytes\": "
          << k.carriedBytes << ", \"refused_link_down\": " << k.refusedLinkDown << ", \"refused_link_down_bytes\": "
          << k.refusedLinkDownBytes << ", \"refused_queue_full\": " << k.refusedQueueFull
          << ", \"refused_queue_full_bytes\": " << k.refusedQueueFullBytes << ", \"refused_fault\": " << k.refusedFault
          << ", \"refused_fault_bytes\": " << k.refusedFaultBytes << ", \"lost\": " << k.lost
          << ", \"lost_bytes\": " << k.lostBytes << ", \"slow\": " << k.slow << ", \"slow_ms\": " << k.slowMs
          << ", \"queue_bytes\": " << r.radioQueueBytes << ", \"radio_bytes_per_second\": " << r.radioBytesPerSecond
          << ", \"peak_queue_bytes\": " << k.peakQueueBytes << ", \"backlog_packets\": " << k.peakInFlight
          << ", \"backlog_lag_ms\": " << JsonNumber(k.maxLagNs / 1e6) << "},\n";
        o << "  \"faults\": [";
        for (size_t i = 0; i < r.faults.size(); ++i) {
            const FaultLine& f = r.faults[i];
            o << (i ? ", " : "") << "{\"fault\": " << Quoted(f.text) << ", \"skip\": " << f.skip
              << ", \"count\": " << f.count << ", \"amount\": " << f.amount << ", \"fired\": " << f.fired << "}";
        }
        o << "],\n";
        const HeadsetResult& h = r.listener;
        o << "  \"headset\": {\"buffer_frames\": " << r.headset.capacityFrames << ", \"start_frames\": "
          << r.headset.startFrames << ", \"ppm\": " << JsonNumber(r.headset.ppm) << ", \"started\": "
          << (h.started ? "true" : "false") << ", \"start_latency\": " << JsonNumber(h.startLatency)
          << ", \"received_bytes\": " << h.receivedBytes << ", \"played_frames\": " << h.playedFrames
          << ", \"silent_frames\": " << h.silentFrames << ", \"dropped_bytes\": " << h.droppedBytes
          << ", \"gap_seconds\": " << JsonNumber(h.gapSeconds()) << ", \"min_level_frames\": " << h.minLevelFrames
          << ", \"max_level_frames\": " << h.maxLevelFrames << ", \"post_to_ear_mean\": "
          << JsonNumber(h.meanPostToEar) << ", \"post_to_ear_max\": " << JsonNumber(h.maxPostToEar) << ",\n    \"gaps\": [";
        for (size_t i = 0; i < h.gaps.size(); ++i)
            o << (i ? ", " : "") << "{\"t\": " << JsonNumber(h.gaps[i].at) << ", \"heard_at\": "
              << JsonNumber(h.gaps[i].heardAt) << ", \"seconds\": " << JsonNumber(h.gaps[i].seconds) << "}";
        o << "],\n    \"overflows\": [";
        for (size_t i = 0; i < h.overflows.size(); ++i)
            o << (i ? ", " : "") << "{\"t\": " << JsonNumber(h.overflows[i].at) << ", \"bytes\": "
              << h.overflows[i].bytes << "}";
        o << "]},\n";
    }
    o << "  \"outputs\": [";
    for (size_t i = 0; i < r.outputs.size(); ++i)
        o << (i ? ", " : "") << Quoted(r.outputs[i]);
    o << "],\n";
    o << "  \"timeline\": [";
    for (size_t i = 0; i < p.ticks.size(); ++i) {
        const TickRow& t = p.ticks[i];
        o << (i ? ",\n    " : "\n    ") << "{\"t\": " << JsonNumber(t.t) << ", \"due\": " << t.due
          << ", \"posted\": " << t.posted << ", \"queued\": " << t.queued << (t.first ? ", \"first\": true" : "")
          << (t.underrun ? ", \"underrun\": true" : "") << "}";
    }
    o << (p.ticks.empty() ? "]\n" : "\n  ]\n");
    o << "}\n";
    return o.str();
}

const char* const kPacketLogHeader = "arrival_s,bytes,bytes_due,refused\n";

std::string FormatPacketLine(double t, const PacketInfo& p, uint32_t due)
{
    return Fixed(t, 6) + "," + std::to_string(p.bytes) + "," + std::to_string(due) + "," + (p.refused ? "1" : "0") +
           "\n";
}

std::string FormatPacketLog(const PacingInput& in, const PacingResult& r)
{
    std::string o = kPacketLogHeader;
    const double f = in.frequency ? static_cast<double>(in.frequency) : 1.0;
    for (size_t i = 0; i < in.packets.size(); ++i) {
        const PacketInfo& p = in.packets[i];
        double t = (static_cast<double>(p.counter) - static_cast<double>(in.startCounter)) / f;
        o += FormatPacketLine(t, p, i < r.packetDue.size() ? r.packetDue[i] : 0);
    }
    return o;
}

// ---- SVG timeline -------------------------------------------------------------

namespace {

// A "nice" step for about `want` grid lines over `span`.
double NiceStep(double span, int want)
{
    if (span <= 0)
        return 1;
    double raw = span / want;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double n = raw / mag;
    double step = n < 1.5 ? 1 : n < 3.5 ? 2 : n < 7.5 ? 5 : 10;
    return step * mag;
}

struct Panel {
    double x0, y0, w, h;     // plot area in pixels
    double tMin, tMax;       // seconds
    double vMin, vMax;       // values
    double X(double t) const { return x0 + (t - tMin) / (tMax - tMin) * w; }
    double Y(double v) const { return y0 + h - (v - vMin) / (vMax - vMin) * h; }
};

void Axes(std::ostringstream& o, const Panel& p, const std::string& title, const std::string& unit)
{
    o << "<rect x='" << Fixed(p.x0, 1) << "' y='" << Fixed(p.y0, 1) << "' width='" << Fixed(p.w, 1)
      << "' height='" << Fixed(p.h, 1) << "' fill='#fbfbfb' stroke='#888'/>\n";
    double ts = NiceStep(p.tMax - p.tMin, 10);
    for (double t = std::ceil(p.tMin / ts) * ts; t <= p.tMax + 1e-9; t += ts) {
        double x = p.X(t);
        o << "<line x1='" << Fixed(x, 1) << "' y1='" << Fixed(p.y0, 1) << "' x2='" << Fixed(x, 1) << "' y2='"
          << Fixed(p.y0 + p.h, 1) << "' stroke='#e4e4e4'/>\n";
        o << "<text x='" << Fixed(x, 1) << "' y='" << Fixed(p.y0 + p.h + 14, 1)
          << "' text-anchor='middle' class='tick'>" << Fixed(t, ts < 0.1 ? 2 : ts < 1 ? 1 : 0) << "</text>\n";
    }
    double vs = NiceStep(p.vMax - p.vMin, 5);
    for (double v = std::ceil(p.vMin / vs) * vs; v <= p.vMax + 1e-9; v += vs) {
        double y = p.Y(v);
        o << "<line x1='" << Fixed(p.x0, 1) << "' y1='" << Fixed(y, 1) << "' x2='" << Fixed(p.x0 + p.w, 1)
          << "' y2='" << Fixed(y, 1) << "' stroke='#e4e4e4'/>\n";
        o << "<text x='" << Fixed(p.x0 - 6, 1) << "' y='" << Fixed(y + 4, 1) << "' text-anchor='end' class='tick'>"
          << Fixed(v, 0) << "</text>\n";
    }
    o << "<text x='" << Fixed(p.x0, 1) << "' y='" << Fixed(p.y0 - 8, 1) << "' class='title'>" << XmlEscape(title)
      << "</text>\n";
    o << "<text x='" << Fixed(p.x0 + p.w, 1) << "' y='" << Fixed(p.y0 - 8, 1)
      << "' text-anchor='end' class='tick'>" << XmlEscape(unit) << "</text>\n";
}

}  // namespace

std::string FormatSvg(const Report& r)
{
    const std::vector<TickRow>& rows = r.pacing.ticks;
    const double width = 1100, height = r.world ? 880 : 640;
    double tMax = 0.001;
    double perTick = 1, queued = 1;
    for (const TickRow& t : rows) {
        tMax = std::max(tMax, t.t);
        perTick = std::max({perTick, static_cast<double>(t.due), static_cast<double>(t.posted)});
        queued = std::max(queued, static_cast<double>(t.queued));
    }
    double tMin = 0;
    for (const Happening& h : r.happenings) {
        tMin = std::min(tMin, h.t);
        tMax = std::max(tMax, h.t);
    }
    if (r.world)
        for (const HeadsetLevel& l : r.listener.levels)
            tMax = std::max(tMax, l.t);
    Panel top{80, 60, width - 110, 250, tMin, tMax, 0, perTick * 1.1};
    Panel bottom{80, 370, width - 110, 200, tMin, tMax, 0, queued * 1.1};

    std::ostringstream o;
    o << "<?xml version='1.0' encoding='UTF-8'?>\n";
    o << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height << "' viewBox='0 0 "
      << width << " " << height << "' font-family='sans-serif'>\n";
    o << "<style>.tick{font-size:11px;fill:#444}.title{font-size:13px;fill:#111}.legend{font-size:12px}</style>\n";
    o << "<rect width='100%' height='100%' fill='white'/>\n";
    std::string heading = "Pacing: " + r.source + ", " + r.clock + " clock" +
                          (r.configLine.empty() ? "" : " - " + r.configLine);
    o << "<text x='80' y='24' font-size='15px'>" << XmlEscape(heading) << "</text>\n";

    Axes(o, top, "Bytes per tick: due (line) and posted (bars); red: underrun", "bytes");
    Axes(o, bottom, "Bytes queued after each tick", "bytes");
    Panel level{80, 630, width - 110, 200, tMin, tMax, 0, std::max(1.0, r.headset.capacityFrames * 1.1)};
    if (r.world) {
        Axes(o, level, "Headset buffer after each packet; red: gaps the listener hears", "frames");
        std::string points;
        for (const HeadsetLevel& l : r.listener.levels)
            points += Fixed(level.X(std::min(l.t, tMax)), 2) + "," + Fixed(level.Y(l.frames), 2) + " ";
        if (!points.empty())
            o << "<polyline fill='none' stroke='#6a51a3' stroke-width='1.2' points='" << points << "'/>\n";
        for (const HeadsetGap& g : r.listener.gaps) {
            double x0 = level.X(std::min(g.at, tMax)), x1 = level.X(std::min(g.at + g.seconds, tMax));
            o << "<rect x='" << Fixed(x0, 2) << "' y='" << Fixed(level.y0 + level.h - 8, 2) << "' width='"
              << Fixed(std::max(1.0, x1 - x0), 2) << "' height='8' fill='#d62728'/>\n";
        }
    }

    // Posted bytes as thin bars.
    double barW = rows.size() > 1 ? std::max(0.6, top.w / rows.size() * 0.6) : 2;
    for (const TickRow& t : rows) {
        double x = top.X(t.t);
        double y = top.Y(t.posted);
        o << "<rect x='" << Fixed(x - barW / 2, 2) << "' y='" << Fixed(y, 2) << "' width='" << Fixed(barW, 2)
          << "' height='" << Fixed(top.y0 + top.h - y, 2) << "' fill='" << (t.underrun ? "#d62728" : "#9ecae1")
          << "'/>\n";
    }
    // Due as a line and queued bytes as steps, each broken where the ticks
    // stop (a pause, an idle pump).
    double gap = r.config.timer ? 2.5 * r.config.timer / 1000.0 : 0.05;
    auto series = [&](const Panel& p, const char* colour, bool steps, auto value) {
        std::string points;
        double prevT = 0, prevV = 0;
        bool open = false;
        auto flush = [&]() {
            if (!points.empty())
                o << "<polyline fill='none' stroke='" << colour << "' stroke-width='1.2' points='" << points
                  << "'/>\n";
            points.clear();
        };
        for (const TickRow& t : rows) {
            double v = value(t);
            if (open && t.t - prevT > gap) {
                if (steps)
                    points += Fixed(p.X(t.t), 2) + "," + Fixed(p.Y(prevV), 2) + " ";
                else
                    flush();
            }
            if (steps && open)
                points += Fixed(p.X(t.t), 2) + "," + Fixed(p.Y(prevV), 2) + " ";
            points += Fixed(p.X(t.t), 2) + "," + Fixed(p.Y(v), 2) + " ";
            open = true;
            prevT = t.t;
            prevV = v;
        }
        flush();
    };
    series(top, "#08519c", false, [](const TickRow& t) { return static_cast<double>(t.due); });
    series(bottom, "#31a354", true,
           [](const TickRow& t) { return static_cast<double>(std::max<int64_t>(t.queued, 0)); });
    // Link changes, pauses and resets as marked instants, labelled by the
    // first words of their description, on staggered rows.
    int row = 0;
    for (const Happening& h : r.happenings) {
        if (h.what.compare(0, 11, "not reached") == 0)
            continue;
        std::string label = h.what.substr(0, h.what.find_first_of(",;"));
        double x = top.X(h.t);
        o << "<line x1='" << Fixed(x, 1) << "' y1='" << Fixed(top.y0, 1) << "' x2='" << Fixed(x, 1) << "' y2='"
          << Fixed(r.world ? level.y0 + level.h : bottom.y0 + bottom.h, 1)
          << "' stroke='#ff7f0e' stroke-dasharray='4,3'/>\n";
        bool right = x > top.x0 + top.w * 0.85;
        o << "<text x='" << Fixed(right ? x - 3 : x + 3, 1) << "' y='" << Fixed(top.y0 + 12 + 13 * (row % 4), 1)
          << "' class='tick' fill='#b35806'" << (right ? " text-anchor='end'" : "") << ">" << XmlEscape(label)
          << "</text>\n";
        ++row;
    }
    // Late ticks: a red mark over the top panel at each one's deadline, as
    // wide as it was late, with its cause in the tooltip.
    for (const LateTickLine& l : r.lateTicks.lines) {
        double x0 = top.X(std::max(tMin, std::min(l.t, tMax)));
        double x1 = top.X(std::max(tMin, std::min(l.t + l.lateMs / 1000.0, tMax)));
        o << "<rect x='" << Fixed(x0, 2) << "' y='" << Fixed(top.y0, 2) << "' width='" << Fixed(std::max(1.5, x1 - x0), 2)
          << "' height='6' fill='#d62728'><title>" << XmlEscape("late tick at " + Fixed(l.t, 3) + " s, " +
                                                               Fixed(l.lateMs, 1) + " ms: " + CauseWords(l.cause))
          << "</title></rect>\n";
    }
    if (!r.lateTicks.lines.empty())
        o << "<text x='" << Fixed(top.x0 + top.w, 1) << "' y='" << Fixed(top.y0 + top.h + 28, 1)
          << "' text-anchor='end' class='tick' fill='#d62728'>red marks at the top: ticks late by more than "
          << Fixed(r.lateTicks.thresholdMs, 1) << " ms</text>\n";
    o << "<text x='" << Fixed(width / 2, 1) << "' y='" << Fixed(height - 12, 1)
      << "' text-anchor='middle' class='tick'>seconds since the first buffer was written</text>\n";
    o << "</svg>\n";
    return o.str();
}

}  // namespace player
