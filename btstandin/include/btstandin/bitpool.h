// The bitpool rule: how the library trades quality for bit rate when the
// radio falls behind.  While the send queue holds more than `highPackets`
// the bitpool steps down by `step`, at most once per `holdNs` (time for the
// step to show in the queue); after `quietNs` with at most one packet queued
// it steps up again by `step`, back to the top of its range.  A fixed bitpool
// never moves.  A unit with no thread and no clock of its own: times and
// queue lengths in, the bitpool out.
#pragma once

#include <cstdint>

namespace btstandin {

struct BitpoolRange {
    uint32_t min = 2;     // lowest the rule goes
    uint32_t max = 53;    // where it starts, and highest it goes
    bool fixed = false;   // the bitpool stays at max
};

struct BitpoolRuleConfig {
    uint32_t highPackets = 2;          // a queue longer than this is falling behind
    uint64_t holdNs = 100000000;       // 100 ms between steps down
    uint64_t quietNs = 1000000000;     // 1 s with no backlog before a step up
    uint32_t step = 5;
};

class BitpoolRule {
public:
    explicit BitpoolRule(const BitpoolRange& range, const BitpoolRuleConfig& config = BitpoolRuleConfig());
    // The queue's length at nowNs (times never go back); returns the bitpool
    // for the packets from now on.
    uint32_t Observe(uint64_t nowNs, uint32_t queuedPackets);
    uint32_t Bitpool() const { return bitpool_; }

private:
    BitpoolRange range_;
    BitpoolRuleConfig config_;
    uint32_t bitpool_;
    bool changed_ = false;       // there was a change, at lastChangeNs_
    uint64_t lastChangeNs_ = 0;
    bool quiet_ = false;         // the queue has been short since quietSinceNs_
    uint64_t quietSinceNs_ = 0;
};

}  // namespace btstandin
