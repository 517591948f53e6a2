#include "btstandin/queuerecord.h"

#include <algorithm>
#include <cstdint>

namespace btstandin {

void QueueRecord::Add(uint64_t joinNs, uint64_t leaveNs)
{
    LeaveBy(joinNs);   // a packet through by then has made room first
    ++level_;
    Change(joinNs);
    leaving_.push(std::max(joinNs, leaveNs));
}

QueueSeries QueueRecord::Series() const
{
    QueueRecord rest = *this;
    rest.LeaveBy(UINT64_MAX);
    if (rest.pending_)
        rest.Place(rest.pendingNs_, rest.pendingLevel_);
    return rest.series_;
}

void QueueRecord::LeaveBy(uint64_t ns)
{
    while (!leaving_.empty() && leaving_.top() <= ns) {
        const uint64_t at = leaving_.top();
        leaving_.pop();
        --level_;
        Change(at);
    }
}

// Changes at one instant are placed together, once a later instant comes.
void QueueRecord::Change(uint64_t ns)
{
    if (pending_ && ns > pendingNs_)
        Place(pendingNs_, pendingLevel_);
    if (!pending_ || ns > pendingNs_)
        pendingNs_ = ns;
    pending_ = true;
    pendingLevel_ = level_;
}

// The depth is `level` from ns on: the cells up to ns's carry the depth
// before it, and ns's cell takes the new one too.
void QueueRecord::Place(uint64_t ns, uint32_t level)
{
    std::vector<QueueCell>& cells = series_.cells;
    if (cells.empty()) {
        series_.startNs = ns;
        cells.push_back({level, level});
        placed_ = level;
        return;
    }
    for (;;) {
        const uint64_t k = (ns - series_.startNs) / series_.cellNs;
        if (k < cells.size())
            break;
        // A cell that begins with the change never held the old depth.
        const bool startsHere = cells.size() == k && ns == series_.startNs + k * series_.cellNs;
        const uint32_t first = startsHere ? level : placed_;
        cells.push_back({first, first});
        if (cells.size() > kMaxQueueCells)
            Halve();
    }
    QueueCell& c = cells[(ns - series_.startNs) / series_.cellNs];
    c.low = std::min(c.low, level);
    c.high = std::max(c.high, level);
    placed_ = level;
}

// A long run: cells twice as long, two merged into one, so the series stays
// the same size whatever the length.
void QueueRecord::Halve()
{
    std::vector<QueueCell>& cells = series_.cells;
    for (size_t i = 0; 2 * i < cells.size(); ++i) {
        QueueCell c = cells[2 * i];
        if (2 * i + 1 < cells.size()) {
            c.low = std::min(c.low, cells[2 * i + 1].low);
            c.high = std::max(c.high, cells[2 * i + 1].high);
        }
        cells[i] = c;
    }
    cells.resize((cells.size() + 1) / 2);
    series_.cellNs *= 2;
}

}  // namespace btstandin
