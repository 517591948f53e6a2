// A sweep's chart as SVG: for two swept settings a grid of cells coloured
// by the verdict, each with its post-to-ear latency and its gaps (or its
// margin to one); for more, one such grid for each combination of the
// further settings; for one, a small line chart a figure against the swept
// values.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "run/sweep.h"

namespace player {
namespace {

std::string Escaped(const std::string& s)
{
    std::string out;
    for (char c : s)
        out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
    return out;
}

const char* VerdictColour(const SweepRow& r)
{
    if (!r.ran)
        return "#d0d0d0";
    if (r.verdict == "clean")
        return "#7fc97f";
    if (r.verdict == "failed")
        return "#606060";
    return r.gaps > 0 ? "#f0605d" : "#fdc086";   // gaps; overflows, refused or lost without gaps
}

std::string Text(double x, double y, const std::string& s, const char* anchor = "middle", int size = 12)
{
    char b[160];
    std::snprintf(b, sizeof b, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%d\" text-anchor=\"%s\">", x, y, size, anchor);
    return b + Escaped(s) + "</text>\n";
}

std::vector<std::string> Values(const std::vector<SweepRow>& rows, const std::string& key)
{
    std::vector<std::string> v;
    for (const SweepRow& r : rows) {
        auto it = r.settings.find(key);
        const std::string s = it == r.settings.end() ? "-" : it->second;
        if (std::find(v.begin(), v.end(), s) == v.end())
            v.push_back(s);
    }
    return v;
}

std::string SettingOf(const SweepRow& r, const std::string& key)
{
    auto it = r.settings.find(key);
    return it == r.settings.end() ? "-" : it->second;
}

// One grid of cells, `down` by `across`, drawn at (ox, oy) from the rows
// given; its size in `w`, `h`.
const double kCellW = 118, kCellH = 62, kGridLeft = 120, kGridTop = 60;

std::string GridPanel(const std::vector<SweepRow>& rows, const std::string& across, const std::string& down,
                      const std::vector<std::string>& xs, const std::vector<std::string>& ys, double ox, double oy)
{
    std::ostringstream o;
    const double left = ox + kGridLeft, top = oy + kGridTop;
    for (size_t i = 0; i < xs.size(); ++i)
        o << Text(left + kCellW * (i + 0.5), top - 8, xs[i]);
    for (size_t j = 0; j < ys.size(); ++j)
        o << Text(left - 8, top + kCellH * (j + 0.55), ys[j], "end");
    o << Text(ox + 10, top - 8, down, "start");
    for (const SweepRow& r : rows) {
        const auto x = std::find(xs.begin(), xs.end(), SettingOf(r, across));
        const auto y = std::find(ys.begin(), ys.end(), SettingOf(r, down));
        const double px = left + kCellW * static_cast<double>(x - xs.begin());
        const double py = top + kCellH * static_cast<double>(y - ys.begin());
        o << "<rect x=\"" << px << "\" y=\"" << py << "\" width=\"" << kCellW - 2 << "\" height=\"" << kCellH - 2
          << "\" fill=\"" << VerdictColour(r) << "\"/>\n";
        o << Text(px + kCellW / 2, py + 16, r.verdict, "middle", 11);
        if (!r.ran)
            continue;
        o << Text(px + kCellW / 2, py + 33, std::to_string(static_cast<int>(r.postToEarMean * 1000 + 0.5)) + " ms");
        // How bad, or how close: the gaps and their silence, else the
        // margin to a gap.
        char b[64];
        if (r.gaps > 0)
            std::snprintf(b, sizeof b, "%u gap%s, %.3f s", r.gaps, r.gaps == 1 ? "" : "s", r.gapSeconds);
        else
            std::snprintf(b, sizeof b, "margin %.1f ms", r.lowestLevelMs);
        o << Text(px + kCellW / 2, py + 50, b, "middle", 10);
    }
    return o.str();
}

std::string SvgHead(double w, double h)
{
    std::ostringstream o;
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" font-family=\"sans-serif\">\n";
    return o.str();
}

const char* const kCellLegend = " (cells: verdict, post to ear mean, gaps or the margin to one)";

std::string Grid(const std::vector<SweepRow>& rows, const std::string& across, const std::string& down)
{
    const std::vector<std::string> xs = Values(rows, across), ys = Values(rows, down);
    std::ostringstream o;
    o << SvgHead(kGridLeft + kCellW * xs.size() + 20, kGridTop + kCellH * ys.size() + 30);
    o << Text(kGridLeft + kCellW * xs.size() / 2, 20, across + kCellLegend);
    o << GridPanel(rows, across, down, xs, ys, 0, 0) << "</svg>\n";
    return o.str();
}

// More than two swept settings: a small multiple, one grid of the first
// two for each combination of the further settings' values, side by side
// (three to a line), every grid with the same rows and columns.
std::string Facets(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    const std::string& down = columns[0];
    const std::string& across = columns[1];
    const std::vector<std::string> xs = Values(rows, across), ys = Values(rows, down);
    std::vector<std::string> panels;   // each panel's further settings, in the rows' order
    std::vector<std::vector<SweepRow>> members;
    for (const SweepRow& r : rows) {
        std::string key;
        for (size_t k = 2; k < columns.size(); ++k)
            key += (k > 2 ? ", " : "") + columns[k] + "=" + SettingOf(r, columns[k]);
        const size_t at = static_cast<size_t>(std::find(panels.begin(), panels.end(), key) - panels.begin());
        if (at == panels.size()) {
            panels.push_back(key);
            members.emplace_back();
        }
        members[at].push_back(r);
    }
    const size_t perLine = std::min<size_t>(3, panels.size());
    const double pw = kGridLeft + kCellW * xs.size() + 20, ph = kGridTop + kCellH * ys.size() + 20;
    const size_t lines = (panels.size() + perLine - 1) / perLine;
    std::ostringstream o;
    o << SvgHead(pw * perLine, 30 + ph * lines);
    o << Text(pw * perLine / 2, 20, across + " across, " + down + " down" + kCellLegend);
    for (size_t p = 0; p < panels.size(); ++p) {
        const double ox = pw * (p % perLine), oy = 30 + ph * (p / perLine);
        o << Text(ox + kGridLeft + kCellW * xs.size() / 2, oy + 24, panels[p], "middle", 13);
        o << GridPanel(members[p], across, down, xs, ys, ox, oy);
    }
    o << "</svg>\n";
    return o.str();
}

// One small chart a figure, the swept values along each.
std::string Lines(const std::vector<SweepRow>& rows, const std::string& setting)
{
    struct Figure {
        const char* name;
        double (*of)(const SweepRow&);
    };
    const Figure figures[] = {
        {"post to ear mean (ms)", [](const SweepRow& r) { return r.postToEarMean * 1000; }},
        {"post to ear max (ms)", [](const SweepRow& r) { return r.postToEarMax * 1000; }},
        {"first sound (ms)", [](const SweepRow& r) { return r.firstSound * 1000; }},
        {"gap seconds", [](const SweepRow& r) { return r.gapSeconds; }},
        {"margin to a gap (ms)", [](const SweepRow& r) { return r.lowestLevelMs; }},
    };
    const double w = 420, h = 120, left = 60, gap = 40;
    std::ostringstream o;
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << left + w + 30 << "\" height=\""
      << (h + gap) * 5 + 40 << "\" font-family=\"sans-serif\">\n";
    for (size_t f = 0; f < 5; ++f) {
        const double top = 30 + (h + gap) * f;
        double hi = 0;
        for (const SweepRow& r : rows)
            hi = std::max(hi, r.ran ? figures[f].of(r) : 0);
        hi = hi > 0 ? hi * 1.1 : 1;
        o << Text(left, top - 8, figures[f].name, "start");
        o << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << w << "\" height=\"" << h
          << "\" fill=\"none\" stroke=\"#999\"/>\n" << Text(left - 4, top + 10, Escaped(std::to_string(hi).substr(0, 6)), "end", 10);
        std::string points;
        for (size_t i = 0; i < rows.size(); ++i) {
            const double x = left + w * (rows.size() > 1 ? static_cast<double>(i) / (rows.size() - 1) : 0.5);
            const double y = top + h - (rows[i].ran ? figures[f].of(rows[i]) : 0) / hi * h;
            char p[64];
            std::snprintf(p, sizeof p, "%.1f,%.1f ", x, y);
            points += p;
            o << "<circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"4\" fill=\"" << VerdictColour(rows[i]) << "\"/>\n";
            auto it = rows[i].settings.find(setting);
            o << Text(x, top + h + 14, it == rows[i].settings.end() ? "-" : it->second, "middle", 10);
        }
        o << "<polyline fill=\"none\" stroke=\"#336\" points=\"" << points << "\"/>\n";
    }
    o << Text(left + w / 2, (h + gap) * 5 + 30, setting + " (points coloured by verdict)");
    o << "</svg>\n";
    return o.str();
}

}  // namespace

std::string SweepChartSvg(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    if (columns.size() == 1)
        return Lines(rows, columns[0]);
    if (columns.size() == 2)
        return Grid(rows, columns[1], columns[0]);
    return columns.empty() ? "" : Facets(rows, columns);
}

}  // namespace player
