#include "btstandin/radio.h"

#include <algorithm>
#include <cmath>

namespace btstandin {

Radio::Radio(uint32_t kbps, uint32_t queuePackets)
    : bitsPerNs_(std::max<uint32_t>(kbps, 1) * 1000.0 / 1e9), queuePackets_(std::max<uint32_t>(queuePackets, 1))
{
}

double Radio::RateAt(uint64_t ns) const
{
    const Interference& i = interference_;
    const bool inside = i.lengthNs > 0 && ns >= i.startNs && ns - i.startNs < i.lengthNs;
    return bitsPerNs_ * 1e9 * (inside ? 1.0 - i.share : 1.0);
}

// When `bits` sent from startNs are through, the budget changing at the
// interference's two edges.
uint64_t Radio::FinishOf(uint64_t startNs, uint64_t bits) const
{
    const Interference& i = interference_;
    double left = static_cast<double>(bits);
    double t = static_cast<double>(startNs);
    const double edges[2] = {static_cast<double>(i.startNs), static_cast<double>(i.startNs + i.lengthNs)};
    for (int k = 0; k < 3; ++k) {
        const double rate = RateAt(static_cast<uint64_t>(t)) / 1e9;   // bits per ns here
        double until = HUGE_VAL;
        if (i.lengthNs > 0)
            for (double e : edges)
                if (e > t)
                    until = std::min(until, e);
        if (rate <= 0) {   // the whole budget lost: nothing moves until the edge
            if (until == HUGE_VAL)
                return UINT64_MAX;
            t = until;
            continue;
        }
        const double need = left / rate;
        if (t + need <= until)
            return static_cast<uint64_t>(std::ceil(t + need));
        left -= (until - t) * rate;
        t = until;
    }
    return static_cast<uint64_t>(std::ceil(t + left / bitsPerNs_));
}

void Radio::Drop(uint64_t nowNs)
{
    while (!queue_.empty() && queue_.front().doneNs <= nowNs)
        queue_.pop_front();
}

uint32_t Radio::Queued(uint64_t nowNs)
{
    Drop(nowNs);
    return static_cast<uint32_t>(queue_.size());
}

uint64_t Radio::QueuedBytes(uint64_t nowNs)
{
    Drop(nowNs);
    uint64_t bytes = 0;
    for (const Queued_& q : queue_)
        bytes += q.bytes;
    return bytes;
}

uint64_t Radio::RoomAtNs(uint64_t nowNs)
{
    Drop(nowNs);
    if (queue_.size() < queuePackets_)
        return nowNs;
    return queue_[queue_.size() - queuePackets_].doneNs;
}

uint64_t Radio::Send(uint64_t nowNs, uint32_t bytes)
{
    Drop(nowNs);
    const uint64_t start = std::max(freeNs_, nowNs);
    freeNs_ = FinishOf(start, static_cast<uint64_t>(bytes) * 8);
    queue_.push_back({freeNs_, bytes});
    return freeNs_;
}

}  // namespace btstandin
