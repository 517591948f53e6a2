// The virtual clock's timing model: percentiles parsed and written back, the
// same seed giving the same ticks, and each named profile's percentiles met
// by the ticks the clock runs late (as the service thread measures them and
// as the counter reads them) over 10,000 ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/clock.h"
#include "host/host.h"
#include "host/lateness.h"
#include "host/platform.h"
#include "support/clock_fixture.h"

namespace {

using testing_support::ClockTest;

// One tick as its callback saw it: the lateness the clock measured and the
// counter's reading.
struct Seen {
    uint64_t lateNs;
    uint64_t counter;
};
std::vector<Seen> g_seen;   // written on the service thread only while the test waits in an advance

void CALLBACK Note(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    g_seen.push_back({host::CurrentTickLatenessNs(), static_cast<uint64_t>(c.QuadPart)});
}

// Runs `ticks` ticks of one periodic timer of `periodMs` with the profile's
// draws; what each tick saw.
std::vector<Seen> RunTicks(const host::LatenessProfile& p, uint64_t seed, unsigned periodMs, unsigned ticks)
{
    g_seen.clear();
    g_seen.reserve(ticks + 1);
    host::UseLatenessProfile(p, seed);
    UINT id = timeSetEvent(periodMs, 0, Note, 0, TIME_PERIODIC);
    EXPECT_NE(id, 0u);
    // The last deadline, and room for its tick's lateness (under a period).
    host::AdvanceVirtualMs(uint64_t{periodMs} * ticks + periodMs - 1);
    timeKillEvent(id);
    host::SetVirtualTickLateness(nullptr);
    return g_seen;
}

host::LatenessProfile Profile(const std::string& text)
{
    host::LatenessProfile p;
    std::string error;
    EXPECT_TRUE(host::ParseLatenessProfile(text, &p, &error)) << text << ": " << error;
    return p;
}

// Nearest-rank percentile of sorted values.
uint64_t Percentile(const std::vector<uint64_t>& sorted, double q)
{
    size_t rank = static_cast<size_t>(std::ceil(q * sorted.size()));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

TEST(LatenessProfileTest, PercentilesAreReadAndWrittenInOneForm)
{
    host::LatenessProfile p = Profile("max:30ms,p50:1ms,p99.9:12500us,p99:8");
    ASSERT_EQ(p.points.size(), 4u);
    EXPECT_EQ(p.points[0].quantile, 0.5);
    EXPECT_EQ(p.points[1].ns, 8000000u);   // no unit: ms
    EXPECT_EQ(p.points[2].ns, 12500000u);
    EXPECT_EQ(host::FormatLatenessProfile(p), "p50:1ms,p99:8ms,p99.9:12.5ms,max:30ms");
    // Between the points the lateness is linear in the quantile, from 0 at p0.
    EXPECT_DOUBLE_EQ(host::LatenessAt(p, 0.25), 500000.0);
    EXPECT_DOUBLE_EQ(host::LatenessAt(p, 0.745), 4500000.0);
    EXPECT_DOUBLE_EQ(host::LatenessAt(p, 1.0), 30000000.0);
    EXPECT_DOUBLE_EQ(host::LatenessAt(Profile("min:2ms,max:4ms"), 0.5), 3000000.0);

    // Every named profile parses and reads back as its own figures.
    for (const host::NamedLatenessProfile& n : host::LatenessProfiles())
        EXPECT_EQ(host::FormatLatenessProfile(Profile(n.name)), n.percentiles) << n.name;

    std::string error;
    host::LatenessProfile q;
    for (const char* bad : {"p50:1ms,p99:8ms", "p50:2ms,p99:1ms,max:3ms", "p50:1ms,p50:2ms,max:3ms", "p50:1xs,max:2ms",
                            "p101:1ms,max:2ms", "max:-1ms", "idle-desktop", "", "p50:1ms,,max:2ms"}) {
        EXPECT_FALSE(host::ParseLatenessProfile(bad, &q, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST_F(ClockTest, TheSameSeedGivesTheSameLatenessSequence)
{
    host::LatenessProfile p = Profile("preempted-device");
    std::vector<Seen> a = RunTicks(p, 42, 50, 2500);
    host::ResetAll();
    std::vector<Seen> b = RunTicks(p, 42, 50, 2500);
    host::ResetAll();
    std::vector<Seen> c = RunTicks(p, 43, 50, 2500);
    ASSERT_EQ(a.size(), 2500u);
    ASSERT_EQ(b.size(), a.size());
    ASSERT_EQ(c.size(), a.size());
    size_t same = 0, other = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        same += a[i].lateNs == b[i].lateNs && a[i].counter == b[i].counter;
        other += a[i].lateNs == c[i].lateNs;
    }
    EXPECT_EQ(same, a.size());
    EXPECT_LT(other, a.size() / 10);   // another seed: another sequence

    // The draws themselves, past a deck's end.
    host::LatenessDraws x(p, 9), y(p, 9);
    for (unsigned i = 0; i < 3 * host::LatenessDraws::kDeckSize; ++i)
        ASSERT_EQ(x.Next(), y.Next()) << "draw " << i;
}

TEST_F(ClockTest, EachProfilesPercentilesAreMetOver10000Ticks)
{
    host::SetCounterFrequency(10000000);
    const unsigned kTicks = 10000, kPeriodMs = 250;   // a period longer than any profile's max
    for (const host::NamedLatenessProfile& n : host::LatenessProfiles()) {
        SCOPED_TRACE(n.name);
        host::LatenessProfile p = Profile(n.name);
        std::vector<Seen> seen = RunTicks(p, 1, kPeriodMs, kTicks);
        ASSERT_EQ(seen.size(), kTicks);
        std::vector<uint64_t> late;
        for (size_t k = 0; k < seen.size(); ++k) {
            late.push_back(seen[k].lateNs);
            // The counter reads the later time: the deadline plus the lateness
            // (to the counter's 100 ns).
            const uint64_t deadlineNs = (k + 1) * kPeriodMs * 1000000ull;
            EXPECT_NEAR(static_cast<double>(seen[k].counter) * 100, static_cast<double>(deadlineNs + late.back()), 100)
                << "tick " << k;
            if (HasFailure())
                return;
        }
        std::sort(late.begin(), late.end());
        for (const host::LatenessPoint& pt : p.points) {
            const double want = static_cast<double>(pt.ns);
            EXPECT_NEAR(static_cast<double>(Percentile(late, pt.quantile)), want, want * 0.1) << "p" << pt.quantile * 100;
        }
        host::ResetAll();
    }
}

}  // namespace
