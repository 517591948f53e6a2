// The bitpool rule: how the library trades quality for bit rate when the
// radio falls behind.  It watches the send queue in time, not in packets: the
// backlog is how long the radio still needs to send what waits when a post
// comes (before the post's own packets join it), so a small MTU's many small
// packets weigh what their bytes weigh.  A link that carries the bitpool has
// sent the last post's packets by the next post, and the backlog stays near
// nothing whatever the MTU.
//
// Down: the rule looks at the backlog in windows of `windowNs`, taking the
// least each window's posts found (the backlog rises and falls by a packet's
// air time between posts; its floor shows the trend).  When a window's floor
// is above `downNs` and above the window's before, the radio is still falling
// behind and the bitpool steps down by `downStep`; so does a window in which
// a post found the queue full (a write that failed is behind, whatever the
// backlog: a queue of small packets can be full well short of `downNs`).  A backlog that is
// draining is left to drain: the last step was enough, and stepping on would
// overshoot.  Up: after `quietNs` in which every post found a
// backlog of at most `quietBacklogNs` (the writes went through), it steps up
// by `upStep`, back to the top of its range; a bitpool the link cannot carry
// then backs the queue up slowly and the rule steps down again, so it settles
// within a step of the highest bitpool the link carries.  A fixed bitpool
// never moves.  A unit with no thread and no clock of its own: times and
// backlogs in, the bitpool out.
#pragma once

#include <cstdint>

namespace btstandin {

struct BitpoolRange {
    uint32_t min = 2;     // lowest the rule goes
    uint32_t max = 53;    // where it starts, and highest it goes
    bool fixed = false;   // the bitpool stays at max
};

// The constants and the practice each follows (docs/world.md gives them):
// desktop stacks step down by 2 when their writes back up in time and step
// up by 1 while writes go through; we step up twice as often as they do
// (every 500 ms rather than every second) so that a link that recovers from
// interference has its quality back within a few seconds.
struct BitpoolRuleConfig {
    uint64_t downNs = 10000000;          // a backlog above 10 ms is falling behind
    uint64_t windowNs = 50000000;        // 50 ms windows: at most one step down each
    uint64_t quietBacklogNs = 5000000;   // a backlog of at most 5 ms: the writes go through
    uint64_t quietNs = 500000000;        // 500 ms of that before a step up
    uint32_t downStep = 2;               // the least step down
    bool settle = false;                 // skip judging the window after a step down
    uint32_t maxDownStep = 8;            // the most one window steps down
    uint32_t upStep = 1;
};

class BitpoolRule {
public:
    explicit BitpoolRule(const BitpoolRange& range, const BitpoolRuleConfig& config = BitpoolRuleConfig());
    // The radio's backlog at nowNs, in ns of sending (times never go back);
    // returns the bitpool for the packets from now on.
    uint32_t Observe(uint64_t nowNs, uint64_t backlogNs);
    // The post observed last found no room in the queue.
    void Refused() { refused_ = true; }
    uint32_t Bitpool() const { return bitpool_; }

private:
    void Judge(uint64_t nowNs);

    BitpoolRange range_;
    BitpoolRuleConfig config_;
    uint32_t bitpool_;
    bool windowOpen_ = false;    // a window began at windowNs_
    uint64_t windowNs_ = 0;
    uint64_t floorNs_ = 0;       // the least backlog in it so far
    uint64_t lastFloorNs_ = 0;   // the window before's
    bool refused_ = false;       // a post in it found the queue full
    bool settling_ = false;      // it followed a step down
    uint64_t quietSinceNs_ = 0;  // every window since had a low floor
};

}  // namespace btstandin
