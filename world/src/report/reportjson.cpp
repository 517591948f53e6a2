// The report as JSON, built with nlohmann's ordered form so that the keys
// keep the order they are written in.  Numbers keep six significant digits,
// as the text report's figures do; whole numbers are written as integers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "report/report.h"

namespace player {
namespace {

using Json = nlohmann::ordered_json;

const size_t kJsonLevels = 1000;   // the headset level's and the radio queue's buckets in the JSON report at most

Json Num(double v)
{
    if (!std::isfinite(v))
        return nullptr;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    double rounded = std::strtod(buf, nullptr);
    if (rounded == std::floor(rounded) && std::fabs(rounded) < 1e15)
        return static_cast<int64_t>(rounded);
    return rounded;
}

Json SummaryJson(const Summary& s)
{
    return {{"count", s.count}, {"mean", Num(s.mean)}, {"p99", Num(s.p99)}, {"max", Num(s.max)}};
}

// What was played, how, and what shaped the run before the first write.
void AddRun(const Report& r, Json& j)
{
    j["result"] = r.failed ? "failed" : "played";
    j["exit_code"] = r.exitCode;
    j["error"] = r.error;
    if (r.application) {
        // An application of one's own: its name and its own exit status.
        j["program"] = r.program;
        j["program_exit"] = r.programExit;
    }
    j["source"] = r.source;
    // What the run was told, word for word: a sweep's merge reads a row's
    // settings back from here.
    if (!r.command.empty())
        j["command"] = r.command;
    j["source_format"] = r.sourceFormat;
    j["format_query_refused"] = r.queryRefused;
    j["converted"] = r.converted;
    j["conversion"] = r.conversion;
    j["converted_by"] = r.convertedBy;
    j["notes"] = r.notes;
    j["warnings"] = r.warnings;
    const host::RegLoadReport& g = r.registry;
    j["registry"] = {{"files", host::RegTexts(g.files)},
                     {"string_files", g.stringFiles},
                     {"variables", host::RegTexts(g.variables)},
                     {"components", host::RegTexts(g.components)},
                     {"strings", g.strings},
                     {"skipped", host::RegTexts(g.skipped)},
                     {"messages", g.messages}};
    j["clock"] = r.clock;
    j["timer_thread"] = r.timerThread;
    if (!r.timerLateness.empty())
        j["timer_lateness"] = {{"percentiles", r.timerLateness}, {"from", r.timerLatenessFrom}, {"seed", r.seed}};
    j["peak_memory_kb"] = r.peakMemoryKb;
    j["buffers"] = {{"count", r.buffers}, {"bytes", r.bufferBytes}, {"refill", r.refill},
                    {"wave_calls_from_callback", r.callbackWaveCalls}, {"loops", r.loops}};
    j["config_line"] = r.configLine;
    j["config"] = Json::object();
    for (const PacingValue& v : kPacingValues)
        j["config"][v.name] = r.config.*(v.field);
    Json events = Json::array();
    for (const Happening& h : r.happenings)
        events.push_back({{"t", Num(h.t)}, {"what", h.what}});
    j["events"] = events;
}

// The bytes, the packets and the ticks.
void AddPacing(const Report& r, Json& j)
{
    const PacingResult& p = r.pacing;
    j["audio_seconds"] = Num(r.audioSeconds);
    j["wall_seconds"] = Num(r.wallSeconds);
    j["cpu_seconds"] = Num(r.cpuSeconds);
    j["clock_seconds"] = Num(r.clockSeconds);
    j["bytes_written"] = r.bytesWritten;
    j["bytes_expected"] = r.comparison.expected;
    j["bytes_received"] = r.comparison.received;
    if (r.bitExactJudged)
        j["bit_exact"] = r.comparison.exact;
    else
        j["bit_exact"] = nullptr;
    j["first_difference"] = r.comparison.firstDifference;
    j["packets"] = {{"count", p.packets},        {"min", p.packetMin},         {"mean", Num(p.packetMean)},
                    {"max", p.packetMax},        {"refused", p.refused}, {"refused_bytes", p.refusedBytes}};
    j["ticks"] = {{"count", p.tickCount},
                  {"timeline_every", p.timelineEvery},
                  {"observed", p.ticksObserved},
                  {"interval_ms", SummaryJson(p.intervalMs)},
                  {"lateness_ms", SummaryJson(p.latenessMs)},
                  {"lateness", p.latenessPercentiles}};
}

Json LateTickJson(const LateTickLine& l)
{
    return {{"t", Num(l.t)},
            {"late_ms", Num(l.lateMs)},
            {"cause", l.cause},
            {"after_previous", l.afterPrevious},
            {"lock_holder", l.lockHolder},
            {"probe_saw", l.probeSaw},
            {"probe_held_ms", Num(l.probeHeldMs)},
            {"parts_ms",
             {{"not_scheduled", Num(l.notScheduledMs)},
              {"previous_tick", Num(l.previousMs)},
              {"stream_lock", Num(l.lockMs)},
              {"post", Num(l.postMs)},
              {"callback", Num(l.callbackMs)},
              {"tick_work", Num(l.workMs)},
              {"machine", Num(l.machineMs)}}},
            {"ran_ms", Num(l.ranMs)},
            {"cpus", {{"start", l.startCpu}, {"end", l.endCpu}}}};
}

Json LateTicksJson(const LateTickReport& lt)
{
    Json steal = Json::array(), byCause = Json::object(), ticks = Json::array();
    for (double ms : lt.stealMs)
        steal.push_back(Num(ms));
    for (const auto& c : lt.byCause)
        byCause[c.first] = c.second;
    for (const LateTickLine& l : lt.lines)
        ticks.push_back(LateTickJson(l));
    return {{"threshold_ms", Num(lt.thresholdMs)},
            {"audited", lt.ticks},
            {"count", lt.count},
            {"max_late_ms", Num(lt.maxLateMs)},
            {"unseen_by_probe", lt.unseenByProbe},
            {"steal", {{"span_ms", Num(lt.stealSpanMs)}, {"ms_by_cpu", steal}}},
            {"by_cause", byCause},
            {"probe",
             {{"scheduling", lt.probeScheduling},
              {"above_timer", lt.probesAbove},
              {"probes", lt.probeCount},
              {"period_ms", Num(lt.probePeriodMs)},
              {"wakeups", lt.probeWakeups},
              {"late_wakeups", lt.probeLateWakeups},
              {"p50_ms", Num(lt.probeP50Ms)},
              {"p99_ms", Num(lt.probeP99Ms)},
              {"max_ms", Num(lt.probeMaxMs)}}},
            {"ticks", ticks}};
}

// The radio's send queue over time: each bucket from its t to the next one's
// (the last to the last packet leaving), its fewest and most packets.
Json QueueLevelsJson(const Report& r)
{
    Json levels = Json::array();
    for (const QueueSpan& q : RadioQueueSpans(r, kJsonLevels))
        levels.push_back({{"t", Num(q.t)}, {"low", q.low}, {"high", q.high}});
    return levels;
}

// The library's posts, the codec and the radio.
Json LinkJson(const Report& r)
{
    const btstandin::PostStats& k = r.link;
    const btstandin::SendStats& m = k.send;
    const btstandin::SendPathConfig& c = r.send;
    const double span = m.lastArrivalNs > m.firstSentNs ? (m.lastArrivalNs - m.firstSentNs) / 1e9 : 0;
    Json j = {{"posts", k.posts},
              {"carried", k.carried},
              {"carried_bytes", k.carriedBytes},
              {"refused_link_down", k.refusedLinkDown},
              {"refused_link_down_bytes", k.refusedLinkDownBytes},
              {"refused_queue_full", k.refusedQueueFull},
              {"refused_queue_full_bytes", k.refusedQueueFullBytes},
              {"refused_encoder_behind", k.refusedEncoderBehind},
              {"refused_encoder_behind_bytes", k.refusedEncoderBehindBytes},
              {"refused_fault", k.refusedFault},
              {"refused_fault_bytes", k.refusedFaultBytes},
              {"lost", k.lost},
              {"lost_bytes", k.lostBytes},
              {"slow", k.slow},
              {"slow_ms", k.slowMs},
              {"lost_frames", k.lostFrames},
              {"backlog_packets", k.peakInFlight},
              {"backlog_lag_ms", Num(k.maxLagNs / 1e6)},
              {"codec", btstandin::CodecOf(c.codec).name},
              {"encoded", r.encoded},
              {"mtu", c.mtu},
              {"radio_kbps", c.radioKbps},
              {"queue_packets", c.queuePackets},
              {"peak_queued_packets", m.peakQueuedPackets},
              {"queue_levels", QueueLevelsJson(r)},
              {"acl_types", AclTypeNames(c.aclTypes)},
              {"air_slots", m.airSlots},
              {"air_seconds", Num(m.airSlots * 625e-6)},
              {"slots_per_frame", Num(m.frames > m.flushedFrames ? static_cast<double>(m.airSlots) / (m.frames - m.flushedFrames) : 0)},
              {"flush_timeout_ms", c.flushMs},
              {"flushed", m.flushed},
              {"flushed_frames", m.flushedFrames},
              {"packets_sent", m.packets},
              {"frames_sent", m.frames},
              {"bytes_sent", m.bytes},
              {"bit_rate_kbps", Num(span > 0 ? m.bytes * 8 / span / 1000 : 0)},
              {"pack_wait_mean_ms", Num(m.packets ? m.packWaitSumNs / 1e6 / m.packets : 0)},
              {"pack_wait_max_ms", Num(m.packWaitMaxNs / 1e6)}};
    if (r.interferenceAt >= 0)
        j["interference"] = {{"t", Num(r.interferenceAt)},
                             {"seconds", Num(c.interference.lengthNs / 1e9)},
                             {"share", Num(c.interference.share)}};
    Json log = Json::array();
    for (const btstandin::BitpoolChange& b : m.bitpoolLog)
        log.push_back({{"t", Num((static_cast<double>(b.ns) - static_cast<double>(r.originNs)) / 1e9)},
                       {"bitpool", b.bitpool}});
    j["bitpool"] = {{"min", c.bitpool.min},         {"max", c.bitpool.max},          {"fixed", c.bitpool.fixed},
                    {"lowest", m.lowestBitpool},    {"highest", m.highestBitpool},   {"changes", m.bitpoolChanges},
                    {"log", log}};
    return j;
}

Json HeadsetJson(const Report& r)
{
    const HeadsetResult& h = r.listener;
    Json gaps = Json::array(), overflows = Json::array();
    for (size_t i = 0; i < h.gaps.size(); ++i)
        gaps.push_back({{"t", Num(h.gaps[i].at)},
                        {"heard_at", Num(h.gaps[i].heardAt)},
                        {"seconds", Num(h.gaps[i].seconds)},
                        {"cause", i < r.verdict.causes.size() ? r.verdict.causes[i] : std::string()}});
    for (const auto& o : h.overflows)
        overflows.push_back({{"t", Num(o.at)}, {"bytes", o.bytes}});
    // The level's lowest and highest over at most kJsonLevels buckets.
    Json levels = Json::array();
    const size_t per = (h.levels.size() + kJsonLevels - 1) / kJsonLevels;
    for (size_t i = 0; i < h.levels.size(); i += per) {
        uint32_t low = h.levels[i].low, high = h.levels[i].high;
        for (size_t k = i + 1; k < h.levels.size() && k < i + per; ++k) {
            low = std::min(low, h.levels[k].low);
            high = std::max(high, h.levels[k].high);
        }
        levels.push_back({{"t", Num(h.levels[i].t)}, {"low", low}, {"high", high}});
    }
    return {{"buffer_frames", r.headset.capacityFrames},
            {"start_frames", r.headset.startFrames},
            {"ppm", Num(r.headset.ppm)},
            {"started", h.started},
            {"start_latency", Num(h.startLatency)},
            {"sink_delay", Num(h.sinkDelay)},
            {"write_to_ear_mean", Num(AppQueuedSeconds(r) >= 0 ? AppQueuedSeconds(r) + h.meanPostToEar : 0)},
            {"app_queued_mean", Num(std::max(AppQueuedSeconds(r), 0.0))},
            {"received_bytes", h.receivedBytes},
            {"played_frames", h.playedFrames},
            {"silent_frames", h.silentFrames},
            {"concealed_frames", h.concealedFrames},
            {"dropped_bytes", h.droppedBytes},
            {"gap_seconds", Num(h.gapSeconds())},
            {"min_level_frames", h.minLevelFrames},
            {"max_level_frames", h.maxLevelFrames},
            {"post_to_ear_mean", Num(h.meanPostToEar)},
            {"post_to_ear_max", Num(h.maxPostToEar)},
            {"gaps", gaps},
            {"overflows", overflows},
            {"levels", levels}};
}

// The stand-in's world: the link, what was heard, the faults and the headset.
void AddWorld(const Report& r, Json& j)
{
    j["link"] = LinkJson(r);
    const QualityResult& q = r.quality;
    Json perSecond = Json::array();
    for (double db : q.perSecond)
        perSecond.push_back(Num(db));
    j["heard_quality"] = {{"measured", q.measured},
                          {"exact", q.exact},
                          {"segmental_snr_db", Num(q.segmentalDb)},
                          {"gap_seconds", Num(q.gapSeconds)},
                          {"with_gaps_snr_db", Num(q.withGapsDb)},
                          {"worst_snr_db", Num(q.worstDb)},
                          {"worst_at", Num(q.worstAt)},
                          {"codec_delay_frames", q.delayFrames},
                          {"per_second", perSecond}};
    Json faults = Json::array();
    for (const FaultLine& f : r.faults)
        faults.push_back(
            {{"fault", f.text}, {"skip", f.skip}, {"count", f.count}, {"amount", f.amount}, {"fired", f.fired}});
    j["faults"] = faults;
    j["headset"] = HeadsetJson(r);
}

Json TickJson(const TickRow& t)
{
    Json row = {{"t", Num(t.t)}, {"due", t.due}, {"posted", t.posted}, {"queued", t.queued}};
    if (t.first)
        row["first"] = true;
    if (t.underrun)
        row["underrun"] = true;
    return row;
}

// A list of records, one a line.
template <typename Items, typename ToJson>
std::string RecordList(const Items& items, ToJson toJson)
{
    if (items.empty())
        return "[]";
    std::string out = "[\n";
    size_t i = 0;
    for (const auto& item : items)
        out += "    " + toJson(item).dump() + (++i < items.size() ? ",\n" : "\n");
    return out + "  ]";
}

// One member a line, and the members of a list of records one a line, each
// compact: a file that a line-oriented tool can still search.  Each member
// ends with a comma and a line break; the caller closes the object.
std::string Members(const Json& report)
{
    std::string out;
    for (const auto& member : report.items()) {
        const Json& v = member.value();
        const bool records = v.is_array() && !v.empty() && v.front().is_object();
        out += "  " + Json(member.key()).dump() + ": " +
               (records ? RecordList(v, [](const Json& x) { return x; }) : v.dump()) + ",\n";
    }
    return out;
}

}  // namespace

std::vector<QueueSpan> RadioQueueSpans(const Report& r, size_t most)
{
    const btstandin::QueueSeries q = r.link.send.queue.Series();
    const size_t n = q.cells.size();
    const size_t per = most && n > most ? (n + most - 1) / most : 1;
    std::vector<QueueSpan> out;
    for (size_t i = 0; i < n; i += per) {
        const size_t end = std::min(n, i + per);
        QueueSpan s{(static_cast<double>(q.startNs + i * q.cellNs) - static_cast<double>(r.originNs)) / 1e9,
                    static_cast<double>((end - i) * q.cellNs) / 1e9, q.cells[i].low, q.cells[i].high};
        for (size_t k = i + 1; k < end; ++k) {
            s.low = std::min(s.low, q.cells[k].low);
            s.high = std::max(s.high, q.cells[k].high);
        }
        out.push_back(s);
    }
    return out;
}

std::string FormatJson(const Report& r)
{
    Json j = Json::object();
    const Verdict& v = r.verdict;
    j["verdict"] = {{"text", r.failed ? "not judged: the run stopped early" : v.Line()},
                    {"judged", !r.failed && v.judged},
                    {"clean", !r.failed && v.clean},
                    {"code", v.code},
                    {"allowed", AllowText(r.allow)},
                    {"gaps", v.gaps},
                    {"gap_seconds", Num(v.gapSeconds)},
                    {"overflows", v.overflows},
                    {"refused", v.refused},
                    {"lost", v.lost},
                    {"margin_ms", v.marginMs >= 0 ? Num(v.marginMs) : Json(nullptr)},
                    {"write_to_ear_ms", v.writeToEarMs >= 0 ? Num(v.writeToEarMs) : Json(nullptr)}};
    AddRun(r, j);
    AddPacing(r, j);
    if (r.lateTicks.audited)
        j["late_ticks"] = LateTicksJson(r.lateTicks);
    j["underruns"] = {{"count", r.pacing.underruns}, {"bytes_short", r.pacing.underrunBytes}};
    if (r.world)
        AddWorld(r, j);
    j["outputs"] = r.outputs;
    // The timeline, the report's longest list, is written a row at a time
    // rather than held as a whole document beside its text.
    return "{\n" + Members(j) + "  \"timeline\": " + RecordList(r.pacing.ticks, TickJson) + "\n}\n";
}

std::string LayOutJson(const std::string& text)
{
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return text;
    std::string members = Members(j);
    if (members.size() >= 2)
        members.erase(members.size() - 2);   // the last member's ",\n"
    return "{\n" + members + "\n}\n";
}

}  // namespace player
