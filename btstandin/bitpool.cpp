#include "btstandin/bitpool.h"

#include <algorithm>

namespace btstandin {

BitpoolRule::BitpoolRule(const BitpoolRange& range, const BitpoolRuleConfig& config)
    : range_(range), config_(config), bitpool_(range.max)
{
    range_.min = std::min(range_.min, range_.max);
    config_.step = std::max<uint32_t>(config_.step, 1);
}

uint32_t BitpoolRule::Observe(uint64_t nowNs, uint32_t queuedPackets)
{
    if (range_.fixed)
        return bitpool_;
    if (queuedPackets > 1) {
        quiet_ = false;
    } else if (!quiet_) {
        quiet_ = true;
        quietSinceNs_ = nowNs;
    }
    const bool held = changed_ && nowNs - lastChangeNs_ < config_.holdNs;
    if (queuedPackets > config_.highPackets && !held && bitpool_ > range_.min) {
        bitpool_ = bitpool_ - range_.min > config_.step ? bitpool_ - config_.step : range_.min;
        changed_ = true;
        lastChangeNs_ = nowNs;
    } else if (quiet_ && nowNs - quietSinceNs_ >= config_.quietNs && bitpool_ < range_.max) {
        bitpool_ = std::min(bitpool_ + config_.step, range_.max);
        changed_ = true;
        lastChangeNs_ = nowNs;
        quietSinceNs_ = nowNs;   // the next step up waits for another quiet stretch
    }
    return bitpool_;
}

}  // namespace btstandin
