// The radio's send queue over time: how many media packets were queued or
// on the air, kept as a bounded series of equal cells of time, each with the
// fewest and the most packets at any instant inside it, so that a spike or
// an empty stretch shows however long the run.  Cells start at 10 ms; when
// the series would pass kMaxQueueCells the cells double in length, two
// merged into one (their lowest and highest kept).
//
// It is told each packet's stay in the queue, joined and left (delivered,
// lost on the air or flushed), in the order the packets joined; the depth
// changes at those instants.  Changes at one instant count as one: a packet
// that leaves as another joins does not show a dip that lasted no time.  A
// unit with no thread and no clock of its own, deterministic in its input.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace btstandin {

constexpr uint64_t kQueueCellNs = 10000000;   // the cells' length before a long run doubles it
constexpr size_t kMaxQueueCells = 8192;

struct QueueCell {
    uint32_t low = 0;    // the fewest packets queued at any instant of the cell
    uint32_t high = 0;   // the most
};

struct QueueSeries {
    uint64_t startNs = 0;   // clock time of the first cell's start: the first packet joining
    uint64_t cellNs = kQueueCellNs;
    std::vector<QueueCell> cells;   // from startNs on, contiguous, to the last packet leaving
};

class QueueRecord {
public:
    // A packet joined the queue at joinNs and left it at leaveNs (>= joinNs).
    // Calls come in the order the packets joined.
    void Add(uint64_t joinNs, uint64_t leaveNs);
    // The series so far, with every packet added left: to the end of the
    // last one's stay.
    QueueSeries Series() const;

private:
    void LeaveBy(uint64_t ns);
    void Change(uint64_t ns);             // the depth is level_ from ns on
    void Place(uint64_t ns, uint32_t level);
    void Halve();

    uint32_t level_ = 0;                  // packets queued now
    bool pending_ = false;                // a change at pendingNs_ not yet placed in a cell
    uint64_t pendingNs_ = 0;
    uint32_t pendingLevel_ = 0;           // the depth from pendingNs_ on
    uint32_t placed_ = 0;                 // the depth the cells last took
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> leaving_;
    QueueSeries series_;
};

}  // namespace btstandin
