#include "btstandin/bitpool.h"

#include <algorithm>

namespace btstandin {

BitpoolRule::BitpoolRule(const BitpoolRange& range, const BitpoolRuleConfig& config)
    : range_(range), config_(config), bitpool_(range.max)
{
    range_.min = std::min(range_.min, range_.max);
    config_.downStep = std::max<uint32_t>(config_.downStep, 1);
    config_.upStep = std::max<uint32_t>(config_.upStep, 1);
    config_.growthNs = std::max<uint64_t>(config_.growthNs, 1);
}

uint32_t BitpoolRule::Observe(uint64_t nowNs, uint64_t backlogNs)
{
    if (range_.fixed)
        return bitpool_;
    if (windowOpen_ && nowNs - windowNs_ < config_.windowNs) {
        floorNs_ = std::min(floorNs_, backlogNs);
        return bitpool_;
    }
    if (windowOpen_)
        Judge(nowNs);
    windowOpen_ = true;
    windowNs_ = nowNs;
    floorNs_ = backlogNs;
    return bitpool_;
}

// A window closes at nowNs (the post that opens the next one).
void BitpoolRule::Judge(uint64_t nowNs)
{
    const uint64_t floor = floorNs_;
    const bool refused = refused_;
    // The floor to beat: the window before's, and while the backlog stays
    // high, the one that made the last step down.
    if (floor <= config_.downNs)
        stepFloorNs_ = 0;
    const uint64_t ref = std::max(lastFloorNs_, stepFloorNs_);
    lastFloorNs_ = floor;
    refused_ = false;
    // Writes go through while every window's floor is low.
    if (floor > config_.quietBacklogNs || refused)
        quietSinceNs_ = nowNs;
    const bool rising = floor > config_.downNs && floor > ref;
    // The window after undoing a step up is not judged down: its posts
    // found the packets the step up made.
    const bool undone = undone_;
    undone_ = false;
    if ((rising || refused) && !undone && bitpool_ > range_.min) {
        StepDown(nowNs, rising ? floor - ref : 0);
        stepFloorNs_ = floor;
        quietSinceNs_ = nowNs;
    } else if (nowNs - quietSinceNs_ >= config_.quietNs && bitpool_ < range_.max &&
               (bitpool_ + config_.upStep < ceiling_ || nowNs >= ceilingUntilNs_)) {
        bitpool_ = std::min(bitpool_ + config_.upStep, range_.max);
        quietSinceNs_ = nowNs;   // the next step up waits for another quiet stretch
        upNs_ = nowNs;
    }
}

// Behind, the floor having risen by `growthNs` since the floor it had to
// beat (0: a refusal).
void BitpoolRule::StepDown(uint64_t nowNs, uint64_t growthNs)
{
    const uint64_t steps = 1 + growthNs / config_.growthNs;
    uint32_t down = static_cast<uint32_t>(std::min<uint64_t>(steps * config_.downStep, config_.maxDownStep));
    // Soon after a step up, the step up backed the queue up: one step undoes
    // it, and the climb stays below it for a while.
    if (upNs_ && nowNs - upNs_ <= config_.probeNs) {
        ceiling_ = bitpool_;
        ceilingUntilNs_ = nowNs + config_.holdNs;
        down = config_.downStep;
        upNs_ = 0;
        undone_ = true;
    }
    bitpool_ = bitpool_ - range_.min > down ? bitpool_ - down : range_.min;
}

}  // namespace btstandin
