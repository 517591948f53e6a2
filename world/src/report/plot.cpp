#include "report/plot.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "world/device.h"

namespace player {

namespace {

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

// At most `most` buckets, neighbours merged in equal groups.
std::vector<HeadsetLevel> MergeLevels(const std::vector<HeadsetLevel>& levels, size_t most)
{
    const size_t per = most ? (levels.size() + most - 1) / most : 1;
    if (per <= 1)
        return levels;
    std::vector<HeadsetLevel> out;
    for (size_t i = 0; i < levels.size(); i += per) {
        HeadsetLevel b = levels[i];
        for (size_t k = i + 1; k < levels.size() && k < i + per; ++k) {
            b.frames = levels[k].frames;
            b.low = std::min(b.low, levels[k].low);
            b.high = std::max(b.high, levels[k].high);
        }
        out.push_back(b);
    }
    return out;
}

// The ticks of a long run, at most two a pixel column: the one with the
// lowest value and the one with the highest (an underrun in the column
// marks the highest), so that the picture keeps every extreme at a bounded
// size.
template <typename Value>
std::vector<TickRow> PerColumn(const Panel& p, const std::vector<TickRow>& rows, Value value)
{
    if (rows.size() <= static_cast<size_t>(p.w))
        return rows;
    std::vector<TickRow> out;
    size_t i = 0;
    while (i < rows.size()) {
        const long column = std::lround(p.X(rows[i].t));
        TickRow low = rows[i], high = rows[i];
        bool underrun = false;
        for (; i < rows.size() && std::lround(p.X(rows[i].t)) == column; ++i) {
            underrun = underrun || rows[i].underrun;
            if (value(rows[i]) < value(low))
                low = rows[i];
            if (value(rows[i]) > value(high))
                high = rows[i];
        }
        high.underrun = underrun;
        if (low.t < high.t)
            out.push_back(low);
        out.push_back(high);
        if (low.t > high.t)
            out.push_back(low);
    }
    return out;
}

// The headset's buffer: its level's lowest and highest in each bucket as a
// band (the lowest just before a packet, or 0 once it ran dry), its size and
// start threshold as lines, and the gaps the listener hears, each at least
// 3 pixels wide however short.
void DrawHeadsetLevel(std::ostringstream& o, const Panel& level, const Report& r)
{
    Axes(o, level, "Headset buffer, lowest and highest between packets; red: gaps the listener hears", "frames");
    const std::vector<HeadsetLevel> buckets = MergeLevels(r.listener.levels, static_cast<size_t>(level.w));
    std::string highs, lows;
    for (const HeadsetLevel& l : buckets)
        highs += Fixed(level.X(std::min(l.t, level.tMax)), 2) + "," + Fixed(level.Y(l.high), 2) + " ";
    for (size_t i = buckets.size(); i > 0; --i)
        lows += Fixed(level.X(std::min(buckets[i - 1].t, level.tMax)), 2) + "," + Fixed(level.Y(buckets[i - 1].low), 2) + " ";
    if (!buckets.empty())
        o << "<polygon fill='#bcbddc' stroke='#6a51a3' stroke-width='0.8' points='" << highs << lows << "'/>\n";
    const struct {
        uint32_t frames;
        const char* what;
        const char* dash;
    } marks[] = {{r.headset.capacityFrames, "buffer size", "6,3"}, {r.headset.startFrames, "start threshold", "2,3"}};
    for (const auto& m : marks) {
        const double y = level.Y(m.frames);
        o << "<line x1='" << Fixed(level.x0, 1) << "' y1='" << Fixed(y, 1) << "' x2='" << Fixed(level.x0 + level.w, 1)
          << "' y2='" << Fixed(y, 1) << "' stroke='#54278f' stroke-dasharray='" << m.dash << "'/>\n";
        o << "<text x='" << Fixed(level.x0 + level.w - 4, 1) << "' y='" << Fixed(y - 3, 1)
          << "' text-anchor='end' class='tick'>" << m.what << " " << m.frames << " ("
          << Fixed(m.frames * 1000.0 / kDeviceRate, 0) << " ms)</text>\n";
    }
    for (const HeadsetGap& g : r.listener.gaps) {
        double x0 = level.X(std::min(g.at, level.tMax)), x1 = level.X(std::min(g.at + g.seconds, level.tMax));
        o << "<rect x='" << Fixed(x0, 2) << "' y='" << Fixed(level.y0 + level.h - 10, 2) << "' width='"
          << Fixed(std::max(3.0, x1 - x0), 2) << "' height='10' fill='#d62728'><title>"
          << XmlEscape("gap at " + Fixed(g.at, 3) + " s for " + Fixed(g.seconds, 3) + " s") << "</title></rect>\n";
    }
}

// Stretches drawn behind every panel: the link down (grey) and the radio's
// interference (yellow).
void DrawWindows(std::ostringstream& o, const Panel& top, double bottomY, const Report& r)
{
    auto band = [&](double from, double to, const char* fill, const std::string& what) {
        from = std::max(from, top.tMin);
        to = std::min(to, top.tMax);
        if (to <= from)
            return;
        o << "<rect x='" << Fixed(top.X(from), 2) << "' y='" << Fixed(top.y0, 1) << "' width='"
          << Fixed(std::max(2.0, top.X(to) - top.X(from)), 2) << "' height='" << Fixed(bottomY - top.y0, 1)
          << "' fill='" << fill << "' fill-opacity='0.35'><title>" << XmlEscape(what) << "</title></rect>\n";
    };
    double downAt = -1;
    for (const Happening& h : r.happenings) {
        if (h.what.rfind("link down", 0) == 0 && downAt < 0)
            downAt = h.t;
        else if ((h.what.rfind("link back", 0) == 0 || h.what.rfind("link up", 0) == 0) && downAt >= 0) {
            band(downAt, h.t, "#969696", "link down " + Fixed(downAt, 3) + " to " + Fixed(h.t, 3) + " s");
            downAt = -1;
        }
    }
    if (downAt >= 0)
        band(downAt, top.tMax, "#969696", "link down from " + Fixed(downAt, 3) + " s");
    if (r.world && r.interferenceAt >= 0) {
        const double len = r.send.interference.lengthNs / 1e9;
        band(r.interferenceAt, r.interferenceAt + len, "#fdd835",
             "interference " + Fixed(r.interferenceAt, 3) + " s for " + Fixed(len, 3) + " s");
    }
}

// The radio's send queue: the fewest and most media packets queued or on the
// air in each span of time as a band of steps (the depth changes only as a
// packet joins or leaves), neighbouring spans alike drawn as one, and the
// queue's depth as a dashed line.
void DrawRadioQueue(std::ostringstream& o, const Panel& p, const Report& r)
{
    Axes(o, p, "Radio send queue: media packets queued or on the air, fewest and most", "packets");
    std::vector<QueueSpan> spans;
    for (const QueueSpan& s : RadioQueueSpans(r, static_cast<size_t>(p.w))) {
        if (!spans.empty() && spans.back().low == s.low && spans.back().high == s.high)
            spans.back().seconds = s.t + s.seconds - spans.back().t;
        else
            spans.push_back(s);
    }
    auto x = [&](double t) { return Fixed(p.X(std::min(std::max(t, p.tMin), p.tMax)), 2); };
    std::string highs, lows;
    for (const QueueSpan& s : spans)
        highs += x(s.t) + "," + Fixed(p.Y(s.high), 2) + " " + x(s.t + s.seconds) + "," + Fixed(p.Y(s.high), 2) + " ";
    for (size_t i = spans.size(); i > 0; --i) {
        const QueueSpan& s = spans[i - 1];
        lows += x(s.t + s.seconds) + "," + Fixed(p.Y(s.low), 2) + " " + x(s.t) + "," + Fixed(p.Y(s.low), 2) + " ";
    }
    if (!spans.empty())
        o << "<polygon fill='#fdd0a2' stroke='#d94801' stroke-width='0.8' points='" << highs << lows << "'/>\n";
    const double y = p.Y(r.send.queuePackets);
    o << "<line x1='" << Fixed(p.x0, 1) << "' y1='" << Fixed(y, 1) << "' x2='" << Fixed(p.x0 + p.w, 1) << "' y2='"
      << Fixed(y, 1) << "' stroke='#a63603' stroke-dasharray='6,3'/>\n";
    o << "<text x='" << Fixed(p.x0 + p.w - 4, 1) << "' y='" << Fixed(y - 3, 1)
      << "' text-anchor='end' class='tick'>queue depth " << r.send.queuePackets << " packets</text>\n";
}

// The bitpool over time: a step at each change the library made.
void DrawBitpool(std::ostringstream& o, const Panel& bp, const Report& r)
{
    const btstandin::SendStats& m = r.link.send;
    Axes(o, bp, std::string(btstandin::CodecOf(r.send.codec).parts->title) + " bitpool of the packets sent", "bitpool");
    double v = r.send.bitpool.max;
    std::string points = Fixed(bp.X(bp.tMin), 2) + "," + Fixed(bp.Y(v), 2) + " ";
    for (const btstandin::BitpoolChange& c : m.bitpoolLog) {
        const double at = (static_cast<double>(c.ns) - static_cast<double>(r.originNs)) / 1e9;
        const double t = std::min(std::max(at, bp.tMin), bp.tMax);
        points += Fixed(bp.X(t), 2) + "," + Fixed(bp.Y(v), 2) + " ";
        v = c.bitpool;
        points += Fixed(bp.X(t), 2) + "," + Fixed(bp.Y(v), 2) + " ";
    }
    points += Fixed(bp.X(bp.tMax), 2) + "," + Fixed(bp.Y(v), 2);
    o << "<polyline fill='none' stroke='#2ca02c' stroke-width='1.5' points='" << points << "'/>\n";
}

// Posted bytes as thin bars, red where the tick underran.
void DrawPostedBars(std::ostringstream& o, const Panel& top, const std::vector<TickRow>& rows)
{
    double barW = rows.size() > 1 ? std::max(0.6, top.w / rows.size() * 0.6) : 2;
    for (const TickRow& t : rows) {
        double x = top.X(t.t);
        double y = top.Y(t.posted);
        o << "<rect x='" << Fixed(x - barW / 2, 2) << "' y='" << Fixed(y, 2) << "' width='" << Fixed(barW, 2)
          << "' height='" << Fixed(top.y0 + top.h - y, 2) << "' fill='" << (t.underrun ? "#d62728" : "#9ecae1")
          << "'/>\n";
    }
}

// A value of each tick as a line (or as steps), broken where the ticks stop
// for longer than `gap` seconds (a pause, an idle pump).
template <typename Value>
void DrawSeries(std::ostringstream& o, const Panel& p, const std::vector<TickRow>& rows, double gap,
                const char* colour, bool steps, Value value)
{
    std::string points;
    double prevT = 0, prevV = 0;
    bool open = false;
    auto flush = [&]() {
        if (!points.empty())
            o << "<polyline fill='none' stroke='" << colour << "' stroke-width='1.2' points='" << points << "'/>\n";
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
}

// Link changes, pauses and resets as marked instants from the top panel
// down to `bottomY`, labelled by the first words of their description, on
// staggered rows.
void DrawHappenings(std::ostringstream& o, const Panel& top, double bottomY, const std::vector<Happening>& happenings)
{
    int row = 0;
    for (const Happening& h : happenings) {
        if (h.what.compare(0, 11, "not reached") == 0)
            continue;
        std::string label = h.what.substr(0, h.what.find_first_of(",;"));
        double x = top.X(h.t);
        o << "<line x1='" << Fixed(x, 1) << "' y1='" << Fixed(top.y0, 1) << "' x2='" << Fixed(x, 1) << "' y2='"
          << Fixed(bottomY, 1) << "' stroke='#ff7f0e' stroke-dasharray='4,3'/>\n";
        bool right = x > top.x0 + top.w * 0.85;
        o << "<text x='" << Fixed(right ? x - 3 : x + 3, 1) << "' y='" << Fixed(top.y0 + 12 + 13 * (row % 4), 1)
          << "' class='tick' fill='#b35806'" << (right ? " text-anchor='end'" : "") << ">" << XmlEscape(label)
          << "</text>\n";
        ++row;
    }
}

// Late ticks: a red mark over the top panel at each one's deadline, as wide
// as it was late, with its cause in the tooltip.
void DrawLateTicks(std::ostringstream& o, const Panel& top, const LateTickReport& late)
{
    for (const LateTickLine& l : late.lines) {
        double x0 = top.X(std::max(top.tMin, std::min(l.t, top.tMax)));
        double x1 = top.X(std::max(top.tMin, std::min(l.t + l.lateMs / 1000.0, top.tMax)));
        o << "<rect x='" << Fixed(x0, 2) << "' y='" << Fixed(top.y0, 2) << "' width='" << Fixed(std::max(1.5, x1 - x0), 2)
          << "' height='6' fill='#d62728'><title>" << XmlEscape("late tick at " + Fixed(l.t, 3) + " s, " +
                                                               Fixed(l.lateMs, 1) + " ms: " + CauseWords(l.cause))
          << "</title></rect>\n";
    }
    if (!late.lines.empty())
        o << "<text x='" << Fixed(top.x0 + top.w, 1) << "' y='" << Fixed(top.y0 + top.h + 28, 1)
          << "' text-anchor='end' class='tick' fill='#d62728'>red marks at the top: ticks late by more than "
          << Fixed(late.thresholdMs, 1) << " ms</text>\n";
}

}  // namespace

std::string FormatSvg(const Report& r)
{
    const std::vector<TickRow>& rows = r.pacing.ticks;
    const bool bitpool = r.world && btstandin::CodecOf(r.send.codec).adaptive;
    const double width = 1100, height = bitpool ? 1250 : r.world ? 1060 : 640;
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
    Panel level{80, 630, width - 110, 200, tMin, tMax, 0, std::max(1.0, r.headset.capacityFrames * 1.1)};
    const double depth = std::max(r.send.queuePackets, r.link.send.peakQueuedPackets);
    Panel radio{80, 890, width - 110, 130, tMin, tMax, 0, std::max(1.0, depth * 1.1)};
    // The marks and windows run down every panel of the pacing and the link.
    const double bottomY = r.world ? radio.y0 + radio.h : bottom.y0 + bottom.h;

    std::ostringstream o;
    o << "<?xml version='1.0' encoding='UTF-8'?>\n";
    o << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height << "' viewBox='0 0 "
      << width << " " << height << "' font-family='sans-serif'>\n";
    o << "<style>.tick{font-size:11px;fill:#444}.title{font-size:13px;fill:#111}.legend{font-size:12px}</style>\n";
    o << "<rect width='100%' height='100%' fill='white'/>\n";
    std::string heading = "Pacing: " + r.source + ", " + r.clock + " clock" +
                          (r.configLine.empty() ? "" : " - " + r.configLine);
    o << "<text x='80' y='24' font-size='15px'>" << XmlEscape(heading) << "</text>\n";

    Axes(o, top, "Bytes per tick: due (line) and posted (bars); red: underrun; grey: link down; yellow: interference", "bytes");
    Axes(o, bottom, "Bytes queued after each tick", "bytes");
    if (r.world) {
        DrawHeadsetLevel(o, level, r);
        DrawRadioQueue(o, radio, r);
    }
    if (bitpool)
        DrawBitpool(o, Panel{80, 1080, width - 110, 130, tMin, tMax, 0, r.send.bitpool.max * 1.1 + 1}, r);
    auto posted = [](const TickRow& t) { return static_cast<double>(t.posted); };
    auto due = [](const TickRow& t) { return static_cast<double>(t.due); };
    auto queuedBytes = [](const TickRow& t) { return static_cast<double>(std::max<int64_t>(t.queued, 0)); };
    DrawPostedBars(o, top, PerColumn(top, rows, posted));
    // A long run's columns hold many ticks: a pause shows as columns without one.
    const double gap = std::max(r.config.timer ? 2.5 * r.config.timer / 1000.0 : 0.05, 2.5 * (tMax - tMin) / top.w);
    DrawSeries(o, top, PerColumn(top, rows, due), gap, "#08519c", false, due);
    DrawSeries(o, bottom, PerColumn(bottom, rows, queuedBytes), gap, "#31a354", true, queuedBytes);
    DrawHappenings(o, top, bottomY, r.happenings);
    DrawLateTicks(o, top, r.lateTicks);
    DrawWindows(o, top, bottomY, r);
    o << "<text x='" << Fixed(width / 2, 1) << "' y='" << Fixed(height - 12, 1)
      << "' text-anchor='middle' class='tick'>seconds since the first buffer was written</text>\n";
    o << "</svg>\n";
    return o.str();
}

}  // namespace player
