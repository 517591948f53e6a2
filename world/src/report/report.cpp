#include "report/report.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "world/device.h"

namespace player {

std::string Fixed(double v, int decimals)
{
    if (std::fabs(v) < 0.5 * std::pow(10.0, -decimals))
        v = 0;   // no "-0.000"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
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
    for (const host::RegFileRead& f : g.files) {
        if (!f.includedAt.empty())
            ++includes;
        else
            files += (files.empty() ? "" : ", ") + f.path;
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
    for (const host::RegVariableUse& v : g.variables) {
        if (v.source == host::RegVariableUse::NotSet)
            ++unset;
        else if (v.source != host::RegVariableUse::Defined)
            given += (given.empty() ? "" : ", ") + v.Text();
    }
    if (!given.empty() || unset)
        lines.push_back("variables " + (given.empty() ? std::string("none given") : given) +
                        (unset ? "; " + std::to_string(unset) + " asked for but not set" : std::string()));
    size_t assumed = 0;
    for (const host::RegComponentChoice& c : g.components)
        assumed += c.assumed;
    if (!g.skipped.empty() || assumed)
        lines.push_back(std::to_string(g.skipped.size()) + " block" + (g.skipped.size() == 1 ? "" : "s") +
                        " left out by their conditions, " + std::to_string(assumed) + " component" +
                        (assumed == 1 ? "" : "s") + " taken as in the image (--registry-dump lists them)");
    for (const std::string& m : g.messages)
        lines.push_back("message " + m);
    return lines;
}

std::string AclTypeNames(uint32_t types)
{
    uint32_t n = 0;
    const btstandin::AclTypeInfo* all = btstandin::AclTypes(&n);
    std::string names;
    for (uint32_t i = 0; i < n; ++i)
        if (types & all[i].bit)
            names += (names.empty() ? "" : "/") + std::string(all[i].name);
    return names;
}

namespace {

// The codec, the media packets, the radio and the heard quality.
template <typename Line>
void WorldLines(const Report& r, Line& line)
{
    const btstandin::PostStats& k = r.link;
    const btstandin::SendStats& m = k.send;
    const btstandin::SendPathConfig& c = r.send;
    const btstandin::CodecInfo& codec = btstandin::CodecOf(c.codec);
    const btstandin::CodecParts& parts = *codec.parts;
    line("codec", parts.describe(c));
    const double span = m.lastArrivalNs > m.firstSentNs ? (m.lastArrivalNs - m.firstSentNs) / 1e9 : 0;
    std::string media = std::to_string(m.packets) + " packets sent";
    if (parts.frames)
        media += " (" + std::to_string(m.frames) + " " + parts.frames + ")";
    media += ", " + std::to_string(k.lost) + " lost" +
             (c.flushMs ? ", " + std::to_string(m.flushed) + " flushed" : std::string()) + "; " + Fixed(span > 0 ? m.bytes * 8 / span / 1000 : 0, 1) +
             " kbit/s on the radio; " +
             (!r.encoded             ? "sizes by formula, nothing encoded (nobody listened)"
              : r.quality.measured ? "the library encoded " + std::string(parts.title) + " and the headset decoded it (someone listened)"
                                   : "the library encoded " + std::string(parts.title) + " for the stream file; nothing decoded (nobody listened)");
    line("media", media);
    if (codec.adaptive) {
        std::string bp = m.bitpoolChanges == 0 ? "stayed at " + std::to_string(m.highestBitpool)
                                               : std::to_string(m.bitpoolChanges) + " changes, lowest " +
                                                     std::to_string(m.lowestBitpool) + ", highest " +
                                                     std::to_string(m.highestBitpool);
        const size_t kShown = 8;
        for (size_t i = 0; i < m.bitpoolLog.size() && i < kShown; ++i)
            bp += (i ? ", " : ": ") + std::to_string(m.bitpoolLog[i].bitpool) + " at " +
                  Fixed((static_cast<double>(m.bitpoolLog[i].ns) - static_cast<double>(r.originNs)) / 1e9, 3) + " s";
        if (m.bitpoolChanges > kShown)
            bp += ", ...";
        line("bitpool", bp);
    }
    std::string radio = std::to_string(c.radioKbps) + " kbit/s, queue " + std::to_string(c.queuePackets) +
                        " packets, fullest " + std::to_string(m.peakQueuedPackets) + "; " + AclTypeNames(c.aclTypes) +
                        ": " + std::to_string(m.airSlots) + " slots (" + Fixed(m.airSlots * 625e-6, 3) + " s of air" +
                        (parts.aFrame && m.frames > m.flushedFrames ? ", " + Fixed(static_cast<double>(m.airSlots) / (m.frames - m.flushedFrames), 3) + " " + parts.aFrame
                                  : std::string()) +
                        ")";
    if (c.flushMs)
        radio += "; flush timeout " + std::to_string(c.flushMs) + " ms";
    if (r.interferenceAt >= 0)
        radio += "; interference at " + Fixed(r.interferenceAt, 3) + " s for " +
                 Fixed(c.interference.lengthNs / 1e9, 3) + " s took " + Fixed(c.interference.share * 100, 0) +
                 "% of it";
    line("radio", radio);
    if (r.quality.measured) {
        const QualityResult& q = r.quality;
        std::string heard = q.exact ? std::string("identical to what the library was given")
                                    : "segmental SNR " + Fixed(q.segmentalDb, 1) + " dB, worst second " +
                                          Fixed(q.worstDb, 1) + " dB (at " + Fixed(q.worstAt, 0) + " s)";
        // Gaps count as seconds at 0 dB; the audio's own figure stays beside.
        if (q.gapSeconds > 0)
            heard = "segmental SNR " + Fixed(q.withGapsDb, 1) + " dB counting " + Fixed(q.gapSeconds, 3) +
                    " s of gaps as 0 dB; the audio heard alone: " + heard;
        line("heard quality", heard);
    }
    if (m.packets)
        line("codec latency", (codec.Coded() && r.quality.measured ? "filter delay " + std::to_string(r.quality.delayFrames) +
                                                                " samples (" + Fixed(r.quality.delayFrames * 1000.0 / kDeviceRate, 2) +
                                                                " ms); "
                                                          : std::string()) +
                                  "waiting for a packet to fill mean " +
                                  Fixed(m.packWaitSumNs / 1e6 / static_cast<double>(m.packets), 1) + " ms, max " +
                                  Fixed(m.packWaitMaxNs / 1e6, 1) + " ms");
}

// The text report's lines: a label in a column of its own, then the value.
class Lines {
public:
    void operator()(const char* label, const std::string& value)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "  %-16s", label);
        o_ << buf << value << "\n";
    }
    std::ostringstream& Out() { return o_; }
    std::string Text() const { return o_.str(); }

private:
    std::ostringstream o_;
};

std::string Audio(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes, " + Fixed(bytes / kDeviceBytesPerSecond, 3) + " s";
}

// The heading, the format, what shaped the run and its events.  False when
// the run stopped before it had buffers: it never got to play.
bool HeadLines(const Report& r, Lines& line)
{
    if (r.failed) {
        line.Out() << "Stopped playing " << r.source << " ("
                   << (r.sourceFormat.empty() ? std::string("not read") : r.sourceFormat) << ")\n";
        line("failure", r.error + " (exit " + std::to_string(r.exitCode) + ")");
    } else if (r.application) {
        line.Out() << "Ran " << r.program << " in the world\n";
        line("verdict", r.verdict.Line() + " (exit " + std::to_string(r.exitCode) + ")");
        if (r.programExit >= 0)
            line("program exit", std::to_string(r.programExit));
    } else {
        line.Out() << "Played " << r.source << " (" << r.sourceFormat << ")\n";
        line("verdict", r.verdict.Line() + " (exit " + std::to_string(r.exitCode) + ")");
    }
    const bool setUp = !r.failed || r.buffers > 0;
    if (!setUp || r.application)
        ;
    else if (r.converted && r.queryRefused)
        line("format", "WAVE_FORMAT_QUERY refused it; converted: " + r.conversion);
    else if (r.converted)
        line("format", "accepted by WAVE_FORMAT_QUERY, but the player hands on as it is only 16-bit stereo " +
                           std::to_string(kDeviceRate) + " Hz; converted: " + r.conversion);
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
    if (!r.timerLateness.empty())
        line("timer model", (r.timerLatenessFrom == r.timerLateness ? "" : r.timerLatenessFrom + ": ") + r.timerLateness +
                                ", seed " + std::to_string(r.seed));
    std::string buffers = std::to_string(r.buffers) + " x " + std::to_string(r.bufferBytes) + " bytes, ";
    buffers += r.loops ? "queued at once as one loop played " + std::to_string(r.loops) + " times"
                       : r.refill == "event" ? "refilled by the main thread, woken by the event"
                                             : "refilled from inside the callback, which the platform forbids";
    if (setUp && !r.application)
        line("buffers", buffers);
    if (setUp || !r.configLine.empty())
        line("driver config", r.configLine.empty() ? "(no configuration line)" : r.configLine);
    for (const Happening& h : r.happenings)
        line("event", Fixed(h.t, 3) + " s  " + h.what);
    return setUp;
}

// Time, bytes, packets and the ticks' pacing.
void PacingLines(const Report& r, Lines& line)
{
    const PacingResult& p = r.pacing;
    line("audio duration", Fixed(r.audioSeconds, 3) + " s");
    std::string wall = Fixed(r.wallSeconds, 3) + " s";
    if (r.clock == "virtual")
        wall += " (" + Fixed(r.clockSeconds, 3) + " s on the virtual clock)";
    line("wall time", wall);
    line("bytes written", std::to_string(r.bytesWritten));
    if (r.application)
        line("bytes received", std::to_string(r.comparison.received));
    else
        line("bytes received", std::to_string(r.comparison.received) + " (expected " +
                                   std::to_string(r.comparison.expected) + ")");
    std::string exact = r.comparison.exact ? "yes" : "NO";
    if (!r.comparison.exact && r.comparison.firstDifference >= 0)
        exact += ", first difference at byte " + std::to_string(r.comparison.firstDifference);
    // An application's own audio is not known beforehand: not judged.
    if (!r.application)
        line("bit-exact", r.failed            ? std::string("not judged: the run stopped early")
                          : !r.bitExactJudged ? std::string("not judged: the wave mapper converted what was written")
                                              : exact);
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
        line("percentiles", p.latenessPercentiles + " (as --timer-lateness takes them)");
    }
}

// The ticks that ended late, what held each up, the probe and the steal.
void LateTickLines(const LateTickReport& lt, Lines& line)
{
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
                Fixed(l.callbackMs, 1) + ", work " + Fixed(l.workMs, 1) + ", machine " + Fixed(l.machineMs, 1) +
                " ms (the thread ran " +
                Fixed(l.ranMs, 1) + " ms of its tick); the probe was held up " + Fixed(l.probeHeldMs, 1) + " ms of it: " +
                (l.probeSaw ? "seen" : "not seen");
        line("late tick", what);
    }
    if (lt.lines.size() > kShownTicks)
        line("late tick", "... and " + std::to_string(lt.lines.size() - kShownTicks) + " more");
    if (lt.probeWakeups)
        line("probe", lt.probeScheduling + ", " + (lt.probesAbove ? "two" : "one") + " on each of " +
                          std::to_string(lt.probeCount) + " CPUs, 1 ms after each tick's deadline and every 0.5 ms while that tick runs late: " +
                          std::to_string(lt.probeWakeups) + " wake-ups, lateness p50 " + Fixed(lt.probeP50Ms, 3) +
                          " ms, p99 " + Fixed(lt.probeP99Ms, 3) + " ms, max " + Fixed(lt.probeMaxMs, 3) +
                          " ms; " + std::to_string(lt.probeLateWakeups) + " later than " +
                          Fixed(lt.thresholdMs, 1) + " ms");
    if (!lt.stealMs.empty()) {
        double total = 0, worst = 0;
        std::string byCpu;
        for (size_t c = 0; c < lt.stealMs.size(); ++c) {
            total += lt.stealMs[c];
            worst = std::max(worst, lt.stealMs[c]);
            byCpu += (c ? ", " : "") + Fixed(lt.stealMs[c], 0);
        }
        line("steal", Fixed(total, 0) + " ms of " + Fixed(lt.stealSpanMs / 1000.0, 1) + " s on " +
                          std::to_string(lt.stealMs.size()) + " CPUs (" +
                          Fixed(lt.stealSpanMs > 0 ? 100.0 * total / (lt.stealSpanMs * lt.stealMs.size()) : 0, 2) +
                          " %; by CPU " + byCpu + " ms): the hypervisor ran something else while this machine "
                          "wanted its CPUs");
    }
}

// The library's posts, the codec, the radio, the stand-in and the faults.
void LinkLines(const Report& r, Lines& line)
{
    const char* frames = btstandin::CodecOf(r.send.codec).parts->frames;   // null: a codec without frames
    const btstandin::PostStats& k = r.link;
    std::string posts = std::to_string(k.posts) + " posts: " + std::to_string(k.carried) + " carried";
    if (k.refusedLinkDown)
        posts += ", " + std::to_string(k.refusedLinkDown) + " refused while the link was down (" +
                 Audio(k.refusedLinkDownBytes) + ")";
    if (k.refusedQueueFull)
        posts += ", " + std::to_string(k.refusedQueueFull) + " refused by a full send queue (" +
                 Audio(k.refusedQueueFullBytes) + ")";
    if (k.refusedEncoderBehind)
        posts += ", " + std::to_string(k.refusedEncoderBehind) + " refused with the encoder " +
                 std::to_string(btstandin::kEncodeBacklog) + " posts behind (" + Audio(k.refusedEncoderBehindBytes) + ")";
    if (k.refusedFault)
        posts += ", " + std::to_string(k.refusedFault) + " refused by a fault (" + Audio(k.refusedFaultBytes) + ")";
    if (k.lost)
        posts += ", " + std::to_string(k.lost) + " media packets lost by the radio (" +
                 (k.lostFrames && frames ? std::to_string(k.lostFrames) + " " + frames + ", " : std::string()) +
                 Audio(k.lostBytes) + ")";
    if (k.slow)
        posts += ", " + std::to_string(k.slow) + " slow (" + std::to_string(k.slowMs) + " ms in all)";
    line("link", posts);
    WorldLines(r, line);
    line("stand-in", "at most " + std::to_string(k.peakInFlight) +
                         " packets waited for the sinks; the longest from a post to the sinks " +
                         Fixed(k.maxLagNs / 1e6, 1) + " ms");
    for (const FaultLine& f : r.faults)
        line("fault", FaultText(f));
}

}  // namespace

// The mean audio the application had written and the driver not yet posted,
// after the ticks that posted, in seconds (-1: nothing to say).
double AppQueuedSeconds(const Report& r)
{
    double sum = 0;
    uint64_t n = 0;
    for (const TickRow& t : r.pacing.ticks)
        if (t.posted > 0) {
            sum += static_cast<double>(t.queued);
            ++n;
        }
    if (n == 0 || r.config.sample == 0)
        return -1;
    return sum / static_cast<double>(n) / r.config.sample;
}

namespace {

// The headset and what the listener heard.
void ListenerLines(const Report& r, Lines& line)
{
    const HeadsetResult& h = r.listener;
    char ppm[32];
    std::snprintf(ppm, sizeof ppm, "%+g ppm", r.headset.ppm);
    line("headset", "buffer " + Fixed(r.headset.capacityFrames * 1000.0 / kDeviceRate, 0) + " ms, starts at " +
                        Fixed(r.headset.startFrames * 1000.0 / kDeviceRate, 0) + " ms, clock " + ppm);
    double heard = h.playedFrames / static_cast<double>(kDeviceRate);
    double expected = r.comparison.expected / kDeviceBytesPerSecond;
    std::string listener = h.started ? "heard " + Fixed(heard, 3) + " s of audio" : std::string("heard nothing");
    listener += h.gaps.empty() ? ", no gaps"
                               : ", " + std::to_string(h.gaps.size()) + (h.gaps.size() == 1 ? " gap" : " gaps") +
                                     " of silence (" + Fixed(h.gapSeconds(), 3) + " s)";
    if (h.droppedBytes)
        listener += ", " + std::to_string(h.overflows.size()) + (h.overflows.size() == 1 ? " overflow" : " overflows") +
                    " (" + Audio(h.droppedBytes) + " dropped)";
    if (expected - heard > 0.0005)
        listener += "; " + Fixed(expected - heard, 3) + " s of the sound never heard";
    if (!h.gaps.empty() && r.config.sample && r.config.sample < kDeviceByteRate)
        listener += "; the driver sends " + std::to_string(r.config.sample) +
                    " bytes/s, less than the headset plays: it starves";
    line("listener", listener);
    const size_t kShown = 20;
    for (size_t i = 0; i < h.gaps.size() && i < kShown; ++i)
        line("gap", "at " + Fixed(h.gaps[i].at, 3) + " s for " + Fixed(h.gaps[i].seconds, 3) + " s (at " +
                        Fixed(h.gaps[i].heardAt, 3) + " s of what was heard)" +
                        (i < r.verdict.causes.size() ? ": " + r.verdict.causes[i] : std::string()));
    if (h.gaps.size() > kShown)
        line("gap", "... and " + std::to_string(h.gaps.size() - kShown) + " more");
    for (size_t i = 0; i < h.overflows.size() && i < kShown; ++i)
        line("overflow", "at " + Fixed(h.overflows[i].at, 3) + " s, " + std::to_string(h.overflows[i].bytes) +
                             " bytes dropped");
    if (h.overflows.size() > kShown)
        line("overflow", "... and " + std::to_string(h.overflows.size() - kShown) + " more");
    if (h.started) {
        line("latency", "first write to first sound " + Fixed(h.startLatency, 3) + " s; post to ear mean " +
                            Fixed(h.meanPostToEar, 3) + " s, max " + Fixed(h.maxPostToEar, 3) +
                            " s; sink delay " + Fixed(h.sinkDelay * 1000, 1) +
                            " ms (the headset's delay report: buffer target and decoding)");
        // One latency from the application's side: its audio queued in the
        // driver when a post goes, then post to ear (the sink's delay in it).
        const double appQueued = AppQueuedSeconds(r);
        if (appQueued >= 0)
            line("write to ear", "mean " + Fixed(appQueued + h.meanPostToEar, 3) + " s: the application's queued audio " +
                                     Fixed(appQueued, 3) + " s, then post to ear " + Fixed(h.meanPostToEar, 3) + " s");
        line("headset level", "while playing: lowest " + std::to_string(h.minLevelFrames) + " frames (" +
                                  Fixed(h.minLevelFrames * 1000.0 / kDeviceRate, 1) +
                                  " ms, just before a packet arrived), highest " + std::to_string(h.maxLevelFrames) +
                                  " frames (" + Fixed(h.maxLevelFrames * 1000.0 / kDeviceRate, 1) +
                                  " ms, just after one)");
    }
}

}  // namespace

std::string FormatText(const Report& r)
{
    Lines line;
    if (!HeadLines(r, line)) {
        for (const FaultLine& f : r.faults)
            line("fault", FaultText(f));
        for (const std::string& f : r.outputs)
            line("wrote", f);
        return line.Text();
    }
    PacingLines(r, line);
    if (r.lateTicks.audited)
        LateTickLines(r.lateTicks, line);
    const PacingResult& p = r.pacing;
    line("underruns", std::to_string(p.underruns) +
                          (p.underruns ? std::string(p.underruns == 1 ? " tick" : " ticks") + " (" +
                                                std::to_string(p.underrunBytes) + " bytes short)"
                                          : ""));
    if (r.world) {
        LinkLines(r, line);
        ListenerLines(r, line);
    }
    if (r.peakMemoryKb)
        line("peak memory", std::to_string((r.peakMemoryKb + 512) / 1024) + " MB (whole process)");
    for (const std::string& f : r.outputs)
        line("wrote", f);
    return line.Text();
}

// The driver's posts (kind "post") and, beside them, the media packets the
// radio carried (kind "media"), each row in the order it was logged.
const char* const kPacketLogHeader =
    "arrival_s,bytes,bytes_due,refused,kind,sequence,timestamp,frames,bitpool,fate,sent_s\n";

std::string FormatPacketLine(double t, const PacketInfo& p, uint32_t due)
{
    return Fixed(t, 6) + "," + std::to_string(p.bytes) + "," + std::to_string(due) + "," + (p.refused ? "1" : "0") +
           ",post,,,,,,\n";
}

std::string FormatMediaLine(double arrivalS, double sentS, const btstandin::MediaPacket& p)
{
    return Fixed(arrivalS, 6) + "," + std::to_string(p.bytes) + ",,,media," + std::to_string(p.sequence) + "," +
           std::to_string(p.timestamp) + "," + std::to_string(p.frames) + "," + std::to_string(p.bitpool) + "," +
           (p.flushed ? "flushed" : p.lost ? "lost" : "sent") + "," + Fixed(sentS, 6) + "\n";
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

void AddPeakMemory(Report* r)
{
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned long kb = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "VmHWM: %lu kB", &kb) == 1;
        std::fclose(f);
        if (found) {
            r->peakMemoryKb = kb;
            return;
        }
    }
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        r->peakMemoryKb = static_cast<uint64_t>(usage.ru_maxrss);
}

}  // namespace player
