// Which swept setting matters: for each setting, each of its values with
// the rows that have it, over every value of the other settings (how many
// played clean, their gaps, latency and margin), the settings ordered by
// how much changing their value changes what the listener got.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "run/sweep.h"

namespace player {
namespace {

struct ValueFigures {
    std::string value;
    unsigned rows = 0, clean = 0, gaps = 0;
    double gapSeconds = 0, postToEar = 0, margin = 0;   // sums, then means
};

struct SettingFigures {
    std::string name;
    std::vector<ValueFigures> values;
    // How far apart its values' figures lie: the share of clean rows,
    // seconds of gaps, post to ear (s).
    double cleanSpread = 0, gapSpread = 0, earSpread = 0;
};

SettingFigures Figures(const std::vector<SweepRow>& rows, const std::string& name)
{
    SettingFigures s;
    s.name = name;
    for (const SweepRow& r : rows) {
        if (!r.ran)
            continue;
        auto it = r.settings.find(name);
        const std::string v = it == r.settings.end() ? "-" : it->second;
        auto at = std::find_if(s.values.begin(), s.values.end(), [&](const ValueFigures& f) { return f.value == v; });
        if (at == s.values.end()) {
            s.values.push_back(ValueFigures());
            s.values.back().value = v;
            at = s.values.end() - 1;
        }
        ++at->rows;
        at->clean += r.verdict == "clean";
        at->gaps += r.gaps;
        at->gapSeconds += r.gapSeconds;
        at->postToEar += r.postToEarMean;
        at->margin += r.lowestLevelMs;
    }
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (ValueFigures& f : s.values) {
        f.gapSeconds /= f.rows;
        f.postToEar /= f.rows;
        f.margin /= f.rows;
        const double x[3] = {static_cast<double>(f.clean) / f.rows, f.gapSeconds, f.postToEar};
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], x[k]);
            hi[k] = std::max(hi[k], x[k]);
        }
    }
    if (!s.values.empty()) {
        s.cleanSpread = hi[0] - lo[0];
        s.gapSpread = hi[1] - lo[1];
        s.earSpread = hi[2] - lo[2];
    }
    return s;
}

}  // namespace

std::string SweepEffectsText(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    std::vector<SettingFigures> settings;
    for (const std::string& c : columns) {
        SettingFigures s = Figures(rows, c);
        if (s.values.size() > 1)
            settings.push_back(s);
    }
    if (settings.size() < 2)
        return "";   // one setting: the table itself says it
    // The share of clean rows first, then seconds of silence, then latency
    // (rounded to the table's millisecond, so equal figures tie).
    auto ms = [](double s) { return static_cast<long>(s * 1000 + 0.5); };
    std::stable_sort(settings.begin(), settings.end(), [&](const SettingFigures& a, const SettingFigures& b) {
        if (a.cleanSpread != b.cleanSpread)
            return a.cleanSpread > b.cleanSpread;
        if (ms(a.gapSpread) != ms(b.gapSpread))
            return ms(a.gapSpread) > ms(b.gapSpread);
        return ms(a.earSpread) > ms(b.earSpread);
    });
    std::string out = "\nwhich setting matters: each value over every value of the others (rows clean, gaps, and "
                      "a row's mean gap seconds, post to ear and margin), the setting that changes most first\n";
    char b[256];
    for (const SettingFigures& s : settings) {
        std::snprintf(b, sizeof b, "  %s (clean share %.0f%% apart, gap s %.3f apart, post-ear %.3f s apart)\n",
                      s.name.c_str(), s.cleanSpread * 100, s.gapSpread, s.earSpread);
        out += b;
        for (const ValueFigures& f : s.values) {
            std::snprintf(b, sizeof b, "    %-10s %u of %u clean, %u gaps in all (%.3f s a row), post-ear %.3f s, margin %.1f ms\n",
                          f.value.c_str(), f.clean, f.rows, f.gaps, f.gapSeconds, f.postToEar, f.margin);
            out += b;
        }
    }
    return out;
}

}  // namespace player
