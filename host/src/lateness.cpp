// The virtual clock's timing model: percentiles parsed and written, the
// quantile function between them, and the seeded deck of draws.
#include "host/lateness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/clock.h"

namespace host {

const double kReportedQuantiles[4] = {0.5, 0.9, 0.99, 0.999};

namespace {

// The figures of the desktop profiles are the timer thread's lateness in the
// player's real-clock runs on the project's build machine (docs/player.md,
// "A timing model for the virtual clock", says how they were measured); the
// device's are an assumption, not a measurement.
const std::vector<NamedLatenessProfile> kProfiles = {
    {"busy-desktop", "p50:0.086ms,p90:0.11ms,p99:0.22ms,p99.9:3.4ms,max:6.3ms",
     "a desktop's timer thread at real-time priority while the\n"
     "machine runs other work (measured)"},
    {"loaded-desktop", "p50:1.6ms,p90:13ms,p99:41ms,p99.9:113ms,max:193ms",
     "a desktop's timer thread without real-time priority beside a\n"
     "CPU load on every core (measured)"},
    {"preempted-device", "p50:1ms,p90:3ms,p99:10ms,p99.9:25ms,max:40ms",
     "a device whose timer thread is preempted: late by a few ms\n"
     "often, by tens now and then (assumed, not measured)"},
};

// "12.5ms" -> ns.  False when it is no time.
bool ParseTime(const std::string& text, uint64_t* ns)
{
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(v >= 0) || !std::isfinite(v))
        return false;
    std::string unit(end);
    double scale = unit == "ns" ? 1 : unit == "us" ? 1e3 : unit == "ms" || unit.empty() ? 1e6 : unit == "s" ? 1e9 : 0;
    if (scale == 0 || v * scale > 60e9)
        return false;
    *ns = static_cast<uint64_t>(std::llround(v * scale));
    return true;
}

// "p99.9" -> 0.999, "max" -> 1, "min" -> 0.  False otherwise.
bool ParseQuantile(const std::string& key, double* q)
{
    if (key == "max" || key == "min") {
        *q = key == "max" ? 1 : 0;
        return true;
    }
    if (key.size() < 2 || key[0] != 'p' || key.find_first_not_of("0123456789.", 1) != std::string::npos)
        return false;
    char* end = nullptr;
    double pct = std::strtod(key.c_str() + 1, &end);
    if (*end != '\0' || pct < 0 || pct > 100)
        return false;
    *q = pct / 100;
    return true;
}

bool ParsePoints(const std::string& text, LatenessProfile* out, std::string* error)
{
    LatenessProfile p;
    for (size_t at = 0; at <= text.size();) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(at, comma - at);
        size_t colon = item.find(':');
        LatenessPoint pt{0, 0};
        if (colon == std::string::npos || !ParseQuantile(item.substr(0, colon), &pt.quantile) ||
            !ParseTime(item.substr(colon + 1), &pt.ns)) {
            *error = "'" + item + "' is not a percentile and a lateness such as p99:8ms or max:30ms";
            return false;
        }
        p.points.push_back(pt);
        at = comma + 1;
    }
    std::sort(p.points.begin(), p.points.end(),
              [](const LatenessPoint& a, const LatenessPoint& b) { return a.quantile < b.quantile; });
    for (size_t i = 1; i < p.points.size(); ++i) {
        if (p.points[i].quantile == p.points[i - 1].quantile) {
            *error = "a percentile is given twice";
            return false;
        }
        if (p.points[i].ns < p.points[i - 1].ns) {
            *error = "the lateness falls from one percentile to a higher one";
            return false;
        }
    }
    if (p.points.empty() || p.points.back().quantile != 1) {
        *error = "the percentiles need a max (the largest lateness)";
        return false;
    }
    *out = p;
    return true;
}

}  // namespace

const std::vector<NamedLatenessProfile>& LatenessProfiles()
{
    return kProfiles;
}

bool ParseLatenessProfile(const std::string& text, LatenessProfile* out, std::string* error)
{
    for (const NamedLatenessProfile& n : kProfiles)
        if (text == n.name)
            return ParsePoints(n.percentiles, out, error);
    const bool points = !text.empty() && (text[0] == 'p' || text.compare(0, 3, "min") == 0 || text.compare(0, 3, "max") == 0);
    if (!points) {
        std::string names;
        for (const NamedLatenessProfile& n : kProfiles)
            names += std::string(names.empty() ? "" : ", ") + n.name;
        *error = "'" + text + "' is neither a profile (" + names + ") nor percentiles such as p50:1ms,p99:8ms,max:30ms";
        return false;
    }
    return ParsePoints(text, out, error);
}

std::string FormatLatenessProfile(const LatenessProfile& p)
{
    std::string out;
    for (const LatenessPoint& pt : p.points) {
        char key[32], value[32];
        if (pt.quantile == 1)
            std::snprintf(key, sizeof key, "max");
        else if (pt.quantile == 0)
            std::snprintf(key, sizeof key, "min");
        else
            std::snprintf(key, sizeof key, "p%g", pt.quantile * 100);
        // ms to the ns, without trailing zeros.
        std::snprintf(value, sizeof value, "%.6f", static_cast<double>(pt.ns) / 1e6);
        std::string v(value);
        v.erase(v.find_last_not_of('0') + 1);
        if (v.back() == '.')
            v.pop_back();
        out += (out.empty() ? "" : ",") + std::string(key) + ":" + v + "ms";
    }
    return out;
}

double LatenessAt(const LatenessProfile& p, double quantile)
{
    double q0 = 0, ns0 = 0;   // from 0 at p0 unless the profile starts lower down
    for (const LatenessPoint& pt : p.points) {
        if (quantile <= pt.quantile) {
            if (pt.quantile == q0)
                return static_cast<double>(pt.ns);
            return ns0 + (static_cast<double>(pt.ns) - ns0) * (quantile - q0) / (pt.quantile - q0);
        }
        q0 = pt.quantile;
        ns0 = static_cast<double>(pt.ns);
    }
    return ns0;
}

LatenessDraws::LatenessDraws(const LatenessProfile& p, uint64_t seed) : profile_(p), state_(seed), deck_(kDeckSize)
{
    Shuffle();
}

uint64_t LatenessDraws::Random()
{
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void LatenessDraws::Shuffle()
{
    // Fisher-Yates with a bounded draw by multiply-shift (its bias, below
    // 1e-15 for a deck this size, does not matter here).
    for (uint32_t i = 0; i < kDeckSize; ++i)
        deck_[i] = i;
    for (uint32_t i = kDeckSize - 1; i > 0; --i) {
        uint32_t j = static_cast<uint32_t>((Random() >> 32) * (i + 1) >> 32);
        std::swap(deck_[i], deck_[j]);
    }
    at_ = 0;
}

uint64_t LatenessDraws::Next()
{
    if (at_ == deck_.size())
        Shuffle();
    // A point drawn evenly within the card's slice of the distribution.
    const double within = static_cast<double>(Random() >> 11) * (1.0 / 9007199254740992.0);
    const double q = (deck_[at_++] + within) / kDeckSize;
    return static_cast<uint64_t>(std::llround(LatenessAt(profile_, q)));
}

void UseLatenessProfile(const LatenessProfile& p, uint64_t seed)
{
    auto draws = std::make_shared<LatenessDraws>(p, seed);
    SetVirtualTickLateness([draws] { return draws->Next(); });
}

}  // namespace host
