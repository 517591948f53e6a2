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
// is above `downNs` and above the floor it has to beat (the window before's,
// and while the backlog stays above `downNs`, the floor that made the last
// step down), the radio is still falling behind: the bitpool steps down by
// `downStep`, and by `downStep` more for each `growthNs` the floor rose, at
// most `maxDownStep` at once.  A window in which a post found the queue full
// steps down by `downStep` (a write that failed is behind, whatever the
// backlog: a queue of small packets can be full well short of `downNs`).  A
// backlog that is draining is left to drain: the last step was enough, and
// stepping on would overshoot.
//
// Up: after `quietNs` in which every window's floor was at most
// `quietBacklogNs` (the writes went through), it steps up by `upStep`, back
// to the top of its range.  A step down within `probeNs` of a step up blames
// that step up: it steps down by `downStep` only, and the climb stays below
// the bitpool that backed the queue up for `holdNs`, then tries it again (a
// link can get better).  So the rule settles on the highest bitpool the link
// carries, dipping a step below it for a moment each `holdNs`.  A fixed
// bitpool never moves.  A unit with no thread and no clock of its own: times
// and backlogs in, the bitpool out.
#pragma once

#include <cstdint>

namespace btstandin {

struct BitpoolRange {
    uint32_t min = 2;     // lowest the rule goes
    uint32_t max = 53;    // where it starts, and highest it goes
    bool fixed = false;   // the bitpool stays at max
};

// The constants and the practice each follows (docs/world.md gives them).
// Desktop stacks step down by 2 when their writes back up in time and up by 1
// a second while writes go through.  The steps of 2 and 1 are theirs; the
// rest are ours: a step down grows with how fast the backlog grows (the
// headset's 100 ms is all that stands between the backlog and a gap), we
// step up twice as often (quality back within a few seconds of interference
// ending), and we stop the climb below a bitpool that just backed the queue
// up, instead of trying it again each second.
struct BitpoolRuleConfig {
    uint64_t windowNs = 100000000;       // 100 ms windows: at most one step each
    uint64_t downNs = 10000000;          // a floor above 10 ms is falling behind
    uint64_t growthNs = 7000000;         // each 7 ms the floor rose: one more step down
    uint32_t downStep = 2;               // a step down
    uint32_t maxDownStep = 8;            // the most one window steps down
    uint64_t quietBacklogNs = 5000000;   // a floor of at most 5 ms: the writes go through
    uint64_t quietNs = 500000000;        // 500 ms of that before a step up
    uint32_t upStep = 1;
    uint64_t probeNs = 2000000000;       // a step down this soon after a step up blames it
    uint64_t holdNs = 5000000000;        // the climb stays below that bitpool this long
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
    void StepDown(uint64_t nowNs, uint64_t growthNs);

    BitpoolRange range_;
    BitpoolRuleConfig config_;
    uint32_t bitpool_;
    bool windowOpen_ = false;       // a window began at windowNs_
    uint64_t windowNs_ = 0;
    uint64_t floorNs_ = 0;          // the least backlog in it so far
    uint64_t lastFloorNs_ = 0;      // the window before's
    uint64_t stepFloorNs_ = 0;      // the floor that made the last step down (0: drained since)
    bool refused_ = false;          // a post in it found the queue full
    uint64_t quietSinceNs_ = 0;     // every window since had a low floor
    uint64_t upNs_ = 0;             // the last step up (0: none since the last undone)
    bool undone_ = false;           // the last window undid a step up
    uint32_t ceiling_ = 0;          // a step up to it backed the queue up ...
    uint64_t ceilingUntilNs_ = 0;   // ... and the climb stays below it until then
};

}  // namespace btstandin
