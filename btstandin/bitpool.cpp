#include "btstandin/bitpool.h"

#include <algorithm>
#include <cmath>

namespace btstandin {

BitpoolRule::BitpoolRule(const BitpoolRange& range, const BitpoolRuleConfig& config)
    : range_(range), config_(config), bitpool_(range.max)
{
    range_.min = std::min(range_.min, range_.max);
    config_.downStep = std::max<uint32_t>(config_.downStep, 1);
    config_.upStep = std::max<uint32_t>(config_.upStep, 1);
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
    const uint64_t floor = floorNs_, last = lastFloorNs_;
    const bool refused = refused_;
    lastFloorNs_ = floor;
    refused_ = false;
    // Writes go through while every window's floor is low.
    if (floor > config_.quietBacklogNs || refused)
        quietSinceNs_ = nowNs;
    // The window after a step down is not judged: its posts found the
    // packets made before the step.
    if (settling_) {
        settling_ = false;
        return;
    }
    // Behind: the floor is high and still rising, or a write failed.  The
    // further behind, the larger the step: `downStep` for each `downNs` of
    // backlog, up to `maxDownStep`.
    const bool rising = floor > config_.downNs && floor > last;
    if ((rising || refused) && bitpool_ > range_.min) {
        const uint64_t steps = std::max<uint64_t>(floor / config_.downNs, 1);
        const uint32_t down = static_cast<uint32_t>(std::min<uint64_t>(steps * config_.downStep, config_.maxDownStep));
        bitpool_ = bitpool_ - range_.min > down ? bitpool_ - down : range_.min;
        settling_ = config_.settle;
        quietSinceNs_ = nowNs;
    } else if (nowNs - quietSinceNs_ >= config_.quietNs && bitpool_ < range_.max) {
        bitpool_ = std::min(bitpool_ + config_.upStep, range_.max);
        quietSinceNs_ = nowNs;   // the next step up waits for another quiet stretch
    }
}

}  // namespace btstandin
