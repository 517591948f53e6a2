// The radio's send queue over time, alone and as the send path records it:
// each cell's fewest and most packets at any instant, changes at one instant
// counted as one, bounded for long runs without losing a spike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "btstandin/queuerecord.h"
#include "btstandin/sendpath.h"

namespace {

using namespace btstandin;

const uint64_t kMs = 1000000;

struct Range {
    uint32_t low, high;
};

std::vector<Range> Ranges(const QueueSeries& s)
{
    std::vector<Range> out;
    for (const QueueCell& c : s.cells)
        out.push_back({c.low, c.high});
    return out;
}

void ExpectCells(const QueueSeries& s, const std::vector<Range>& want)
{
    const std::vector<Range> got = Ranges(s);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].low, want[i].low) << "cell " << i;
        EXPECT_EQ(got[i].high, want[i].high) << "cell " << i;
    }
}

TEST(QueueRecordTest, EachCellHoldsTheFewestAndMostPacketsAtAnyInstantOfIt)
{
    QueueRecord q;
    const uint64_t t0 = 1000 * kMs;   // the clock does not start at 0
    // Depth: 1 from 0, 2 from 5 ms, 1 from 25, 0 from 30, 3 from 40 (a post
    // completing three packets at once), 1 from 45, 0 from 58.
    q.Add(t0, t0 + 25 * kMs);
    q.Add(t0 + 5 * kMs, t0 + 30 * kMs);
    // Asked before the rest: what is queued then is counted as leaving.
    ExpectCells(q.Series(), {{1, 2}, {2, 2}, {1, 2}, {0, 0}});
    q.Add(t0 + 40 * kMs, t0 + 45 * kMs);
    q.Add(t0 + 40 * kMs, t0 + 45 * kMs);
    q.Add(t0 + 40 * kMs, t0 + 58 * kMs);
    const QueueSeries s = q.Series();
    EXPECT_EQ(s.startNs, t0);
    EXPECT_EQ(s.cellNs, kQueueCellNs);
    // Cells that begin with a change never held the depth before it; the
    // empty stretch from 30 to 40 ms is a cell of its own at 0.
    ExpectCells(s, {{1, 2}, {2, 2}, {1, 2}, {0, 0}, {1, 3}, {0, 1}});
    // Asking does not consume: the same again.
    ExpectCells(q.Series(), {{1, 2}, {2, 2}, {1, 2}, {0, 0}, {1, 3}, {0, 1}});
}

TEST(QueueRecordTest, APacketLeavingAsAnotherJoinsShowsNoDipAndAGapShowsEmpty)
{
    QueueRecord q;
    // Back to back for 40 ms, one packet always queued; then nothing for a
    // second (posts refused); then one more.
    q.Add(0, 20 * kMs);
    q.Add(20 * kMs, 40 * kMs);
    q.Add(1040 * kMs, 1045 * kMs);
    const QueueSeries s = q.Series();
    ASSERT_EQ(s.cells.size(), 105u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.cells[i].low, 1u) << i;
        EXPECT_EQ(s.cells[i].high, 1u) << i;
    }
    for (size_t i = 4; i < 104; ++i) {
        EXPECT_EQ(s.cells[i].low, 0u) << i;
        EXPECT_EQ(s.cells[i].high, 0u) << i;
    }
    EXPECT_EQ(s.cells[104].high, 1u);
    EXPECT_EQ(s.cells[104].low, 0u);
}

TEST(QueueRecordTest, AnHourStaysBoundedAndKeepsItsOneSpike)
{
    QueueRecord q;
    // A packet every 20 ms, through in 5; at 1800 s ten at once, leaving one
    // every 5 ms.
    const uint64_t spike = 1800000 * kMs;
    for (uint64_t t = 0; t < 3600000 * kMs; t += 20 * kMs) {
        if (t == spike)
            for (uint64_t k = 1; k <= 10; ++k)
                q.Add(t, t + 5 * k * kMs);
        else
            q.Add(t, t + 5 * kMs);
    }
    const QueueSeries s = q.Series();
    EXPECT_LE(s.cells.size(), kMaxQueueCells);
    EXPECT_GT(s.cells.size(), kMaxQueueCells / 2);
    // Still the whole hour, in cells a power of two of the first.
    EXPECT_EQ(s.cellNs % kQueueCellNs, 0u);
    const uint64_t factor = s.cellNs / kQueueCellNs;
    EXPECT_EQ(factor & (factor - 1), 0u) << factor;
    EXPECT_GT(s.startNs + s.cells.size() * s.cellNs, 3599980 * kMs);   // the last packet leaves at 3599.985 s
    const size_t at = static_cast<size_t>((spike - s.startNs) / s.cellNs);
    for (size_t i = 0; i < s.cells.size(); ++i) {
        EXPECT_EQ(s.cells[i].high, i == at ? 10u : 1u) << i;
        EXPECT_EQ(s.cells[i].low, 0u) << i;
    }
}

// The send path at a fixed bitpool 53 (846-byte packets, 333 kbit/s) through
// a radio of 200 kbit/s: the queue fills to its depth and the posts it has
// no room for are refused.
TEST(QueueRecordTest, TheSendPathsSeriesRisesToItsFullestAndEmptiesAtTheEnd)
{
    SendPathConfig c;
    c.bitpool.fixed = true;
    c.radioKbps = 200;
    SendPath path(c);
    uint64_t refused = 0;
    std::vector<MediaPacket> out;
    for (uint64_t t = 0; t < 3000 * kMs; t += 20 * kMs) {
        if (path.Admits(t, 3528))
            path.Take(t, nullptr, 3528, &out);
        else
            ++refused;
    }
    path.SendHeld(3000 * kMs, &out);
    EXPECT_GT(refused, 0u);
    const QueueSeries s = path.Stats().queue.Series();
    ASSERT_FALSE(s.cells.empty());
    EXPECT_EQ(s.startNs, out.front().sentNs);
    uint32_t most = 0;
    size_t firstFull = s.cells.size();
    for (size_t i = 0; i < s.cells.size(); ++i) {
        most = std::max(most, s.cells[i].high);
        if (s.cells[i].high == c.queuePackets && firstFull == s.cells.size())
            firstFull = i;
    }
    EXPECT_EQ(most, path.Stats().peakQueuedPackets);
    EXPECT_EQ(most, c.queuePackets);
    // It rises: the first cells hold less than the depth.
    EXPECT_LT(s.cells.front().high, c.queuePackets);
    EXPECT_GT(firstFull, 1u);
    // To the last packet's arrival, where it is empty.
    EXPECT_GE(s.startNs + s.cells.size() * s.cellNs, path.Stats().lastArrivalNs);
    EXPECT_LT(s.startNs + (s.cells.size() - 1) * s.cellNs, path.Stats().lastArrivalNs + 1);
    EXPECT_EQ(s.cells.back().low, 0u);
}

}  // namespace
