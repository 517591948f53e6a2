// A timing model for the virtual clock: each tick's lateness drawn from a
// seeded distribution, so that a run on the virtual clock meets a timer that
// is late as a real one is (a few milliseconds often, tens now and then)
// instead of one that is never late.
//
// A distribution is given by its percentiles, in the form the player takes
// and its report writes: "p50:1ms,p99:8ms,max:30ms".  Between the points the
// lateness is spread evenly (the quantile function is linear between them,
// from 0 at p0 unless a "min" or "p0" says otherwise), so each given
// percentile is the distribution's own.
//
// The draws are a shuffled deck: every kDeckSize ticks take one value from
// each of kDeckSize equal slices of the distribution, in an order shuffled by
// the seed.  So a run of a few thousand ticks already shows the percentiles
// down to p99.9, where independent draws would need ten times as many ticks
// to pin a p99 down to 10 %.  What the deck does not model is lateness that
// comes in bursts (neighbouring ticks late together); a tick drawn later than
// the period still delays the ticks after it, since the virtual clock never
// runs a timer's ticks out of order.
//
// The same seed and distribution give the same sequence on every machine:
// the generator and the arithmetic are this file's own, not the standard
// library's distributions (whose output may differ between libraries).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// One point of a distribution: the lateness (ns) that `quantile` (0 to 1) of
// the ticks do not exceed.
struct LatenessPoint {
    double quantile;
    uint64_t ns;
};

// A distribution: points in increasing quantile and lateness, the last at
// quantile 1 (the largest lateness).
struct LatenessProfile {
    std::vector<LatenessPoint> points;
};

// One of the named profiles (below); false when there is none of that name.
struct NamedLatenessProfile {
    const char* name;
    const char* percentiles;   // in the option's form
    const char* what;          // one line for the usage and the docs
};
const std::vector<NamedLatenessProfile>& LatenessProfiles();

// "busy-desktop", or "p50:1ms,p99:8ms,max:30ms" (each pNN or pNN.N, "min"
// and "max", with ns, us, ms or s, or none for ms; the points in any order;
// the lateness may not fall as the percentile rises) -> a profile.  A named
// profile is taken by its name.  False with a one-line message otherwise.
bool ParseLatenessProfile(const std::string& text, LatenessProfile* out, std::string* error);

// The profile in the form ParseLatenessProfile takes, in ms to the ns.
std::string FormatLatenessProfile(const LatenessProfile& p);

// The percentiles a report states of a set of measured latenesses (ms), in
// increasing order: p50, p90, p99, p99.9 and max.
extern const double kReportedQuantiles[4];

// The lateness at `quantile` (0 to 1) of the profile: linear between its points.
double LatenessAt(const LatenessProfile& p, double quantile);

// The seeded sequence of draws.  Not thread-safe: the clock calls it under its lock.
class LatenessDraws {
public:
    static constexpr unsigned kDeckSize = 1000;
    LatenessDraws(const LatenessProfile& p, uint64_t seed);
    // The next tick's lateness, ns.
    uint64_t Next();

private:
    void Shuffle();
    uint64_t Random();   // splitmix64
    LatenessProfile profile_;
    uint64_t state_;
    std::vector<uint32_t> deck_;
    size_t at_ = 0;
};

// Has every tick of the virtual clock run late by the profile's draws, with
// this seed (replaces any lateness set before; SetVirtualTickLateness(nullptr)
// clears it).  Any thread that may set the clock's lateness.
void UseLatenessProfile(const LatenessProfile& p, uint64_t seed);

}  // namespace host
