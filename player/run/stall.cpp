#include "run/stall.h"

#include <algorithm>
#include <string>

#include "report/report.h"

namespace player {

void SilenceWatch::Note(uint64_t ns)
{
    // Notes from two threads may come out of order; only a later time moves
    // the watch, and the gap it closes is the silence that ended.
    uint64_t prev = last_.load(std::memory_order_relaxed);
    while (ns > prev && !last_.compare_exchange_weak(prev, ns, std::memory_order_relaxed)) {
    }
    if (ns <= prev)
        return;
    uint64_t gap = ns - prev;
    uint64_t longest = longest_.load(std::memory_order_relaxed);
    while (gap > longest && !longest_.compare_exchange_weak(longest, gap, std::memory_order_relaxed)) {
    }
}

void SilenceWatch::Restart(uint64_t ns)
{
    last_.store(ns, std::memory_order_relaxed);
    longest_.store(0, std::memory_order_relaxed);
}

uint64_t SilenceWatch::Longest(uint64_t now)
{
    uint64_t within = longest_.exchange(0, std::memory_order_relaxed);
    uint64_t last = last_.load(std::memory_order_relaxed);
    uint64_t ongoing = now > last ? now - last : 0;
    return std::max(within, ongoing);
}

void StallWatch::Restart(double now, uint64_t nowNs)
{
    lastActivityAt_ = now;
    if (virtual_)
        silence_->Restart(nowNs);
}

bool StallWatch::Check(double now, uint64_t nowNs, bool paused, uint64_t received, uint64_t returned)
{
    if (virtual_) {
        if (paused) {
            silence_->Restart(nowNs);
        } else if (silence_->Longest(nowNs) > static_cast<uint64_t>(limit_ * 1e9)) {
            return false;
        }
        if (returned != lastActivity_) {
            // With the event the main thread itself finds what came back.
            lastActivity_ = returned;
            silence_->Note(nowNs);
        }
        return true;
    }
    uint64_t activity = received + returned;
    if (activity != lastActivity_ || paused) {
        lastActivity_ = activity;
        lastActivityAt_ = now;
    } else if (now - lastActivityAt_ > limit_) {
        return false;
    }
    return true;
}

std::string StallWatch::Describe(uint64_t received) const
{
    return "playback stalled: nothing reached the headset for " + Fixed(limit_, 3) + " s (" +
           std::to_string(received) + " bytes received)";
}

}  // namespace player
